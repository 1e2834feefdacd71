#include "actions/syslog.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct tm MakeTm(int mon, int mday, int hour, int min, int sec) {
  struct tm t = {};
  t.tm_mon = mon;
  t.tm_mday = mday;
  t.tm_hour = hour;
  t.tm_min = min;
  t.tm_sec = sec;
  return t;
}

TEST(SyslogDateTimeTest, Formats) {
  struct Case {
    struct tm t;
    const char* want;
  } cases[] = {
      {MakeTm(2, 5, 9, 7, 3), "Mar  5 09:07:03"},       // one-digit day: two blanks
      {MakeTm(10, 15, 23, 59, 58), "Nov 15 23:59:58"},  // two-digit day: one blank
      {MakeTm(0, 1, 0, 0, 0), "Jan  1 00:00:00"},
      {MakeTm(11, 31, 12, 0, 9), "Dec 31 12:00:09"},
      {MakeTm(9, 10, 1, 2, 3), "Oct 10 01:02:03"},  // a zero that is not leading stays
  };
  for (const Case& c : cases) EXPECT_EQ(CDateTime(c.t).ToStd(), c.want);
}

TEST(SyslogDateTimeTest, MonthOutOfRangeDoesNotReadPastTable) {
  EXPECT_EQ(CDateTime(MakeTm(12, 1, 0, 0, 0)).ToStd(), "???  1 00:00:00");
  EXPECT_EQ(CDateTime(MakeTm(-1, 1, 0, 0, 0)).ToStd(), "???  1 00:00:00");
}

TEST(SyslogDateTimeTest, NowHasFixedShape) {
  std::string s = CDateTime().ToStd();
  ASSERT_EQ(s.size(), 15u);
  EXPECT_EQ(s[3], ' ');
  EXPECT_EQ(s[6], ' ');
  EXPECT_EQ(s[9], ':');
  EXPECT_EQ(s[12], ':');
}

TEST(SyslogPacketTest, PriorityIsFacilityTimesEightPlusSeverity) {
  struct Case {
    int facility;
    TSyslogSeverity severity;
    const char* head;
  } cases[] = {
      {4, slCritical, "<34>"},    {23, slDebug, "<191>"},
      {30, slEmergency, "<240>"},  // out-of-range facility is sent as given
      {0, slEmergency, "<0>"},    {2000000000, slDebug, "<16000000007>"},  // no overflow
  };
  for (const Case& c : cases) {
    String p =
        BuildSyslogPacket(c.facility, c.severity, "Mar  5 09:07:03", "10.1.2.3", "TZ ORV", "msg");
    EXPECT_EQ(p.ToStd(), std::string(c.head) + "Mar  5 09:07:03 10.1.2.3 TZ ORV: msg");
  }
}

TEST(SyslogPacketTest, MessageKeepsLineBreaksAndZeroBytes) {
  String msg;
  msg.CopyData("a\r\nb\0c", 6);
  String p = BuildSyslogPacket(1, slNotice, "Jan  1 00:00:00", "0.0.0.0", kSyslogTag, msg);
  EXPECT_EQ(p.ToStd(), std::string("<13>Jan  1 00:00:00 0.0.0.0 TZ ORV: a\r\nb\0c", 42));
}

}  // namespace
