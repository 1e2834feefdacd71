// The agent's life from the outside: SIGHUP reloads a daemon's settings
// file and ends an agent in the foreground; "ReloadApp" re-executes the
// agent, which keeps its pid file right, its private temporary folder
// (whose name reaches no child) and its memory of the requests it has seen.
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "tests/agent_harness.h"

namespace {

using testutil::AgentProcess;
using testutil::Eventually;

// True once pid is gone or a zombie (a daemon's parent has exited, so
// nobody in this test can reap it).
bool Gone(pid_t pid) {
  const std::string stat = testutil::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  return kill(pid, 0) != 0 || stat.find(") Z ") != std::string::npos;
}

// The reply text to a request under its own session key, "" for none.
std::string Play(const AgentProcess& agent, const std::string& text, const std::string& key) {
  testutil::RawConn c(agent.port());
  return c.Send(testutil::RequestPacket(AgentProcess::kPassword, key, text))
             ? testutil::ReadReplyText(c, key)
             : "not sent";
}

// A daemon, found by its pid file. SIGHUP with a broken file keeps the
// settings in force, with a good one takes it. With "replaywindow" off (the
// default) every copy of a request is answered, as servers that reuse
// session keys expect; switched on, a request played back is refused
// without a reply, also after "ReloadApp", which writes the new pid before
// the old process ends: a service manager that follows the daemon by its
// pid file looks at the file when the process it knows ends.
TEST(DaemonTest, SighupReloadsAndReloadAppKeepsPidFileFolderAndReplayMemory) {
  testutil::TempDir pids;
  const std::string pidfile = pids.File("orv.pid");
  AgentProcess agent("pidfile=" + pidfile + "\r\nshellscript=1\r\n", {"-d"});
  agent.Start();  // returns once the parent has exited or the port answers
  ASSERT_TRUE(testutil::PortAnswers(agent.port(), 10000)) << agent.console();
  pid_t daemon = 0;
  auto pid_in_file = [&] { return std::atoi(testutil::ReadFile(pidfile).c_str()); };
  ASSERT_TRUE(Eventually([&] { return (daemon = pid_in_file()) > 0; }, 10000));
  const std::string folder = testutil::PrivateTmpIn(agent.dir().path());
  ASSERT_FALSE(folder.empty());
  for (int i = 0; i < 2; ++i) EXPECT_EQ(Play(agent, "GetInfo\n\r", "copied").substr(0, 4), "200\n");

  // The agent rereads its settings on its main thread, so a connection made
  // once the file has been read through is accepted after the reload.
  const std::string cfg = testutil::ReadFile(agent.config_path());
  testutil::WriteFile(agent.config_path(), cfg + "password=\r\n");
  UniqueFd in(inotify_init1(IN_CLOEXEC));
  ASSERT_GE(inotify_add_watch(in.get(), agent.config_path().c_str(), IN_CLOSE_NOWRITE), 0);
  kill(daemon, SIGHUP);
  struct pollfd p = {in.get(), POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 10000), 1);
  EXPECT_EQ(agent.Query({"GetInfo"}).status, 0);  // still the old password
  EXPECT_EQ(agent.Query({"GetInfo"}, "").status, 1);
  testutil::WriteFile(agent.config_path(), cfg + "comment=after hangup\r\nreplaywindow=60\r\n");
  EXPECT_EQ(kill(daemon, SIGHUP), 0);
  EXPECT_TRUE(Eventually(
      [&] { return testutil::Occurrences(agent.Query({"GetInfo"}).out, "after hangup"); }, 10000));
  EXPECT_EQ(Play(agent, "GetInfo\n\r", "seen").substr(0, 4), "200\n");
  EXPECT_EQ(Play(agent, "GetInfo\n\r", "seen"), "");

  ASSERT_EQ(Play(agent, "ReloadApp\n\r", "reload"), "200\nOk\n\r");
  // Looked at without a pause: the gap to catch is short.
  const pid_t old = daemon;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!Gone(old) && std::chrono::steady_clock::now() < deadline) sched_yield();
  daemon = pid_in_file();
  EXPECT_TRUE(Gone(old) && daemon > 0 && daemon != old && !Gone(daemon)) << "pid file: " << daemon;
  ASSERT_TRUE(testutil::PortAnswers(agent.port(), 10000));
  EXPECT_EQ(Play(agent, "GetInfo\n\r", "seen"), "");
  EXPECT_EQ(Play(agent, "ReloadApp\n\r", "reload"), "");  // no reload loop from a copy
  const std::string env = testutil::Encoded("echo scriptres:$TMPDIR:$(env | grep -c ORV_PRIVATE)");
  EXPECT_EQ(agent.Query({"TEST-ShellScript", "/bin/sh %script%", env, "", "5", "0"}).out,
            "200\nscriptres:" + agent.dir().path() + ":0\n\n");
  EXPECT_EQ(testutil::PrivateTmpIn(agent.dir().path()), folder);
  EXPECT_EQ(agent.Query({"QUIT"}).out, "200\nOk\n");
  EXPECT_TRUE(Eventually([&] { return Gone(daemon) && !testutil::Exists(folder); }, 10000));
  if (daemon > 0 && !Gone(daemon)) kill(daemon, SIGKILL);
}

TEST(ForegroundSignalTest, SighupEndsAnAgentInTheForeground) {
  AgentProcess agent;
  ASSERT_TRUE(agent.Start()) << agent.console();
  ASSERT_EQ(kill(agent.pid(), SIGHUP), 0);
  EXPECT_EQ(agent.WaitExit(10000), 128 + SIGHUP);
}

}  // namespace
