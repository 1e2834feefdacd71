// The process handlers in this process against scripts of the test. What a
// server sees of switches, missing scripts, hostile names, garbage output and
// temporary-folder faults is checked end to end; these cases cover what the
// configuration file cannot reach and the reading of the output.
#include "monitors/process_tests.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <string>

#include "base/private_tmp.h"
#include "config/settings.h"
#include "tests/testutil.h"

namespace {

TEST(ReadProcessListTest, LinesEndWithCrLfAndLongOnesArriveInPiecesOf511) {
  struct Case {
    std::string text, want;
  } cases[] = {
      {"1 init\n\n22 sshd\n333 cron\n", "1 init\r\n22 sshd\r\n333 cron\r\n"},
      {"a\nb", "a\r\nb\r\n"},
      {std::string(600, 'x') + "\n", std::string(511, 'x') + "\r\n" + std::string(89, 'x') + "\r\n"},
  };
  for (Case& c : cases) {
    FILE* f = fmemopen(&c.text[0], c.text.size(), "r");
    EXPECT_EQ(ReadProcessList(f).ToStd(), c.want);
    fclose(f);
  }
}

TEST(ProcessHandlers, RepliesForEachScript) {
  testutil::TempDir tmp, scripts;
  testutil::ScopedSettings settings;
  TORVSettings& s = settings.edit();
  s.TestProcess = 1;
  s.TestCPUUsage = 1;
  s.TmpDir = tmp.path().c_str();
  using Handler = void (*)(const VQRequest&, ORVReply&);
  const Handler count = ProcessTest_Process, cpu = ProcessTest_CPU,
                list = ProcessInfo_ProcessesList;
  struct Case {
    String TORVSettings::*script;
    std::string body;  // "" for no script at all
    Handler handler;
    const char* params;
    std::string want;
  } cases[] = {
      // An empty setting cannot come from the file: there it names a folder.
      {&TORVSettings::ProcCntScript, "", count, "\n\n", "301\nProcCnt script is not speified"},
      {&TORVSettings::CpuUsageScript, "", cpu, "", "301\nCPUUsage script is not speified"},
      {&TORVSettings::ProcListScript, "", list, "", "301\nProcList script is not speified"},
      {&TORVSettings::ProcCntScript, "echo '  3 processes running'\n", count, "\nsshd\n",
       "200\n3\n"},
      {&TORVSettings::ProcCntScript, "echo 4 >&2\n", count, "\nsshd\n", "200\n4\n"},
      // Each stream writes from the start of the file, over what another wrote.
      {&TORVSettings::ProcCntScript, "echo oops >&2; echo 3\n", count, "\nsshd\n", "200\n3\n"},
      {&TORVSettings::CpuUsageScript, "echo 2.5 >&3\n", cpu, "", "200\n2.5000\n"},
      {&TORVSettings::ProcListScript, "printf '1 init\\n\\n2 sshd\\n'\n", list, "",
       "200\n1 init%0D%0A2 sshd%0D%0A\n"},
  };
  for (const Case& c : cases) {
    s.*c.script = "";
    if (!c.body.empty()) {
      testutil::WriteScript(scripts.File("s.sh"), c.body);
      s.*c.script = scripts.File("s.sh").c_str();
    }
    settings.Publish();
    VQRequest request;
    request = c.params;
    ORVReply reply;
    c.handler(request, reply);
    EXPECT_EQ(reply.ToStd(), c.want) << c.body;
    // Every output file is gone once the handler has answered.
    String err;
    UniqueDir d(opendir(PrivateTmpFolder(err).CStr()));
    ASSERT_TRUE(d) << err.ToStd();
    while (struct dirent* e = readdir(d.get())) EXPECT_EQ(e->d_name[0], '.') << e->d_name;
  }
}

}  // namespace
