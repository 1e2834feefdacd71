#include "monitors/file_macros.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <string>

#include "base/paths.h"
#include "tests/testutil.h"

namespace {

using testutil::TempDir;

void Touch(const std::string& path, time_t t) {
  testutil::WriteFile(path, "x");
  struct timeval tv[2] = {{t, 0}, {t, 0}};
  ASSERT_EQ(utimes(path.c_str(), tv), 0);
}

void Folder(const std::string& path, time_t t) {
  ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  struct timeval tv[2] = {{t, 0}, {t, 0}};
  ASSERT_EQ(utimes(path.c_str(), tv), 0);
}

std::string Expand(const std::string& path) {
  return GetFileUsingSpecialMacros(String(path.c_str())).ToStd();
}

class FileMacrosTest : public ::testing::Test {
 protected:
  // Files old (1000), mid (2000), new (3000); folders fold (500) and fnew
  // (5000) whose own files are a1 (10) and a2 (20) inside fnew.
  void SetUp() override {
    Touch(t_.File("old"), 1000);
    Touch(t_.File("mid"), 2000);
    Touch(t_.File("new"), 3000);
    Folder(t_.File("fold"), 500);
    ASSERT_EQ(mkdir(t_.File("fnew").c_str(), 0755), 0);
    Touch(t_.File("fnew/a1"), 10);
    Touch(t_.File("fnew/a2"), 20);
    struct timeval tv[2] = {{5000, 0}, {5000, 0}};
    ASSERT_EQ(utimes(t_.File("fnew").c_str(), tv), 0);
  }
  std::string D() const { return t_.path() + "/"; }
  TempDir t_;
};

TEST_F(FileMacrosTest, PathWithoutMacrosIsUnchanged) {
  EXPECT_EQ(Expand("/a/b%c/d%"), "/a/b%c/d%");
  EXPECT_EQ(Expand(""), "");
}

TEST_F(FileMacrosTest, EachMacroPicksItsEntry) {
  EXPECT_EQ(Expand(D() + "%newestfile%"), D() + "new");
  EXPECT_EQ(Expand(D() + "%oldestfile%"), D() + "old");
  EXPECT_EQ(Expand(D() + "%newestfolder%"), D() + "fnew");
  EXPECT_EQ(Expand(D() + "%oldestfolder%"), D() + "fold");
}

TEST_F(FileMacrosTest, NamesAreCaseBlindAndTheRestKeepsItsCase) {
  EXPECT_EQ(Expand(D() + "%NewestFile%"), D() + "new");
  EXPECT_EQ(Expand(D() + "%OLDESTFOLDER%/Tail.TXT"), D() + "fold/Tail.TXT");
}

TEST_F(FileMacrosTest, LaterMacrosResolveInsideTheChosenFolder) {
  EXPECT_EQ(Expand(D() + "%newestfolder%/%oldestfile%"), D() + "fnew/a1");
  EXPECT_EQ(Expand(D() + "%newestfolder%/%newestfile%"), D() + "fnew/a2");
}

TEST_F(FileMacrosTest, UnresolvableMacroLeavesTheWholePathUnchanged) {
  // fold holds no files; the first macro resolved but the second cannot.
  std::string p = D() + "%oldestfolder%/%newestfile%";
  EXPECT_EQ(Expand(p), p);
  std::string missing = D() + "none/%newestfile%";
  EXPECT_EQ(Expand(missing), missing);
}

TEST_F(FileMacrosTest, LinksAreNeverChosen) {
  ASSERT_EQ(symlink(t_.File("old").c_str(), t_.File("zlink").c_str()), 0);
  struct timeval tv[2] = {{9000, 0}, {9000, 0}};
  ASSERT_EQ(lutimes(t_.File("zlink").c_str(), tv), 0);
  EXPECT_EQ(Expand(D() + "%newestfile%"), D() + "new");
}

// Equal times: the entry the directory delivers first stays.
TEST(FileMacrosTies, FirstInDirectoryOrderWins) {
  TempDir t;
  for (const char* n : {"p", "q", "r", "s"}) Touch(t.File(n), 4242);
  TSearchRec rec;
  std::string first;
  int r = FindFirst(String(t.path().c_str()), String("*"), 63, rec);
  while (r == 0 && first.empty()) {
    if (!(rec.Attr & AttrDirectory)) first = rec.Name;
    r = FindNext(rec);
  }
  FindClose(rec);
  EXPECT_EQ(Expand(t.path() + "/%newestfile%"), t.path() + "/" + first);
  EXPECT_EQ(Expand(t.path() + "/%oldestfile%"), t.path() + "/" + first);
}

}  // namespace
