#include "monitors/textlog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "agent/handlers.h"
#include "config/settings.h"
#include "monitors/expr.h"
#include "protocol/value_codec.h"
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

void Append(const std::string& path, const std::string& bytes) {
  testutil::WriteFile(path, testutil::ReadFile(path) + bytes);
}

// A state that forces a full read from offset 0: a check was recorded, at a
// size the file does not have.
State FromStart() {
  State s;
  s.checked = 1;
  return s;
}

class TextLogCheck : public ::testing::Test {
 protected:
  std::string Log(const std::string& bytes, const std::string& name = "app.log") {
    const std::string p = dir_.File(name);
    testutil::WriteFile(p, bytes);
    return p;
  }
  TempDir dir_;
};

TEST_F(TextLogCheck, FirstCheckRecordsTheEndOfTheFile) {
  const std::string p = Log(std::string(99, 'x') + "\n");
  const Outcome r = Check(p, "x", State());
  EXPECT_EQ(r.pos, 0);
  EXPECT_EQ(r.line, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.st.resume, 99);
  EXPECT_EQ(r.st.checked, 100);
  EXPECT_EQ(r.st.age, MTime(p));
  EXPECT_EQ(r.st.current, 100);
}

TEST_F(TextLogCheck, FirstCheckOfAnEmptyFileRecordsNothing) {
  const std::string p = Log("");
  const Outcome r = Check(p, "x", State());
  EXPECT_EQ(r.pos, 0);
  EXPECT_EQ(r.st.resume, -1);
  EXPECT_EQ(r.st.checked, 0);
}

TEST_F(TextLogCheck, UnchangedFileIsAnsweredWithoutReading) {
  const std::string p = Log("ERROR\n");
  State st;
  st.resume = -5;  // would be a positioning error if the file were read
  st.checked = 6;
  st.age = MTime(p);
  const Outcome r = Check(p, "ERROR", st);
  EXPECT_EQ(r.pos, 0);
  EXPECT_EQ(r.err, "");
  State want = st;
  want.current = 6;
  EXPECT_EQ(r.st, want);
}

TEST_F(TextLogCheck, ResumePosBeforeTheStartIsAPositioningError) {
  const std::string p = Log("ERROR\n");
  State st = FromStart();
  st.resume = -5;
  const Outcome r = Check(p, "ERROR", st);
  EXPECT_EQ(r.pos, -1);
  EXPECT_EQ(r.err, "fseek error");
}

TEST_F(TextLogCheck, MissingFileNamesItWithoutItsFolder) {
  const Outcome r = Check(dir_.File("gone.log"), "x", FromStart());
  EXPECT_EQ(r.pos, -1);
  EXPECT_EQ(r.err, "File \"gone.log\" not found");
  EXPECT_EQ(r.st.current, -1);
  EXPECT_EQ(r.line, "");
}

TEST_F(TextLogCheck, FolderIsNotALog) {
  const Outcome r = Check(dir_.path(), "x", FromStart());
  EXPECT_EQ(r.pos, -1);
  EXPECT_NE(r.err.find("not found"), std::string::npos);
}

TEST_F(TextLogCheck, UnreadableFileAfterThreeAttempts) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads any file";
  const std::string p = Log("ERROR\n");
  chmod(p.c_str(), 0);
  const Outcome r = Check(p, "ERROR", FromStart());
  EXPECT_EQ(r.pos, -1);
  EXPECT_EQ(r.err, "Cannot open file");
}

TEST_F(TextLogCheck, AppendedLinesAreReportedOneAtATime) {
  const std::string p = Log("old ERROR\n");
  Outcome r = Check(p, "ERROR", State());
  ASSERT_EQ(r.st.resume, 9);
  const State recorded = r.st;

  Append(p, "ok\nan ERROR 1\nfine\nERROR 2\n");
  r = Check(p, "ERROR", recorded);
  EXPECT_EQ(r.pos, 9 + 1 + 3 + 4);  // the LF at 9, "ok\n", then "an " before the text
  EXPECT_EQ(r.line, "an ERROR 1");
  EXPECT_EQ(r.st.resume, 24);                 // just after "an ERROR 1\n"
  EXPECT_EQ(r.st.checked, recorded.checked);  // kept, so the next check reads on
  EXPECT_EQ(r.st.age, recorded.age);
  EXPECT_EQ(r.st.current, 37);

  r = Check(p, "ERROR", r.st);
  EXPECT_EQ(r.pos, 24 + 5 + 1);
  EXPECT_EQ(r.line, "ERROR 2");
  EXPECT_EQ(r.st.resume, 37);

  r = Check(p, "ERROR", r.st);
  EXPECT_EQ(r.pos, 0);
  EXPECT_EQ(r.st.resume, 37);
  EXPECT_EQ(r.st.checked, 37);
  EXPECT_EQ(r.st.age, MTime(p));
}

TEST_F(TextLogCheck, CheckAllReportsTheLastMatchAndRecordsTheFile) {
  const std::string p = Log("ERROR a\nok\nERROR b\nok\n");
  Options o;
  o.checkall = 1;
  const Outcome r = Check(p, "ERROR", FromStart(), o);
  EXPECT_EQ(r.line, "ERROR b");
  EXPECT_EQ(r.pos, 11 + 1);
  EXPECT_EQ(r.st.resume, 22);
  EXPECT_EQ(r.st.checked, 22);
  EXPECT_EQ(r.st.age, MTime(p));
}

TEST_F(TextLogCheck, CrLfPositionsCountTheSkippedLineFeed) {
  const std::string p = Log("ab\r\ncd\r\n");
  Options o;
  o.checkall = 1;
  Outcome r = Check(p, "c", FromStart(), o);
  EXPECT_EQ(r.pos, 4);
  EXPECT_EQ(r.st.resume, 7);
  r = Check(p, "a", FromStart(), o);
  EXPECT_EQ(r.pos, 1);
  EXPECT_EQ(r.st.resume, 7);
}

TEST_F(TextLogCheck, UnfinishedLastLineWaitsForItsTerminator) {
  const std::string p = Log("x\nERR");
  Outcome r = Check(p, "ERROR", FromStart());
  EXPECT_EQ(r.pos, 0);
  EXPECT_EQ(r.st.resume, 2);
  Append(p, "OR\n");
  r = Check(p, "ERROR", r.st);
  EXPECT_EQ(r.pos, 3);
  EXPECT_EQ(r.line, "ERROR");
}

TEST_F(TextLogCheck, TruncatedFileIsReadFromItsStart) {
  const std::string p = Log("ERROR\n");
  State st = FromStart();
  st.resume = 1000;
  const Outcome r = Check(p, "ERROR", st);
  EXPECT_EQ(r.pos, 1);
  EXPECT_EQ(r.st.resume, 6);
}

TEST_F(TextLogCheck, CaseBlindAndWholeWords) {
  const std::string p = Log("some errors\nan error\n");
  Options o;
  o.cs = 0;
  EXPECT_EQ(Check(p, "ERROR", FromStart(), o).line, "some errors");
  o.ww = 1;
  EXPECT_EQ(Check(p, "ERROR", FromStart(), o).line, "an error");
  o.cs = 1;
  EXPECT_EQ(Check(p, "ERROR", FromStart(), o).pos, 0);
}

TEST_F(TextLogCheck, ExpressionMode) {
  const std::string p = Log("disk ok\nnet error\ndisk error\n");
  Options o;
  o.isexpr = 1;
  const Outcome r = Check(p, "'error' and not 'net'", FromStart(), o);
  EXPECT_EQ(r.line, "disk error");
  EXPECT_EQ(r.pos, 18 + 1);
  EXPECT_EQ(Check(p, "'error' and", FromStart(), o).pos, 0);
}

TEST_F(TextLogCheck, TextHoldingALineEndNeverMatches) {
  const std::string p = Log("a\nb\n");
  Options o;
  o.checkall = 1;
  const Outcome r = Check(p, "a\nb", FromStart(), o);
  EXPECT_EQ(r.pos, 0);
  EXPECT_EQ(r.st.resume, 4);
}

TEST_F(TextLogCheck, LinesLongerThanTheReadBlock) {
  const std::string longline = std::string(30000, 'x') + "ERROR" + std::string(100, 'y');
  const std::string p = Log("a\n" + longline + "\nb\n");
  for (int block : {10240, 7, 1 << 20}) {
    TTextLogLimits lim;
    lim.block = block;
    const Outcome r = Check(p, "ERROR", FromStart(), Options(), lim);
    EXPECT_EQ(r.pos, 2 + 30001) << block;
    EXPECT_EQ(r.line, longline) << block;
    EXPECT_EQ(r.st.resume, 2 + static_cast<long long>(longline.size()) + 1) << block;
  }
}

TEST_F(TextLogCheck, LineBeyondTheHeldLengthIsSearchedOnItsStart) {
  TTextLogLimits lim;
  lim.block = 16;
  lim.max_line = 64;
  const std::string early = std::string(10, 'x') + "ERROR" + std::string(200, 'x');
  const std::string late = std::string(100, 'x') + "ERROR";
  const std::string p = Log(early + "\n" + late + "\n");
  Options o;
  o.checkall = 1;
  const Outcome r = Check(p, "ERROR", FromStart(), o, lim);
  EXPECT_EQ(r.pos, 11);
  EXPECT_EQ(r.line, early.substr(0, 64));
  EXPECT_EQ(r.st.resume, static_cast<long long>(early.size() + late.size() + 2));
}

TEST_F(TextLogCheck, SecondFilterAndItsFlag) {
  const std::string p = Log("warn only\nerror and warn\n");
  TTextLogFilter first;
  first.Expression = "error";
  first.CaseSensitive = 1;
  TTextLogFilter second;
  second.Expression = "'warn'";
  second.IsExpression = 1;
  State st = FromStart();
  int flag = 7;
  String line;
  String err;
  long long pos = CheckFileForExpression2(p.c_str(), st.resume, st.checked, st.age, first, second,
                                          1, 0, flag, line, err, st.current);
  EXPECT_EQ(pos, 1);
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(line.ToStd(), "warn only");
  pos = CheckFileForExpression2(p.c_str(), st.resume, st.checked, st.age, first, second, 1, 0, flag,
                                line, err, st.current);
  EXPECT_EQ(pos, 11);
  EXPECT_EQ(flag, 1);
  flag = 7;
  pos = CheckFileForExpression2(p.c_str(), st.resume, st.checked, st.age, first, second, 1, 0, flag,
                                line, err, st.current);
  EXPECT_EQ(pos, 0);
  EXPECT_EQ(flag, 7);  // untouched without a match
}

TEST_F(TextLogCheck, SecondFilterIgnoredUnlessAsked) {
  const std::string p = Log("warn only\n");
  TTextLogFilter first;
  first.Expression = "error";
  TTextLogFilter second;
  second.Expression = "warn";
  State st = FromStart();
  int flag = 7;
  String line;
  String err;
  EXPECT_EQ(CheckFileForExpression2(p.c_str(), st.resume, st.checked, st.age, first, second, 0, 0,
                                    flag, line, err, st.current),
            0);
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

TEST_F(TextLogCheck, AgreesWithAByteAtATimeReading) {
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
      const std::string p = dir_.File("rand" + std::to_string(files++) + ".log");
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

// ---------------------------------------------------------------------------
// The handlers, called directly.

class TextLogHandlers : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = ORVSettings.Get();
    TORVSettings s = *saved_;
    s.TestTextLog = 1;
    ORVSettings.Publish(s);
  }
  void TearDown() override { ORVSettings.Publish(*saved_); }

  static std::string Run(void (*handler)(const VQRequest&, ORVReply&),
                         const std::vector<std::string>& params) {
    std::string text;
    for (const std::string& prm : params) text += prm + "\n";
    VQRequest req;
    req = S(text);
    ORVReply reply;
    handler(req, reply);
    return reply.ToStd();
  }
  // "TEST-TextLog" parameters: path, text, state, expr, check-all, case, words.
  static std::vector<std::string> Params(const std::string& path, const std::string& text,
                                         const State& st, int checkall) {
    return {path,
            text,
            std::to_string(st.resume),
            std::to_string(st.checked),
            std::to_string(st.age),
            "0",
            std::to_string(checkall),
            "1",
            "0"};
  }
  static std::string Num(long long v) {
    char buf[32];
    snprintf(buf, sizeof buf, "%6lld", v);
    return buf;
  }

  TempDir dir_;
  std::shared_ptr<const TORVSettings> saved_;
};

TEST_F(TextLogHandlers, WildcardPicksTheFile) {
  const std::string p = dir_.File("only.log");
  testutil::WriteFile(p, "ERROR\n");
  const std::string r =
      Run(ProcessTest_TextLog, Params(dir_.File("o*.log"), "ERROR", FromStart(), 1));
  EXPECT_EQ(r.substr(0, 17), "200\n" + Num(1) + "\nERROR\n");
}

TEST_F(TextLogHandlers, TextLog2ReportsWhichFilterMatched) {
  const std::string p = dir_.File("b.log");
  testutil::WriteFile(p, "warn\nerror warn\n");
  const long long t = MTime(p);
  // ResumePos 0, a different recorded size, check-all off; filter 1 "error",
  // filter 2 the expression 'warn' with its text escaped as on the wire.
  std::vector<std::string> prm = {p,   "0", "1", "0",      "0", "error", "0",
                                  "1", "0", "1", "'warn'", "1", "1",     "0"};
  std::string r = Run(ProcessTest_TextLog2, prm);
  EXPECT_EQ(r, "200\n" + Num(1) + "\nwarn\n1\n" + Num(5) + "\n" + Num(1) + "\n" + Num(0) + "\n" +
                   Num(16) + "\n0\n");
  prm[1] = "5";
  r = Run(ProcessTest_TextLog2, prm);
  EXPECT_EQ(r, "200\n" + Num(6) + "\nerror warn\n0\n" + Num(16) + "\n" + Num(16) + "\n" + Num(t) +
                   "\n" + Num(16) + "\n1\n");
  // Nothing matches: the flag is reported as 0.
  prm[1] = "16";
  r = Run(ProcessTest_TextLog2, prm);
  EXPECT_EQ(r.substr(0, 14), "200\n" + Num(0) + "\n\n0\n");
  EXPECT_EQ(r.substr(r.size() - 3), "\n0\n");
}

}  // namespace
