#include "monitors/expr.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

namespace {

String S(const std::string& s) {
  String r;
  r.CopyData(s.data(), static_cast<int>(s.size()));
  return r;
}

TExprParser Parser() {
  return TExprParser(PriorityTable1, sizeof PriorityTable1);
}

std::vector<std::string> Postfix(const std::string& expr, int* ok, std::string* err = nullptr) {
  TExprParser p = Parser();
  String e = S(expr);
  *ok = p.Expr2Polish(e, 0);
  if (err) *err = p.Error().ToStd();
  std::vector<std::string> out;
  for (int i = 0; i < p.Output().Count(); ++i) out.push_back(p.Output()[i].ToStd());
  return out;
}

struct EvalCase {
  const char* name;
  const char* expr;
  const char* line;
  int casesensitive;
  int wholeword;
  int want;
};

class SearchExpressionCases : public ::testing::TestWithParam<EvalCase> {};

TEST_P(SearchExpressionCases, Evaluates) {
  const EvalCase& c = GetParam();
  EXPECT_EQ(SearchForExpression(S(c.line), S(c.expr), c.casesensitive, c.wholeword), c.want)
      << c.expr << " on " << c.line;
}

const EvalCase kEvalCases[] = {
    {"QuotedWordFound", "'disk'", "disk full", 1, 0, 1},
    {"QuotedWordAbsent", "'disk'", "net down", 1, 0, 0},
    {"DoubleQuotes", "\"disk\"", "disk full", 1, 0, 1},
    {"OtherQuoteInside", "\"it's\"", "it's late", 1, 0, 1},
    {"EmptyQuotedNeverMatches", "''", "anything", 1, 0, 0},
    {"EmptyQuotedNeverMatchesEmptyLine", "''", "", 1, 0, 0},
    {"CaseBlindMatches", "'ERROR'", "an error here", 0, 0, 1},
    {"CaseSensitiveRefuses", "'ERROR'", "an error here", 1, 0, 0},
    {"WholeWordRefusesPrefix", "'err'", "error", 1, 1, 0},
    {"WholeWordAcceptsWord", "'err'", "err: failed", 1, 1, 1},
    {"WholeWordLaterOccurrence", "'err'", "error err", 1, 1, 1},
    {"AndBoth", "'a' and 'b'", "a b", 1, 0, 1},
    {"AndOne", "'a' and 'b'", "a", 1, 0, 0},
    {"OrOne", "'a' or 'b'", "b", 1, 0, 1},
    {"OrNone", "'a' or 'b'", "c", 1, 0, 0},
    {"UpperAndWithBlanks", "'a' AND 'b'", "a b", 1, 0, 1},
    {"MixedCaseOrWithBlanks", "'a' oR 'b'", "b", 1, 0, 1},
    {"UpperAndWithoutBlanksFails", "'a'AND'b'", "a b", 1, 0, 0},
    {"LowerAndWithoutBlanks", "'a'and'b'", "a b", 1, 0, 1},
    {"NotAlone", "not 'a'", "b", 1, 0, 1},
    {"NotAloneFound", "not 'a'", "a", 1, 0, 0},
    {"NotCoversOrNeither", "not 'a' or 'b'", "c", 1, 0, 1},
    {"NotCoversOrFirst", "not 'a' or 'b'", "a", 1, 0, 0},
    {"NotCoversOrSecond", "not 'a' or 'b'", "b", 1, 0, 0},
    // a and not (b or c)
    {"AndNotOrAllAbsent", "'a' and not 'b' or 'c'", "a", 1, 0, 1},
    {"AndNotOrThirdPresent", "'a' and not 'b' or 'c'", "a c", 1, 0, 0},
    // (a or b) and c: equal priorities group left to right
    {"LeftToRightOrAnd", "'a' or 'b' and 'c'", "a", 1, 0, 0},
    {"LeftToRightOrAndBoth", "'a' or 'b' and 'c'", "a c", 1, 0, 1},
    {"ParenthesesGroup", "'a' or ('b' and 'c')", "a", 1, 0, 1},
    {"NotEndsAtParenthesis", "(not 'a') and 'b'", "b", 1, 0, 1},
    {"NotEndsAtParenthesisFound", "(not 'a') and 'b'", "a b", 1, 0, 0},
    {"NestedParentheses", "((('a')))", "a", 1, 0, 1},
    {"CaseBlindExpressionOperands", "'Disk' and 'FULL'", "disk full", 0, 0, 1},
    // Malformed expressions match nothing.
    {"EmptyExpression", "", "anything", 1, 0, 0},
    {"BlankExpression", "   \t ", "anything", 1, 0, 0},
    {"Unterminated", "'disk", "disk", 1, 0, 0},
    {"UnterminatedSecond", "'a' and \"b", "a b", 1, 0, 0},
    {"UnmatchedOpen", "( 'a'", "a", 1, 0, 0},
    {"UnmatchedClose", "'a' )", "a", 1, 0, 0},
    {"TwoOperands", "'a' 'b'", "a b", 1, 0, 0},
    {"AndMissingRight", "'a' and", "a", 1, 0, 0},
    {"AndMissingLeft", "and 'a'", "a", 1, 0, 0},
    {"NotWithoutOperand", "not", "a", 1, 0, 0},
    {"EmptyParentheses", "()", "a", 1, 0, 0},
    {"UnquotedWord", "'a' or disk", "disk", 1, 0, 0},
    {"WordThatHoldsNot", "notice", "notice", 1, 0, 0},
    // An unmatched "(" left in the output stands for a false operand.
    {"OrWithDanglingOpen", "'a' or (", "a", 1, 0, 1},
    // Unquoted numbers are refused.
    {"NumberOperandRefused", "'a' or 404", "a 404", 1, 0, 0},
    {"NumberAloneRefused", "12345", "12345 234", 1, 0, 0},
};

INSTANTIATE_TEST_SUITE_P(Table, SearchExpressionCases, ::testing::ValuesIn(kEvalCases),
                         [](const ::testing::TestParamInfo<EvalCase>& i) {
                           return std::string(i.param.name);
                         });

TEST(ExprParser, TokensOfLowerCaseOperatorsNeedNoBlanks) {
  TExprParser p = Parser();
  String e = S("  'a'and\"b c\"  AND  (x y");
  std::vector<std::string> tokens;
  for (String t = p.GetToken(e); !t.IsEmpty(); t = p.GetToken(e)) tokens.push_back(t.ToStd());
  EXPECT_EQ(tokens, (std::vector<std::string>{"'a'", "and", "\"b c\"", "AND", "(", "x", "y"}));
  EXPECT_TRUE(p.Error().IsEmpty());
  EXPECT_TRUE(e.IsEmpty());
}

TEST(ExprParser, WordStopsWhereAnOperatorStarts) {
  TExprParser p = Parser();
  String e = S("band");
  EXPECT_EQ(p.GetToken(e).ToStd(), "b");
  EXPECT_EQ(p.GetToken(e).ToStd(), "and");
}

TEST(ExprParser, UnterminatedStringLeavesTheRest) {
  TExprParser p = Parser();
  String e = S(" 'abc and x ");
  EXPECT_TRUE(p.GetToken(e).IsEmpty());
  EXPECT_EQ(p.Error().ToStd(), "Unterminated string: 'abc and x");
}

TEST(ExprParser, TokenInPosIsExactAndOneBased) {
  TExprParser p = Parser();
  EXPECT_EQ(p.TokenInPos(S("xnot"), 2), 1);
  EXPECT_EQ(p.TokenInPos(S("(a"), 1), 0);
  EXPECT_EQ(p.TokenInPos(S("NOT"), 1), -1);
  EXPECT_EQ(p.TokenInPos(S("no"), 1), -1);  // the name runs past the end
  EXPECT_EQ(p.TokenInPos(S("or"), 0), -1);
}

TEST(ExprParser, PrioritiesIgnoreCase) {
  TExprParser p = Parser();
  EXPECT_EQ(p.TokenInPriority(S("AND")), 1);
  EXPECT_EQ(p.TokenInPriority(S("Not")), 65535);
  EXPECT_EQ(p.TokenSPriority(S(")")), 65520);
  EXPECT_EQ(p.TokenSPriority(S("(")), 0);
  EXPECT_EQ(p.TokenInPriority(S("'and'")), -1);
  EXPECT_EQ(p.TokenSPriority(S("andy")), -1);
}

TEST(ExprParser, PostfixOfNotAndOr) {
  int ok = 0;
  EXPECT_EQ(Postfix("'a' and not 'b' OR 'c'", &ok),
            (std::vector<std::string>{"'a'", "'b'", "'c'", "or", "not", "and"}));
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(Postfix("'a' or 'b' and 'c'", &ok),
            (std::vector<std::string>{"'a'", "'b'", "or", "'c'", "and"}));
  EXPECT_EQ(Postfix("('a' or 'b') and 'c'", &ok),
            (std::vector<std::string>{"'a'", "'b'", "or", "'c'", "and"}));
}

TEST(ExprParser, UnmatchedOpenGoesToTheOutput) {
  int ok = 0;
  EXPECT_EQ(Postfix("( 'a'", &ok), (std::vector<std::string>{"'a'", "("}));
  EXPECT_EQ(ok, 1);
}

TEST(ExprParser, DigitOperandsAreConverted) {
  int ok = 0;
  EXPECT_EQ(Postfix("404 or '5'", &ok), (std::vector<std::string>{"404", "'5'", "or"}));
  EXPECT_EQ(ok, 1);
}

TEST(ExprParser, ErrorTexts) {
  int ok = 1;
  std::string err;
  Postfix("'a' )", &ok, &err);
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(err, "Missing \"(\"");
  Postfix("'a' or disk", &ok, &err);
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(err, "Unknown operator: \"disk\"");
  Postfix("'a' or 12a", &ok, &err);
  EXPECT_EQ(err, "Unknown operator: \"12a\"");
}

TEST(ExprParser, CheckOnlyLeavesTheOutputAlone) {
  TExprParser p = Parser();
  String e = S("'a' and 'b'");
  ASSERT_EQ(p.Expr2Polish(e, 0), 1);
  String e2 = S("'x' or 'y' or 'z'");
  EXPECT_EQ(p.Expr2Polish(e2, 1), 1);
  EXPECT_EQ(p.Output().Count(), 3);
  EXPECT_EQ(p.Output()[0].ToStd(), "'a'");
  String bad = S("'x' )");
  EXPECT_EQ(p.Expr2Polish(bad, 1), 0);
  EXPECT_EQ(p.Output().Count(), 3);
}

TEST(ExprParser, ConversionConsumesTheExpression) {
  TExprParser p = Parser();
  String e = S("'a' and 'b'  ");
  ASSERT_EQ(p.Expr2Polish(e, 0), 1);
  EXPECT_TRUE(e.IsEmpty());
}

TEST(ExprParser, ErrorClearedByTheNextConversion) {
  TExprParser p = Parser();
  String bad = S("'a");
  EXPECT_EQ(p.Expr2Polish(bad, 0), 0);
  String good = S("'a'");
  EXPECT_EQ(p.Expr2Polish(good, 0), 1);
  EXPECT_TRUE(p.Error().IsEmpty());
}

TEST(BoolStackTest, OverflowSetsTheFlagAndKeepsValues) {
  BoolStack s(2);
  s.Push(1);
  s.Push(0);
  EXPECT_EQ(s.Error(), 0);
  s.Push(1);
  EXPECT_NE(s.Error(), 0);
  EXPECT_EQ(s.Count(), 2);
  EXPECT_EQ(s.Pop(), 0);
  EXPECT_EQ(s.Pop(), 1);
}

TEST(BoolStackTest, UnderflowsSetTheFlag) {
  for (int op = 0; op < 4; ++op) {
    BoolStack s(4);
    if (op >= 2) s.Push(1);  // And and Or need two
    switch (op) {
      case 0:
        EXPECT_EQ(s.Pop(), 0);
        break;
      case 1:
        s.Not();
        break;
      case 2:
        s.And();
        break;
      case 3:
        s.Or();
        break;
    }
    EXPECT_NE(s.Error(), 0) << op;
  }
}

TEST(BoolStackTest, Operations) {
  BoolStack s(3);
  s.Push(1);
  s.Push(0);
  s.Or();
  EXPECT_EQ(s.Count(), 1);
  s.Push(0);
  s.And();
  s.Not();
  EXPECT_EQ(s.Pop(), 1);
  EXPECT_EQ(s.Error(), 0);
}

TEST(BoolStackTest, NonPositiveCapacityRefusesEverything) {
  BoolStack s(-5);
  s.Push(1);
  EXPECT_NE(s.Error(), 0);
  EXPECT_EQ(s.Count(), 0);
}

// The prepared search must answer exactly as String::Search on any bytes.
TEST(TextFinder, AgreesWithStringSearch) {
  std::mt19937 rng(12345);
  const char alphabet[] = {'a', 'A', 'b', 'B', ' ', '1', '-', '\0', '\n', static_cast<char>(0xC4)};
  auto random_text = [&](int maxlen) {
    std::string s(rng() % (maxlen + 1), 'a');
    for (char& c : s) c = alphabet[rng() % sizeof alphabet];
    return s;
  };
  for (int i = 0; i < 20000; ++i) {
    const std::string hay = random_text(24);
    const std::string what = random_text(3);
    for (int cs = 0; cs < 2; ++cs) {
      for (int ww = 0; ww < 2; ++ww) {
        const int want = S(hay).Search(S(what), cs, ww);
        const TTextFinder f(what.data(), static_cast<int>(what.size()), cs, ww);
        ASSERT_EQ(f.Search(hay.data(), static_cast<int>(hay.size())), want)
            << testing::PrintToString(hay) << " / " << testing::PrintToString(what) << " cs=" << cs
            << " ww=" << ww;
      }
    }
  }
}

TEST(TextFinder, CaseBlindScanOfOneCaseStaysLinear) {
  // Upper-case text searched case-blind: the lower-case first letter never
  // occurs, which must not make each candidate rescan the rest.
  std::string hay(4 << 20, 'E');
  hay += "error";
  const TTextFinder f("ERRor", 5, 0, 0);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(f.FindRaw(hay.data(), static_cast<long>(hay.size())),
            static_cast<long>(hay.size()) - 5);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
}

// Hostile expressions stay bounded in time and memory: nothing recurses.
// The bound is wall-clock time on a shared, possibly sanitized build: loose
// enough for a busy machine, far below what a quadratic walk of 100k bytes
// would take.
class HostileExpression : public ::testing::Test {
 protected:
  static int TimedEval(const std::string& expr, const std::string& line) {
    const auto t0 = std::chrono::steady_clock::now();
    const int r = SearchForExpression(S(line), S(expr), 1, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10)) << expr.size();
    return r;
  }
};

TEST_F(HostileExpression, TenThousandBalancedParentheses) {
  const std::string e = std::string(10000, '(') + "'a'" + std::string(10000, ')');
  EXPECT_EQ(TimedEval(e, "a"), 1);
  EXPECT_EQ(TimedEval(e, "b"), 0);
}

TEST_F(HostileExpression, HundredThousandOpenParentheses) {
  EXPECT_EQ(TimedEval(std::string(100000, '('), "a"), 0);
}

TEST_F(HostileExpression, HundredThousandCloseParentheses) {
  EXPECT_EQ(TimedEval("'a'" + std::string(100000, ')'), "a"), 0);
}

TEST_F(HostileExpression, LongChainOfOperators) {
  std::string e = "'a'";
  while (e.size() < 100000) e += " or 'b'";
  EXPECT_EQ(TimedEval(e, "xa"), 1);
  std::string nots;
  while (nots.size() < 100000) nots += "not ";
  EXPECT_EQ(TimedEval(nots + "'a'", "a"), 1);  // an even count of "not"
}

TEST_F(HostileExpression, HundredThousandCharacterWordAndString) {
  EXPECT_EQ(TimedEval(std::string(100000, 'x'), "x"), 0);
  EXPECT_EQ(TimedEval("'" + std::string(100000, 'x'), "x"), 0);
  EXPECT_EQ(TimedEval("'" + std::string(100000, 'x') + "'", std::string(100000, 'x')), 1);
}

TEST_F(HostileExpression, RandomBytesNeverCrash) {
  std::mt19937 rng(7);
  const char pieces[] = "()'\" andortx\t\r\n0";
  for (int i = 0; i < 300; ++i) {
    std::string e(rng() % 2000, ' ');
    for (char& c : e) c = pieces[rng() % (sizeof pieces - 1)];
    const int r = TimedEval(e, "a or x t");
    EXPECT_TRUE(r == 0 || r == 1);
  }
}

}  // namespace
