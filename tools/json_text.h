// Writing JSON text: strings from arbitrary bytes, and one flat object per
// line for orvq --json.
//
// Reply values are bytes, not necessarily UTF-8. Valid UTF-8 passes through;
// every byte that does not belong to a valid UTF-8 sequence is written as the
// character with the same number (\u0080 to \u00ff), so that the output is
// always valid JSON and text in Latin-1 still reads right.
//
// Thread safety: plain values.
#ifndef ORV_TOOLS_JSON_TEXT_H_
#define ORV_TOOLS_JSON_TEXT_H_

#include <vector>

#include "base/bytestring.h"

// Appends the n bytes of text as a JSON string, quotes included.
void AppendJsonString(String& out, const char* text, int n);

// One JSON object, members in the order they are added.
class TJsonObject {
 public:
  TJsonObject& Add(const char* name, const String& value);
  TJsonObject& Add(const char* name, long long value);
  TJsonObject& Add(const char* name, const std::vector<String>& values);
  TJsonObject& AddNull(const char* name);
  // The object's text, closed.
  String Text() const { return text_ + "}"; }

 private:
  void Name(const char* name);
  String text_ = "{";
};

#endif  // ORV_TOOLS_JSON_TEXT_H_
