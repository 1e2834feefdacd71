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

void Touch(const std::string& path, time_t t) {
  testutil::WriteFile(path, "x");
  SetTime(path, t);
}

std::string Expand(const std::string& path) {
  return GetFileUsingSpecialMacros(String(path.c_str())).ToStd();
}

// Files old (1000), mid (2000), new (3000) and a newer link; folders fold
// (500, empty), fnew (5000) with its files a1 (10) and a2 (20), and ties
// (1500) whose files share one time.
TEST(FileMacros, EachMacroPicksItsEntry) {
  TempDir t;
  Touch(t.File("old"), 1000);
  Touch(t.File("mid"), 2000);
  Touch(t.File("new"), 3000);
  ASSERT_EQ(mkdir(t.File("fold").c_str(), 0755), 0);
  SetTime(t.File("fold"), 500);
  ASSERT_EQ(mkdir(t.File("fnew").c_str(), 0755), 0);
  Touch(t.File("fnew/a1"), 10);
  Touch(t.File("fnew/a2"), 20);
  SetTime(t.File("fnew"), 5000);
  ASSERT_EQ(symlink(t.File("old").c_str(), t.File("zlink").c_str()), 0);
  SetTime(t.File("zlink"), 9000);  // links are never chosen
  // Equal times in ties/: the entry the directory delivers first stays.
  ASSERT_EQ(mkdir(t.File("ties").c_str(), 0755), 0);
  for (const char* n : {"p", "q", "r", "s"}) Touch(t.File("ties/") + n, 4242);
  SetTime(t.File("ties"), 1500);
  TSearchRec rec;
  std::string first;
  for (int r = FindFirst(String(t.File("ties").c_str()), String("*"), 63, rec);
       r == 0 && first.empty(); r = FindNext(rec))
    if (!(rec.Attr & AttrDirectory)) first = rec.Name;
  FindClose(rec);
  const std::string d = t.path() + "/";
  struct Case {
    std::string in, want;
  } cases[] = {
      {"/a/b%c/d%", "/a/b%c/d%"},
      {"", ""},
      {d + "%newestfile%", d + "new"},
      {d + "%oldestfile%", d + "old"},
      {d + "%newestfolder%", d + "fnew"},
      {d + "%oldestfolder%", d + "fold"},
      {d + "%NewestFile%", d + "new"},
      {d + "%OLDESTFOLDER%/Tail.TXT", d + "fold/Tail.TXT"},
      {d + "%newestfolder%/%oldestfile%", d + "fnew/a1"},
      {d + "%newestfolder%/%newestfile%", d + "fnew/a2"},
      // A macro that cannot be resolved leaves the whole path unchanged.
      {d + "%oldestfolder%/%newestfile%", d + "%oldestfolder%/%newestfile%"},
      {d + "none/%newestfile%", d + "none/%newestfile%"},
      {d + "ties/%newestfile%", d + "ties/" + first},
      {d + "ties/%oldestfile%", d + "ties/" + first},
  };
  for (const Case& c : cases) EXPECT_EQ(Expand(c.in), c.want) << c.in;
}

}  // namespace
