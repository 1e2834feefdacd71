// Remote upgrade through the real agent: the length bounds, the one-at-a-time
// claim, a module whose digest does not match, and a real replacement of a
// copy of the agent by the freshly built one.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "protocol/client.h"
#include "tests/agent_harness.h"
#include "tests/agent_probe.h"

namespace {

using testutil::AgentProcess;
using testutil::OrvqResult;
using Clock = std::chrono::steady_clock;

const char kKey[] = "upgrade-e2e-key";

// An "UpgradeCode" session held open by the test, its first reply in *first;
// a "302" of an earlier session still letting go of its claim is retried.
std::unique_ptr<testutil::RawConn> Begin(int port, const std::string& length, std::string* first,
                                         int retry_ms = 5000) {
  return testutil::BeginUpgrade(port, AgentProcess::kPassword, kKey, length, first, retry_ms);
}

// The first reply to "UpgradeCode" with length on a session that then ends.
std::string BeginWhenFree(int port, const std::string& length) {
  std::string first;
  // On a busy machine the ending session may take seconds to let go.
  Begin(port, length, &first, 15000);
  return first;
}

class UpgradeE2ETest : public ::testing::Test {
 protected:
  // One agent for the refusals. It runs the build's own program file, so no
  // case here may complete a transfer: each leaves before its digest or
  // sends a wrong one.
  static void SetUpTestSuite() { agent_ = new AgentProcess("allowupdates=1\r\n"); }
  static void TearDownTestSuite() {
    delete agent_;
    agent_ = nullptr;
  }
  void SetUp() override {
    if (agent_->pid() <= 0) {
      ASSERT_TRUE(agent_->Start()) << agent_->console();
    }
    // Start each case with the claim free: a session of the previous case
    // may still be closing.
    ASSERT_EQ(BeginWhenFree(agent_->port(), "1"), "501\nWrong file parameter(s)\n\r")
        << agent_->console();
  }
  static AgentProcess* agent_;
};

AgentProcess* UpgradeE2ETest::agent_ = nullptr;

TEST_F(UpgradeE2ETest, LengthBounds) {
  struct Case {
    const char* length;
    const char* reply;
  } cases[] = {
      {"100", "501\nWrong file parameter(s)\n"},
      {"10485760", "501\nWrong file parameter(s)\n"},
      {"0", "501\nWrong file parameter(s)\n"},
      {"-5000", "501\nWrong file parameter(s)\n"},
      {"lots", "501\nWrong file parameter(s)\n"},
      {"101", "200\n"},
      {"10485759", "200\n"},
  };
  for (const Case& c : cases) {
    // orvq leaves right after the first reply: an accepted claim is dropped.
    EXPECT_EQ(BeginWhenFree(agent_->port(), c.length), std::string(c.reply) + "\r") << c.length;
  }
  EXPECT_TRUE(testutil::Eventually(
      [] { return !testutil::Exists(testutil::PrivateTmpIn(agent_->dir().path()) + "/orv__.upd"); },
      3000));  // dropped with the claim
}

TEST_F(UpgradeE2ETest, SecondClaimWhileReceivingIs302) {
  std::string first;
  auto holder = Begin(agent_->port(), "5000", &first);
  ASSERT_EQ(first, "200\n\r");
  OrvqResult r = agent_->Query({"UpgradeCode", "5000"});
  EXPECT_EQ(r.out, "302\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(UpgradeE2ETest, WrongDigestIs300AndDeletesModule) {
  const std::string module(3000, 'm');
  {
    std::string first;
    auto s = Begin(agent_->port(), "3000", &first);
    ASSERT_EQ(first, "200\n\r");
    // The digest may share a block with the module's end: a wrong one stays wrong.
    const std::string wrong = module + "x";
    ASSERT_TRUE(s->Send(module + BuildUpgradeTrailer(wrong.data(), static_cast<int>(wrong.size()),
                                                     String(kKey))
                                     .ToStd()));
    EXPECT_EQ(testutil::ReadReplyText(*s, kKey), "300\nWrong CRC\n\r");
  }
  EXPECT_FALSE(testutil::Exists(testutil::PrivateTmpIn(agent_->dir().path()) + "/orv__.upd"));
  EXPECT_FALSE(testutil::Exists(testutil::PrivateTmpIn(agent_->dir().path()) + "/orvupd__.sh"));
  // The claim is free again at once: the failure released it.
  std::string again;
  auto s = Begin(agent_->port(), "3000", &again, 0);
  EXPECT_EQ(again, "200\n\r");
}

TEST_F(UpgradeE2ETest, RefusedWhenSwitchedOff) {
  AgentProcess off("allowupdates=0\r\n");
  ASSERT_TRUE(off.Start());
  EXPECT_EQ(off.Query({"UpgradeCode", "5000"}).out, "600\nOperation is not allowed\n");
}

TEST_F(UpgradeE2ETest, OrvqUpgradeReportsUnreadableFileAndRefusal) {
  OrvqResult bad = testutil::RunOrvq({"-p", std::to_string(agent_->port()), "-P",
                                      AgentProcess::kPassword, "--upgrade", "/no/such/module"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("cannot read /no/such/module"), std::string::npos) << bad.err;
  testutil::TempDir d;
  testutil::WriteFile(d.File("tiny"), std::string(100, 't'));
  OrvqResult r = testutil::RunOrvq({"-p", std::to_string(agent_->port()), "-P",
                                    AgentProcess::kPassword, "--upgrade", d.File("tiny")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "501\nWrong file parameter(s)\n");
}

// --- A real upgrade of a copy of the agent ---

// The copy of the agent, started in its own process group so that whatever
// it becomes (the script, the new agent the script starts) can be found and
// stopped.
class UpgradableAgent {
 public:
  UpgradableAgent() : port_(testutil::FreePort()) {
    std::string bin = testutil::ReadFile(ORV_AGENT_BIN);
    testutil::WriteFile(Path(), bin);
    chmod(Path().c_str(), 0755);
    std::string cfg = "orvpath=" + Path() + "\r\nport=" + std::to_string(port_) +
                      "\r\npassword=" + AgentProcess::kPassword + "\r\ntmpdir=" + dir_.path() +
                      "\r\nallowupdates=1\r\nupdateaddr=127.0.0.1\r\n";
    testutil::WriteFile(dir_.File("orv.cfg"), cfg);
  }
  ~UpgradableAgent() { Stop(); }

  bool Start() {
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      FILE* out = freopen(dir_.File("console.out").c_str(), "w", stdout);
      FILE* err = freopen(dir_.File("console.err").c_str(), "w", stderr);
      if (!out || !err || chdir(dir_.path().c_str()) != 0) _exit(127);
      std::string cfg = dir_.File("orv.cfg");
      // The script restarts the agent with these very arguments.
      execl(Path().c_str(), Path().c_str(), "-i", "-v", cfg.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    setpgid(pid_, pid_);
    return testutil::PortAnswers(port_, 10000);
  }

  // Stops the agent now listening (by its pid), then reaps the process that
  // was started; the group is killed only if something is still left.
  void Stop() {
    if (pid_ <= 0) return;
    pid_t listening = testutil::PidListeningOn(port_);
    if (listening > 0 && getpgid(listening) == pid_) kill(listening, SIGTERM);
    if (listening != pid_) kill(pid_, SIGTERM);
    auto deadline = Clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0 && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    kill(-pid_, SIGKILL);  // anything of the group still alive
    waitpid(pid_, &status, WNOHANG);
    pid_ = -1;
  }

  std::string Path() const { return dir_.File("orv"); }
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  const testutil::TempDir& dir() const { return dir_; }

 private:
  testutil::TempDir dir_;
  int port_;
  pid_t pid_ = -1;
};

TEST(UpgradeRealTest, CopyIsReplacedAndComesBackOnSamePort) {
  UpgradableAgent agent;
  ASSERT_TRUE(agent.Start()) << testutil::ReadFile(agent.dir().File("console.out"));
  // Mark the copy so that the replacement can be told apart from it.
  {
    std::ofstream mark(agent.Path(), std::ios::app | std::ios::binary);
    mark << "old copy";
  }
  ASSERT_TRUE(testutil::ListensOn(agent.pid(), agent.port()));

  OrvqResult r =
      testutil::RunOrvq({"-p", std::to_string(agent.port()), "-P", AgentProcess::kPassword, "-t",
                         "20000", "--upgrade", ORV_AGENT_BIN});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "200\n");

  // The old process becomes the script, which starts the new agent as its
  // child on the same port.
  pid_t fresh = 0;
  auto deadline = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < deadline) {
    fresh = testutil::PidListeningOn(agent.port());
    if (fresh > 0 && fresh != agent.pid()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_GT(fresh, 0);
  ASSERT_NE(fresh, agent.pid()) << testutil::ReadFile(agent.dir().File("console.out"));

  OrvqResult info = testutil::RunOrvq(
      {"-p", std::to_string(agent.port()), "-P", AgentProcess::kPassword, "GetInfo"});
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_EQ(info.out.substr(0, 24), "200\nAgentName=TZ Orvane\n");
  EXPECT_TRUE(testutil::ReadFile(agent.Path()) == testutil::ReadFile(ORV_AGENT_BIN));
  EXPECT_EQ(access((testutil::PrivateTmpIn(agent.dir().path()) + "/orv__.upd").c_str(), F_OK), -1);
  std::string console = testutil::ReadFile(agent.dir().File("console.out"));
  EXPECT_NE(console.find("Upgrade request received. Executing.."), std::string::npos);

  // Stopping the new agent lets the script finish, removing itself.
  kill(fresh, SIGTERM);
  EXPECT_TRUE(testutil::Eventually([&] { return kill(fresh, 0) != 0; }, 5000));
  int status = 0;
  auto reap_deadline = Clock::now() + std::chrono::seconds(5);
  pid_t reaped = 0;
  while ((reaped = waitpid(agent.pid(), &status, WNOHANG)) == 0 && Clock::now() < reap_deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(reaped, agent.pid());
  EXPECT_EQ(access((testutil::PrivateTmpIn(agent.dir().path()) + "/orvupd__.sh").c_str(), F_OK), -1);
}

}  // namespace
