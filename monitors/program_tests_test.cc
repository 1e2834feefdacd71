#include "monitors/program_tests.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "base/childproc.h"
#include "base/environment.h"
#include "base/private_tmp.h"
#include "config/settings.h"
#include "protocol/value_codec.h"
#include "tests/testutil.h"

namespace {

struct Collected {
  std::string result, output;
};

Collected Read(std::string text, int lines) {
  FILE* f = text.empty() ? fopen("/dev/null", "r") : fmemopen(&text[0], text.size(), "r");
  String result, output;
  ReadScriptOutput(f, lines, result, output);
  fclose(f);
  return {result.ToStd(), output.ToStd()};
}

TEST(ReadScriptOutputTest, Table) {
  struct Case {
    const char* name;
    std::string text;
    int lines;
    const char* result;
    const char* output;
  } cases[] = {
      {"stops at the result line when no lines are wanted", "first\nscriptres: 42\nthird\n", 0,
       "scriptres: 42", ""},
      {"the result line stays while lines are taken", "first\nscriptres: 42\nthird\n", 3,
       "scriptres: 42", "first\r\nscriptres: 42\r\nthird\r\n"},
      {"stops once the result is found and the lines taken", "a\nSCRIPTRES:ok\nb\nc\n", 1,
       "SCRIPTRES:ok", "a\r\n"},
      {"without a result line the last non-empty line is used", "  one \r\n\n two\t\n\n   \n", 5,
       "two", "one\r\ntwo\r\n"},
      {"the tag must begin the trimmed line", "x scriptres: no\n  scriptres:yes\nlater\n", 0,
       "scriptres:yes", ""},
      {"empty output", "", 3, "", ""},
      {"a negative count takes no lines", "a\nb\n", -2, "b", ""},
  };
  for (const Case& c : cases) {
    Collected got = Read(c.text, c.lines);
    EXPECT_EQ(got.result, c.result) << c.name;
    EXPECT_EQ(got.output, c.output) << c.name;
  }
}

TEST(ScriptTimeLimitMsTest, Table) {
  EXPECT_EQ(ScriptTimeLimitMs(0), 0u);
  EXPECT_EQ(ScriptTimeLimitMs(-1), 0u);
  EXPECT_EQ(ScriptTimeLimitMs(2), 2000u);
  EXPECT_EQ(ScriptTimeLimitMs(4294967), 4294967000u);
  EXPECT_EQ(ScriptTimeLimitMs(2147483647), kSystemExNoWait - 1);
}

class ShellScriptHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_settings_ = ORVSettings.Get();
    had_tmpdir_ = GetEnvVar("TMPDIR", saved_tmpdir_);
    TORVSettings s = *saved_settings_;
    s.TestShellScript = 1;
    s.DelayForScripts = 0;
    s.TmpDir = tmp_.path().c_str();
    ORVSettings.Publish(s);
  }
  void TearDown() override {
    ORVSettings.Publish(*saved_settings_);
    if (had_tmpdir_) {
      SetEnvVar("TMPDIR", saved_tmpdir_);
    } else {
      unsetenv("TMPDIR");
    }
  }
  std::string Run(const std::string& templ, const std::string& script, const std::string& params,
                  const std::string& seconds, const std::string& lines) {
    VQRequest r;
    r = (templ + "\n" + orvEncodeStrings(String(script.c_str())).ToStd() + "\n" +
         orvEncodeStrings(String(params.c_str())).ToStd() + "\n" + seconds + "\n" + lines + "\n")
            .c_str();
    ORVReply reply;
    ProcessTest_ShellScript(r, reply);
    return reply.ToStd();
  }
  int TempEntries() const {
    String err;
    String dir = PrivateTmpFolder(err);
    int n = 0;
    DIR* d = opendir(dir.CStr());
    while (d != nullptr && readdir(d) != nullptr) ++n;
    if (d != nullptr) closedir(d);
    return n - 2;  // "." and ".."
  }

  testutil::TempDir tmp_;
  std::shared_ptr<const TORVSettings> saved_settings_;
  String saved_tmpdir_;
  bool had_tmpdir_ = false;
};

TEST_F(ShellScriptHandlerTest, RunsScriptWithParamsAndCleansUp) {
  std::string reply =
      Run("/bin/sh %SCRIPT% %Params%", "echo first\r\necho \"scriptres: $1-$2\"\r\necho third\r\n",
          "a b", "5", "2");
  EXPECT_EQ(reply, "200\nscriptres: a-b\nfirst%0D%0Ascriptres: a-b%0D%0A\n");
  EXPECT_EQ(TempEntries(), 0);
}

TEST_F(ShellScriptHandlerTest, ScriptFileIsExecutableItself) {
  EXPECT_EQ(Run("%script%", "#!/bin/sh\necho scriptres:direct\n", "", "5", "0"),
            "200\nscriptres:direct\n\n");
  EXPECT_EQ(TempEntries(), 0);
}

TEST_F(ShellScriptHandlerTest, TemplateWithoutPlaceholderStillCleansUp) {
  EXPECT_EQ(Run("/bin/echo hello", "exit 0\n", "", "5", "1"), "200\nhello\nhello%0D%0A\n");
  EXPECT_EQ(TempEntries(), 0);
}

TEST_F(ShellScriptHandlerTest, ProgramThatCannotStartCleansUp) {
  std::string reply = Run("/nonexistent/prog %script%", "echo x\n", "", "5", "1");
  EXPECT_EQ(reply, "301\nScript execution error: exec error: No such file or directory");
  EXPECT_EQ(TempEntries(), 0);
}

TEST_F(ShellScriptHandlerTest, UnusableTempDirectory) {
  // Missing, or writable by everyone without the sticky bit.
  SetEnvVar("TMPDIR", String(tmp_.File("absent").c_str()));
  EXPECT_EQ(Run("%script%", "echo x\n", "", "5", "1"), "301\nCannot get temp file");
  ASSERT_EQ(mkdir(tmp_.File("open").c_str(), 0700), 0);
  ASSERT_EQ(chmod(tmp_.File("open").c_str(), 0777), 0);
  SetEnvVar("TMPDIR", String(tmp_.File("open").c_str()));
  EXPECT_EQ(Run("%script%", "echo x\n", "", "5", "1"), "301\nCannot get temp file");
}

}  // namespace
