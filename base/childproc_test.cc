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
  using V = std::vector<std::string>;
  std::string many, big(600, 'x'), exact(1024 - 2 - 1, 'y');  // "p\0" + exact + NUL = 1024
  V first23;
  for (int i = 0; i < 30; ++i) many += "a" + std::to_string(i) + " ";
  for (int i = 0; i < 23; ++i) first23.push_back("a" + std::to_string(i));
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
      {many, first23},  // at most 23 arguments
      // 601 + 601 bytes would pass 1024: the second long argument and all
      // that follows is dropped, even a short one that would still fit.
      {"p " + big + " " + big + " q", {"p", big}},
      {"p " + exact, {"p", exact}},
      {"p " + exact + "y", {"p"}},
  };
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

// How each way a program can end is reported, and how long that takes.
TEST(SystemEx, Outcomes) {
  testutil::TempDir tmp;
  const std::string pidfile = tmp.File("bg.pid"), absent = tmp.File("absent");
  // A script that hits its time limit goes with everything it started: a
  // timed-out helper must not leave its children running on the host.
  const std::string group = "sh -c 'sleep 300 & echo $! >" + pidfile + "; sleep 30'";
  struct Case {
    std::string cmdline;
    const char* workdir;
    uint32_t limit;
    int code;  // -1: fails with msg
    const char* msg;
    double min_s, max_s;
  } cases[] = {
      {"   ", nullptr, 5000, -1, "exec error: No such file or directory", 0, 5},
      {"true", absent.c_str(), 5000, -1, "exec error: No such file or directory", 0, 5},
      {"true", nullptr, 10000, 0, "", 0, 0.9},             // not held back by polling
      {"sh -c 'exit 255'", nullptr, 5000, 255, "", 0, 5},  // the program's own 255
      {"sh -c 'kill -9 $$'", nullptr, 5000, -1, "abnormal termination", 0, 5},
      {group, nullptr, 1000, -1, "abnormal termination", 0.9, 6},
      // Not waited for beyond a second: a failed start and an exit code are
      // still reported at once; a program still running is left to run.
      {"orv-no-such-program", nullptr, kSystemExNoWait, -1, "exec error", 0, 0.9},
      {"sh -c 'exit 4'", nullptr, kSystemExNoWait, 4, "", 0, 0.9},
      {"sleep 3", nullptr, kSystemExNoWait, 0, "", 0.9, 2.6},
  };
  for (const Case& c : cases) {
    int code = -1;
    String msg("stale");
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(SystemEx(c.cmdline.c_str(), c.workdir, c.limit, code, msg), c.code >= 0) << c.cmdline;
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(msg.ToStd(), c.msg) << c.cmdline;
    if (c.code >= 0) {
      EXPECT_EQ(code, c.code) << c.cmdline;
    }
    EXPECT_GE(took.count(), c.min_s) << c.cmdline;
    EXPECT_LT(took.count(), c.max_s) << c.cmdline;
  }
  // The sleeper left running is reaped when it ends: nothing of it stays
  // behind, not even a zombie.
  EXPECT_TRUE(HasChildren());
  EXPECT_TRUE(testutil::Eventually([] { return !HasChildren(); }, 6000));
  const pid_t bg = atoi(testutil::ReadFile(pidfile).c_str());
  ASSERT_GT(bg, 0);
  EXPECT_TRUE(testutil::Eventually([bg] { return State(bg) == 0 || State(bg) == 'Z'; }, 2000));
  if (State(bg) != 0 && State(bg) != 'Z') kill(bg, SIGKILL);
}

// A shell script's streams: input from a file, output and error on one
// descriptor, all kept in order.
TEST(SystemEx, StandardStreams) {
  testutil::TempDir tmp;
  testutil::WriteFile(tmp.File("in"), "from stdin\n");
  UniqueFd in(open(tmp.File("in").c_str(), O_RDONLY));
  UniqueFd out(open(tmp.File("out").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
  int code = -1;
  String msg;
  ASSERT_TRUE(SystemEx2("sh -c 'echo one; cat; echo two >&2; echo three'", nullptr, in.get(),
                        out.get(), out.get(), 5000, code, msg))
      << msg.ToStd();
  EXPECT_EQ(testutil::ReadFile(tmp.File("out")), "one\nfrom stdin\ntwo\nthree\n");
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
