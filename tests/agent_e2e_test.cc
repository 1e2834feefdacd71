// The real agent: whole replies, start-up, logs, a burst and the rest after
// it, and management in the order a server uses it.
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

// The agent writes a session's lines while the client already reads the
// reply: wait for them.
bool Shows(const std::string& path, const std::string& text) {
  return testutil::Eventually([&] { return ReadFile(path).find(text) != std::string::npos; }, 5000);
}

TEST(AgentE2E, RepliesLogsBurstRestAndManagement) {
  AgentProcess agent("manageaddr=127.0.0.0-127.0.0.9\r\nComment = lab host\r\n", {"-i", "-vd"});
  // Management off; a filter that must match whole addresses (127.0.0.1 is
  // no 127.0.0.10).
  AgentProcess off(
      "allowmanage=0\r\nfilteractive=1\r\nfilterlist=127.0.0.10 127.0.0.2\r\n"
      "filtermarks=11\r\n");
  ASSERT_TRUE(agent.Start() && off.Start()) << agent.console() << off.console();
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

  // The readiness probes are sessions too: the opened count starts wherever
  // they left it.
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

  const std::string refused = "600\nOperation is not allowed\n\r";
  const struct {
    int port;
    const char* from;  // null: 127.0.0.1
    const char* password;
    std::string request;
    std::string reply;  // "": the connection ends without one
  } rows[] = {
      {port, nullptr, kPw, "NoSuchCommand\n\r", "500\nUnknown command \"NoSuchCommand\"\n\r"},
      {port, nullptr, kPw, "test-tcp\n\r", "500\nUnknown command \"test-tcp\"\n\r"},
      {port, nullptr, kPw, "  \r\n\r", "500\nVoid request received\n\r"},
      {port, nullptr, kPw, "GetInfo\n", "502\nEndOfTransmission signal missed\n\r"},
      {port, nullptr, kPw, "TEST-DiskSpace\n\r", "500\nNot applicable for UNIX/Linux\n\r"},
      {port, nullptr, kPw, "TEST-SNMP\n\r", "500\nnot implemented yet\n\r"},
      {port, nullptr, "not-the-password", "GetInfo\n\r", ""},
      {port, "127.0.0.20", kPw, "QUIT\n\r", refused},  // outside "manageaddr"
      {off.port(), nullptr, kPw, "GetInfo\n\r", ""},
      {off.port(), "127.0.0.2", kPw, "GetInfo\n\r", "200\n*"},
  };
  for (const auto& row : rows) {
    const std::string got = Ask(row.port, row.password, row.request, 10000, row.from);
    EXPECT_TRUE(testutil::Glob(got.c_str(), row.reply.c_str())) << row.request << got;
  }
  for (const char* cmd : {"QUIT\n\r", "ReloadCfg\n\r", "ReloadApp\n\r", "GetSettings\n\r",
                          "SetSettings\nComment=x\n\r"})
    EXPECT_EQ(Ask(off.port(), kPw, cmd, 10000, "127.0.0.2"), refused) << cmd;
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
    std::string args, message;
    int status;
  } starts[] = {
      {"", "Error\nInvalid or missed command line parameter\n\n Usage: orv", 1},
      {"-i -v", "Error\nInvalid or missed command line parameter\n\n", 1},
      {"-p 0 x.cfg", "Error\nInvalid port number\n\n", 1},
      {"-p 70000 x.cfg", "Error\nInvalid port number\n\n", 1},
      {"-i /nonexistent/orv.cfg",
       "Error\nCannot open configuration file '/nonexistent/orv.cfg'\n"
       "Please check '/nonexistent/orv.cfg' file\n\n",
       1},
      {"-i " + agent.config_path(), "Sock testing .. TCP listen error:\n", 4},
  };
  const std::string out = agent.dir().File("start.out");
  for (const auto& row : starts) {
    const std::string cmd = std::string(ORV_AGENT_BIN) + " " + row.args + " >" + out + " 2>&1";
    EXPECT_EQ(WEXITSTATUS(system(cmd.c_str())), row.status) << cmd;
    EXPECT_NE(ReadFile(out).find(row.message), std::string::npos) << ReadFile(out);
  }

  // Every client of a burst is answered and counted once; then the session
  // threads end and the idle agent wakes about once a second.
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
  int asks = 0;
  ASSERT_TRUE(testutil::WaitQuiet(port, kPw, agent.pid(), -1, -1, 10000, &info, &asks));
  EXPECT_EQ(ReplyNumber(info, "OpenedConnections"), before + 160 + asks) << info;
  ASSERT_TRUE(testutil::Eventually(
      [&] { return testutil::UsageOf(agent.pid()).threads == testutil::kIdleThreads; }, 20000));
#if !defined(__SANITIZE_THREAD__)  // the sanitizer's own thread wakes the agent too
  const long wakeups = testutil::UsageOf(agent.pid()).wakeups;
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_GE(testutil::UsageOf(agent.pid()).wakeups - wakeups, 2);
  EXPECT_LE(testutil::UsageOf(agent.pid()).wakeups - wakeups, 6);
  // So does the main thread of a lightly used one, while the request's
  // threads linger and end.
  ASSERT_EQ(Ask(port, kPw, "GetInfo\n\r").compare(0, 4, "200\n"), 0);
  const long after_one = testutil::UsageOf(agent.pid()).wakeups;
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_LE(testutil::UsageOf(agent.pid()).wakeups - after_one, 10);
#endif

  // Management: a change reaches the file and "GetSettings" (how the file
  // is rewritten is the settings' own unit test).
  const std::string cfg = ReadFile(agent.config_path());
  ASSERT_EQ(
      Ask(port, kPw, "SetSettings\nComment=new text\nLogBadConn=0\nBogus=1\nnoequals\nUNC=0\n\r"),
      "200\n\r");
  EXPECT_NE(ReadFile(agent.config_path()).find("\nComment = new text\r\n"), std::string::npos);
  const std::string settings = Ask(port, kPw, "GetSettings\n\r");
  for (const std::string line :
       {"Comment=new text", "LogBadConn=0", "Enabled tests=1101111111111", "Password=e2e-secret"})
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
  EXPECT_TRUE(Shows(console, "Server port switching .. Ok"));
  // The reply comes before the process ends, with status 0.
  EXPECT_EQ(Ask(next, kPw, "QUIT\n\r"), "200\nOk\n\r") << agent.console();
  EXPECT_EQ(agent.WaitExit(15000), 0) << agent.console();
  EXPECT_NE(agent.console().find("Terminate request received. Terminating.."), std::string::npos);
}

}  // namespace
