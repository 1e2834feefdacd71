#include "agent/logging.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "agent/repeat_limit.h"
#include "base/paths.h"
#include "base/resources.h"
#include "config/settings.h"

const in_addr LOCAL = {0};
std::mutex showmutex;

namespace {

constexpr int kLineMax = 512;  // 511 bytes and the terminator

// True when a message of this class goes anywhere: the console in
// interactive mode, or one of the log files. A daemon that logs only
// failures formats nothing, and takes no lock, for the messages every
// request produces.
bool Shown(const TORVSettings& s, MsgType type) {
  return s.Interactive || s.Verbose || (type == msgOk && s.LogSuccess) ||
         (type == msgBad && s.LogFails);
}

// Formats and writes one message; the caller holds showmutex.
void EmitLocked(const TORVSettings& s, const char* text, in_addr peer, MsgType type) {
  time_t now = time(nullptr);
  struct tm lt;
  localtime_r(&now, &lt);
  char date[64];
  char clock[64];
  snprintf(date, sizeof date, "%2.2d/%2.2d/%2.2d", lt.tm_mon + 1, lt.tm_mday, lt.tm_year + 1900);
  snprintf(clock, sizeof clock, "%2.2d:%2.2d:%2.2d", lt.tm_hour, lt.tm_min, lt.tm_sec);
  date[22] = clock[22] = 0;  // the date and time columns hold at most 22 characters

  char address[24];
  if (peer.s_addr == 0 || inet_ntop(AF_INET, &peer, address, sizeof address) == nullptr)
    snprintf(address, sizeof address, "orv\t");

  char line[kLineMax];
  if (s.Interactive) {
    // A line longer than the buffer is cut there, as the header says.
    if (snprintf(line, sizeof line, "[orv][%s]\t %s\t %s", clock, address, text) < 0) line[0] = 0;
    fputs(line, stdout);
    fflush(stdout);
  }
  if (snprintf(line, sizeof line, "[%s %s]\t %s\t %s", date, clock, address, text) < 0) line[0] = 0;
  if (type == msgOk && s.LogSuccess) writelog(s.OkLogFile, line, s.ConfigFile);
  if (type == msgBad && s.LogFails) writelog(s.BadLogFile, line, s.ConfigFile);
  if (s.Verbose) writelog(s.VerboseLogFile, line, s.ConfigFile);
}

// Whether a message of this class may go anywhere, from a word that holds
// the answer for every class and the settings generation it was taken from.
// A daemon that logs only failures drops the several messages each request
// produces here, without the settings store's lock or reference count.
bool MaybeShown(MsgType type) {
  static std::atomic<uint64_t> cached{0};  // generation << 8 | 0x80 | one bit per class
  const uint64_t generation = ORVSettings.Generation();
  uint64_t word = cached.load(std::memory_order_relaxed);
  if ((word >> 8) != generation || !(word & 0x80)) {
    std::shared_ptr<const TORVSettings> s = ORVSettings.Get();
    word = generation << 8 | 0x80;
    for (MsgType t : {msgOk, msgBad, msgDebug, msgInfo}) {
      if ((t != msgDebug || s->Debug) && Shown(*s, t)) word |= 1u << t;
    }
    cached.store(word, std::memory_order_relaxed);
  }
  return (word >> type) & 1u;
}

int64_t MonotonicSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec;
}

// Guarded by showmutex.
TRepeatLimiter& Limiter() {
  static TRepeatLimiter* limiter = new TRepeatLimiter;  // used by detached threads to the end
  return *limiter;
}

void EmitSummaryLocked(const TORVSettings& s, const TRepeatLimiter::TSummary& sum) {
  if (!Shown(s, static_cast<MsgType>(sum.type))) return;
  char text[kLineMax];
  snprintf(text, sizeof text, "%d similar messages suppressed\n", sum.count);
  in_addr peer;
  peer.s_addr = sum.address;
  EmitLocked(s, text, peer, static_cast<MsgType>(sum.type));
}

}  // namespace

void showmessage(const char* format, in_addr peer, MsgType type, int args, ...) {
  if (!MaybeShown(type)) return;
  std::shared_ptr<const TORVSettings> s = ORVSettings.Get();
  if (type == msgDebug && !s->Debug) return;
  if (format == nullptr || !Shown(*s, type)) return;

  char text[kLineMax];
  if (args) {
    va_list ap;
    va_start(ap, args);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
  } else {
    snprintf(text, sizeof text, "%s", format);
  }
  uint64_t key = TRepeatLimiter::Key(type, peer.s_addr, text);
  std::lock_guard<std::mutex> lock(showmutex);
  TRepeatLimiter::TSummary earlier;
  bool shown = Limiter().Admit(key, peer.s_addr, type, MonotonicSeconds(), &earlier);
  if (earlier.count > 0) EmitSummaryLocked(*s, earlier);
  if (shown) EmitLocked(*s, text, peer, type);
}

void ReportSuppressedMessages() {
  // Once a second is soon enough, and keeps the lock off the accept path.
  static int64_t last_pass = -1;
  const int64_t now = MonotonicSeconds();
  if (now == last_pass) return;
  last_pass = now;
  std::shared_ptr<const TORVSettings> s = ORVSettings.Get();
  std::lock_guard<std::mutex> lock(showmutex);
  TRepeatLimiter::TSummary sum;
  while (Limiter().TakeExpired(now, &sum)) EmitSummaryLocked(*s, sum);
}

void writelog(String filename, const char* line, const char* configfile) {
  if (filename.Length() == 0 || line == nullptr) return;
  if (filename.Pos('/') == 0 && configfile != nullptr) {
    String dir = ExtractFilePath(String(configfile));
    if (dir.Length() > 0) filename = dir + filename;
  }
  // Not waiting for a reader: a FIFO put in a log file's place would hold
  // the message lock, and with it every session, for ever.
  int fd;
  do {
    fd = open(filename.CStr(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
              0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return;
  UniqueFile f(fdopen(fd, "a"));
  if (!f) {
    close(fd);
    return;
  }
  fputs(line, f.get());
}
