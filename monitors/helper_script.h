// Running scripts through the system shell for the process and processor
// tests, and the small pieces around it: quoting one word for the shell, the
// helper-script command line, a temporary file that is deleted on every path,
// and reading a leading number from a script's output.
//
// The helper-script command line is the script path, optionally a blank and
// one argument. The argument is always one shell word, single-quoted, so that
// nothing in it is interpreted by the shell. The script's standard output,
// standard error and descriptor 3 go to one file the agent made in its
// private folder, each through its own open (so each writes from the start
// of the file, as three redirections of the shell would), and the agent
// reads the answer back through the descriptor it holds.
//
// Thread safety: every function may be called from any thread at once. A
// TTempFile belongs to one thread.
#ifndef ORV_MONITORS_HELPER_SCRIPT_H_
#define ORV_MONITORS_HELPER_SCRIPT_H_

#include <cstdio>

#include "base/bytestring.h"

// word as one shell word: enclosed in single quotes, every ' inside written
// as '\'' (close the quotes, an escaped quote, open them again). The result
// stops at the first zero byte of word, as any C text would.
String QuoteShellWord(const String& word);

// script, then (when arg is not null) a blank and QuoteShellWord(*arg).
String HelperCommandLine(const String& script, const String* arg);

// Runs cmdline with "/bin/sh -c", in the agent's working directory and
// environment, with descriptors 1, 2 and 3 on copies of fds[0], fds[1] and
// fds[2], and waits for it without a time limit. Returns the wait status of
// the shell, or -1 when the shell could not be started or waited for. The
// fork happens under the environment lock, so the shell never inherits a
// half-rewritten environment.
int RunShellCommand(const char* cmdline, const int fds[3]);

// Opens the file at path (just created in the agent's private folder) once
// more, for writing (or reading when read is true), close-on-exec, without
// following a link: one more independent position in the same file.
int OpenAgain(const String& path, bool read = false);

// A temporary file path that the owner deletes when it goes out of scope (or
// earlier, with Remove). Whether the file exists does not matter. Not
// copyable.
class TTempFile {
 public:
  TTempFile() = default;
  explicit TTempFile(const char* path) : path_(path) {}
  ~TTempFile() { Remove(); }
  TTempFile(const TTempFile&) = delete;
  TTempFile& operator=(const TTempFile&) = delete;

  // Takes a new path to own (the previous one is removed first).
  void Reset(const char* path);
  // Deletes the file now; afterwards the object owns nothing.
  void Remove();
  // The path, empty when nothing is owned; never null.
  const char* Path() const;

 private:
  String path_;
};

// Reads a decimal integer from f after optional white space ("%d" rules:
// an optional sign and at least one digit). Values beyond the int range are
// cut to it. False when no number begins there.
bool ScanLeadingInt(FILE* f, int& value);

// Reads a number from f after optional white space ("%f" rules, as a
// single-precision value). False when no number begins there.
bool ScanLeadingReal(FILE* f, float& value);

#endif  // ORV_MONITORS_HELPER_SCRIPT_H_
