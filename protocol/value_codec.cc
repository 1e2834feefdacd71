#include "protocol/value_codec.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "base/net.h"

const char* const BoolConst[2] = {"0", "1"};

int orvDecodeInt(const char* text) { return text ? std::atoi(text) : 0; }
int orvDecodeInt(String text) { return orvDecodeInt(text.CStr()); }
long long orvDecodeInt64(const char* text) { return text ? std::atoll(text) : 0; }
long long orvDecodeInt64(String text) { return orvDecodeInt64(text.CStr()); }
double orvDecodeReal(const char* text) { return text ? std::atof(text) : 0.0; }
double orvDecodeReal(String text) { return orvDecodeReal(text.CStr()); }
int orvDecodeBool(const char* text) { return text && std::strcmp(text, "1") == 0 ? 1 : 0; }
int orvDecodeBool(String text) { return orvDecodeBool(text.CStr()); }

int orvDecodeInt(const char* text, int* value) {
  long long wide = 0;
  if (!orvDecodeInt64(text, &wide) || wide < INT_MIN || wide > INT_MAX) return 0;
  *value = static_cast<int>(wide);
  return 1;
}

int orvDecodeInt(String text, int* value) { return orvDecodeInt(text.CStr(), value); }

int orvDecodePort(String text, int* port) {
  int value = 0;
  if (!orvDecodeInt(text, &value) || value < 0 || value > kMaxPort) return 0;
  *port = value;
  return 1;
}

int orvDecodeInt64(const char* text, long long* value) {
  if (text == nullptr) text = "";
  if (!isdecimalnum(text)) return 0;
  // A number past the range is refused rather than cut: "4294967296" must
  // not pass as port 0.
  errno = 0;
  long long parsed = std::strtoll(text, nullptr, 10);
  if (errno == ERANGE) return 0;
  *value = parsed;
  return 1;
}

int orvDecodeInt64(String text, long long* value) { return orvDecodeInt64(text.CStr(), value); }

struct tm orvDecodeTime(const char* text) {
  struct tm t;
  std::memset(&t, 0, sizeof t);
  if (text == nullptr || std::strlen(text) != 14) return t;
  auto two = [text](int at) { return (text[at] - '0') * 10 + (text[at + 1] - '0'); };
  t.tm_mday = two(0);
  t.tm_mon = two(2);
  t.tm_year = two(4) * 100 + two(6);
  t.tm_hour = two(8);
  t.tm_min = two(10);
  t.tm_sec = two(12);
  return t;
}

struct tm orvDecodeTime(String text) { return orvDecodeTime(text.CStr()); }

String orvEncodeStrings(const char* text, int length) {
  String out;
  if (text == nullptr) return out;
  if (length == 0) length = static_cast<int>(std::strlen(text));
  int run = 0;  // start of the pending run of bytes copied unchanged
  for (int i = 0; i < length; ++i) {
    if (text[i] != '\n' && text[i] != '\r') continue;
    out.AddData(text + run, i - run);
    out.AddData(text[i] == '\n' ? "%0A" : "%0D", 3);
    run = i + 1;
  }
  out.AddData(text + run, length - run);
  return out;
}

String orvEncodeStrings(const String& text) {
  if (text.Length() == 0) return String();
  return orvEncodeStrings(text.Data(), text.Length());
}

String orvDecodeStrings(const char* text, int length) {
  String out;
  if (text == nullptr) return out;
  if (length == 0) length = static_cast<int>(std::strlen(text));
  int run = 0;
  for (int i = 0; i + 2 < length; ++i) {
    if (text[i] != '%' || text[i + 1] != '0' || (text[i + 2] != 'A' && text[i + 2] != 'D')) continue;
    out.AddData(text + run, i - run);
    out.AddChar(text[i + 2] == 'A' ? '\n' : '\r');
    run = i + 3;
    i += 2;
  }
  out.AddData(text + run, length - run);
  return out;
}

String orvDecodeStrings(const String& text) {
  if (text.Length() == 0) return String();
  return orvDecodeStrings(text.Data(), text.Length());
}
