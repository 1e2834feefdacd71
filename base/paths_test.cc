// Path helpers and the directory search; what the search shows a server is
// checked end to end through "GetFilesList".
#include "base/paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "base/childproc.h"
#include "tests/testutil.h"

namespace {

using testutil::S;
using Found = std::map<std::string, int>;

Found Collect(const std::string& dir, const char* mask, int attr) {
  Found found;
  TSearchRec rec;
  for (int r = FindFirst(String(dir.c_str()), String(mask), attr, rec); r == 0; r = FindNext(rec))
    found[rec.Name] = rec.Attr;
  FindClose(rec);
  return found;
}

// A mask is a shell wildcard whose "*" and "?" also match a leading dot.
TEST(Paths, PartsKindsAndSearches) {
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
  };
  for (const Case& c : cases) EXPECT_EQ(Collect(dir.path(), c.mask, c.attr), c.want) << c.mask;
  TSearchRec rec;
  EXPECT_EQ(FindFirst(String(dir.File("absent").c_str()), String("*"), 63, rec), ENOENT);
  EXPECT_EQ(rec.DirHandle, nullptr);

  // The first match of a file test's mask is a plain file: folders and links are passed over.
  ASSERT_EQ(symlink("d", dir.File("slink").c_str()), 0);
  EXPECT_EQ(S(GetFirstMatchedFile(String(dir.File("s*").c_str()))), "");
  EXPECT_EQ(S(GetFirstMatchedFile(String(dir.File("b*").c_str()))), dir.File("b.log"));

  for (int i = 0; i < 300; ++i) testutil::WriteFile(dir.File("f" + std::to_string(i)), "");
  EXPECT_EQ(Collect(dir.path(), "f*", 0).size(), 300u);
  const char* in[] = {"bare", "/", "/dir.d/file", ""};
  const char* want[] = {"|bare|bare/", "/||/", "/dir.d/|file|/dir.d/file/", "||/"};
  for (int i = 0; i < 4; ++i) {
    const String s(in[i]);
    EXPECT_EQ(S(ExtractFilePath(s)) + "|" + S(ExtractFileName(s)) + "|" +
                  S(IncludeTrailingPathDelimiter(s)),
              want[i]);
  }
  // A file and a folder count as such through a link to them.
  testutil::WriteFile(dir.File("f"), "x");
  ASSERT_EQ(symlink(dir.path().c_str(), dir.File("dirlink").c_str()), 0);
  ASSERT_EQ(symlink("f", dir.File("filelink").c_str()), 0);
  for (const char* n : {"f", "filelink", "dirlink", "none", "."}) {
    const std::string p = dir.File(n);
    EXPECT_EQ(FileExists(p.c_str()), n[0] == 'f') << n;
    EXPECT_EQ(DirectoryExists(p.c_str()), n[0] == 'd' || n[0] == '.') << n;
  }
  // A kernel settings file without a write bit refuses writes even to root.
  if (access("/proc/sys/kernel/ostype", R_OK) != 0) return;
  EXPECT_EQ(Collect("/proc/sys/kernel", "ostype", 63), (Found{{"ostype", AttrReadOnly}}));
  EXPECT_TRUE(Collect("/proc/sys/kernel", "ostype", 0).empty());
}

}  // namespace
