#include "tools/plugin_range.h"

#include <gtest/gtest.h>

namespace {

TEST(PluginRange, AlertsByTheUsualSemanticsAndRefusesWhatIsNoRange) {
  const struct {
    const char* range;
    double value;
    int alerts;  // -1: no range
  } rows[] = {
      {"10", -1, 1},       {"10", 0, 0},      {"10", 10, 0},     {"10", 10.5, 1},  {"10:", 9.99, 1},
      {"10:", 10, 0},      {"10:", 1e9, 0},   {"~:10", -1e9, 0}, {"~:10", 10, 0},  {"~:10", 11, 1},
      {"10:20", 9, 1},     {"10:20", 10, 0},  {"10:20", 20, 0},  {"10:20", 21, 1}, {"@10:20", 9, 0},
      {"@10:20", 10, 1},   {"@10:20", 20, 1}, {"@10:20", 21, 0}, {":5", -1, 1},    {"-5:-1", -3, 0},
      {"1.5:2.5", 2.6, 1}, {"@~:0", -4, 1},   {"", 0, -1},       {"@", 0, -1},     {":", 0, -1},
      {"abc", 0, -1},      {"10x", 0, -1},    {"20:10", 0, -1},  {"0x10", 0, -1},  {"inf", 0, -1},
      {"nan:", 0, -1},     {"1:2:3", 0, -1},  {"~", 0, -1},
  };
  for (const auto& row : rows) {
    TPluginRange r;
    String err;
    ASSERT_EQ(r.Parse(row.range, err), row.alerts >= 0) << row.range << ": " << err.ToStd();
    EXPECT_EQ(err.IsEmpty(), row.alerts >= 0) << row.range;
    EXPECT_TRUE(row.alerts < 0 || r.Alerts(row.value) == (row.alerts == 1))
        << row.range << " " << row.value;
  }
}

TEST(PluginRange, NumbersOfReplyValues) {
  double v = 0;
  EXPECT_TRUE(ParsePluginNumber("    42", v) && v == 42);
  EXPECT_TRUE(ParsePluginNumber("0.2500", v) && v == 0.25);
  EXPECT_FALSE(ParsePluginNumber("05032024090703x", v) || ParsePluginNumber("", v));
}

}  // namespace
