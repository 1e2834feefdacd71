// Fuzzes the search-expression parser and evaluator.
//
// Input: one byte of switches (bit 0 case-sensitive, bit 1 whole words), the
// expression, then the line to test (the expression ends at the first zero
// byte). Besides running the parser and the compiled search, the target
// evaluates the postfix form a second, plain way (String::Search per operand
// and a small stack) and requires the same answer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "monitors/expr.h"

namespace {

// -1 when the postfix form cannot be evaluated (too few values, not one left).
int PlainEvaluate(const TStrList& postfix, const String& line, int cs, int ww) {
  std::vector<int> stack;
  for (int i = 0; i < postfix.Count(); ++i) {
    const String token = postfix[i];
    if (token == "not") {
      if (stack.empty()) return -1;
      stack.back() = !stack.back();
    } else if (token == "and" || token == "or") {
      if (stack.size() < 2) return -1;
      int b = stack.back();
      stack.pop_back();
      stack.back() = token == "and" ? (stack.back() && b) : (stack.back() || b);
    } else {
      String text = token.Copy(2, token.Length() - 2);
      stack.push_back(line.Search(text, cs, ww) != 0);
    }
  }
  if (stack.size() != 1) return -1;
  return stack.back();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 8192) return 0;
  const int cs = data[0] & 1;
  const int ww = (data[0] >> 1) & 1;
  const char* rest = reinterpret_cast<const char*>(data + 1);
  const size_t n = size - 1;
  const char* zero = static_cast<const char*>(std::memchr(rest, 0, n));
  const size_t elen = zero ? static_cast<size_t>(zero - rest) : n;
  String expression;
  expression.CopyData(rest, static_cast<int>(elen));
  String line;
  if (zero) line.CopyData(zero + 1, static_cast<int>(n - elen - 1));

  // Tokens: each one consumes input, so the loop ends.
  {
    TExprParser parser(PriorityTable1, static_cast<int>(sizeof PriorityTable1));
    String work = expression;
    for (int guard = 0; guard <= expression.Length() + 1; ++guard) {
      const int before = work.Length();
      String token = parser.GetToken(work);
      if (token.IsEmpty()) break;
      if (work.Length() >= before) std::abort();
      parser.TokenInPriority(token);
      parser.TokenSPriority(token);
    }
    for (int pos = 0; pos <= expression.Length() + 1 && pos < 64; ++pos)
      parser.TokenInPos(expression, pos);
  }

  TExprParser parser(PriorityTable1, static_cast<int>(sizeof PriorityTable1));
  String work = expression;
  const int ok = parser.Expr2Polish(work, 0);
  String check = expression;
  TExprParser checker(PriorityTable1, static_cast<int>(sizeof PriorityTable1));
  if (checker.Expr2Polish(check, 1) != ok) std::abort();

  TSearchExpression compiled;
  const bool valid = compiled.Compile(expression, cs, ww);
  const int matched = compiled.Matches(line.Data(), line.Length());
  if (SearchForExpression(line, expression, cs, ww) != matched) std::abort();
  if (!valid) {
    if (matched) std::abort();
    return 0;
  }
  const int plain = PlainEvaluate(parser.Output(), line, cs, ww);
  if (plain != -1 && plain != matched) std::abort();
  if (plain == -1 && matched) std::abort();
  return 0;
}
