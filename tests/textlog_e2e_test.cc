// The text log tests asked of the real agent: refusals, a whole life of a
// watched log from the first check through appends, and rotations by the
// real logrotate while a writer keeps appending.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/resources.h"
#include "crypto/twofish.h"
#include "protocol/client.h"
#include "tests/agent_harness.h"

namespace {

using testutil::AgentProcess;
using testutil::OrvqResult;
using testutil::TempDir;
using testutil::WriteFile;

std::string Num(long long v) {
  char buf[32];
  snprintf(buf, sizeof buf, "%6lld", v);
  return buf;
}

long long MTime(const std::string& path) {
  struct stat st;
  EXPECT_EQ(stat(path.c_str(), &st), 0);
  return static_cast<int32_t>(st.st_mtime);
}

void Append(const std::string& path, const std::string& bytes) {
  WriteFile(path, testutil::ReadFile(path) + bytes);
}

class TextLogE2E : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    agent_ = new AgentProcess();
    data_ = new TempDir();
  }
  static void TearDownTestSuite() {
    delete agent_;
    delete data_;
    agent_ = nullptr;
    data_ = nullptr;
  }
  void SetUp() override {
    if (agent_->pid() <= 0) {
      ASSERT_TRUE(agent_->Start()) << agent_->console();
    }
  }
  static std::string Ask(const std::vector<std::string>& request) {
    OrvqResult r = agent_->Query(request);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }
  // "TEST-TextLog": path, text, ResumePos, CheckedSize, CheckedAge, expression,
  // check all, case sensitive, whole words.
  static std::string TextLog(const std::string& path, const std::string& text, long long resume,
                             long long checked, long long age, int checkall = 0) {
    return Ask({"TEST-TextLog", path, text, std::to_string(resume), std::to_string(checked),
                std::to_string(age), "0", std::to_string(checkall), "1", "0"});
  }
  static std::string D(const std::string& name) { return data_->File(name); }

  static AgentProcess* agent_;
  static TempDir* data_;
};

AgentProcess* TextLogE2E::agent_ = nullptr;
TempDir* TextLogE2E::data_ = nullptr;

TEST_F(TextLogE2E, MissingFileOrMaskMatchingNothing) {
  EXPECT_EQ(TextLog(D("absent.log"), "x", 0, 0, 0), "301\nFile does not exist\n");
  EXPECT_EQ(Ask({"TEST-TextLog2", D("*.nothing"), "0", "0", "0"}), "301\nFile does not exist\n");
}

TEST_F(TextLogE2E, UndecodableStateIsAWrongParameter) {
  WriteFile(D("p.log"), "x\n");
  EXPECT_EQ(Ask({"TEST-TextLog", D("p.log"), "x", "0", "0", "12:00"}), "501\nWrong parameter\n");
  EXPECT_EQ(Ask({"TEST-TextLog2", D("p.log"), "0", "0", "abc"}), "501\nWrong parameter\n");
  EXPECT_EQ(Ask({"TEST-TextLog2", D("p.log"), "x1"}), "501\nWrong parameter\n");
}

TEST_F(TextLogE2E, FirstCheckThenAppendsThenUnchanged) {
  const std::string p = D("app.log");
  WriteFile(p, std::string(99, '.') + "\n");
  const long long t0 = MTime(p);

  // First check: only the end of the file is recorded.
  EXPECT_EQ(TextLog(p, "ERROR", 0, 0, 0), "200\n" + Num(0) + "\n\n0\n" + Num(99) + "\n" + Num(100) +
                                              "\n" + Num(t0) + "\n" + Num(100) + "\n");

  // Two matching lines appended: the first is reported and more are waiting.
  Append(p, "ok\nERROR one\nERROR two\n");
  const long long t1 = MTime(p);
  EXPECT_EQ(TextLog(p, "ERROR", 99, 100, t0), "200\n" + Num(104) + "\nERROR one\n1\n" + Num(113) +
                                                  "\n" + Num(100) + "\n" + Num(t0) + "\n" +
                                                  Num(123) + "\n");

  // Resuming after it reports the second; nothing more waits, the file is recorded.
  EXPECT_EQ(TextLog(p, "ERROR", 113, 100, t0), "200\n" + Num(114) + "\nERROR two\n0\n" + Num(123) +
                                                   "\n" + Num(123) + "\n" + Num(t1) + "\n" +
                                                   Num(123) + "\n");

  // Unchanged: nothing found, the same state back.
  EXPECT_EQ(TextLog(p, "ERROR", 123, 123, t1), "200\n" + Num(0) + "\n\n0\n" + Num(123) + "\n" +
                                                   Num(123) + "\n" + Num(t1) + "\n" + Num(123) +
                                                   "\n");

  // A line without its terminator waits; check-all reports the last match.
  Append(p, "ERROR three\nERROR fo");
  const long long t2 = MTime(p);
  EXPECT_EQ(TextLog(p, "ERROR", 123, 123, t1, 1), "200\n" + Num(124) + "\nERROR three\n0\n" +
                                                      Num(135) + "\n" + Num(143) + "\n" + Num(t2) +
                                                      "\n" + Num(143) + "\n");
}

TEST_F(TextLogE2E, ExpressionCaseAndWholeWords) {
  const std::string p = D("expr.log");
  WriteFile(p, "Disk errors\nnet Error\ndisk error\n");
  // Expressions travel with their own quotes; case-blind, whole words.
  EXPECT_EQ(Ask({"TEST-TextLog", p, "'ERROR' and not 'net'", "0", "1", "0", "1", "1", "0", "1"})
                .substr(0, 22),
            "200\n" + Num(23) + "\ndisk error\n");
}

TEST_F(TextLogE2E, LongLineIsCutInTheReply) {
  const std::string p = D("long.log");
  const std::string line = "ERROR" + std::string(4995, 'q');
  WriteFile(p, line + "\n");
  const std::string out = TextLog(p, "ERROR", 0, 1, 0, 1);
  EXPECT_EQ(out, "200\n" + Num(1) + "\n" + line.substr(0, 1024) + "\n0\n" + Num(5001) + "\n" +
                     Num(5001) + "\n" + Num(MTime(p)) + "\n" + Num(5001) + "\n");
}

TEST_F(TextLogE2E, TextLog2SecondFilterAndFlag) {
  const std::string p = D("two.log");
  WriteFile(p, "warn a\nerror warn\n");
  const long long t = MTime(p);
  // ResumePos 0, recorded size 1 (so everything is read), check-all off;
  // first filter "error", second filter "warn", both plain and case-sensitive.
  std::vector<std::string> req = {
      "TEST-TextLog2", p, "0", "1", "0", "0", "error", "0", "1", "0", "1", "warn", "0", "1", "0"};
  EXPECT_EQ(Ask(req), "200\n" + Num(1) + "\nwarn a\n1\n" + Num(7) + "\n" + Num(1) + "\n" + Num(0) +
                          "\n" + Num(18) + "\n0\n");
  req[2] = "7";
  EXPECT_EQ(Ask(req), "200\n" + Num(8) + "\nerror warn\n0\n" + Num(18) + "\n" + Num(18) + "\n" +
                          Num(t) + "\n" + Num(18) + "\n1\n");
  // Without the second filter the warning alone is not reported.
  req[2] = "0";
  req[10] = "0";
  EXPECT_EQ(Ask(req), "200\n" + Num(8) + "\nerror warn\n0\n" + Num(18) + "\n" + Num(18) + "\n" +
                          Num(t) + "\n" + Num(18) + "\n1\n");
}

}  // namespace

// ---------------------------------------------------------------------------
// Rotation by the real logrotate while a writer appends numbered lines and
// checks run in a loop: every matching line must be reported once, in order.

// The logrotate program, or empty when it is not installed.
std::string LogrotatePath() {
  for (const char* p : {"/usr/sbin/logrotate", "/sbin/logrotate", "/usr/bin/logrotate"})
    if (access(p, X_OK) == 0) return p;
  return "";
}

// One "TEST-TextLog" exchange for "ERROR" without check-all, in process (a
// loop of hundreds of checks would spend its time starting orvq).
struct LogCheck {
  long long resume = 0, checked = 0, age = 0;
  bool more = false;

  // The number of the reported line, 0 when none, -1 when the check failed
  // (the log missing for a moment while it is rotated).
  int Run(int port) {
    Twofish_initialise();
    const std::vector<std::string> p = {path,
                                        "ERROR",
                                        std::to_string(resume),
                                        std::to_string(checked),
                                        std::to_string(age),
                                        "0",
                                        "0",
                                        "1",
                                        "0"};
    std::string text = "TEST-TextLog\n";
    for (const std::string& s : p) text += s + "\n";
    text += "\r";
    String req;
    req.CopyData(text.data(), static_cast<int>(text.size()));
    String reply, err;
    if (Exchange(String("127.0.0.1"), port, 10000, String(AgentProcess::kPassword),
                 RandomSessionKey(), req, reply, err) != kReplyReceived)
      return -1;
    std::vector<std::string> f;
    std::string r = reply.ToStd();
    for (size_t at = 0, nl; (nl = r.find('\n', at)) != std::string::npos; at = nl + 1)
      f.push_back(r.substr(at, nl - at));
    if (f.size() < 8 || f[0] != "200") return -1;
    more = f[3] == "1";
    resume = std::stoll(f[4]);
    checked = std::stoll(f[5]);
    age = std::stoll(f[6]);
    if (std::stoll(f[1]) == 0) return 0;
    // Anything but a whole numbered line (a fragment, NUL bytes) is garbled.
    const bool whole = f[2].size() == 17 && f[2].compare(0, 11, "ERROR line ") == 0;
    return whole ? std::atoi(f[2].c_str() + 11) : -2;
  }
  std::string path;
};

enum class Mode { kCreate, kCopyTruncate, kDelayCompress };

struct Tally {
  int written = 0;      // matching lines written
  int reported = 0;     // distinct matching lines reported
  int lost = 0;         // written, never reported
  int duplicated = 0;   // reports beyond the first of a line
  int misordered = 0;   // reports of a line lower than one reported before
  int garbled = 0;      // reports that are not a whole numbered line
  std::string missing;  // the numbers of the lost lines
  std::string trail;    // every check's answer and state, and the rotations
};

// Writes kLines numbered lines, every third one matching. Like a daemon
// that reopens its log only now and then, the create-mode writer looks for a
// new file every fourth line, so lines keep landing in the rotated file for
// a while. The copytruncate writer writes without O_APPEND, so the file
// truncated under it gets a run of NUL bytes before its next line.
class LogWriter {
 public:
  static constexpr int kLines = 240;
  LogWriter(const std::string& path, Mode mode) : path_(path), mode_(mode) {}
  ~LogWriter() {
    if (thread_.joinable()) thread_.join();
  }
  void Start() {
    thread_ = std::thread([this] { Run(); });
  }
  void Join() { thread_.join(); }
  bool done() const { return done_; }
  std::mutex& hold() { return hold_; }

 private:
  void Run() {
    const int flags = O_WRONLY | O_CLOEXEC | (mode_ == Mode::kCopyTruncate ? 0 : O_APPEND);
    UniqueFd fd(open(path_.c_str(), flags));
    if (mode_ == Mode::kCopyTruncate) lseek(fd.get(), 0, SEEK_END);
    for (int i = 1; i <= kLines; ++i) {
      {
        std::lock_guard<std::mutex> lock(hold_);
        struct stat a, b;
        if (mode_ != Mode::kCopyTruncate && i % 4 == 0 && stat(path_.c_str(), &a) == 0 &&
            fstat(fd.get(), &b) == 0 && a.st_ino != b.st_ino)
          fd.reset(open(path_.c_str(), flags));
        char line[64];
        const int n =
            snprintf(line, sizeof line, "%s line %06d\n", i % 3 == 0 ? "ERROR" : "info", i);
        EXPECT_EQ(write(fd.get(), line, static_cast<size_t>(n)), n);
      }
      // Pacing, not waiting for anything: the checks should overtake the writer.
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    done_ = true;
  }

  const std::string path_;
  const Mode mode_;
  std::mutex hold_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

const char* ModeLines(Mode mode) {
  switch (mode) {
    case Mode::kCreate:
      return "create\n";
    case Mode::kCopyTruncate:
      return "copytruncate\n";
    case Mode::kDelayCompress:
      return "create\ncompress\ndelaycompress\n";
  }
  return "";
}

// Runs the scenario against agent and counts what was reported.
Tally RotateWhileWriting(AgentProcess& agent, Mode mode) {
  TempDir dir;
  const std::string log = dir.File("app.log");
  WriteFile(log, "start\n");
  WriteFile(dir.File("rotate.conf"),
            log + " {\nrotate 1000\nmissingok\n" + ModeLines(mode) + "}\n");
  const std::string rotate = LogrotatePath() + " -f -s " + dir.File("state") + " " +
                             dir.File("rotate.conf") + " >/dev/null 2>&1";
  LogCheck check;
  check.path = log;
  check.Run(agent.port());  // the first check records the end of the file

  LogWriter writer(log, mode);
  writer.Start();
  std::vector<int> got;
  std::string trail;
  int idle = 0;
  // Checks until the writer is done and two checks in a row find nothing;
  // bounded by far more checks than lines.
  for (int n = 1; n < 20 * LogWriter::kLines && idle < 2; ++n) {
    const int id = check.Run(agent.port());
    if (id > 0 || id == -2) got.push_back(id);
    trail += " " + std::to_string(id) + "@" + std::to_string(check.resume) + "/" +
             std::to_string(check.checked) + "/" + std::to_string(check.age) +
             (check.more ? "+" : "");
    idle = writer.done() && id == 0 ? idle + 1 : 0;
    // Rotations come when the checks have caught up (more is 0), so that a
    // busy machine cannot pile up more of them than a position follows.
    // What is not promised is left out: a compressing rotation also waits
    // until the writer has moved to the new log (the state is not that of a
    // new log still empty, CheckedAge 0), as a compressed file is no longer
    // read; a truncating one waits while the state is that of an empty log,
    // as a log truncated again after refilling from position 0 looks merely
    // grown.
    const bool empty_state = check.age == 0;
    const bool may_rotate = !check.more && (mode == Mode::kCreate || !empty_state);
    if (n % 5 == 0 && !writer.done() && may_rotate) {
      // copytruncate loses what is written between its copy and its
      // truncation whoever reads the log: the writer waits meanwhile.
      std::unique_lock<std::mutex> lock(writer.hold(), std::defer_lock);
      if (mode == Mode::kCopyTruncate) lock.lock();
      EXPECT_EQ(std::system(rotate.c_str()), 0);
      trail += " [rotated]";
    }
  }
  writer.Join();

  Tally t;
  t.trail = trail;
  t.written = LogWriter::kLines / 3;
  std::set<int> seen;
  int last = 0;
  for (int id : got) {
    if (id < 0) {
      ++t.garbled;
      continue;
    }
    if (!seen.insert(id).second) ++t.duplicated;
    if (id < last) ++t.misordered;
    last = std::max(last, id);
  }
  t.reported = static_cast<int>(seen.size());
  t.lost = t.written - t.reported;
  for (int i = 3; i <= LogWriter::kLines; i += 3)
    if (!seen.count(i)) t.missing += " " + std::to_string(i);
  return t;
}

class TextLogRotation : public ::testing::TestWithParam<Mode> {};

TEST_P(TextLogRotation, EveryMatchingLineOnceInOrder) {
  if (LogrotatePath().empty()) GTEST_SKIP() << "logrotate is not installed";
  AgentProcess agent;
  ASSERT_TRUE(agent.Start()) << agent.console();
  const Tally t = RotateWhileWriting(agent, GetParam());
  printf(
      "rotation figures: written %d reported %d lost %d duplicated %d misordered %d garbled %d\n",
      t.written, t.reported, t.lost, t.duplicated, t.misordered, t.garbled);
  // On failure: the lost numbers and, per check, the line reported (0
  // none, -1 failed, -2 garbled) @ ResumePos/CheckedSize/CheckedAge, "+"
  // when more were waiting.
  EXPECT_EQ(t.reported, t.written) << "lost:" << t.missing << "\nchecks:" << t.trail;
  EXPECT_EQ(t.duplicated + t.misordered + t.garbled, 0) << "checks:" << t.trail;
}

INSTANTIATE_TEST_SUITE_P(Modes, TextLogRotation,
                         ::testing::Values(Mode::kCreate, Mode::kCopyTruncate,
                                           Mode::kDelayCompress),
                         [](const ::testing::TestParamInfo<Mode>& i) {
                           return std::string(i.param == Mode::kCreate         ? "Create"
                                              : i.param == Mode::kCopyTruncate ? "CopyTruncate"
                                                                               : "DelayCompress");
                         });

void AppendLines(const std::string& path, int from, int to) {
  std::string bytes;
  for (int i = from; i <= to; ++i)
    bytes += "ERROR line " + std::to_string(1000000 + i).substr(1) + "\n";
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
  ASSERT_EQ(write(fd.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// The reported line numbers until a check finds nothing (bounded).
std::vector<int> Drain(LogCheck& check, int port) {
  std::vector<int> got;
  for (int n = 0; n < 50; ++n) {
    const int id = check.Run(port);
    if (id == 0) break;
    got.push_back(id);
  }
  return got;
}

// An agent restarted between a rotation and the next check knows nothing of
// the rotated file: the new log, shorter than the position, is read from its
// start, and what was written to the old log after the last check is lost.
TEST(TextLogRotationRestart, NewLogReadFromStartOldTailLost) {
  const std::string logrotate = LogrotatePath();
  if (logrotate.empty()) GTEST_SKIP() << "logrotate is not installed";
  AgentProcess agent;
  ASSERT_TRUE(agent.Start()) << agent.console();
  TempDir dir;
  LogCheck check;
  check.path = dir.File("app.log");
  WriteFile(check.path, "start\n");
  WriteFile(dir.File("rotate.conf"), check.path + " {\nrotate 10\ncreate\n}\n");
  check.Run(agent.port());
  AppendLines(check.path, 1, 3);
  EXPECT_EQ(Drain(check, agent.port()), (std::vector<int>{1, 2, 3}));
  AppendLines(check.path, 4, 6);
  ASSERT_EQ(
      std::system(
          (logrotate + " -f -s " + dir.File("state") + " " + dir.File("rotate.conf")).c_str()),
      0);
  AppendLines(check.path, 7, 7);
  agent.Stop();
  ASSERT_TRUE(agent.Start()) << agent.console();
  EXPECT_EQ(Drain(check, agent.port()), (std::vector<int>{7}));
}
