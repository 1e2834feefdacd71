#include "agent/crash.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>

#include "agent/flags.h"
#include "base/bytestring.h"
#include "base/paths.h"
#include "config/settings.h"

namespace {

constexpr int kPathMax = 4096;
// A fault this early ends the process: a restart loop is worse than a stop.
constexpr int64_t kRestartAfterSeconds = 180;

// Everything the handler needs, in plain storage.
struct TCrashRecord {
  bool console = false;           // interactive: lines go to standard output
  char logs[2][kPathMax] = {};    // bad and verbose log files, "" when unused
  char agent[kPathMax] = {};      // the executable to restart
  long gmtoff = 0;                // local time minus UTC, seconds
};

TCrashRecord g_records[2];
std::atomic<int> g_current{0};
static_assert(std::atomic<int>::is_always_lock_free, "read in a signal handler");

char** g_argv = nullptr;
char** g_envp = nullptr;
char g_pid_path[2][kPathMax];
std::atomic<int> g_pid_current{0};

std::shared_ptr<const TORVSettings> g_seen;  // main thread only
time_t g_refreshed = 0;

void CopyPath(const String& path, char* out) {
  if (path.Length() == 0 || path.Length() >= kPathMax) {
    out[0] = 0;
    return;
  }
  std::memcpy(out, path.Data(), static_cast<size_t>(path.Length()));
  out[path.Length()] = 0;
}

// A log name without a directory lives beside the configuration file, as
// for every other log line.
String LogPath(const TORVSettings& s, const String& name) {
  if (name.Length() == 0 || name.Pos('/') != 0) return name;
  return ExtractFilePath(String(s.ConfigFile)) + name;
}

// ---- async-signal-safe helpers ----

struct TLine {
  char text[128];
  int len = 0;
  void Add(const char* s) {
    while (*s && len < static_cast<int>(sizeof text)) text[len++] = *s++;
  }
  void Two(int v) {  // at least two digits, as "%2.2d"
    char d[12];
    int n = 0;
    if (v < 0) v = 0;
    do {
      d[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v > 0);
    if (n < 2) d[n++] = '0';
    while (n > 0 && len < static_cast<int>(sizeof text)) text[len++] = d[--n];
  }
};

// Civil date from days since 1970-01-01 (proleptic Gregorian).
void CivilFromDays(long z, int& y, int& m, int& d) {
  z += 719468;
  const long era = (z >= 0 ? z : z - 146096) / 146097;
  const long doe = z - era * 146097;
  const long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
}

void WriteAll(int fd, const char* p, int n) {
  while (n > 0) {
    ssize_t w = write(fd, p, static_cast<size_t>(n));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    p += w;
    n -= static_cast<int>(w);
  }
}

// The lines showmessage would write for a failure concerning no client.
void Report(const TCrashRecord& r, const char* text) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  const long local = static_cast<long>(ts.tv_sec) + r.gmtoff;
  long days = local / 86400;
  long secs = local % 86400;
  if (secs < 0) {
    secs += 86400;
    --days;
  }
  int y, m, d;
  CivilFromDays(days, y, m, d);
  TLine clock;
  clock.Two(static_cast<int>(secs / 3600));
  clock.Add(":");
  clock.Two(static_cast<int>(secs / 60 % 60));
  clock.Add(":");
  clock.Two(static_cast<int>(secs % 60));
  clock.text[clock.len] = 0;  // room: the clock is 8 bytes

  if (r.console) {
    TLine line;
    line.Add("[orv][");
    line.Add(clock.text);
    line.Add("]\t orv\t\t ");
    line.Add(text);
    WriteAll(STDOUT_FILENO, line.text, line.len);
  }
  TLine line;
  line.Add("[");
  line.Two(m);
  line.Add("/");
  line.Two(d);
  line.Add("/");
  line.Two(y);
  line.Add(" ");
  line.Add(clock.text);
  line.Add("]\t orv\t\t ");
  line.Add(text);
  for (const char* path : r.logs) {
    if (path[0] == 0) continue;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) continue;
    WriteAll(fd, line.text, line.len);
    close(fd);
  }
}

// A late segmentation fault restarts the agent. Returning would only fault
// again, so the handler re-executes the agent itself (the listening socket
// and the pid file are closed on exec). Only async-signal-safe calls.
void reloadapp(int) {
  const int saved_errno = errno;
  signal(SIGSEGV, SIG_DFL);
  const TCrashRecord& r = g_records[g_current.load(std::memory_order_acquire)];
  Report(r, "Segmentation fault!!\n");
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  if (static_cast<int64_t>(ts.tv_sec) - ORVFlags.StartTime <= kRestartAfterSeconds) {
    errno = saved_errno;
    return;  // the default action ends the process when the fault repeats
  }
  Report(r, "Restarting..\n");
  ORVFlags.Reload = 1;
  const char* pid = g_pid_path[g_pid_current.load(std::memory_order_acquire)];
  if (pid[0]) unlink(pid);
  if (r.agent[0] && g_argv) execve(r.agent, g_argv, g_envp);
  errno = saved_errno;
}

}  // namespace

void CrashPathPrepare(char** argv, char** envp) {
  g_argv = argv;
  g_envp = envp;
}

void CrashPathRefresh() {
  std::shared_ptr<const TORVSettings> s = ORVSettings.Get();
  const time_t now = time(nullptr);
  if (s == g_seen && now - g_refreshed < 60 && now >= g_refreshed) return;
  g_seen = s;
  g_refreshed = now;
  const int next = 1 - g_current.load(std::memory_order_relaxed);
  TCrashRecord& r = g_records[next];
  r.console = s->Interactive != 0;
  CopyPath(s->LogFails ? LogPath(*s, s->BadLogFile) : String(), r.logs[0]);
  CopyPath(s->Verbose ? LogPath(*s, s->VerboseLogFile) : String(), r.logs[1]);
  CopyPath(s->AgentPath, r.agent);
  struct tm lt;
  localtime_r(&now, &lt);
  r.gmtoff = lt.tm_gmtoff;
  g_current.store(next, std::memory_order_release);
}

void CrashPathSetPidFile(const char* path) {
  const int next = 1 - g_pid_current.load(std::memory_order_relaxed);
  CopyPath(String(path ? path : ""), g_pid_path[next]);
  g_pid_current.store(next, std::memory_order_release);
}

void InstallCrashHandler() {
  CrashPathRefresh();
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = reloadapp;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGSEGV, &sa, nullptr);
}
