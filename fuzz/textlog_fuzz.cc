// Fuzzes the text-log check on arbitrary file contents.
//
// Input: a byte of switches (bit 0 expression, bit 1 check-all, bit 2 case-
// sensitive, bit 3 whole words, bit 4 second filter), a byte choosing the
// read block size, the search text up to the first zero byte, then the file
// contents, split in two at a point chosen by their first byte.
//
// The first part is written and checked (which records its end), the second
// is appended and checked again, then the file is cut short and checked a
// third time. Every check runs twice, once with a block that holds the whole
// input and once with a tiny one; the answers must be the same, since the
// block size only changes how the file is read. (The agent's 1 MiB block
// would cost a fresh mapping per check and slow the fuzzer down a hundredfold
// without reaching any other code.)
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_util.h"
#include "monitors/textlog.h"

namespace {

struct State {
  long long resume = 0;
  long long size = 0;
  long long age = 0;
  long long current = 0;
  long long result = 0;
  int first_matched = -1;
  String line;
  String err;

  bool operator==(const State& o) const {
    return resume == o.resume && size == o.size && age == o.age && current == o.current &&
           result == o.result && first_matched == o.first_matched && line == o.line &&
           err == o.err;
  }
};

void Check(const std::string& path, const TTextLogFilter& first, const TTextLogFilter& second,
           int usesecond, int checkall, const TTextLogLimits& limits, State& s) {
  s.result = CheckFileForExpression2(path.c_str(), s.resume, s.size, s.age, first, second,
                                     usesecond, checkall, s.first_matched, s.line, s.err,
                                     s.current, limits);
}

// Runs one check with both limits from the same state and compares.
void CheckBoth(const std::string& path, const TTextLogFilter& first,
               const TTextLogFilter& second, int usesecond, int checkall,
               const TTextLogLimits& small, State& s) {
  State other = s;
  TTextLogLimits whole;
  whole.block = 16384;
  Check(path, first, second, usesecond, checkall, whole, s);
  Check(path, first, second, usesecond, checkall, small, other);
  if (!(s == other)) std::abort();
  if (s.result > 0 && s.line.Length() == 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3 || size > 16384) return 0;
  static const std::string path = fuzzutil::ScratchFile("text.log");
  const uint8_t flags = data[0];
  TTextLogLimits small;
  small.block = 1 + data[1] % 32;
  const char* rest = reinterpret_cast<const char*>(data + 2);
  const size_t n = size - 2;
  const char* zero = static_cast<const char*>(std::memchr(rest, 0, n));
  if (zero == nullptr) return 0;

  TTextLogFilter first;
  first.Expression.CopyData(rest, static_cast<int>(zero - rest));
  first.IsExpression = flags & 1;
  first.CaseSensitive = (flags >> 2) & 1;
  first.WholeWords = (flags >> 3) & 1;
  TTextLogFilter second;
  second.Expression = "'error' or warn";
  second.IsExpression = 1;
  const int usesecond = (flags >> 4) & 1;
  const int checkall = (flags >> 1) & 1;

  const uint8_t* body = reinterpret_cast<const uint8_t*>(zero + 1);
  const size_t blen = n - static_cast<size_t>(zero - rest) - 1;
  const size_t split = blen == 0 ? 0 : body[0] % (blen + 1);

  fuzzutil::WriteBytes(path, body, split, false);
  State s;
  CheckBoth(path, first, second, usesecond, checkall, small, s);
  fuzzutil::WriteBytes(path, body + split, blen - split, true);
  CheckBoth(path, first, second, usesecond, checkall, small, s);
  CheckBoth(path, first, second, usesecond, checkall, small, s);
  fuzzutil::WriteBytes(path, body, split / 2, false);
  CheckBoth(path, first, second, usesecond, checkall, small, s);
  return 0;
}
