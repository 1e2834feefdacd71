// Text log tests ("TEST-TextLog", "TEST-TextLog2"): watch a growing text
// file for lines that match a search text or a search expression (see
// monitors/expr.h).
//
// The server keeps a check state per test and sends it with every request:
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
// terminator is left for the next check. A NUL byte ends a line too, so the
// NUL run a writer without O_APPEND leaves in a truncated log is skipped as
// empty lines. The first check (CheckedSize 0) only records the end of the
// file. An unchanged size and time answer 0 without opening the file; a file
// shorter than ResumePos is read again from its start.
//
// Rotation: the agent remembers which file each position it returned lies in
// (monitors/log_positions.h). When a request brings back a known position
// and the log was renamed away or truncated since, the check reads the rest
// of the rotated file, found in the same folder, and then the new log from
// its start, as one stream with the usual filters and limits; the returned
// position may then lie in the rotated file. A known log found empty is
// answered with ResumePos 0, CheckedSize 1 and CheckedAge 0, so the next
// check reads it from its start instead of treating it as a first check. A
// rotated file that can no longer be found (compressed, removed) means the
// new log is read from its start, with a log line saying that lines may have
// been missed. A position the agent does not know is checked as above.
//
// Thread safety: every function may be called from any thread at once; each
// check uses its own descriptors and buffers, and the table of positions is
// guarded by its own lock.
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
