// The text log tests asked of the real agent: whole replies to single
// requests and to a watched log's life, and rotations by the real logrotate
// while a writer keeps appending.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/resources.h"
#include "tests/agent_harness.h"

namespace {

using testutil::AgentProcess;
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
  auto ask = [&](const std::vector<std::string>& request) { return agent.Query(request).out; };
  const std::string p = data.File("p.log"), empty = data.File("empty.log");
  const std::string expr = data.File("expr.log"), two = data.File("two.log");
  const std::string lng = data.File("long.log");
  WriteFile(p, "x\n");
  WriteFile(empty, "");
  mkfifo(data.File("fifo").c_str(), 0644);
  WriteFile(expr, "Disk errors\nnet Error\ndisk error\n");
  WriteFile(two, "warn a\nerror warn\n");
  const std::string line = "ERROR" + std::string(4995, 'q');
  WriteFile(lng, line + "\n");
  const long long tt = MTime(two);
  // "TEST-TextLog2" from ResumePos 0 with a recorded size of 1 (all is read),
  // check-all off; the first filter the plain "error", the second the
  // expression 'warn' when asked for.
  auto log2 = [&](const std::string& resume, const std::string& second) {
    return std::vector<std::string>{
        "TEST-TextLog2", two,      resume, "1", "0", "0", "error", "0", "1", "0",
        second,          "'warn'", "1",    "1", "0"};
  };
  const std::string wrong = "501\nWrong parameter\n", none = "301\nFile does not exist\n";
  const struct {
    std::vector<std::string> request;
    std::string want;
  } cases[] = {
      {{"TEST-TextLog", data.File("absent.log"), "x", "0", "0", "0", "0", "0", "1", "0"}, none},
      {{"TEST-TextLog2", data.File("*.nothing"), "0", "0", "0"}, none},
      {{"TEST-TextLog", p, "x", "0", "0", "12:00"}, wrong},
      {{"TEST-TextLog2", p, "0", "0", "abc"}, wrong},
      {{"TEST-TextLog2", p, "x1"}, wrong},
      {{"TEST-TextLog", data.File("fifo"), "x", "0", "1", "0"}, "301\nFile \"fifo\" not found\n"},
      // A position before the start; unless the log is unchanged, when it is not read at all.
      {{"TEST-TextLog", p, "x", "-5", "1", "0"}, "301\nfseek error\n"},
      {{"TEST-TextLog", p, "x", "-5", "2", std::to_string(MTime(p))},
       Reply(0, "", 0, -5, 2, MTime(p), 2)},
      // The first check of an empty log.
      {{"TEST-TextLog", empty, "x", "0", "0", "0"}, Reply(0, "", 0, -1, 0, MTime(empty), 0)},
      // Expressions travel with their own quotes; case-blind, whole words;
      // a mask picks the file.
      {{"TEST-TextLog", data.File("ex*.log"), "'ERROR' and not 'net'", "0", "1", "0", "1", "1", "0",
        "1"},
       Reply(23, "disk error", 0, 33, 33, MTime(expr), 33)},
      // The reply holds the first 1024 bytes of a long line.
      {{"TEST-TextLog", lng, "ERROR", "0", "1", "0", "0", "1", "1", "0"},
       Reply(1, line.substr(0, 1024), 0, 5001, 5001, MTime(lng), 5001)},
      {log2("0", "1"), Reply(1, "warn a", 1, 7, 1, 0, 18, "0\n")},
      {log2("7", "1"), Reply(8, "error warn", 0, 18, 18, tt, 18, "1\n")},
      // Without the second filter the warning alone is not reported.
      {log2("0", "0"), Reply(8, "error warn", 0, 18, 18, tt, 18, "1\n")},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ask(c.request), c.want) << c.request[0] << " " << c.request[1];

  // The life of a watched log, each check sent with the state the last one
  // gave back.
  const std::string app = data.File("app.log");
  WriteFile(app, std::string(99, '.') + "\n");
  auto check = [&](long long resume, long long checked, long long age, int checkall = 0,
                   const std::string& log = "app.log") {
    return ask({"TEST-TextLog", data.File(log), "ERROR", std::to_string(resume),
                std::to_string(checked), std::to_string(age), "0", std::to_string(checkall), "1",
                "0"});
  };
  const long long t0 = MTime(app);
  // First check: only the end of the file is recorded.
  EXPECT_EQ(check(0, 0, 0), Reply(0, "", 0, 99, 100, t0, 100));
  // Two matching lines appended: the first is reported and more are waiting.
  WriteFile(app, testutil::ReadFile(app) + "ok\nERROR one\nERROR two\n");
  const long long t1 = MTime(app);
  EXPECT_EQ(check(99, 100, t0), Reply(104, "ERROR one", 1, 113, 100, t0, 123));
  // Resuming after it reports the second; nothing more waits, the file is recorded.
  EXPECT_EQ(check(113, 100, t0), Reply(114, "ERROR two", 0, 123, 123, t1, 123));
  // A line without its terminator waits; check-all reports the last match.
  WriteFile(app, testutil::ReadFile(app) + "ERROR three\nERROR fo");
  EXPECT_EQ(check(123, 123, t1, 1), Reply(124, "ERROR three", 0, 135, 143, MTime(app), 143));

  // A log copied and truncated under a known position, then refilled past
  // it: its size alone looks merely grown, and only the bytes before the
  // position tell that the new log must be read from its start.
  const std::string c = data.File("c.log");
  WriteFile(c, "ERROR one\n");
  const long long tc = MTime(c);
  EXPECT_EQ(check(0, 1, 0, 1, "c.log"), Reply(1, "ERROR one", 0, 10, 10, tc, 10));
  WriteFile(c + ".1", "ERROR one\n");
  WriteFile(c, "ERROR two\nsome more lines\n");
  EXPECT_EQ(check(10, 10, tc, 1, "c.log"), Reply(1, "ERROR two", 0, 26, 26, MTime(c), 26));
}

// ---------------------------------------------------------------------------
// Rotation by the real logrotate while a writer appends numbered lines and
// checks run in a loop: every matching line must be reported once, in order.

struct Rotation {
  const char* name;
  const char* directives;
  bool copies;    // copytruncate: the writer keeps its descriptor, without O_APPEND
  bool any_time;  // see may_rotate below
};

void PrintTo(const Rotation& r, std::ostream* os) { *os << r.name; }

class TextLogRotation : public ::testing::TestWithParam<Rotation> {};

// A writer appends 240 numbered lines, every third one matching. Like a
// daemon that reopens its log only now and then, the writer of a renamed log
// looks for a new file every fourth line; the writer of a copied log writes
// without O_APPEND, so the file truncated under it gets a run of NUL bytes.
TEST_P(TextLogRotation, EveryMatchingLineOnceInOrder) {
  const char* const logrotate = "/usr/sbin/logrotate";
  if (access(logrotate, X_OK) != 0) GTEST_SKIP() << "logrotate is not installed";
  const Rotation& mode = GetParam();
  AgentProcess agent;
  ASSERT_TRUE(agent.Start()) << agent.console();
  TempDir dir;
  const std::string log = dir.File("app.log");
  WriteFile(log, "start\n");
  WriteFile(dir.File("rotate.conf"),
            log + " {\nrotate 1000\nmissingok\n" + mode.directives + "\n}\n");
  const std::string rotate = std::string(logrotate) + " -f -s " + dir.File("state") + " " +
                             dir.File("rotate.conf") + " >/dev/null 2>&1";
  // One check for "ERROR" without check-all, in process (hundreds of them
  // would spend their time starting orvq): the number of the line reported,
  // 0 when none, -1 when the check failed (the log missing for a moment while
  // it is rotated), -2 when the line is not a whole numbered line.
  long long resume = 0, checked = 0, age = 0;
  bool more = false;
  auto check = [&] {
    std::istringstream r(testutil::Ask(
        agent.port(), AgentProcess::kPassword,
        "TEST-TextLog\n" + log + "\nERROR\n" + std::to_string(resume) + "\n" +
            std::to_string(checked) + "\n" + std::to_string(age) + "\n0\n0\n1\n0\n\r"));
    std::string code, pos, line, waiting;
    if (!std::getline(r, code) || code != "200") return -1;
    std::getline(r, pos);
    std::getline(r, line);
    r >> waiting >> resume >> checked >> age;
    more = waiting == "1";
    if (std::stoll(pos) == 0) return 0;
    const bool whole = line.size() == 17 && line.compare(0, 11, "ERROR line ") == 0;
    return whole ? std::atoi(line.c_str() + 11) : -2;
  };
  check();  // the first check records the end of the file

  constexpr int kLines = 240;
  std::mutex hold;  // copytruncate loses lines written between its copy and truncation
  std::atomic<bool> done{false};
  std::thread writer([&] {
    const int flags = O_WRONLY | O_CLOEXEC | (mode.copies ? 0 : O_APPEND);
    UniqueFd fd(open(log.c_str(), flags));
    if (mode.copies) lseek(fd.get(), 0, SEEK_END);
    for (int i = 1; i <= kLines; ++i) {
      {
        std::lock_guard<std::mutex> lock(hold);
        struct stat a, b;
        if (!mode.copies && i % 4 == 0 && stat(log.c_str(), &a) == 0 && fstat(fd.get(), &b) == 0 &&
            a.st_ino != b.st_ino)
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
  // Per check, the line reported (0 none, -1 failed, -2 garbled) @ ResumePos
  // / CheckedSize / CheckedAge, "+" when more were waiting.
  std::string trail;
  int idle = 0;
  // Checks until the writer is done and two checks in a row find nothing;
  // bounded by far more checks than lines.
  for (int n = 1; n < 20 * kLines && idle < 2; ++n) {
    const int id = check();
    if (id > 0 || id == -2) got.push_back(id);
    trail += " " + std::to_string(id) + "@" + std::to_string(resume) + "/" +
             std::to_string(checked) + "/" + std::to_string(age) + (more ? "+" : "");
    idle = done && id == 0 ? idle + 1 : 0;
    // Rotations come when the checks have caught up, so that a busy machine
    // cannot pile up more of them than a position follows. What is not
    // promised is left out: a compressing or truncating rotation waits while
    // the state is that of a new log still empty (CheckedAge 0), as a
    // compressed file is no longer read and a log truncated again after
    // refilling from position 0 looks merely grown.
    const bool may_rotate = !more && (mode.any_time || age != 0);
    if (n % 5 == 0 && !done && may_rotate) {
      std::unique_lock<std::mutex> lock(hold, std::defer_lock);
      if (mode.copies) lock.lock();
      EXPECT_EQ(std::system(rotate.c_str()), 0);
      trail += " [rotated]";
    }
  }
  writer.join();
  std::vector<int> want;
  for (int i = 3; i <= kLines; i += 3) want.push_back(i);
  EXPECT_EQ(got, want) << "checks:" << trail;
}

INSTANTIATE_TEST_SUITE_P(
    Modes, TextLogRotation,
    ::testing::Values(Rotation{"Create", "create", false, true},
                      Rotation{"CopyTruncate", "copytruncate", true, false},
                      Rotation{"DelayCompress", "create\ncompress\ndelaycompress", false, false}),
    [](const auto& i) { return std::string(i.param.name); });

}  // namespace
