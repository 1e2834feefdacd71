// The real agent against strangers on the network: cut and lying packets,
// clients that dribble, flood, vanish or never read, more connections than
// it has descriptors, while a server on 127.0.0.2 keeps getting answers.
// After each test no session is left and the agent holds no more
// descriptors, threads or memory than before.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/agent_harness.h"

namespace {

using testutil::AgentProcess;
using testutil::Eventually;
using testutil::ProbeClock;
using testutil::RawConn;
using Conns = std::vector<std::unique_ptr<RawConn>>;
using std::chrono::milliseconds;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // their allocators keep freed memory: no RSS bounds
#else
constexpr bool kSanitized = false;
#endif

// The agent's idle limit here; what only the machine decides (a busy
// agent making an 8 MB reply, ending threads) gets kPatienceMs.
constexpr int kIdleMs = 2000, kPatienceMs = 120000;
const std::string kKey = "hostile-key";

std::string Packet(const std::string& text = "GetInfo\n\r") {
  return testutil::RequestPacket(AgentProcess::kPassword, kKey, text);
}

std::string PutLE(std::string p, size_t at, int width, uint32_t value) {
  for (int i = 0; i < width; ++i) p[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
  return p;
}

// Fourteen bytes: a length field, the signature and three zero sizes.
std::string BareHeader(uint32_t length) {
  return PutLE(std::string("\0\0\0\0\x03\x12", 6) + std::string(8, '\0'), 0, 4, length);
}

// The agent's peak memory since the last call, which resets it.
long PeakKibSinceLast(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  long peak = -1;
  std::ifstream status(proc + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.compare(0, 6, "VmHWM:") == 0) peak = std::strtol(line.c_str() + 6, nullptr, 10);
  testutil::WriteFile(proc + "/clear_refs", "5");
  return peak;
}

class HostileClientsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Caps a case reaches with a few dozen connections; a process list of
    // megabytes, more than the kernel takes in for a client that does not read.
    scripts_ = new testutil::TempDir;
    testutil::WriteScript(scripts_->File("list.sh"), "yes 0123456789abcdef | head -c 8000000\n");
    agent_ = new AgentProcess("timeout=" + std::to_string(kIdleMs) +
                              "\r\nmaxsessions=48\r\nmaxsessionsperaddr=24\r\nproclistscript=" +
                              scripts_->File("list.sh") + "\r\n");
    ASSERT_TRUE(agent_->Start()) << agent_->console();
    // Sessions at once, so that the allocator's arenas exist before any baseline.
    std::vector<std::thread> warm;
    for (int t = 0; t < 8; ++t)
      warm.emplace_back([] {
        for (int i = 0; i < 20; ++i) Ask("GetInfo\n\r");
      });
    for (auto& w : warm) w.join();
  }
  static void TearDownTestSuite() {
    delete agent_;
    delete scripts_;
  }

  void SetUp() override {
    ASSERT_TRUE(agent_ != nullptr && agent_->pid() > 0);
    // The baseline once the lingering session threads of earlier cases ended.
    ASSERT_TRUE(Eventually([] { return Usage().threads == testutil::kIdleThreads; }, kPatienceMs))
        << "threads: " << Usage().threads;
    before_ = Usage();
  }

  void TearDown() override {
    ASSERT_EQ(kill(agent_->pid(), 0), 0) << "the agent died\n" << agent_->console();
    std::string info;
    EXPECT_TRUE(testutil::WaitQuiet(port(), AgentProcess::kPassword, agent_->pid(), before_.fds, -1,
                                    kPatienceMs, &info))
        << "left: " << info << "fds " << before_.fds << " -> " << Usage().fds;
    EXPECT_TRUE(Eventually([&] { return Usage().threads == before_.threads; }, kPatienceMs))
        << "threads " << before_.threads << " -> " << Usage().threads;
    EXPECT_EQ(info.compare(0, 24, "200\nAgentName=TZ Orvane\n"), 0) << info;
    // Freed buffers go back once the agent has been quiet; a kept reply would not.
    EXPECT_TRUE(kSanitized ||
                Eventually([&] { return Usage().rss_kib <= before_.rss_kib + 6144; }, kPatienceMs))
        << "VmRSS grew from " << before_.rss_kib << " to " << Usage().rss_kib << " kB";
  }

  static int port() { return agent_->port(); }
  static testutil::ProcUsage Usage() { return testutil::UsageOf(agent_->pid()); }
  static std::string Ask(const std::string& text, int timeout_ms = 10000) {
    return testutil::Ask(agent_->port(), AgentProcess::kPassword, text, timeout_ms);
  }

  static AgentProcess* agent_;
  static testutil::TempDir* scripts_;
  testutil::ProcUsage before_;
};

AgentProcess* HostileClientsTest::agent_ = nullptr;
testutil::TempDir* HostileClientsTest::scripts_ = nullptr;

// Each ends without a word, all at once from addresses of their own: by
// what arrived or the peer's close, well before the idle limit; short of a
// proof, at the idle limit from the connect and not before.
TEST_F(HostileClientsTest, CutLyingAndSilentPacketsEndWithoutReply) {
  const std::string whole = Packet();
  const uint32_t len = static_cast<uint32_t>(whole.size() - 4);
  // The proof's size is at 6, the key's at 24 (after 16 proof bytes), the request's after the key.
  const size_t proof_at = 6, key_at = 24, request_at = key_at + 2 + kKey.size();
  const std::string no_proof =
      PutLE(PutLE(whole.substr(0, 8) + whole.substr(24), proof_at, 2, 0), 0, 4, len - 16);
  struct Case {
    std::string name, bytes;
    char end;  // 'b' by the bytes, 'c' the peer half-closes, 'i' at the idle limit
  };
  std::vector<Case> cases = {
      {"announces more than it sends", PutLE(whole, 0, 4, len + 1000), 'c'},
      {"header announcing a body that never comes", BareHeader(100), 'c'},
      {"announces just above 16 MiB", PutLE(whole, 0, 4, 16u * 1024 * 1024 + 1), 'b'},
      {"announces 0x80000000", PutLE(whole, 0, 4, 0x80000000u), 'b'},
      {"announces 0xFFFFFFFF", PutLE(whole, 0, 4, 0xFFFFFFFFu), 'b'},
      {"announces 0 in a bare header", BareHeader(0), 'b'},
      {"announces 0 before a whole packet", PutLE(whole, 0, 4, 0), 'b'},
      {"announces one byte less than sent", PutLE(whole, 0, 4, len - 1), 'b'},
      {"one byte more than announced", whole + "x", 'b'},
      {"proof size 0xFFFF", PutLE(whole, proof_at, 2, 0xFFFF), 'b'},
      {"key size 0xFFFF", PutLE(whole, key_at, 2, 0xFFFF), 'b'},
      {"request size 0xFFFFFFFF", PutLE(whole, request_at, 4, 0xFFFFFFFFu), 'b'},
      {"request size 0x7FFFFFFF", PutLE(whole, request_at, 4, 0x7FFFFFFFu), 'b'},
      {"no proof although a password is set", no_proof, 'b'},
      {"all sizes zero", BareHeader(10), 'b'},
      {"signature bytes swapped", PutLE(whole, 4, 2, 0x0312), 'b'},
  };
  for (size_t cut : {size_t{1}, size_t{4}, size_t{13}, size_t{14}, size_t{20}, whole.size() - 1})
    cases.push_back({"cut after " + std::to_string(cut), whole.substr(0, cut), 'c'});
  cases.push_back({"says nothing", "", 'i'});
  cases.push_back({"stops inside the proof", whole.substr(0, 20), 'i'});
  Conns conns;
  const auto start = ProbeClock::now();
  for (size_t i = 0; i < cases.size(); ++i) {
    const std::string from = "127.0.1." + std::to_string(i + 1);
    conns.push_back(std::make_unique<RawConn>(port(), from.c_str()));
    conns[i]->Send(cases[i].bytes);  // the agent may already have closed; that is fine
    if (cases[i].end == 'c') conns[i]->ShutdownWrite();
  }
  // Those ended by the idle limit come last: waiting for them delays no other.
  for (size_t i = 0; i < cases.size(); ++i) {
    std::string got;
    EXPECT_TRUE(conns[i]->WaitClosed(kIdleMs + 10000, &got)) << cases[i].name;
    const auto took = ProbeClock::now() - start;
    EXPECT_EQ(got, "") << cases[i].name;
    EXPECT_TRUE(cases[i].end == 'i' ? took >= milliseconds(kIdleMs - 50)
                                    : took < milliseconds(kIdleMs - 200))
        << cases[i].name << ": " << std::chrono::duration_cast<milliseconds>(took).count() << " ms";
  }
}

// The attacker keeps its connections open and the agent lets go on its
// own: it closes what it refuses before the idle limit would, holds little
// for a stranger, its descriptors come back, and a server on 127.0.0.2
// asking all the while is answered.
TEST_F(HostileClientsTest, StrangersAreBoundedAndOthersKeepBeingServed) {
  std::vector<std::string> flood(5, std::string(64 * 1024, 'z')), dribble;
  flood[0] = PutLE(Packet(), 0, 4, 16u * 1024 * 1024 - 8).substr(0, 8) + std::string(16, 'w');
  for (size_t i = 0; i < 16; ++i) dribble.push_back(Packet().substr(i, 1));
  const struct {
    const char* name;
    int conns, rcvbuf;  // a receive buffer for a client that reads nothing of a long reply
    std::vector<std::string> sends;  // each sent on every connection, pause_ms apart
    int pause_ms;
    int closed_at_once;  // closed by the agent; -1: reset by the attacker after sending
  } cases[] = {
      {"dribbles a packet a byte at a time past the idle limit", 20, 0, dribble, 200, 20},
      {"announces 16 MiB with a wrong proof and keeps sending", 20, 0, flood, 0, 20},
      {"opens more connections than one address may have", 60, 0, {}, 0, 60 - 24},
      {"asks and is gone before the reply", 20, 0, {Packet()}, 0, -1},
      {"asks for a long reply and never reads it", 1, 4096, {Packet("GetProcessesList\n\r")}, 0, 0},
  };
  for (const auto& c : cases) {
    PeakKibSinceLast(agent_->pid());
    std::atomic<bool> stop{false};
    std::atomic<int> asked{0}, unanswered{0};
    std::thread bystander([&] {
      while (asked == 0 || !stop) {
        unanswered +=
            testutil::Ask(port(), AgentProcess::kPassword, "GetInfo\n\r", 15000, "127.0.0.2")
                .compare(0, 4, "200\n") != 0;
        ++asked;
        std::this_thread::sleep_for(milliseconds(100));
      }
    });
    Conns conns;
    const auto opened = ProbeClock::now();
    for (int i = 0; i < c.conns; ++i)
      conns.push_back(std::make_unique<RawConn>(port(), "127.0.0.1", c.rcvbuf));
    for (const std::string& bytes : c.sends) {
      for (auto& conn : conns) conn->Send(bytes);  // fails once the agent has closed
      std::this_thread::sleep_for(milliseconds(c.pause_ms));
    }
    if (c.closed_at_once < 0)
      for (auto& conn : conns) conn->Reset();
    // Before the idle limit could end the connections still held open.
    const auto until =
        std::max(opened + milliseconds(kIdleMs - 300), ProbeClock::now() + milliseconds(300));
    int closed = 0;
    while (closed < c.closed_at_once && ProbeClock::now() < until) {
      closed = 0;
      for (auto& conn : conns) closed += conn->ok() && conn->ClosedNow() ? 1 : 0;
      std::this_thread::sleep_for(milliseconds(20));
    }
    EXPECT_GE(closed, c.closed_at_once) << c.name;
    EXPECT_TRUE(Eventually([&] { return Usage().fds <= before_.fds; }, kPatienceMs))
        << c.name << ": fds " << before_.fds << " -> " << Usage().fds;
    const long peak = PeakKibSinceLast(agent_->pid());
    EXPECT_TRUE(kSanitized || c.rcvbuf > 0 || peak <= before_.rss_kib + 8192)
        << c.name << ": VmRSS from " << before_.rss_kib << " to " << peak << " kB";
    stop = true;
    bystander.join();
    EXPECT_EQ(unanswered, 0) << c.name;
  }
}

// A request in pieces is answered after the idle limit once its proof is in.
TEST_F(HostileClientsTest, ASlowServerIsAnsweredOnceItsProofIsIn) {
  const std::string packet = Packet();
  RawConn c(port());
  ASSERT_TRUE(c.Send(packet.substr(0, 30)));
  for (size_t at = 30, step = (packet.size() - 28) / 3; at < packet.size(); at += step) {
    std::this_thread::sleep_for(milliseconds(kIdleMs / 2));  // three pauses: past the idle limit
    ASSERT_TRUE(c.Send(packet.substr(at, step)));
  }
  EXPECT_EQ(testutil::ReadReplyText(c, kKey).compare(0, 4, "200\n"), 0);
}

// More idle connections than descriptors: the idle limit frees them and the
// waiting connections get their turn.
TEST_F(HostileClientsTest, RunningOutOfDescriptorsIsSurvived) {
  struct rlimit old_limit;
  ASSERT_EQ(prlimit(agent_->pid(), RLIMIT_NOFILE, nullptr, &old_limit), 0);
  struct rlimit low = old_limit;
  low.rlim_cur = static_cast<rlim_t>(before_.fds + 20);
  if (prlimit(agent_->pid(), RLIMIT_NOFILE, &low, nullptr) != 0)
    GTEST_SKIP() << "cannot lower the agent's descriptor limit here";
  Conns idle;
  for (int i = 0; i < 40; ++i) idle.push_back(std::make_unique<RawConn>(port()));
  EXPECT_TRUE(Eventually(
      [] {
        return testutil::Occurrences(agent_->console(), "Accept error: Too many open files") > 0;
      },
      kPatienceMs))
      << agent_->console();
  EXPECT_EQ(Ask("GetInfo\n\r", kPatienceMs).compare(0, 4, "200\n"), 0);
  idle.clear();
  ASSERT_EQ(prlimit(agent_->pid(), RLIMIT_NOFILE, &old_limit, nullptr), 0);
}

}  // namespace
