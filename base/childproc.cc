#include "base/childproc.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/environment.h"
#include "base/oserror.h"
#include "base/paths.h"
#include "base/resources.h"

namespace {

const char kDevNull[] = "/dev/null";
const char kExecError[] = "exec error";

// TMPDIR, else TMP, with a trailing "/"; "./" when neither holds a value. An
// empty variable counts as unset: it would otherwise put temporary files in
// the root directory.
String TempDirectory() {
  String v;
  if ((GetEnvVar("TMPDIR", v) && !v.IsEmpty()) || (GetEnvVar("TMP", v) && !v.IsEmpty())) {
    return IncludeTrailingPathDelimiter(v);
  }
  return String("./");
}

// The texts of the error numbers, made once in the parent. A child between
// fork and exec may only make async-signal-safe calls, and the C library's
// message formatting is not one of them; the child looks its text up here.
class ErrnoTexts {
 public:
  static const ErrnoTexts& Get() {
    static const ErrnoTexts texts;
    return texts;
  }
  const char* Text(int err) const {
    return (err > 0 && err < kCount && texts_[err][0] != '\0') ? texts_[err] : "Unknown error";
  }

 private:
  static constexpr int kCount = 134;  // every error number Linux defines
  static constexpr int kLen = 96;
  ErrnoTexts() {
    for (int e = 1; e < kCount; ++e) GetErrorStr(e).StrCpy(texts_[e], kLen);
  }
  char texts_[kCount][kLen] = {};
};

// Everything the child needs, prepared before fork so that the child itself
// allocates nothing.
struct ChildPlan {
  TCommandLine cmd;
  const char* infile = kDevNull;
  const char* outfile = kDevNull;
  const char* errfile = kDevNull;
  bool err_to_out = false;  // standard error shares the output's open file
  const char* workdir = nullptr;
  char* resultpath = nullptr;  // "<dir>tmporv-" followed by room for the pid
  size_t resultprefix = 0;
  const ErrnoTexts* texts = nullptr;
};

// --- Child side: async-signal-safe calls only. ----------------------------

int OpenRetry(const char* path, int flags) {
  int fd;
  do {
    fd = open(path, flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Puts path on descriptor target; "/dev/null" when path cannot be opened, so
// that the program never starts with one of its standard descriptors closed
// (or, worse, still on the agent's own terminal).
void RedirectTo(const char* path, int flags, int target) {
  int fd = OpenRetry(path, flags);
  if (fd < 0) fd = OpenRetry(kDevNull, flags & ~(O_CREAT | O_TRUNC));
  if (fd < 0) return;
  if (fd == target) {
    fcntl(fd, F_SETFD, 0);  // keep it across exec
  } else {
    dup2(fd, target);
    close(fd);
  }
}

void AppendDecimal(char* p, long v) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v > 0 && n < 24);
  while (n > 0) *p++ = digits[--n];
  *p = '\0';
}

void WriteAll(int fd, const char* s) {
  size_t n = std::strlen(s);
  while (n > 0) {
    ssize_t w = write(fd, s, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    s += w;
    n -= static_cast<size_t>(w);
  }
}

[[noreturn]] void RunChild(const ChildPlan& plan) {
  setsid();
  // The agent ignores SIGPIPE and its threads may block signals; the program
  // starts with the ordinary dispositions.
  struct sigaction dfl;
  std::memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);

  RedirectTo(plan.infile, O_RDONLY, 0);
  RedirectTo(plan.outfile, O_WRONLY | O_CREAT | O_TRUNC, 1);
  if (plan.err_to_out) {
    dup2(1, 2);
  } else {
    RedirectTo(plan.errfile, O_WRONLY | O_CREAT | O_TRUNC, 2);
  }

  char* resultpath = plan.resultpath;
  char* tail = resultpath + plan.resultprefix;
  AppendDecimal(tail, static_cast<long>(getpid()));
  std::memcpy(tail + std::strlen(tail), ".txt", 5);
  unlink(resultpath);

  int err = 0;
  if (plan.workdir != nullptr && chdir(plan.workdir) != 0) {
    err = errno;
  } else {
    execvp(plan.cmd.argv[0], plan.cmd.argv);
    err = errno;
  }
  int fd = open(resultpath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd >= 0) {
    WriteAll(fd, "exec error: ");
    WriteAll(fd, plan.texts->Text(err));
    WriteAll(fd, "\n");
    close(fd);
  }
  _exit(255);
}

// --- Parent side. ----------------------------------------------------------

pid_t WaitRetry(pid_t pid, int* status, int options) {
  pid_t r;
  do {
    r = waitpid(pid, status, options);
  } while (r < 0 && errno == EINTR);
  return r;
}

int64_t MonotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void SleepMs(int64_t ms) {
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(ms / 1000);
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  nanosleep(&ts, nullptr);  // an early wake-up only means an early poll
}

void* ReapOne(void* arg) {
  pid_t pid = static_cast<pid_t>(reinterpret_cast<intptr_t>(arg));
  int status;
  WaitRetry(pid, &status, 0);
  return nullptr;
}

// Children left running are waited for by a detached thread each, so that
// they do not stay behind as zombies. Waiting for that one pid keeps the
// agent's other children (shell helpers, other sessions' programs) out of
// it. The thread blocks every signal so that the agent's handlers keep
// running on its own threads.
void ReapLater(pid_t pid) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, 256 * 1024);
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  pthread_t thread;
  pthread_create(&thread, &attr, ReapOne, reinterpret_cast<void*>(static_cast<intptr_t>(pid)));
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  pthread_attr_destroy(&attr);
}

// The first line of the child result file, at most 254 characters.
String ReadResultLine(const char* path) {
  UniqueFile f(std::fopen(path, "r"));
  if (!f) return String(kExecError);
  char line[255];
  if (std::fgets(line, sizeof line, f.get()) == nullptr) return String(kExecError);
  line[std::strcspn(line, "\r\n")] = '\0';
  return String(line);
}

// Steps that follow the end of the child, whichever way it was waited for.
bool Evaluate(int status, bool waited, const char* resultpath, int& exitcode, String& errmsg) {
  if (!WIFEXITED(status)) {
    errmsg = "abnormal termination";
    return false;
  }
  exitcode = WEXITSTATUS(status);
  if (exitcode == 255) {
    struct stat st;
    if (lstat(resultpath, &st) == 0) {
      errmsg = waited ? ReadResultLine(resultpath) : String(kExecError);
      unlink(resultpath);
      return false;
    }
  }
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

int64_t GetUniqueThreadID() {
  int32_t shifted = static_cast<int32_t>(static_cast<uint32_t>(getpid()) << 8);
  return static_cast<int64_t>(shifted) + static_cast<int64_t>(pthread_self());
}

bool gettempfilename(char* buf, int size, const char* name) {
  if (buf == nullptr) return false;
  if (size > 0) buf[0] = '\0';
  if (size < 16) return false;
  String dir = TempDirectory();
  if (dir.Length() + 16 > size) return false;
  if (name != nullptr) {
    (dir + name).StrCpy(buf, size);
    return true;
  }
  char prefix[48];
  std::snprintf(prefix, sizeof prefix, "tmp-%ld-", static_cast<long>(GetUniqueThreadID()));
  String base = dir + prefix;
  for (int i = 0; i < 1999; ++i) {
    char num[16];
    std::snprintf(num, sizeof num, "%d", i);
    String candidate = base + num;
    if (candidate.Length() >= size) return false;  // a cut name would be another file
    // Any entry of that name, even a dangling symbolic link, makes the name
    // taken: creating the file through a planted link would write elsewhere.
    struct stat st;
    if (lstat(candidate.CStr(), &st) != 0) {
      candidate.StrCpy(buf, size);
      return true;
    }
  }
  return false;
}

void SplitCommandLine(const char* cmdline, TCommandLine& out) {
  out.argc = 0;
  out.argv[0] = nullptr;
  if (cmdline == nullptr) return;
  const char* p = cmdline;
  int used = 0;
  while (out.argc < TCommandLine::kMaxArgs) {
    while (IsBlank(*p)) ++p;
    if (*p == '\0') break;
    const char* start;
    const char* end;
    if (*p == '\'' || *p == '"') {
      char quote = *p++;
      start = p;
      while (*p != '\0' && *p != quote) ++p;
      end = p;
      if (*p == quote) ++p;
    } else {
      start = p;
      while (*p != '\0' && !IsBlank(*p)) ++p;
      end = p;
    }
    int len = static_cast<int>(end - start);
    if (used + len + 1 > TCommandLine::kTextSize) break;
    char* arg = out.text + used;
    std::memcpy(arg, start, len);
    arg[len] = '\0';
    used += len + 1;
    out.argv[out.argc++] = arg;
  }
  out.argv[out.argc] = nullptr;
}

bool SystemEx(const char* cmdline, const char* workdir, uint32_t timelimit, int& exitcode,
              String& errmsg) {
  return SystemEx2(cmdline, workdir, nullptr, nullptr, nullptr, timelimit, exitcode, errmsg);
}

bool SystemEx2(const char* cmdline, const char* workdir, const char* infile, const char* outfile,
               const char* errfile, uint32_t timelimit, int& exitcode, String& errmsg) {
  errmsg = "";
  ChildPlan plan;
  SplitCommandLine(cmdline, plan.cmd);
  if (plan.cmd.argc == 0) {
    // Nothing to run: exec of the empty name fails like a missing program.
    plan.cmd.text[0] = '\0';
    plan.cmd.argv[0] = plan.cmd.text;
    plan.cmd.argv[1] = nullptr;
  }
  if (infile != nullptr) plan.infile = infile;
  if (outfile != nullptr) plan.outfile = outfile;
  if (errfile != nullptr) plan.errfile = errfile;
  // Two separate opens of one file would make the two streams overwrite
  // each other from offset 0; one shared open file keeps both in order.
  plan.err_to_out = std::strcmp(plan.outfile, plan.errfile) == 0;
  if (workdir != nullptr && workdir[0] != '\0') plan.workdir = workdir;

  // The child changes directory before it writes its result file, so a
  // relative temporary directory is pinned to the agent's own directory.
  String dir = TempDirectory();
  if (dir[1] != '/') dir = IncludeTrailingPathDelimiter(GetCurrentDir()) + dir;
  String resultpath = dir + "tmporv-";
  plan.resultprefix = static_cast<size_t>(resultpath.Length());
  resultpath.SetLength(resultpath.Length() + 32);  // pid digits, ".txt", NUL
  plan.resultpath = resultpath.Data();
  plan.texts = &ErrnoTexts::Get();

  pid_t pid;
  {
    std::unique_lock<std::mutex> env = LockEnvironment();
    pid = fork();
    if (pid == 0) RunChild(plan);
  }
  if (pid < 0) {
    errmsg = "fork error";
    return false;
  }
  // The parent's copy of the result path, completed the way the child does.
  std::snprintf(plan.resultpath + plan.resultprefix, 32, "%ld.txt", static_cast<long>(pid));

  int status = 0;
  if (timelimit == kSystemExNoWait) {
    exitcode = 0;
    // Up to one second for the child to end by itself; polled finely so a
    // program that fails at once is reported without the full second.
    const int64_t until = MonotonicMs() + 1000;
    int64_t step = 1;
    for (;;) {
      pid_t r = WaitRetry(pid, &status, WNOHANG);
      if (r == pid) return Evaluate(status, false, plan.resultpath, exitcode, errmsg);
      if (r < 0) return true;  // no longer ours to wait for
      int64_t left = until - MonotonicMs();
      if (left <= 0) break;
      SleepMs(std::min(step, left));
      step = std::min<int64_t>(step * 2, 1000);
    }
    ReapLater(pid);
    return true;
  }

  // The limit is counted in whole seconds of a clock that does not jump:
  // the child is killed at the first poll at which the elapsed seconds times
  // 1000 exceed the limit. Polls start every millisecond and slow down to
  // once a second, but never sleep past the second in which the limit runs
  // out, so short programs are reaped at once and long ones killed on time.
  const int64_t start_s = MonotonicMs() / 1000;
  const int64_t kill_at_ms = (start_s + timelimit / 1000 + 1) * 1000;
  int64_t step = 1;
  for (;;) {
    pid_t r = WaitRetry(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0) {
      errmsg = "abnormal termination";
      return false;
    }
    int64_t sleep_ms = step;
    if (timelimit != 0) {
      int64_t now = MonotonicMs();
      if ((now / 1000 - start_s) * 1000 > static_cast<int64_t>(timelimit)) {
        kill(-pid, SIGKILL);  // the program's own children too
        if (kill(pid, SIGKILL) != 0) {
          errmsg = "cannot terminate process";
          ReapLater(pid);
          return false;
        }
        if (WaitRetry(pid, &status, 0) != pid) {
          errmsg = "abnormal termination";
          return false;
        }
        break;
      }
      sleep_ms = std::min(sleep_ms, std::max<int64_t>(kill_at_ms - now, 1));
    }
    SleepMs(sleep_ms);
    step = std::min<int64_t>(step * 2, 1000);
  }
  return Evaluate(status, true, plan.resultpath, exitcode, errmsg);
}

String GetFirstMatchedFile(const String& path) {
  String dir = ExtractFilePath(path);
  TSearchRec rec;
  String found;
  // 47: every attribute but folders (and never symbolic links).
  if (FindFirst(dir, ExtractFileName(path), 47, rec) == 0) found = dir + rec.Name;
  FindClose(rec);
  return found;
}
