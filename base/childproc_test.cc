#include "base/childproc.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/testutil.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// The state letter of a process ('Z' a zombie), or 0 once it is gone.
char State(pid_t pid) {
  std::string stat = testutil::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : 0;
}

// True while this process has a child, a zombie included.
bool HasChildren() {
  return !testutil::ReadFile("/proc/self/task/" + std::to_string(getpid()) + "/children").empty();
}

TEST(SplitCommandLine, QuotesBlanksAndLimits) {
  std::string many, big(600, 'x'), exact(1024 - 2 - 1, 'y');  // "p\0" + exact + NUL = 1024
  for (int i = 0; i < 30; ++i) many += "a" + std::to_string(i) + " ";
  using V = std::vector<std::string>;
  struct Case {
    std::string line;
    V want;
  } cases[] = {
      {"a 'b c' d", {"a", "b c", "d"}},
      {"  prog   \"x  y\"  ", {"prog", "x  y"}},
      {"p 'it\"s'", {"p", "it\"s"}},
      {"p 'open end", {"p", "open end"}},
      {"p 'b c'd", {"p", "b c", "d"}},
      {"p\ta\t\tb", {"p", "a", "b"}},
      {"p ''", {"p", ""}},
      {"   ", {}},
      {many, V(23)},  // at most 23 arguments
      // 601 + 601 bytes would pass 1024: the second long argument and all
      // that follows is dropped, even a short one that would still fit.
      {"p " + big + " " + big + " q", {"p", big}},
      {"p " + exact, {"p", exact}},
      {"p " + exact + "y", {"p"}},
  };
  for (int i = 0; i < 23; ++i) cases[8].want[i] = "a" + std::to_string(i);
  for (const Case& c : cases) {
    TCommandLine cl;
    SplitCommandLine(c.line.c_str(), cl);
    EXPECT_EQ(V(cl.argv, cl.argv + cl.argc), c.want) << c.line.substr(0, 40);
    EXPECT_EQ(cl.argv[cl.argc], nullptr);
  }
  TCommandLine none;
  SplitCommandLine(nullptr, none);
  EXPECT_EQ(none.argc, 0);
}

TEST(SystemEx, Outcomes) {
  testutil::TempDir tmp;
  struct Case {
    const char* cmdline;
    const char* workdir;
    uint32_t limit;
    bool ok;
    int code;
    const char* msg;
  } cases[] = {
      {"/nonexistent/orv-no-such-program arg", nullptr, 5000, false, -1,
       "exec error: No such file or directory"},
      {"   ", nullptr, 5000, false, -1, "exec error: No such file or directory"},
      {"true", tmp.File("absent").c_str(), 5000, false, -1,
       "exec error: No such file or directory"},
      {"sh -c 'exit 3'", nullptr, 5000, true, 3, ""},
      {"sh -c 'exit 255'", nullptr, 5000, true, 255, ""},  // 255 of the program itself
      {"sh -c 'kill -9 $$'", nullptr, 5000, false, -1, "abnormal termination"},
      // Not waited for beyond a second: a failed start is still reported,
      // at once, and so is an exit code.
      {"orv-no-such-program", nullptr, kSystemExNoWait, false, -1, "exec error"},
      {"sh -c 'exit 4'", nullptr, kSystemExNoWait, true, 4, ""},
      {"true", nullptr, 10000, true, 0, ""},
  };
  for (const Case& c : cases) {
    int code = -1;
    String msg("stale");
    const auto t0 = Clock::now();
    EXPECT_EQ(SystemEx(c.cmdline, c.workdir, c.limit, code, msg), c.ok) << c.cmdline;
    EXPECT_EQ(msg.ToStd(), c.msg) << c.cmdline;
    if (c.ok) {
      EXPECT_EQ(code, c.code) << c.cmdline;
    }
    EXPECT_LT(SecondsSince(t0), 0.9) << c.cmdline << ": held back by polling";
  }
}

// A script that hits its time limit goes with everything it started: a
// timed-out helper must not leave its children running on the host.
TEST(SystemEx, TimeLimitKillsTheWholeProcessGroup) {
  testutil::TempDir tmp;
  const std::string pidfile = tmp.File("bg.pid");
  int code = -1;
  String msg;
  const auto t0 = Clock::now();
  EXPECT_FALSE(SystemEx(("sh -c 'sleep 300 & echo $! >" + pidfile + "; sleep 30'").c_str(), nullptr,
                        1000, code, msg));
  EXPECT_EQ(msg.ToStd(), "abnormal termination");
  EXPECT_GE(SecondsSince(t0), 0.9);
  EXPECT_LE(SecondsSince(t0), 6.0);
  const pid_t bg = atoi(testutil::ReadFile(pidfile).c_str());
  ASSERT_GT(bg, 0);
  EXPECT_TRUE(testutil::Eventually([bg] { return State(bg) == 0 || State(bg) == 'Z'; }, 2000));
  if (State(bg) != 0 && State(bg) != 'Z') kill(bg, SIGKILL);
}

// A program left running after the first second is reaped when it ends:
// nothing of it stays behind, not even a zombie.
TEST(SystemEx, NoWaitLeavesTheChildRunningAndReapsItLater) {
  int code = -1;
  String msg;
  const auto t0 = Clock::now();
  EXPECT_TRUE(SystemEx("sleep 2", nullptr, kSystemExNoWait, code, msg));
  EXPECT_EQ(code, 0);
  EXPECT_GE(SecondsSince(t0), 0.9);
  EXPECT_LT(SecondsSince(t0), 1.9);
  EXPECT_TRUE(HasChildren());
  EXPECT_TRUE(testutil::Eventually([] { return !HasChildren(); }, 4000));
}

TEST(SystemEx, StreamsAndWorkingDirectory) {
  testutil::TempDir tmp;
  testutil::WriteFile(tmp.File("in"), "from stdin\n");
  char real[4096];
  ASSERT_NE(realpath(tmp.path().c_str(), real), nullptr);
  struct Case {
    const char* cmdline;
    bool with_input, errors_too;
    std::string want;
  } cases[] = {
      {"printf [%s] a 'b c' d", false, false, "[a][b c][d]"},
      {"cat", true, false, "from stdin\n"},
      // Output and error on one descriptor keep both, in order.
      {"sh -c 'echo one; echo two >&2; echo three'", false, true, "one\ntwo\nthree\n"},
      {"sh -c 'echo hidden >&2; pwd'", false, false, std::string(real) + "\n"},
  };
  for (const Case& c : cases) {
    UniqueFd out(open(tmp.File("out").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
    UniqueFd in(c.with_input ? open(tmp.File("in").c_str(), O_RDONLY) : -1);
    int code = -1;
    String msg;
    ASSERT_TRUE(SystemEx2(c.cmdline, tmp.path().c_str(), in.get(), out.get(),
                          c.errors_too ? out.get() : -1, 5000, code, msg))
        << msg.ToStd();
    EXPECT_EQ(testutil::ReadFile(tmp.File("out")), c.want) << c.cmdline;
  }
}

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
