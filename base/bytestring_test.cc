#include "base/bytestring.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/testutil.h"

namespace {

using testutil::S;

std::string N(int n) {
  return std::to_string(n);
}

std::string After(const char* text, const std::function<void(String&)>& edit) {
  String s(text);
  edit(s);
  return S(s);
}

TEST(String, EditsAndSearches) {
  char buf[8] = "zzzzzzz";
  String("abcdef").StrCpy(buf, 4);
  struct Case {
    const char* what;
    std::string got, want;
  } cases[] = {
      {"zero bytes, self-append", After("", [](String& s) { s.AddData("a\0b", 3), s += s; }),
       std::string("a\0ba\0b", 6)},
      {"copy from own bytes", After("abc", [](String& s) { s.CopyData(s.Data() + 1, 2); }), "bc"},
      {"Copy cut at the end", S(String("abcdef").Copy(3, 100)), "cdef"},
      {"Delete cut at the end", After("abcdef", [](String& s) { s.Delete(2, 100); }), "a"},
      {"GetWord between separators", S(String("a  b").GetWord(2, ' ')), ""},
      {"GetWord past the last", S(String("a b").GetWord(3, ' ')), ""},
      {"GetWord before the first", S(String(",x").GetWord(1, ',')), ""},
      {"Trim all blanks", After("    ", [](String& s) { s.Trim(); }), ""},
      {"Trim keeps high bytes", After("\xE9t\xE9", [](String& s) { s.Trim(); }), "\xE9t\xE9"},
      {"RemoveRepeats", After("a,,,b", [](String& s) { s.RemoveRepeats(','); }), "a,b"},
      {"RemoveRepeats leading run", After(",,a,,", [](String& s) { s.RemoveRepeats(','); }),
       ",,a,"},
      {"ReplaceAll of nothing", S(String("abc").ReplaceAll("", "X", 1)), "abc"},
      {"StrCpy cuts", buf, "abc"},
      {"Pos of nothing", N(String("abc").Pos("", 0)) + N(String().Pos("a")), "00"},
      {"Search whole word", N(String("xab ab").Search(String("AB"), 0, 1)), "5"},
      {"Search case", N(String("xab ab").Search(String("AB"), 1, 1)), "0"},
      {"Search word start", N(String("error").Search(String("err"), 1, 1)), "0"},
      {"Search word at start", N(String("err: failed").Search(String("err"), 1, 1)), "1"},
      {"memposi", N(memposi("xxHeLLo", 7, "hello", 5)), "3"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.what;

  EXPECT_TRUE(isdecimalnum("-12") && !isdecimalnum("-12", 3));  // the counted form takes no '-'
  EXPECT_TRUE(String() == static_cast<const char*>(nullptr));
  EXPECT_FALSE(String("a") == static_cast<const char*>(nullptr) || String("abc") == "abd");
}

// Callers hand Data() and Length() straight to memcpy, fwrite and send,
// which must never see a null pointer, even for zero bytes.
TEST(String, EmptyStringsGiveAPointerToAZeroByte) {
  String released("abc"), moved_from("abc"), cleared("abc");
  released.SetLength(0);
  String taker(std::move(moved_from));
  cleared.CopyData(nullptr, 0);
  String outside = String("abcdef").Copy(7, 1);
  for (const String* s : {&released, &moved_from, &cleared, &outside}) {
    ASSERT_NE(s->Data(), nullptr);
    EXPECT_EQ(std::string(s->Data(), 1) + N(s->Length()), std::string("\0"
                                                                      "0",
                                                                      2));
  }
}

}  // namespace
