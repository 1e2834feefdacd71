// The real agent on a free port: whole replies to requests, the management
// commands in the order a server uses them, start-up, logs and rest.
#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/agent_harness.h"

namespace {

using testutil::AgentProcess;
using testutil::Ask;
using testutil::ReadFile;
using testutil::ReplyNumber;
constexpr const char* kPw = AgentProcess::kPassword;

// The agent prints a session's lines while the client already reads the
// reply: wait for them instead of reading at once.
bool Shows(const std::string& path, const std::string& text) {
  return testutil::Eventually([&] { return ReadFile(path).find(text) != std::string::npos; }, 5000);
}

TEST(AgentE2E, RepliesConsoleLogsAndStartErrors) {
  AgentProcess agent("comment=lab host\r\n", {"-i", "-vd"});
  ASSERT_TRUE(agent.Start()) << agent.console();
  const int port = agent.port();
  const std::string console = agent.dir().File("console.out"), rule(61, '-');
  const std::string stages =
      rule +
      "\n Application:  ORV (Orvane for Vequon)\n"
      " Version:      1.29 for Linux (Red Hat, Mandrake, SuSE)\n Developed by the orv project\n"
      " https://orv.invalid\n Free software, provided without warranty\n" +
      rule +
      "\nCommand line checking .. Ok\nSettings checking .. Ok\nCPU testing .. Ok\n"
      "stat.size: 8\nsrec.size: 8\nint64 = long long\nBasic encyption checking .. Ok\n"
      "ORV encyption checking .. Ok\nSock testing .. Ok\n";
  EXPECT_TRUE(Shows(console, stages) && agent.console().find(stages) == 0) << agent.console();

  // The harness's readiness probes are sessions too, counted until they have
  // ended: ask until the asking session is the only one. The opened count
  // starts wherever the probes left it; only its step per session is fixed.
  std::string info;
  ASSERT_TRUE(testutil::WaitQuiet(port, kPw, agent.pid(), -1, -1, 10000, &info)) << info;
  const long opened = ReplyNumber(info, "OpenedConnections");
  struct utsname u;
  ASSERT_EQ(uname(&u), 0);
  EXPECT_EQ(info,
            "200\nAgentName=TZ Orvane\nAgentPlatform=Linux (Red Hat, Mandrake, SuSE)\n"
            "AgentVersion=1.29\nAgentDeveloper=orv project (https://orv.invalid)\nService=0\n"
            "Active=0\nActiveConnections=1\nOpenedConnections=" +
                std::to_string(opened) +
                "\nFailedConnections=0\n"
                "Available tests=TCP%0D%0AUDP%0D%0AUNC%0D%0AFolder Size%0D%0ACount Files%0D%0A"
                "File Availability%0D%0AFile Integrity%0D%0AFile Compare%0D%0AText Log%0D%0A"
                "Process%0D%0ACPU Usage%0D%0AExternal%0D%0AShell Script%0D%0A\n"
                "Enabled tests=1111111111111\nPort=" +
                std::to_string(port) +
                "\nTimeout=4000\nComment=lab host\n"
                "Available actions=Execute external command%0D%0ATCP/UDP send%0D%0ASyslog%0D%0A\n"
                "Enabled actions=000\nHostName=" +
                u.nodename + "\nRunningOS=" + u.sysname + " " + u.release + " " + u.version +
                "\nOSUpdates=not implemented\n\r");
  EXPECT_EQ(ReplyNumber(Ask(port, kPw, "GetInfo\n\r"), "OpenedConnections"), opened + 1);

  const struct {
    const char* password;
    const char* request;
    const char* reply;  // "": the connection ends without one
  } rows[] = {
      // clang-format off
      {kPw, "NoSuchCommand\n\r", "500\nUnknown command \"NoSuchCommand\"\n\r"},
      {kPw, "test-tcp\n\r", "500\nUnknown command \"test-tcp\"\n\r"},
      {kPw, "  \r\n\r", "500\nVoid request received\n\r"},
      {kPw, "GetInfo\n", "502\nEndOfTransmission signal missed\n\r"},
      {kPw, "TEST-DiskSpace\n\r", "500\nNot applicable for UNIX/Linux\n\r"},
      {kPw, "TEST-SNMP\n\r", "500\nnot implemented yet\n\r"},
      {"not-the-password", "GetInfo\n\r", ""},
      // clang-format on
  };
  for (const auto& row : rows)
    EXPECT_EQ(Ask(port, row.password, row.request), row.reply) << row.request;

  EXPECT_TRUE(Shows(console, "<-- Invalid VQ request received")) << agent.console();
  EXPECT_TRUE(Shows(console, "--> request rejected or operation failed (500)"));
  EXPECT_TRUE(Shows(console, "--> request rejected or operation failed (502)"));
  EXPECT_TRUE(Shows(agent.dir().File("log1.txt"), "]\t 127.0.0.1\t TCP connection accepted\n"));
  EXPECT_TRUE(Shows(agent.dir().File("log2.txt"), "Unknown command \"NoSuchCommand\"\n"));
  EXPECT_TRUE(Shows(agent.dir().File("verbose.log"), "orv\t\t Listening...\n"));
  EXPECT_TRUE(Shows(agent.dir().File("verbose.log"), "--> request processed (200)"));
  EXPECT_EQ(ReadFile(agent.dir().File("log1.txt")).find("Listening"), std::string::npos);

  // Command lines that cannot start an agent, and a port already taken.
  const struct {
    std::string args;
    std::string message;
    int status;
  } starts[] = {
      {"", "Error\nInvalid or missed command line parameter\n\n Usage: orv", 1},
      {"-i -v", "Error\nInvalid or missed command line parameter\n\n", 1},
      {"-p 0 x.cfg", "Error\nInvalid port number\n\n", 1},
      {"-p 70000 x.cfg", "Error\nInvalid port number\n\n", 1},
      {"-i /nonexistent/orv.cfg",
       "Error\nCannot open configuration file '/nonexistent/orv.cfg'\nPlease check "
       "'/nonexistent/orv.cfg' file\n\n",
       1},
      {"-i " + agent.config_path(), "Sock testing .. TCP listen error:\n", 4},
  };
  testutil::TempDir tmp;
  for (const auto& row : starts) {
    const std::string cmd =
        std::string(ORV_AGENT_BIN) + " " + row.args + " >" + tmp.File("out") + " 2>&1";
    EXPECT_EQ(WEXITSTATUS(system(cmd.c_str())), row.status) << cmd;
    EXPECT_NE(ReadFile(tmp.File("out")).find(row.message), std::string::npos)
        << ReadFile(tmp.File("out"));
  }
}

// Management from inside the address list, in the order a server uses it;
// from outside it and with management switched off every command is refused.
TEST(AgentE2E, ManagementCommands) {
  AgentProcess agent(
      "manageaddr=127.0.0.0-127.0.0.9\r\n; a comment kept as it is\r\nComment = old\r\n");
  AgentProcess off("allowmanage=0\r\n");
  ASSERT_TRUE(agent.Start() && off.Start()) << agent.console() << off.console();
  const int port = agent.port();
  const std::string refused = "600\nOperation is not allowed\n\r";
  for (const char* cmd : {"QUIT\n\r", "ReloadCfg\n\r", "ReloadApp\n\r", "GetSettings\n\r",
                          "SetSettings\nComment=x\n\r"}) {
    EXPECT_EQ(Ask(off.port(), kPw, cmd), refused) << cmd;
    EXPECT_EQ(Ask(port, kPw, cmd, 10000, "127.0.0.20"), refused) << cmd;
  }

  const std::string cfg = ReadFile(agent.config_path());
  ASSERT_EQ(
      Ask(port, kPw, "SetSettings\nComment=new text\nLogBadConn=0\nBogus=1\nnoequals\nUNC=0\n\r"),
      "200\n\r");
  // Known lines are rewritten in place, the rest kept; missing keys follow.
  std::string want = cfg;
  want.replace(want.find("Comment = old"), 13, "Comment = new text");
  want.replace(want.find("logfails=1"), 10, "logfails=0");
  const std::string saved = ReadFile(agent.config_path());
  EXPECT_EQ(saved.substr(0, want.size()), want);
  EXPECT_NE(saved.find("\r\nunc=0\r\n", want.size() - 2), std::string::npos) << saved;
  EXPECT_EQ(ReadFile(agent.config_path() + ".Old"), cfg);
  const std::string settings = Ask(port, kPw, "GetSettings\n\r");
  for (const std::string& line :
       {std::string("Comment=new text"), std::string("LogBadConn=0"),
        std::string("Enabled tests=1101111111111"), std::string("Password=") + kPw})
    EXPECT_NE(settings.find("\n" + line + "\n"), std::string::npos) << line << "\n" << settings;

  testutil::WriteFile(agent.config_path(), cfg + "comment=reloaded\r\n");
  EXPECT_EQ(Ask(port, kPw, "ReloadCfg\n\r"), "200\nOk\n\r");
  EXPECT_NE(Ask(port, kPw, "GetInfo\n\r").find("\nComment=reloaded\n"), std::string::npos);
  // A failed reload keeps the running settings: the password still guards.
  testutil::WriteFile(agent.config_path(), cfg + "password=\r\n");
  EXPECT_EQ(Ask(port, kPw, "ReloadCfg\n\r"), "300\n  Password is not specified!\n\r");
  EXPECT_EQ(Ask(port, kPw, "GetInfo\n\r").compare(0, 4, "200\n"), 0);
  EXPECT_EQ(Ask(port, "", "GetInfo\n\r"), "");

  const int next = testutil::ClosedPort(SOCK_STREAM);
  ASSERT_EQ(Ask(port, kPw, "SetSettings\nPort=" + std::to_string(next) + "\n\r"), "200\n\r");
  std::string moved;
  EXPECT_TRUE(testutil::Eventually(
      [&] { return (moved = Ask(next, kPw, "GetInfo\n\r", 1000)) != ""; }, 10000));
  EXPECT_NE(moved.find("\nPort=" + std::to_string(next) + "\n"), std::string::npos) << moved;
  EXPECT_TRUE(Shows(agent.dir().File("console.out"), "Server port switching .. Ok"));

  // The reply comes before the process ends, with status 0.
  EXPECT_EQ(Ask(next, kPw, "QUIT\n\r"), "200\nOk\n\r") << agent.console();
  EXPECT_EQ(agent.WaitExit(15000), 0) << agent.console();
  EXPECT_NE(agent.console().find("Terminate request received. Terminating.."), std::string::npos);
}

TEST(AgentE2E, FilterMatchesWholeAddresses) {
  AgentProcess agent("filteractive=1\r\nfilterlist=127.0.0.10 127.0.0.2\r\nfiltermarks=11\r\n");
  ASSERT_TRUE(agent.Start()) << agent.console();
  EXPECT_EQ(Ask(agent.port(), kPw, "GetInfo\n\r", 10000, "127.0.0.1"), "");
  EXPECT_EQ(Ask(agent.port(), kPw, "GetInfo\n\r", 10000, "127.0.0.2").compare(0, 4, "200\n"), 0);
}

// Every client of a burst is answered and counted; then the session threads
// end and the idle agent wakes about once a second.
TEST(AgentE2E, BurstThenRest) {
  AgentProcess agent;
  ASSERT_TRUE(agent.Start()) << agent.console();
  const int port = agent.port();
  const long before = ReplyNumber(Ask(port, kPw, "GetInfo\n\r"), "OpenedConnections");
  std::atomic<int> ok{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 16; ++t) {
    clients.emplace_back([&] {
      for (int i = 0; i < 10; ++i) ok += Ask(port, kPw, "GetInfo\n\r").compare(0, 4, "200\n") == 0;
    });
  }
  for (auto& c : clients) c.join();
  EXPECT_EQ(ok.load(), 160);
  // A session counts until its thread lets go of it, a moment after its
  // reply: ask until the asking session is the only one.
  int asks = 0;
  std::string info;
  EXPECT_TRUE(testutil::Eventually(
      [&] {
        info = Ask(port, kPw, "GetInfo\n\r");
        asks++;
        return ReplyNumber(info, "ActiveConnections") == 1;
      },
      10000))
      << info;
  EXPECT_EQ(ReplyNumber(info, "OpenedConnections"), before + 160 + asks);
  ASSERT_TRUE(testutil::Eventually(
      [&] { return testutil::UsageOf(agent.pid()).threads == testutil::kIdleThreads; }, 20000));
#if !defined(__SANITIZE_THREAD__)  // the sanitizer's own thread wakes the agent too
  const long wakeups = testutil::UsageOf(agent.pid()).wakeups;
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_GE(testutil::UsageOf(agent.pid()).wakeups - wakeups, 2);
  EXPECT_LE(testutil::UsageOf(agent.pid()).wakeups - wakeups, 6);
#endif
}

}  // namespace
