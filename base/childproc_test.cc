#include "base/childproc.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/testutil.h"

namespace {

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
      {"  prog   \"x  y\"  ", {"prog", "x  y"}},
      {"p 'open end", {"p", "open end"}},
      {"p 'b c'd", {"p", "b c", "d"}},
      {"p\ta\t\tb ''", {"p", "a", "b", ""}},
      {many, first23},
      // Past 1024 bytes the rest is dropped, even a short argument that would still fit.
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
}

TEST(SystemEx, Outcomes) {
  testutil::TempDir tmp;
  const std::string late = tmp.File("late"), absent = tmp.File("absent");
  // A timed-out helper goes with everything it started: "late" never comes.
  const std::string group = "sh -c '(sleep 4; touch " + late + ") & sleep 30'";
  const std::string no_file = "exec error: No such file or directory";
  struct Case {
    std::string cmdline;
    const char* workdir;
    uint32_t limit;
    int code;  // -1: fails with msg
    std::string msg;
    double min_s, max_s;
  } cases[] = {
      {"   ", nullptr, 5000, -1, no_file, 0, 5},
      {"true", absent.c_str(), 5000, -1, no_file, 0, 5},
      {"true", nullptr, 10000, 0, "", 0, 0.9},             // not held back by polling
      {"sh -c 'exit 255'", nullptr, 5000, 255, "", 0, 5},  // the program's own 255
      {"sh -c 'kill -9 $$'", nullptr, 5000, -1, "abnormal termination", 0, 5},
      {group, nullptr, 1000, -1, "abnormal termination", 0.9, 6},
      // Not waited for beyond a second, but a failed start and an exit code are reported at once.
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
    EXPECT_EQ(c.code >= 0 ? code : -1, c.code) << c.cmdline;
    EXPECT_TRUE(took.count() >= c.min_s && took.count() < c.max_s) << c.cmdline << took.count();
  }
  // The sleeper left running is reaped when it ends, leaving not even a zombie.
  const std::string children = "/proc/self/task/" + std::to_string(getpid()) + "/children";
  EXPECT_TRUE(testutil::Eventually([&] { return testutil::ReadFile(children).empty(); }, 6000));
  EXPECT_FALSE(testutil::Exists(late));

  // A shell script's input comes from a file, its output and errors share one descriptor in order.
  testutil::WriteFile(tmp.File("in"), "from stdin\n");
  UniqueFd in(open(tmp.File("in").c_str(), O_RDONLY));
  UniqueFd out(open(tmp.File("out").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
  int code = -1;
  String msg;
  EXPECT_TRUE(SystemEx2("sh -c 'echo one; cat; echo two >&2; echo three'", nullptr, in.get(),
                        out.get(), out.get(), 5000, code, msg));
  EXPECT_EQ(testutil::ReadFile(tmp.File("out")), "one\nfrom stdin\ntwo\nthree\n");
}

}  // namespace
