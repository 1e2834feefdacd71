// "TEST-TCP" and "TEST-UDP" through the real agent against small servers of
// the test on 127.0.0.1: an echo, a server that accepts and closes, one that
// sends more than the agent takes, closed ports and a silent UDP port.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/resources.h"
#include "tests/agent_harness.h"

namespace {

using testutil::AgentProcess;
using testutil::OrvqResult;
using Clock = std::chrono::steady_clock;

UniqueFd BoundLoopback(int type, int& port) {
  UniqueFd fd(socket(AF_INET, type | SOCK_CLOEXEC, 0));
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd.get(), reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0) return UniqueFd();
  socklen_t len = sizeof a;
  getsockname(fd.get(), reinterpret_cast<struct sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

bool Readable(int fd, int timeout_ms) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1;
}

// A TCP server of the test. It serves connections one after another until it
// is destroyed (at most 10 s): kEcho sends back the first block it receives,
// kClose reads what arrives within 200 ms and closes without a word, kBlast sends `blast` bytes and
// waits for the peer to close.
class TcpServer {
 public:
  enum Mode { kEcho, kClose, kBlast };
  explicit TcpServer(Mode mode, size_t blast = 0) : mode_(mode), blast_(blast) {
    fd_ = BoundLoopback(SOCK_STREAM, port_);
    listen(fd_.get(), 8);
    thread_ = std::thread([this] { Run(); });
  }
  ~TcpServer() {
    stop_ = true;
    thread_.join();
  }
  std::string port() const { return std::to_string(port_); }

 private:
  void Run() {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!stop_ && Clock::now() < deadline) {
      if (!Readable(fd_.get(), 50)) continue;
      UniqueFd conn(accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!conn.valid()) continue;
      if (mode_ == kClose) {
        // Whatever the agent sent is read first: closing on unread data
        // would reset the connection instead of ending it.
        if (Readable(conn.get(), 200)) {
          char buf[4096];
          recv(conn.get(), buf, sizeof buf, 0);
        }
        continue;
      }
      if (mode_ == kBlast) {
        std::string data(blast_, 'b');
        send(conn.get(), data.data(), data.size(), MSG_NOSIGNAL);
      } else if (Readable(conn.get(), 5000)) {
        char buf[4096];
        ssize_t n = recv(conn.get(), buf, sizeof buf, 0);
        if (n > 0) send(conn.get(), buf, static_cast<size_t>(n), MSG_NOSIGNAL);
      }
      // Until the agent closes its end.
      for (int i = 0; i < 100 && !stop_; ++i) {
        if (!Readable(conn.get(), 50)) continue;
        char c;
        if (recv(conn.get(), &c, 1, 0) <= 0) break;
      }
    }
  }

  Mode mode_;
  size_t blast_;
  UniqueFd fd_;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

// A UDP socket of the test that echoes each datagram, or answers nothing.
class UdpServer {
 public:
  explicit UdpServer(bool echo) : echo_(echo) {
    fd_ = BoundLoopback(SOCK_DGRAM, port_);
    thread_ = std::thread([this] { Run(); });
  }
  ~UdpServer() {
    stop_ = true;
    thread_.join();
  }
  std::string port() const { return std::to_string(port_); }
  int received() const { return received_; }

 private:
  void Run() {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!stop_ && Clock::now() < deadline) {
      if (!Readable(fd_.get(), 50)) continue;
      char buf[2048];
      struct sockaddr_in from = {};
      socklen_t len = sizeof from;
      ssize_t n = recvfrom(fd_.get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 0) continue;
      ++received_;
      if (echo_) {
        sendto(fd_.get(), buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), len);
      }
    }
  }

  bool echo_;
  UniqueFd fd_;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> received_{0};
};

// A port on 127.0.0.1 where nothing listens (bound, then released).
std::string ClosedPort(int type) {
  int port = 0;
  BoundLoopback(type, port);
  return std::to_string(port);
}

// "200", the elapsed milliseconds, then the answer line.
void ExpectSuccess(const OrvqResult& r, const std::string& answer) {
  ASSERT_EQ(r.out.substr(0, 4), "200\n") << r.out;
  size_t end = r.out.find('\n', 4);
  ASSERT_NE(end, std::string::npos) << r.out;
  const std::string ms = r.out.substr(4, end - 4);
  ASSERT_FALSE(ms.empty());
  ASSERT_EQ(ms.find_first_not_of("0123456789"), std::string::npos) << r.out;
  EXPECT_LT(std::stol(ms), 5000);
  EXPECT_EQ(r.out.substr(end + 1), answer + "\n");
}

class NetProbesE2E : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    agent_ = new AgentProcess();
    ASSERT_TRUE(agent_->Start()) << agent_->console();
  }
  static void TearDownTestSuite() {
    delete agent_;
    agent_ = nullptr;
  }
  static OrvqResult Query(const std::vector<std::string>& req) { return agent_->Query(req); }
  static AgentProcess* agent_;
};
AgentProcess* NetProbesE2E::agent_ = nullptr;

TEST_F(NetProbesE2E, TcpEchoAnswerIsReported) {
  TcpServer echo(TcpServer::kEcho);
  ExpectSuccess(Query({"TEST-TCP", "127.0.0.1", echo.port(), "3000", "hello%0D%0Aworld", "100"}),
                "hello%0D%0Aworld");
}

TEST_F(NetProbesE2E, TcpConnectOnly) {
  TcpServer echo(TcpServer::kEcho);
  ExpectSuccess(Query({"TEST-TCP", "127.0.0.1", echo.port(), "3000", "", "0"}), "");
  ExpectSuccess(Query({"TEST-TCP", "127.0.0.1", echo.port(), "3000", "", "-5"}), "");
}

TEST_F(NetProbesE2E, TcpAnswerIsCutTo8192) {
  TcpServer blast(TcpServer::kBlast, 10000);
  ExpectSuccess(Query({"TEST-TCP", "127.0.0.1", blast.port(), "3000", "", "20000"}),
                std::string(8192, 'b'));
}

TEST_F(NetProbesE2E, TcpPeerClosingWithoutAnswer) {
  TcpServer closer(TcpServer::kClose);
  EXPECT_EQ(Query({"TEST-TCP", "127.0.0.1", closer.port(), "3000", "hi", "10"}).out, "301\n\n0\n");
  EXPECT_EQ(Query({"TEST-TCP", "127.0.0.1", closer.port(), "3000", "", "1"}).out, "301\n\n0\n");
}

TEST_F(NetProbesE2E, TcpClosedPortIsRefused) {
  EXPECT_EQ(Query({"TEST-TCP", "127.0.0.1", ClosedPort(SOCK_STREAM), "3000", "", "0"}).out,
            "301\nConnection refused\n-6\n");
}

TEST_F(NetProbesE2E, TcpWrongParameters) {
  const std::vector<std::vector<std::string>> bad = {
      {"TEST-TCP", "127.0.0.1", "http", "3000", "", "0"},
      {"TEST-TCP", "127.0.0.1", "70000", "3000", "", "0"},
      {"TEST-TCP", "127.0.0.1", "80", "3s", "", "0"},
      {"TEST-TCP", "127.0.0.1", "80", "3000", "", "lots"},
  };
  for (const auto& req : bad) EXPECT_EQ(Query(req).out, "501\nWrong parameter\n") << req[2];
}

TEST_F(NetProbesE2E, TcpUnknownHost) {
  EXPECT_EQ(Query({"TEST-TCP", "no-such-host.invalid", "80", "3000", "", "0"}).out,
            "301\nCannot resolve server name to IP address\n-2\n");
}

TEST_F(NetProbesE2E, UdpEchoAnswerIsReported) {
  UdpServer echo(true);
  ExpectSuccess(Query({"TEST-UDP", "127.0.0.1", echo.port(), "1000", "2", "ping%0A", "100"}),
                "ping%0A");
}

TEST_F(NetProbesE2E, UdpWithoutCapacitySucceedsOnceSent) {
  UdpServer silent(false);
  ExpectSuccess(Query({"TEST-UDP", "127.0.0.1", silent.port(), "1000", "1", "x", "0"}), "");
}

TEST_F(NetProbesE2E, UdpNoAnswerTimesOutAfterOneSecond) {
  UdpServer silent(false);
  auto start = Clock::now();
  EXPECT_EQ(Query({"TEST-UDP", "127.0.0.1", silent.port(), "500", "1", "x", "10"}).out,
            "301\nTimeout\n0\n");
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_GE(ms, 900);
  EXPECT_LT(ms, 3000);
  EXPECT_EQ(silent.received(), 1);
}

TEST_F(NetProbesE2E, UdpWrongParameters) {
  const std::string port = ClosedPort(SOCK_DGRAM);
  const std::vector<std::vector<std::string>> bad = {
      {"TEST-UDP", "127.0.0.1", port, "500", "0", "x", "10"},   // no attempt
      {"TEST-UDP", "127.0.0.1", port, "500", "-2", "x", "10"},  // no attempt either
      {"TEST-UDP", "127.0.0.1", port, "500", "1", "", "10"},    // nothing to send
      {"TEST-UDP", "127.0.0.1", "dns", "500", "1", "x", "10"},
      {"TEST-UDP", "127.0.0.1", port, "500", "once", "x", "10"},
  };
  for (const auto& req : bad) {
    EXPECT_EQ(Query(req).out, "501\nWrong parameter\n") << req[2] << " " << req[4] << " " << req[5];
  }
}

}  // namespace
