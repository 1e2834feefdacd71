#include "protocol/reply.h"

#include <cstdarg>
#include <cstdio>

#include "protocol/value_codec.h"

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

void ORVReply::AddIntParam(int value) {
  char buf[16];
  snprintf(buf, sizeof buf, "%d", value);
  AddStringParam(buf, 0);
}

void ORVReply::AddIntParam(long long value) {
  char buf[35];
  snprintf(buf, sizeof buf, "%6lld", value);
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
  char buf[64];
  snprintf(buf, sizeof buf, "%2.2d%2.2d%4.4d%2.2d%2.2d%2.2d", t.tm_mday, t.tm_mon + 1,
           t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
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
  String packet = prepared_ ? EncodeData(*this, *prepared_, 4) : EncodeData(*this, session_key_, 4);
  String::operator=(packet);
}
