// Path helpers and the directory search. What the search shows a server
// (links, hidden and special entries, sizes and times) is checked end to
// end through "GetFilesList".
#include "base/paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "tests/testutil.h"

namespace {

using testutil::S;
using Found = std::map<std::string, int>;

// Every entry a search returns, by name, with its attribute bits.
Found Collect(const std::string& dir, const char* mask, int attr) {
  Found found;
  TSearchRec rec;
  for (int r = FindFirst(String(dir.c_str()), String(mask), attr, rec); r == 0; r = FindNext(rec)) {
    found[rec.Name] = rec.Attr;
  }
  FindClose(rec);
  return found;
}

TEST(Paths, PartsAndDelimiters) {
  struct Case {
    const char* in;
    const char* path;
    const char* name;
    const char* with_slash;
  } cases[] = {
      {"bare", "", "bare", "bare/"},
      {"/", "/", "", "/"},
      {"/dir.d/file", "/dir.d/", "file", "/dir.d/file/"},
      {"", "", "", "/"},
      {"/a/", "/a/", "", "/a/"},
  };
  for (const Case& c : cases) {
    String in(c.in);
    EXPECT_EQ(S(ExtractFilePath(in)), c.path) << c.in;
    EXPECT_EQ(S(ExtractFileName(in)), c.name) << c.in;
    EXPECT_EQ(S(IncludeTrailingPathDelimiter(in)), c.with_slash) << c.in;
  }
}

TEST(Paths, FilesDirectoriesLinksAndMissingFiles) {
  testutil::TempDir dir;
  const std::string f = dir.File("f"), none = dir.File("none");
  testutil::WriteFile(f, "12345");
  ASSERT_EQ(symlink(dir.path().c_str(), dir.File("dirlink").c_str()), 0);
  ASSERT_EQ(symlink(f.c_str(), dir.File("filelink").c_str()), 0);
  EXPECT_EQ(FileAge(none.c_str()), -1);
  EXPECT_EQ(FileSize(none.c_str()), -1);
  EXPECT_FALSE(FileExists(none.c_str()) || DirectoryExists(none.c_str()));
  EXPECT_EQ(FileSize(f.c_str()), 5);
  EXPECT_GT(FileAge(f.c_str()), 0);
  EXPECT_TRUE(FileExists(f.c_str()) && FileExists(dir.File("filelink").c_str()));
  EXPECT_FALSE(FileExists(dir.path().c_str()));
  EXPECT_TRUE(DirectoryExists(dir.File("dirlink").c_str()));
  EXPECT_FALSE(DirectoryExists(f.c_str()));
}

// The mask is a shell wildcard whose "*" and "?" also match a leading dot;
// the attribute argument says which kinds of entry may be returned.
TEST(FindFirst, MasksAndAttributes) {
  testutil::TempDir dir;
  for (const char* n : {"a.txt", "b.log", ".c.txt", "d"}) testutil::WriteFile(dir.File(n), "x");
  ASSERT_EQ(mkdir(dir.File("sub").c_str(), 0755), 0);
  struct Case {
    const char* mask;
    int attr;
    Found want;
  } cases[] = {
      {"*.txt", 63, {{".c.txt", AttrHidden}, {"a.txt", 0}}},
      {"?", 63, {{".", AttrDirectory}, {"d", 0}}},
      {"*", 0, {{"a.txt", 0}, {"b.log", 0}, {"d", 0}}},
      {"*", 16, {{".", 16}, {"..", 16}, {"a.txt", 0}, {"b.log", 0}, {"d", 0}, {"sub", 16}}},
  };
  for (const Case& c : cases) EXPECT_EQ(Collect(dir.path(), c.mask, c.attr), c.want) << c.mask;

  TSearchRec rec;
  EXPECT_EQ(FindFirst(String(dir.path().c_str()), String("none*"), 63, rec), -1);
  EXPECT_EQ(rec.DirHandle, nullptr);  // closed by the failing call
  EXPECT_EQ(FindFirst(String(dir.File("absent").c_str()), String("*"), 63, rec), ENOENT);
  EXPECT_EQ(rec.DirHandle, nullptr);
  ASSERT_EQ(FindFirst(String(""), String("."), 63, rec), 0);  // the working directory
  EXPECT_EQ(S(rec.DirPath), S(IncludeTrailingPathDelimiter(GetCurrentDir())));
  FindClose(rec);
  FindClose(rec);  // twice is harmless
  EXPECT_EQ(rec.DirHandle, nullptr);

  for (int i = 0; i < 300; ++i) testutil::WriteFile(dir.File("f" + std::to_string(i)), "");
  EXPECT_EQ(Collect(dir.path(), "f*", 0).size(), 300u);
}

// Kernel settings files without a write permission bit refuse writes even to
// root, so this case runs under any user.
TEST(FindFirst, ReadOnlyBit) {
  if (access("/proc/sys/kernel/ostype", R_OK) != 0) GTEST_SKIP() << "no /proc/sys here";
  EXPECT_EQ(Collect("/proc/sys/kernel", "ostype", 63), (Found{{"ostype", AttrReadOnly}}));
  EXPECT_TRUE(Collect("/proc/sys/kernel", "ostype", 0).empty());
}

}  // namespace
