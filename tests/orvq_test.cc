// orvq against a small in-test fake agent that decodes what orvq sent and
// answers a known reply, and against the real agent for the outputs other
// monitors read (--json, --plugin) and for many agents at once.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>
#include <thread>

#include "crypto/twofish.h"
#include "protocol/reply.h"
#include "protocol/request.h"
#include "tests/agent_harness.h"

namespace {

using testutil::AgentProcess;
using testutil::RunOrvq;

// Accepts one connection, reads one whole request packet and answers it.
class FakeAgent {
 public:
  enum Mode { kAnswer, kCloseSilently };

  FakeAgent(const std::string& password, const std::string& reply_text, Mode mode)
      : password_(password), reply_text_(reply_text), mode_(mode) {
    Twofish_initialise();
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<struct sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<struct sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    listen(fd_, 4);
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeAgent() {
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    thread_.join();
  }
  int port() const { return port_; }
  std::string request_text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return request_text_;
  }
  std::string session_key() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return session_key_;
  }
  bool accepted() const { return accepted_; }

 private:
  void Serve() {
    int c = accept(fd_, nullptr, nullptr);
    if (c < 0) return;
    VQRequest req;
    char buf[1024];
    while (!req.WholePacket()) {
      ssize_t n = recv(c, buf, sizeof buf, 0);
      if (n <= 0) break;
      req.AddData(buf, static_cast<int>(n));
    }
    in_addr peer = {htonl(INADDR_LOOPBACK)};
    accepted_ = req.ParseInitRequest(String(password_.c_str()), peer) == 1;
    if (accepted_ && mode_ == kAnswer) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        request_text_ = req.ToStd();
        session_key_ = req.GetSessionKey().ToStd();
      }
      ORVReply reply;
      reply.InitPacket(nullptr, req.GetSessionKey());
      reply = String(reply_text_.c_str());
      reply.FinalizePacket();
      send(c, reply.Data(), static_cast<size_t>(reply.Length()), MSG_NOSIGNAL);
    }
    close(c);
  }

  std::string password_, reply_text_;
  Mode mode_;
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  // Written by the serving thread, read by the test once orvq has exited.
  mutable std::mutex mutex_;
  std::string request_text_, session_key_;
  std::atomic<bool> accepted_{false};
};

TEST(Orvq, SendsCommandAndParamsAndPrintsTheReply) {
  FakeAgent agent("pw", "200\nline one\nline%0Atwo\n", FakeAgent::kAnswer);
  auto r = RunOrvq({"-p", std::to_string(agent.port()), "-P", "pw", "-k", "key1",
                    "TEST-FolderSize", "/tmp", "1"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "200\nline one\nline%0Atwo\n");
  EXPECT_EQ(agent.request_text(), "TEST-FolderSize\n/tmp\n1\n\r");
  EXPECT_EQ(agent.session_key(), "key1");
}

// A reply of one CR (nothing to say) and a code without values are whole
// replies: printed as they are, status 0.
TEST(Orvq, EmptyAndCodeOnlyReplies) {
  const struct {
    const char* text;  // reply text before the agent closes it with LF and CR
    const char* printed;
  } rows[] = {{"", ""}, {"200", "200\n"}, {"301\n", "301\n"}};
  for (const auto& row : rows) {
    for (const char* decode : {"--decode", "-k"}) {
      FakeAgent agent("pw", row.text, FakeAgent::kAnswer);
      std::vector<std::string> args = {"-p", std::to_string(agent.port()), "-P", "pw", decode};
      if (std::string(decode) == "-k") args.push_back("key");
      args.push_back("GetInfo");
      auto r = RunOrvq(args);
      EXPECT_EQ(r.status, 0) << "'" << row.text << "' " << decode << ": " << r.err;
      EXPECT_EQ(r.out, row.printed) << "'" << row.text << "' " << decode;
    }
  }
}

TEST(Orvq, DecodeUndoesLineEscapes) {
  FakeAgent agent("pw", "200\nline%0Atwo%0D\n", FakeAgent::kAnswer);
  auto r = RunOrvq({"-p", std::to_string(agent.port()), "-P", "pw", "--decode", "GetInfo"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "200\nline\ntwo\r\n");
}

TEST(Orvq, RandomSessionKeyIsPrintable) {
  FakeAgent agent("pw", "200\n", FakeAgent::kAnswer);
  auto r = RunOrvq({"-p", std::to_string(agent.port()), "-P", "pw", "GetInfo"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_FALSE(agent.session_key().empty());
  for (char c : agent.session_key()) EXPECT_TRUE(isalnum(static_cast<unsigned char>(c)));
}

TEST(Orvq, WrongPasswordMeansNoReplyAndStatusOne) {
  FakeAgent agent("right", "200\n", FakeAgent::kAnswer);
  auto r = RunOrvq({"-p", std::to_string(agent.port()), "-P", "wrong", "GetInfo"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("without a reply"), std::string::npos) << r.err;
}

TEST(Orvq, RefusedConnectionIsStatusTwo) {
  int port = testutil::FreePort();
  auto r = RunOrvq({"-p", std::to_string(port), "-P", "pw", "GetInfo"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("refused"), std::string::npos) << r.err;
}

TEST(Orvq, UsageErrorsAreStatusTwo) {
  EXPECT_EQ(RunOrvq({"-P", "pw"}).status, 2);                 // no command
  EXPECT_EQ(RunOrvq({"-p", "0", "-P", "pw", "GetInfo"}).status, 2);
  EXPECT_EQ(RunOrvq({"-x", "GetInfo"}).status, 2);
  auto help = RunOrvq({"-h"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: orvq"), std::string::npos);
}

// An agent of this test with a folder of known size (100 bytes) to measure.
class RealAgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testutil::WriteFile(dir_.File("hundred"), std::string(100, 'x'));
    ASSERT_TRUE(agent_.Start()) << agent_.console();
  }
  // orvq with this agent's port and password, and the given arguments.
  testutil::OrvqResult Orvq(std::vector<std::string> args, int timeout_ms = 20000) {
    std::vector<std::string> all = {"-p", std::to_string(agent_.port()), "-t", "15000"};
    if (args.empty() || args[0] != "-P") all.insert(all.end(), {"-P", AgentProcess::kPassword});
    all.insert(all.end(), args.begin(), args.end());
    return RunOrvq(all, timeout_ms);
  }

  testutil::TempDir dir_;
  AgentProcess agent_{"foldersize=1\r\nfileexists=1\r\nexternal=0\r\n"};
};

// Python's json module reads every line; per object it prints the fields a
// monitor would use, separated by ";".
std::string ThroughPython(const std::string& json_lines) {
  testutil::TempDir tmp;
  testutil::WriteFile(tmp.File("in"), json_lines);
  const std::string cmd =
      "python3 -c 'import json, sys\n"
      "for line in sys.stdin:\n"
      "    o = json.loads(line)\n"
      "    v = o[\"values\"]\n"
      "    print(o[\"host\"], o[\"port\"], o[\"command\"], o[\"code\"], v[0] if v else \"-\",\n"
      "          any(\"\\r\\n\" in x for x in v), type(o[\"elapsed_ms\"]).__name__,\n"
      "          o.get(\"error\", \"-\"), sep=\";\")' < " + tmp.File("in") + " 2>&1";
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return "cannot run python3";
  char buf[512];
  while (fgets(buf, sizeof buf, p)) out += buf;
  pclose(p);
  return out;
}

TEST_F(RealAgentTest, JsonOutputParsesAndHoldsTheValues) {
  const std::string port = std::to_string(agent_.port());
  auto folder = Orvq({"--json", "TEST-FolderSize", dir_.path()});
  EXPECT_EQ(folder.status, 0) << folder.err;
  EXPECT_EQ(ThroughPython(folder.out),
            "127.0.0.1;" + port + ";TEST-FolderSize;200;   100;False;int;-\n");
  // Multi-line values arrive decoded; an agent that refuses gets an error
  // and a null code, in the order given.
  int refusing = testutil::FreePort();
  auto two = Orvq({"--json", "-H", "127.0.0.1", "-H", "127.0.0.1:" + std::to_string(refusing),
                   "GetInfo"});
  EXPECT_EQ(two.status, 2) << two.err;
  EXPECT_EQ(ThroughPython(two.out),
            "127.0.0.1;" + port + ";GetInfo;200;AgentName=TZ Orvane;True;int;-\n"
            "127.0.0.1;" + std::to_string(refusing) + ";GetInfo;None;-;False;int;Connection refused\n");
  auto wrong = Orvq({"-P", "wrong", "--json", "GetInfo"});
  EXPECT_EQ(wrong.status, 1);
  EXPECT_NE(ThroughPython(wrong.out).find(";None;-;False;int;the agent closed"), std::string::npos)
      << wrong.out;
}

TEST_F(RealAgentTest, PluginStatesAndStatusLines) {
  const std::string dir = dir_.path();
  const struct {
    std::vector<std::string> args;
    int status;
    std::string line;  // the whole line, or its start when it ends in "..."
  } rows[] = {
      {{"TEST-FolderSize", dir}, 0, "ORV OK - TEST-FolderSize: 100 | 'FolderSize'=100;;"},
      {{"-w", "10", "TEST-FolderSize", dir}, 1,
       "ORV WARNING - TEST-FolderSize: 100 (warning 10) | 'FolderSize'=100;10;"},
      {{"-w", "10", "-c", "50", "TEST-FolderSize", dir}, 2,
       "ORV CRITICAL - TEST-FolderSize: 100 (critical 50) | 'FolderSize'=100;10;50"},
      {{"-c", "10:", "TEST-FolderSize", dir}, 0, "ORV OK - ..."},
      {{"-c", "~:99", "TEST-FolderSize", dir}, 2, "ORV CRITICAL - ..."},
      {{"-w", "100:200", "TEST-FolderSize", dir}, 0, "ORV OK - ..."},
      {{"-w", "@100:200", "TEST-FolderSize", dir}, 1, "ORV WARNING - ..."},
      {{"-c", "101:", "TEST-FolderSize", dir}, 2, "ORV CRITICAL - ..."},
      {{"TEST-FileExists", dir + "/none"}, 2,
       "ORV CRITICAL - TEST-FileExists: 301 no such file or acess denied"},
      {{"TEST-ExternalPrg", "/bin/true"}, 3, "ORV UNKNOWN - TEST-ExternalPrg: 600 test is not allowed"},
      {{"NoSuchCommand"}, 3, "ORV UNKNOWN - NoSuchCommand: 500 ..."},
      {{"-w", "10", "GetInfo"}, 3, "ORV UNKNOWN - GetInfo: AgentName=TZ Orvane ..."},
      {{"-P", "wrong", "GetInfo"}, 3, "ORV UNKNOWN - GetInfo: no reply (wrong password?): ..."},
  };
  for (const auto& row : rows) {
    std::vector<std::string> args = row.args;
    args.insert(args[0] == "-P" ? args.begin() + 2 : args.begin(), "--plugin");
    auto r = Orvq(args);
    std::string label;
    for (const std::string& a : row.args) label += a + " ";
    EXPECT_EQ(r.status, row.status) << label << ": " << r.out << r.err;
    ASSERT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << label << ": " << r.out;
    std::string line = r.out.substr(0, r.out.size() - 1);
    if (row.line.size() > 3 && row.line.compare(row.line.size() - 3, 3, "...") == 0)
      EXPECT_EQ(line.substr(0, row.line.size() - 3), row.line.substr(0, row.line.size() - 3)) << label;
    else
      EXPECT_EQ(line, row.line) << label;
  }
}

// 50 addresses of one agent, one of them refusing and one that accepts but
// never answers: every line comes, in order, within a bound set by the
// time-out and not by the number of agents.
TEST_F(RealAgentTest, FanOutAnswersInOrderInBoundedTime) {
  int refusing = testutil::FreePort();
  int silent_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(silent_fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  getsockname(silent_fd, reinterpret_cast<struct sockaddr*>(&a), &len);
  ASSERT_EQ(listen(silent_fd, 8), 0);  // never accepts, never answers
  const int silent = ntohs(a.sin_port);

  std::vector<std::string> expected;  // each line's address and code column
  std::string hosts = "# agents of the test\n\n";
  for (int i = 1; i <= 50; ++i) {
    std::string address = "127.0.0." + std::to_string(i) + ":" + std::to_string(agent_.port());
    std::string code = "200";
    if (i == 10) address = "127.0.0.1:" + std::to_string(refusing), code = "-\tConnection refused";
    if (i == 30) address = "127.0.0.1:" + std::to_string(silent), code = "-\tno reply within";
    hosts += address + "\n";
    expected.push_back(address + "\t" + code);
  }
  testutil::WriteFile(dir_.File("hosts"), hosts);
  auto start = std::chrono::steady_clock::now();
  auto r = RunOrvq({"--hosts", dir_.File("hosts"), "-P", AgentProcess::kPassword, "-t", "4000",
                    "TEST-FolderSize", dir_.path()},
                   60000);
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  close(silent_fd);
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_LT(seconds, 30);
  std::vector<std::string> lines;
  for (size_t at = 0, lf; (lf = r.out.find('\n', at)) != std::string::npos; at = lf + 1)
    lines.push_back(r.out.substr(at, lf - at));
  ASSERT_EQ(lines.size(), expected.size()) << r.out;
  for (size_t i = 0; i < lines.size(); ++i)
    EXPECT_EQ(lines[i].substr(0, expected[i].size()), expected[i]) << "line " << i + 1;
}

TEST_F(RealAgentTest, PasswordFileOnlyItsOwnerMayRead) {
  const struct {
    std::string text;
    mode_t mode;
    int status;
  } rows[] = {
      {std::string(AgentProcess::kPassword) + "\n", 0600, 0},
      {std::string(AgentProcess::kPassword) + "\r\nsecond line\n", 0400, 0},
      {std::string(AgentProcess::kPassword), 0600, 0},
      {std::string(AgentProcess::kPassword) + "\n", 0644, 2},
      {std::string(AgentProcess::kPassword) + "\n", 0640, 2},
      {std::string(AgentProcess::kPassword) + "\n", 0604, 2},
      {"\n" + std::string(AgentProcess::kPassword) + "\n", 0600, 2},
  };
  for (const auto& row : rows) {
    const std::string file = dir_.File("password");
    unlink(file.c_str());
    testutil::WriteFile(file, row.text);
    ASSERT_EQ(chmod(file.c_str(), row.mode), 0);
    auto r = RunOrvq({"-p", std::to_string(agent_.port()), "--password-file", file, "GetInfo"});
    EXPECT_EQ(r.status, row.status) << std::oct << row.mode << ": " << r.err;
    if (row.status == 0) {
      EXPECT_EQ(r.out.substr(0, 4), "200\n");
    } else if (row.mode == 0644) {
      EXPECT_NE(r.err.find("mode 0644"), std::string::npos) << r.err;
    }
  }
}

}  // namespace
