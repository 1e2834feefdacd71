#include "monitors/helper_script.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "tests/testutil.h"

namespace {

String S(const std::string& s) {
  String out;
  out.CopyData(s.data(), static_cast<int>(s.size()));
  return out;
}

// A stream over text (the buffer lives until the next call).
FILE* MemFile(const std::string& text) {
  static std::string keep;
  keep = text;
  if (keep.empty()) return fopen("/dev/null", "r");
  return fmemopen(&keep[0], keep.size(), "r");
}

TEST(QuoteShellWordTest, Table) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"sshd", "'sshd'"},
      {"", "''"},
      {"a'b", "'a'\\''b'"},
      {"''", "''\\'''\\'''"},
      {"x; touch y", "'x; touch y'"},
      {std::string("ab\0cd", 5), "'ab'"},
  };
  for (const Case& c : cases) EXPECT_EQ(QuoteShellWord(S(c.in)).ToStd(), c.out) << c.in;
}

// What the shell makes of a quoted word: it must get back exactly the name,
// as one argument, and run nothing else.
TEST(QuoteShellWordTest, ShellReadsBackOneWordUnchanged) {
  testutil::TempDir dir;
  const std::string witness = dir.File("pwned");
  const std::string names[] = {
      "plain",
      "two words",
      "x; touch " + witness,
      "$(touch " + witness + ")",
      "`touch " + witness + "`",
      "it's",
      "a\\b",
      "line\nbreak",
      "*",
      "-n",
      "'; touch " + witness + "; '",
  };
  for (const std::string& name : names) {
    const std::string out = dir.File("out");
    String cmd = String("printf '%s|%s' ") + QuoteShellWord(S(name)) + " \"$#\"";
    // printf gets the format, then the name, then "$#" of the outer shell
    // (0): the name must arrive as exactly one argument.
    int fd = open(out.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    const int fds[3] = {fd, fd, fd};
    int status = RunShellCommand(cmd.CStr(), fds);
    close(fd);
    ASSERT_TRUE(WIFEXITED(status)) << name;
    EXPECT_EQ(testutil::ReadFile(out), name + "|0") << name;
    EXPECT_NE(access(witness.c_str(), F_OK), 0) << "ran a command from: " << name;
  }
}

TEST(HelperCommandLineTest, ExactForm) {
  String name("init");
  EXPECT_EQ(HelperCommandLine("/opt/pc.sh", &name).ToStd(), "/opt/pc.sh 'init'");
  EXPECT_EQ(HelperCommandLine("/opt/cpu.sh", nullptr).ToStd(), "/opt/cpu.sh");
}

TEST(RunShellCommandTest, Descriptors1To3AreRoutedAndStatusComesBack) {
  testutil::TempDir dir;
  int fds[3];
  for (int i = 0; i < 3; ++i) {
    fds[i] = open(dir.File(std::to_string(i + 1)).c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  }
  int status = RunShellCommand("echo a; echo b >&2; echo c >&3; exit 3", fds);
  for (int fd : fds) close(fd);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_EQ(testutil::ReadFile(dir.File("1")), "a\n");
  EXPECT_EQ(testutil::ReadFile(dir.File("2")), "b\n");
  EXPECT_EQ(testutil::ReadFile(dir.File("3")), "c\n");
  EXPECT_EQ(RunShellCommand(nullptr, fds), -1);
}

TEST(TTempFileTest, DeletesOnScopeExitAndToleratesMissingFile) {
  testutil::TempDir dir;
  const std::string path = dir.File("f");
  {
    testutil::WriteFile(path, "x");
    TTempFile f(path.c_str());
    EXPECT_STREQ(f.Path(), path.c_str());
  }
  EXPECT_NE(access(path.c_str(), F_OK), 0);
  TTempFile never_made(dir.File("absent").c_str());
  never_made.Remove();
  EXPECT_STREQ(never_made.Path(), "");
}

TEST(ScanLeadingIntTest, Table) {
  struct Case {
    const char* text;
    bool ok;
    int value;
  } cases[] = {
      {"3", true, 3},
      {"  \n\t3 procs", true, 3},
      {"-4\n", true, -4},
      {"+7", true, 7},
      {"12abc", true, 12},
      {"", false, 0},
      {"abc 3", false, 0},
      {"-", false, 0},
      {"- 3", false, 0},
      {"99999999999999", true, INT_MAX},
      {"-99999999999999", true, INT_MIN},
  };
  for (const Case& c : cases) {
    FILE* f = MemFile(c.text);
    ASSERT_NE(f, nullptr);
    int v = 12345;
    EXPECT_EQ(ScanLeadingInt(f, v), c.ok) << c.text;
    EXPECT_EQ(v, c.ok ? c.value : 12345) << c.text;
    fclose(f);
  }
}

TEST(ScanLeadingRealTest, Table) {
  struct Case {
    const char* text;
    bool ok;
    float value;
  } cases[] = {
      {"12.5\n", true, 12.5f}, {" \n 7", true, 7.0f}, {"0.25%", true, 0.25f},
      {"-1.5 x", true, -1.5f}, {"", false, 0},        {"usage", false, 0},
  };
  for (const Case& c : cases) {
    FILE* f = MemFile(c.text);
    ASSERT_NE(f, nullptr);
    float v = 99.0f;
    EXPECT_EQ(ScanLeadingReal(f, v), c.ok) << c.text;
    EXPECT_FLOAT_EQ(v, c.ok ? c.value : 99.0f) << c.text;
    fclose(f);
  }
}

}  // namespace
