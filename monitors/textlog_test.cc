// The text-log check reading real files: one table of logs and positions in
// against the answer and the position out, read through the whole-block search of a
// single text and through the line-by-line one, with read blocks from one
// byte up. Replies, errors and rotated logs are checked end to end.
#include "monitors/textlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "tests/testutil.h"

namespace {

using testutil::TempDir;
using testutil::WriteFile;

enum Flags { kExpr = 1, kAll = 2, kCase = 4, kWords = 8 };

TEST(TextLogScan, Table) {
  struct Row {
    std::string content;
    const char* text;
    int flags;
    long long pos;
    const char* line;
    long long resume;
    long long from = 0;  // ResumePos in; a recorded size of 1 makes the check read
    int max_line = 16 << 20;
  } rows[] = {
      {"info\nERROR one\nERROR two\n", "ERROR", 0, 6, "ERROR one", 15},
      {"info\nERROR one\nERROR two\n", "ERROR", kAll, 16, "ERROR two", 25},
      // Empty lines count towards the next non-empty one.
      {"a\r\n\r\nx ERROR\r\n", "ERROR", 0, 5, "x ERROR", 13},
      // The NUL run left in front of a truncated log is empty lines.
      {std::string("\0\0\0ERROR x\n", 11), "ERROR", 0, 1, "ERROR x", 11},
      {"x\rERROR\r", "ERROR", 0, 3, "ERROR", 8},
      // A last line without its terminator waits.
      {"ERROR a\nERROR b", "ERROR", kAll, 1, "ERROR a", 8},
      {"a\nb\n\n\nc", "ERROR", 0, 0, "", 4},
      {"aERRORb\nERROR\n", "ERROR", kWords, 9, "ERROR", 14},
      {"error\nERROR\n", "ERROR", kCase, 7, "ERROR", 12},
      {"xx error\n", "ERROR", 0, 4, "xx error", 9},
      {"disk ok\ndisk err\n", "'disk' and not 'ok'", kExpr, 9, "disk err", 17},
      {"ok\nx\n", "ok\nx", 0, 0, "", 5},
      // A position past the end: the log was truncated or replaced.
      {"ERROR\n", "ERROR", 0, 1, "ERROR", 6, 100},
      {"ERROR\nERROR b\n", "ERROR", 0, 7, "ERROR b", 14, 6},
      // Lines longer than the longest held are searched on their front only.
      {"ERROR0123456789\nERROR\n", "ERROR", 0, 1, "ERROR012", 16, 0, 8},
      {"0123456789ERROR\nx\n", "ERROR", 0, 0, "", 18, 0, 8},
  };
  TempDir dir;
  int n = 0;
  for (const Row& r : rows) {
    TTextLogFilter first, never;
    first.Expression.CopyData(r.text, static_cast<int>(strlen(r.text)));
    first.IsExpression = (r.flags & kExpr) != 0;
    first.CaseSensitive = (r.flags & kCase) != 0;
    first.WholeWords = (r.flags & kWords) != 0;
    never.Expression = "\x01";
    // Without a second filter a plain text is looked for in whole blocks;
    // with one that never matches, line by line.
    for (int second = 0; second <= 1; ++second) {
      for (int block : {1, 3, 1 << 20}) {
        // A file of its own per check: a name the agent has given positions
        // for could pass for a rotated log.
        const std::string p = dir.File(std::to_string(n++));
        WriteFile(p, r.content);
        long long resume = r.from, checked = 1, age = 0, current = 0;
        int which = 0;
        String line, err;
        const long long pos = CheckFileForExpression2(
            p.c_str(), resume, checked, age, first, never, second, (r.flags & kAll) != 0, which,
            line, err, current, TTextLogLimits{std::min(block, r.max_line), r.max_line});
        const std::string what =
            testing::PrintToString(r.content) + " block " + std::to_string(block);
        EXPECT_EQ(pos, r.pos) << what;
        EXPECT_EQ(line.ToStd(), r.line) << what;
        EXPECT_EQ(resume, r.resume) << what;
        EXPECT_EQ(err.ToStd(), "") << what;
      }
    }
  }
}

}  // namespace
