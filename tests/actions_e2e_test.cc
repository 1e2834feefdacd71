// The three actions through the real agent as one table: each request, its
// whole reply and what reached the test's listeners on 127.0.0.1.
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
#include "tests/agent_harness.h"

namespace {

using testutil::AgentProcess;
using Clock = std::chrono::steady_clock;

// The syslog time stamp for t, worked out apart from the agent's code: the C
// library's blank-padded day of month.
std::string Stamp(time_t t) {
  struct tm tm = {};
  localtime_r(&t, &tm);
  char buf[32];
  strftime(buf, sizeof buf, "%b %e %H:%M:%S", &tm);
  return buf;
}

TEST(ActionsE2E, RepliesAndWhatWasSent) {
  AgentProcess agent("executeaction=1\r\ntcpudpaction=1\r\nsyslogaction=1\r\n");
  ASSERT_TRUE(agent.Start()) << agent.console();
  // What reaches the listeners, pieces joined by "|": a piece is a datagram,
  // or what came over TCP before a pause of half a second or more.
  std::mutex mutex;
  std::string tcp_got;
  int tcp_streams = 0;
  testutil::LoopbackTcp tcp_server([&](int fd) {
    std::string got = testutil::ReadFor(fd, 1, 5000);
    got += testutil::ReadFor(fd, 1 << 16, 500);
    for (std::string more; !(more = testutil::ReadFor(fd, 1 << 16, 1500)).empty();) got += "|" + more;
    std::lock_guard<std::mutex> lock(mutex);
    tcp_got += got;
    ++tcp_streams;
  });
  int udp_port = 0;
  UniqueFd udp_server = testutil::BoundLoopback(SOCK_DGRAM, &udp_port);
  testutil::TempDir work;
  const std::string tcp = std::to_string(tcp_server.port()), udp = std::to_string(udp_port);
  const std::string lo = "127.0.0.1";
  const std::string tcp_closed = std::to_string(testutil::ClosedPort(SOCK_STREAM));
  const std::string udp_closed = std::to_string(testutil::ClosedPort(SOCK_DGRAM));
  const std::string wrong = "501\nWrong parameter\n", no_cmd = "501\nCommand line to execute is not specified\n";
  const std::string syslog_sent = "200\nSyslog: Data to 127.0.0.1 has been sent\n";
  const std::string sent = "200\nData has been sent\n";
  // "<stamp>" stands for the time stamp of a second within the request.
  const std::string from = " " + IP2String(GetMyIP()).ToStd() + " TZ ORV: ";
  struct Case {
    std::vector<std::string> request;
    std::string reply, sent = "";
    int min_ms = 0, max_ms = 0;
  } cases[] = {
      {{"ACT-ExternalCmd", "sh -c 'exit 3'", "", "0", "5000"}, "200\n3\n"},
      {{"ACT-ExternalCmd", "true", "", "7", "0"}, "200\n0\n"},
      {{"ACT-ExternalCmd", "touch made-here", work.path(), "0", "5000"}, "200\n0\n"},
      {{"ACT-ExternalCmd", "/no/such/program", "", "0", "5000"},
       "301\nexec error: No such file or directory\n"},
      {{"ACT-ExternalCmd", "sleep 10", "", "0", "1000"}, "301\nabnormal termination\n", "", 0, 5000},
      {{"ACT-ExternalCmd", "", "", "0", "1000"}, no_cmd},
      {{"ACT-ExternalCmd"}, no_cmd},
      {{"ACT-ExternalCmd", "true", "", "x", "1000"}, wrong},
      {{"ACT-ExternalCmd", "true", "", "0", "10s"}, wrong},
      {{"ACT-ExternalCmd", "", "", "zz", "1000"}, wrong},  // the numbers are checked first

      {{"ACT-Syslog", lo, udp, "4", "2", "disk%0Afull %0D%25"}, syslog_sent,
       "<34><stamp>" + from + "disk\nfull \r%25"},
      {{"ACT-Syslog", lo, udp, "1", "", "m"}, syslog_sent, "<8><stamp>" + from + "m"},
      // A facility out of range is sent as given, without overflow.
      {{"ACT-Syslog", lo, udp, "2000000000", "7", "m"}, syslog_sent,
       "<16000000007><stamp>" + from + "m"},
      {{"ACT-Syslog", "no-such-host.invalid", "514", "1", "1", "m"},
       "301\nCannot resolve server name to IP address\n"},
      {{"ACT-Syslog", "", udp, "1", "1", "m"}, wrong},
      {{"ACT-Syslog", lo, "5x", "1", "1", "m"}, wrong},
      {{"ACT-Syslog", lo, "65536", "1", "1", "m"}, wrong},
      {{"ACT-Syslog", lo, udp, "one", "1", "m"}, wrong},
      {{"ACT-Syslog", lo, udp, "1", "8", "m"}, wrong},
      {{"ACT-Syslog", lo, udp, "1", "-1", "m"}, wrong},
      {{"ACT-Syslog"}, wrong},

      {{"ACT-TCPUDPsend", lo, tcp, "0", "ON%0D%0A", "0", ""}, sent, "ON\r\n"},
      // The second block a second later, and the reply only after it.
      {{"ACT-TCPUDPsend", lo, tcp, "0", "first", "1", "second"}, sent, "first|second", 950},
      {{"ACT-TCPUDPsend", lo, udp, "1", "ping%0A", "0", "pong"}, sent, "ping\n|pong"},
      {{"ACT-TCPUDPsend", lo, udp, "udp", "ping", "0", ""}, sent, "ping"},
      {{"ACT-TCPUDPsend", lo, udp, "", "ping", "0", ""}, sent, "ping"},
      {{"ACT-TCPUDPsend", lo, udp_closed, "1", "x", "0", ""}, sent},
      {{"ACT-TCPUDPsend", lo, tcp_closed, "0", "x", "0", ""}, "301\nConnection refused\n"},
      {{"ACT-TCPUDPsend", "", "9", "0", "x", "0", ""}, wrong},
      {{"ACT-TCPUDPsend", lo, "9", "0", "", "0", "y"}, wrong},  // no first block
      {{"ACT-TCPUDPsend", lo, "p9", "0", "x", "0", ""}, wrong},
      {{"ACT-TCPUDPsend", lo, "-1", "0", "x", "0", ""}, wrong},
      {{"ACT-TCPUDPsend", lo, "9", "0", "x", "1.5", ""}, wrong},
      {{"ACT-TCPUDPsend"}, wrong},
  };
  for (const Case& c : cases) {
    std::string what;
    for (const std::string& p : c.request) what += p + "|";
    const time_t before = time(nullptr);
    const auto start = Clock::now();
    EXPECT_EQ(agent.Query(c.request).out, c.reply) << what;
    const auto took = Clock::now() - start;
    const time_t after = time(nullptr);
    EXPECT_GE(took, std::chrono::milliseconds(c.min_ms)) << what;
    if (c.max_ms > 0) {
      EXPECT_LT(took, std::chrono::milliseconds(c.max_ms)) << what;
    }
    const bool over_tcp = c.request.size() > 3 && c.request[0] == "ACT-TCPUDPsend" && c.request[3] == "0";
    std::string got;
    if (over_tcp) {
      testutil::Eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return c.sent.empty() || tcp_streams > 0;
      }, 5000);
      std::lock_guard<std::mutex> lock(mutex);
      got.swap(tcp_got);
      tcp_streams = 0;
    }
    // Waits for each datagram expected, then takes any that came beyond.
    const size_t pieces = c.sent.empty() ? 0 : std::count(c.sent.begin(), c.sent.end(), '|') + 1;
    struct pollfd p = {udp_server.get(), POLLIN, 0};
    for (size_t i = 0; !over_tcp && poll(&p, 1, i < pieces ? 5000 : 0) == 1; ++i) {
      char buf[65536];
      const ssize_t n = recv(udp_server.get(), buf, sizeof buf, 0);
      got += (i > 0 ? "|" : "") + std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
    }
    std::string want = c.sent;
    const size_t at = want.find("<stamp>");
    for (time_t t = before; at != std::string::npos && t <= after; ++t) {
      want = std::string(c.sent).replace(at, 7, Stamp(t));
      if (got == want) break;
    }
    EXPECT_EQ(got, want) << what;
  }
  EXPECT_TRUE(testutil::Exists(work.File("made-here")));
}

// The other side of "ACT-Syslog" as admins run it: a real syslog daemon must
// read the agent's header (priority, time stamp, host) and file the message.
TEST(ActionsE2E, ARealSyslogDaemonFilesTheMessage) {
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
  AgentProcess agent("syslogaction=1\r\n");
  ASSERT_TRUE(agent.Start()) << agent.console();
  // The tag ends at the blank, so the daemon files " ORV: " as the start of
  // the message; it shows the line feed in its own escaped form.
  const std::string want =
      "34|" + IP2String(GetMyIP()).ToStd() + "|TZ| ORV: disk#012full\n";
  std::string got;
  // Until the daemon listens, the datagrams are lost: the agent sends again.
  EXPECT_TRUE(testutil::Eventually([&] {
    agent.Query({"ACT-Syslog", "127.0.0.1", port, "4", "2", "disk%0Afull"});
    got = testutil::Exists(filed) ? testutil::ReadFile(filed) : "";
    return got.find(want) != std::string::npos;
  }, 15000)) << got;
}

}  // namespace
