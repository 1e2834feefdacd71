// The process, processor, external program and shell script tests through
// the real agent: replies, value forms, switches, the helper scripts of the
// source tree, and that no temporary file outlives its request.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "base/bytestring.h"
#include "protocol/value_codec.h"
#include "tests/agent_harness.h"

namespace {

using testutil::AgentProcess;
using testutil::OrvqResult;
using Clock = std::chrono::steady_clock;

std::string Encode(const std::string& text) {
  return orvEncodeStrings(String(text.c_str())).ToStd();
}

// Temporary files the agent left in its private temporary folder.
std::vector<std::string> Leftovers(const AgentProcess& agent) {
  std::vector<std::string> found;
  DIR* d = opendir(testutil::PrivateTmpIn(agent.dir().path()).c_str());
  if (d == nullptr) return found;
  while (struct dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") found.push_back(name);
  }
  closedir(d);
  return found;
}

// Children of the test with a process name of its own, stopped by pid.
class Sleepers {
 public:
  Sleepers(const std::string& dir, const std::string& name, int count) {
    path_ = dir + "/" + name;
    std::string copy = "cp /bin/sleep '" + path_ + "'";
    if (system(copy.c_str()) != 0) return;
    for (int i = 0; i < count; ++i) {
      pid_t pid = fork();
      if (pid == 0) {
        execl(path_.c_str(), path_.c_str(), "30", static_cast<char*>(nullptr));
        _exit(127);
      }
      if (pid > 0) pids_.push_back(pid);
    }
    // Until exec has happened the children still carry the test's name.
    for (int tries = 0; tries < 200 && !AllExecuted(name); ++tries) usleep(5000);
  }
  ~Sleepers() {
    for (pid_t pid : pids_) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  const std::vector<pid_t>& pids() const { return pids_; }

 private:
  bool AllExecuted(const std::string& name) const {
    for (pid_t pid : pids_) {
      std::string comm = testutil::ReadFile("/proc/" + std::to_string(pid) + "/comm");
      if (comm != name + "\n") return false;
    }
    return true;
  }
  std::string path_;
  std::vector<pid_t> pids_;
};

// Runs a helper script of the source tree on a fake /proc, the way the agent
// runs it: standard output and standard error into one file.
std::string RunHelperScript(const std::string& script, const std::string& proc,
                            const std::string& arg) {
  testutil::TempDir out;
  std::string cmd = "ORV_PROC_ROOT='" + proc + "' " + ORV_SOURCE_DIR + "/scripts/" + script + " '" +
                    arg + "' 1>" + out.File("o") + " 2>" + out.File("o");
  if (system(cmd.c_str()) == -1) return "<not run>";
  return testutil::ReadFile(out.File("o"));
}

// A fake /proc: one folder per process with its "status", and one process
// that ended between the listing and the read (its status cannot be opened).
class HelperScriptsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Proc("1", "init");
    Proc("20", "abcdefghijklmno");  // the kernel's 15 bytes of a longer name
    Proc("300", "two words");
    Proc("4000", "init");
    mkdir(proc_.File("55").c_str(), 0755);
    symlink("/nonexistent/status", proc_.File("55/status").c_str());
    testutil::WriteFile(proc_.File("stat"), "cpu  100 0 50 850 0 0 0 0 0 0\n");
  }
  void Proc(const std::string& pid, const std::string& name) {
    mkdir(proc_.File(pid).c_str(), 0755);
    testutil::WriteFile(proc_.File(pid + "/status"), "Name:\t" + name + "\nState:\tS\n");
  }
  testutil::TempDir proc_;
};

TEST_F(HelperScriptsTest, CountIsAloneEvenWhenAProcessVanishes) {
  EXPECT_EQ(RunHelperScript("orv-proccount.sh", proc_.path(), "init"), "2\n");
  EXPECT_EQ(RunHelperScript("orv-proccount.sh", proc_.path(), "two words"), "1\n");
  EXPECT_EQ(RunHelperScript("orv-proccount.sh", proc_.path(), "nothing"), "0\n");
}

TEST_F(HelperScriptsTest, LongNamesMatchByTheirFirst15Bytes) {
  EXPECT_EQ(RunHelperScript("orv-proccount.sh", proc_.path(), "abcdefghijklmnopqr"), "1\n");
  EXPECT_EQ(RunHelperScript("orv-proccount.sh", proc_.path(), "abcdefghijklmn"), "0\n");
}

TEST_F(HelperScriptsTest, ListHasOneLinePerLiveProcess) {
  std::string list = RunHelperScript("orv-proclist.sh", proc_.path(), "");
  EXPECT_EQ(list, "1 init\n20 abcdefghijklmno\n300 two words\n4000 init\n");
}

TEST_F(HelperScriptsTest, CpuUsageOfUnchangedCountersIsZero) {
  EXPECT_EQ(RunHelperScript("orv-cpuusage.sh", proc_.path(), ""), "0.0\n");
}

class ProgramsE2E : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The pause before a shell script is kept short so the suite stays fast.
    agent_ = new AgentProcess("external=1\r\nshellscript=1\r\ndelayforscripts=1000\r\n");
    ASSERT_TRUE(agent_->Start()) << agent_->console();
  }
  static void TearDownTestSuite() {
    delete agent_;
    agent_ = nullptr;
  }
  void TearDown() override { EXPECT_TRUE(Leftovers(*agent_).empty()) << Leftovers(*agent_)[0]; }
  static OrvqResult Query(const std::vector<std::string>& req) { return agent_->Query(req); }

  static AgentProcess* agent_;
};
AgentProcess* ProgramsE2E::agent_ = nullptr;

TEST(ProgramsScriptsE2E, MissingScriptsDoNotExist) {
  // An empty setting names the agent's own folder, which is no script either.
  AgentProcess agent(
      "proccntscript=\r\ncpuusagescript=/nonexistent/cpu.sh\r\n"
      "proclistscript=absent-list.sh\r\n");
  ASSERT_TRUE(agent.Start()) << agent.console();
  EXPECT_EQ(agent.Query({"TEST-Process", "", ""}).out, "301\nProcCnt script doesn't exist\n");
  EXPECT_EQ(agent.Query({"TEST-CPU"}).out, "301\nCPUUsage script doesn't exist\n");
  EXPECT_EQ(agent.Query({"GetProcessesList"}).out, "301\nProcList script doesn't exist\n");
}

TEST_F(ProgramsE2E, ProcessCountsProcessesOfTheName) {
  const std::string name = "orvsl" + std::to_string(getpid() % 100000);
  Sleepers sleepers(agent_->dir().path(), name, 2);
  ASSERT_EQ(sleepers.pids().size(), 2u);
  EXPECT_EQ(Query({"TEST-Process", "", name}).out, "200\n2\n");
  EXPECT_EQ(Query({"TEST-Process", "ignored", name + "x"}).out, "200\n0\n");
}

TEST_F(ProgramsE2E, ProcessWithoutNameIsWrong) {
  EXPECT_EQ(Query({"TEST-Process", "init", ""}).out, "501\nName of the process is not specified\n");
  EXPECT_EQ(Query({"TEST-Process"}).out, "501\nName of the process is not specified\n");
}

// A server allowed only the process test must not get a command run through
// the name: it reaches the script as one word and matches no process.
TEST_F(ProgramsE2E, ProcessNameCannotRunCommands) {
  const std::string witness = "/tmp/pwned-" + std::to_string(getpid());
  unlink(witness.c_str());
  const std::string names[] = {"x; touch " + witness, "$(touch " + witness + ")",
                               "`touch " + witness + "`", "x' ; touch " + witness + " ; '",
                               "x | touch " + witness};
  for (const std::string& name : names) {
    EXPECT_EQ(Query({"TEST-Process", "", name}).out, "200\n0\n") << name;
    EXPECT_NE(access(witness.c_str(), F_OK), 0) << "command ran from: " << name;
    unlink(witness.c_str());
  }
}

TEST_F(ProgramsE2E, CpuUsageIsOneReal) {
  OrvqResult r = Query({"TEST-CPU"});
  ASSERT_EQ(r.out.substr(0, 4), "200\n") << r.out;
  const std::string value = r.out.substr(4);  // "%6.4f" and a line feed
  ASSERT_GE(value.size(), 7u) << r.out;
  EXPECT_EQ(value[value.size() - 6], '.') << r.out;
  EXPECT_EQ(value.back(), '\n');
  EXPECT_EQ(value.find_first_not_of(" 0123456789.\n"), std::string::npos) << r.out;
  EXPECT_GE(std::stod(value), 0.0);
  EXPECT_LE(std::stod(value), 100.0);
}

TEST_F(ProgramsE2E, ProcessListIsOneEncodedLineWithOurProcess) {
  const std::string name = "orvls" + std::to_string(getpid() % 100000);
  Sleepers sleepers(agent_->dir().path(), name, 1);
  ASSERT_EQ(sleepers.pids().size(), 1u);
  OrvqResult r = Query({"GetProcessesList"});
  ASSERT_EQ(r.out.substr(0, 4), "200\n");
  std::string list = r.out.substr(4);
  ASSERT_EQ(list.find('\n'), list.size() - 1) << "more than one line";
  EXPECT_NE(list.find("%0D%0A" + std::to_string(sleepers.pids()[0]) + " " + name + "%0D%0A"),
            std::string::npos);
  EXPECT_EQ(list.substr(list.size() - 7), "%0D%0A\n");
}

TEST_F(ProgramsE2E, ExternalReportsExitCode) {
  EXPECT_EQ(Query({"TEST-ExternalPrg", "/bin/sh -c 'exit 1'", "", "0", "5000"}).out, "200\n1\n");
  EXPECT_EQ(Query({"TEST-ExternalPrg", "/bin/true", "/nonexistent", "0", "0"}).out, "200\n0\n");
}

TEST_F(ProgramsE2E, ExternalFailuresAndWrongParameters) {
  EXPECT_EQ(Query({"TEST-ExternalPrg", "/nonexistent/prog", "", "0", "1000"}).out,
            "301\nexec error: No such file or directory\n");
  EXPECT_EQ(Query({"TEST-ExternalPrg", "/bin/true", "", "0", "1s"}).out, "501\nWrong parameter\n");
  EXPECT_EQ(Query({"TEST-ExternalPrg", "", "", "0", "1000"}).out,
            "501\nCommand line to execute is not specified\n");
}

TEST_F(ProgramsE2E, ExternalWithoutWaitingAnswersAfterAboutOneSecond) {
  auto start = Clock::now();
  EXPECT_EQ(Query({"TEST-ExternalPrg", "/bin/sleep 3", "", "0", "-1"}).out, "200\n0\n");
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_LT(ms, 2800);
}

TEST_F(ProgramsE2E, ShellScriptResultLineAndOutput) {
  std::string script = "#!/bin/sh\r\necho first\r\necho \"scriptres: $1\"\r\necho third\r\n";
  OrvqResult r = Query(
      {"TEST-ShellScript", "/bin/sh %script% %params%", Encode(script), Encode("42"), "10", "3"});
  EXPECT_EQ(r.out, "200\nscriptres: 42\nfirst%0D%0Ascriptres: 42%0D%0Athird%0D%0A\n");
  r = Query({"TEST-ShellScript", "%SCRIPT%", Encode(script), "", "10", "0"});
  EXPECT_EQ(r.out, "200\nscriptres:\n\n");
}

TEST_F(ProgramsE2E, ShellScriptThatRunsTooLongIsKilled) {
  auto start = Clock::now();
  OrvqResult r =
      Query({"TEST-ShellScript", "%script%", Encode("#!/bin/sh\nsleep 10\n"), "", "1", "1"});
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_EQ(r.out, "301\nScript execution error: abnormal termination\n");
  EXPECT_LT(ms, 4000);
}

TEST_F(ProgramsE2E, ShellScriptThatCannotStart) {
  EXPECT_EQ(
      Query({"TEST-ShellScript", "/nonexistent/sh %script%", Encode("echo x"), "", "5", "1"}).out,
      "301\nScript execution error: exec error: No such file or directory\n");
}

}  // namespace
