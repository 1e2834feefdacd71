#include "tools/json_text.h"

#include <cstdio>

namespace {

bool Continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the valid UTF-8 sequence of several bytes at p (n bytes left),
// or 0 when there is none (overlong forms and surrogates are not valid).
int Utf8Sequence(const unsigned char* p, int n) {
  const unsigned char c = p[0];
  int len;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (n < len || p[1] < low || p[1] > high) return 0;
  for (int i = 2; i < len; ++i)
    if (!Continuation(p[i])) return 0;
  return len;
}

}  // namespace

void AppendJsonString(String& out, const char* text, int n) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  out += '"';
  int i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (c >= 0x80) {
      const int len = Utf8Sequence(p + i, n - i);
      if (len > 0) {
        out.AddData(text + i, len);
        i += len;
        continue;
      }
    }
    char esc[8];
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c >= 0x80) {
          snprintf(esc, sizeof esc, "\\u%04x", c);
          out += esc;
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
}

void TJsonObject::Name(const char* name) {
  if (text_.Length() > 1) text_ += ',';
  AppendJsonString(text_, name, String(name).Length());
  text_ += ':';
}

TJsonObject& TJsonObject::Add(const char* name, const String& value) {
  Name(name);
  AppendJsonString(text_, value.Data(), value.Length());
  return *this;
}

TJsonObject& TJsonObject::Add(const char* name, long long value) {
  Name(name);
  char digits[32];
  snprintf(digits, sizeof digits, "%lld", value);
  text_ += digits;
  return *this;
}

TJsonObject& TJsonObject::Add(const char* name, const std::vector<String>& values) {
  Name(name);
  text_ += '[';
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) text_ += ',';
    AppendJsonString(text_, values[i].Data(), values[i].Length());
  }
  text_ += ']';
  return *this;
}

TJsonObject& TJsonObject::AddNull(const char* name) {
  Name(name);
  text_ += "null";
  return *this;
}
