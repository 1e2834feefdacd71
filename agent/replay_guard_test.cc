#include "agent/replay_guard.h"

#include <gtest/gtest.h>

#include <string>

namespace {

String Key(int n) {
  std::string text = "encrypted key " + std::to_string(n);
  String s;
  s.CopyData(text.data(), static_cast<int>(text.size()));
  return s;
}

TEST(ReplayGuardTest, RemembersWithinTheWindowAndStaysBounded) {
  TReplayGuard guard;
  EXPECT_FALSE(guard.Repeated(Key(1), 0));  // off: nothing remembered
  EXPECT_FALSE(guard.Repeated(Key(1), 0));
  EXPECT_FALSE(guard.Repeated(Key(1), 60));
  EXPECT_TRUE(guard.Repeated(Key(1), 60));
  EXPECT_FALSE(guard.Repeated(Key(2), 60));
  // Far more requests than the table holds: each new one is taken, and the
  // most recent ones are still known afterwards.
  const int many = static_cast<int>(TReplayGuard::kSlots) * 2;
  for (int i = 10; i < 10 + many; ++i) ASSERT_FALSE(guard.Repeated(Key(i), 60)) << i;
  for (int i = 10 + many - 100; i < 10 + many; ++i) EXPECT_TRUE(guard.Repeated(Key(i), 60)) << i;
}

}  // namespace
