#include "protocol/reply.h"

#include <cstdarg>
#include <cstdio>

#include "protocol/value_codec.h"

ORVReply::ORVReply() { session_key_.MarkSecret(); }

ORVReply& ORVReply::operator=(const char* text) {
  String::operator=(text);
  return *this;
}

ORVReply& ORVReply::operator=(const String& text) {
  String::operator=(text);
  return *this;
}

void ORVReply::InitPacket(const char* header, const String& key,
                          std::shared_ptr<const TPacketKey> prepared) {
  String::operator=("");
  if (header != nullptr) {
    *this += header;
    *this += '\n';
  }
  session_key_ = key;
  prepared_ = std::move(prepared);
}

ORVReply& ORVReply::SetResult(const char* code) {
  String::operator=("");
  if (code != nullptr) {
    *this += code;
    *this += '\n';
  }
  return *this;
}

void ORVReply::CommandSeparatorCheck() {
  if (Length() > 0 && Data()[Length() - 1] != '\n') AddChar('\n');
}

void ORVReply::AddStringParam(const String& value, int encode) {
  CommandSeparatorCheck();
  if (encode)
    *this += orvEncodeStrings(value);
  else
    *this += value;
  AddChar('\n');
}

void ORVReply::AddStringParam(const char* value, int encode) {
  AddStringParam(String(value), encode);
}

void ORVReply::AddBoolParam(int value) {
  CommandSeparatorCheck();
  *this += value ? "1\n" : "0\n";
}

namespace {

// Writes value in decimal at least `digits` digits long (zero-padded) and
// right-aligned in at least `width` characters (space-padded), as printf's
// "%*.*lld" does, and returns the end. Every reply carries a few numbers;
// printf's general machinery cost more than the rest of a short reply.
char* PutDecimal(char* out, long long value, int width, int digits) {
  char rev[24];
  int n = 0;
  unsigned long long u = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                   : static_cast<unsigned long long>(value);
  do {
    rev[n++] = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u != 0);
  while (n < digits) rev[n++] = '0';
  if (value < 0) rev[n++] = '-';
  for (int pad = width - n; pad > 0; --pad) *out++ = ' ';
  while (n > 0) *out++ = rev[--n];
  return out;
}

}  // namespace

void ORVReply::AddIntParam(int value) {
  char buf[32];
  *PutDecimal(buf, value, 0, 1) = 0;
  AddStringParam(buf, 0);
}

void ORVReply::AddIntParam(long long value) {
  char buf[32];
  *PutDecimal(buf, value, 6, 1) = 0;
  AddStringParam(buf, 0);
}

void ORVReply::AddRealParam(double value) {
  char buf[35];
  snprintf(buf, sizeof buf, "%6.4f", value);
  AddStringParam(buf, 0);
}

void ORVReply::AddTimeParam(const long& t) {
  time_t tt = static_cast<time_t>(t);
  struct tm lt;
  if (localtime_r(&tt, &lt) == nullptr) {
    struct tm zero = {};
    lt = zero;
  }
  AddTimeParam(lt);
}

void ORVReply::AddTimeParam(const struct tm& t) {
  // DDMMYYYYhhmmss: each field zero-padded to its width, as "%2.2d" and
  // "%4.4d" pad it.
  char buf[160];
  char* p = PutDecimal(buf, t.tm_mday, 2, 2);
  p = PutDecimal(p, t.tm_mon + 1, 2, 2);
  p = PutDecimal(p, t.tm_year + 1900LL, 4, 4);
  p = PutDecimal(p, t.tm_hour, 2, 2);
  p = PutDecimal(p, t.tm_min, 2, 2);
  *PutDecimal(p, t.tm_sec, 2, 2) = 0;
  AddStringParam(buf, 0);
}

void ORVReply::AddVarParams(const char* format, ...) {
  char buf[2048];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  if (n < 0 || n > static_cast<int>(sizeof buf)) return;
  AddStringParam(buf, 0);  // a result of exactly 2048 bytes arrives cut to 2047
}

void ORVReply::FinalizePacket() {
  CommandSeparatorCheck();
  AddChar('\r');
  if (prepared_)
    EncodeInPlace(*this, *prepared_, 4);
  else
    EncodeInPlace(*this, TPacketKey(session_key_), 4);
}
