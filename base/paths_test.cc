// Path helpers and the directory search. What the search shows a server
// (links, hidden and special entries, sizes and times) is checked end to
// end through "GetFilesList"; the folder walks are checked against it on
// random trees.
#include "base/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "tests/testutil.h"

namespace {

using testutil::S;

// Every entry a search returns, by name, with its attribute bits.
std::map<std::string, int> Collect(const std::string& dir, const char* mask, int attr) {
  std::map<std::string, int> found;
  TSearchRec rec;
  int r = FindFirst(String(dir.c_str()), String(mask), attr, rec);
  int guard = 0;
  while (r == 0 && ++guard < 10000) {
    found[rec.Name] = rec.Attr;
    r = FindNext(rec);
  }
  FindClose(rec);
  return found;
}

// ---------------------------------------------------------------------------
// ExpandFileName

struct ExpandCase {
  const char* input;
  const char* expected;
};

// Relative inputs are written as if the working directory were /home/u; the
// test prefixes "/home/u/" itself, which is exactly what the function does
// with the real working directory, so no chdir is needed.
const ExpandCase kRelativeCases[] = {
    {"a/b", "/home/u/a/b"}, {"./x", "/home/u/x"}, {"../x", "/home/x"},
    {".", "/home/u"},       {"..", "/home"},      {"a/../../../x", "/x"},
};

const ExpandCase kAbsoluteCases[] = {
    {"/a/b/../c", "/a/c"},
    {"/a//b", "/a/b"},
    {"/a/b/c/../../d", "/a/d"},
    {"/a/b/.", "/a/b"},
    {"/a/b/..", "/a"},
    {"/a/b/", "/a/b/"},
    {"/a/b/./", "/a/b/"},
    {"/a/b/../", "/a/"},
    {"/a/.hidden/x", "/a/.hidden/x"},
    {"/a/.../c", "/a/.../c"},
    {"~/x", "~/x"},
    {"", ""},
    // Dot segments right after the root, and names merely starting with "..".
    {"/./x", "/x"},
    {"/../x", "/x"},
    {"/..", "/"},
    {"/.", "/"},
    {"/", "/"},
    {"//", "/"},
    {"/a/..b/c", "/a/..b/c"},
    {"/a/b../c", "/a/b../c"},
    {"/a/b/../../../..", "/"},
};

TEST(ExpandFileName, Examples) {
  for (const auto& c : kRelativeCases) {
    String in = String("/home/u/") + c.input;
    EXPECT_EQ(S(ExpandFileName(in)), c.expected) << c.input;
  }
  for (const auto& c : kAbsoluteCases) {
    EXPECT_EQ(S(ExpandFileName(String(c.input))), c.expected) << c.input;
  }
  // Relative paths use the working directory.
  String cwd = GetCurrentDir();
  ASSERT_FALSE(cwd.IsEmpty());
  ASSERT_EQ(cwd[1], '/');
  EXPECT_EQ(S(ExpandFileName("sub/name")), S(IncludeTrailingPathDelimiter(cwd) + "sub/name"));
  if (cwd != "/") {
    EXPECT_EQ(S(ExpandFileName(".")), S(ExcludeTrailingPathDelimiter(cwd)));
  }
}

// ---------------------------------------------------------------------------
// Path parts and delimiters

TEST(PathParts, ExtractPathNameAndExt) {
  struct {
    const char* in;
    const char* path;
    const char* name;
    const char* ext;
  } cases[] = {
      {"bare", "", "bare", ""},
      {"/", "/", "", ""},
      {"/dir.d/file", "/dir.d/", "file", ""},
      {"a.tar.gz", "", "a.tar.gz", ".gz"},
      {"/x/y.txt", "/x/", "y.txt", ".txt"},
      {"/a.b/c", "/a.b/", "c", ""},
      {"", "", "", ""},
  };
  for (const auto& c : cases) {
    String in(c.in);
    EXPECT_EQ(S(ExtractFilePath(in)), c.path) << c.in;
    EXPECT_EQ(S(ExtractFileName(in)), c.name) << c.in;
    EXPECT_EQ(S(ExtractFileExt(in)), c.ext) << c.in;
  }
}

TEST(PathParts, TrailingDelimiter) {
  EXPECT_EQ(S(IncludeTrailingPathDelimiter("")), "/");
  EXPECT_EQ(S(IncludeTrailingPathDelimiter("/a")), "/a/");
  EXPECT_EQ(S(IncludeTrailingPathDelimiter("/a/")), "/a/");
  EXPECT_EQ(S(ExcludeTrailingPathDelimiter("/a//")), "/a/");
  EXPECT_EQ(S(ExcludeTrailingPathDelimiter("/")), "");
  EXPECT_EQ(S(ExcludeTrailingPathDelimiter("a")), "a");
}

// ---------------------------------------------------------------------------
// File queries

TEST(FileQueries, FilesDirectoriesLinksAndMissingFiles) {
  testutil::TempDir dir;
  std::string p = dir.File("nope");
  EXPECT_EQ(FileAge(p.c_str()), -1);
  EXPECT_EQ(FileSize(p.c_str()), -1);
  EXPECT_FALSE(FileExists(p.c_str()));
  EXPECT_FALSE(DirectoryExists(p.c_str()));
  EXPECT_FALSE(DeleteFile(p.c_str()));
  std::string f = dir.File("f");
  testutil::WriteFile(f, "12345");
  ASSERT_EQ(symlink(dir.path().c_str(), dir.File("dirlink").c_str()), 0);
  ASSERT_EQ(symlink(f.c_str(), dir.File("filelink").c_str()), 0);

  EXPECT_EQ(FileSize(f.c_str()), 5);
  EXPECT_GT(FileAge(f.c_str()), 0);
  EXPECT_TRUE(FileExists(f.c_str()));
  EXPECT_TRUE(FileExists(dir.File("filelink").c_str()));
  EXPECT_FALSE(FileExists(dir.path().c_str()));
  EXPECT_TRUE(DirectoryExists(dir.File("dirlink").c_str()));
  EXPECT_FALSE(DirectoryExists(f.c_str()));
  EXPECT_TRUE(DeleteFile(f.c_str()));
  EXPECT_FALSE(FileExists(f.c_str()));
}

// ---------------------------------------------------------------------------
// Directory search

TEST(FindFirst, MissingDirectoryGivesErrnoAndNoHandle) {
  testutil::TempDir dir;
  TSearchRec rec;
  int r = FindFirst(String(dir.File("absent").c_str()), String("*"), 63, rec);
  EXPECT_EQ(r, ENOENT);
  EXPECT_EQ(rec.DirHandle, nullptr);
  FindClose(rec);
}

TEST(FindFirst, EmptyDirectoryNameSearchesWorkingDirectory) {
  TSearchRec rec;
  ASSERT_EQ(FindFirst(String(""), String("."), 63, rec), 0);
  EXPECT_EQ(S(rec.DirPath), S(IncludeTrailingPathDelimiter(GetCurrentDir())));
  EXPECT_STREQ(rec.Name, ".");
  FindClose(rec);
  FindClose(rec);  // twice is harmless
  EXPECT_EQ(rec.DirHandle, nullptr);
}

TEST(FindFirst, EmptyDirectoryHoldsOnlyDotEntries) {
  testutil::TempDir dir;
  auto all = Collect(dir.path(), "*", 63);
  EXPECT_EQ(all, (std::map<std::string, int>{{".", AttrDirectory}, {"..", AttrDirectory}}));
  TSearchRec rec;
  EXPECT_EQ(FindFirst(String(dir.path().c_str()), String("*"), 0, rec), -1);
  EXPECT_EQ(rec.DirHandle, nullptr);  // closed by the failing call
  FindClose(rec);
}

TEST(FindFirst, ReadOnlyBit) {
  if (geteuid() == 0) GTEST_SKIP() << "root may write every file; the write test cannot fail";
  testutil::TempDir dir;
  testutil::WriteFile(dir.File("ro"), "x");
  testutil::WriteFile(dir.File("rw"), "x");
  ASSERT_EQ(chmod(dir.File("ro").c_str(), 0444), 0);
  auto all = Collect(dir.path(), "*", 63);
  EXPECT_EQ(all["ro"], AttrReadOnly);
  EXPECT_EQ(all["rw"], 0);
  auto writable = Collect(dir.path(), "*", 0);
  EXPECT_EQ(writable, (std::map<std::string, int>{{"rw", 0}}));
}

// Kernel settings files without a write permission bit refuse writes even to
// root, so this case runs under any user.
TEST(FindFirst, ReadOnlyBitOnKernelSettingsFile) {
  if (access("/proc/sys/kernel/ostype", R_OK) != 0) GTEST_SKIP() << "no /proc/sys here";
  auto all = Collect("/proc/sys/kernel", "ostype", 63);
  ASSERT_EQ(all.count("ostype"), 1u);
  EXPECT_EQ(all["ostype"], AttrReadOnly);
  EXPECT_TRUE(Collect("/proc/sys/kernel", "ostype", 0).empty());
}

TEST(FindFirst, MaskIsShellWildcardWithoutPeriodRule) {
  testutil::TempDir dir;
  for (const char* n : {"a.txt", "b.log", ".c.txt", "d"}) testutil::WriteFile(dir.File(n), "x");
  auto txt = Collect(dir.path(), "*.txt", 63);
  EXPECT_EQ(txt.size(), 2u);  // "*" matches the leading dot of .c.txt
  EXPECT_EQ(txt.count(".c.txt"), 1u);
  auto one = Collect(dir.path(), "?", 63);
  EXPECT_EQ(one.size(), 2u);  // "." and "d"
  EXPECT_EQ(one.count("d"), 1u);
}

TEST(FindFirst, WalksManyEntriesOnce) {
  testutil::TempDir dir;
  for (int i = 0; i < 300; ++i) testutil::WriteFile(dir.File("f" + std::to_string(i)), "");
  auto all = Collect(dir.path(), "f*", 0);
  EXPECT_EQ(all.size(), 300u);
}

}  // namespace
