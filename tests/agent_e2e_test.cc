// The real agent, started on a free port, answering orvq and raw clients.
#include <sys/utsname.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <cstdlib>
#include <chrono>
#include <thread>
#include <vector>

#include "crypto/twofish.h"
#include "protocol/client.h"
#include "protocol/packet.h"
#include "tests/agent_harness.h"
#include "tests/agent_probe.h"

namespace {

using testutil::AgentProcess;
using testutil::OrvqResult;

std::string Lines(std::initializer_list<std::string> lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\n";
  return out;
}

// A raw exchange with any request text (orvq always adds the end mark).
struct Raw {
  TExchangeStatus status;
  std::string text;
};

Raw RawExchange(int port, const std::string& request, const std::string& password = AgentProcess::kPassword) {
  Twofish_initialise();
  String reply, err;
  String req;
  req.CopyData(request.data(), static_cast<int>(request.size()));
  TExchangeStatus st = Exchange(String("127.0.0.1"), port, 10000, String(password.c_str()),
                                String("raw-key"), req, reply, err);
  return {st, reply.ToStd()};
}

// The value of the "OpenedConnections=" line of a GetInfo reply, -1 when absent.
int OpenedConnections(const std::string& reply) {
  static const std::string kKey = "\nOpenedConnections=";
  size_t at = reply.find(kKey);
  if (at == std::string::npos) return -1;
  return std::atoi(reply.c_str() + at + kKey.size());
}

class AgentTest : public ::testing::Test {
 protected:
  void StartAgent(const std::string& extra = "") {
    agent_ = std::make_unique<AgentProcess>(extra);
    ASSERT_TRUE(agent_->Start()) << agent_->console();
  }
  // The agent prints a session's lines while the client already reads the
  // reply: wait for them instead of reading the console at once.
  bool ConsoleShows(const std::string& text) {
    return testutil::Eventually(
        [&] { return agent_->console().find(text) != std::string::npos; }, 5000);
  }
  std::unique_ptr<AgentProcess> agent_;
};

TEST_F(AgentTest, GetInfoExactLines) {
  StartAgent("comment=lab host\r\n");
  // The harness's readiness probes are connections too, and a session is
  // counted until it has ended: ask until the asking session is the only
  // one. The opened count starts wherever the probes left it; only its step
  // per session is fixed.
  std::string info;
  ASSERT_TRUE(testutil::WaitQuiet(agent_->port(), AgentProcess::kPassword, agent_->pid(), -1, -1,
                                  10000, &info))
      << info;
  int opened = OpenedConnections(info);
  ASSERT_GE(opened, 1);
  struct utsname u;
  ASSERT_EQ(uname(&u), 0);
  std::string want = Lines({"200", "AgentName=TZ Orvane", "AgentPlatform=Linux (Red Hat, Mandrake, SuSE)",
                            "AgentVersion=1.29", "AgentDeveloper=orv project (https://orv.invalid)",
                            "Service=0", "Active=0", "ActiveConnections=1",
                            "OpenedConnections=" + std::to_string(opened), "FailedConnections=0"}) +
                     "Available tests=TCP%0D%0AUDP%0D%0AUNC%0D%0AFolder Size%0D%0ACount Files%0D%0A"
                     "File Availability%0D%0AFile Integrity%0D%0AFile Compare%0D%0AText Log%0D%0A"
                     "Process%0D%0ACPU Usage%0D%0AExternal%0D%0AShell Script%0D%0A\n"
                     "Enabled tests=1111111111111\n"
                     "Port=" + std::to_string(agent_->port()) + "\n" +
                     "Timeout=4000\nComment=lab host\n"
                     "Available actions=Execute external command%0D%0ATCP/UDP send%0D%0ASyslog%0D%0A\n"
                     "Enabled actions=000\n" +
                     "HostName=" + u.nodename + "\n" + "RunningOS=" + u.sysname + " " + u.release +
                     " " + u.version + "\n" + "OSUpdates=not implemented\n";
  EXPECT_EQ(info, want + "\r");
  // The counters move on with each session.
  OrvqResult again = agent_->Query({"GetInfo"});
  EXPECT_EQ(OpenedConnections(again.out), opened + 1);
}

TEST_F(AgentTest, WrongPasswordGetsNoReply) {
  StartAgent();
  OrvqResult r = agent_->Query({"GetInfo"}, "not-the-password");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(ConsoleShows("<-- Invalid VQ request received")) << agent_->console();
}

TEST_F(AgentTest, PacketInPiecesIsAssembled) {
  StartAgent();
  Twofish_initialise();
  String packet = BuildRequestPacket(String(AgentProcess::kPassword), String("pieces"),
                                     String("GetInfo\n\r"));
  TAgentConnection conn(String("127.0.0.1"), agent_->port(), 10000);
  String err, text;
  ASSERT_EQ(conn.Connect(err), kReplyReceived) << err.ToStd();
  for (int at = 0; at < packet.Length(); at += 7) {
    int n = std::min(7, packet.Length() - at);
    ASSERT_EQ(conn.SendRaw(packet.Data() + at, n, err), kReplyReceived);
    usleep(20000);
  }
  ASSERT_EQ(conn.ReadReply(String("pieces"), text, err), kReplyReceived) << err.ToStd();
  EXPECT_EQ(text.ToStd().substr(0, 4), "200\n");
}

TEST_F(AgentTest, MalformedRequestsAreAnsweredWithTheirCodes) {
  StartAgent();
  struct Case {
    const char* request;
    const char* reply;
  } cases[] = {
      {"NoSuchThing\n\r", "500\nUnknown command \"NoSuchThing\"\n\r"},
      {"test-tcp\n\r", "500\nUnknown command \"test-tcp\"\n\r"},
      {"  \r\n\r", "500\nVoid request received\n\r"},
      {"GetInfo\n", "502\nEndOfTransmission signal missed\n\r"},
      {"TEST-DiskSpace\n\r", "500\nNot applicable for UNIX/Linux\n\r"},
      {"TEST-SNMP\n\r", "500\nnot implemented yet\n\r"},
  };
  for (const auto& c : cases) {
    Raw r = RawExchange(agent_->port(), c.request);
    EXPECT_EQ(r.status, kReplyReceived) << c.request;
    EXPECT_EQ(r.text, c.reply) << c.request;
  }
  EXPECT_TRUE(ConsoleShows("--> request rejected or operation failed (500)")) << agent_->console();
  EXPECT_TRUE(ConsoleShows("--> request rejected or operation failed (502)")) << agent_->console();
}

TEST_F(AgentTest, ManagementRefusedWhenSwitchedOffOrOutsideTheList) {
  StartAgent("allowmanage=0\r\n");
  for (const char* cmd : {"QUIT", "ReloadCfg", "ReloadApp", "GetSettings", "SetSettings"}) {
    OrvqResult r = agent_->Query({cmd});
    EXPECT_EQ(r.out, "600\nOperation is not allowed\n") << cmd;
  }
  AgentProcess outside("manageaddr=10.0.0.1-10.0.0.9\r\nallowupdates=0\r\n");
  ASSERT_TRUE(outside.Start());
  EXPECT_EQ(outside.Query({"QUIT"}).out, "600\nOperation is not allowed\n");
  EXPECT_EQ(outside.Query({"UpgradeCode", "5000"}).out, "600\nOperation is not allowed\n");
  EXPECT_EQ(outside.Query({"GetInfo"}).status, 0);  // still running and answering
  AgentProcess range("manageaddr=127.0.0.0-127.0.0.9\r\n");
  ASSERT_TRUE(range.Start());
  EXPECT_EQ(range.Query({"ReloadCfg"}).out, "200\nOk\n");
}

TEST_F(AgentTest, QuitEndsTheProcessWithStatusZero) {
  StartAgent();
  // The reply must come before the process ends: the main loop acts on the
  // request at its next poll, which may fall at any moment after it.
  OrvqResult r = agent_->Query({"QUIT"});
  EXPECT_EQ(r.out, "200\nOk\n") << r.err << agent_->console();
  EXPECT_EQ(agent_->WaitExit(15000), 0) << agent_->console();
  EXPECT_NE(agent_->console().find("Terminate request received. Terminating.."), std::string::npos)
      << agent_->console();
}

TEST_F(AgentTest, SetSettingsRewritesTheFileAndKeepsItsLines) {
  StartAgent("; a comment kept as it is\r\nunknownkey=stays\r\nComment = old\r\nlogfails=1\r\n");
  OrvqResult r = agent_->Query({"SetSettings", "Comment=new text", "LogBadConn=0", "Bogus=1",
                                "noequals", "UNC=0"});
  ASSERT_EQ(r.out, "200\n") << r.err;
  std::string cfg = testutil::ReadFile(agent_->config_path());
  EXPECT_NE(cfg.find("; a comment kept as it is\r\n"), std::string::npos);
  EXPECT_NE(cfg.find("unknownkey=stays\r\n"), std::string::npos);
  EXPECT_NE(cfg.find("Comment = new text\r\n"), std::string::npos);
  EXPECT_NE(cfg.find("logfails=0\r\n"), std::string::npos);
  EXPECT_NE(cfg.find("unc=0\r\n"), std::string::npos);  // missing keys are appended
  EXPECT_EQ(cfg.find("Comment = old"), std::string::npos);
  std::string old = testutil::ReadFile(agent_->config_path() + ".Old");
  EXPECT_NE(old.find("Comment = old\r\n"), std::string::npos);
  OrvqResult info = agent_->Query({"GetSettings"});
  EXPECT_NE(info.out.find("Comment=new text\n"), std::string::npos);
  EXPECT_NE(info.out.find("LogBadConn=0\n"), std::string::npos);
  EXPECT_NE(info.out.find("Enabled tests=1101111111111\n"), std::string::npos);
  EXPECT_NE(info.out.find(std::string("Password=") + AgentProcess::kPassword + "\n"),
            std::string::npos);
}

TEST_F(AgentTest, ReloadCfgReadsTheFileAgainAndAFailedReloadKeepsServing) {
  StartAgent();
  std::string cfg = testutil::ReadFile(agent_->config_path());
  testutil::WriteFile(agent_->config_path(), cfg + "comment=reloaded\r\n");
  EXPECT_EQ(agent_->Query({"ReloadCfg"}).out, "200\nOk\n");
  EXPECT_NE(agent_->Query({"GetInfo"}).out.find("Comment=reloaded\n"), std::string::npos);

  testutil::WriteFile(agent_->config_path(), cfg + "password=\r\n");
  OrvqResult failed = agent_->Query({"ReloadCfg"});
  EXPECT_EQ(failed.out, "300\n  Password is not specified!\n");
  // The previous password still guards the agent; an empty one opens nothing.
  EXPECT_EQ(agent_->Query({"GetInfo"}).status, 0);
  EXPECT_EQ(agent_->Query({"GetInfo"}, "").status, 1);
}

TEST_F(AgentTest, PortSwitchMovesTheListener) {
  StartAgent();
  int next = testutil::FreePort();
  OrvqResult r = agent_->Query({"SetSettings", "Port=" + std::to_string(next)});
  ASSERT_EQ(r.out, "200\n");
  ASSERT_TRUE(testutil::PortAnswers(next, 5000));
  OrvqResult moved = testutil::RunOrvq(
      {"-p", std::to_string(next), "-P", AgentProcess::kPassword, "GetInfo"});
  EXPECT_NE(moved.out.find("Port=" + std::to_string(next) + "\n"), std::string::npos);
  EXPECT_TRUE(ConsoleShows("Server port switching .. Ok")) << agent_->console();
}

TEST_F(AgentTest, ManyConcurrentClients) {
  StartAgent();
  Twofish_initialise();
  int before = OpenedConnections(agent_->Query({"GetInfo"}).out);
  std::atomic<int> ok{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 16; ++t) {
    clients.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        Raw r = RawExchange(agent_->port(), "GetInfo\n\r");
        if (r.status == kReplyReceived && r.text.compare(0, 4, "200\n") == 0) ok++;
      }
    });
  }
  for (auto& c : clients) c.join();
  EXPECT_EQ(ok.load(), 160);
  // A session is counted until its thread has let go of it, a moment after
  // its reply: ask until the asking session is the only one.
  int asks = 0;
  std::string info;
  EXPECT_TRUE(testutil::Eventually(
      [&] {
        info = testutil::Ask(agent_->port(), AgentProcess::kPassword, "GetInfo\n\r");
        asks++;
        return testutil::ReplyNumber(info, "ActiveConnections") == 1;
      },
      10000))
      << info;
  EXPECT_EQ(OpenedConnections(info), before + 160 + asks);
}

// Voluntary context switches of all the threads of pid, summed.
long WakeUps(pid_t pid) {
  long total = 0;
  std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  UniqueDir d(opendir(tasks.c_str()));
  if (!d) return -1;
  while (struct dirent* e = readdir(d.get())) {
    if (e->d_name[0] == '.') continue;
    std::ifstream status(tasks + "/" + e->d_name + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.compare(0, 24, "voluntary_ctxt_switches:") == 0)
        total += std::strtol(line.c_str() + 24, nullptr, 10);
    }
  }
  return total;
}

using testutil::kIdleThreads;
#if defined(__SANITIZE_THREAD__)
// The thread sanitizer's own thread wakes the agent too.
constexpr bool kCountWakeUps = false;
#else
constexpr bool kCountWakeUps = true;
#endif

// The session threads that a burst of clients needed end once it is over,
// and an idle agent wakes once a second, whatever it served before.
TEST_F(AgentTest, SessionThreadsEndAtRestAndAnIdleAgentWakesOnceASecond) {
  StartAgent();
  std::vector<std::thread> clients;
  std::atomic<int> ok{0};
  for (int t = 0; t < 16; ++t) {
    clients.emplace_back([&] {
      for (int i = 0; i < 5; ++i) {
        if (RawExchange(agent_->port(), "GetInfo\n\r").status == kReplyReceived) ok++;
      }
    });
  }
  for (auto& c : clients) c.join();
  EXPECT_EQ(ok.load(), 80);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (testutil::UsageOf(agent_->pid()).threads != kIdleThreads &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_EQ(testutil::UsageOf(agent_->pid()).threads, kIdleThreads);
  if (!kCountWakeUps) return;
  long before = WakeUps(agent_->pid());
  std::this_thread::sleep_for(std::chrono::seconds(3));
  long wakes = WakeUps(agent_->pid()) - before;
  EXPECT_GE(wakes, 2);
  EXPECT_LE(wakes, 6);
}

TEST_F(AgentTest, LogLinesLandInTheirFiles) {
  StartAgent();
  agent_->Query({"GetInfo"});
  agent_->Query({"NoSuchCommand"});
  std::string ok, bad, verbose;
  testutil::Eventually(
      [&] {
        ok = testutil::ReadFile(agent_->dir().File("log1.txt"));
        bad = testutil::ReadFile(agent_->dir().File("log2.txt"));
        verbose = testutil::ReadFile(agent_->dir().File("verbose.log"));
        return bad.find("NoSuchCommand") != std::string::npos &&
               verbose.find("--> request processed (200)") != std::string::npos;
      },
      5000);
  EXPECT_NE(ok.find("]\t 127.0.0.1\t TCP connection accepted\n"), std::string::npos) << ok;
  EXPECT_EQ(ok.find("Listening"), std::string::npos);
  EXPECT_NE(bad.find("Unknown command \"NoSuchCommand\"\n"), std::string::npos) << bad;
  EXPECT_NE(verbose.find("orv\t\t Listening...\n"), std::string::npos) << verbose;
  EXPECT_NE(verbose.find("--> request processed (200)"), std::string::npos);
}

TEST_F(AgentTest, FilterMatchesWholeAddresses) {
  StartAgent("filteractive=1\r\nfilterlist=127.0.0.10\r\nfiltermarks=1\r\n");
  OrvqResult r = agent_->Query({"GetInfo"});
  EXPECT_EQ(r.status, 1);  // rejected at connection level: no reply
  AgentProcess open("filteractive=1\r\nfilterlist=127.0.0.10 127.0.0.1\r\nfiltermarks=11\r\n");
  ASSERT_TRUE(open.Start());
  OrvqResult ok = open.Query({"GetInfo"});
  EXPECT_EQ(ok.status, 0);
  OrvqResult again = agent_->Query({"GetInfo"});
  EXPECT_EQ(again.status, 1);
}

TEST_F(AgentTest, OversizedAnnouncementIsRefusedAtOnce) {
  StartAgent();
  TAgentConnection conn(String("127.0.0.1"), agent_->port(), 5000);
  String err, text;
  ASSERT_EQ(conn.Connect(err), kReplyReceived);
  const char huge[] = "\xff\xff\xff\x7f\x03\x12";
  conn.SendRaw(huge, 6, err);
  EXPECT_EQ(conn.ReadReply(String("k"), text, err), kNoReply);
  EXPECT_EQ(agent_->Query({"GetInfo"}).status, 0);
}

TEST_F(AgentTest, IdleClientIsDisconnectedAfterTheTimeout) {
  StartAgent("timeout=1000\r\n");
  TAgentConnection conn(String("127.0.0.1"), agent_->port(), 8000);
  String err, text;
  ASSERT_EQ(conn.Connect(err), kReplyReceived);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(conn.ReadReply(String("k"), text, err), kNoReply);
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(waited, 0.9);
  EXPECT_LE(waited, 3.5);
}

// Start-up on the console: stages, usage and exit codes.
TEST(AgentStartup, ConsoleStagesInOrder) {
  AgentProcess agent;
  ASSERT_TRUE(agent.Start());
  std::string out = agent.console();
  std::string rule(61, '-');
  EXPECT_EQ(out.find(rule + "\n Application:  ORV (Orvane for Vequon)\n"
                            " Version:      1.29 for Linux (Red Hat, Mandrake, SuSE)\n"),
            0u)
      << out;
  EXPECT_NE(out.find("Command line checking .. Ok\nSettings checking .. Ok\nCPU testing .. Ok\n"
                     "Basic encyption checking .. Ok\nORV encyption checking .. Ok\n"
                     "Sock testing .. Ok\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\t Listening...\n"), std::string::npos) << out;
}

TEST(AgentStartup, DebugFlagPrintsSizes) {
  AgentProcess agent("", {"-i", "-vd"});
  ASSERT_TRUE(agent.Start());
  EXPECT_NE(agent.console().find("CPU testing .. Ok\nstat.size: 8\nsrec.size: 8\nint64 = long long\n"),
            std::string::npos)
      << agent.console();
}

TEST(AgentStartup, CommandLineErrorsPrintUsage) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
    int status;
  } cases[] = {
      {{}, "Error\nInvalid or missed command line parameter\n\n Usage: orv", 1},
      {{"-i", "-v"}, "Error\nInvalid or missed command line parameter\n\n", 1},
      {{"-p", "0", "x.cfg"}, "Error\nInvalid port number\n\n", 1},
      {{"-p", "70000", "x.cfg"}, "Error\nInvalid port number\n\n", 1},
      {{"-i", "/nonexistent/orv.cfg"},
       "Error\nCannot open configuration file '/nonexistent/orv.cfg'\nPlease check "
       "'/nonexistent/orv.cfg' file\n\n",
       1},
  };
  for (const auto& c : cases) {
    testutil::TempDir tmp;
    std::string cmd = std::string(ORV_AGENT_BIN);
    for (const auto& a : c.args) cmd += " " + a;
    cmd += " >" + tmp.File("out") + " 2>&1";
    int rc = system(cmd.c_str());
    EXPECT_EQ(WEXITSTATUS(rc), c.status) << cmd;
    EXPECT_NE(testutil::ReadFile(tmp.File("out")).find(c.message), std::string::npos)
        << testutil::ReadFile(tmp.File("out"));
  }
}

TEST(AgentStartup, PortInUseExitsWithFour) {
  AgentProcess first;
  ASSERT_TRUE(first.Start());
  testutil::TempDir tmp;
  std::string cfg = testutil::ReadFile(first.config_path());
  testutil::WriteFile(tmp.File("orv.cfg"), cfg);
  std::string cmd = std::string(ORV_AGENT_BIN) + " -i " + tmp.File("orv.cfg") + " >" +
                    tmp.File("out") + " 2>&1";
  int rc = system(cmd.c_str());
  EXPECT_EQ(WEXITSTATUS(rc), 4);
  EXPECT_NE(testutil::ReadFile(tmp.File("out")).find("Sock testing .. TCP listen error:\n"),
            std::string::npos);
}

}  // namespace
