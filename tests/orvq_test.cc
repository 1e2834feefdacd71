// orvq against the real agent, and against a stand-in agent for what the
// real one never sends (an empty reply, a code alone) and to see the request
// orvq sent.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <sstream>

#include "crypto/twofish.h"
#include "protocol/reply.h"
#include "protocol/request.h"
#include "tests/agent_harness.h"

namespace {

using testutil::AgentProcess;
using testutil::Glob;
using testutil::RunOrvq;
constexpr const char* kPw = AgentProcess::kPassword;

// Answers one request with reply under the session key that came, which
// must be printable; with a request to expect, the key must be "key1".
std::function<void(int)> StandIn(const std::string& reply, const std::string& request) {
  return [=](int fd) {
    VQRequest req;
    char buf[4096];
    for (ssize_t n; !req.WholePacket(); req.AddData(buf, static_cast<int>(n))) {
      if ((n = recv(fd, buf, sizeof buf, 0)) <= 0) return;
    }
    if (req.ParseInitRequest(String(kPw), in_addr{htonl(INADDR_LOOPBACK)}) != 1) return;
    const std::string key = req.GetSessionKey().ToStd();
    EXPECT_TRUE(request.empty() || (req.ToStd() == request && key == "key1")) << req.ToStd();
    for (char c : key) EXPECT_TRUE(isalnum(static_cast<unsigned char>(c))) << key;
    ORVReply r;
    r.InitPacket(nullptr, req.GetSessionKey());
    r = String(reply.c_str());
    r.FinalizePacket();
    send(fd, r.Data(), static_cast<size_t>(r.Length()), MSG_NOSIGNAL);
  };
}

// The real agent measures a folder of 100 bytes.
TEST(Orvq, ExitStatusOutputPasswordFilesAndFanOut) {
  Twofish_initialise();
  AgentProcess agent;
  const std::string sized = agent.dir().File("sized");
  mkdir(sized.c_str(), 0700);
  testutil::WriteFile(sized + "/hundred", std::string(100, 'x'));
  ASSERT_TRUE(agent.Start()) << agent.console();
  const std::string port = std::to_string(agent.port());

  // "%a", "%s", "%r": -p and the port of the real agent, the stand-in, one
  // that refuses; "%d" the folder of 100 bytes; "*" in the output any text.
  const std::string json = "{\"host\":\"127.0.0.1\",\"port\":";
  const struct {
    const char* reply;  // the stand-in's reply, or null for the real agent
    const char* args;
    int status;
    std::string out;
    const char* err;  // a part of the standard error
  } rows[] = {
      // clang-format off
      {"200\nline one\nline%0Atwo\n", "%s -k key1 TEST-FolderSize /tmp 1", 0, "200\nline one\nline%0Atwo\n", ""},
      {"200\nline%0Atwo%0D\n", "%s --decode GetInfo", 0, "200\nline\ntwo\r\n", ""},
      // A reply of one CR and a code alone are whole replies.
      {"", "%s GetInfo", 0, "", ""},
      {"200", "%s --decode GetInfo", 0, "200\n", ""},
      {"301\n", "%s GetInfo", 0, "301\n", ""},
      {"", "%s --plugin GetInfo", 3, "ORV UNKNOWN - GetInfo: empty reply\n", ""},
      {"", "%s --json GetInfo", 0, json + "%s,\"command\":\"GetInfo\",\"code\":null,\"values\":[],\"elapsed_ms\":*}\n", ""},
      {nullptr, "%a TEST-FolderSize %d", 0, "200\n   100\n", ""},
      {nullptr, "%a -P wrong GetInfo", 1, "", "the agent closed the connection without a reply"},
      {nullptr, "%r GetInfo", 2, "", "Connection refused"},
      {nullptr, "-p 0 GetInfo", 2, "", "invalid port value '0'"},
      // One JSON object a line, values decoded; no reply is a null code.
      {nullptr, "%a --json TEST-FolderSize %d", 0, json + "%a,\"command\":\"TEST-FolderSize\",\"code\":\"200\",\"values\":[\"   100\"],\"elapsed_ms\":*}\n", ""},
      {nullptr, "%a --json GetInfo", 0, json + "%a,\"command\":\"GetInfo\",\"code\":\"200\",\"values\":[\"AgentName=TZ Orvane\",*\"Available tests=TCP\\r\\nUDP\\r\\n*\"],\"elapsed_ms\":*}\n", ""},
      {nullptr, "%r --json GetInfo", 2, json + "%r,\"command\":\"GetInfo\",\"code\":null,\"values\":[],\"elapsed_ms\":*,\"error\":\"Connection refused\"}\n", ""},
      // A monitoring plugin's status line and exit status.
      {nullptr, "%a --plugin TEST-FolderSize %d", 0, "ORV OK - TEST-FolderSize: 100 | 'FolderSize'=100;;\n", ""},
      {nullptr, "%a --plugin -w 10 TEST-FolderSize %d", 1, "ORV WARNING - TEST-FolderSize: 100 (warning 10) | 'FolderSize'=100;10;\n", ""},
      {nullptr, "%a --plugin -w 10 -c 50 TEST-FolderSize %d", 2, "ORV CRITICAL - TEST-FolderSize: 100 (critical 50) | 'FolderSize'=100;10;50\n", ""},
      {nullptr, "%a --plugin TEST-FileExists /none", 2, "ORV CRITICAL - TEST-FileExists: 301 no such file or acess denied\n", ""},
      {nullptr, "%a --plugin NoSuchCommand", 3, "ORV UNKNOWN - NoSuchCommand: 500 Unknown command \"NoSuchCommand\"\n", ""},
      {nullptr, "%a --plugin -w 10 GetInfo", 3, "ORV UNKNOWN - GetInfo: AgentName=TZ Orvane * (no numeric value to compare with the thresholds)\n", ""},
      {nullptr, "%a --plugin -P wrong GetInfo", 3, "ORV UNKNOWN - GetInfo: no reply (wrong password?): *\n", ""},
      // clang-format on
  };
  const int refusing = testutil::ClosedPort(SOCK_STREAM);
  for (const auto& row : rows) {
    std::unique_ptr<testutil::LoopbackTcp> standin;
    if (row.reply) {
      const bool keyed = strstr(row.args, "-k") != nullptr;
      standin = std::make_unique<testutil::LoopbackTcp>(
          StandIn(row.reply, keyed ? "TEST-FolderSize\n/tmp\n1\n\r" : ""));
    }
    const std::string ports[][2] = {{"%a", port},
                                    {"%s", standin ? std::to_string(standin->port()) : ""},
                                    {"%r", std::to_string(refusing)}};
    std::vector<std::string> args = {"-t", "15000", "-P", kPw};
    std::string out = row.out;
    std::istringstream words(row.args);
    for (std::string a; words >> a;) {
      if (a[0] != '%' || a == "%d") args.push_back(a == "%d" ? sized : a);
      for (const auto& p : ports) {
        if (a == p[0]) args.insert(args.end(), {"-p", p[1]});
        if (out.find(p[0]) != std::string::npos) out.replace(out.find(p[0]), 2, p[1]);
      }
    }
    testutil::OrvqResult r = RunOrvq(args);
    EXPECT_EQ(r.status, row.status) << row.args << ": " << r.err;
    EXPECT_TRUE(Glob(r.out.c_str(), out.c_str())) << row.args << ":\n" << r.out;
    EXPECT_NE(r.err.find(row.err), std::string::npos) << row.args << ": " << r.err;
  }
  // The password from the environment, and none at all.
  setenv("ORV_PASSWORD", kPw, 1);
  EXPECT_EQ(RunOrvq({"-p", port, "GetInfo"}).status, 0);
  unsetenv("ORV_PASSWORD");
  EXPECT_NE(RunOrvq({"GetInfo"}).err.find("no password"), std::string::npos);

  // A password file only its owner may read.
  const std::string pw = kPw, file = agent.dir().File("scratch");
  const struct {
    std::string text;
    mode_t mode;
    std::string err;  // "": the agent answers (status 0)
  } files[] = {
      {pw + "\n", 0600, ""},
      {pw + "\r\nsecond line\n", 0400, ""},
      {pw, 0600, ""},
      {pw + "\n", 0640, "has mode 0640: group and others must have no access"},
      {pw + "\n", 0604, "has mode 0604"},
      {"\n" + pw + "\n", 0600, "the first line is empty"},
  };
  for (const auto& row : files) {
    unlink(file.c_str());
    testutil::WriteFile(file, row.text);
    ASSERT_EQ(chmod(file.c_str(), row.mode), 0);
    auto r = RunOrvq({"-p", port, "--password-file", file, "GetInfo"});
    EXPECT_EQ(r.status, row.err.empty() ? 0 : 2) << std::oct << row.mode << ": " << r.err;
    EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
  }

  // 50 addresses of one agent, one of them refusing and one that accepts but
  // never answers: every line comes, in order, within a bound set by the
  // time-out and not by the number of agents; "#" lines and blank ones are
  // no agents.
  int silent = 0;
  UniqueFd silent_fd = testutil::BoundLoopback(SOCK_STREAM, &silent);
  ASSERT_EQ(listen(silent_fd.get(), 8), 0);
  std::string hosts = "# agents of the test\n\n", want;
  for (int i = 1; i <= 50; ++i) {
    std::string address = "127.0.0." + std::to_string(i) + ":" + port;
    std::string result = "200\t   100";
    if (i == 10)
      address = "127.0.0.1:" + std::to_string(refusing), result = "-\tConnection refused";
    if (i == 30) address = "127.0.0.1:" + std::to_string(silent), result = "-\tno reply within*";
    hosts += address + "\n";
    want += address + "\t" + result + "\n";
  }
  testutil::WriteFile(file, hosts);
  const auto start = std::chrono::steady_clock::now();
  auto fan = RunOrvq({"--hosts", file, "-P", kPw, "-t", "2000", "TEST-FolderSize", sized}, 60000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(fan.status, 2) << fan.err;
  EXPECT_TRUE(Glob(fan.out.c_str(), want.c_str())) << fan.out;
}

}  // namespace
