// Remote upgrade through the real agent. The length bounds and the
// one-at-a-time claim are checked at the dispatcher, the block splits in the
// upgrade unit test.
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
using testutil::OrvqResult;
using testutil::ReadFile;

// A copy of the agent, started in its own process group so that whatever it
// becomes can be found and stopped. A module whose digest does not match is
// "300" and lets the claim go at once; then orvq upgrades the copy to the
// build's own agent: the old process becomes the script, which puts the
// module in place of the copy and starts it as its child on the same port,
// then removes itself once that agent ends.
TEST(UpgradeE2ETest, WrongDigestThenCopyIsReplacedOnSamePort) {
  testutil::TempDir dir;
  const std::string path = dir.File("orv"), cfg = dir.File("orv.cfg"), pw = AgentProcess::kPassword;
  const int port = testutil::ClosedPort(SOCK_STREAM);
  const std::string p = std::to_string(port);
  testutil::WriteFile(path, ReadFile(ORV_AGENT_BIN) + "old copy");
  chmod(path.c_str(), 0755);
  testutil::WriteFile(cfg, "orvpath=" + path + "\r\nport=" + p + "\r\npassword=" + pw +
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
  auto console = [&] { return ReadFile(dir.File("console.out")); };
  if (testutil::PortAnswers(port, 10000) && testutil::ListensOn(pid, port)) {
    const std::string module(3000, 'm'), wrong = module + "x", key = "upgrade-e2e-key";
    std::string first;
    auto s = testutil::BeginUpgrade(port, pw, key, "3000", &first);
    EXPECT_EQ(first, "200\n\r");
    EXPECT_TRUE(
        s->Send(module + BuildUpgradeTrailer(wrong.data(), 3001, String(key.c_str())).ToStd()));
    EXPECT_EQ(testutil::ReadReplyText(*s, key), "300\nWrong CRC\n\r");
    EXPECT_FALSE(testutil::Exists(testutil::PrivateTmpIn(dir.path()) + "/orvupd__.sh"));
    OrvqResult bad = testutil::RunOrvq({"-p", p, "-P", pw, "--upgrade", "/no/such/module"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("cannot read /no/such/module"), std::string::npos) << bad.err;

    OrvqResult r =
        testutil::RunOrvq({"-p", p, "-P", pw, "-t", "20000", "--upgrade", ORV_AGENT_BIN});
    EXPECT_EQ(r.out, "200\n") << r.err;
    EXPECT_TRUE(testutil::Eventually(
        [&] { return (fresh = testutil::PidListeningOn(port)) > 0 && fresh != pid; }, 20000))
        << console();
    EXPECT_EQ(testutil::RunOrvq({"-p", p, "-P", pw, "GetInfo"}).out.substr(0, 24),
              "200\nAgentName=TZ Orvane\n");
    EXPECT_TRUE(ReadFile(path) == ReadFile(ORV_AGENT_BIN));
    EXPECT_FALSE(testutil::Exists(testutil::PrivateTmpIn(dir.path()) + "/orv__.upd"));
    EXPECT_NE(console().find("Upgrade request received. Executing.."), std::string::npos);
  } else {
    ADD_FAILURE() << console();
  }
  // Stopping the new agent lets the script finish, removing itself.
  if (fresh > 0 && fresh != pid) kill(fresh, SIGTERM);
  EXPECT_TRUE(testutil::Eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 10000));
  EXPECT_FALSE(testutil::Exists(testutil::PrivateTmpIn(dir.path()) + "/orvupd__.sh"));
  kill(-pid, SIGKILL);  // anything of the group still alive
  waitpid(pid, &status, 0);
}

}  // namespace
