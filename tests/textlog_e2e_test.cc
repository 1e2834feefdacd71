// The text log tests asked of the real agent: whole replies to one-shot
// requests, a whole life of a watched log from the first check through
// appends, and rotations by the real logrotate while a writer keeps
// appending.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
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

// A "200" reply: position, line, more waiting, the state, and what follows.
std::string Reply(long long pos, const std::string& line, int more, long long resume,
                  long long checked, long long age, long long current,
                  const std::string& tail = "") {
  return "200\n" + Num(pos) + "\n" + line + "\n" + std::to_string(more) + "\n" + Num(resume) +
         "\n" + Num(checked) + "\n" + Num(age) + "\n" + Num(current) + "\n" + tail;
}

TEST(TextLogE2E, Replies) {
  AgentProcess agent;
  ASSERT_TRUE(agent.Start()) << agent.console();
  TempDir data;
  auto ask = [&](const std::vector<std::string>& request) {
    OrvqResult r = agent.Query(request);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  };
  WriteFile(data.File("p.log"), "x\n");
  const std::string expr = data.File("expr.log"), two = data.File("two.log");
  const std::string lng = data.File("long.log");
  WriteFile(expr, "Disk errors\nnet Error\ndisk error\n");
  WriteFile(two, "warn a\nerror warn\n");
  const std::string line = "ERROR" + std::string(4995, 'q');
  WriteFile(lng, line + "\n");
  const long long tt = MTime(two);
  // "TEST-TextLog2" from ResumePos 0 with a recorded size of 1 (all is read),
  // check-all off; the first filter the plain "error", the second the
  // expression 'warn' when asked for.
  auto log2 = [&](const std::string& resume, const std::string& second) {
    return std::vector<std::string>{"TEST-TextLog2", two, resume, "1", "0", "0", "error", "0",
                                    "1",             "0", second, "'warn'", "1", "1", "0"};
  };
  const std::string wrong = "501\nWrong parameter\n", none = "301\nFile does not exist\n";
  const struct {
    std::vector<std::string> request;
    std::string want;
  } cases[] = {
      {{"TEST-TextLog", data.File("absent.log"), "x", "0", "0", "0", "0", "0", "1", "0"}, none},
      {{"TEST-TextLog2", data.File("*.nothing"), "0", "0", "0"}, none},
      {{"TEST-TextLog", data.File("p.log"), "x", "0", "0", "12:00"}, wrong},
      {{"TEST-TextLog2", data.File("p.log"), "0", "0", "abc"}, wrong},
      {{"TEST-TextLog2", data.File("p.log"), "x1"}, wrong},
      // Expressions travel with their own quotes; case-blind, whole words;
      // a mask picks the file.
      {{"TEST-TextLog", data.File("ex*.log"), "'ERROR' and not 'net'", "0", "1", "0", "1", "1",
        "0", "1"},
       Reply(23, "disk error", 0, 33, 33, MTime(expr), 33)},
      // The reply holds the first 1024 bytes of a long line.
      {{"TEST-TextLog", lng, "ERROR", "0", "1", "0", "0", "1", "1", "0"},
       Reply(1, line.substr(0, 1024), 0, 5001, 5001, MTime(lng), 5001)},
      {log2("0", "1"), Reply(1, "warn a", 1, 7, 1, 0, 18, "0\n")},
      {log2("7", "1"), Reply(8, "error warn", 0, 18, 18, tt, 18, "1\n")},
      // Without the second filter the warning alone is not reported.
      {log2("0", "0"), Reply(8, "error warn", 0, 18, 18, tt, 18, "1\n")},
  };
  for (const auto& c : cases) EXPECT_EQ(ask(c.request), c.want) << c.request[0] << " " << c.request[1];

  // The life of a watched log, each check sent with the state the last one
  // gave back.
  const std::string p = data.File("app.log");
  WriteFile(p, std::string(99, '.') + "\n");
  auto check = [&](long long resume, long long checked, long long age, int checkall = 0) {
    return ask({"TEST-TextLog", p, "ERROR", std::to_string(resume), std::to_string(checked),
                std::to_string(age), "0", std::to_string(checkall), "1", "0"});
  };
  const long long t0 = MTime(p);
  // First check: only the end of the file is recorded.
  EXPECT_EQ(check(0, 0, 0), Reply(0, "", 0, 99, 100, t0, 100));
  // Two matching lines appended: the first is reported and more are waiting.
  WriteFile(p, testutil::ReadFile(p) + "ok\nERROR one\nERROR two\n");
  const long long t1 = MTime(p);
  EXPECT_EQ(check(99, 100, t0), Reply(104, "ERROR one", 1, 113, 100, t0, 123));
  // Resuming after it reports the second; nothing more waits, the file is recorded.
  EXPECT_EQ(check(113, 100, t0), Reply(114, "ERROR two", 0, 123, 123, t1, 123));
  // Unchanged: nothing found, the same state back.
  EXPECT_EQ(check(123, 123, t1), Reply(0, "", 0, 123, 123, t1, 123));
  // A line without its terminator waits; check-all reports the last match.
  WriteFile(p, testutil::ReadFile(p) + "ERROR three\nERROR fo");
  EXPECT_EQ(check(123, 123, t1, 1), Reply(124, "ERROR three", 0, 135, 143, MTime(p), 143));
}

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
  std::string path;
  long long resume = 0, checked = 0, age = 0;
  bool more = false;

  // The number of the reported line, 0 when none, -1 when the check failed
  // (the log missing for a moment while it is rotated), -2 when the line is
  // not a whole numbered line (a fragment, NUL bytes).
  int Run(int port) {
    Twofish_initialise();
    std::string text = "TEST-TextLog\n" + path + "\nERROR\n" + std::to_string(resume) + "\n" +
                       std::to_string(checked) + "\n" + std::to_string(age) + "\n0\n0\n1\n0\n\r";
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
    const bool whole = f[2].size() == 17 && f[2].compare(0, 11, "ERROR line ") == 0;
    return whole ? std::atoi(f[2].c_str() + 11) : -2;
  }
};

enum class Mode { kCreate, kCopyTruncate, kDelayCompress };

class TextLogRotation : public ::testing::TestWithParam<Mode> {};

// A writer appends 240 numbered lines, every third one matching. Like a
// daemon that reopens its log only now and then, the create-mode writer
// looks for a new file every fourth line, so lines keep landing in the
// rotated file for a while. The copytruncate writer writes without O_APPEND,
// so the file truncated under it gets a run of NUL bytes before its next
// line.
TEST_P(TextLogRotation, EveryMatchingLineOnceInOrder) {
  const std::string logrotate = LogrotatePath();
  if (logrotate.empty()) GTEST_SKIP() << "logrotate is not installed";
  const Mode mode = GetParam();
  AgentProcess agent;
  ASSERT_TRUE(agent.Start()) << agent.console();
  TempDir dir;
  const std::string log = dir.File("app.log");
  WriteFile(log, "start\n");
  WriteFile(dir.File("rotate.conf"), log + " {\nrotate 1000\nmissingok\n" +
                                         (mode == Mode::kCopyTruncate   ? "copytruncate\n"
                                          : mode == Mode::kDelayCompress ? "create\ncompress\n"
                                                                           "delaycompress\n"
                                                                         : "create\n") +
                                         "}\n");
  const std::string rotate = logrotate + " -f -s " + dir.File("state") + " " +
                             dir.File("rotate.conf") + " >/dev/null 2>&1";
  LogCheck check;
  check.path = log;
  check.Run(agent.port());  // the first check records the end of the file

  constexpr int kLines = 240;
  std::mutex hold;  // copytruncate loses lines written between its copy and truncation
  std::atomic<bool> done{false};
  std::thread writer([&] {
    const int flags = O_WRONLY | O_CLOEXEC | (mode == Mode::kCopyTruncate ? 0 : O_APPEND);
    UniqueFd fd(open(log.c_str(), flags));
    if (mode == Mode::kCopyTruncate) lseek(fd.get(), 0, SEEK_END);
    for (int i = 1; i <= kLines; ++i) {
      {
        std::lock_guard<std::mutex> lock(hold);
        struct stat a, b;
        if (mode != Mode::kCopyTruncate && i % 4 == 0 && stat(log.c_str(), &a) == 0 &&
            fstat(fd.get(), &b) == 0 && a.st_ino != b.st_ino)
          fd.reset(open(log.c_str(), flags));
        char line[64];
        const int n =
            snprintf(line, sizeof line, "%s line %06d\n", i % 3 == 0 ? "ERROR" : "info", i);
        EXPECT_EQ(write(fd.get(), line, static_cast<size_t>(n)), n);
      }
      // Pacing, not waiting for anything: the checks should overtake the writer.
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    done = true;
  });
  std::vector<int> got;
  // On failure: per check, the line reported (0 none, -1 failed, -2 garbled)
  // @ ResumePos/CheckedSize/CheckedAge, "+" when more were waiting.
  std::string trail;
  int idle = 0;
  // Checks until the writer is done and two checks in a row find nothing;
  // bounded by far more checks than lines.
  for (int n = 1; n < 20 * kLines && idle < 2; ++n) {
    const int id = check.Run(agent.port());
    if (id > 0 || id == -2) got.push_back(id);
    trail += " " + std::to_string(id) + "@" + std::to_string(check.resume) + "/" +
             std::to_string(check.checked) + "/" + std::to_string(check.age) +
             (check.more ? "+" : "");
    idle = done && id == 0 ? idle + 1 : 0;
    // Rotations come when the checks have caught up (more is 0), so that a
    // busy machine cannot pile up more of them than a position follows.
    // What is not promised is left out: a compressing rotation also waits
    // until the writer has moved to the new log (the state is not that of a
    // new log still empty, CheckedAge 0), as a compressed file is no longer
    // read; a truncating one waits while the state is that of an empty log,
    // as a log truncated again after refilling from position 0 looks merely
    // grown.
    const bool may_rotate = !check.more && (mode == Mode::kCreate || check.age != 0);
    if (n % 5 == 0 && !done && may_rotate) {
      std::unique_lock<std::mutex> lock(hold, std::defer_lock);
      if (mode == Mode::kCopyTruncate) lock.lock();
      EXPECT_EQ(std::system(rotate.c_str()), 0);
      trail += " [rotated]";
    }
  }
  writer.join();
  std::vector<int> want;
  for (int i = 3; i <= kLines; i += 3) want.push_back(i);
  EXPECT_EQ(got, want) << "checks:" << trail;
}

INSTANTIATE_TEST_SUITE_P(Modes, TextLogRotation,
                         ::testing::Values(Mode::kCreate, Mode::kCopyTruncate,
                                           Mode::kDelayCompress),
                         [](const ::testing::TestParamInfo<Mode>& i) {
                           return std::string(i.param == Mode::kCreate         ? "Create"
                                              : i.param == Mode::kCopyTruncate ? "CopyTruncate"
                                                                               : "DelayCompress");
                         });

}  // namespace
