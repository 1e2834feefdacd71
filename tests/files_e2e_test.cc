// The file and folder tests, file CRC and comparison, and the file list,
// asked of the real agent.
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

// A number as replies carry it, right-aligned in six places at least.
std::string Padded(long long v) {
  char buf[32];
  snprintf(buf, sizeof buf, "%6lld", v);
  return buf;
}

void SetMtime(const std::string& path, time_t t) {
  struct timeval tv[2] = {{t, 0}, {t, 0}};
  ASSERT_EQ(utimes(path.c_str(), tv), 0) << path;
}

std::vector<std::string> SplitLines(const std::string& s) {
  std::vector<std::string> lines;
  std::istringstream in(s);
  std::string l;
  while (std::getline(in, l)) lines.push_back(l);
  return lines;
}

// One request to agent, command and parameters a line each; the reply text.
std::string Ask(AgentProcess& agent, const std::vector<std::string>& request) {
  std::string text;
  for (const std::string& p : request) text += p + "\n";
  std::string reply = testutil::Ask(agent.port(), AgentProcess::kPassword, text + "\r");
  if (!reply.empty() && reply.back() == '\r') reply.pop_back();
  return reply;
}

// The whole reply to each request, on one agent. Parameters after the path
// of "TEST-FolderSize" (the 8th), "TEST-FileExists" (the 6th),
// "TEST-CountFiles" (the 11th) and "TEST-FileCompare" mode 3 (the 12th) ask
// for macros.
TEST(FilesE2E, RepliesForEachRequest) {
  AgentProcess agent;
  ASSERT_TRUE(agent.Start()) << agent.console();
  TempDir data;
  auto D = [&](const std::string& name = "") {
    return name.empty() ? data.path() : data.File(name);
  };
  // tree/: a (10 bytes), .h (5), x (3), pipe (a fifo), link -> a, sub/b
  // (100), sub/c.log (1000, two hours old), sub/x/f (20), sub/dl -> tree,
  // .hid/h.log (7); needles/: what mode 3 looks for in "words"; only/ and
  // fe/: one file for a macro; list/: what "GetFilesList" shows.
  for (const char* f : {"tree", "tree/sub", "tree/sub/x", "tree/.hid", "empty", "needles", "fe",
                        "only", "list", "list/d", "list/.cache"})
    mkdir(D(f).c_str(), 0755);
  const std::string x(1000, 'x');
  // clang-format off
  const std::pair<const char*, std::string> files[] = {
      {"tree/a", x.substr(0, 10)}, {"tree/.h", x.substr(0, 5)}, {"tree/x", "xxx"},
      {"tree/sub/b", x.substr(0, 100)}, {"tree/sub/c.log", x}, {"tree/sub/x/f", x.substr(0, 20)},
      {"tree/.hid/h.log", x.substr(0, 7)}, {"s100", x.substr(0, 100)}, {"digits", "123456789"},
      {"zero", ""}, {"big", std::string(1234567, 'b')}, {"abc3", "abc"}, {"abc6", "abcdef"},
      {"words", "xabc abc"}, {"glued", "xabcx"}, {"needles/empty", ""}, {"needles/part", "c ab"},
      {"fe/x.dat", "12345"}, {"only/file", "ab"}, {"list/f.txt", "abc"}, {"list/.profile", "p"},
      {"list/g.log", "x"}};
  // clang-format on
  for (const auto& f : files) WriteFile(D(f.first), f.second);
  mkfifo(D("tree/pipe").c_str(), 0644);
  mkfifo(D("list/fifo.txt").c_str(), 0644);
  symlink(D("tree/a").c_str(), D("tree/link").c_str());
  symlink(D("tree").c_str(), D("tree/sub/dl").c_str());
  symlink(D("list/f.txt").c_str(), D("list/link.txt").c_str());
  SetMtime(D("tree/sub/c.log"), time(nullptr) - 7200);
  SetMtime(D("tree/.hid"), 1000000);  // sub is the newest folder
  SetMtime(D("abc3"), 1000000);
  SetMtime(D("abc6"), 2000000);
  SetMtime(D("list/f.txt"), 1700000000);
  for (const char* f : {"needles/limit", "needles/over"}) WriteFile(D(f), "");
  ASSERT_EQ(truncate(D("needles/limit").c_str(), 8388608), 0);
  ASSERT_EQ(truncate(D("needles/over").c_str(), 8388609), 0);
  // The sizes of the file system: one trailing backslash is dropped.
  for (const std::string& path : {D(), D() + "\\"}) {
    std::vector<std::string> lines = SplitLines(Ask(agent, {"TEST-UNC", path}));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "200");
    for (size_t i = 1; i < 4; ++i) EXPECT_EQ(lines[i], Padded(std::stoll(lines[i])));
  }

  const std::string nofolder = "301\nFolder doesn`t exist or access denied\n";
  const std::string nofile = "301\nFile doesn`t exist\n";
  const std::string wrong = "501\nWrong parameter\n";
  const std::string words = D("words"), a = D("abc3"), b = D("abc6");
  const std::string tree = D("tree"), n = D("needles") + "/", list = D("list"), l = list + "/";
  // "TEST-FileExists" shows an entry's own size and times (a link's own),
  // its path and its age in minutes; each is dated two hours back first.
  const time_t back = time(nullptr) - 7201;
  auto exists = [&](const std::string& path) {
    struct timeval tv[2] = {{back, 0}, {back, 0}};
    EXPECT_EQ(lutimes(path.c_str(), tv), 0) << path;
    struct stat st;
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return "200\n" + Padded(st.st_size) + "\n" + TimeText(st.st_ctime) + "\n" + TimeText(back) +
           "\n" + path + "\nmin\n120\n";
  };
  struct stat fst;
  ASSERT_EQ(lstat(D("list/f.txt").c_str(), &fst), 0);
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
      {{"TEST-FileExists", D("none")}, "301\nno such file or acess denied\n"},
      {{"TEST-FileExists", D("*.nomatch")}, "301\nno such file or acess denied\n"},
      {{"TEST-FileExists", ""}, "301\nno such file or acess denied\n"},
      {{"TEST-UNC", "\\"}, "501\nPath not specified\n"},
      {{"TEST-UNC"}, "501\nPath not specified\n"},
      {{"TEST-UNC", D("none")}, "301\nNo such file or directory\n"},

      // Links are never followed nor counted; hidden folders are added up.
      {{"TEST-FolderSize", tree, "0"}, "200\n    18\n"},
      {{"TEST-FolderSize", tree, "1"}, "200\n  1145\n"},
      {{"TEST-FolderSize", tree + "/*.log", "1"}, "200\n  1007\n"},
      // A mask that names a subfolder below stands for all of that folder.
      {{"TEST-FolderSize", tree + "/x", "1"}, "200\n    23\n"},
      {{"TEST-FolderSize", D("empty"), "1"}, "200\n     0\n"},
      {{"TEST-FolderSize", tree + "/dl", "1"}, "200\n     0\n"},
      {{"TEST-FolderSize", D("big"), "0"}, "200\n1234567\n"},
      {{"TEST-FolderSize", D("none") + "/x", "1"},
       "301\nFolder/File doesn`t exist or access denied\n"},
      {{"TEST-FolderSize", tree + "/%newestfolder%", "0", "", "", "", "", "", "1"},
       "200\n  1100\n"},
      // Unexpanded, the macro text is a mask that matches nothing.
      {{"TEST-FolderSize", tree + "/%newestfolder%", "0"}, "200\n     0\n"},

      // A fifo is a file; hidden folders are not entered.
      {{"TEST-CountFiles", tree, "*", "0", "0", "0"}, "200\n4\n"},
      {{"TEST-CountFiles", tree, "*", "1", "0", "0"}, "200\n7\n"},
      {{"TEST-CountFiles", tree, "*", "1", "1", "60"}, "200\n1\n"},
      {{"TEST-CountFiles", tree, "*", "1", "2", "60"}, "200\n6\n"},
      {{"TEST-CountFiles", tree, "*", "0", "5", "0"}, "200\n2\n"},
      {{"TEST-CountFiles", tree, ".*", "0", "5", "0"}, "200\n1\n"},
      {{"TEST-CountFiles", tree, "", "0", "0", "0"}, "200\n0\n"},
      {{"TEST-CountFiles", tree, "*.log", "1", "3", "999"}, "200\n1\n"},
      // Equality with the limit never counts.
      {{"TEST-CountFiles", D(), "s100", "0", "3", "100"}, "200\n0\n"},
      {{"TEST-CountFiles", D(), "s100", "0", "4", "100"}, "200\n0\n"},
      {{"TEST-CountFiles", D(), "s100", "0", "4", "101"}, "200\n1\n"},
      {{"TEST-CountFiles", D("empty"), "*.x", "0", "0", "0"}, "200\n0\n"},
      {{"TEST-CountFiles", tree, "*", "0", "6", "0"}, wrong},
      {{"TEST-CountFiles", tree, "*", "0", "-1", "0"}, wrong},
      {{"TEST-CountFiles", tree, "*", "0", "3", "12a"}, wrong},
      {{"TEST-CountFiles", tree, "*", "0", "0", " 12"}, "200\n4\n"},  // trimmed
      {{"TEST-CountFiles", D("none"), "*", "1", "0", "0"}, nofolder},
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
      {{"TEST-FileCompare", "3", words, D("only") + "/%newestfile%", "", "", "", "", "", "", "", "",
        "1"},
       "200\n1\n"},
      {{"TEST-FileCompare", "3", words, D("only") + "/%newestfile%", "", "", "", "", "", "", "", "",
        "0"},
       nofile},
      {{"TEST-FileCompare", "4", a, b}, wrong},
      {{"TEST-FileCompare", "", a}, wrong},
      {{"TEST-FileCompare", "5", D("none"), b}, nofile},
      {{"TEST-FileCompare", "1", D("empty"), b}, nofile},

      // Every value of an entry; a file names its folder; empty is the root.
      {{"GetFilesList", list, "f.txt", "0", "1", "0", "0", "1", "1", "1"},
       "200\n" + l + "\n1\n5\nf.txt\n0\n     3\n" + TimeText(fst.st_ctime) + "\n" +
           TimeText(1700000000) + "\n"},
      {{"GetFilesList", list, "*", "0", "0"}, "200\n" + l + "\n0\n2\n"},
      {{"GetFilesList", l + "f.txt", "g*", "0", "1"}, "200\n" + l + "\n1\n2\ng.log\n0\n"},
      {{"GetFilesList", l + "none/", "*", "1", "1"}, "200\n" + l + "none/\n0\n2\n"},
  };
  for (const Case& c : cases) {
    std::string what;
    for (const std::string& p : c.request) what += p + " ";
    EXPECT_EQ(Ask(agent, c.request), c.want) << what;
  }
  // The entries sorted (the folder's own order is the system's), after a
  // check that folders come first: without hidden or special entries, then
  // with them, the mask applying to files only.
  using Entries = std::vector<std::vector<std::string>>;
  auto sorted = [](const std::string& out) {
    std::vector<std::string> lines = SplitLines(out);
    Entries entries;
    for (size_t i = 4; lines.size() >= 4 && i + 2 <= lines.size(); i += 2)
      entries.push_back({lines[i], lines[i + 1]});
    EXPECT_EQ(lines.size() >= 4 ? lines[2] : "", std::to_string(entries.size())) << out;
    EXPECT_TRUE(std::is_partitioned(entries.begin(), entries.end(), [](const auto& e) {
      return (std::stoi(e[1]) & 16) != 0;
    })) << out;
    std::sort(entries.begin(), entries.end());
    return entries;
  };
  EXPECT_EQ(sorted(Ask(agent, {"GetFilesList", list, "*", "1", "1", "0", "0", "0", "0", "0"})),
            (Entries{{"..", "16"}, {"d", "16"}, {"f.txt", "0"}, {"g.log", "0"}}));
  EXPECT_EQ(
      sorted(Ask(agent, {"GetFilesList", list, "*.txt", "1", "1", "1", "1", "0", "0", "0"})),
      (Entries{{"..", "16"}, {".cache", "18"}, {"d", "16"}, {"f.txt", "0"}, {"fifo.txt", "4"}}));
  EXPECT_EQ(SplitLines(Ask(agent, {"GetFilesList", "", "*", "1", "0"}))[1], "/");
}

}  // namespace
