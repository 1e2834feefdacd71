#include "tools/json_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Json(const std::string& bytes) {
  String out;
  AppendJsonString(out, bytes.data(), static_cast<int>(bytes.size()));
  return out.ToStd();
}

// Objects are left to the end-to-end test of orvq, which compares its whole
// lines.
TEST(JsonText, StringsFromArbitraryBytes) {
  const struct {
    std::string bytes;
    const char* json;
  } rows[] = {
      {"", "\"\""},
      {"plain text", "\"plain text\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"l1\nl2\r\t", "\"l1\\nl2\\r\\t\""},
      {std::string("\0\x01\x1f\x7f", 4), "\"\\u0000\\u0001\\u001f\x7f\""},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
       "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
      {"Latin-1 \xe9t\xe9", "\"Latin-1 \\u00e9t\\u00e9\""},  // not UTF-8: byte by byte
      {"\xc0\xaf", "\"\\u00c0\\u00af\""},                    // overlong "/"
      {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},         // a surrogate
      {"cut \xe2\x82", "\"cut \\u00e2\\u0082\""},            // sequence cut at the end
  };
  for (const auto& row : rows) EXPECT_EQ(Json(row.bytes), row.json);
}

}  // namespace
