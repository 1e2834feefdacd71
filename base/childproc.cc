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
  int in = -1;  // descriptors for the standard streams; -1 is /dev/null
  int out = -1;
  int err = -1;
  const char* workdir = nullptr;
  int report = -1;  // write end of the close-on-exec pipe for exec failures
  const ErrnoTexts* texts = nullptr;
};

// --- Child side: async-signal-safe calls only. ----------------------------

// Puts fd (or /dev/null when it is -1) on descriptor target, where it is
// not close-on-exec, and closes fd.
void RedirectTo(int fd, int flags, int target) {
  if (fd < 0) {
    do {
      fd = open(kDevNull, flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return;
  }
  dup2(fd, target);
  close(fd);
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

  // Sources above the standard descriptors first: a stream's descriptor may
  // itself be 0, 1 or 2 in a process started with one of them closed.
  int in = plan.in >= 0 ? fcntl(plan.in, F_DUPFD_CLOEXEC, 10) : -1;
  int out = plan.out >= 0 ? fcntl(plan.out, F_DUPFD_CLOEXEC, 10) : -1;
  int err = plan.err >= 0 ? fcntl(plan.err, F_DUPFD_CLOEXEC, 10) : -1;
  RedirectTo(in, O_RDONLY, 0);
  RedirectTo(out, O_WRONLY, 1);
  RedirectTo(err, O_WRONLY, 2);

  int error = 0;
  if (plan.workdir != nullptr && chdir(plan.workdir) != 0) {
    error = errno;
  } else {
    execvp(plan.cmd.argv[0], plan.cmd.argv);
    error = errno;
  }
  // The pipe closes by itself on a successful exec; only a failure speaks.
  WriteAll(plan.report, "exec error: ");
  WriteAll(plan.report, plan.texts->Text(error));
  WriteAll(plan.report, "\n");
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

// What a child that could not start its program reported through the pipe
// (its first line, at most 254 characters); empty when it reported nothing.
// The child has ended, so everything it wrote is already in the pipe.
String ReadExecFailure(int fd) {
  char buf[255];
  size_t have = 0;
  while (have < sizeof buf - 1) {
    ssize_t n = read(fd, buf + have, sizeof buf - 1 - have);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    have += static_cast<size_t>(n);
  }
  buf[have] = '\0';
  buf[std::strcspn(buf, "\r\n")] = '\0';
  return String(buf);
}

// Steps that follow the end of the child, whichever way it was waited for.
bool Evaluate(int status, bool waited, int report, int& exitcode, String& errmsg) {
  if (!WIFEXITED(status)) {
    errmsg = "abnormal termination";
    return false;
  }
  exitcode = WEXITSTATUS(status);
  if (exitcode == 255) {
    String failure = ReadExecFailure(report);
    if (!failure.IsEmpty()) {
      errmsg = waited ? failure : String(kExecError);
      return false;
    }
  }
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

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
  return SystemEx2(cmdline, workdir, -1, -1, -1, timelimit, exitcode, errmsg);
}

bool SystemEx2(const char* cmdline, const char* workdir, int infd, int outfd, int errfd,
               uint32_t timelimit, int& exitcode, String& errmsg) {
  errmsg = "";
  ChildPlan plan;
  SplitCommandLine(cmdline, plan.cmd);
  if (plan.cmd.argc == 0) {
    // Nothing to run: exec of the empty name fails like a missing program.
    plan.cmd.text[0] = '\0';
    plan.cmd.argv[0] = plan.cmd.text;
    plan.cmd.argv[1] = nullptr;
  }
  plan.in = infd;
  plan.out = outfd;
  plan.err = errfd;
  if (workdir != nullptr && workdir[0] != '\0') plan.workdir = workdir;
  plan.texts = &ErrnoTexts::Get();

  // A child that cannot start its program says why through this pipe. Both
  // ends are close-on-exec: a successful exec closes the child's end, and no
  // other child of the agent keeps a copy.
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    errmsg = "fork error";
    return false;
  }
  UniqueFd report(fds[0]);
  UniqueFd report_w(fds[1]);
  fcntl(report.get(), F_SETFL, O_NONBLOCK);
  plan.report = report_w.get();

  pid_t pid;
  {
    std::unique_lock<std::mutex> env = LockEnvironment();
    pid = fork();
    if (pid == 0) RunChild(plan);
  }
  report_w.reset();
  if (pid < 0) {
    errmsg = "fork error";
    return false;
  }

  int status = 0;
  if (timelimit == kSystemExNoWait) {
    exitcode = 0;
    // Up to one second for the child to end by itself; polled finely so a
    // program that fails at once is reported without the full second.
    const int64_t until = MonotonicMs() + 1000;
    int64_t step = 1;
    for (;;) {
      pid_t r = WaitRetry(pid, &status, WNOHANG);
      if (r == pid) return Evaluate(status, false, report.get(), exitcode, errmsg);
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
        // The child leads its own session and process group: the whole group
        // goes, so nothing the program started outlives its time limit.
        if (kill(-pid, SIGKILL) != 0 && kill(pid, SIGKILL) != 0) {
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
  return Evaluate(status, true, report.get(), exitcode, errmsg);
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
