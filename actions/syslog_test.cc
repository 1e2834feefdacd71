// The day of a syslog time stamp for days the end-to-end test cannot choose
// (it sends at the time it runs): two columns, blank-padded.
#include "actions/syslog.h"

#include <gtest/gtest.h>

#include <ctime>

namespace {

TEST(SyslogDateTimeTest, Formats) {
  for (const char* want : {"Mar  5 09:07:03", "Nov 15 23:59:58", "Oct 10 01:02:03"}) {
    struct tm t = {};
    ASSERT_NE(strptime(want, "%b %d %H:%M:%S", &t), nullptr) << want;
    EXPECT_EQ(CDateTime(t).ToStd(), want);
  }
}

}  // namespace
