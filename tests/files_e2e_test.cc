// The file and folder tests, file CRC and comparison, and the file list,
// asked of the real agent through orvq.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "tests/agent_harness.h"

namespace {

using testutil::AgentProcess;
using testutil::OrvqResult;
using testutil::TempDir;
using testutil::WriteFile;

std::string TimeText(time_t t) {
  struct tm lt;
  localtime_r(&t, &lt);
  char buf[32];
  snprintf(buf, sizeof buf, "%2.2d%2.2d%4.4d%2.2d%2.2d%2.2d", lt.tm_mday, lt.tm_mon + 1,
           lt.tm_year + 1900, lt.tm_hour, lt.tm_min, lt.tm_sec);
  return buf;
}

void SetMtime(const std::string& path, time_t t) {
  struct timeval tv[2] = {{t, 0}, {t, 0}};
  ASSERT_EQ(utimes(path.c_str(), tv), 0) << path;
}

void Sparse(const std::string& path, off_t size) {
  WriteFile(path, "");
  ASSERT_EQ(truncate(path.c_str(), size), 0);
}

std::vector<std::string> SplitLines(const std::string& s) {
  std::vector<std::string> lines;
  std::istringstream in(s);
  std::string l;
  while (std::getline(in, l)) lines.push_back(l);
  return lines;
}

// Runs one request through orvq against agent; its standard output.
std::string Ask(AgentProcess& agent, const std::vector<std::string>& request) {
  OrvqResult r = agent.Query(request);
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out;
}

// The whole reply to each request. Parameters after the path of
// "TEST-FolderSize" (the 8th), "TEST-FileExists" (the 6th), "TEST-CountFiles"
// (the 11th) and "TEST-FileCompare" mode 3 (the 12th) ask for macros.
TEST(FilesE2E, RepliesForEachRequest) {
  AgentProcess agent;
  ASSERT_TRUE(agent.Start()) << agent.console();
  TempDir data;
  auto D = [&](const std::string& name = "") {
    return name.empty() ? data.path() : data.File(name);
  };
  // tree/: a (10 bytes), .h (5), sub/b (100), sub/c.log (1000), link -> a,
  // sub/dl -> tree; needles/: what mode 3 looks for in "words"; only/ and
  // fe/: one file for a macro.
  for (const char* f : {"tree", "tree/sub", "empty", "needles", "fe", "only"})
    mkdir(D(f).c_str(), 0755);
  const std::pair<const char*, std::string> files[] = {
      {"tree/a", std::string(10, 'x')},
      {"tree/.h", std::string(5, 'x')},
      {"tree/sub/b", std::string(100, 'x')},
      {"tree/sub/c.log", std::string(1000, 'x')},
      {"digits", "123456789"},
      {"zero", ""},
      {"big", std::string(1234567, 'b')},
      {"s100", std::string(100, 'x')},
      {"abc3", "abc"},
      {"abc6", "abcdef"},
      {"words", "xabc abc"},
      {"glued", "xabcx"},
      {"needles/empty", ""},
      {"needles/part", "c ab"},
      {"fe/x.dat", "12345"},
      {"only/file", "ab"},
  };
  for (const auto& f : files) WriteFile(D(f.first), f.second);
  symlink(D("tree/a").c_str(), D("tree/link").c_str());
  symlink(D("tree").c_str(), D("tree/sub/dl").c_str());
  SetMtime(D("abc3"), 1000000);
  SetMtime(D("abc6"), 2000000);
  Sparse(D("needles/limit"), 8388608);
  Sparse(D("needles/over"), 8388609);
  // The sizes of the file system: one trailing backslash is dropped.
  for (const std::string& path : {D(), D() + "\\"}) {
    std::vector<std::string> lines = SplitLines(Ask(agent, {"TEST-UNC", path}));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "200");
    char padded[40];
    for (size_t i = 1; i < 4; ++i) {
      snprintf(padded, sizeof padded, "%6lld", std::stoll(lines[i]));
      EXPECT_EQ(lines[i], padded);
    }
  }

  const std::string nofolder = "301\nFolder doesn`t exist or access denied\n";
  const std::string nofile = "301\nFile doesn`t exist\n";
  const std::string wrong = "501\nWrong parameter\n";
  const std::string words = D("words"), a = D("abc3"), b = D("abc6");
  const std::string tree = D("tree"), n = D("needles") + "/";
  // "TEST-FileExists" shows an entry's own size and times (a link's own),
  // its path and its age in minutes; each is dated two hours back first.
  const time_t back = time(nullptr) - 7201;
  auto exists = [&](const std::string& path) {
    struct timeval tv[2] = {{back, 0}, {back, 0}};
    EXPECT_EQ(lutimes(path.c_str(), tv), 0) << path;
    struct stat st;
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    char size[32];
    snprintf(size, sizeof size, "%6lld", static_cast<long long>(st.st_size));
    return "200\n" + std::string(size) + "\n" + TimeText(st.st_ctime) + "\n" + TimeText(back) +
           "\n" + path + "\nmin\n120\n";
  };
  struct Case {
    std::vector<std::string> request;
    std::string want;
  } cases[] = {
      {{"TEST-FileExists", D("fe/x.dat")}, exists(D("fe/x.dat"))},
      // A pattern answers with the file it matched; macros when asked for.
      {{"TEST-FileExists", D("fe/*.dat")}, exists(D("fe/x.dat"))},
      {{"TEST-FileExists", D("fe/%NewestFile%"), "", "", "", "", "", "1"}, exists(D("fe/x.dat"))},
      {{"TEST-FileExists", tree + "/link"}, exists(tree + "/link")},
      {{"TEST-FileExists", D("empty")}, exists(D("empty"))},
      {{"TEST-UNC", ""}, "501\nPath not specified\n"},
      {{"TEST-UNC", "\\"}, "501\nPath not specified\n"},
      {{"TEST-UNC"}, "501\nPath not specified\n"},
      {{"TEST-UNC", D("none")}, "301\nNo such file or directory\n"},

      {{"TEST-FolderSize", tree, "0"}, "200\n    15\n"},
      {{"TEST-FolderSize", tree, "1"}, "200\n  1115\n"},
      {{"TEST-FolderSize", tree + "/*.log", "1"}, "200\n  1000\n"},
      {{"TEST-FolderSize", D("empty"), "1"}, "200\n     0\n"},
      // sub/dl names a folder through a link: never entered, it adds nothing.
      {{"TEST-FolderSize", tree + "/dl", "1"}, "200\n     0\n"},
      {{"TEST-FolderSize", D("empty") + "/nothing", "1"}, "200\n     0\n"},
      {{"TEST-FolderSize", D("big"), "0"}, "200\n1234567\n"},
      {{"TEST-FolderSize", D("none") + "/x", "1"},
       "301\nFolder/File doesn`t exist or access denied\n"},
      {{"TEST-FolderSize", tree + "/%newestfolder%", "0", "", "", "", "", "", "1"}, "200\n  1100\n"},
      // Unexpanded, the macro text is a mask that matches nothing.
      {{"TEST-FolderSize", tree + "/%newestfolder%", "0"}, "200\n     0\n"},

      {{"TEST-FileExists", D("none")}, "301\nno such file or acess denied\n"},
      {{"TEST-FileExists", D("*.nomatch")}, "301\nno such file or acess denied\n"},
      {{"TEST-FileExists", ""}, "301\nno such file or acess denied\n"},

      // tree holds a, .h and sub (b, c.log); the link is never seen.
      {{"TEST-CountFiles", tree, "*", "0", "0", "0"}, "200\n2\n"},
      {{"TEST-CountFiles", tree, "*", "1", "0", "0"}, "200\n4\n"},
      {{"TEST-CountFiles", tree, "*", "0", "5", "0"}, "200\n1\n"},
      {{"TEST-CountFiles", tree, "*.log", "1", "3", "999"}, "200\n1\n"},
      // Equality with the limit never counts.
      {{"TEST-CountFiles", D(), "s100", "0", "3", "100"}, "200\n0\n"},
      {{"TEST-CountFiles", D(), "s100", "0", "4", "100"}, "200\n0\n"},
      {{"TEST-CountFiles", D(), "s100", "0", "4", "101"}, "200\n1\n"},
      {{"TEST-CountFiles", D("empty"), "*.x", "0", "0", "0"}, "200\n0\n"},
      {{"TEST-CountFiles", tree, "*", "0", "6", "0"}, wrong},
      {{"TEST-CountFiles", tree, "*", "0", "-1", "0"}, wrong},
      {{"TEST-CountFiles", tree, "*", "0", "3", "12a"}, wrong},
      {{"TEST-CountFiles", tree, "*", "0", "0", " 12"}, "200\n2\n"},  // trimmed
      {{"TEST-CountFiles", D("none"), "*", "0", "0", "0"}, nofolder},
      {{"TEST-CountFiles", tree + "/%newestfolder%", "*", "0", "0", "0", "", "", "", "", "", "1"},
       "200\n2\n"},
      {{"TEST-CountFiles", tree + "/%newestfolder%", "*", "0", "0", "0", "", "", "", "", "", "0"},
       nofolder},

      {{"TEST-FileCRC", D("digits")}, "200\n873187033\n"},  // 0x340BC6D9
      {{"TEST-FileCRC", D("zero")}, "200\n4294967295\n"},
      {{"TEST-FileCRC", D("none")}, "301\nCannot open file\n"},
      {{"TEST-FileCRC", ""}, "301\nFile is not specified\n"},
      {{"TEST-FileCRC", D()}, "301\nRead error\n"},

      {{"TEST-FileCompare", "1", a, words, "0", "0", "0"}, "200\n1\n"},
      {{"TEST-FileCompare", "1", a, b, "0", "0", "1"}, "200\n1\n"},
      {{"TEST-FileCompare", "1", a, b, "0", "1", "1"}, "200\n0\n"},
      {{"TEST-FileCompare", "1", a, D("glued"), "0", "0", "1"}, "200\n0\n"},
      {{"TEST-FileCompare", "1", a, D("none"), "0", "0", "1"}, nofile},
      {{"TEST-FileCompare", "1", a, b, "1", "0", "0"}, "200\n0\n"},  // a is older
      {{"TEST-FileCompare", "2", words, "abc", "1", "1"}, "200\n1\n"},
      {{"TEST-FileCompare", "2", D("glued"), "abc", "1", "1"}, "200\n0\n"},
      {{"TEST-FileCompare", "2", a, "ABC", "0", "0"}, "200\n1\n"},
      {{"TEST-FileCompare", "2", a, "ABC", "1", "0"}, "200\n0\n"},
      {{"TEST-FileCompare", "2", a, "", "1", "0"}, "301\nI/O Error\n"},
      {{"TEST-FileCompare", "3", words, n + "empty"}, "200\n1\n"},
      {{"TEST-FileCompare", "3", words, n + "part"}, "200\n1\n"},
      {{"TEST-FileCompare", "3", words, n + "limit"}, "200\n0\n"},
      {{"TEST-FileCompare", "3", words, n + "over"},
       "301\nThe size of the second file cannot exceed 8Mb\n"},
      {{"TEST-FileCompare", "3", words, n + "none"}, nofile},
      {{"TEST-FileCompare", "3", words, D("only") + "/%newestfile%", "", "", "", "", "", "", "",
        "", "1"},
       "200\n1\n"},
      {{"TEST-FileCompare", "3", words, D("only") + "/%newestfile%", "", "", "", "", "", "", "",
        "", "0"},
       nofile},
      {{"TEST-FileCompare", "5", a, b}, wrong},
      {{"TEST-FileCompare", "4", a, b}, wrong},
      {{"TEST-FileCompare", "", a}, wrong},
      {{"TEST-FileCompare", "5", D("none"), b}, nofile},
      {{"TEST-FileCompare", "1", D("empty"), b}, nofile},
      {{"TEST-FileCompare"}, nofile},
  };
  for (const Case& c : cases) {
    std::string what;
    for (const std::string& p : c.request) what += p + " ";
    EXPECT_EQ(Ask(agent, c.request), c.want) << what;
  }
}

// ------------------------------------------------------------ GetFilesList

struct Listing {
  std::string folder;
  int count = -1, per = -1;
  std::vector<std::vector<std::string>> entries;
};

Listing ParseListing(const std::string& out) {
  Listing l;
  std::vector<std::string> lines = SplitLines(out);
  if (lines.size() < 4 || lines[0] != "200") return l;
  l.folder = lines[1];
  l.count = std::stoi(lines[2]);
  l.per = std::stoi(lines[3]);
  for (size_t i = 4; l.per > 0 && i + l.per <= lines.size(); i += l.per) {
    l.entries.emplace_back(lines.begin() + i, lines.begin() + i + l.per);
  }
  return l;
}

// Folders d, .cache; files f.txt, .profile, g.log; a link and a fifo.
TEST(FilesE2E, FileListEntries) {
  AgentProcess agent;
  ASSERT_TRUE(agent.Start()) << agent.console();
  TempDir t;
  mkdir(t.File("d").c_str(), 0755);
  mkdir(t.File(".cache").c_str(), 0755);
  WriteFile(t.File("f.txt"), "abc");
  WriteFile(t.File(".profile"), "p");
  WriteFile(t.File("g.log"), "x");
  symlink(t.File("f.txt").c_str(), t.File("link.txt").c_str());
  mkfifo(t.File("fifo.txt").c_str(), 0644);
  SetMtime(t.File("f.txt"), 1700000000);
  struct stat st;
  ASSERT_EQ(lstat(t.File("f.txt").c_str(), &st), 0);
  using Entries = std::vector<std::vector<std::string>>;
  // The entries sorted (the folder's own order is the system's), after a
  // check that folders come first.
  auto sorted = [](const std::string& out) {
    Listing l = ParseListing(out);
    EXPECT_EQ(static_cast<size_t>(l.count), l.entries.size()) << out;
    bool files = false;
    for (const auto& e : l.entries) {
      const bool folder = (std::stoi(e[1]) & 16) != 0;
      EXPECT_FALSE(files && folder) << out;
      files = files || !folder;
    }
    std::sort(l.entries.begin(), l.entries.end());
    return l.entries;
  };
  const std::string dir = t.path() + "/";
  // Without hidden or special entries.
  EXPECT_EQ(sorted(Ask(agent, {"GetFilesList", t.path(), "*", "1", "1", "0", "0", "0", "0", "0"})),
            (Entries{{"..", "16"}, {"d", "16"}, {"f.txt", "0"}, {"g.log", "0"}}));
  // Hidden and special entries when asked for; the mask applies to files.
  EXPECT_EQ(sorted(Ask(agent, {"GetFilesList", t.path(), "*.txt", "1", "1", "1", "1", "0", "0", "0"})),
            (Entries{{"..", "16"}, {".cache", "18"}, {"d", "16"}, {"f.txt", "0"}, {"fifo.txt", "4"}}));
  // All values of an entry.
  EXPECT_EQ(Ask(agent, {"GetFilesList", t.path(), "f.txt", "0", "1", "0", "0", "1", "1", "1"}),
            "200\n" + dir + "\n1\n5\nf.txt\n0\n     3\n" + TimeText(st.st_ctime) + "\n" +
                TimeText(1700000000) + "\n");
  // The folder parameter: empty is the root, a file names its folder.
  EXPECT_EQ(Ask(agent, {"GetFilesList", t.path(), "*", "0", "0"}), "200\n" + dir + "\n0\n2\n");
  EXPECT_EQ(ParseListing(Ask(agent, {"GetFilesList", "", "*", "1", "0"})).folder, "/");
  EXPECT_EQ(Ask(agent, {"GetFilesList", t.File("f.txt"), "g*", "0", "1"}),
            "200\n" + dir + "\n1\n2\ng.log\n0\n");
  EXPECT_EQ(Ask(agent, {"GetFilesList", t.File("none") + "/", "*", "1", "1"}),
            "200\n" + t.File("none") + "/\n0\n2\n");
}

}  // namespace
