// orvq, the command-line client of the agent:
//   orvq [-H host[:port]]... [--hosts FILE] [-p port] [-P password |
//        --password-file FILE] [-t timeout_ms] [-k session_key]
//        [--decode | --json | --plugin [-w range] [-c range]] [--parallel N]
//        COMMAND [PARAM ...]
//   orvq [-H host[:port]] [-p port] [-P password | --password-file FILE]
//        [-t timeout_ms] [-k session_key] --upgrade FILE
// It sends one request to each agent and prints the replies.
//
// One agent, plain output: the decrypted reply text without its final CR.
// Several agents (-H repeated, --hosts): queried in parallel, at most N at a
// time (default 16), one line per agent in the order given: "host:port", a
// tab and the reply's lines joined by tabs (values keep their %0A escapes),
// or "-", a tab and the reason when no reply came. A progress line goes to
// a terminal on the standard error when there are more than 20 agents.
//
// --json: one JSON object a line per agent: host, port, command, code (null
// for an empty reply or none), values (a list, escapes decoded), elapsed_ms,
// and error when no reply came.
//
// --plugin: one status line per agent, "ORV <STATE> - ..." with performance
// data after "|", and the exit status of a monitoring plugin: 0 OK, 1
// WARNING, 2 CRITICAL, 3 UNKNOWN. "200" is OK unless the first numeric value
// falls in the -c range (CRITICAL) or the -w range (WARNING); "300" and
// "301" are CRITICAL; any other code, an empty reply and no reply UNKNOWN.
//
// With --upgrade it sends "UpgradeCode" with the file's length and, when the
// agent answers "200", the file's bytes and their encrypted MD5 digest, and
// prints the agent's second reply instead of the first.
//
// Exit status, except with --plugin: 0 a reply arrived (whatever its result
// code), 1 the agent closed the connection without a reply (a wrong password
// looks like this), 2 usage errors, unreadable files, refused or timed-out
// connections; with several agents the highest of theirs. With --plugin the
// worst state, in the order OK, WARNING, UNKNOWN, CRITICAL.
//
// Thread safety: OrvqMain runs its own threads and joins them before it
// returns.
#ifndef ORV_TOOLS_ORVQ_H_
#define ORV_TOOLS_ORVQ_H_

#include <cstdio>

int OrvqMain(int argc, char** argv, FILE* out, FILE* err);

#endif  // ORV_TOOLS_ORVQ_H_
