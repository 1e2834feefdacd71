#include "agent/repeat_limit.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using L = TRepeatLimiter;

// A burst of one message is written, the rest counted and reported once,
// with the message's address and class, when the window is over; a copy at
// the end of a window starts the next.
TEST(RepeatLimiterTest, BurstThenCountThenReport) {
  L limiter;
  const uint64_t key = L::Key(3, 0x0100007f, "x\n");
  L::TSummary s;
  int written = 0;
  for (int i = 0; i < L::kBurst + 5; ++i) written += limiter.Admit(key, 0x0100007f, 3, 50, &s);
  EXPECT_EQ(written, L::kBurst);
  EXPECT_FALSE(limiter.TakeExpired(50 + L::kWindowSeconds - 1, &s));
  ASSERT_TRUE(limiter.TakeExpired(50 + L::kWindowSeconds, &s));
  EXPECT_EQ(s.count, 5);
  EXPECT_EQ(s.address, 0x0100007fu);
  EXPECT_EQ(s.type, 3);
  EXPECT_FALSE(limiter.TakeExpired(50 + L::kWindowSeconds, &s));
  for (int i = 1; i <= 2 * L::kBurst; ++i) {
    EXPECT_TRUE(limiter.Admit(key, 0x0100007f, 3, 50 + i * L::kWindowSeconds, &s)) << i;
    EXPECT_EQ(s.count, 0);
  }
}

// Other messages, each new, are written although a flood is held back; the
// last of them takes the flood's slot and brings its report out.
TEST(RepeatLimiterTest, DistinctMessagesAreCountedApartAndEvictionReports) {
  L limiter;
  L::TSummary s;
  const uint64_t flood = L::Key(1, 1, "flood\n");
  for (int i = 0; i < L::kBurst + 3; ++i) limiter.Admit(flood, 1, 1, 10, &s);
  int reported = 0;
  for (int i = 0; i < L::kSlots; ++i) {
    const std::string text = "other " + std::to_string(i) + "\n";
    EXPECT_TRUE(limiter.Admit(L::Key(1, 1, text.c_str()), 1, 1, 11, &s));
    reported += s.count;
  }
  EXPECT_EQ(reported, 3);
}

}  // namespace
