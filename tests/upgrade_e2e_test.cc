// Remote upgrade through the real agent: a module whose digest does not
// match, and a real replacement of a copy of the agent by the freshly built
// one. The length bounds and the one-at-a-time claim are checked at the
// dispatcher, the block splits in the upgrade unit test.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "protocol/client.h"
#include "tests/agent_harness.h"

namespace {

using testutil::AgentProcess;
using testutil::Eventually;
using testutil::OrvqResult;

const char kKey[] = "upgrade-e2e-key";

// A module whose digest does not match is "300" on the wire, and its
// failure lets the claim go at once, so that the next transfer may begin.
// The agent names a copy of itself as its program: an agent that took the
// module anyway overwrites the copy, not the build's own program.
TEST(UpgradeE2ETest, WrongDigestIs300AndFreesTheClaim) {
  testutil::TempDir copy;
  testutil::WriteFile(copy.File("orv"), testutil::ReadFile(ORV_AGENT_BIN));
  chmod(copy.File("orv").c_str(), 0755);
  AgentProcess agent("allowupdates=1\r\norvpath=" + copy.File("orv") + "\r\n");
  ASSERT_TRUE(agent.Start()) << agent.console();
  const std::string module(3000, 'm'), wrong = module + "x";
  std::string first;
  auto s = testutil::BeginUpgrade(agent.port(), AgentProcess::kPassword, kKey, "3000", &first);
  ASSERT_EQ(first, "200\n\r");
  ASSERT_TRUE(s->Send(
      module +
      BuildUpgradeTrailer(wrong.data(), static_cast<int>(wrong.size()), String(kKey)).ToStd()));
  EXPECT_EQ(testutil::ReadReplyText(*s, kKey), "300\nWrong CRC\n\r");
  EXPECT_FALSE(testutil::Exists(testutil::PrivateTmpIn(agent.dir().path()) + "/orvupd__.sh"));
  std::string again;
  auto next =
      testutil::BeginUpgrade(agent.port(), AgentProcess::kPassword, kKey, "3000", &again, 0);
  EXPECT_EQ(again, "200\n\r");
  OrvqResult bad = testutil::RunOrvq({"-p", std::to_string(agent.port()), "-P",
                                      AgentProcess::kPassword, "--upgrade", "/no/such/module"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("cannot read /no/such/module"), std::string::npos) << bad.err;
}

// A copy of the agent, upgraded by orvq to the build's own agent: the old
// process becomes the script, which puts the module in place of the copy and
// starts it as its child on the same port, then removes itself once that
// agent ends. The copy runs in its own process group, so that whatever it
// becomes can be found and stopped.
TEST(UpgradeRealTest, CopyIsReplacedAndComesBackOnSamePort) {
  testutil::TempDir dir;
  const std::string path = dir.File("orv"), cfg = dir.File("orv.cfg");
  const int port = testutil::ClosedPort(SOCK_STREAM);
  testutil::WriteFile(path, testutil::ReadFile(ORV_AGENT_BIN) + "old copy");
  chmod(path.c_str(), 0755);
  testutil::WriteFile(cfg, "orvpath=" + path + "\r\nport=" + std::to_string(port) +
                               "\r\npassword=" + AgentProcess::kPassword +
                               "\r\ntmpdir=" + dir.path() + "\r\nallowupdates=1\r\n");
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    if (!freopen(dir.File("console.out").c_str(), "w", stdout) || chdir(dir.path().c_str()) != 0)
      _exit(127);
    // The script restarts the agent with these very arguments.
    execl(path.c_str(), path.c_str(), "-i", "-v", cfg.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  setpgid(pid, pid);
  pid_t fresh = 0;
  int status = 0;
  auto console = [&] { return testutil::ReadFile(dir.File("console.out")); };
  if (testutil::PortAnswers(port, 10000) && testutil::ListensOn(pid, port)) {
    const std::string p = std::to_string(port);
    OrvqResult r = testutil::RunOrvq(
        {"-p", p, "-P", AgentProcess::kPassword, "-t", "20000", "--upgrade", ORV_AGENT_BIN});
    EXPECT_EQ(r.out, "200\n") << r.err;
    EXPECT_TRUE(Eventually(
        [&] {
          fresh = testutil::PidListeningOn(port);
          return fresh > 0 && fresh != pid;
        },
        20000))
        << console();
    EXPECT_EQ(
        testutil::RunOrvq({"-p", p, "-P", AgentProcess::kPassword, "GetInfo"}).out.substr(0, 24),
        "200\nAgentName=TZ Orvane\n");
    EXPECT_TRUE(testutil::ReadFile(path) == testutil::ReadFile(ORV_AGENT_BIN));
    EXPECT_FALSE(testutil::Exists(testutil::PrivateTmpIn(dir.path()) + "/orv__.upd"));
    EXPECT_NE(console().find("Upgrade request received. Executing.."), std::string::npos);
  } else {
    ADD_FAILURE() << console();
  }
  // Stopping the new agent lets the script finish, removing itself.
  if (fresh > 0 && fresh != pid) kill(fresh, SIGTERM);
  EXPECT_TRUE(Eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 10000));
  EXPECT_FALSE(testutil::Exists(testutil::PrivateTmpIn(dir.path()) + "/orvupd__.sh"));
  kill(-pid, SIGKILL);  // anything of the group still alive
  waitpid(pid, &status, 0);
}

}  // namespace
