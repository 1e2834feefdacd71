// orvq against a small in-test fake agent that decodes what orvq sent and
// answers a known reply.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
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

}  // namespace
