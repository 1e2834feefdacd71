// The process, processor, external program and shell script tests through
// the real agent as one table of requests and whole replies, and the helper
// scripts of the source tree on a fake /proc.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "protocol/value_codec.h"
#include "tests/agent_harness.h"

namespace {

using testutil::AgentProcess;
using Clock = std::chrono::steady_clock;

std::string Encode(const std::string& text) {
  return orvEncodeStrings(String(text.c_str())).ToStd();
}

// The names of the files the agent left in its private temporary folder.
std::string Leftovers(const AgentProcess& agent) {
  std::string found;
  DIR* d = opendir(testutil::PrivateTmpIn(agent.dir().path()).c_str());
  while (struct dirent* e = d ? readdir(d) : nullptr) {
    if (e->d_name[0] != '.') found += std::string(e->d_name) + " ";
  }
  if (d != nullptr) closedir(d);
  return found;
}

// Children of the test under a process name of their own (a copy of sleep),
// stopped by pid.
struct Sleepers {
  Sleepers(const std::string& path, int count) {
    if (system(("cp /bin/sleep '" + path + "'").c_str()) != 0) return;
    for (int i = 0; i < count; ++i) {
      const pid_t pid = fork();
      if (pid == 0) {
        execl(path.c_str(), path.c_str(), "30", static_cast<char*>(nullptr));
        _exit(127);
      }
      if (pid > 0) pids.push_back(pid);
    }
  }
  ~Sleepers() {
    for (pid_t pid : pids) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  std::vector<pid_t> pids;
};

// The scripts run the way the agent runs them (standard output and error into
// one file) on a fake /proc with one process that ended between the listing
// and the read (its status cannot be opened).
TEST(HelperScriptsTest, OnAFakeProc) {
  testutil::TempDir proc, out;
  for (const char* p : {"1 init", "20 abcdefghijklmno", "300 two words", "4000 init"}) {
    const std::string pid = std::string(p).substr(0, std::string(p).find(' '));
    mkdir(proc.File(pid).c_str(), 0755);
    testutil::WriteFile(proc.File(pid + "/status"), "Name:\t" + std::string(p).substr(pid.size() + 1) +
                                                       "\nState:\tS\n");
  }
  mkdir(proc.File("55").c_str(), 0755);
  symlink("/nonexistent/status", proc.File("55/status").c_str());
  testutil::WriteFile(proc.File("stat"), "cpu  100 0 50 850 0 0 0 0 0 0\n");
  struct Case {
    const char *script, *arg, *want;
  } cases[] = {
      {"orv-proccount.sh", "init", "2\n"},
      {"orv-proccount.sh", "two words", "1\n"},
      {"orv-proccount.sh", "nothing", "0\n"},
      // The kernel keeps the first 15 bytes of a longer name.
      {"orv-proccount.sh", "abcdefghijklmnopqr", "1\n"},
      {"orv-proccount.sh", "abcdefghijklmn", "0\n"},
      {"orv-proclist.sh", "", "1 init\n20 abcdefghijklmno\n300 two words\n4000 init\n"},
      {"orv-cpuusage.sh", "", "0.0\n"},  // counters that did not move
  };
  for (const Case& c : cases) {
    const std::string cmd = "ORV_PROC_ROOT='" + proc.path() + "' " + ORV_SOURCE_DIR + "/scripts/" +
                            c.script + " '" + c.arg + "' >" + out.File("o") + " 2>&1";
    EXPECT_NE(system(cmd.c_str()), -1);
    EXPECT_EQ(testutil::ReadFile(out.File("o")), c.want) << c.script << " " << c.arg;
  }
}

TEST(ProgramsE2E, RepliesForEachRequest) {
  // The pause before a shell script is kept short so the suite stays fast.
  AgentProcess agent("external=1\r\nshellscript=1\r\ndelayforscripts=1000\r\n");
  ASSERT_TRUE(agent.Start()) << agent.console();
  const std::string name = "orvsl" + std::to_string(getpid() % 100000);
  Sleepers sleepers(agent.dir().File(name), 2);
  ASSERT_EQ(sleepers.pids.size(), 2u);
  // Until exec has happened the children still carry the test's name.
  ASSERT_TRUE(testutil::Eventually([&] {
    return testutil::ReadFile("/proc/" + std::to_string(sleepers.pids[0]) + "/comm") == name + "\n" &&
           testutil::ReadFile("/proc/" + std::to_string(sleepers.pids[1]) + "/comm") == name + "\n";
  }, 5000));
  const std::string witness = agent.dir().File("pwned");
  const std::string script = "#!/bin/sh\r\necho first\r\necho \"scriptres: $1\"\r\necho third\r\n";
  const std::string no_name = "501\nName of the process is not specified\n";
  const std::string no_exec = "exec error: No such file or directory\n";
  struct Case {
    std::vector<std::string> request;
    std::string want;
    int max_ms = 0;
  } cases[] = {
      {{"TEST-Process", "", name}, "200\n2\n"},
      {{"TEST-Process", "ignored", name + "x"}, "200\n0\n"},
      // The name reaches the script as one word and runs nothing.
      {{"TEST-Process", "", "x; touch " + witness}, "200\n0\n"},
      {{"TEST-Process", "", "x' ; touch " + witness + " ; '"}, "200\n0\n"},
      {{"TEST-Process", "init", ""}, no_name},
      {{"TEST-Process"}, no_name},
      {{"TEST-ExternalPrg", "/bin/sh -c 'exit 1'", "", "0", "5000"}, "200\n1\n"},
      {{"TEST-ExternalPrg", "/bin/true", "/nonexistent", "0", "0"}, "200\n0\n"},  // no folder
      {{"TEST-ExternalPrg", "/nonexistent/prog", "", "0", "1000"}, "301\n" + no_exec},
      {{"TEST-ExternalPrg", "/bin/true", "", "0", "1s"}, "501\nWrong parameter\n"},
      {{"TEST-ExternalPrg", "", "", "0", "1000"}, "501\nCommand line to execute is not specified\n"},
      // Without waiting the answer comes after about a second.
      {{"TEST-ExternalPrg", "/bin/sleep 3", "", "0", "-1"}, "200\n0\n", 2800},
      {{"TEST-ShellScript", "/bin/sh %script% %params%", Encode(script), Encode("42"), "10", "3"},
       "200\nscriptres: 42\nfirst%0D%0Ascriptres: 42%0D%0Athird%0D%0A\n"},
      {{"TEST-ShellScript", "%SCRIPT%", Encode(script), "", "10", "0"}, "200\nscriptres:\n\n"},
      {{"TEST-ShellScript", "/bin/echo hello", Encode("exit 0\n"), "", "5", "1"},
       "200\nhello\nhello%0D%0A\n"},
      {{"TEST-ShellScript", "/nonexistent/sh %script%", Encode("echo x"), "", "5", "1"},
       "301\nScript execution error: " + no_exec},
      {{"TEST-ShellScript", "%script%", Encode("#!/bin/sh\nsleep 10\n"), "", "1", "1"},
       "301\nScript execution error: abnormal termination\n", 4000},
  };
  for (const Case& c : cases) {
    std::string what;
    for (const std::string& p : c.request) what += p + "|";
    const auto start = Clock::now();
    EXPECT_EQ(agent.Query(c.request).out, c.want) << what;
    if (c.max_ms > 0) {
      EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(c.max_ms)) << what;
    }
    EXPECT_FALSE(testutil::Exists(witness)) << "a command ran from: " << what;
    EXPECT_EQ(Leftovers(agent), "") << what;
  }

  // The processor usage: one "%6.4f" value between 0 and 100.
  const std::string cpu = agent.Query({"TEST-CPU"}).out;
  EXPECT_TRUE(cpu.size() >= 11 && cpu.compare(0, 4, "200\n") == 0 && cpu[cpu.size() - 6] == '.' &&
              cpu.back() == '\n' && cpu.find_first_not_of(" 0123456789.\n") == std::string::npos &&
              std::stod(cpu.substr(4)) <= 100.0)
      << cpu;
  // The process list: one encoded line holding a line for each sleeper.
  const std::string list = agent.Query({"GetProcessesList"}).out;
  EXPECT_EQ(list.find('\n', 4), list.size() - 1) << list;
  EXPECT_EQ(list.substr(list.size() - 7), "%0D%0A\n");
  EXPECT_NE(list.find("%0D%0A" + std::to_string(sleepers.pids[1]) + " " + name + "%0D%0A"),
            std::string::npos)
      << list;

}

}  // namespace
