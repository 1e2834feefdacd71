// Fuzzes the prepared text search against String::Search, which it must
// agree with exactly for every text, line, letter case and whole-word rule.
//
// Input: one byte of switches (bit 0 case-sensitive, bit 1 whole words), one
// byte giving the length of the text (cut to what is there), the text, then
// the line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "monitors/expr.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 8192) return 0;
  const int cs = data[0] & 1;
  const int ww = (data[0] >> 1) & 1;
  size_t tlen = data[1];
  if (tlen > size - 2) tlen = size - 2;
  const char* text = reinterpret_cast<const char*>(data + 2);
  const char* line = text + tlen;
  const int llen = static_cast<int>(size - 2 - tlen);

  String what;
  what.CopyData(text, static_cast<int>(tlen));
  String hay;
  hay.CopyData(line, llen);
  TTextFinder finder(what, cs, ww);
  const int expected = hay.Search(what, cs, ww);
  if (finder.Search(line, llen) != expected) std::abort();

  const long raw = finder.FindRaw(line, llen);
  if (raw != -1 && (raw < 0 || raw > llen - static_cast<long>(tlen))) std::abort();
  if (expected > 0 && (raw < 0 || raw + 1 > expected)) std::abort();
  return 0;
}
