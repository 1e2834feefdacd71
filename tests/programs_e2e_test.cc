// What the agent runs for a server, through the real agent as one table of
// requests and whole replies: programs, shell scripts and the helper scripts
// of the source tree, these on a /proc the test makes.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/agent_harness.h"

namespace {

using testutil::Encoded;

// The names of the files the agent left in its private temporary folder.
std::string Leftovers(const testutil::AgentProcess& agent) {
  std::string found;
  UniqueDir d(opendir(testutil::PrivateTmpIn(agent.dir().path()).c_str()));
  while (struct dirent* e = d ? readdir(d.get()) : nullptr) {
    if (e->d_name[0] != '.') found += std::string(e->d_name) + " ";
  }
  return found;
}

TEST(ProgramsE2E, RepliesForEachRequest) {
  // Two processes of one name, one whose name the kernel cut to 15 bytes, one
  // that ended between the listing and the read, and as "7" the test itself
  // (the kernel's own status file); processor counters that did not move.
  testutil::TempDir proc, work;
  for (const std::string p : {"1 init", "20 abcdefghijklmno", "300 it's x", "4000 init"}) {
    const std::string pid = p.substr(0, p.find(' '));
    mkdir(proc.File(pid).c_str(), 0755);
    testutil::WriteFile(proc.File(pid + "/status"), "Name:\t" + p.substr(pid.size() + 1) + "\n");
  }
  for (const char* pid : {"55", "7"}) mkdir(proc.File(pid).c_str(), 0755);
  symlink("/nonexistent/status", proc.File("55/status").c_str());
  symlink(("/proc/" + std::to_string(getpid()) + "/status").c_str(), proc.File("7/status").c_str());
  testutil::WriteFile(proc.File("stat"), "cpu  100 0 50 850 0 0 0 0 0 0\n");
  std::string self = testutil::ReadFile("/proc/self/comm");
  self.pop_back();

  setenv("ORV_PROC_ROOT", proc.path().c_str(), 1);  // for the agent's scripts only
  // The pause before a shell script is kept short so the suite stays fast.
  testutil::AgentProcess agent("executeaction=1\r\nexternal=1\r\nshellscript=1\r\ndelayforscripts=1000\r\n");
  const bool started = agent.Start();
  unsetenv("ORV_PROC_ROOT");
  ASSERT_TRUE(started) << agent.console();
  const std::string witness = work.File("pwned");
  const std::string script = "#!/bin/sh\r\necho first\r\necho \"scriptres: $1\"\r\necho third\r\n";
  const std::string wrong = "501\nWrong parameter\n", no_exec = "exec error: No such file or directory\n";
  const std::string no_cmd = "501\nCommand line to execute is not specified\n";
  struct Case {
    std::vector<std::string> request;
    std::string want;
    int max_ms = 20000;
  } cases[] = {
      {{"ACT-ExternalCmd", "sh -c 'exit 3'", "", "0", "5000"}, "200\n3\n"},
      {{"ACT-ExternalCmd", "true", "", "7", "0"}, "200\n0\n"},
      {{"ACT-ExternalCmd", "touch made-here", work.path(), "0", "5000"}, "200\n0\n"},
      {{"ACT-ExternalCmd", "/no/such/program", "", "0", "5000"}, "301\n" + no_exec},
      {{"ACT-ExternalCmd", "sleep 10", "", "0", "1000"}, "301\nabnormal termination\n", 5000},
      {{"ACT-ExternalCmd", "", "", "0", "1000"}, no_cmd},
      {{"ACT-ExternalCmd", "true", "", "x", "1000"}, wrong},
      {{"ACT-ExternalCmd", "true", "", "0", "10s"}, wrong},
      {{"ACT-ExternalCmd", "", "", "zz", "1000"}, wrong},  // the numbers are checked first
      {{"TEST-ExternalPrg", "/bin/true", "/nonexistent", "0", "0"}, "200\n0\n"},  // no folder
      // Without waiting the answer comes after about a second.
      {{"TEST-ExternalPrg", "/bin/sleep 5", "", "0", "-1"}, "200\n0\n", 4500},
      {{"TEST-ShellScript", "/bin/sh %script% %params%", Encoded(script), Encoded("42"), "10", "3"},
       "200\nscriptres: 42\nfirst%0D%0Ascriptres: 42%0D%0Athird%0D%0A\n"},
      {{"TEST-ShellScript", "%SCRIPT%", Encoded(script), "", "10", "0"}, "200\nscriptres:\n\n"},
      {{"TEST-ShellScript", "/bin/echo hello", Encoded("exit 0\n"), "", "5", "1"},
       "200\nhello\nhello%0D%0A\n"},
      {{"TEST-ShellScript", "/nonexistent/sh %script%", Encoded("echo x"), "", "5", "1"},
       "301\nScript execution error: " + no_exec},
      {{"TEST-ShellScript", "%script%", Encoded("#!/bin/sh\nsleep 10\n"), "", "1", "1"},
       "301\nScript execution error: abnormal termination\n", 4000},
      {{"TEST-Process", "", "init"}, "200\n2\n"},
      {{"TEST-Process", "ignored", "it's x"}, "200\n1\n"},
      {{"TEST-Process", "", self}, "200\n1\n"},
      {{"TEST-Process", "", "abcdefghijklmnopqr"}, "200\n1\n"},
      {{"TEST-Process", "", "abcdefghijklmn"}, "200\n0\n"},
      // The name reaches the script as one word and runs nothing.
      {{"TEST-Process", "", "$(touch " + witness + ")"}, "200\n0\n"},
      {{"TEST-Process", "", "x' ; touch " + witness + " ; '"}, "200\n0\n"},
      {{"TEST-Process", "init", ""}, "501\nName of the process is not specified\n"},
      {{"TEST-CPU"}, "200\n0.0000\n"},
      {{"GetProcessesList"},
       "200\n1 init%0D%0A20 abcdefghijklmno%0D%0A300 it's x%0D%0A4000 init%0D%0A7 " + self + "%0D%0A\n"},
  };
  for (const Case& c : cases) {
    std::string what;
    for (const std::string& p : c.request) what += p + "|";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(agent.Query(c.request).out, c.want) << what;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(c.max_ms)) << what;
    EXPECT_FALSE(testutil::Exists(witness)) << "a command ran from: " << what;
    EXPECT_EQ(Leftovers(agent), "") << what;
  }
  EXPECT_TRUE(testutil::Exists(work.File("made-here")));
  // Run by hand, a script shows nothing ahead of the count on one shared
  // output; without the variable it reads the real /proc, where the test runs.
  const std::string scripts = std::string(ORV_SOURCE_DIR) + "/scripts/";
  EXPECT_EQ(system(("test \"$(ORV_PROC_ROOT='" + proc.path() + "' " + scripts +
                    "orv-proccount.sh init 2>&1)\" = 2").c_str()), 0);
  EXPECT_EQ(system((scripts + "orv-proclist.sh | grep -qxF '" + std::to_string(getpid()) + " " + self +
                    "'").c_str()), 0);
}

// More programs run at once than the agent keeps threads ready for: a short
// request is not held behind them.
TEST(ProgramsE2E, LongProgramsHoldNoOtherRequest) {
  testutil::AgentProcess agent("external=1\r\n");
  ASSERT_TRUE(agent.Start()) << agent.console();
  constexpr int kLong = 12;
  std::vector<std::thread> longs;
  for (int i = 0; i < kLong; ++i)
    longs.emplace_back([&] { agent.Query({"TEST-ExternalPrg", "/bin/sleep 4", "", "0", "20000"}); });
  const std::string status = "/proc/" + std::to_string(agent.pid()) + "/task";
  EXPECT_TRUE(testutil::Eventually(
      [&] {
        int threads = 0;
        UniqueDir d(opendir(status.c_str()));
        while (struct dirent* e = d ? readdir(d.get()) : nullptr) threads += e->d_name[0] != '.';
        return threads > kLong;  // the main thread and one per program
      },
      3000));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(agent.Query({"TEST-ExternalPrg", "/bin/true", "", "0", "1000"}).out, "200\n0\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
  for (std::thread& t : longs) t.join();
}

}  // namespace
