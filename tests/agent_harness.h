// The real agent on a free port with a generated configuration, stopped by
// its pid; orvq runs; raw connections; the agent's use of the machine.
//
// Thread safety: an AgentProcess and a RawConn belong to one thread; the
// free functions may be called from any thread.
#ifndef ORV_TESTS_AGENT_HARNESS_H_
#define ORV_TESTS_AGENT_HARNESS_H_

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "crypto/twofish.h"
#include "protocol/client.h"
#include "protocol/packet.h"
#include "protocol/value_codec.h"
#include "tests/testutil.h"

namespace testutil {

using ProbeClock = std::chrono::steady_clock;

struct OrvqResult {
  int status = -1;  // exit status, -1 when it ran out of time
  std::string out, err;
};
OrvqResult RunOrvq(const std::vector<std::string>& args, int timeout_ms = 20000);

class AgentProcess {
 public:
  static constexpr const char* kPassword = "e2e-secret";

  // config_extra follows the generated lines, so it wins for repeated keys.
  explicit AgentProcess(const std::string& config_extra = "",
                        const std::vector<std::string>& flags = {"-i", "-v"});
  ~AgentProcess() { Stop(); }
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  // True once the agent listens; false when it exits or runs out of time.
  bool Start(int timeout_ms = 15000);
  // The exit status (128 + signal), or -1 on time-out.
  int WaitExit(int timeout_ms);
  void Stop();  // SIGTERM, then SIGKILL
  OrvqResult Query(const std::vector<std::string>& command_and_params,
                   const std::string& password = kPassword);

  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  const TempDir& dir() const { return dir_; }
  std::string config_path() const { return dir_.File("orv.cfg"); }
  std::string console() const { return ReadFile(dir_.File("console.out")); }

 private:
  TempDir dir_;
  int port_ = 0;
  pid_t pid_ = -1;
  std::vector<std::string> flags_;
};

// The agent's private folder ("orv-" and six characters) in folder, or "".
std::string PrivateTmpIn(const std::string& folder);
// The process listening on TCP port (only among, when given), or 0: an
// agent that lost its port must not be taken for whoever has it now.
pid_t PidListeningOn(int port, pid_t among = 0);

// One TCP connection to 127.0.0.1:port, from the loopback address `from`
// when given; rcvbuf > 0 shrinks the receive buffer (a slow reader).
class RawConn {
 public:
  explicit RawConn(int port, const char* from = nullptr, int rcvbuf = 0);
  bool ok() const { return fd_.valid(); }
  bool Send(const std::string& bytes) {  // false when the agent closed
    ssize_t w = 0;
    for (size_t done = 0; done < bytes.size(); done += static_cast<size_t>(w)) {
      if ((w = send(fd_.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL)) <= 0)
        return false;
    }
    return true;
  }
  void ShutdownWrite() { shutdown(fd_.get(), SHUT_WR); }
  // Reads into *got until it holds n bytes (1), the agent closes or resets
  // (0) or time runs out (-1).
  int Read(size_t n, int timeout_ms, std::string* got);
  bool WaitClosed(int timeout_ms, std::string* got = nullptr) {  // false on time-out
    std::string ignored;
    return Read(std::string::npos, timeout_ms, got ? got : &ignored) == 0;
  }
  bool ClosedNow() {  // without waiting
    struct pollfd p = {fd_.get(), POLLIN, 0};
    char c;
    return poll(&p, 1, 0) > 0 && recv(fd_.get(), &c, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
  }
  void Reset() {  // SO_LINGER 0: the agent sees a reset
    struct linger l = {1, 0};
    setsockopt(fd_.get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    fd_.reset();
  }
  void Close() { fd_.reset(); }

 private:
  UniqueFd fd_;
};

// A request packet as a server sends it.
std::string RequestPacket(const std::string& password, const std::string& key,
                          const std::string& text);
// text as a request parameter carries it (line ends and '%' encoded).
inline std::string Encoded(const std::string& text) {
  return orvEncodeStrings(String(text.c_str())).ToStd();
}
// The decrypted text of a whole reply packet, or "".
std::string ReplyText(const std::string& bytes, const std::string& key);
// The next reply packet on conn, decrypted; "" when none came whole.
std::string ReadReplyText(RawConn& conn, const std::string& key, int timeout_ms = 10000);
// One exchange under a fresh session key; the reply text, or "".
inline std::string Ask(int port, const std::string& password, const std::string& text,
                       int timeout_ms = 10000, const char* from = nullptr) {
  const std::string key = RandomSessionKey().ToStd();
  RawConn conn(port, from);
  return conn.Send(RequestPacket(password, key, text)) ? ReadReplyText(conn, key, timeout_ms) : "";
}
// A connection that sent "UpgradeCode" with length, its reply in *first;
// retried while that is "302" (an earlier claim is still being let go).
std::unique_ptr<RawConn> BeginUpgrade(int port, const std::string& password, const std::string& key,
                                      const std::string& length, std::string* first,
                                      int retry_ms = 5000);
inline bool PortAnswers(int port, int timeout_ms) {
  return Eventually([&] { return RawConn(port).ok(); }, timeout_ms);
}
// True when text matches pattern, in which each "*" stands for any text.
inline bool Glob(const char* text, const char* pattern) {
  if (*pattern == '*') return Glob(text, pattern + 1) || (*text && Glob(text + 1, pattern));
  return *pattern == *text && (*text == 0 || Glob(text + 1, pattern + 1));
}

struct ProcUsage {
  long rss_kib = -1;
  int threads = -1;
  int fds = -1;
  long wakeups = -1;  // voluntary context switches of the main thread
};
ProcUsage UsageOf(pid_t pid);

// Waits until the asking session is the only one ("ActiveConnections=1")
// and the agent holds want_fds descriptors and want_threads threads (< 0:
// not checked); the last "GetInfo" reply goes to *info, the number of
// sessions asked to *asks.
bool WaitQuiet(int port, const std::string& password, pid_t pid, int want_fds, int want_threads,
               int timeout_ms, std::string* info = nullptr, int* asks = nullptr);

}  // namespace testutil

#endif  // ORV_TESTS_AGENT_HARNESS_H_
