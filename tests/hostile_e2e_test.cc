// The real agent against strangers on the network: cut and lying packets,
// thousands of random ones, clients that dribble, flood, vanish, reset or
// never read, more connections than it has descriptors. The attacks come
// from 127.0.0.1 while a well-behaved server on 127.0.0.2 must keep getting
// answers; after each test the agent answers "GetInfo" with no session left
// and holds no more descriptors, threads or memory than before.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/agent_harness.h"

namespace {

using testutil::AgentProcess;
using testutil::Eventually;
using testutil::ProbeClock;
using testutil::RawConn;
using testutil::UsageOf;
using Conns = std::vector<std::unique_ptr<RawConn>>;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers' allocators keep freed memory (quarantine, shadow and
// history), so resident memory says nothing there.
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

const std::string kKey = "hostile-key";

std::string Packet(const std::string& text = "GetInfo\n\r") {
  return testutil::RequestPacket(AgentProcess::kPassword, kKey, text);
}

// Offsets in a packet built with the harness password (16 proof bytes).
constexpr size_t kProofSizeAt = 6, kKeySizeAt = 24;

std::string PutLE(std::string p, size_t at, int width, uint32_t value) {
  for (int i = 0; i < width; ++i) p[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
  return p;
}

// Fourteen bytes: a length field, the signature and three zero sizes.
std::string BareHeader(uint32_t length) {
  return PutLE(std::string("\0\0\0\0\x03\x12", 6) + std::string(8, '\0'), 0, 4, length);
}

// The most memory the agent has held since the last call ("VmHWM", which
// each call starts again from what is resident now).
long PeakKibSinceLast(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  long peak = -1;
  std::ifstream status(proc + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.compare(0, 6, "VmHWM:") == 0) peak = std::strtol(line.c_str() + 6, nullptr, 10);
  testutil::WriteFile(proc + "/clear_refs", "5");
  return peak;
}

// A well-behaved server on 127.0.0.2 asking "GetInfo" all the while an
// attack runs, each request on a new connection, at least once.
struct Bystander {
  explicit Bystander(int port)
      : worker([this, port] {
          do {
            auto start = ProbeClock::now();
            RawConn c(port, "127.0.0.2");
            std::string got;
            unanswered += c.ok() && c.Send(Packet()) && c.WaitClosed(5000, &got) &&
                                  testutil::ReplyText(got, kKey).compare(0, 4, "200\n") == 0
                              ? 0
                              : 1;
            slow += ProbeClock::now() - start > std::chrono::seconds(1) ? 1 : 0;
            asked++;
            if (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(100));
          } while (!stop);
        }) {}
  ~Bystander() { Stop(); }
  void Stop() {
    stop = true;
    if (worker.joinable()) worker.join();
  }
  std::atomic<bool> stop{false};
  std::atomic<int> asked{0}, unanswered{0}, slow{0};
  std::thread worker;  // last: it starts once the counters exist
};

class HostileClientsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // A short idle limit keeps the dribbling cases short; small caps let a
    // case reach them with a few dozen connections; the process list is a
    // reply of megabytes, more than the kernel takes in for a client that
    // does not read.
    scripts_ = new testutil::TempDir;
    testutil::WriteScript(scripts_->File("list.sh"), "yes 0123456789abcdef | head -c 8000000\n");
    agent_ = new AgentProcess(
        "timeout=1000\r\nmaxsessions=48\r\nmaxsessionsperaddr=24\r\n"
        "proclistscript=" +
        scripts_->File("list.sh") + "\r\n");
    ASSERT_TRUE(agent_->Start()) << agent_->console();
    // As many sessions at once as the cases use, so that the allocator's
    // per-thread arenas exist before any baseline is read.
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
    // Session threads linger a moment for the next connection; the baseline
    // is taken once those of earlier cases have ended.
    ASSERT_TRUE(Eventually([] { return Usage().threads == testutil::kIdleThreads; }, 15000))
        << "threads: " << Usage().threads;
    before_ = Usage();
  }

  void TearDown() override {
    ASSERT_EQ(kill(agent_->pid(), 0), 0) << "the agent died\n" << agent_->console();
    std::string info;
    // A sanitized agent may still be encrypting a long reply nobody reads.
    EXPECT_TRUE(testutil::WaitQuiet(port(), AgentProcess::kPassword, agent_->pid(), before_.fds, -1,
                                    kSanitized ? 120000 : 15000, &info))
        << "left: " << info << "fds " << before_.fds << " -> " << Usage().fds;
    EXPECT_TRUE(Eventually([&] { return Usage().threads == before_.threads; }, 8000))
        << "threads " << before_.threads << " -> " << Usage().threads;
    EXPECT_EQ(info.compare(0, 24, "200\nAgentName=TZ Orvane\n"), 0) << info;
    // Freed buffers go back once the agent has been quiet for a second.
    if (!kSanitized) {
      EXPECT_TRUE(Eventually([&] { return Usage().rss_kib <= before_.rss_kib + 2048; }, 15000))
          << "VmRSS grew from " << before_.rss_kib << " to " << Usage().rss_kib << " kB";
    }
  }

  static int port() { return agent_->port(); }
  static testutil::ProcUsage Usage() { return UsageOf(agent_->pid()); }
  static std::string Ask(const std::string& text, int timeout_ms = 10000) {
    return testutil::Ask(agent_->port(), AgentProcess::kPassword, text, timeout_ms);
  }

  static AgentProcess* agent_;
  static testutil::TempDir* scripts_;
  testutil::ProcUsage before_;
};

AgentProcess* HostileClientsTest::agent_ = nullptr;
testutil::TempDir* HostileClientsTest::scripts_ = nullptr;

// Each ends without a word: settled by what arrived, by the peer's close,
// or for a stranger that stops short of its proof at the idle limit from
// the connect and not before.
TEST_F(HostileClientsTest, CutLyingAndSilentPacketsEndWithoutReply) {
  const std::string whole = Packet();
  const uint32_t len = static_cast<uint32_t>(whole.size() - 4);
  std::string no_proof = whole.substr(0, 8) + whole.substr(24);
  no_proof = PutLE(PutLE(no_proof, kProofSizeAt, 2, 0), 0, 4, len - 16);
  std::string swapped = whole;
  std::swap(swapped[4], swapped[5]);
  const size_t request_size_at = kKeySizeAt + 2 + kKey.size();
  struct Case {
    std::string name, bytes;
    char end;  // 'b' by the bytes, 'c' the peer half-closes, 'i' at the idle limit
  };
  std::vector<Case> cases = {
      {"says nothing", "", 'i'},
      {"stops inside the proof", whole.substr(0, 20), 'i'},
      {"announces more than it sends", PutLE(whole, 0, 4, len + 1000), 'c'},
      {"header announcing a body that never comes", BareHeader(100), 'c'},
      {"announces just above 16 MiB", PutLE(whole, 0, 4, 16u * 1024 * 1024 + 1), 'b'},
      {"announces 0x80000000", PutLE(whole, 0, 4, 0x80000000u), 'b'},
      {"announces 0xFFFFFFFF", PutLE(whole, 0, 4, 0xFFFFFFFFu), 'b'},
      {"announces 0 in a bare header", BareHeader(0), 'b'},
      {"announces 0 before a whole packet", PutLE(whole, 0, 4, 0), 'b'},
      {"announces one byte less than sent", PutLE(whole, 0, 4, len - 1), 'b'},
      {"one byte more than announced", whole + "x", 'b'},
      {"proof size 0xFFFF", PutLE(whole, kProofSizeAt, 2, 0xFFFF), 'b'},
      {"key size 0xFFFF", PutLE(whole, kKeySizeAt, 2, 0xFFFF), 'b'},
      {"request size 0xFFFFFFFF", PutLE(whole, request_size_at, 4, 0xFFFFFFFFu), 'b'},
      {"request size 0x7FFFFFFF", PutLE(whole, request_size_at, 4, 0x7FFFFFFFu), 'b'},
      {"no proof although a password is set", no_proof, 'b'},
      {"all sizes zero", BareHeader(10), 'b'},
      {"signature bytes swapped", swapped, 'b'},
  };
  for (size_t cut : {size_t{1}, size_t{4}, size_t{13}, size_t{14}, size_t{20}, whole.size() - 1})
    cases.push_back({"cut after " + std::to_string(cut), whole.substr(0, cut), 'c'});
  for (const Case& c : cases) {
    RawConn conn(port());
    ASSERT_TRUE(conn.ok());
    auto start = ProbeClock::now();
    conn.Send(c.bytes);  // the agent may already have closed; that is fine
    if (c.end == 'c') conn.ShutdownWrite();
    std::string got;
    EXPECT_TRUE(conn.WaitClosed(2500, &got)) << c.name;
    EXPECT_EQ(got, "") << c.name;
    const auto took = ProbeClock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(2500)) << c.name;
    EXPECT_GE(took, std::chrono::milliseconds(c.end == 'i' ? 950 : 0)) << c.name;
  }
}

// Noise, real packets with a few bytes changed, cut short or carrying
// random request text, from clients that leave at once (with a close or a
// reset, so a reply goes to a dead connection) or wait for the end: none is
// left hanging, and a request with the right proof gets "500" or "502".
TEST_F(HostileClientsTest, TenThousandRandomPacketsOverShortConnections) {
  constexpr int kThreads = 4, kPerThread = 2500;
  const auto deadline = ProbeClock::now() + std::chrono::seconds(40);
  const std::string base = Packet();
  std::atomic<int> sent{0}, stuck{0}, wrong_answers{0}, answered{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < kThreads; ++t) {
    clients.emplace_back([&, t] {
      std::mt19937 rng(20261206u + static_cast<unsigned>(t));
      auto below = [&rng](size_t n) { return static_cast<size_t>(rng() % n); };
      for (int i = 0; i < kPerThread && ProbeClock::now() < deadline; ++i) {
        std::string bytes(below(81), '\0');
        for (char& ch : bytes) ch = static_cast<char>(rng());
        const size_t kind = below(10);
        if (kind >= 4 && kind <= 6) {
          bytes = base;
          for (size_t n = 1 + below(3); n > 0; --n) bytes[below(bytes.size())] ^= 1 + below(255);
        } else if (kind >= 7) {
          bytes = kind == 9 ? base.substr(0, below(base.size())) : Packet(bytes.substr(0, 64));
        }
        RawConn c(port());
        if (!c.ok()) {
          stuck++;
          continue;
        }
        c.Send(bytes);  // the agent may already have closed; that is fine
        sent++;
        const size_t leave = below(8);
        if (leave < 2) {  // gone before the agent has even looked
          leave == 0 ? c.Reset() : c.Close();
          continue;
        }
        c.ShutdownWrite();
        std::string got;
        if (!c.WaitClosed(5000, &got)) stuck++;
        c.Reset();  // no TIME_WAIT pile-up on the client side
        if (kind == 7 || kind == 8)
          (testutil::ReplyText(got, kKey).compare(0, 2, "50") == 0 ? answered : wrong_answers)++;
      }
    });
  }
  for (auto& c : clients) c.join();
  EXPECT_EQ(stuck.load(), 0);
  EXPECT_EQ(wrong_answers.load(), 0);
  EXPECT_GT(answered.load(), 0);
  // A slow (sanitized, loaded) build may reach the time cap first.
  EXPECT_GE(sent.load(), kSanitized ? 1000 : kThreads * kPerThread);
  // The last sessions may still hold this address's slots for a moment.
  EXPECT_TRUE(Eventually([] { return Ask("GetInfo\n\r").compare(0, 4, "200\n") == 0; }, 15000))
      << agent_->console();
}

// Each attack from 127.0.0.1 is left running (its connections stay open on
// the attacker's side) while the agent must let go of it on its own: it
// closes what it refuses at once, holds no more than a few dozen bytes for
// a stranger, its descriptors return to where they were, and the bystander
// on 127.0.0.2 is answered throughout.
TEST_F(HostileClientsTest, StrangersAreBoundedAndOthersKeepBeingServed) {
  // A header announcing almost 16 MiB, then a proof of the right size and
  // the wrong bytes.
  const std::string lying = PutLE(Packet(), 0, 4, 16u * 1024 * 1024 - 8).substr(0, 8) +
                            std::string(16, 'w'),
                    filler(64 * 1024, 'z'), packet = Packet();
  std::vector<std::string> dribble;
  for (size_t i = 0; i < 12; ++i) dribble.push_back(packet.substr(i, 1));
  const struct {
    const char* name;
    int conns, rcvbuf;
    std::vector<std::string> sends;  // each sent on every connection, pause_ms apart
    int pause_ms;
    int closed_at_once;  // attacker connections closed when the attack is over
    // The most the attack may add to the agent's resident memory at its
    // peak; 0 for a request that is answered with a long reply.
    long peak_kib;
  } cases[] = {
      {"dribbles a packet a byte at a time", 20, 0, dribble, 200, 20, 3072},
      // The sends fail once the agent has closed.
      {"announces 16 MiB with a wrong proof and keeps sending",
       20,
       0,
       {lying, filler, filler, filler, filler},
       0,
       20,
       3072},
      {"opens more connections than one address may have", 60, 0, {}, 0, 60 - 24, 3072},
      {"asks for a long reply and never reads it",
       1,
       4096,
       {Packet("GetProcessesList\n\r")},
       0,
       0,
       0},
  };
  for (const auto& c : cases) {
    PeakKibSinceLast(agent_->pid());
    Bystander bystander(port());
    Conns conns;
    for (int i = 0; i < c.conns; ++i)
      conns.push_back(std::make_unique<RawConn>(port(), "127.0.0.1", c.rcvbuf));
    for (const std::string& bytes : c.sends) {
      for (auto& conn : conns) conn->Send(bytes);
      std::this_thread::sleep_for(std::chrono::milliseconds(c.pause_ms));
    }
    // Well before the 1 s idle limit could end the connections opened last.
    int closed = 0;
    for (auto until = ProbeClock::now() + std::chrono::milliseconds(600);
         closed < c.closed_at_once && ProbeClock::now() < until;) {
      closed = 0;
      for (auto& conn : conns) closed += conn->ok() && conn->ClosedNow() ? 1 : 0;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_GE(closed, c.closed_at_once) << c.name;
    // The long reply itself takes seconds to make on a busy machine, and
    // the thread sanitizer makes its encryption many times slower.
    EXPECT_TRUE(Eventually([&] { return Usage().fds <= before_.fds; }, kSanitized ? 120000 : 30000))
        << c.name << ": fds " << before_.fds << " -> " << Usage().fds;
    const long peak = PeakKibSinceLast(agent_->pid());
    if (!kSanitized && c.peak_kib > 0) {
      EXPECT_LE(peak, before_.rss_kib + c.peak_kib) << c.name << ": VmRSS from " << before_.rss_kib;
    }
    bystander.Stop();
    EXPECT_GT(bystander.asked, 0) << c.name;
    EXPECT_EQ(bystander.unanswered, 0) << c.name;
    // One slow answer may be the machine's fault; a locked-out bystander
    // would be slow throughout.
    EXPECT_LE(bystander.slow, std::max(1, bystander.asked / 10)) << c.name;
  }
}

// A server whose request arrives in pieces is still answered after the
// idle limit from the connect, once its password proof is in.
TEST_F(HostileClientsTest, ASlowServerIsAnsweredOnceItsProofIsIn) {
  const std::string packet = Packet();
  RawConn c(port());
  ASSERT_TRUE(c.ok() && c.Send(packet.substr(0, 30)));
  for (size_t at = 30; at < packet.size(); at += 6) {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));  // inside the 1 s idle limit
    ASSERT_TRUE(c.Send(packet.substr(at, 6)));
  }
  std::string got;
  EXPECT_TRUE(c.WaitClosed(4000, &got));
  EXPECT_EQ(testutil::ReplyText(got, kKey).compare(0, 4, "200\n"), 0);
}

TEST_F(HostileClientsTest, RunningOutOfDescriptorsIsSurvived) {
  // The agent's descriptor limit a little above what it holds, then more
  // idle connections than fit.
  struct rlimit old_limit;
  ASSERT_EQ(prlimit(agent_->pid(), RLIMIT_NOFILE, nullptr, &old_limit), 0);
  struct rlimit low = old_limit;
  low.rlim_cur = static_cast<rlim_t>(before_.fds + 20);
  if (prlimit(agent_->pid(), RLIMIT_NOFILE, &low, nullptr) != 0)
    GTEST_SKIP() << "cannot lower the agent's descriptor limit here";
  Conns idle;
  for (int i = 0; i < 40; ++i) {
    idle.push_back(std::make_unique<RawConn>(port()));
    ASSERT_TRUE(idle.back()->ok());
  }
  EXPECT_TRUE(Eventually(
      [] {
        return agent_->console().find("Accept error: Too many open files") != std::string::npos;
      },
      3000))
      << agent_->console();
  // The idle limit frees descriptors; the waiting connections get their turn.
  std::string info = Ask("GetInfo\n\r", 15000);
  EXPECT_EQ(info.compare(0, 4, "200\n"), 0) << info;
  idle.clear();
  ASSERT_EQ(prlimit(agent_->pid(), RLIMIT_NOFILE, &old_limit, nullptr), 0);
}

}  // namespace
