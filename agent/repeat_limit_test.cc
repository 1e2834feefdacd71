#include "agent/repeat_limit.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Summary = TRepeatLimiter::TSummary;

// Copies of one message at the given seconds: how many are written, and the
// count reported as left out before the last copy.
TEST(RepeatLimiterTest, BurstThenCountThenReport) {
  struct Case {
    const char* name;
    int copies;
    int64_t spacing;  // seconds between copies
    int written;
    int reported_before_last;
  } cases[] = {
      {"a burst within one window", 25, 0, TRepeatLimiter::kBurst, 0},
      {"slow repeats are all written", 30, TRepeatLimiter::kWindowSeconds, 30, 0},
  };
  for (const Case& c : cases) {
    TRepeatLimiter limiter;
    const uint64_t key = TRepeatLimiter::Key(1, 7, "Accept error\n");
    int written = 0;
    Summary last;
    for (int i = 0; i < c.copies; ++i)
      written += limiter.Admit(key, 7, 1, 100 + i * c.spacing, &last) ? 1 : 0;
    EXPECT_EQ(written, c.written) << c.name;
    EXPECT_EQ(last.count, c.reported_before_last) << c.name;
  }
}

TEST(RepeatLimiterTest, LeftOutCopiesAreReportedOnceWithTheirAddressAndClass) {
  TRepeatLimiter limiter;
  const uint64_t key = TRepeatLimiter::Key(3, 0x0100007f, "x\n");
  Summary s;
  for (int i = 0; i < TRepeatLimiter::kBurst + 5; ++i) limiter.Admit(key, 0x0100007f, 3, 50, &s);
  EXPECT_FALSE(limiter.TakeExpired(50 + TRepeatLimiter::kWindowSeconds - 1, &s));
  ASSERT_TRUE(limiter.TakeExpired(50 + TRepeatLimiter::kWindowSeconds, &s));
  EXPECT_EQ(s.count, 5);
  EXPECT_EQ(s.address, 0x0100007fu);
  EXPECT_EQ(s.type, 3);
  EXPECT_FALSE(limiter.TakeExpired(100, &s));
  // The next window starts afresh.
  EXPECT_TRUE(limiter.Admit(key, 0x0100007f, 3, 100, &s));
  EXPECT_EQ(s.count, 0);
}

TEST(RepeatLimiterTest, DistinctMessagesAreCountedApartAndEvictionReports) {
  TRepeatLimiter limiter;
  Summary s;
  const uint64_t flood = TRepeatLimiter::Key(1, 1, "flood\n");
  for (int i = 0; i < TRepeatLimiter::kBurst + 3; ++i) limiter.Admit(flood, 1, 1, 10, &s);
  // Other messages, each new, are written although the flood is held back;
  // the last of them takes the flood's slot and brings its report out.
  int reported = 0;
  for (int i = 0; i < TRepeatLimiter::kSlots; ++i) {
    std::string text = "other " + std::to_string(i) + "\n";
    EXPECT_TRUE(limiter.Admit(TRepeatLimiter::Key(1, 1, text.c_str()), 1, 1, 11, &s));
    reported += s.count;
  }
  EXPECT_EQ(reported, 3);
}

}  // namespace
