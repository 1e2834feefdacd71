#include "agent/acceptor.h"

#include <arpa/inet.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>

#include "agent/admission.h"
#include "agent/logging.h"
#include "agent/session.h"
#include "base/oserror.h"
#include "agent/agent_info.h"

namespace {

// Sessions need little stack; a small one keeps many idle connections cheap.
constexpr size_t kSessionStack = 512 * 1024;

// While the agent is busy the main thread looks this often whether queued
// connections are still taken; if none was for a whole look, every session
// thread is held by long work and more threads start.
constexpr int kStallLookMs = 2;

std::atomic<int> g_listen_fd{-1};  // where session threads accept; -1: nowhere
std::atomic<int> g_threads{0};     // session threads alive
std::atomic<unsigned> g_accepts{0};  // connections taken so far (wraps)
// True while the main thread sleeps its whole wait without looking for
// stalls: the thread that leaves none waiting must then wake it.
std::atomic<bool> g_main_napping{false};
std::atomic<int> g_in_accept{0};   // threads between reading g_listen_fd and accept's return
std::atomic<int> g_waiting{0};     // threads waiting (or about to wait) for a connection
std::atomic<bool> g_failed{false};
// The fewest threads that waited at once since the main thread last looked,
// and how many threads should end after their session instead of waiting
// again. The kernel wakes waiting threads in turn, so under a light but
// steady load none of a large pool would ever wait out its linger time; the
// main thread trims the threads that were never all needed.
std::atomic<int> g_low_water{0};
std::atomic<int> g_retire{0};
// Wakes the main thread when no thread is left waiting, so that it watches
// the listener again at once rather than after its one-second wait.
int g_wake_fd = -1;

void WakeMain() {
  uint64_t one = 1;
  if (write(g_wake_fd, &one, sizeof one) < 0) { /* already signalled */ }
}

// Threads started as soon as none waits: enough to keep every core busy
// with short requests. Beyond them a thread starts only when the queued
// connections stall, so that under load a finished session usually finds
// the next connection queued instead of another thread being woken for it.
int CoreThreads() {
  static const int n = [] {
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    return static_cast<int>(std::max(4L, std::min(2 * cpus, 256L)));
  }();
  return n;
}

enum TAcceptResult { kAccepted, kAgain, kEnd };

TAcceptResult AcceptOne(int& fd, sockaddr_in& peer) {
  g_in_accept.fetch_add(1);
  int listener = g_listen_fd.load();
  if (listener < 0) {
    g_in_accept.fetch_sub(1);
    return kEnd;
  }
  socklen_t len = sizeof peer;
  fd = accept4(listener, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
  int error = errno;
  g_in_accept.fetch_sub(1);
  if (fd >= 0) {
    g_accepts.fetch_add(1, std::memory_order_relaxed);
    return kAccepted;
  }
  switch (error) {
    case EINTR:
    case ECONNABORTED:
      return kAgain;
    case EAGAIN:  // the linger time passed without a connection
      return kEnd;
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      // Out of descriptors or memory for now: the connection waits in the
      // queue until sessions end and free some.
      showmessage("Accept error: %s\n", LOCAL, msgBad, 1, GetErrorStr(error).CStr());
      usleep(100000);
      return kAgain;
    default:
      // A listener that was stopped (port switch, re-execution) is no failure.
      if (g_listen_fd.load() != listener) return kAgain;
      showmessage("Accept fatal error: %s\n\n", LOCAL, msgBad, 1, GetErrorStr(error).CStr());
      g_failed = true;
      WakeMain();
      return kEnd;
  }
}

// Takes a session slot for the peer, or reports why there is none: the
// excess of one address is refused at once, so it neither waits for a slot
// nor keeps other addresses from theirs.
bool Admitted(const TORVSettings& s, in_addr peer) {
  switch (SessionAdmission().Admit(peer, s.MaxSessions, s.MaxSessionsPerAddr)) {
    case TSessionAdmission::kAdmitted:
      return true;
    case TSessionAdmission::kTooManySessions:
      showmessage("TCP connection refused: too many sessions\n", peer, msgBad);
      return false;
    case TSessionAdmission::kTooManyFromAddress:
      showmessage("TCP connection refused: too many sessions from this address\n", peer, msgBad);
      return false;
  }
  return false;
}

// The steps every accepted connection goes through on the thread that
// accepted it.
void ServeAccepted(int fd, const sockaddr_in& peer) {
  std::shared_ptr<const TORVSettings> s = ORVSettings.Get();
  bool passes = PassesFilter(*s, peer.sin_addr);
  if (!passes) {
    AgentStatus.FailedConnections++;
    showmessage("TCP connection rejected\n", peer.sin_addr, msgBad);
  }
  if (!passes || !Admitted(*s, peer.sin_addr)) {
    shutdown(fd, SHUT_RDWR);
    close(fd);
    return;
  }
  showmessage("TCP connection accepted\n", peer.sin_addr, msgOk);
  ThreadParams params;
  params.Socket = fd;
  params.ClientAddr = peer.sin_addr;
  ServeConnection(params);
}

// Starts count session threads; false once one cannot start (reported).
bool StartSessionThreads(int count);

// One thread less waits; returns how many still do.
int StopWaiting() {
  int left = g_waiting.fetch_sub(1) - 1;
  int low = g_low_water.load();
  while (left < low && !g_low_water.compare_exchange_weak(low, left)) {
  }
  return left;
}

// True when this thread is one of those the main thread asked to end.
bool TakeRetirement() {
  int retire = g_retire.load();
  while (retire > 0 && !g_retire.compare_exchange_weak(retire, retire - 1)) {
  }
  return retire > 0;
}

void* SessionThread(void*) {
  bool retired = false;
  for (;;) {
    int fd = -1;
    sockaddr_in peer;
    TAcceptResult r = AcceptOne(fd, peer);
    if (r == kAgain) continue;
    if (r == kEnd) break;
    if (StopWaiting() == 0) {
      // This was the last waiting thread: below the core count another
      // takes its place first; beyond it the main thread watches for a stall.
      if (g_threads.load() >= CoreThreads()) {
        if (g_main_napping.exchange(false)) WakeMain();
      } else if (!StartSessionThreads(1)) {
        WakeMain();
      }
    }
    ServeAccepted(fd, peer);
    retired = TakeRetirement();
    if (retired) break;  // no longer counted as waiting
    g_waiting.fetch_add(1);
  }
  if (!retired) {
    // Ending after the linger time also settles a trim asked for meanwhile.
    TakeRetirement();
    if (StopWaiting() == 0) WakeMain();
  }
  g_threads.fetch_sub(1);
  return nullptr;
}

// Starts a thread that counts as waiting from the start.
bool StartSessionThread(String& err) {
  g_threads.fetch_add(1);
  g_waiting.fetch_add(1);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, kSessionStack);
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, SessionThread, nullptr);
  pthread_attr_destroy(&attr);
  if (rc == 0) return true;
  StopWaiting();
  g_threads.fetch_sub(1);
  err = GetErrorStr(rc);
  return false;
}

bool StartSessionThreads(int count) {
  String err;
  for (int i = 0; i < count; ++i) {
    if (!StartSessionThread(err)) {
      showmessage("Cannot start a session: %s\n", LOCAL, msgBad, 1, err.CStr());
      return false;
    }
  }
  return true;
}

}  // namespace

bool PassesFilter(const TORVSettings& s, in_addr peer) {
  if (!s.FilterActive) return true;
  char ip[INET_ADDRSTRLEN];
  if (!inet_ntop(AF_INET, &peer, ip, sizeof ip)) return false;
  String item = String("\r\n") + ip + "\r\n";
  return s.ActiveFilter.Pos(item) > 0;
}

void AcceptOn(int fd) {
  if (g_wake_fd < 0) g_wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  // A thread blocked in accept on this socket gives up after the linger
  // time. (Accepted connections inherit the limit; sessions wait for their
  // bytes with poll, so it never ends a receive.)
  struct timeval linger = {kAcceptLingerSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &linger, sizeof linger);
  g_listen_fd = fd;
}

void StopAccepting(int fd) {
  g_listen_fd = -1;
  // Wakes every thread blocked in accept on fd; a thread that read fd just
  // before finds the socket shut down. Only when none is left may fd close,
  // or a thread could accept on whatever gets its number next.
  shutdown(fd, SHUT_RDWR);
  while (g_in_accept.load() > 0) usleep(1000);
}

void WaitAndWatch(int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  // More than one thread waited all the time during the last second: all
  // but one end after their next session.
  static Clock::time_point trimmed;
  const Clock::time_point start = Clock::now();
  if (start - trimmed >= std::chrono::seconds(1)) {
    trimmed = start;
    int low = g_low_water.exchange(g_waiting.load());
    g_retire = low > 1 ? low - 1 : 0;
  }

  // After a failed thread start the listener is left unwatched for a second
  // (the connection stays queued), or its readiness would wake this loop at
  // once, again and again.
  static Clock::time_point retry_at;
  static unsigned seen_accepts;
  static bool looking = false;  // looking every kStallLookMs, not sleeping
  const Clock::time_point deadline = start + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const Clock::time_point now = Clock::now();
    const int listener = g_listen_fd.load();
    const unsigned accepts = g_accepts.load();
    const bool progressed = accepts != seen_accepts;
    seen_accepts = accepts;
    const bool can_start = listener >= 0 && now >= retry_at;
    const bool none_waits = g_waiting.load() == 0;
    // A connection waits and no thread waits for it. When connections were
    // taken since the last look the busy threads will come for it; when
    // none was, they are all held by long work (or there are none).
    if (can_start && !progressed && none_waits) {
      struct pollfd l = {listener, POLLIN, 0};
      if (poll(&l, 1, 0) > 0 && (l.revents & POLLIN)) {
        if (!StartSessionThreads(std::max(1, g_threads.load() / 2)))
          retry_at = now + std::chrono::seconds(1);
        continue;
      }
    }
    if (now >= deadline) return;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    if (!can_start && listener >= 0) {
      auto until_retry =
          std::chrono::duration_cast<std::chrono::milliseconds>(retry_at - now).count() + 1;
      left = std::min(left, until_retry);
    }
    int wait_ms = static_cast<int>(std::max<long long>(left, 0));
    // Three ways to wait. Under load (connections taken while none waits,
    // or since the last look): look again shortly. None waiting and none
    // taken: the listener's readiness ends the wait (an idle agent, or
    // threads all held by long work while nobody asks). Threads waiting:
    // sleep; the thread that leaves none waiting wakes this wait.
    looking = progressed && (none_waits || looking) && listener >= 0;
    const bool watch = !looking && can_start && none_waits;
    if (looking) {
      wait_ms = std::min(wait_ms, kStallLookMs);
    } else if (!watch) {
      // Announced before looking, so that one of the two sees the other.
      g_main_napping = true;
      if (can_start && g_waiting.load() == 0) {
        g_main_napping = false;
        continue;
      }
    }
    struct pollfd p[2] = {{g_wake_fd, POLLIN, 0}, {listener, POLLIN, 0}};
    int ready = poll(p, watch ? 2 : 1, wait_ms);
    g_main_napping = false;
    if (ready > 0 && (p[0].revents & POLLIN)) {
      uint64_t count;
      if (read(g_wake_fd, &count, sizeof count) < 0) { /* nothing to drain */ }
      return;
    }
  }
}

bool AcceptFailed() { return g_failed.load(); }

void WakeMainThread() { WakeMain(); }
