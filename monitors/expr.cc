#include "monitors/expr.h"

#include <cctype>
#include <cstring>

const TPriorityItem PriorityTable1[5] = {
    {"(", 65535, 0}, {"not", 65535, 0}, {")", 1, 65520}, {"and", 1, 1}, {"or", 1, 1}};

namespace {

bool IsBlankByte(char c) {
  return static_cast<unsigned char>(c) <= 0x20;
}
bool IsQuote(char c) {
  return c == '\'' || c == '"';
}
bool IsAlnumByte(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0;
}

// a[0..n) lowered equals b[0..n), b being lower case already.
bool FoldEqual(const char* a, const char* b, long n) {
  for (long i = 0; i < n; ++i)
    if (LoCase(a[i]) != b[i]) return false;
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Parser

TExprParser::TExprParser(const TPriorityItem* table, int tablebytes)
    : table_(table),
      count_(table && tablebytes > 0 ? tablebytes / static_cast<int>(sizeof(TPriorityItem)) : 0) {}

int TExprParser::OperatorAt(const char* s, int pos, int end) const {
  if (s == nullptr || pos < 0) return -1;
  for (int k = 0; k < count_; ++k) {
    const int len = table_[k].name.Length();
    // An operator without a spelling would match everywhere and consume nothing.
    if (len == 0 || len > end - pos) continue;
    if (std::memcmp(s + pos, table_[k].name.Data(), static_cast<size_t>(len)) == 0) return k;
  }
  return -1;
}

int TExprParser::OperatorNamed(const String& token) const {
  for (int k = 0; k < count_; ++k) {
    const String& name = table_[k].name;
    if (name.Length() != 0 && name.Length() == token.Length() &&
        FoldEqual(token.Data(), name.Data(), name.Length()))
      return k;
  }
  return -1;
}

int TExprParser::TokenInPos(const String& text, int position) const {
  if (position < 1) return -1;
  return OperatorAt(text.Data(), position - 1, text.Length());
}

int TExprParser::TokenInPriority(String token) const {
  const int k = OperatorNamed(token);
  return k < 0 ? -1 : table_[k].InPriority;
}

int TExprParser::TokenSPriority(String token) const {
  const int k = OperatorNamed(token);
  return k < 0 ? -1 : table_[k].StackPriority;
}

String TExprParser::NextToken(const char* s, int& pos, int end) {
  String token;
  while (pos < end && IsBlankByte(s[pos])) ++pos;
  if (pos >= end) return token;
  const int op = OperatorAt(s, pos, end);
  if (op >= 0) {
    pos += table_[op].name.Length();
    return table_[op].name;
  }
  if (IsQuote(s[pos])) {
    const void* close = std::memchr(s + pos + 1, s[pos], static_cast<size_t>(end - pos - 1));
    if (close == nullptr) {
      error_ = "Unterminated string: ";
      error_.AddData(s + pos, end - pos);
      return token;
    }
    const int stop = static_cast<int>(static_cast<const char*>(close) - s) + 1;
    token.CopyData(s + pos, stop - pos);
    pos = stop;
    return token;
  }
  int i = pos + 1;
  while (i < end && s[i] != ' ' && OperatorAt(s, i, end) < 0) ++i;
  token.CopyData(s + pos, i - pos);
  pos = i;
  return token;
}

String TExprParser::GetToken(String& expression) {
  expression.Trim();
  int pos = 0;
  String token = NextToken(expression.Data(), pos, expression.Length());
  if (pos > 0) expression.Delete(1, pos);
  return token;
}

int TExprParser::Expr2Polish(String& expression, int checkonly) {
  error_ = "";
  if (!checkonly) output_.Clear();
  auto emit = [&](const String& t) {
    if (!checkonly) output_.Add(t);
  };

  // Tokens are read with a cursor over the text instead of cutting each one
  // off the front, so long expressions cost linear time. Trimming the end
  // once is what trimming the remaining text before every token does to it.
  const char* s = expression.Data();
  int end = expression.Length();
  while (end > 0 && IsBlankByte(s[end - 1])) --end;
  int pos = 0;

  std::vector<int> stack;  // table indices of the waiting operators
  String token = NextToken(s, pos, end);
  while (!token.IsEmpty() && error_.IsEmpty()) {
    const int op = OperatorNamed(token);
    if (op >= 0 && table_[op].InPriority != -1) {
      const int in = table_[op].InPriority;
      while (!stack.empty() && table_[stack.back()].StackPriority >= in) {
        emit(table_[stack.back()].name);
        stack.pop_back();
      }
      if (table_[op].name != ")") {
        stack.push_back(op);
      } else {
        while (!stack.empty() && table_[stack.back()].name != "(") {
          emit(table_[stack.back()].name);
          stack.pop_back();
        }
        if (stack.empty()) {
          error_ = "Missing \"(\"";
          break;
        }
        stack.pop_back();
      }
    } else if (IsQuote(token[1]) || isdecimalnum(token.Data(), token.Length())) {
      emit(token);
    } else {
      error_ = "Unknown operator: \"";
      error_ += token;
      error_ += '"';
      break;
    }
    token = NextToken(s, pos, end);
  }

  String rest;
  if (pos < end) rest.CopyData(s + pos, end - pos);
  expression = rest;

  if (!error_.IsEmpty()) return 0;
  while (!stack.empty()) {
    emit(table_[stack.back()].name);
    stack.pop_back();
  }
  return 1;
}

// ---------------------------------------------------------------------------
// Boolean stack

BoolStack::BoolStack(int capacity)
    : values_(new unsigned char[capacity > 0 ? capacity : 1]),
      capacity_(capacity > 0 ? capacity : 0) {}

BoolStack::~BoolStack() = default;

void BoolStack::Push(int value) {
  if (count_ >= capacity_) {
    error_ = 1;
    return;
  }
  values_[count_++] = value ? 1 : 0;
}

int BoolStack::Pop() {
  if (count_ == 0) {
    error_ = 1;
    return 0;
  }
  return values_[--count_];
}

void BoolStack::Not() {
  if (count_ == 0) {
    error_ = 1;
    return;
  }
  values_[count_ - 1] = values_[count_ - 1] ? 0 : 1;
}

void BoolStack::And() {
  if (count_ < 2) {
    error_ = 1;
    return;
  }
  const unsigned char b = values_[--count_];
  values_[count_ - 1] = (values_[count_ - 1] && b) ? 1 : 0;
}

void BoolStack::Or() {
  if (count_ < 2) {
    error_ = 1;
    return;
  }
  const unsigned char b = values_[--count_];
  values_[count_ - 1] = (values_[count_ - 1] || b) ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Text search

TTextFinder::TTextFinder(const char* what, int length, int casesensitive, int wholeword)
    : what_(what && length > 0 ? std::string(what, static_cast<size_t>(length)) : std::string()),
      casesensitive_(casesensitive),
      wholeword_(wholeword) {
  if (!casesensitive_)
    for (char& c : what_) c = LoCase(c);
}

long TTextFinder::FindRaw(const char* s, long n) const {
  const long m = static_cast<long>(what_.size());
  if (m == 0 || s == nullptr || n < m) return -1;
  if (casesensitive_) {
    const void* p = memmem(s, static_cast<size_t>(n), what_.data(), static_cast<size_t>(m));
    return p ? static_cast<const char*>(p) - s : -1;
  }
  // Candidates are the next lower-case and the next upper-case first letter,
  // each found by memchr and remembered until passed, so that a text full of
  // one case does not make the other one rescan it.
  const char lo = what_[0];
  const char up = UpCase(lo);
  const long last = n - m;  // the last offset where a match can start
  long lo_at = -1;
  long up_at = up == lo ? n : -1;
  long i = 0;
  while (i <= last) {
    if (lo_at < i) {
      const void* p = std::memchr(s + i, lo, static_cast<size_t>(last - i + 1));
      lo_at = p ? static_cast<const char*>(p) - s : n;
    }
    if (up_at < i) {
      const void* p = std::memchr(s + i, up, static_cast<size_t>(last - i + 1));
      up_at = p ? static_cast<const char*>(p) - s : n;
    }
    const long at = lo_at < up_at ? lo_at : up_at;
    if (at > last) return -1;
    if (FoldEqual(s + at + 1, what_.data() + 1, m - 1)) return at;
    i = at + 1;
  }
  return -1;
}

bool TTextFinder::AcceptAt(const char* s, long n, long at) const {
  if (!wholeword_) return true;
  const long after = at + static_cast<long>(what_.size());
  const bool before_ok = at == 0 || !IsAlnumByte(s[at - 1]);
  const bool after_ok = after >= n || !IsAlnumByte(s[after]);
  return before_ok && after_ok;
}

int TTextFinder::Search(const char* s, int n) const {
  if (what_.empty() || s == nullptr || n <= 0) return 0;
  long start = 0;
  while (start < n) {
    const long rel = FindRaw(s + start, n - start);
    if (rel < 0) return 0;
    const long at = start + rel;
    if (AcceptAt(s, n, at)) return static_cast<int>(at + 1);
    start = at + 1;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Compiled expressions

bool TSearchExpression::Compile(const String& expression, int casesensitive, int wholeword) {
  items_.clear();
  valid_ = false;
  TExprParser parser(PriorityTable1, static_cast<int>(sizeof PriorityTable1));
  String work = expression;
  if (!parser.Expr2Polish(work, 0)) return false;
  const TStrList& out = parser.Output();
  items_.reserve(static_cast<size_t>(out.Count()));
  for (int i = 0; i < out.Count(); ++i) {
    const String token = out[i];
    if (token == "not") {
      items_.push_back({kNot, TTextFinder()});
    } else if (token == "and") {
      items_.push_back({kAnd, TTextFinder()});
    } else if (token == "or") {
      items_.push_back({kOr, TTextFinder()});
    } else if (isdecimalnum(token.Data(), token.Length())) {
      // An unquoted number would be searched without its first and last
      // digit; such expressions are refused instead (they match nothing).
      items_.clear();
      return false;
    } else {
      // The quotes go; an operand too short to hold any text (an unmatched
      // "(" left in the output among them) searches for nothing.
      const String text = token.Copy(2, token.Length() - 2);
      items_.push_back({kOperand, TTextFinder(text, casesensitive, wholeword)});
    }
  }
  valid_ = true;
  return true;
}

int TSearchExpression::Matches(const char* line, int n) const {
  if (!valid_) return 0;
  BoolStack stack(static_cast<int>(items_.size()) + 2);
  for (const Item& item : items_) {
    switch (item.kind) {
      case kOperand:
        stack.Push(item.finder.Search(line, n) != 0);
        break;
      case kNot:
        stack.Not();
        break;
      case kAnd:
        stack.And();
        break;
      case kOr:
        stack.Or();
        break;
    }
    if (stack.Error()) return 0;
  }
  return stack.Count() == 1 && stack.Pop() ? 1 : 0;
}

int SearchForExpression(const String& line, const String& expression, int casesensitive,
                        int wholeword) {
  TSearchExpression e;
  if (!e.Compile(expression, casesensitive, wholeword)) return 0;
  return e.Matches(line.Data(), line.Length());
}
