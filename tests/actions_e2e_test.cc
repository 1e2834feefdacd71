// The three actions through the real agent: what reaches a listener of the
// test on 127.0.0.1, the replies, the switches and the parameter checks.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/net.h"
#include "base/resources.h"
#include "tests/agent_harness.h"

namespace {

using testutil::AgentProcess;
using testutil::OrvqResult;
using Clock = std::chrono::steady_clock;

// One datagram, or "<nothing>" after timeout_ms.
std::string ReceiveDatagram(int fd, int timeout_ms) {
  struct pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) != 1) return "<nothing>";
  std::vector<char> buf(70000);
  ssize_t n = recv(fd, buf.data(), buf.size(), 0);
  return n < 0 ? "<error>" : std::string(buf.data(), static_cast<size_t>(n));
}

// Accepts one TCP connection and collects what arrives until the peer closes
// (or 10 s pass), noting when the first and the last bytes came.
class TcpSink {
 public:
  TcpSink() {
    fd_ = testutil::BoundLoopback(SOCK_STREAM, &port_);
    listen(fd_.get(), 4);
    thread_ = std::thread([this] { Run(); });
  }
  ~TcpSink() {
    stop_ = true;
    thread_.join();
  }
  int port() const { return port_; }
  // Waits for the peer to close; what it sent.
  std::string Wait() {
    thread_.join();
    thread_ = std::thread([] {});
    return data_;
  }
  double SecondsBetweenFirstAndLastByte() const {
    return std::chrono::duration<double>(last_ - first_).count();
  }

 private:
  void Run() {
    auto deadline = Clock::now() + std::chrono::seconds(10);
    UniqueFd conn;
    while (!conn.valid() && !stop_ && Clock::now() < deadline) {
      struct pollfd p = {fd_.get(), POLLIN, 0};
      if (poll(&p, 1, 50) == 1) conn.reset(accept(fd_.get(), nullptr, nullptr));
    }
    while (conn.valid() && Clock::now() < deadline) {
      struct pollfd p = {conn.get(), POLLIN, 0};
      if (poll(&p, 1, 50) != 1) continue;
      char buf[4096];
      ssize_t n = recv(conn.get(), buf, sizeof buf, 0);
      if (n <= 0) break;
      if (data_.empty()) first_ = Clock::now();
      last_ = Clock::now();
      data_.append(buf, static_cast<size_t>(n));
    }
  }

  UniqueFd fd_;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::string data_;
  Clock::time_point first_, last_;
};

// The syslog time stamp for t, worked out apart from the agent's code: the
// C library's blank-padded day of month.
std::string Stamp(time_t t) {
  struct tm tm = {};
  localtime_r(&t, &tm);
  char buf[32];
  strftime(buf, sizeof buf, "%b %e %H:%M:%S", &tm);
  return buf;
}

class ActionsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    on_ = new AgentProcess("executeaction=1\r\ntcpudpaction=1\r\nsyslogaction=1\r\n");
  }
  static void TearDownTestSuite() {
    delete on_;
    on_ = nullptr;
  }
  void SetUp() override {
    if (on_->pid() <= 0) {
      ASSERT_TRUE(on_->Start()) << on_->console();
    }
  }
  static AgentProcess* on_;
};

AgentProcess* ActionsTest::on_ = nullptr;

// --- ACT-ExternalCmd ---

TEST_F(ActionsTest, ExternalCmdReportsExitCode) {
  EXPECT_EQ(on_->Query({"ACT-ExternalCmd", "sh -c 'exit 3'", "", "0", "5000"}).out, "200\n3\n");
  EXPECT_EQ(on_->Query({"ACT-ExternalCmd", "true", "", "7", "0"}).out, "200\n0\n");
}

TEST_F(ActionsTest, ExternalCmdRunsInTheGivenFolder) {
  testutil::TempDir work;
  OrvqResult r = on_->Query({"ACT-ExternalCmd", "touch made-here", work.path(), "0", "5000"});
  EXPECT_EQ(r.out, "200\n0\n");
  EXPECT_EQ(access(work.File("made-here").c_str(), F_OK), 0);
}

TEST_F(ActionsTest, ExternalCmdFailuresAre301WithTheReason) {
  EXPECT_EQ(on_->Query({"ACT-ExternalCmd", "/no/such/program", "", "0", "5000"}).out,
            "301\nexec error: No such file or directory\n");
  auto start = Clock::now();
  EXPECT_EQ(on_->Query({"ACT-ExternalCmd", "sleep 10", "", "0", "1000"}).out,
            "301\nabnormal termination\n");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

TEST_F(ActionsTest, ExternalCmdBadParametersAre501) {
  struct Case {
    std::vector<std::string> request;
    const char* out;
  } cases[] = {
      {{"ACT-ExternalCmd", "", "", "0", "1000"}, "501\nCommand line to execute is not specified\n"},
      {{"ACT-ExternalCmd"}, "501\nCommand line to execute is not specified\n"},
      {{"ACT-ExternalCmd", "true", "", "x", "1000"}, "501\nWrong parameter\n"},
      {{"ACT-ExternalCmd", "true", "", "0", "10s"}, "501\nWrong parameter\n"},
      {{"ACT-ExternalCmd", "", "", "zz", "1000"}, "501\nWrong parameter\n"},  // numbers first
  };
  for (const Case& c : cases) EXPECT_EQ(on_->Query(c.request).out, c.out) << c.request[1];
}

// --- ACT-Syslog ---

TEST_F(ActionsTest, SyslogDatagramByteForByte) {
  int port = 0;
  UniqueFd udp = testutil::BoundLoopback(SOCK_DGRAM, &port);
  ASSERT_TRUE(udp.valid());
  time_t before = time(nullptr);
  OrvqResult r =
      on_->Query({"ACT-Syslog", "127.0.0.1", std::to_string(port), "4", "2", "disk%0Afull %0D%25"});
  time_t after = time(nullptr);
  EXPECT_EQ(r.out, "200\nSyslog: Data to 127.0.0.1 has been sent\n");
  std::string got = ReceiveDatagram(udp.get(), 3000);
  std::string tail = " " + IP2String(GetMyIP()).ToStd() + " TZ ORV: disk\nfull \r%25";
  bool match = false;
  for (time_t t = before; t <= after && !match; ++t) match = got == "<34>" + Stamp(t) + tail;
  EXPECT_TRUE(match) << "got: " << got << "\nwant: <34>" << Stamp(before) << tail;
}

TEST_F(ActionsTest, SyslogBadParametersAre501) {
  const std::vector<std::vector<std::string>> cases = {
      {"ACT-Syslog", "", "514", "1", "1", "m"},             // no host
      {"ACT-Syslog", "127.0.0.1", "5x", "1", "1", "m"},     // port
      {"ACT-Syslog", "127.0.0.1", "65536", "1", "1", "m"},  // port beyond 16 bits
      {"ACT-Syslog", "127.0.0.1", "514", "one", "1", "m"},  // facility
      {"ACT-Syslog", "127.0.0.1", "514", "1", "8", "m"},    // severity above 7
      {"ACT-Syslog", "127.0.0.1", "514", "1", "-1", "m"},
      {"ACT-Syslog", "127.0.0.1", "514", "1", "", "m"},  // empty decodes as 0: sent
      {"ACT-Syslog"},
  };
  int port = 0;
  UniqueFd udp = testutil::BoundLoopback(SOCK_DGRAM, &port);
  for (size_t i = 0; i < cases.size(); ++i) {
    std::vector<std::string> req = cases[i];
    if (req.size() > 2 && req[2] == "514") req[2] = std::to_string(port);
    std::string want =
        i == 6 ? "200\nSyslog: Data to 127.0.0.1 has been sent\n" : "501\nWrong parameter\n";
    EXPECT_EQ(on_->Query(req).out, want) << i;
  }
}

TEST_F(ActionsTest, SyslogUnresolvableHostIs301) {
  EXPECT_EQ(on_->Query({"ACT-Syslog", "no-such-host.invalid", "514", "1", "1", "m"}).out,
            "301\nCannot resolve server name to IP address\n");
}

// --- ACT-TCPUDPsend ---

TEST_F(ActionsTest, TcpSendDeliversDecodedBlock) {
  TcpSink sink;
  OrvqResult r = on_->Query(
      {"ACT-TCPUDPsend", "127.0.0.1", std::to_string(sink.port()), "0", "ON%0D%0A", "0", ""});
  EXPECT_EQ(r.out, "200\nData has been sent\n");
  EXPECT_EQ(sink.Wait(), "ON\r\n");
}

TEST_F(ActionsTest, TcpSendSecondBlockAfterDelay) {
  TcpSink sink;
  auto start = Clock::now();
  OrvqResult r = on_->Query(
      {"ACT-TCPUDPsend", "127.0.0.1", std::to_string(sink.port()), "0", "first", "1", "second"});
  EXPECT_EQ(r.out, "200\nData has been sent\n");
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(950));  // the reply waits too
  EXPECT_EQ(sink.Wait(), "firstsecond");
  EXPECT_GE(sink.SecondsBetweenFirstAndLastByte(), 0.9);
}

TEST_F(ActionsTest, UdpSendForAnyProtocolOtherThanZero) {
  int port = 0;
  UniqueFd udp = testutil::BoundLoopback(SOCK_DGRAM, &port);
  for (const char* proto : {"1", "udp", ""}) {
    OrvqResult r = on_->Query(
        {"ACT-TCPUDPsend", "127.0.0.1", std::to_string(port), proto, "ping%0A", "0", "pong"});
    EXPECT_EQ(r.out, "200\nData has been sent\n") << proto;
    EXPECT_EQ(ReceiveDatagram(udp.get(), 3000), "ping\n") << proto;
    EXPECT_EQ(ReceiveDatagram(udp.get(), 3000), "pong") << proto;
  }
}

TEST_F(ActionsTest, UdpToNobodyStillSucceedsTcpToClosedPortIs301) {
  EXPECT_EQ(on_->Query({"ACT-TCPUDPsend", "127.0.0.1", std::to_string(testutil::ClosedPort(SOCK_DGRAM)), "1",
                        "x", "0", ""})
                .out,
            "200\nData has been sent\n");
  EXPECT_EQ(on_->Query({"ACT-TCPUDPsend", "127.0.0.1", std::to_string(testutil::ClosedPort(SOCK_STREAM)), "0",
                        "x", "0", ""})
                .out,
            "301\nConnection refused\n");
}

TEST_F(ActionsTest, TcpSendBadParametersAre501) {
  const std::vector<std::vector<std::string>> cases = {
      {"ACT-TCPUDPsend", "", "9", "0", "x", "0", ""},           // no host
      {"ACT-TCPUDPsend", "127.0.0.1", "9", "0", "", "0", "y"},  // no first block
      {"ACT-TCPUDPsend", "127.0.0.1", "p9", "0", "x", "0", ""},
      {"ACT-TCPUDPsend", "127.0.0.1", "-1", "0", "x", "0", ""},
      {"ACT-TCPUDPsend", "127.0.0.1", "9", "0", "x", "1.5", ""},
      {"ACT-TCPUDPsend"},
  };
  for (const auto& c : cases) EXPECT_EQ(on_->Query(c).out, "501\nWrong parameter\n");
  // Still serving after the refusals.
  EXPECT_EQ(on_->Query({"GetInfo"}).out.substr(0, 4), "200\n");
}

}  // namespace
