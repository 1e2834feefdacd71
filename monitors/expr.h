// Search expressions: boolean expressions over quoted search strings that
// describe the lines a text-log test looks for, for example
//
//   'error' and not ("disk" or 'net')
//
// A quoted string (single or double quotes, no escapes) stands for the
// statement "its text occurs in the line". "and" and "or" bind equally and
// group from left to right; "not" applies to everything after it up to the
// end of its parenthesised group or of the expression ("not a or b" means
// "not (a or b)"). Lower-case operators need no blanks around them; an
// operator in other letter case (AND) is recognised only as a word of its
// own between blanks.
//
// TExprParser turns an expression into postfix form with a table-driven
// operator-precedence parser (the table is PriorityTable1); BoolStack
// evaluates the postfix form; TSearchExpression converts once and then tests
// any number of lines; SearchForExpression does both for one line.
//
// Hostile expressions cost time and memory linear in their length: the
// parser keeps its operator stack in a vector, nothing recurses.
//
// Thread safety: PriorityTable1 is constant once the program has started and
// may be read by any thread. TExprParser and BoolStack objects belong to one
// thread at a time. A compiled TSearchExpression and a TTextFinder are
// read-only in use: their const members may run on several threads at once.
#ifndef ORV_MONITORS_EXPR_H_
#define ORV_MONITORS_EXPR_H_

#include <memory>
#include <string>
#include <vector>

#include "base/bytestring.h"

// One operator of a parser table.
struct TPriorityItem {
  String name;        // its spelling, lower case
  int InPriority;     // its priority when it arrives in the input
  int StackPriority;  // its priority while it waits on the operator stack
};

// The operators of search expressions, in the order in which they are
// recognised: "(", "not", ")", "and", "or".
extern const TPriorityItem PriorityTable1[5];

class TExprParser {
 public:
  // tablebytes: the size of the table in bytes (sizeof of the array).
  TExprParser(const TPriorityItem* table, int tablebytes);

  // Removes the next token from the front of expression (trimmed first) and
  // returns it; an empty token at the end of the input or, with Error() set
  // to "Unterminated string: ..." , at a quote that is never closed.
  String GetToken(String& expression);
  // Index of the first table entry whose name is spelled exactly at the
  // 1-based position of text, or -1.
  int TokenInPos(const String& text, int position) const;
  // The lower-cased token's priorities, or -1 when it is not an operator.
  int TokenInPriority(String token) const;
  int TokenSPriority(String token) const;
  // Converts expression to postfix form in Output() (one token per entry,
  // operands with their quotes) and returns 1; or returns 0 with Error() set
  // to "Unterminated string: ...", "Unknown operator: \"...\"" or
  // "Missing \"(\"". The expression is consumed (left holding what was not
  // read). With checkonly non-zero Output() is neither cleared nor filled.
  int Expr2Polish(String& expression, int checkonly);

  const TStrList& Output() const { return output_; }
  const String& Error() const { return error_; }

 private:
  // The entry spelled at s[pos] (s has end bytes), or -1.
  int OperatorAt(const char* s, int pos, int end) const;
  // The entry named by token, compared without regard to ASCII case.
  int OperatorNamed(const String& token) const;
  // GetToken on s[pos..end) where end excludes trailing blanks; advances pos.
  String NextToken(const char* s, int& pos, int end);

  const TPriorityItem* table_;
  int count_;
  TStrList output_;
  String error_;
};

// A stack of boolean values of fixed capacity. Any operation that would
// overflow or underflow it sets the error flag and does nothing else.
class BoolStack {
 public:
  explicit BoolStack(int capacity);
  ~BoolStack();
  BoolStack(const BoolStack&) = delete;
  BoolStack& operator=(const BoolStack&) = delete;

  void Push(int value);
  int Pop();  // 0 (and the error flag) when empty
  void Not();
  void And();
  void Or();
  int Count() const { return count_; }
  int Error() const { return error_; }

 private:
  std::unique_ptr<unsigned char[]> values_;
  int count_ = 0;
  int capacity_;
  int error_ = 0;
};

// A prepared search for one text with the rules of String::Search: letters
// compared without regard to ASCII case unless casesensitive, and with
// wholeword a match must not touch a letter or digit on either side.
class TTextFinder {
 public:
  TTextFinder() = default;
  TTextFinder(const char* what, int length, int casesensitive, int wholeword);
  TTextFinder(const String& what, int casesensitive, int wholeword)
      : TTextFinder(what.Data(), what.Length(), casesensitive, wholeword) {}

  // The 1-based position of the first accepted match in the n bytes at s,
  // or 0; exactly what String(s, n).Search(what, ...) gives.
  int Search(const char* s, int n) const;
  // The offset of the first occurrence of the text in s[0..n), whole word or
  // not, or -1. An empty text is never found.
  long FindRaw(const char* s, long n) const;
  // Whether the occurrence at offset at of s[0..n) stands as a whole word
  // (always true when wholeword is off).
  bool AcceptAt(const char* s, long n, long at) const;

  int Length() const { return static_cast<int>(what_.size()); }
  bool Contains(char c) const { return what_.find(c) != std::string::npos; }

 private:
  std::string what_;  // lower-cased when not casesensitive
  int casesensitive_ = 1;
  int wholeword_ = 0;
};

// An expression converted once, then tested against many lines. Operands
// made only of digits are refused (see Compile); a refused or malformed
// expression matches no line.
class TSearchExpression {
 public:
  // Converts expression; false when it is malformed or holds an operand that
  // is an unquoted number.
  bool Compile(const String& expression, int casesensitive, int wholeword);
  // 1 when the n bytes at line satisfy the expression, else 0.
  int Matches(const char* line, int n) const;
  bool Valid() const { return valid_; }

 private:
  enum Kind { kOperand, kNot, kAnd, kOr };
  struct Item {
    Kind kind;
    TTextFinder finder;  // operands only
  };
  std::vector<Item> items_;
  bool valid_ = false;
};

// 1 when line satisfies expression, 0 when it does not or when the
// expression is malformed.
int SearchForExpression(const String& line, const String& expression, int casesensitive,
                        int wholeword);

#endif  // ORV_MONITORS_EXPR_H_
