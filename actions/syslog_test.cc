// The time stamp of a syslog datagram for times a test cannot choose through
// the agent (the datagram itself is checked end to end).
#include "actions/syslog.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(SyslogDateTimeTest, Formats) {
  struct Case {
    int mon, mday, hour, min, sec;
    const char* want;
  } cases[] = {
      {2, 5, 9, 7, 3, "Mar  5 09:07:03"},       // one-digit day: two blanks
      {10, 15, 23, 59, 58, "Nov 15 23:59:58"},  // two-digit day: one blank
      {0, 1, 0, 0, 0, "Jan  1 00:00:00"},
      {11, 31, 12, 0, 9, "Dec 31 12:00:09"},
      {9, 10, 1, 2, 3, "Oct 10 01:02:03"},  // a zero that is not leading stays
      {12, 1, 0, 0, 0, "???  1 00:00:00"},  // nothing read past the month names
      {-1, 1, 0, 0, 0, "???  1 00:00:00"},
  };
  for (const Case& c : cases) {
    struct tm t = {};
    t.tm_mon = c.mon;
    t.tm_mday = c.mday;
    t.tm_hour = c.hour;
    t.tm_min = c.min;
    t.tm_sec = c.sec;
    EXPECT_EQ(CDateTime(t).ToStd(), c.want);
  }
}

}  // namespace
