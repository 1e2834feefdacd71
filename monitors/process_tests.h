// Process and processor tests: "TEST-Process" (how many processes of a name
// run), "TEST-CPU" (processor usage) and "GetProcessesList" (one line per
// process). The agent does not look at the process table itself: each
// request runs a helper script named in the settings ("proccntscript",
// "cpuusagescript", "proclistscript") through the system shell, with all its
// output in a temporary file "tmporv-<thread id>.txt" of the temporary
// directory, and reads the answer from that file. docs/helper-scripts.md
// states what each script receives and must print.
//
// The process name of "TEST-Process" reaches its script as one single-quoted
// shell word, so a name cannot add commands to the line the shell runs.
//
// Replies: "600" "test is not allowed" when "process" (or "cpuusage") is
// off; "301" with "ProcCnt script is not speified" / "... doesn't exist"
// (likewise "CPUUsage", "ProcList") when the script setting is empty or not a
// regular file; "501" "Name of the process is not specified"; "301" with
// "cannot get temp file", "Cannot execute script", "Cannot get script
// results" or "Script error"; "200" with the count (int), the usage (real) or
// the list (one encoded string, every line followed by CR LF).
//
// Thread safety: the handlers may run in many session threads at once; each
// takes one settings snapshot and uses its own output file. A script is
// waited for without a time limit.
#ifndef ORV_MONITORS_PROCESS_TESTS_H_
#define ORV_MONITORS_PROCESS_TESTS_H_

#include <cstdio>

#include "agent/handlers.h"
#include "base/bytestring.h"

// Declared in agent/handlers.h:
//   void ProcessTest_Process(const VQRequest&, ORVReply&);
//   void ProcessTest_CPU(const VQRequest&, ORVReply&);
//   void ProcessInfo_ProcessesList(const VQRequest&, ORVReply&);

// The process list as the server receives it: every line of f (read in
// pieces of at most 511 bytes) with one trailing line feed removed, empty
// lines left out, each followed by CR LF.
String ReadProcessList(FILE* f);

#endif  // ORV_MONITORS_PROCESS_TESTS_H_
