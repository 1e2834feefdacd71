// Text log tests ("TEST-TextLog", "TEST-TextLog2"): watch a growing text
// file for lines that match a search text or a search expression (see
// monitors/expr.h).
//
// The agent keeps nothing between requests. The server keeps a check state
// per test and sends it with every request:
//   ResumePos    byte offset at which the next check starts reading;
//   CheckedSize  file size at the end of the last complete check (0: none);
//   CheckedAge   file modification time (the 32-bit FileAge value) then.
// A check reads only what follows ResumePos and gives back the position of
// the first matching line (the last one with check-all), the line itself and
// the updated state; CurrentSize is the file's size when the check began, or
// at the moment of the reported match.
//
// How a check reads: lines end at LF or CR (the terminator is not part of
// the line); empty lines are skipped; every byte read counts towards the
// next non-empty line, so ResumePos always stands just after the terminator
// of the last complete non-empty line taken. A last line without its
// terminator is left for the next check. The first check (CheckedSize 0)
// only records the end of the file. An unchanged size and time answer 0
// without opening the file; a file shorter than ResumePos is read again from
// its start.
//
// Thread safety: every function may be called from any thread at once; each
// check uses its own descriptor and buffers.
#ifndef ORV_MONITORS_TEXTLOG_H_
#define ORV_MONITORS_TEXTLOG_H_

#include "base/bytestring.h"
#include "protocol/request.h"

// One search criterion of "TEST-TextLog2".
struct TTextLogFilter {
  String Expression;      // search text or expression, already decoded
  int IsExpression = 0;   // 1: Expression is a search expression; else plain text
  int CaseSensitive = 0;  // nonzero: letters must match in case
  int WholeWords = 0;     // nonzero: a match must not touch a letter or digit
};

// Fills filter from the request: parameter n (decoded from its %0A/%0D
// escapes) is the text, n+1 the expression flag (stored as 1 or 0), n+2 case
// sensitivity, n+3 whole words.
void DecodeFilter(const VQRequest& request, TTextLogFilter& filter, int n);

// How much a check holds in memory. The results do not depend on it, except
// that a line longer than max_line is searched (and reported) on its first
// max_line bytes only; its length still counts in full.
struct TTextLogLimits {
  int block = 1 << 20;      // bytes read per call; the buffer's starting size
  int max_line = 16 << 20;  // the longest line held whole
};

// One check for one search text (isexpression 0) or expression (1).
// Returns -1 with err set ("File \"name\" not found", "Cannot open file",
// "fseek error"), 0 when nothing matched or nothing was read, else the
// position of the match: ResumePos before the matching line plus the
// 1-based position of the text in the line (1 for an expression). line gets
// the whole matching line. The state is updated as described above.
long long CheckFileForExpression(const char* fname, const String& expression, long long& ResumePos,
                                 long long& CheckedSize, long long& CheckedAge, int isexpression,
                                 int checkall, int casesensitive, int wholeword, String& line,
                                 String& err, long long& CurrentSize);
long long CheckFileForExpression(const char* fname, const String& expression, long long& ResumePos,
                                 long long& CheckedSize, long long& CheckedAge, int isexpression,
                                 int checkall, int casesensitive, int wholeword, String& line,
                                 String& err, long long& CurrentSize, const TTextLogLimits& limits);

// The same with a first filter and, when usesecond is nonzero, a second one
// tried on lines the first does not match. FirstMatched becomes 1 when the
// reported line matched the first filter, 0 when it matched the second; it
// is left untouched when nothing matched.
long long CheckFileForExpression2(const char* fname, long long& ResumePos, long long& CheckedSize,
                                  long long& CheckedAge, const TTextLogFilter& first,
                                  const TTextLogFilter& second, int usesecond, int checkall,
                                  int& FirstMatched, String& line, String& err,
                                  long long& CurrentSize);
long long CheckFileForExpression2(const char* fname, long long& ResumePos, long long& CheckedSize,
                                  long long& CheckedAge, const TTextLogFilter& first,
                                  const TTextLogFilter& second, int usesecond, int checkall,
                                  int& FirstMatched, String& line, String& err,
                                  long long& CurrentSize, const TTextLogLimits& limits);

#endif  // ORV_MONITORS_TEXTLOG_H_
