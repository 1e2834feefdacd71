#include "protocol/value_codec.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ValueDecode, SwitchesNumbersAndPorts) {
  for (const char* text : {"1", "01", " 1", "true", "", "0", "1 "})
    EXPECT_EQ(orvDecodeBool(String(text)), std::string(text) == "1") << text;
  EXPECT_EQ(orvDecodeBool(static_cast<const char*>(nullptr)), 0);

  // Checked forms: ok, and the value stored, or 0 and the value untouched;
  // a port also only within 0..65535 (-1: not a port case).
  struct Case {
    const char* text;
    int ok;
    long long value;
    int port_ok;
  } cases[] = {{"12a", 0, 99, 0},      {" 12", 0, 99, 0},
               {"-5", 1, -5, 0},       {"007", 1, 7, 1},
               {"", 1, 0, 1},          {"1-2", 1, 1, 1},
               {"-1", 1, -1, 0},       {"65535", 1, 65535, 1},
               {"65536", 1, 65536, 0}, {"4294967296", 1, 4294967296LL, -1}};
  for (const Case& c : cases) {
    long long v64 = 99;
    int v32 = 99, port = 99;
    EXPECT_EQ(orvDecodeInt64(c.text, &v64), c.ok) << c.text;
    EXPECT_EQ(v64, c.value) << c.text;
    EXPECT_EQ(orvDecodeInt(String(c.text), &v32), c.ok) << c.text;
    if (c.value == static_cast<int>(c.value)) {
      EXPECT_EQ(v32, c.value) << c.text;
    }
    if (c.port_ok < 0) continue;
    EXPECT_EQ(orvDecodePort(c.text, &port), c.port_ok) << c.text;
    EXPECT_EQ(port, c.port_ok ? c.value : 99) << c.text;
  }
  EXPECT_EQ(orvDecodeInt("  42xyz"), 42);
  EXPECT_EQ(orvDecodeInt64("  -9000000000"), -9000000000LL);
}

// Multi-line values: each text encodes to its wire form and back. Only CR
// and LF are escaped, upper-case escapes only are undone.
TEST(MultiLine, EncodeAndDecode) {
  struct Case {
    const char* plain;
    const char* wire;
  } cases[] = {{"one\r\ntwo", "one%0D%0Atwo"},
               {"a\r\nb\nc\r", "a%0D%0Ab%0Ac%0D"},
               {"100%", "100%"},
               {"%0a", "%0a"},
               {"%0B", "%0B"},
               {"end%0", "end%0"},
               {"%\n", "%%0A"},
               {"", ""}};
  for (const Case& c : cases) {
    EXPECT_EQ(orvEncodeStrings(String(c.plain)).ToStd(), c.wire) << c.plain;
    EXPECT_EQ(orvDecodeStrings(String(c.wire)).ToStd(), c.plain) << c.wire;
  }
  EXPECT_EQ(orvEncodeStrings(nullptr, 0).ToStd(), "");
  // A text that already holds the three bytes %0A comes back changed.
  EXPECT_EQ(orvDecodeStrings(orvEncodeStrings(String("x%0Ay"))).ToStd(), "x\ny");
}

}  // namespace
