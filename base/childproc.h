// Child processes for tests and actions.
//
// A command line is split into a program and its arguments without a shell
// (no redirection, variables or globbing), run as a child in its own session
// with its standard streams on descriptors the caller holds, and waited for
// with a time limit. A child that cannot start its program reports
// "exec error: <text>" through a close-on-exec pipe and ends with exit code
// 255; the parent turns that into its error message. No file is involved.
//
// Thread safety: every function may be called from any thread at once.
// Children are forked under LockEnvironment(), so a concurrent SetEnvVar
// never leaves a child with a half-written environment.
#ifndef ORV_BASE_CHILDPROC_H_
#define ORV_BASE_CHILDPROC_H_

#include <cstdint>

#include "base/bytestring.h"

// The time limit that starts a child without waiting for it to end.
constexpr uint32_t kSystemExNoWait = 4294967295u;

// A command line split into at most 23 arguments whose texts, each with its
// NUL, fit together in 1024 bytes. Blanks and tabs separate arguments; an
// argument that starts with ' or " runs to the next quote of the same kind
// (or the end) and is taken without the quotes.
struct TCommandLine {
  static constexpr int kMaxArgs = 23;
  static constexpr int kTextSize = 1024;
  char text[kTextSize];
  char* argv[kMaxArgs + 1];  // null-terminated
  int argc = 0;
};
void SplitCommandLine(const char* cmdline, TCommandLine& out);

// Runs cmdline with standard input, output and error on "/dev/null"; see
// SystemEx2.
bool SystemEx(const char* cmdline, const char* workdir, uint32_t timelimit, int& exitcode,
              String& errmsg);

// Runs cmdline as a child in a new session, in workdir when not null, with
// copies of infd, outfd and errfd as its standard input, output and error
// (-1 means "/dev/null"); the caller keeps its own descriptors and reads
// what the child wrote through them.
//
// timelimit is in milliseconds, measured in whole seconds: the child's
// process group (the program and whatever it started that stayed in it) is
// killed with signal 9 once the elapsed whole seconds times 1000 exceed the
// limit; 0 waits without end. kSystemExNoWait waits at most one second: a
// child still running then is left to run (and reaped in the background when
// it ends), with exit code 0 and result true.
//
// Returns true with exitcode set (0..255) when the child exited normally (or
// was left running). Returns false with errmsg set to "fork error",
// "exec error: <text>" (or "exec error" when the child was not waited for),
// "cannot terminate process" or "abnormal termination" (ended by a signal, a
// killed child included). errmsg is cleared first.
bool SystemEx2(const char* cmdline, const char* workdir, int infd, int outfd, int errfd,
               uint32_t timelimit, int& exitcode, String& errmsg);

// The directory part of path followed by the name of the first entry of that
// directory (in the directory's own order) that matches the last component
// of path as a wildcard pattern and is neither a folder nor a symbolic link;
// empty when there is none.
String GetFirstMatchedFile(const String& path);

#endif  // ORV_BASE_CHILDPROC_H_
