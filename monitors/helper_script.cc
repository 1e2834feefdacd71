#include "monitors/helper_script.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/environment.h"

namespace {

// The next byte of f after any white space, or EOF.
int SkipSpace(FILE* f) {
  int c;
  do {
    c = std::fgetc(f);
  } while (c != EOF && std::isspace(static_cast<unsigned char>(c)));
  return c;
}

}  // namespace

String QuoteShellWord(const String& word) {
  String out("'");
  for (int i = 1; i <= word.Length(); ++i) {
    char c = word[i];
    if (c == '\0') break;
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  out += '\'';
  return out;
}

String HelperCommandLine(const String& script, const String* arg) {
  String cmd = script;
  if (arg != nullptr) {
    cmd += ' ';
    cmd += QuoteShellWord(*arg);
  }
  return cmd;
}

int RunShellCommand(const char* cmdline, const int fds[3]) {
  if (cmdline == nullptr || fds == nullptr) return -1;
  // Prepared before fork: between fork and exec the child of a threaded
  // process may only make async-signal-safe calls.
  char arg0[] = "sh";
  char arg1[] = "-c";
  char* argv[] = {arg0, arg1, const_cast<char*>(cmdline), nullptr};
  pid_t pid;
  {
    std::unique_lock<std::mutex> env = LockEnvironment();
    pid = fork();
    if (pid == 0) {
      // Copies above 3 first, so that a source that is itself 1, 2 or 3 is
      // not overwritten; dup2 leaves the copies on 1, 2 and 3 open across
      // exec, the high ones close.
      int high[3];
      for (int i = 0; i < 3; ++i) {
        high[i] = fcntl(fds[i], F_DUPFD_CLOEXEC, 10);
        if (high[i] < 0) _exit(127);
      }
      for (int i = 0; i < 3; ++i) dup2(high[i], i + 1);
      execve("/bin/sh", argv, environ);
      _exit(127);
    }
  }
  if (pid < 0) return -1;
  int status = 0;
  pid_t r;
  do {
    r = waitpid(pid, &status, 0);
  } while (r < 0 && errno == EINTR);
  return r == pid ? status : -1;
}

int OpenAgain(const String& path, bool read) {
  String p = path;
  int fd;
  do {
    fd = open(p.CStr(), (read ? O_RDONLY : O_WRONLY) | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

void TTempFile::Reset(const char* path) {
  Remove();
  path_ = path;
}

void TTempFile::Remove() {
  if (!path_.IsEmpty()) unlink(path_.CStr());
  path_ = "";
}

const char* TTempFile::Path() const {
  return path_.Data();
}

bool ScanLeadingInt(FILE* f, int& value) {
  int c = SkipSpace(f);
  bool negative = false;
  if (c == '+' || c == '-') {
    negative = c == '-';
    c = std::fgetc(f);
  }
  if (c == EOF || !std::isdigit(c)) return false;
  // Saturates instead of overflowing: the output is the script's, not ours.
  long long magnitude = 0;
  const long long limit = static_cast<long long>(INT_MAX) + 1;
  while (c != EOF && std::isdigit(c)) {
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > limit) magnitude = limit;
    c = std::fgetc(f);
  }
  long long v = negative ? -magnitude : magnitude;
  if (v > INT_MAX) v = INT_MAX;
  value = static_cast<int>(v);
  return true;
}

bool ScanLeadingReal(FILE* f, float& value) {
  char token[128];
  int n = 0;
  int c = SkipSpace(f);
  while (c != EOF && !std::isspace(static_cast<unsigned char>(c)) &&
         n < static_cast<int>(sizeof token) - 1) {
    token[n++] = static_cast<char>(c);
    c = std::fgetc(f);
  }
  token[n] = '\0';
  char* end = nullptr;
  float v = std::strtof(token, &end);
  if (end == token) return false;
  value = v;
  return true;
}
