// "TEST-TCP" and "TEST-UDP" through the real agent against small servers of
// the test on 127.0.0.1: an echo, a server that accepts and closes, one that
// sends more than the agent takes, closed ports and a silent UDP port.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <vector>

#include "base/oserror.h"
#include "tests/agent_harness.h"

namespace {

using testutil::AgentProcess;
using testutil::ReadFor;
using Clock = std::chrono::steady_clock;

// A "200" reply with its elapsed milliseconds (below 5 s) shown as "*".
std::string Shape(std::string out) {
  const size_t end = out.find('\n', 4);
  const std::string ms = out.substr(4, end == std::string::npos ? 0 : end - 4);
  if (out.compare(0, 4, "200\n") != 0 || ms.empty() ||
      ms.find_first_not_of("0123456789") != std::string::npos || std::stol(ms) >= 5000) {
    return out;
  }
  return out.replace(4, ms.size(), "*");
}

TEST(NetProbesE2E, TcpAndUdpRepliesForEachPeer) {
  AgentProcess agent;
  ASSERT_TRUE(agent.Start()) << agent.console();
  // Each server reads what the agent sends, answers, then waits for the
  // agent to close: closing on unread data would reset the connection.
  testutil::LoopbackTcp echo([](int c) {
    struct pollfd p = {c, POLLIN, 0};
    char buf[4096];
    ssize_t n = poll(&p, 1, 5000) == 1 ? recv(c, buf, sizeof buf, 0) : 0;
    if (n > 0) SendFull(c, buf, static_cast<size_t>(n));
    ReadFor(c, 1, 5000);
  });
  testutil::LoopbackTcp closer([](int c) { ReadFor(c, 4096, 200); });
  testutil::LoopbackTcp blast([](int c) {
    std::string data(10000, 'b');
    SendFull(c, data.data(), data.size());
    ReadFor(c, 1, 5000);
  });
  testutil::LoopbackUdp udp_echo(true);
  const std::string tcp = std::to_string(echo.port()), udp = std::to_string(udp_echo.port());
  const std::string closed = std::to_string(testutil::ClosedPort(SOCK_STREAM));
  const std::string udp_closed = std::to_string(testutil::ClosedPort(SOCK_DGRAM));
  const std::string wrong = "501\nWrong parameter\n";
  struct Case {
    std::vector<std::string> request;
    std::string want;
  } cases[] = {
      {{"TEST-TCP", "127.0.0.1", tcp, "3000", "hello%0D%0Aworld", "100"},
       "200\n*\nhello%0D%0Aworld\n"},
      {{"TEST-TCP", "127.0.0.1", tcp, "3000", "", "0"}, "200\n*\n\n"},
      {{"TEST-TCP", "127.0.0.1", tcp, "3000", "", "-5"}, "200\n*\n\n"},
      {{"TEST-TCP", "127.0.0.1", std::to_string(blast.port()), "3000", "", "20000"},
       "200\n*\n" + std::string(8192, 'b') + "\n"},
      {{"TEST-TCP", "127.0.0.1", std::to_string(closer.port()), "3000", "hi", "10"}, "301\n\n0\n"},
      {{"TEST-TCP", "127.0.0.1", std::to_string(closer.port()), "3000", "", "1"}, "301\n\n0\n"},
      {{"TEST-TCP", "127.0.0.1", closed, "3000", "", "0"}, "301\nConnection refused\n-6\n"},
      {{"TEST-TCP", "no-such-host.invalid", "80", "3000", "", "0"},
       "301\nCannot resolve server name to IP address\n-2\n"},
      {{"TEST-TCP", "127.0.0.1", "http", "3000", "", "0"}, wrong},
      {{"TEST-TCP", "127.0.0.1", "70000", "3000", "", "0"}, wrong},
      {{"TEST-TCP", "127.0.0.1", "80", "3s", "", "0"}, wrong},
      {{"TEST-TCP", "127.0.0.1", "80", "3000", "", "lots"}, wrong},
      {{"TEST-UDP", "127.0.0.1", udp, "1000", "2", "ping%0A", "100"}, "200\n*\nping%0A\n"},
      {{"TEST-UDP", "127.0.0.1", udp, "1000", "1", "x", "0"}, "200\n*\n\n"},
      {{"TEST-UDP", "127.0.0.1", udp_closed, "500", "0", "x", "10"}, wrong},  // no attempt
      {{"TEST-UDP", "127.0.0.1", udp_closed, "500", "-2", "x", "10"}, wrong},
      {{"TEST-UDP", "127.0.0.1", udp_closed, "500", "1", "", "10"}, wrong},  // nothing to send
      {{"TEST-UDP", "127.0.0.1", "dns", "500", "1", "x", "10"}, wrong},
      {{"TEST-UDP", "127.0.0.1", udp_closed, "500", "once", "x", "10"}, wrong},
  };
  for (const Case& c : cases) {
    std::string what;
    for (const std::string& p : c.request) what += p + " ";
    EXPECT_EQ(Shape(agent.Query(c.request).out), c.want) << what;
  }

  // A silent peer: one datagram, then the time-out in whole seconds.
  testutil::LoopbackUdp silent(false);
  auto start = Clock::now();
  EXPECT_EQ(agent.Query({"TEST-UDP", "127.0.0.1", std::to_string(silent.port()), "500", "1", "x",
                         "10"})
                .out,
            "301\nTimeout\n0\n");
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_GE(ms, 900);
  EXPECT_EQ(silent.received(), 1);
}

}  // namespace
