#include "base/childproc.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
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

#include "tests/testutil.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

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

// True while pid names a process that has not ended (a zombie has ended).
bool Alive(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// A file of the test's folder open for reading and writing.
int OpenRw(const std::string& path) { return open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600); }

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
  int code = -1;
  String msg;
  EXPECT_FALSE(SystemEx("/nonexistent/orv-no-such-program arg", nullptr, 5000, code, msg));
  EXPECT_EQ(msg.ToStd(), "exec error: No such file or directory");
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

TEST(SystemEx, TimeLimitKillsTheChildAndWhatItStarted) {
  testutil::TempDir tmp;
  const std::string pidfile = tmp.File("bg.pid");
  int code = -1;
  String msg;
  auto t0 = Clock::now();
  EXPECT_FALSE(SystemEx(("sh -c 'sleep 300 & echo $! >" + pidfile + "; sleep 10'").c_str(),
                        nullptr, 2000, code, msg));
  double took = SecondsSince(t0);
  EXPECT_EQ(msg.ToStd(), "abnormal termination");
  EXPECT_GE(took, 1.9);
  EXPECT_LE(took, 3.3);
  // The background child went with the script, not only the script.
  pid_t bg = atoi(testutil::ReadFile(pidfile).c_str());
  ASSERT_GT(bg, 0);
  for (int i = 0; i < 100 && Alive(bg); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_FALSE(Alive(bg));
  if (Alive(bg)) kill(bg, SIGKILL);
}

TEST(SystemEx2, StreamsGoToTheGivenDescriptors) {
  testutil::TempDir tmp;
  std::string out = tmp.File("out");
  int code = -1;
  String msg;
  int fd = OpenRw(out);
  ASSERT_TRUE(SystemEx2("printf [%s] a 'b c' d", nullptr, -1, fd, -1, 5000, code, msg));
  close(fd);
  EXPECT_EQ(testutil::ReadFile(out), "[a][b c][d]");

  std::string in = tmp.File("in");
  testutil::WriteFile(in, "from stdin\n");
  int infd = open(in.c_str(), O_RDONLY);
  fd = OpenRw(out);
  ASSERT_TRUE(SystemEx2("cat", nullptr, infd, fd, -1, 5000, code, msg));
  close(infd);
  close(fd);
  EXPECT_EQ(testutil::ReadFile(out), "from stdin\n");

  // Output and error on one descriptor keep both, in order.
  fd = OpenRw(out);
  ASSERT_TRUE(SystemEx2("sh -c 'echo one; echo two >&2; echo three'", nullptr, -1, fd, fd, 5000,
                        code, msg));
  close(fd);
  EXPECT_EQ(testutil::ReadFile(out), "one\ntwo\nthree\n");
}

TEST(SystemEx2, WorkingDirectory) {
  testutil::TempDir tmp;
  std::string out = tmp.File("out");
  int code = -1;
  String msg;
  int fd = OpenRw(out);
  ASSERT_TRUE(SystemEx2("pwd", tmp.path().c_str(), -1, fd, -1, 5000, code, msg));
  close(fd);
  char real[4096];
  ASSERT_NE(realpath(tmp.path().c_str(), real), nullptr);
  EXPECT_EQ(testutil::ReadFile(out), std::string(real) + "\n");
  // A working directory that does not exist stops the program from starting.
  EXPECT_FALSE(SystemEx("true", tmp.File("absent").c_str(), 5000, code, msg));
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
