// Child processes for tests and actions, and temporary file names.
//
// A command line is split into a program and its arguments without a shell
// (no redirection, variables or globbing), run as a child in its own session
// with its standard streams on files, and waited for with a time limit. A
// child that cannot start its program leaves one line "exec error: <text>" in
// the file "tmporv-<child pid>.txt" of the temporary directory and ends with
// exit code 255; the parent turns that into its error message.
//
// The temporary directory is the value of TMPDIR, else of TMP, with a "/"
// added; when neither is set (or both are empty) it is "./".
//
// Thread safety: every function may be called from any thread at once. The
// environment is read and children are forked under LockEnvironment(), so a
// concurrent SetEnvVar never leaves a child with a half-written environment.
#ifndef ORV_BASE_CHILDPROC_H_
#define ORV_BASE_CHILDPROC_H_

#include <cstdint>

#include "base/bytestring.h"

// The time limit that starts a child without waiting for it to end.
constexpr uint32_t kSystemExNoWait = 4294967295u;

// The process id shifted left by 8 bits (as a signed 32-bit value) plus the
// calling thread's identifier: distinct for threads running at the same time.
int64_t GetUniqueThreadID();

// Fills buf (size bytes) with a path in the temporary directory: the
// directory followed by name, or, when name is null, "tmp-<thread id>-<n>"
// with the smallest n in 0..1998 for which no directory entry of that name
// exists. The name is not reserved; concurrent threads get different names
// because their thread ids differ. False (buf empty, if not null) when buf is
// null, size is below 16, the directory needs more than size - 16 bytes, or
// no free name fits.
bool gettempfilename(char* buf, int size, const char* name);

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
// its standard input read from infile and its output and error written
// (truncated) to outfile and errfile; a null file means "/dev/null".
//
// timelimit is in milliseconds, measured in whole seconds: the child is
// killed (its process group, with signal 9) once the elapsed whole seconds
// times 1000 exceed the limit; 0 waits without end. kSystemExNoWait waits at
// most one second: a child still running then is left to run (and reaped in
// the background when it ends), with exit code 0 and result true.
//
// Returns true with exitcode set (0..255) when the child exited normally (or
// was left running). Returns false with errmsg set to "fork error",
// "exec error: <text>" (or "exec error" when the reason is unknown or the
// child was not waited for), "cannot terminate process" or "abnormal
// termination" (ended by a signal, a killed child included). errmsg is
// cleared first.
bool SystemEx2(const char* cmdline, const char* workdir, const char* infile, const char* outfile,
               const char* errfile, uint32_t timelimit, int& exitcode, String& errmsg);

// The directory part of path followed by the name of the first entry of that
// directory (in the directory's own order) that matches the last component
// of path as a wildcard pattern and is neither a folder nor a symbolic link;
// empty when there is none.
String GetFirstMatchedFile(const String& path);

#endif  // ORV_BASE_CHILDPROC_H_
