#include "base/childproc.h"

#include <dirent.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/environment.h"
#include "tests/testutil.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// Sets or unsets TMPDIR and TMP for one test and restores them afterwards.
// The environment lock is held only while the variables change, never across
// the calls under test (they take it themselves).
class TempEnv {
 public:
  TempEnv(const char* tmpdir, const char* tmp) {
    auto lock = LockEnvironment();
    Save("TMPDIR", &old_tmpdir_, &had_tmpdir_);
    Save("TMP", &old_tmp_, &had_tmp_);
    Put("TMPDIR", tmpdir);
    Put("TMP", tmp);
  }
  ~TempEnv() {
    auto lock = LockEnvironment();
    Put("TMPDIR", had_tmpdir_ ? old_tmpdir_.c_str() : nullptr);
    Put("TMP", had_tmp_ ? old_tmp_.c_str() : nullptr);
  }

 private:
  static void Save(const char* name, std::string* value, bool* had) {
    const char* v = getenv(name);
    *had = v != nullptr;
    if (v) *value = v;
  }
  static void Put(const char* name, const char* value) {
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  std::string old_tmpdir_, old_tmp_;
  bool had_tmpdir_ = false, had_tmp_ = false;
};

std::vector<std::string> Split(const char* line) {
  TCommandLine cl;
  SplitCommandLine(line, cl);
  std::vector<std::string> args;
  for (int i = 0; i < cl.argc; ++i) args.emplace_back(cl.argv[i]);
  EXPECT_EQ(cl.argv[cl.argc], nullptr);
  return args;
}

// Process ids whose parent is this process, from /proc.
std::vector<pid_t> OwnChildren() {
  std::vector<pid_t> kids;
  DIR* d = opendir("/proc");
  if (!d) return kids;
  while (struct dirent* e = readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::ifstream f(std::string("/proc/") + e->d_name + "/stat");
    std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    char state;
    int ppid;
    if (sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == getpid()) {
      kids.push_back(atoi(e->d_name));
    }
  }
  closedir(d);
  return kids;
}

// ---------------------------------------------------------------------------
// Command-line splitting

TEST(SplitCommandLine, QuotesBlanksAndLimits) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Split("a 'b c' d"), (V{"a", "b c", "d"}));
  EXPECT_EQ(Split("  prog   \"x  y\"  "), (V{"prog", "x  y"}));
  EXPECT_EQ(Split("p 'it\"s'"), (V{"p", "it\"s"}));
  EXPECT_EQ(Split("p 'open end"), (V{"p", "open end"}));
  EXPECT_EQ(Split("p 'b c'd"), (V{"p", "b c", "d"}));
  EXPECT_EQ(Split("p\ta\t\tb"), (V{"p", "a", "b"}));
  EXPECT_EQ(Split("p ''"), (V{"p", ""}));
  EXPECT_TRUE(Split("").empty());
  EXPECT_TRUE(Split("   ").empty());
  EXPECT_TRUE(Split(nullptr).empty());
}

TEST(SplitCommandLine, AtMost23Arguments) {
  std::string line;
  for (int i = 0; i < 30; ++i) line += "a" + std::to_string(i) + " ";
  auto args = Split(line.c_str());
  ASSERT_EQ(args.size(), 23u);
  EXPECT_EQ(args.back(), "a22");
}

TEST(SplitCommandLine, StopsWhenTheTextAreaIsFull) {
  std::string big(600, 'x');
  // 601 + 601 bytes would pass 1024: the second long argument and all that
  // follows is dropped, even a short one that would still fit.
  auto args = Split(("p " + big + " " + big + " q").c_str());
  ASSERT_EQ(args.size(), 2u);
  EXPECT_EQ(args[1], big);
  std::string exact(1024 - 2 - 1, 'y');  // "p\0" + exact + NUL = 1024
  EXPECT_EQ(Split(("p " + exact).c_str()).size(), 2u);
  EXPECT_EQ(Split(("p " + exact + "y").c_str()).size(), 1u);
}

// ---------------------------------------------------------------------------
// Running children

TEST(SystemEx, MissingProgramReportsExecError) {
  testutil::TempDir tmp;
  TempEnv env(tmp.path().c_str(), nullptr);
  int code = -1;
  String msg;
  EXPECT_FALSE(SystemEx("/nonexistent/orv-no-such-program arg", nullptr, 5000, code, msg));
  EXPECT_EQ(msg.ToStd(), "exec error: No such file or directory");
  // The child result file was read and removed.
  DIR* d = opendir(tmp.path().c_str());
  ASSERT_NE(d, nullptr);
  int entries = 0;
  while (struct dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++entries;
  }
  closedir(d);
  EXPECT_EQ(entries, 0);
}

TEST(SystemEx, EmptyCommandLineIsAnExecError) {
  int code = 0;
  String msg;
  EXPECT_FALSE(SystemEx("   ", nullptr, 5000, code, msg));
  EXPECT_EQ(msg.ToStd(), "exec error: No such file or directory");
}

TEST(SystemEx, ExitCodesAreReported) {
  int code = -1;
  String msg("stale");
  EXPECT_TRUE(SystemEx("sh -c 'exit 3'", nullptr, 5000, code, msg));
  EXPECT_EQ(code, 3);
  EXPECT_TRUE(msg.IsEmpty());
  // 255 without a result file is an ordinary exit code.
  EXPECT_TRUE(SystemEx("sh -c 'exit 255'", nullptr, 5000, code, msg));
  EXPECT_EQ(code, 255);
}

TEST(SystemEx, ShortProgramIsNotHeldBackByPolling) {
  int code = -1;
  String msg;
  auto t0 = Clock::now();
  EXPECT_TRUE(SystemEx("true", nullptr, 10000, code, msg));
  EXPECT_EQ(code, 0);
  EXPECT_LT(SecondsSince(t0), 0.5);
}

TEST(SystemEx, KilledBySignalIsAbnormal) {
  int code = -1;
  String msg;
  EXPECT_FALSE(SystemEx("sh -c 'kill -9 $$'", nullptr, 5000, code, msg));
  EXPECT_EQ(msg.ToStd(), "abnormal termination");
}

TEST(SystemEx, TimeLimitKillsTheChild) {
  int code = -1;
  String msg;
  auto t0 = Clock::now();
  EXPECT_FALSE(SystemEx("sleep 10", nullptr, 2000, code, msg));
  double took = SecondsSince(t0);
  EXPECT_EQ(msg.ToStd(), "abnormal termination");
  EXPECT_GE(took, 1.9);
  EXPECT_LE(took, 3.3);
}

TEST(SystemEx2, ArgumentsAndStreamsReachTheProgram) {
  testutil::TempDir tmp;
  std::string out = tmp.File("out");
  int code = -1;
  String msg;
  ASSERT_TRUE(SystemEx2("printf [%s] a 'b c' d", nullptr, nullptr, out.c_str(), nullptr, 5000,
                        code, msg));
  EXPECT_EQ(testutil::ReadFile(out), "[a][b c][d]");

  std::string in = tmp.File("in");
  testutil::WriteFile(in, "from stdin\n");
  ASSERT_TRUE(SystemEx2("cat", nullptr, in.c_str(), out.c_str(), nullptr, 5000, code, msg));
  EXPECT_EQ(testutil::ReadFile(out), "from stdin\n");
}

TEST(SystemEx2, OutputAndErrorToOneFileKeepBoth) {
  testutil::TempDir tmp;
  std::string out = tmp.File("both");
  int code = -1;
  String msg;
  ASSERT_TRUE(SystemEx2("sh -c 'echo one; echo two >&2; echo three'", nullptr, nullptr,
                        out.c_str(), out.c_str(), 5000, code, msg));
  EXPECT_EQ(testutil::ReadFile(out), "one\ntwo\nthree\n");
}

TEST(SystemEx2, MissingInputFileReadsAsEmpty) {
  testutil::TempDir tmp;
  std::string out = tmp.File("out");
  int code = -1;
  String msg;
  ASSERT_TRUE(SystemEx2("cat", nullptr, tmp.File("absent").c_str(), out.c_str(), nullptr, 5000,
                        code, msg));
  EXPECT_EQ(code, 0);
  EXPECT_EQ(testutil::ReadFile(out), "");
}

TEST(SystemEx2, WorkingDirectory) {
  testutil::TempDir tmp;
  std::string out = tmp.File("out");
  int code = -1;
  String msg;
  ASSERT_TRUE(SystemEx2("pwd", tmp.path().c_str(), nullptr, out.c_str(), nullptr, 5000, code, msg));
  char real[4096];
  ASSERT_NE(realpath(tmp.path().c_str(), real), nullptr);
  EXPECT_EQ(testutil::ReadFile(out), std::string(real) + "\n");
  // A working directory that does not exist stops the program from starting.
  EXPECT_FALSE(SystemEx("true", tmp.File("absent").c_str(), 5000, code, msg));
  EXPECT_EQ(msg.ToStd(), "exec error: No such file or directory");
}

TEST(SystemEx2, RelativeTempDirectoryStillFindsTheResultFile) {
  // With no temporary directory set the result file lives in the agent's own
  // directory, even though the child has changed to another one.
  TempEnv env(nullptr, nullptr);
  testutil::TempDir tmp;
  int code = -1;
  String msg;
  EXPECT_FALSE(SystemEx("orv-no-such-program", tmp.path().c_str(), 5000, code, msg));
  EXPECT_EQ(msg.ToStd(), "exec error: No such file or directory");
}

TEST(SystemEx2, NoWaitLeavesTheChildRunningAndReapsItLater) {
  int code = -1;
  String msg;
  auto t0 = Clock::now();
  EXPECT_TRUE(SystemEx("sleep 2", nullptr, kSystemExNoWait, code, msg));
  double took = SecondsSince(t0);
  EXPECT_EQ(code, 0);
  EXPECT_GE(took, 0.9);
  EXPECT_LE(took, 1.6);
  EXPECT_FALSE(OwnChildren().empty());
  // After the program ends nothing of it stays behind, not even a zombie.
  std::vector<pid_t> left;
  for (int i = 0; i < 40; ++i) {
    left = OwnChildren();
    if (left.empty()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(left.empty());
}

TEST(SystemEx2, NoWaitReportsAFailedStartAtOnce) {
  int code = -1;
  String msg;
  auto t0 = Clock::now();
  EXPECT_FALSE(SystemEx("orv-no-such-program", nullptr, kSystemExNoWait, code, msg));
  EXPECT_EQ(msg.ToStd(), "exec error");
  EXPECT_LT(SecondsSince(t0), 0.9);
  EXPECT_TRUE(SystemEx("sh -c 'exit 4'", nullptr, kSystemExNoWait, code, msg));
  EXPECT_EQ(code, 4);
}

// ---------------------------------------------------------------------------
// Temporary names

TEST(GetTempFileName, RejectsSmallBuffers) {
  char buf[64];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_FALSE(gettempfilename(buf, 15, nullptr));
  EXPECT_EQ(buf[0], '\0');
  EXPECT_FALSE(gettempfilename(nullptr, 64, nullptr));
  TempEnv env("/a/directory/name/that/is/long", nullptr);  // 31 + "/" + 16 > 40
  EXPECT_FALSE(gettempfilename(buf, 40, "x"));
  EXPECT_EQ(buf[0], '\0');
}

TEST(GetTempFileName, FallsBackToWorkingDirectory) {
  TempEnv env(nullptr, nullptr);
  char buf[512];
  ASSERT_TRUE(gettempfilename(buf, sizeof buf, nullptr));
  EXPECT_EQ(std::string(buf).rfind("./tmp-", 0), 0u) << buf;
  ASSERT_TRUE(gettempfilename(buf, sizeof buf, "named.txt"));
  EXPECT_STREQ(buf, "./named.txt");
}

TEST(GetTempFileName, UsesTmpdirThenTmp) {
  testutil::TempDir a, b;
  char buf[512];
  {
    TempEnv env(a.path().c_str(), b.path().c_str());
    ASSERT_TRUE(gettempfilename(buf, sizeof buf, "n"));
    EXPECT_EQ(std::string(buf), a.path() + "/n");
  }
  {
    TempEnv env(nullptr, b.path().c_str());
    ASSERT_TRUE(gettempfilename(buf, sizeof buf, "n"));
    EXPECT_EQ(std::string(buf), b.path() + "/n");
  }
}

TEST(GetTempFileName, SkipsNamesThatExist) {
  testutil::TempDir tmp;
  TempEnv env(tmp.path().c_str(), nullptr);
  char buf[512];
  ASSERT_TRUE(gettempfilename(buf, sizeof buf, nullptr));
  std::string first = buf;
  std::string expect = tmp.path() + "/tmp-" + std::to_string(GetUniqueThreadID()) + "-0";
  EXPECT_EQ(first, expect);
  testutil::WriteFile(first, "");
  ASSERT_EQ(symlink("nowhere", (tmp.path() + "/tmp-" + std::to_string(GetUniqueThreadID()) +
                                "-1").c_str()),
            0);
  ASSERT_TRUE(gettempfilename(buf, sizeof buf, nullptr));
  EXPECT_EQ(std::string(buf), expect.substr(0, expect.size() - 1) + "2");
}

TEST(GetUniqueThreadID, DiffersBetweenThreads) {
  int64_t mine = GetUniqueThreadID();
  EXPECT_EQ(mine, static_cast<int64_t>(static_cast<int32_t>(getpid() << 8)) +
                      static_cast<int64_t>(pthread_self()));
  int64_t other = 0;
  std::thread t([&] { other = GetUniqueThreadID(); });
  t.join();
  EXPECT_NE(mine, other);
}

// ---------------------------------------------------------------------------

TEST(GetFirstMatchedFile, SkipsFoldersAndLinks) {
  testutil::TempDir tmp;
  mkdir(tmp.File("log1").c_str(), 0755);
  ASSERT_EQ(symlink("log3", tmp.File("log2").c_str()), 0);
  testutil::WriteFile(tmp.File("log3"), "x");
  EXPECT_EQ(GetFirstMatchedFile(String(tmp.File("log*").c_str())).ToStd(), tmp.File("log3"));
  EXPECT_EQ(GetFirstMatchedFile(String(tmp.File("none*").c_str())).ToStd(), "");
  EXPECT_EQ(GetFirstMatchedFile(String(tmp.File("log1").c_str())).ToStd(), "");
}

}  // namespace
