// orvq, the command-line client of the agent:
//   orvq [-H host] [-p port] -P password [-t timeout_ms] [-k session_key]
//        [--decode] COMMAND [PARAM ...]
//   orvq [-H host] [-p port] -P password [-t timeout_ms] [-k session_key]
//        --upgrade FILE
// It sends one request and prints the decrypted reply text, without its
// final CR, on standard output. With --upgrade it sends "UpgradeCode" with
// the file's length and, when the agent answers "200", the file's bytes and
// their encrypted MD5 digest, and prints the agent's second reply instead of
// the first. Exit status: 0 a reply arrived (whatever its result code), 1 the
// agent closed the connection without a reply (a wrong password looks like
// this), 2 usage errors, unreadable upgrade files, refused or timed-out
// connections.
#ifndef ORV_TOOLS_ORVQ_H_
#define ORV_TOOLS_ORVQ_H_

#include <cstdio>

int OrvqMain(int argc, char** argv, FILE* out, FILE* err);

#endif  // ORV_TOOLS_ORVQ_H_
