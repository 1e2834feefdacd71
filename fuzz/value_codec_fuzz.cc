// Fuzzes the value decoders: integers (plain and checked), reals, switches,
// the 14-digit time form and the %0A/%0D line escapes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "protocol/value_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  const char* bytes = reinterpret_cast<const char*>(data);
  String text;
  text.CopyData(bytes, static_cast<int>(size));
  const char* z = text.CStr();  // cut at the first zero byte, as a parameter would be

  orvDecodeInt(z);
  orvDecodeInt64(z);
  orvDecodeReal(z);
  orvDecodeInt(text);
  int bool_value = orvDecodeBool(z);
  if (bool_value != (std::strcmp(z, "1") == 0)) std::abort();

  int i = 7;
  if (!orvDecodeInt(z, &i) && i != 7) std::abort();
  long long ll = 7;
  if (!orvDecodeInt64(z, &ll) && ll != 7) std::abort();

  struct tm t = orvDecodeTime(z);
  if (std::strlen(z) != 14 && (t.tm_year != 0 || t.tm_mday != 0 || t.tm_sec != 0)) std::abort();

  String encoded = orvEncodeStrings(text);
  String decoded = orvDecodeStrings(encoded);
  if (encoded.Pos('\n') != 0 || encoded.Pos('\r') != 0) std::abort();
  // Without a '%' in the text no escape can be mistaken, so the round trip
  // must give the text back.
  if (text.Pos('%') == 0 && decoded != text) std::abort();
  String once = orvDecodeStrings(text);
  if (once.Length() > text.Length()) std::abort();
  orvDecodeStrings(z, 0);  // the strlen forms
  orvEncodeStrings(z, 0);
  return 0;
}
