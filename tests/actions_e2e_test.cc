// What the agent sends to peers of the test on 127.0.0.1 and reads back, as
// one table on one agent ("ACT-Syslog", "ACT-TCPUDPsend", "TEST-TCP",
// "TEST-UDP"): each request, its whole reply and what reached the peers; then
// a real syslog daemon files the agent's message.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "base/net.h"
#include "base/oserror.h"
#include "tests/agent_harness.h"

namespace {

using testutil::ReadFor;

// The syslog time stamp for t, worked out apart from the agent's code.
std::string Stamp(time_t t) {
  struct tm tm = {};
  localtime_r(&t, &tm);
  char buf[32];
  strftime(buf, sizeof buf, "%b %e %H:%M:%S", &tm);
  return buf;
}

// A probe's reply with the elapsed milliseconds of a "200" shown as "*".
std::string Shape(std::string out) {
  const size_t end = out.find('\n', 4);
  if (out.compare(0, 4, "200\n") == 0 && end != std::string::npos && end > 4 && end < 9 &&
      out.find_first_not_of("0123456789", 4) == end) {
    out.replace(4, end - 4, "*");
  }
  return out;
}

TEST(ActionsE2E, RepliesAndWhatWasSent) {
  testutil::AgentProcess agent("tcpudpaction=1\r\nsyslogaction=1\r\n");
  ASSERT_TRUE(agent.Start()) << agent.console();
  // What reaches the action's listeners, pieces joined by "|": a datagram, or
  // what came over TCP before a pause of half a second or more.
  std::mutex mutex;
  std::string tcp_got;
  testutil::LoopbackTcp tcp_server([&](int fd) {
    std::string got = ReadFor(fd, 1, 5000);
    got += ReadFor(fd, 1 << 16, 500);
    for (std::string more; !(more = ReadFor(fd, 1 << 16, 1500)).empty();) got += "|" + more;
    std::lock_guard<std::mutex> lock(mutex);
    tcp_got += got;
  });
  int udp_port = 0;
  UniqueFd udp_server = testutil::BoundLoopback(SOCK_DGRAM, &udp_port);
  // The probes' peers read what the agent sends and answer, then wait for the
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
    const std::string data(10000, 'b');
    SendFull(c, data.data(), data.size());
    ReadFor(c, 1, 5000);
  });
  testutil::LoopbackUdp udp_echo(true), silent(false);
  const std::string lo = "127.0.0.1", tcp = std::to_string(tcp_server.port()), udp = std::to_string(udp_port);
  const std::string tcp_closed = std::to_string(testutil::ClosedPort(SOCK_STREAM));
  const std::string udp_closed = std::to_string(testutil::ClosedPort(SOCK_DGRAM));
  const std::string echo_port = std::to_string(echo.port()), udp_echo_port = std::to_string(udp_echo.port());
  const std::string wrong = "501\nWrong parameter\n", sent = "200\nData has been sent\n";
  const std::string syslog_sent = "200\nSyslog: Data to 127.0.0.1 has been sent\n";
  const std::string unresolved = "301\nCannot resolve server name to IP address\n";
  // "<stamp>" stands for the time stamp of a second within the request.
  const std::string from = " " + IP2String(GetMyIP()).ToStd() + " TZ ORV: ";
  struct Case {
    std::vector<std::string> request;
    std::string reply, sent = "";
    int min_ms = 0;
  } cases[] = {
      {{"ACT-Syslog", lo, udp, "4", "2", "disk%0Afull %0D%25"}, syslog_sent,
       "<34><stamp>" + from + "disk\nfull \r%25"},
      // A facility out of range is sent as given, without overflow.
      {{"ACT-Syslog", lo, udp, "2000000000", "7", "m"}, syslog_sent, "<16000000007><stamp>" + from + "m"},
      {{"ACT-Syslog", "no-such-host.invalid", "514", "1", "1", "m"}, unresolved},
      {{"ACT-Syslog", "", udp, "1", "1", "m"}, wrong},
      {{"ACT-Syslog", lo, "65536", "1", "1", "m"}, wrong},
      {{"ACT-Syslog", lo, udp, "one", "1", "m"}, wrong},
      {{"ACT-Syslog", lo, udp, "1", "8", "m"}, wrong},
      {{"ACT-Syslog", lo, udp, "1", "-1", "m"}, wrong},

      {{"ACT-TCPUDPsend", lo, tcp, "0", "ON%0D%0A", "0", ""}, sent, "ON\r\n"},
      // The second block a second later, and the reply only after it.
      {{"ACT-TCPUDPsend", lo, tcp, "0", "first", "1", "second"}, sent, "first|second", 950},
      {{"ACT-TCPUDPsend", lo, udp, "1", "ping%0A", "0", "pong"}, sent, "ping\n|pong"},
      {{"ACT-TCPUDPsend", lo, udp, "udp", "ping", "0", ""}, sent, "ping"},
      {{"ACT-TCPUDPsend", lo, udp_closed, "1", "x", "0", ""}, sent},
      {{"ACT-TCPUDPsend", lo, tcp_closed, "0", "x", "0", ""}, "301\nConnection refused\n"},
      {{"ACT-TCPUDPsend", "", "9", "0", "x", "0", ""}, wrong},
      {{"ACT-TCPUDPsend", lo, "9", "0", "", "0", "y"}, wrong},  // no first block
      {{"ACT-TCPUDPsend", lo, "p9", "0", "x", "0", ""}, wrong},
      {{"ACT-TCPUDPsend", lo, "9", "0", "x", "1.5", ""}, wrong},

      {{"TEST-TCP", lo, echo_port, "3000", "hello%0D%0Aworld", "100"}, "200\n*\nhello%0D%0Aworld\n"},
      {{"TEST-TCP", lo, echo_port, "3000", "", "-5"}, "200\n*\n\n"},
      {{"TEST-TCP", lo, std::to_string(blast.port()), "3000", "", "20000"},
       "200\n*\n" + std::string(8192, 'b') + "\n"},
      {{"TEST-TCP", lo, std::to_string(closer.port()), "3000", "hi", "10"}, "301\n\n0\n"},
      {{"TEST-TCP", lo, tcp_closed, "3000", "", "0"}, "301\nConnection refused\n-6\n"},
      {{"TEST-TCP", "no-such-host.invalid", "80", "3000", "", "0"}, unresolved + "-2\n"},
      {{"TEST-TCP", lo, "70000", "3000", "", "0"}, wrong},
      {{"TEST-TCP", lo, "80", "3s", "", "0"}, wrong},
      {{"TEST-TCP", lo, "80", "3000", "", "lots"}, wrong},
      {{"TEST-UDP", lo, udp_echo_port, "1000", "2", "ping%0A", "100"}, "200\n*\nping%0A\n"},
      {{"TEST-UDP", lo, udp_echo_port, "1000", "1", "x", "0"}, "200\n*\n\n"},
      // A silent peer: one datagram, then the time-out in whole seconds.
      {{"TEST-UDP", lo, std::to_string(silent.port()), "500", "1", "x", "10"}, "301\nTimeout\n0\n", "", 900},
      {{"TEST-UDP", lo, udp_closed, "500", "0", "x", "10"}, wrong},  // no attempt
      {{"TEST-UDP", lo, udp_closed, "500", "1", "", "10"}, wrong},   // nothing to send
      {{"TEST-UDP", lo, "dns", "500", "1", "x", "10"}, wrong},
      {{"TEST-UDP", lo, udp_closed, "500", "once", "x", "10"}, wrong},
  };
  for (const Case& c : cases) {
    std::string what;
    for (const std::string& p : c.request) what += p + "|";
    const time_t before = time(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const std::string reply = agent.Query(c.request).out;
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(c.min_ms)) << what;
    const time_t after = time(nullptr);
    EXPECT_EQ(c.request[0].compare(0, 5, "TEST-") == 0 ? Shape(reply) : reply, c.reply) << what;
    std::string got;
    if (c.request[0] == "ACT-TCPUDPsend" && c.request[3] == "0") {
      testutil::Eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return c.sent.empty() || !tcp_got.empty();
      }, 5000);
      std::lock_guard<std::mutex> lock(mutex);
      got.swap(tcp_got);
    } else {  // waits for each datagram expected, then takes any that came beyond
      const size_t pieces = c.sent.empty() ? 0 : std::count(c.sent.begin(), c.sent.end(), '|') + 1;
      struct pollfd p = {udp_server.get(), POLLIN, 0};
      for (size_t i = 0; poll(&p, 1, i < pieces ? 5000 : 0) == 1; ++i) {
        char buf[65536];
        const ssize_t n = recv(udp_server.get(), buf, sizeof buf, 0);
        got += (i > 0 ? "|" : "") + std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
      }
    }
    std::string want = c.sent;
    const size_t at = want.find("<stamp>");
    for (time_t t = before; at != std::string::npos && t <= after; ++t) {
      want = std::string(c.sent).replace(at, 7, Stamp(t));
      if (got == want) break;
    }
    EXPECT_EQ(got, want) << what;
  }
  EXPECT_EQ(silent.received(), 1);

  // A real syslog daemon must read the agent's header (priority, time stamp,
  // host) and file the message.
  const char* daemon = "/usr/sbin/rsyslogd";
  if (access(daemon, X_OK) != 0) GTEST_SKIP() << "no syslog daemon installed";
  testutil::TempDir dir;
  const std::string port = std::to_string(testutil::ClosedPort(SOCK_DGRAM));
  const std::string conf = dir.File("daemon.conf"), filed = dir.File("filed.log");
  testutil::WriteFile(conf, "global(workDirectory=\"" + dir.path() + "\")\n"
                            "module(load=\"imudp\")\n"
                            "input(type=\"imudp\" address=\"127.0.0.1\" port=\"" + port + "\")\n"
                            "template(name=\"t\" type=\"string\" "
                            "string=\"%pri%|%hostname%|%syslogtag%|%msg%\\n\")\n"
                            "*.* action(type=\"omfile\" file=\"" + filed + "\" template=\"t\")\n");
  const std::string pid_file = dir.File("daemon.pid");
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 1);
    dup2(null, 2);
    execl(daemon, daemon, "-n", "-f", conf.c_str(), "-i", pid_file.c_str(), nullptr);
    _exit(127);
  }
  ASSERT_GT(pid, 0);
  struct Stop {
    pid_t pid;
    ~Stop() {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  } stop{pid};
  // The tag ends at the blank, so the daemon files " ORV: " as the start of
  // the message; it shows the line feed in its own escaped form.
  const std::string want = "34|" + IP2String(GetMyIP()).ToStd() + "|TZ| ORV: disk#012full\n";
  std::string got;
  // Until the daemon listens, the datagrams are lost: the agent sends again.
  EXPECT_TRUE(testutil::Eventually([&] {
    agent.Query({"ACT-Syslog", "127.0.0.1", port, "4", "2", "disk%0Afull"});
    got = testutil::Exists(filed) ? testutil::ReadFile(filed) : "";
    return got.find(want) != std::string::npos;
  }, 15000)) << got;
}

}  // namespace
