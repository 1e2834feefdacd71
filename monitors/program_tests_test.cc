#include "monitors/program_tests.h"

#include <gtest/gtest.h>

#include <string>

#include "base/childproc.h"
#include "base/resources.h"

namespace {

struct Collected {
  std::string result, output;
};

Collected Read(std::string text, int lines) {
  UniqueFile f(text.empty() ? fopen("/dev/null", "r") : fmemopen(&text[0], text.size(), "r"));
  String result, output;
  ReadScriptOutput(f.get(), lines, result, output);
  return {result.ToStd(), output.ToStd()};
}

TEST(ReadScriptOutputTest, Table) {
  struct Case {
    const char* name;
    std::string text;
    int lines;
    const char* result;
    const char* output;
  } cases[] = {
      {"stops at the result line when no lines are wanted", "first\nscriptres: 42\nthird\n", 0,
       "scriptres: 42", ""},
      {"the result line stays while lines are taken", "first\nscriptres: 42\nthird\n", 3,
       "scriptres: 42", "first\r\nscriptres: 42\r\nthird\r\n"},
      {"stops once the result is found and the lines taken", "a\nSCRIPTRES:ok\nb\nc\n", 1,
       "SCRIPTRES:ok", "a\r\n"},
      {"without a result line the last non-empty line is used", "  one \r\n\n two\t\n\n   \n", 5,
       "two", "one\r\ntwo\r\n"},
      {"the tag must begin the trimmed line", "x scriptres: no\n  scriptres:yes\nlater\n", 0,
       "scriptres:yes", ""},
      {"empty output", "", 3, "", ""},
      {"a negative count takes no lines", "a\nb\n", -2, "b", ""},
  };
  for (const Case& c : cases) {
    Collected got = Read(c.text, c.lines);
    EXPECT_EQ(got.result, c.result) << c.name;
    EXPECT_EQ(got.output, c.output) << c.name;
  }
}

TEST(ScriptTimeLimitMsTest, Table) {
  EXPECT_EQ(ScriptTimeLimitMs(0), 0u);
  EXPECT_EQ(ScriptTimeLimitMs(-1), 0u);
  EXPECT_EQ(ScriptTimeLimitMs(2), 2000u);
  EXPECT_EQ(ScriptTimeLimitMs(4294967), 4294967000u);
  EXPECT_EQ(ScriptTimeLimitMs(2147483647), kSystemExNoWait - 1);
}

}  // namespace
