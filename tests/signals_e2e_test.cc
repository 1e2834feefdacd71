// Signals from the outside: SIGHUP reloads a daemon's settings file and ends
// an agent that runs in the foreground.
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/types.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "tests/agent_harness.h"

namespace {

using testutil::AgentProcess;
using Clock = std::chrono::steady_clock;

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

using testutil::Eventually;

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

// A daemon started through the harness: the harness's child is the parent
// that prints "Daemon started" and exits; the daemon is found by its pid file.
class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    agent_ = std::make_unique<AgentProcess>("pidfile=" + pids_.File("orv.pid") + "\r\n",
                                            std::vector<std::string>{"-d"});
    agent_->Start();  // returns once the parent has exited or the port answers
    ASSERT_TRUE(testutil::PortAnswers(agent_->port(), 10000)) << agent_->console();
    ASSERT_TRUE(Eventually(
        [&] {
          daemon_ = std::atoi(testutil::ReadFile(pids_.File("orv.pid")).c_str());
          return daemon_ > 0;
        },
        5000));
  }
  void TearDown() override {
    if (daemon_ > 0) {
      kill(daemon_, SIGTERM);
      if (!Eventually([&] { return Gone(daemon_); }, 5000)) kill(daemon_, SIGKILL);
    }
  }

  testutil::TempDir pids_;
  std::unique_ptr<AgentProcess> agent_;
  pid_t daemon_ = -1;
};

TEST_F(DaemonTest, SighupReloadsTheSettingsFileWithinASecondOrTwo) {
  std::string cfg = testutil::ReadFile(agent_->config_path());
  testutil::WriteFile(agent_->config_path(), cfg + "comment=after hangup\r\n");
  ASSERT_EQ(kill(daemon_, SIGHUP), 0);
  EXPECT_TRUE(Eventually(
      [&] {
        return agent_->Query({"GetInfo"}).out.find("\nComment=after hangup\n") !=
               std::string::npos;
      },
      5000));
  EXPECT_FALSE(Gone(daemon_));
}

TEST_F(DaemonTest, SighupWithABrokenFileKeepsThePreviousSettings) {
  std::string cfg = testutil::ReadFile(agent_->config_path());
  testutil::WriteFile(agent_->config_path(), cfg + "password=\r\n");
  ASSERT_TRUE(ReadAfter(agent_->config_path(), [&] { kill(daemon_, SIGHUP); }, 10000));
  EXPECT_EQ(agent_->Query({"GetInfo"}).status, 0);  // still the old password
  EXPECT_EQ(agent_->Query({"GetInfo"}, "").status, 1);
}

// A service manager that follows the daemon by its pid file looks at the
// file when the process it knows ends: a daemon that restarts itself must
// have written its new pid by then.
TEST_F(DaemonTest, ReloadAppWritesTheNewPidBeforeTheOldProcessEnds) {
  ASSERT_EQ(agent_->Query({"ReloadApp"}).out, "200\nOk\n");
  // Looked at without a pause: the gap to catch is short.
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!Gone(daemon_) && Clock::now() < deadline) sched_yield();
  ASSERT_TRUE(Gone(daemon_));
  pid_t next = std::atoi(testutil::ReadFile(pids_.File("orv.pid")).c_str());
  EXPECT_TRUE(next > 0 && next != daemon_ && !Gone(next)) << "pid file: " << next;
  // Whatever the outcome, TearDown stops the new daemon.
  const pid_t old = daemon_;
  Eventually(
      [&] {
        next = std::atoi(testutil::ReadFile(pids_.File("orv.pid")).c_str());
        return next > 0 && next != old;
      },
      10000);
  if (next > 0 && next != old) daemon_ = next;
  EXPECT_EQ(agent_->Query({"GetInfo"}).status, 0);
}

TEST(ForegroundSignalTest, SighupEndsAnAgentInTheForeground) {
  AgentProcess agent;
  ASSERT_TRUE(agent.Start()) << agent.console();
  ASSERT_EQ(kill(agent.pid(), SIGHUP), 0);
  EXPECT_EQ(agent.WaitExit(5000), 128 + SIGHUP);
}

}  // namespace
