// The process and shell-script handlers in this process against scripts of
// the test: the reading of the scripts' output, and an empty script setting,
// which the configuration file cannot give. The rest, a temporary folder gone
// bad among it, is checked end to end.
#include "monitors/process_tests.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <string>

#include "base/childproc.h"
#include "base/private_tmp.h"
#include "config/settings.h"
#include "monitors/program_tests.h"
#include "protocol/value_codec.h"
#include "tests/testutil.h"

namespace {

TEST(ProcessHandlers, RepliesForEachScript) {
  testutil::TempDir tmp, scripts;
  testutil::ScopedSettings settings;
  TORVSettings& s = settings.edit();
  s.TestProcess = s.TestCPUUsage = s.TestShellScript = 1;
  s.DelayForScripts = 0;
  s.TmpDir = tmp.path().c_str();
  using Handler = void (*)(const VQRequest&, ORVReply&);
  const Handler count = ProcessTest_Process, cpu = ProcessTest_CPU,
                list = ProcessInfo_ProcessesList, shell = ProcessTest_ShellScript;
  String TORVSettings::*const cnt = &TORVSettings::ProcCntScript;
  String TORVSettings::*const use = &TORVSettings::CpuUsageScript;
  String TORVSettings::*const lst = &TORVSettings::ProcListScript;
  const char* const name = "\nsshd\n";
  const std::string bad = "301\nScript error";
  struct Case {
    String TORVSettings::*script;
    // The script's text ("" for none), or a path beginning with "/".
    std::string body;
    Handler handler;
    const char* params;  // for the shell script: the number of lines to send
    std::string want;
  } cases[] = {
      // An empty setting cannot come from the file: there it names a folder.
      {cnt, "", count, "\n\n", "301\nProcCnt script is not speified"},
      {use, "", cpu, "", "301\nCPUUsage script is not speified"},
      {lst, "", list, "", "301\nProcList script is not speified"},
      {cnt, "/nonexistent/count.sh", count, name, "301\nProcCnt script doesn't exist"},
      {use, "/nonexistent/cpu.sh", cpu, "", "301\nCPUUsage script doesn't exist"},
      {lst, "/", list, "", "301\nProcList script doesn't exist"},  // a folder is no script
      {cnt, "echo '  3 processes running'", count, name, "200\n3\n"},
      {cnt, "echo 4 >&2", count, name, "200\n4\n"},
      // Each stream writes from the start of the file, over what another wrote.
      {cnt, "echo oops >&2; echo 3", count, name, "200\n3\n"},
      {cnt, "echo -4", count, name, "200\n-4\n"},
      {cnt, "echo +7", count, name, "200\n7\n"},
      {cnt, "echo 12abc", count, name, "200\n12\n"},
      {cnt, "echo 99999999999999", count, name, "200\n2147483647\n"},
      {cnt, "echo -99999999999999", count, name, "200\n-2147483648\n"},
      {cnt, "true", count, name, bad},
      {cnt, "echo abc 3", count, name, bad},
      {cnt, "echo -", count, name, bad},
      {cnt, "echo - 3", count, name, bad},
      {use, "echo 2.5 >&3", cpu, "", "200\n2.5000\n"},
      {use, "printf ' \\n 0.25%%'", cpu, "", "200\n0.2500\n"},
      {use, "echo -1.5 x", cpu, "", "200\n-1.5000\n"},
      {use, "echo usage", cpu, "", bad},
      // Empty lines go, a last line without a line feed stays, and a long line
      // arrives in pieces of 511 bytes.
      {lst, "printf '1 init\\n\\n2 sshd\\nx'", list, "", "200\n1 init%0D%0A2 sshd%0D%0Ax%0D%0A\n"},
      {lst, "printf '%0600d\\n' 0", list, "",
       "200\n" + std::string(511, '0') + "%0D%0A" + std::string(89, '0') + "%0D%0A\n"},
      // The result line is the first line that begins with "scriptres:",
      // else the last non-empty one; lines are trimmed.
      {nullptr, "printf 'first\\nscriptres: 42\\nthird\\n'", shell, "0", "200\nscriptres: 42\n\n"},
      {nullptr, "printf 'a\\nSCRIPTRES:ok\\nb\\nc\\n'", shell, "1", "200\nSCRIPTRES:ok\na%0D%0A\n"},
      {nullptr, "printf '  one \\r\\n\\n two\\t\\n\\n   \\n'", shell, "5",
       "200\ntwo\none%0D%0Atwo%0D%0A\n"},
      {nullptr, "printf 'x scriptres: no\\n  scriptres:yes\\nlater\\n'", shell, "0",
       "200\nscriptres:yes\n\n"},
      {nullptr, "true", shell, "3", "200\n\n\n"},
      {nullptr, "printf 'a\\nb\\n'", shell, "-2", "200\nb\n\n"},
  };
  for (const Case& c : cases) {
    std::string params = c.params;
    if (c.handler == shell) {
      params = "/bin/sh %script%\n" + orvEncodeStrings(String(c.body.c_str())).ToStd() + "\n\n5\n" +
               params;
    } else if (c.body[0] == '/') {
      s.*c.script = c.body.c_str();
    } else if (!c.body.empty()) {
      testutil::WriteScript(scripts.File("s.sh"), c.body + "\n");
      s.*c.script = scripts.File("s.sh").c_str();
    } else {
      s.*c.script = "";
    }
    settings.Publish();
    VQRequest request;
    request = params.c_str();
    ORVReply reply;
    c.handler(request, reply);
    EXPECT_EQ(reply.ToStd(), c.want) << c.body;
    // Every output file is gone once the handler has answered.
    String err;
    UniqueDir d(opendir(PrivateTmpFolder(err).CStr()));
    while (struct dirent* e = d ? readdir(d.get()) : nullptr)
      EXPECT_EQ(e->d_name[0], '.') << e->d_name;
  }
}

// Seconds to milliseconds, 0 for no limit, short of the "do not wait" value.
TEST(ScriptTimeLimitMsTest, Table) {
  EXPECT_EQ(ScriptTimeLimitMs(0), 0u);
  EXPECT_EQ(ScriptTimeLimitMs(-1), 0u);
  EXPECT_EQ(ScriptTimeLimitMs(4294967), 4294967000u);
  EXPECT_EQ(ScriptTimeLimitMs(2147483647), kSystemExNoWait - 1);
}

}  // namespace
