#include "protocol/value_codec.h"

#include <gtest/gtest.h>

namespace {

TEST(ValueDecode, BoolIsTrueOnlyForExactOne) {
  struct Case {
    const char* text;
    int want;
  } cases[] = {{"1", 1}, {"01", 0}, {" 1", 0}, {"true", 0}, {"", 0}, {"0", 0}, {"1 ", 0}};
  for (const auto& c : cases) {
    EXPECT_EQ(orvDecodeBool(c.text), c.want) << c.text;
    EXPECT_EQ(orvDecodeBool(String(c.text)), c.want) << c.text;
  }
  EXPECT_EQ(orvDecodeBool(static_cast<const char*>(nullptr)), 0);
}

TEST(ValueDecode, CheckedIntegers) {
  struct Case {
    const char* text;
    int ok;
    long long value;
  } cases[] = {{"12a", 0, 99}, {" 12", 0, 99}, {"-5", 1, -5}, {"007", 1, 7},
               {"", 1, 0},     {"1-2", 1, 1},  {"4294967296", 1, 4294967296LL}};
  for (const auto& c : cases) {
    long long v64 = 99;
    EXPECT_EQ(orvDecodeInt64(c.text, &v64), c.ok) << c.text;
    EXPECT_EQ(v64, c.value) << c.text;
    int v32 = 99;
    EXPECT_EQ(orvDecodeInt(String(c.text), &v32), c.ok) << c.text;
    if (c.ok && c.value == static_cast<int>(c.value)) {
      EXPECT_EQ(v32, c.value) << c.text;
    }
    if (!c.ok) {
      EXPECT_EQ(v32, 99) << c.text;
    }
  }
}

TEST(ValueDecode, PortsStayWithinSixteenBits) {
  struct Case {
    const char* text;
    int ok;
  } cases[] = {{"0", 1}, {"65535", 1}, {"65536", 0}, {"-1", 0}, {"70000", 0}, {"x", 0}};
  for (const auto& c : cases) {
    int port = 99;
    EXPECT_EQ(orvDecodePort(c.text, &port), c.ok) << c.text;
    if (!c.ok) {
      EXPECT_EQ(port, 99) << c.text;
    }
  }
}

TEST(ValueDecode, PlainNumbersFollowTheCLibrary) {
  EXPECT_EQ(orvDecodeInt("  42xyz"), 42);
  EXPECT_EQ(orvDecodeInt64("  -9000000000"), -9000000000LL);
  EXPECT_DOUBLE_EQ(orvDecodeReal("2.5abc"), 2.5);
}

TEST(ValueDecode, TimeNeedsExactlyFourteenBytes) {
  struct tm t = orvDecodeTime("05032024090703");
  EXPECT_EQ(t.tm_mday, 5);
  EXPECT_EQ(t.tm_mon, 3);
  EXPECT_EQ(t.tm_year, 2024);
  EXPECT_EQ(t.tm_hour, 9);
  EXPECT_EQ(t.tm_min, 7);
  EXPECT_EQ(t.tm_sec, 3);
  for (const char* bad : {"0503202409070", "050320240907031", ""}) {
    struct tm z = orvDecodeTime(String(bad));
    EXPECT_EQ(z.tm_mday + z.tm_mon + z.tm_year + z.tm_hour + z.tm_min + z.tm_sec, 0) << bad;
  }
}

TEST(MultiLine, EncodeEscapesLineBreaksOnly) {
  EXPECT_EQ(orvEncodeStrings(String("one\r\ntwo")).ToStd(), "one%0D%0Atwo");
  EXPECT_EQ(orvEncodeStrings(String("100%")).ToStd(), "100%");
  EXPECT_EQ(orvEncodeStrings(nullptr, 0).ToStd(), "");
}

TEST(MultiLine, DecodeUndoesUpperCaseEscapesOnly) {
  struct Case {
    const char* text;
    const char* want;
  } cases[] = {
      {"one%0D%0Atwo", "one\r\ntwo"}, {"%0a", "%0a"}, {"%0B", "%0B"},
      {"end%0", "end%0"},             {"%%0A", "%\n"}, {"%0A%0A", "\n\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(orvDecodeStrings(String(c.text)).ToStd(), c.want) << c.text;
}

TEST(MultiLine, RoundTripAndItsOneLimit) {
  String text("a\r\nb\nc\r");
  EXPECT_EQ(orvDecodeStrings(orvEncodeStrings(text)), text);
  // A text that already holds the three bytes %0A comes back changed.
  EXPECT_EQ(orvDecodeStrings(orvEncodeStrings(String("x%0Ay"))).ToStd(), "x\ny");
}

}  // namespace
