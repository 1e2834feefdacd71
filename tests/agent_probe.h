// Looks at a running agent from outside, for the end-to-end tests of hostile
// clients, durability and faults: raw connections that the test owns, the
// counters of "GetInfo", and the agent's memory, descriptors and threads as
// /proc shows them.
//
// Thread safety: a RawConn belongs to one thread; the free functions may be
// called from any thread.
#ifndef ORV_TESTS_AGENT_PROBE_H_
#define ORV_TESTS_AGENT_PROBE_H_

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "base/bytestring.h"
#include "base/resources.h"
#include "crypto/twofish.h"
#include "protocol/client.h"
#include "protocol/packet.h"
#include "protocol/value_codec.h"

namespace testutil {

using ProbeClock = std::chrono::steady_clock;

// One TCP connection to 127.0.0.1:port, used byte by byte; from the loopback
// address `from` when given (any of 127.0.0.0/8), so that a test can play
// clients on different addresses. rcvbuf, when not 0, shrinks the receive
// buffer (a client that reads slowly or not at all fills it soon).
class RawConn {
 public:
  explicit RawConn(int port, const char* from = nullptr, int rcvbuf = 0) {
    fd_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd_.valid()) return;
    if (rcvbuf > 0) setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    if (from != nullptr) {
      struct sockaddr_in src;
      std::memset(&src, 0, sizeof src);
      src.sin_family = AF_INET;
      if (inet_pton(AF_INET, from, &src.sin_addr) != 1 ||
          bind(fd_.get(), reinterpret_cast<struct sockaddr*>(&src), sizeof src) != 0) {
        fd_.reset();
        return;
      }
    }
    struct sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    // A send into a full buffer must not hang the test for ever.
    struct timeval tv = {5, 0};
    setsockopt(fd_.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    int r;
    do {
      r = connect(fd_.get(), reinterpret_cast<struct sockaddr*>(&a), sizeof a);
    } while (r < 0 && errno == EINTR);
    if (r != 0) fd_.reset();
  }

  bool ok() const { return fd_.valid(); }

  // The whole of bytes, or false (the agent closed, or the connection failed).
  bool Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t w = send(fd_.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      done += static_cast<size_t>(w);
    }
    return true;
  }

  void ShutdownWrite() { shutdown(fd_.get(), SHUT_WR); }

  // Reads until the agent closes the connection (an orderly close or a
  // reset); true when that happened within timeout_ms. What arrived is
  // appended to *got.
  bool WaitClosed(int timeout_ms, std::string* got = nullptr) {
    auto deadline = ProbeClock::now() + std::chrono::milliseconds(timeout_ms);
    std::string ignored;
    for (;;) {
      ssize_t n = ReadSome(deadline, 4096, got ? got : &ignored);
      if (n < 0) return false;
      if (n == 0) return true;
    }
  }

  // Reads until *got holds at least n bytes; false when the connection ends
  // or timeout_ms passes first.
  bool ReadAtLeast(size_t n, int timeout_ms, std::string* got) {
    auto deadline = ProbeClock::now() + std::chrono::milliseconds(timeout_ms);
    while (got->size() < n) {
      if (ReadSome(deadline, n - got->size(), got) <= 0) return false;
    }
    return true;
  }

  // True when the agent has closed the connection already (without waiting).
  bool ClosedNow() {
    struct pollfd p = {fd_.get(), POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return false;
    char c;
    return recv(fd_.get(), &c, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
  }

  // Closes with SO_LINGER 0, so the agent sees a reset instead of a close.
  void Reset() {
    struct linger l = {1, 0};
    setsockopt(fd_.get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    fd_.reset();
  }

  void Close() { fd_.reset(); }

 private:
  // One read of at most room bytes, appended to *got, waiting no later than
  // deadline: the count read, 0 when the peer closed, -1 on time-out or error.
  ssize_t ReadSome(ProbeClock::time_point deadline, size_t room, std::string* got) {
    char buf[4096];
    for (;;) {
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - ProbeClock::now());
      if (left.count() <= 0) return -1;
      struct pollfd p = {fd_.get(), POLLIN, 0};
      int r = poll(&p, 1, static_cast<int>(left.count()));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return -1;
      ssize_t k = recv(fd_.get(), buf, std::min(sizeof buf, room), 0);
      if (k < 0 && errno == EINTR) continue;
      if (k < 0) return 0;  // a reset ends the connection like a close
      got->append(buf, static_cast<size_t>(k));
      return k;
    }
  }

  UniqueFd fd_;
};

// A request packet as a server sends it.
inline std::string RequestPacket(const std::string& password, const std::string& key,
                                 const std::string& text) {
  if (!Twofish_initialised) Twofish_initialise();
  String t;
  t.CopyData(text.data(), static_cast<int>(text.size()));
  return BuildRequestPacket(String(password.c_str()), String(key.c_str()), t).ToStd();
}

// text as a request parameter carries it (line ends and '%' encoded).
inline std::string Encoded(const std::string& text) {
  return orvEncodeStrings(String(text.c_str())).ToStd();
}

// The decrypted reply text of a reply packet, or "" when bytes hold none.
inline std::string ReplyText(const std::string& bytes, const std::string& key) {
  if (bytes.size() < 4) return "";
  uint32_t n = static_cast<uint32_t>(DecodeLength(bytes.data(), 4));
  if (bytes.size() != 4 + static_cast<size_t>(n)) return "";
  String data;
  data.CopyData(bytes.data() + 4, static_cast<int>(n));
  return DecodeData(data, String(key.c_str())).ToStd();
}

// One exchange through the client library; the reply text, or "" when there
// was none.
inline std::string Ask(int port, const std::string& password, const std::string& text,
                       int timeout_ms = 10000) {
  if (!Twofish_initialised) Twofish_initialise();
  String req, reply, err;
  req.CopyData(text.data(), static_cast<int>(text.size()));
  TExchangeStatus st = Exchange(String("127.0.0.1"), port, timeout_ms, String(password.c_str()),
                                RandomSessionKey(), req, reply, err);
  return st == kReplyReceived ? reply.ToStd() : std::string();
}

// The next reply packet on conn, decrypted with key; "" when none came
// whole within timeout_ms.
inline std::string ReadReplyText(RawConn& conn, const std::string& key, int timeout_ms = 10000) {
  std::string got;
  if (!conn.ReadAtLeast(4, timeout_ms, &got)) return "";
  const size_t n = 4 + static_cast<uint32_t>(DecodeLength(got.data(), 4));
  if (!conn.ReadAtLeast(n, timeout_ms, &got)) return "";
  return ReplyText(got.substr(0, n), key);
}

// A connection that sent "UpgradeCode" with length under key, its reply text
// in *first. While that is "302" (an earlier session's claim is still being
// let go) it tries again, for up to retry_ms.
inline std::unique_ptr<RawConn> BeginUpgrade(int port, const std::string& password,
                                             const std::string& key, const std::string& length,
                                             std::string* first, int retry_ms = 5000) {
  const std::string packet = RequestPacket(password, key, "UpgradeCode\n" + length + "\n\r");
  auto deadline = ProbeClock::now() + std::chrono::milliseconds(retry_ms);
  for (;;) {
    auto conn = std::make_unique<RawConn>(port);
    *first = conn->ok() && conn->Send(packet) ? ReadReplyText(*conn, key) : "";
    if (*first != "302\n\r" || ProbeClock::now() > deadline) return conn;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// The number after "\n<key>=" in a reply, or -1 when the key is absent.
inline long ReplyNumber(const std::string& reply, const std::string& key) {
  std::string k = "\n" + key + "=";
  size_t at = reply.find(k);
  if (at == std::string::npos) return -1;
  return std::strtol(reply.c_str() + at + k.size(), nullptr, 10);
}

// What /proc tells about a process.
struct ProcUsage {
  long rss_kib = -1;  // VmRSS
  int threads = -1;   // Threads
  int fds = -1;       // entries of /proc/PID/fd
  long wakeups = -1;  // voluntary context switches of the main thread
};

inline ProcUsage UsageOf(pid_t pid) {
  ProcUsage u;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmRSS:") == 0) u.rss_kib = std::strtol(line.c_str() + 6, nullptr, 10);
    if (line.compare(0, 8, "Threads:") == 0)
      u.threads = static_cast<int>(std::strtol(line.c_str() + 8, nullptr, 10));
    if (line.compare(0, 24, "voluntary_ctxt_switches:") == 0)
      u.wakeups = std::strtol(line.c_str() + 24, nullptr, 10);
  }
  std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  UniqueDir d(opendir(fds.c_str()));
  if (d) {
    u.fds = 0;
    while (struct dirent* e = readdir(d.get())) {
      if (e->d_name[0] != '.') u.fds++;
    }
  }
  return u;
}

// Waits up to timeout_ms until no session but the asking one is left
// ("ActiveConnections=1") and the agent holds exactly want_fds descriptors
// and want_threads threads (a negative want is not checked). The last
// "GetInfo" reply goes to *info.
inline bool WaitQuiet(int port, const std::string& password, pid_t pid, int want_fds,
                      int want_threads, int timeout_ms, std::string* info = nullptr) {
  auto deadline = ProbeClock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    std::string reply = Ask(port, password, "GetInfo\n\r");
    if (info) *info = reply;
    // The session that answered ends right after its reply; give it a moment.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ProcUsage u = UsageOf(pid);
    bool quiet = ReplyNumber(reply, "ActiveConnections") == 1 &&
                 (want_fds < 0 || u.fds == want_fds) &&
                 (want_threads < 0 || u.threads == want_threads);
    if (quiet) return true;
    if (ProbeClock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

}  // namespace testutil

#endif  // ORV_TESTS_AGENT_PROBE_H_
