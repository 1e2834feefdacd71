#include "tools/plugin_range.h"

#include <gtest/gtest.h>

namespace {

TEST(PluginRange, AlertsByTheUsualSemantics) {
  const struct {
    const char* range;
    double value;
    bool alerts;
  } rows[] = {
      {"10", -1, true},    {"10", 0, false},     {"10", 10, false},   {"10", 10.5, true},
      {"10:", 9.99, true}, {"10:", 10, false},   {"10:", 1e9, false}, {"~:10", -1e9, false},
      {"~:10", 10, false}, {"~:10", 11, true},   {"10:20", 9, true},  {"10:20", 10, false},
      {"10:20", 20, false}, {"10:20", 21, true}, {"@10:20", 9, false}, {"@10:20", 10, true},
      {"@10:20", 20, true}, {"@10:20", 21, false}, {":5", -1, true},  {"-5:-1", -3, false},
      {"1.5:2.5", 2.6, true}, {"@~:0", -4, true},
  };
  for (const auto& row : rows) {
    TPluginRange r;
    String err;
    ASSERT_TRUE(r.Parse(row.range, err)) << row.range << ": " << err.ToStd();
    EXPECT_EQ(r.Alerts(row.value), row.alerts) << row.range << " with " << row.value;
  }
}

TEST(PluginRange, RefusesWhatIsNoRange) {
  for (const char* text : {"", "@", ":", "abc", "10x", "20:10", "0x10", "inf", "nan:", "1:2:3", "~"}) {
    TPluginRange r;
    String err;
    EXPECT_FALSE(r.Parse(text, err)) << text;
    EXPECT_FALSE(err.IsEmpty()) << text;
  }
}

TEST(PluginRange, NumbersOfReplyValues) {
  double v = 0;
  EXPECT_TRUE(ParsePluginNumber("    42", v) && v == 42);
  EXPECT_TRUE(ParsePluginNumber("0.2500", v) && v == 0.25);
  EXPECT_FALSE(ParsePluginNumber("05032024090703x", v) || ParsePluginNumber("", v));
}

}  // namespace
