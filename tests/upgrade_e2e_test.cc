// Remote upgrade through the real agent. The length bounds and the
// one-at-a-time claim are checked at the dispatcher, the block splits in the
// upgrade unit test.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <string>

#include "protocol/client.h"
#include "tests/agent_harness.h"

namespace {

using testutil::AgentProcess;
using testutil::Exists;
using testutil::OrvqResult;
using testutil::ReadFile;

// The agent names a copy of the build's agent as its program. A module whose
// digest does not match is "300" and lets the claim go at once; then orvq's
// module turns the old process into the script, which puts the module in
// place of the copy and starts it as its child on the same port, then
// removes itself once that agent ends.
TEST(UpgradeE2ETest, WrongDigestThenTheCopyIsReplacedOnTheSamePort) {
  testutil::TempDir copy;
  const std::string path = copy.File("orv"), pw = AgentProcess::kPassword;
  testutil::WriteFile(path, ReadFile(ORV_AGENT_BIN) + "old copy");
  chmod(path.c_str(), 0755);
  AgentProcess agent("allowupdates=1\r\norvpath=" + path + "\r\n");
  ASSERT_TRUE(agent.Start()) << agent.console();
  const int port = agent.port();
  const std::string p = std::to_string(port), key = "upgrade-e2e-key", module(3000, 'm');
  std::string first;
  auto s = testutil::BeginUpgrade(port, pw, key, "3000", &first);
  ASSERT_EQ(first, "200\n\r");
  ASSERT_TRUE(
      s->Send(module + BuildUpgradeTrailer((module + "x").data(), 3001, key.c_str()).ToStd()));
  EXPECT_EQ(testutil::ReadReplyText(*s, key), "300\nWrong CRC\n\r");
  const std::string own = testutil::PrivateTmpIn(agent.dir().path());
  EXPECT_FALSE(Exists(own + "/orvupd__.sh"));
  OrvqResult bad = testutil::RunOrvq({"-p", p, "-P", pw, "--upgrade", "/no/such/module"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("cannot read /no/such/module"), std::string::npos) << bad.err;

  OrvqResult r = testutil::RunOrvq({"-p", p, "-P", pw, "-t", "20000", "--upgrade", ORV_AGENT_BIN});
  EXPECT_EQ(r.out, "200\n") << r.err;
  pid_t fresh = 0;
  EXPECT_TRUE(testutil::Eventually(
      [&] { return (fresh = testutil::PidListeningOn(port)) > 0 && fresh != agent.pid(); }, 20000))
      << agent.console();
  EXPECT_EQ(agent.Query({"GetInfo"}).out.substr(0, 24), "200\nAgentName=TZ Orvane\n");
  EXPECT_TRUE(ReadFile(path) == ReadFile(ORV_AGENT_BIN));
  EXPECT_FALSE(Exists(own + "/orv__.upd"));
  EXPECT_NE(agent.console().find("Upgrade request received. Executing.."), std::string::npos);
  // Stopping the new agent lets the script finish, removing itself.
  if (fresh > 0 && fresh != agent.pid()) kill(fresh, SIGTERM);
  EXPECT_NE(agent.WaitExit(10000), -1);
  EXPECT_FALSE(Exists(own + "/orvupd__.sh"));
}

}  // namespace
