#include "monitors/log_positions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// One step against a table of capacity 2: remember (path, pos) with the
// inode ino, or find it and expect ino (0: expect a miss).
struct Step {
  bool remember;
  const char* path;
  long long pos;
  ino_t ino;
};

TEST(LogPositionTable, HitsMissesAndEviction) {
  const struct {
    const char* name;
    std::vector<Step> steps;
  } cases[] = {
      {"another position or path is a miss",
       {{true, "/l/a", 10, 7}, {false, "/l/a", 11, 0}, {false, "/l/b", 10, 0}}},
      {"two positions in one log are two entries",
       {{true, "/l/a", 10, 7}, {true, "/l/a", 20, 8}, {false, "/l/a", 10, 7},
        {false, "/l/a", 20, 8}}},
      {"a hit makes an entry the most recently used",
       {{true, "/l/a", 1, 1}, {true, "/l/b", 2, 2}, {false, "/l/a", 1, 1}, {true, "/l/c", 3, 3},
        {false, "/l/b", 2, 0}, {false, "/l/a", 1, 1}}},
      {"replacing makes an entry the most recently used",
       {{true, "/l/a", 1, 1}, {true, "/l/b", 2, 2}, {true, "/l/a", 1, 5}, {true, "/l/c", 3, 3},
        {false, "/l/b", 2, 0}, {false, "/l/a", 1, 5}}},
  };
  for (const auto& c : cases) {
    TLogPositionTable table(2);
    for (const Step& s : c.steps) {
      if (s.remember) {
        TLogMark mark;
        mark.file.ino = s.ino;
        table.Remember(s.path, s.pos, mark);
        continue;
      }
      TLogMark got;
      EXPECT_EQ(table.Find(s.path, s.pos, got) ? got.file.ino : 0, s.ino) << c.name;
    }
  }
}

}  // namespace
