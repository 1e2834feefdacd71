#include "monitors/process_tests.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "base/environment.h"
#include "config/settings.h"
#include "tests/testutil.h"

namespace {

FILE* MemFile(std::string& text) {
  return fmemopen(&text[0], text.size(), "r");
}

TEST(ReadProcessListTest, SkipsEmptyLinesAndEndsEachWithCrLf) {
  std::string text = "1 init\n\n22 sshd\n333 cron\n";
  FILE* f = MemFile(text);
  EXPECT_EQ(ReadProcessList(f).ToStd(), "1 init\r\n22 sshd\r\n333 cron\r\n");
  fclose(f);
}

TEST(ReadProcessListTest, LastLineWithoutLineFeedCounts) {
  std::string text = "a\nb";
  FILE* f = MemFile(text);
  EXPECT_EQ(ReadProcessList(f).ToStd(), "a\r\nb\r\n");
  fclose(f);
}

TEST(ReadProcessListTest, LongLineArrivesInPiecesOf511) {
  std::string text = std::string(600, 'x') + "\n";
  FILE* f = MemFile(text);
  EXPECT_EQ(ReadProcessList(f).ToStd(),
            std::string(511, 'x') + "\r\n" + std::string(89, 'x') + "\r\n");
  fclose(f);
}

// Runs the handlers in this process against scripts of the test, with the
// temporary directory pointing at a folder of the test.
class ProcessHandlersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_settings_ = ORVSettings.Get();
    had_tmpdir_ = GetEnvVar("TMPDIR", saved_tmpdir_);
    TORVSettings s = *saved_settings_;
    s.TestProcess = 1;
    s.TestCPUUsage = 1;
    s.TmpDir = tmp_.path().c_str();
    s.ProcCntScript = "";
    s.CpuUsageScript = "";
    s.ProcListScript = "";
    settings_ = s;
    ORVSettings.Publish(settings_);
  }
  void TearDown() override {
    ORVSettings.Publish(*saved_settings_);
    if (had_tmpdir_) {
      SetEnvVar("TMPDIR", saved_tmpdir_);
    } else {
      unsetenv("TMPDIR");
    }
  }

  // A script of the test with the given body; returns its path.
  std::string Script(const std::string& name, const std::string& body) {
    std::string path = scripts_.File(name);
    testutil::WriteFile(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
    return path;
  }
  void Use(String TORVSettings::*field, const std::string& value) {
    settings_.*field = value.c_str();
    ORVSettings.Publish(settings_);
  }
  static VQRequest Params(const std::string& text) {
    VQRequest r;
    r = text.c_str();
    return r;
  }
  std::string Run(void (*handler)(const VQRequest&, ORVReply&), const std::string& params) {
    ORVReply reply;
    handler(Params(params), reply);
    return reply.ToStd();
  }
  // Every output file must be gone once the handler has answered.
  int TempEntries() const {
    int n = 0;
    DIR* d = opendir(tmp_.path().c_str());
    while (struct dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
  }

  testutil::TempDir tmp_;
  testutil::TempDir scripts_;
  TORVSettings settings_;
  std::shared_ptr<const TORVSettings> saved_settings_;
  String saved_tmpdir_;
  bool had_tmpdir_ = false;
};

TEST_F(ProcessHandlersTest, EmptyScriptSettingWinsOverEmptyName) {
  EXPECT_EQ(Run(ProcessTest_Process, "\n\n"), "301\nProcCnt script is not speified");
  EXPECT_EQ(Run(ProcessTest_CPU, ""), "301\nCPUUsage script is not speified");
  EXPECT_EQ(Run(ProcessInfo_ProcessesList, ""), "301\nProcList script is not speified");
}

TEST_F(ProcessHandlersTest, MissingOrFolderScriptDoesNotExist) {
  Use(&TORVSettings::ProcCntScript, scripts_.File("absent.sh"));
  Use(&TORVSettings::CpuUsageScript, scripts_.path());
  Use(&TORVSettings::ProcListScript, scripts_.path() + "/");
  EXPECT_EQ(Run(ProcessTest_Process, "\nsshd\n"), "301\nProcCnt script doesn't exist");
  EXPECT_EQ(Run(ProcessTest_CPU, ""), "301\nCPUUsage script doesn't exist");
  EXPECT_EQ(Run(ProcessInfo_ProcessesList, ""), "301\nProcList script doesn't exist");
}

TEST_F(ProcessHandlersTest, EmptyNameIsWrong) {
  Use(&TORVSettings::ProcCntScript, Script("pc.sh", "echo 1\n"));
  EXPECT_EQ(Run(ProcessTest_Process, "x\n  \n"), "501\nName of the process is not specified");
  EXPECT_EQ(Run(ProcessTest_Process, ""), "501\nName of the process is not specified");
}

TEST_F(ProcessHandlersTest, CountIsTheLeadingNumber) {
  Use(&TORVSettings::ProcCntScript, Script("pc.sh", "echo '  3 processes running'\n"));
  EXPECT_EQ(Run(ProcessTest_Process, "\nsshd\n"), "200\n3\n");
  EXPECT_EQ(TempEntries(), 0);
}

TEST_F(ProcessHandlersTest, NoNumberIsScriptError) {
  Use(&TORVSettings::ProcCntScript, Script("pc.sh", "true\n"));
  EXPECT_EQ(Run(ProcessTest_Process, "\nsshd\n"), "301\nScript error");
  Use(&TORVSettings::CpuUsageScript, Script("cpu.sh", "echo busy\n"));
  EXPECT_EQ(Run(ProcessTest_CPU, ""), "301\nScript error");
  EXPECT_EQ(TempEntries(), 0);
}

TEST_F(ProcessHandlersTest, StandardErrorAndDescriptor3CountAsOutput) {
  Use(&TORVSettings::ProcCntScript, Script("pc.sh", "echo 4 >&2\n"));
  EXPECT_EQ(Run(ProcessTest_Process, "\nsshd\n"), "200\n4\n");
  Use(&TORVSettings::CpuUsageScript, Script("cpu.sh", "echo 2.5 >&3\n"));
  EXPECT_EQ(Run(ProcessTest_CPU, ""), "200\n2.5000\n");
}

// The name reaches the script as its one and only argument, byte for byte,
// and the shell runs nothing that the name spells.
TEST_F(ProcessHandlersTest, NameIsOneQuotedWord) {
  Use(&TORVSettings::ProcCntScript,
      Script("pc.sh", "echo \"$#\"; printf '%s' \"$1\" >" + scripts_.File("arg") + "\n"));
  const std::string witness = scripts_.File("pwned");
  const std::string names[] = {"sshd", "x; touch " + witness, "a'b", "$(touch " + witness + ")"};
  for (const std::string& name : names) {
    EXPECT_EQ(Run(ProcessTest_Process, "\n" + name + "\n"), "200\n1\n") << name;
    EXPECT_EQ(testutil::ReadFile(scripts_.File("arg")), name);
    EXPECT_NE(access(witness.c_str(), F_OK), 0) << name;
  }
}

TEST_F(ProcessHandlersTest, CpuUsageIsReal) {
  Use(&TORVSettings::CpuUsageScript, Script("cpu.sh", "echo 12.5\n"));
  EXPECT_EQ(Run(ProcessTest_CPU, ""), "200\n12.5000\n");
}

TEST_F(ProcessHandlersTest, ListIsOneEncodedParameter) {
  Use(&TORVSettings::ProcListScript, Script("pl.sh", "printf '1 init\\n\\n2 sshd\\n3 cron\\n'\n"));
  EXPECT_EQ(Run(ProcessInfo_ProcessesList, ""), "200\n1 init%0D%0A2 sshd%0D%0A3 cron%0D%0A\n");
  EXPECT_EQ(TempEntries(), 0);
}

TEST_F(ProcessHandlersTest, UnusableTempDirectory) {
  Use(&TORVSettings::ProcCntScript, Script("pc.sh", "echo 1\n"));
  SetEnvVar("TMPDIR", String(("/" + std::string(600, 'd')).c_str()));
  EXPECT_EQ(Run(ProcessTest_Process, "\nsshd\n"), "301\ncannot get temp file");
  SetEnvVar("TMPDIR", String(scripts_.File("absent").c_str()));
  EXPECT_EQ(Run(ProcessTest_Process, "\nsshd\n"), "301\nCannot get script results");
}

}  // namespace
