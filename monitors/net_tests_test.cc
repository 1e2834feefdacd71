#include "monitors/net_tests.h"

#include <gtest/gtest.h>

namespace {

TEST(ElapsedMsTest, Table) {
  struct Case {
    timeval start, end;
    int ms;
  } cases[] = {
      {{10, 0}, {10, 999}, 0},           {{10, 0}, {10, 1000}, 1},
      {{10, 900000}, {11, 100000}, 200},  // 1000 - 800
      {{10, 100}, {12, 0}, 2000},         // 2000 + (-100 / 1000 = 0)
      {{10, 999999}, {13, 0}, 2001},      // 3000 - 999
  };
  for (const Case& c : cases) EXPECT_EQ(ElapsedMs(c.start, c.end), c.ms);
}

}  // namespace
