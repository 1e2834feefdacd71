// Signals from the outside: SIGHUP reloads a daemon's settings file and ends
// an agent that runs in the foreground.
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

#include "tests/agent_harness.h"

namespace {

using testutil::AgentProcess;
using testutil::Eventually;

// True once pid is gone or a zombie (a daemon's parent has exited, so
// nobody in this test can reap it).
bool Gone(pid_t pid) {
  if (kill(pid, 0) != 0) return true;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  size_t paren = line.rfind(')');
  return paren == std::string::npos || line.compare(paren + 2, 1, "Z") == 0;
}

// Runs act(), then waits at most timeout_ms until someone has read path
// through to its close: the agent rereads its settings on its main thread,
// so a connection made after that is accepted only once the reload is over.
bool ReadAfter(const std::string& path, const std::function<void()>& act, int timeout_ms) {
  UniqueFd in(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  if (!in.valid() || inotify_add_watch(in.get(), path.c_str(), IN_CLOSE_NOWRITE) < 0) return false;
  act();
  struct pollfd p = {in.get(), POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1;
}

// A daemon started through the harness (whose child prints "Daemon started"
// and exits; the daemon is found by its pid file): SIGHUP with a broken file
// keeps the settings in force, SIGHUP with a good one takes it, and
// "ReloadApp" writes the new pid before the old process ends, because a
// service manager that follows the daemon by its pid file looks at the file
// when the process it knows ends.
TEST(DaemonTest, SighupReloadsAndReloadAppKeepsThePidFileRight) {
  testutil::TempDir pids;
  const std::string pidfile = pids.File("orv.pid");
  AgentProcess agent("pidfile=" + pidfile + "\r\n", {"-d"});
  agent.Start();  // returns once the parent has exited or the port answers
  ASSERT_TRUE(testutil::PortAnswers(agent.port(), 10000)) << agent.console();
  pid_t daemon = 0;
  auto pid_in_file = [&] { return std::atoi(testutil::ReadFile(pidfile).c_str()); };
  ASSERT_TRUE(Eventually([&] { return (daemon = pid_in_file()) > 0; }, 10000));
  const std::string cfg = testutil::ReadFile(agent.config_path());

  testutil::WriteFile(agent.config_path(), cfg + "password=\r\n");
  EXPECT_TRUE(ReadAfter(
      agent.config_path(), [&] { kill(daemon, SIGHUP); }, 10000));
  EXPECT_EQ(agent.Query({"GetInfo"}).status, 0);  // still the old password
  EXPECT_EQ(agent.Query({"GetInfo"}, "").status, 1);

  testutil::WriteFile(agent.config_path(), cfg + "comment=after hangup\r\n");
  EXPECT_EQ(kill(daemon, SIGHUP), 0);
  EXPECT_TRUE(Eventually(
      [&] {
        return agent.Query({"GetInfo"}).out.find("\nComment=after hangup\n") != std::string::npos;
      },
      10000));

  EXPECT_EQ(agent.Query({"ReloadApp"}).out, "200\nOk\n");
  // Looked at without a pause: the gap to catch is short.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!Gone(daemon) && std::chrono::steady_clock::now() < deadline) sched_yield();
  const pid_t old = daemon;
  if (Gone(old)) {
    daemon = pid_in_file();
    EXPECT_TRUE(daemon > 0 && daemon != old && !Gone(daemon)) << "pid file: " << daemon;
    EXPECT_TRUE(Eventually([&] { return (daemon = pid_in_file()) > 0 && daemon != old; }, 10000));
    EXPECT_EQ(agent.Query({"GetInfo"}).status, 0);
  } else {
    ADD_FAILURE() << "the daemon did not end";
  }
  if (daemon > 0 && !Gone(daemon)) {
    kill(daemon, SIGTERM);
    if (!Eventually([&] { return Gone(daemon); }, 5000)) kill(daemon, SIGKILL);
  }
}

TEST(ForegroundSignalTest, SighupEndsAnAgentInTheForeground) {
  AgentProcess agent;
  ASSERT_TRUE(agent.Start()) << agent.console();
  ASSERT_EQ(kill(agent.pid(), SIGHUP), 0);
  EXPECT_EQ(agent.WaitExit(10000), 128 + SIGHUP);
}

}  // namespace
