#include "monitors/file_macros.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <string>

#include "base/paths.h"
#include "tests/testutil.h"

namespace {

using testutil::TempDir;

void SetTime(const std::string& path, time_t t) {
  struct timeval tv[2] = {{t, 0}, {t, 0}};
  ASSERT_EQ(lutimes(path.c_str(), tv), 0) << path;
}

// Files old (1000), mid (2000), new (3000) and a newer link; folders fold
// (500, empty), fnew (5000) with its files a1 (10) and a2 (20), and ties
// (1500) whose files share one time.
TEST(FileMacros, EachMacroPicksItsEntry) {
  TempDir t;
  const std::string d = t.path() + "/";
  for (const char* f : {"fold", "fnew", "ties"}) ASSERT_EQ(mkdir((d + f).c_str(), 0755), 0);
  const std::pair<const char*, time_t> files[] = {
      {"old", 1000},   {"mid", 2000},    {"new", 3000},    {"fnew/a1", 10},
      {"fnew/a2", 20}, {"ties/p", 4242}, {"ties/q", 4242}, {"ties/r", 4242}};
  for (const auto& f : files) {
    testutil::WriteFile(d + f.first, "x");
    SetTime(d + f.first, f.second);
  }
  ASSERT_EQ(symlink((d + "old").c_str(), (d + "zlink").c_str()), 0);
  SetTime(d + "zlink", 9000);  // links are never chosen
  SetTime(d + "fold", 500);
  SetTime(d + "fnew", 5000);
  SetTime(d + "ties", 1500);
  // Equal times: the entry the directory delivers first stays.
  TSearchRec rec;
  std::string first;
  for (int r = FindFirst(String((d + "ties").c_str()), String("*"), 63, rec);
       r == 0 && first.empty(); r = FindNext(rec))
    if (!(rec.Attr & AttrDirectory)) first = rec.Name;
  FindClose(rec);
  const struct {
    std::string in, want;
  } cases[] = {
      {"/a/b%c/d%", "/a/b%c/d%"},
      {"", ""},
      {d + "%NewestFile%", d + "new"},
      {d + "%oldestfile%", d + "old"},
      {d + "%newestfolder%", d + "fnew"},
      {d + "%OLDESTFOLDER%/Tail.TXT", d + "fold/Tail.TXT"},
      {d + "%newestfolder%/%oldestfile%", d + "fnew/a1"},
      {d + "%newestfolder%/%newestfile%", d + "fnew/a2"},
      // A macro that cannot be resolved leaves the whole path unchanged.
      {d + "%oldestfolder%/%newestfile%", d + "%oldestfolder%/%newestfile%"},
      {d + "none/%newestfile%", d + "none/%newestfile%"},
      {d + "ties/%newestfile%", d + "ties/" + first},
      {d + "ties/%oldestfile%", d + "ties/" + first},
  };
  for (const auto& c : cases)
    EXPECT_EQ(GetFileUsingSpecialMacros(String(c.in.c_str())).ToStd(), c.want) << c.in;
}

}  // namespace
