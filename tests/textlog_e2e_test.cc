// The text log tests asked of the real agent through orvq: refusals, and a
// whole life of a watched log from the first check through appends.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/agent_harness.h"

namespace {

using testutil::AgentProcess;
using testutil::OrvqResult;
using testutil::TempDir;
using testutil::WriteFile;

std::string Num(long long v) {
  char buf[32];
  snprintf(buf, sizeof buf, "%6lld", v);
  return buf;
}

long long MTime(const std::string& path) {
  struct stat st;
  EXPECT_EQ(stat(path.c_str(), &st), 0);
  return static_cast<int32_t>(st.st_mtime);
}

void Append(const std::string& path, const std::string& bytes) {
  WriteFile(path, testutil::ReadFile(path) + bytes);
}

class TextLogE2E : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    agent_ = new AgentProcess();
    data_ = new TempDir();
  }
  static void TearDownTestSuite() {
    delete agent_;
    delete data_;
    agent_ = nullptr;
    data_ = nullptr;
  }
  void SetUp() override {
    if (agent_->pid() <= 0) {
      ASSERT_TRUE(agent_->Start()) << agent_->console();
    }
  }
  static std::string Ask(const std::vector<std::string>& request) {
    OrvqResult r = agent_->Query(request);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }
  // "TEST-TextLog": path, text, ResumePos, CheckedSize, CheckedAge, expression,
  // check all, case sensitive, whole words.
  static std::string TextLog(const std::string& path, const std::string& text, long long resume,
                             long long checked, long long age, int checkall = 0) {
    return Ask({"TEST-TextLog", path, text, std::to_string(resume), std::to_string(checked),
                std::to_string(age), "0", std::to_string(checkall), "1", "0"});
  }
  static std::string D(const std::string& name) { return data_->File(name); }

  static AgentProcess* agent_;
  static TempDir* data_;
};

AgentProcess* TextLogE2E::agent_ = nullptr;
TempDir* TextLogE2E::data_ = nullptr;

TEST(TextLogE2ESwitch, BothCommandsRefusedWhenOff) {
  AgentProcess off("textlog=0\r\n");
  ASSERT_TRUE(off.Start()) << off.console();
  EXPECT_EQ(off.Query({"TEST-TextLog", "/etc/hostname", "x", "0", "0", "0"}).out,
            "600\ntest is not allowed\n");
  EXPECT_EQ(off.Query({"TEST-TextLog2", "/etc/hostname", "0", "0", "0"}).out,
            "600\ntest is not allowed\n");
}

TEST_F(TextLogE2E, MissingFileOrMaskMatchingNothing) {
  EXPECT_EQ(TextLog(D("absent.log"), "x", 0, 0, 0), "301\nFile does not exist\n");
  EXPECT_EQ(Ask({"TEST-TextLog2", D("*.nothing"), "0", "0", "0"}), "301\nFile does not exist\n");
}

TEST_F(TextLogE2E, UndecodableStateIsAWrongParameter) {
  WriteFile(D("p.log"), "x\n");
  EXPECT_EQ(Ask({"TEST-TextLog", D("p.log"), "x", "0", "0", "12:00"}), "501\nWrong parameter\n");
  EXPECT_EQ(Ask({"TEST-TextLog2", D("p.log"), "0", "0", "abc"}), "501\nWrong parameter\n");
  EXPECT_EQ(Ask({"TEST-TextLog2", D("p.log"), "x1"}), "501\nWrong parameter\n");
}

TEST_F(TextLogE2E, FirstCheckThenAppendsThenUnchanged) {
  const std::string p = D("app.log");
  WriteFile(p, std::string(99, '.') + "\n");
  const long long t0 = MTime(p);

  // First check: only the end of the file is recorded.
  EXPECT_EQ(TextLog(p, "ERROR", 0, 0, 0), "200\n" + Num(0) + "\n\n0\n" + Num(99) + "\n" + Num(100) +
                                              "\n" + Num(t0) + "\n" + Num(100) + "\n");

  // Two matching lines appended: the first is reported and more are waiting.
  Append(p, "ok\nERROR one\nERROR two\n");
  const long long t1 = MTime(p);
  EXPECT_EQ(TextLog(p, "ERROR", 99, 100, t0), "200\n" + Num(104) + "\nERROR one\n1\n" + Num(113) +
                                                  "\n" + Num(100) + "\n" + Num(t0) + "\n" +
                                                  Num(123) + "\n");

  // Resuming after it reports the second; nothing more waits, the file is recorded.
  EXPECT_EQ(TextLog(p, "ERROR", 113, 100, t0), "200\n" + Num(114) + "\nERROR two\n0\n" + Num(123) +
                                                   "\n" + Num(123) + "\n" + Num(t1) + "\n" +
                                                   Num(123) + "\n");

  // Unchanged: nothing found, the same state back.
  EXPECT_EQ(TextLog(p, "ERROR", 123, 123, t1), "200\n" + Num(0) + "\n\n0\n" + Num(123) + "\n" +
                                                   Num(123) + "\n" + Num(t1) + "\n" + Num(123) +
                                                   "\n");

  // A line without its terminator waits; check-all reports the last match.
  Append(p, "ERROR three\nERROR fo");
  const long long t2 = MTime(p);
  EXPECT_EQ(TextLog(p, "ERROR", 123, 123, t1, 1), "200\n" + Num(124) + "\nERROR three\n0\n" +
                                                      Num(135) + "\n" + Num(143) + "\n" + Num(t2) +
                                                      "\n" + Num(143) + "\n");
}

TEST_F(TextLogE2E, ExpressionCaseAndWholeWords) {
  const std::string p = D("expr.log");
  WriteFile(p, "Disk errors\nnet Error\ndisk error\n");
  // Expressions travel with their own quotes; case-blind, whole words.
  EXPECT_EQ(Ask({"TEST-TextLog", p, "'ERROR' and not 'net'", "0", "1", "0", "1", "1", "0", "1"})
                .substr(0, 22),
            "200\n" + Num(23) + "\ndisk error\n");
}

TEST_F(TextLogE2E, LongLineIsCutInTheReply) {
  const std::string p = D("long.log");
  const std::string line = "ERROR" + std::string(4995, 'q');
  WriteFile(p, line + "\n");
  const std::string out = TextLog(p, "ERROR", 0, 1, 0, 1);
  EXPECT_EQ(out, "200\n" + Num(1) + "\n" + line.substr(0, 1024) + "\n0\n" + Num(5001) + "\n" +
                     Num(5001) + "\n" + Num(MTime(p)) + "\n" + Num(5001) + "\n");
}

TEST_F(TextLogE2E, TextLog2SecondFilterAndFlag) {
  const std::string p = D("two.log");
  WriteFile(p, "warn a\nerror warn\n");
  const long long t = MTime(p);
  // ResumePos 0, recorded size 1 (so everything is read), check-all off;
  // first filter "error", second filter "warn", both plain and case-sensitive.
  std::vector<std::string> req = {
      "TEST-TextLog2", p, "0", "1", "0", "0", "error", "0", "1", "0", "1", "warn", "0", "1", "0"};
  EXPECT_EQ(Ask(req), "200\n" + Num(1) + "\nwarn a\n1\n" + Num(7) + "\n" + Num(1) + "\n" + Num(0) +
                          "\n" + Num(18) + "\n0\n");
  req[2] = "7";
  EXPECT_EQ(Ask(req), "200\n" + Num(8) + "\nerror warn\n0\n" + Num(18) + "\n" + Num(18) + "\n" +
                          Num(t) + "\n" + Num(18) + "\n1\n");
  // Without the second filter the warning alone is not reported.
  req[2] = "0";
  req[10] = "0";
  EXPECT_EQ(Ask(req), "200\n" + Num(8) + "\nerror warn\n0\n" + Num(18) + "\n" + Num(18) + "\n" +
                          Num(t) + "\n" + Num(18) + "\n1\n");
}

}  // namespace
