// External program and shell script tests.
//
// "TEST-ExternalPrg" runs the server's command line (split into program and
// arguments, no shell) with its standard streams on /dev/null and answers
// "200" with the exit code, or "301" with the run function's message. Lines:
// 1 command line, 4 time limit in milliseconds (0 waits without end, -1
// starts the program without waiting for it). Line 2 is read and ignored;
// no working directory is used.
//
// "TEST-ShellScript" stores the server's script in a fresh executable file of
// the temporary directory, runs a command-line template in which "%script%"
// stands for that file and "%params%" for the script parameters, and answers
// "200" with the result line (the first output line that begins with
// "scriptres:", else the last non-empty line) and the first output lines.
// Lines: 1 template, 2 script (encoded multi-line text), 3 parameters (same
// encoding), 4 time limit in seconds (0 waits without end), 5 how many output
// lines to return. Before the run the handler pauses "delayforscripts"
// microseconds. The script file and the output file are deleted before the
// reply is made, on every path.
//
// Thread safety: the handlers may run in many session threads at once; each
// takes one settings snapshot and uses fresh temporary names.
#ifndef ORV_MONITORS_PROGRAM_TESTS_H_
#define ORV_MONITORS_PROGRAM_TESTS_H_

#include <cstdint>
#include <cstdio>

#include "agent/handlers.h"
#include "base/bytestring.h"

// Declared in agent/handlers.h:
//   void ProcessTest_External(const VQRequest&, ORVReply&);
//   void ProcessTest_ShellScript(const VQRequest&, ORVReply&);

// Reads a script's output from f in lines of at most 511 bytes, each trimmed;
// empty lines are skipped. The first `lines` of them go to output, each
// followed by CR LF. result_line is the latest line read until one begins
// with "scriptres:" (any letter case), then stays that line. Reading stops at
// the end of f, or once such a line is found and `lines` lines are taken.
void ReadScriptOutput(FILE* f, int lines, String& result_line, String& output);

// The run time limit in milliseconds for a limit given in seconds: 0 and
// negative values wait without end (0); values too large for the run
// function are cut to its longest finite limit.
uint32_t ScriptTimeLimitMs(int seconds);

#endif  // ORV_MONITORS_PROGRAM_TESTS_H_
