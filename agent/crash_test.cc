#include "agent/crash.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <string>

#include "agent/flags.h"
#include "config/settings.h"
#include "tests/testutil.h"

namespace {

// Runs one segmentation fault in a child process whose agent started `age`
// seconds ago and would restart as a shell that records that it ran. The
// child's exit status: 7 when the handler returned.
int FaultInChild(const testutil::TempDir& dir, int64_t age) {
  pid_t pid = fork();
  if (pid != 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  TORVSettings s;
  s.SetConfigFile(dir.File("orv.cfg").c_str());
  s.LogFails = 1;
  s.BadLogFile = "bad.log";  // beside the configuration file
  s.AgentPath = "/bin/sh";
  ORVSettings.Publish(s);
  ORVFlags.StartTime = static_cast<int64_t>(time(nullptr)) - age;
  static std::string marker = dir.File("restarted");
  static char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"),
                         const_cast<char*>("echo ran > \"$0\""), &marker[0], nullptr};
  CrashPathPrepare(argv, environ);
  CrashPathSetPidFile(dir.File("orv.pid").c_str());
  InstallCrashHandler();
  raise(SIGSEGV);
  _exit(7);
}

// An early fault only reports (a restart loop is worse than a stop); a late
// one restarts the agent in place of the process, its pid file gone.
TEST(CrashPathTest, LateFaultRestartsEarlyFaultOnlyReports) {
  const std::string line = "[DD/DD/DDDD DD:DD:DD]\t orv\t\t ",
                    fault = line + "Segmentation fault!!\n";
  const struct {
    int64_t age;
    int status;
    std::string log;
    bool restarted;
  } cases[] = {{10, 7, fault, false}, {1000, 0, fault + line + "Restarting..\n", true}};
  for (const auto& c : cases) {
    testutil::TempDir dir;
    testutil::WriteFile(dir.File("orv.pid"), "1\n");
    EXPECT_EQ(FaultInChild(dir, c.age), c.status) << c.age;
    std::string log = testutil::ReadFile(dir.File("bad.log"));
    for (char& ch : log) ch = ch >= '0' && ch <= '9' ? 'D' : ch;  // lines compare by shape
    EXPECT_EQ(log, c.log) << c.age;
    EXPECT_EQ(testutil::ReadFile(dir.File("restarted")) == "ran\n", c.restarted) << c.age;
    EXPECT_EQ(testutil::Exists(dir.File("orv.pid")), !c.restarted) << c.age;
  }
}

}  // namespace
