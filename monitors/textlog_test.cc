// The text-log check on real files: the answers that read no lines as one
// table of logs and states in against the answer and state out; random logs
// against a plain byte-at-a-time reading; and a log copied and truncated
// under a known position. The replies and rotations by the real logrotate
// are checked end to end.
#include "monitors/textlog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "monitors/expr.h"
#include "tests/testutil.h"

namespace {

using testutil::TempDir;

String S(const std::string& s) {
  String r;
  r.CopyData(s.data(), static_cast<int>(s.size()));
  return r;
}

struct State {
  long long resume = 0;
  long long checked = 0;
  long long age = 0;
  long long current = 0;
  bool operator==(const State& o) const {
    return resume == o.resume && checked == o.checked && age == o.age && current == o.current;
  }
};

std::ostream& operator<<(std::ostream& os, const State& s) {
  return os << "{resume " << s.resume << ", checked " << s.checked << ", age " << s.age
            << ", current " << s.current << "}";
}

struct Outcome {
  long long pos = 0;
  std::string line;
  std::string err;
  State st;
};

struct Options {
  int isexpr = 0;
  int checkall = 0;
  int cs = 1;
  int ww = 0;
};

Outcome Check(const std::string& path, const std::string& text, State st, Options o = {},
              TTextLogLimits limits = TTextLogLimits()) {
  Outcome r;
  String line("stale");
  String err("stale");
  r.pos = CheckFileForExpression(path.c_str(), S(text), st.resume, st.checked, st.age, o.isexpr,
                                 o.checkall, o.cs, o.ww, line, err, st.current, limits);
  r.line = line.ToStd();
  r.err = err.ToStd();
  r.st = st;
  return r;
}

long long MTime(const std::string& path) {
  struct stat st;
  EXPECT_EQ(stat(path.c_str(), &st), 0);
  return static_cast<int32_t>(st.st_mtime);
}

// A state that forces a full read from offset 0: a check was recorded, at a
// size the file does not have.
State FromStart() { return State{0, 1, 0, 0}; }

// Stands for the log's modification time in a row's states.
constexpr long long kT = -77;

// The answers that do not read lines: the first check, an unchanged log,
// and the errors. (Reading lines is the model's comparison below.)
TEST(TextLogScan, Table) {
  enum Kind { kFile, kMissing, kFolder };
  struct Row {
    const char* name;
    Kind kind;
    std::string content;
    State in;
    long long pos;
    std::string err;
    State out = {};
  } rows[] = {
      {"first check records the end", kFile, std::string(99, 'x') + "\n", {}, 0, "",
       {99, 100, kT, 100}},
      {"first check of an empty file", kFile, "", {}, 0, "", {-1, 0, kT, 0}},
      // The resume position would be a positioning error if the file were read.
      {"unchanged file is not read", kFile, "ERROR\n", {-5, 6, kT}, 0, "", {-5, 6, kT, 6}},
      {"resume before the start", kFile, "ERROR\n", {-5, 1, 0}, -1, "fseek error"},
      {"missing file", kMissing, "", FromStart(), -1, "File \"f4\" not found"},
      {"a folder is no log", kFolder, "", FromStart(), -1, "File \"f5\" not found"},
  };
  TempDir dir;
  int n = 0;
  for (const Row& r : rows) {
    // A file of its own per row: a name the agent has given positions for
    // could pass for a rotated log.
    const std::string p = dir.File("f" + std::to_string(n++));
    if (r.kind == kFolder) mkdir(p.c_str(), 0755);
    if (r.kind == kFile) testutil::WriteFile(p, r.content);
    const long long t = r.kind == kMissing ? 0 : MTime(p);
    auto at = [t](State s) {
      if (s.age == kT) s.age = t;
      return s;
    };
    const Outcome got = Check(p, "ERROR", at(r.in));
    EXPECT_EQ(got.pos, r.pos) << r.name;
    EXPECT_EQ(got.err, r.err) << r.name;
    EXPECT_EQ(got.line, "") << r.name;
    if (r.pos >= 0) {
      EXPECT_EQ(got.st, at(r.out)) << r.name;
    }
  }
}

// A log copied and truncated under a known position, then refilled past it
// before the next check: its size alone looks merely grown, and only the
// bytes before the position tell that the new log must be read from its
// start.
TEST(TextLogScan, CopiedAndTruncatedLogRefilledPastThePosition) {
  TempDir dir;
  const std::string p = dir.File("app.log");
  testutil::WriteFile(p, "ERROR one\n");
  Options all;
  all.checkall = 1;
  const Outcome first = Check(p, "ERROR", FromStart(), all);
  ASSERT_EQ(first.line, "ERROR one");
  testutil::WriteFile(dir.File("app.log.1"), testutil::ReadFile(p));
  testutil::WriteFile(p, "ERROR two\nsome more lines\n");
  const Outcome r = Check(p, "ERROR", first.st, all);
  EXPECT_EQ(r.line, "ERROR two");
  EXPECT_EQ(r.pos, 1);
  EXPECT_EQ(r.st.resume, 26);
}

// ---------------------------------------------------------------------------
// The check against a plain byte-at-a-time reading of the same rules, on
// random logs, for every buffer arrangement.

using Tester = std::function<int(const std::string&)>;

struct ModelResult {
  long long pos = 0;
  std::string line;
  State st;
};

// known: the position was given back by an earlier check of this file.
ModelResult Model(const std::string& content, long long age, State st, const Tester& test,
                  int checkall, size_t held, bool known) {
  const long long size = static_cast<long long>(content.size());
  ModelResult r;
  r.st = st;
  r.st.current = size;
  if (st.checked != 0 && st.checked == size && st.age != 0 && st.age == age) return r;
  if (st.checked == 0) {
    r.st.resume = size - 1;
  } else {
    if (r.st.resume > size) r.st.resume = 0;
    long long count = 0;  // bytes since the last non-empty line
    std::string cur;
    for (long long i = r.st.resume; i < size; ++i) {
      const char b = content[static_cast<size_t>(i)];
      ++count;
      if (b != '\n' && b != '\r' && b != '\0') {
        cur += b;
        continue;
      }
      if (cur.empty()) continue;
      const long long before = r.st.resume;
      r.st.resume += count;
      count = 0;
      const std::string seen = cur.substr(0, held);
      cur.clear();
      const int v = test(seen);
      if (v == 0) continue;
      r.pos = before + v;
      r.line = seen;
      if (!checkall) break;
    }
  }
  if (r.pos == 0 || checkall) {
    r.st.checked = size;
    r.st.age = age;
    // A known log found empty is read from its start next time, not
    // treated as a first check.
    if (known && size == 0) {
      r.st.checked = 1;
      r.st.age = 0;
    }
  }
  return r;
}

std::string RandomLog(std::mt19937& rng) {
  static const char* const kWords[] = {"error", "ERR", "Error:", "warn", "ok",
                                       "x",     "a1",  " ",      "--"};
  static const char* const kEnds[] = {"\n", "\n", "\n", "\r\n", "\r", "\n\n", "\r\r\n"};
  std::string s;
  const int lines = static_cast<int>(rng() % 40);
  for (int i = 0; i < lines; ++i) {
    // What a writer without O_APPEND leaves in front of its next line once
    // its log was truncated.
    if (rng() % 11 == 0) s += std::string(rng() % 50, '\0');
    const int words = static_cast<int>(rng() % 6);
    for (int w = 0; w < words; ++w) {
      s += kWords[rng() % (sizeof kWords / sizeof *kWords)];
      if (rng() % 3) s += ' ';
    }
    if (rng() % 17 == 0) s += std::string(rng() % 100, 'z');
    s += kEnds[rng() % (sizeof kEnds / sizeof *kEnds)];
  }
  if (rng() % 3 == 0) s += "error unfinished";
  return s;
}

TEST(TextLogScan, AgreesWithAByteAtATimeReading) {
  TempDir dir;
  std::mt19937 rng(2024);
  const char* const kTexts[] = {"error", "err", "ERR", "r w", "x", "ok\nx", ""};
  const char* const kExprs[] = {"'err' and not 'ok'", "'x' or 'warn'", "not 'a1'", "'error' )"};
  const TTextLogLimits kLimits[] = {
      {1, 1 << 20}, {3, 5}, {16, 40}, {10240, 16 << 20}, TTextLogLimits()};
  int matches = 0;
  int files = 0;
  for (int round = 0; round < 150; ++round) {
    const std::string content = RandomLog(rng);
    const bool expr = rng() % 3 == 0;
    const std::string text = expr ? kExprs[rng() % 4] : kTexts[rng() % 7];
    Options o;
    o.isexpr = expr;
    o.checkall = rng() % 2;
    o.cs = rng() % 2;
    o.ww = rng() % 2;
    const Tester test = [&](const std::string& line) {
      return expr ? SearchForExpression(S(line), S(text), o.cs, o.ww)
                  : S(line).Search(S(text), o.cs, o.ww);
    };
    for (const TTextLogLimits& lim : kLimits) {
      // A file of its own per chain: the agent remembers the positions it
      // gave back, and a name seen before with other contents, or from the
      // start again, would be a rotated log.
      const std::string p = dir.File("rand" + std::to_string(files++) + ".log");
      testutil::WriteFile(p, content);
      const long long age = MTime(p);
      const size_t held = static_cast<size_t>(lim.max_line > lim.block ? lim.max_line : lim.block);
      State st = FromStart();
      if (rng() % 4 == 0) st.resume = rng() % (content.size() + 5);
      // Chained checks, as the server would send them, until one finds nothing.
      for (int step = 0; step < 50; ++step) {
        const ModelResult want = Model(content, age, st, test, o.checkall, held, step > 0);
        const Outcome got = Check(p, text, st, o, lim);
        ASSERT_EQ(got.pos, want.pos)
            << "round " << round << " step " << step << " block " << lim.block << " text "
            << testutil::ToHex(text) << " content " << testutil::ToHex(content);
        ASSERT_EQ(got.line, want.line) << "round " << round << " step " << step;
        ASSERT_EQ(got.st, want.st) << "round " << round << " step " << step;
        st = got.st;
        if (got.pos == 0) break;
        ++matches;
      }
    }
  }
  EXPECT_GT(matches, 300);  // the comparison covered matches, not only misses
}

}  // namespace
