// Search expressions of the text-log check: quoted words joined by "and",
// "or", "not" and parentheses, evaluated against a line. The prepared text
// search is held to String::Search by the finder fuzz target.
#include "monitors/expr.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

String S(const std::string& s) {
  String r;
  r.CopyData(s.data(), static_cast<int>(s.size()));
  return r;
}

TEST(SearchExpression, Evaluates) {
  struct Case {
    const char *expr, *line;
    int casesensitive, wholeword, want;
  } cases[] = {
      {"'disk'", "disk full", 1, 0, 1}, {"'disk'", "net down", 1, 0, 0},
      {"\"it's\"", "it's late", 1, 0, 1}, {"''", "anything", 1, 0, 0},
      {"'ERROR'", "an error here", 0, 0, 1}, {"'ERROR'", "an error here", 1, 0, 0},
      {"'err'", "error", 1, 1, 0}, {"'err'", "err: failed", 1, 1, 1},
      {"'err'", "error err", 1, 1, 1}, {"'a' and 'b'", "a b", 1, 0, 1},
      {"'a' and 'b'", "a", 1, 0, 0}, {"'a' or 'b'", "b", 1, 0, 1},
      {"'a' or 'b'", "c", 1, 0, 0}, {"'a' AND 'b'", "a b", 1, 0, 1},
      {"'a' oR 'b'", "b", 1, 0, 1}, {"'a'AND'b'", "a b", 1, 0, 0},
      {"'a'and'b'", "a b", 1, 0, 1}, {"not 'a'", "a", 1, 0, 0},
      {"not 'a' or 'b'", "c", 1, 0, 1}, {"not 'a' or 'b'", "b", 1, 0, 0},
      // a and not (b or c)
      {"'a' and not 'b' or 'c'", "a", 1, 0, 1}, {"'a' and not 'b' or 'c'", "a c", 1, 0, 0},
      // (a or b) and c: equal priorities group left to right
      {"'a' or 'b' and 'c'", "a", 1, 0, 0}, {"'a' or 'b' and 'c'", "a c", 1, 0, 1},
      {"'a' or ('b' and 'c')", "a", 1, 0, 1}, {"(not 'a') and 'b'", "a b", 1, 0, 0},
      {"((('a')))", "a", 1, 0, 1}, {"'Disk' and 'FULL'", "disk full", 0, 0, 1},
      // Malformed expressions match nothing.
      {"", "anything", 1, 0, 0}, {"   \t ", "anything", 1, 0, 0},
      {"'disk", "disk", 1, 0, 0}, {"'a' and \"b", "a b", 1, 0, 0},
      {"( 'a'", "a", 1, 0, 0}, {"'a' )", "a", 1, 0, 0},
      {"'a' 'b'", "a b", 1, 0, 0}, {"'a' and", "a", 1, 0, 0},
      {"and 'a'", "a", 1, 0, 0}, {"not", "a", 1, 0, 0},
      {"()", "a", 1, 0, 0}, {"'a' or disk", "disk", 1, 0, 0}, {"notice", "notice", 1, 0, 0},
      // An unmatched "(" left in the output stands for a false operand.
      {"'a' or (", "a", 1, 0, 1},
      // Unquoted numbers are refused.
      {"'a' or 404", "a 404", 1, 0, 0}, {"12345", "12345 234", 1, 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SearchForExpression(S(c.line), S(c.expr), c.casesensitive, c.wholeword), c.want)
        << c.expr << " on " << c.line;
  }
}

// Hostile expressions and lines stay bounded in time and memory: nothing
// recurses, nothing rescans. The bound is wall-clock time on a shared,
// possibly sanitized build: loose enough for a busy machine, far below what
// a quadratic walk of these sizes would take.
TEST(SearchExpression, HostileInputStaysBounded) {
  const std::string balanced = std::string(10000, '(') + "'a'" + std::string(10000, ')');
  std::string ors = "'a'", nots;
  while (ors.size() < 100000) ors += " or 'b'";
  while (nots.size() < 100000) nots += "not ";
  const std::string x(100000, 'x');
  const struct {
    std::string expr, line;
    int want;
  } cases[] = {
      {balanced, "a", 1},
      {balanced, "b", 0},
      {std::string(100000, '('), "a", 0},
      {"'a'" + std::string(100000, ')'), "a", 0},
      {ors, "xa", 1},
      {nots + "'a'", "a", 1},  // an even count of "not"
      {x, "x", 0},
      {"'" + x, "x", 0},
      {"'" + x + "'", x, 1},
      // Searched case-blind, a line of upper-case letters must not make each
      // candidate look again for the lower-case first letter that never comes.
      {"'ERRor'", std::string(4 << 20, 'E') + "error", 1},
  };
  for (const auto& c : cases) {
    const auto t0 = std::chrono::steady_clock::now();
    const int r = SearchForExpression(S(c.line), S(c.expr), 0, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10)) << c.expr.size();
    EXPECT_EQ(r, c.want) << c.expr.substr(0, 40);
  }
}

}  // namespace
