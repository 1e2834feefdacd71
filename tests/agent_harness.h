// The real agent for the end-to-end tests: started on a free port with a
// generated configuration and stopped by its pid when its AgentProcess goes;
// orvq runs; raw connections the test owns; the counters of "GetInfo"; and
// the agent's memory, descriptors and threads as /proc shows them.
//
// Thread safety: an AgentProcess and a RawConn belong to one thread; the
// free functions may be called from any thread.
#ifndef ORV_TESTS_AGENT_HARNESS_H_
#define ORV_TESTS_AGENT_HARNESS_H_

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "crypto/twofish.h"
#include "protocol/client.h"
#include "protocol/packet.h"
#include "protocol/value_codec.h"
#include "tests/testutil.h"

namespace testutil {

using ProbeClock = std::chrono::steady_clock;

struct OrvqResult {
  int status = -1;  // exit status of orvq
  std::string out;  // its standard output
  std::string err;  // its standard error
};

// Runs build/orvq with the arguments; bounded by timeout_ms.
OrvqResult RunOrvq(const std::vector<std::string>& args, int timeout_ms = 20000);

class AgentProcess {
 public:
  static constexpr const char* kPassword = "e2e-secret";

  // config_extra: more lines for the configuration file (they come after the
  // generated ones, so they win for repeated keys).
  explicit AgentProcess(const std::string& config_extra = "",
                        const std::vector<std::string>& flags = {"-i", "-v"});
  ~AgentProcess() { Stop(); }
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  // Starts the agent and waits until it accepts connections. False when it
  // exits or does not listen within the time limit.
  bool Start(int timeout_ms = 15000);
  // Waits for the agent to exit; its exit status, or -1 on time-out.
  int WaitExit(int timeout_ms);
  // Stops the agent (SIGTERM, then SIGKILL) and reaps it.
  void Stop();

  // One request through orvq with this agent's port and password.
  OrvqResult Query(const std::vector<std::string>& command_and_params,
                   const std::string& password = kPassword);

  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  const TempDir& dir() const { return dir_; }
  std::string config_path() const { return dir_.File("orv.cfg"); }
  std::string console() const { return ReadFile(dir_.File("console.out")); }  // so far

 private:
  TempDir dir_;
  int port_ = 0;
  pid_t pid_ = -1;
  std::vector<std::string> flags_;
};

// The agent's private folder ("orv-" and six characters) inside the
// temporary folder folder; empty when there is none.
std::string PrivateTmpIn(const std::string& folder);
// The process holding the socket listening on TCP port, or 0; when among is
// given only that one is looked at. An agent that lost its port must not be
// taken for whoever has it.
pid_t PidListeningOn(int port, pid_t among = 0);
inline bool ListensOn(pid_t pid, int port) {
  return PidListeningOn(port, pid) == pid;
}

// One TCP connection to 127.0.0.1:port, used byte by byte; from the loopback
// address `from` when given (any of 127.0.0.0/8), so that a test can play
// clients on different addresses. rcvbuf, when not 0, shrinks the receive
// buffer (a client that reads slowly or not at all fills it soon).
class RawConn {
 public:
  explicit RawConn(int port, const char* from = nullptr, int rcvbuf = 0)
      : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    struct sockaddr_in src = LoopbackAddr(0), dst = LoopbackAddr(port);
    if (rcvbuf > 0) setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    struct timeval tv = {5, 0};  // a send into a full buffer must not hang the test
    setsockopt(fd_.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if ((from && (inet_pton(AF_INET, from, &src.sin_addr) != 1 ||
                  bind(fd_.get(), reinterpret_cast<sockaddr*>(&src), sizeof src) != 0)) ||
        connect(fd_.get(), reinterpret_cast<sockaddr*>(&dst), sizeof dst) != 0)
      fd_.reset();
  }
  bool ok() const { return fd_.valid(); }

  // The whole of bytes, or false (the agent closed, or the connection failed).
  bool Send(const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
      ssize_t w = send(fd_.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
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
    const auto deadline = ProbeClock::now() + std::chrono::milliseconds(timeout_ms);
    std::string ignored;
    for (ssize_t n; (n = ReadSome(deadline, 4096, got ? got : &ignored)) != 0;) {
      if (n < 0) return false;
    }
    return true;
  }
  // Reads until *got holds at least n bytes; false when the connection ends
  // or timeout_ms passes first.
  bool ReadAtLeast(size_t n, int timeout_ms, std::string* got) {
    const auto deadline = ProbeClock::now() + std::chrono::milliseconds(timeout_ms);
    while (got->size() < n) {
      if (ReadSome(deadline, n - got->size(), got) <= 0) return false;
    }
    return true;
  }
  // True when the agent has closed the connection already (without waiting).
  bool ClosedNow() {
    struct pollfd p = {fd_.get(), POLLIN, 0};
    char c;
    return poll(&p, 1, 0) > 0 && recv(fd_.get(), &c, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
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
  // deadline: the count read, 0 when the peer closed or reset, -1 on time-out.
  ssize_t ReadSome(ProbeClock::time_point deadline, size_t room, std::string* got) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - ProbeClock::now());
    struct pollfd p = {fd_.get(), POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return -1;
    char buf[4096];
    ssize_t k = recv(fd_.get(), buf, std::min(sizeof buf, room), 0);
    if (k > 0) got->append(buf, static_cast<size_t>(k));
    return k < 0 ? 0 : k;
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
  if (bytes.size() < 4 || bytes.size() != 4 + static_cast<uint32_t>(DecodeLength(bytes.data(), 4)))
    return "";
  String data;
  data.CopyData(bytes.data() + 4, static_cast<int>(bytes.size() - 4));
  return DecodeData(data, String(key.c_str())).ToStd();
}

// The next reply packet on conn, decrypted with key; "" when none came
// whole within timeout_ms.
inline std::string ReadReplyText(RawConn& conn, const std::string& key, int timeout_ms = 10000) {
  std::string got;
  if (!conn.ReadAtLeast(4, timeout_ms, &got)) return "";
  const size_t n = 4 + static_cast<uint32_t>(DecodeLength(got.data(), 4));
  return conn.ReadAtLeast(n, timeout_ms, &got) ? ReplyText(got.substr(0, n), key) : "";
}

// One exchange under a fresh session key, from the loopback address `from`
// when given; the reply text, or "" when there was none.
inline std::string Ask(int port, const std::string& password, const std::string& text,
                       int timeout_ms = 10000, const char* from = nullptr) {
  const std::string key = RandomSessionKey().ToStd();
  RawConn conn(port, from);
  return conn.Send(RequestPacket(password, key, text)) ? ReadReplyText(conn, key, timeout_ms) : "";
}

// A connection that sent "UpgradeCode" with length under key, its reply text
// in *first. While that is "302" (an earlier session's claim is still being
// let go) it tries again, for up to retry_ms.
inline std::unique_ptr<RawConn> BeginUpgrade(int port, const std::string& password,
                                             const std::string& key, const std::string& length,
                                             std::string* first, int retry_ms = 5000) {
  const std::string packet = RequestPacket(password, key, "UpgradeCode\n" + length + "\n\r");
  const auto deadline = ProbeClock::now() + std::chrono::milliseconds(retry_ms);
  for (;;) {
    auto conn = std::make_unique<RawConn>(port);
    *first = conn->ok() && conn->Send(packet) ? ReadReplyText(*conn, key) : "";
    if (*first != "302\n\r" || ProbeClock::now() > deadline) return conn;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// Connects to 127.0.0.1:port; true when something accepts within timeout_ms.
inline bool PortAnswers(int port, int timeout_ms) {
  return Eventually([&] { return RawConn(port).ok(); }, timeout_ms);
}

// The number after "\n<key>=" in a reply, or -1 when the key is absent.
inline long ReplyNumber(const std::string& reply, const std::string& key) {
  const size_t at = reply.find("\n" + key + "=");
  return at == std::string::npos ? -1
                                 : std::strtol(reply.c_str() + at + key.size() + 2, nullptr, 10);
}

// What /proc tells about a process.
struct ProcUsage {
  long rss_kib = -1;  // VmRSS
  int threads = -1;   // Threads
  int fds = -1;       // entries of /proc/PID/fd
  long wakeups = -1;  // voluntary context switches of the main thread
};
ProcUsage UsageOf(pid_t pid);

// Waits up to timeout_ms until no session but the asking one is left
// ("ActiveConnections=1") and the agent holds exactly want_fds descriptors
// and want_threads threads (a negative want is not checked). The last
// "GetInfo" reply goes to *info.
bool WaitQuiet(int port, const std::string& password, pid_t pid, int want_fds, int want_threads,
               int timeout_ms, std::string* info = nullptr);

}  // namespace testutil

#endif  // ORV_TESTS_AGENT_HARNESS_H_
