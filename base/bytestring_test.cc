#include "base/bytestring.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/testutil.h"

namespace {

using testutil::S;

TEST(StringStorage, FixedStringCutsCopiesAndAppends) {
  String f(4);
  EXPECT_EQ(f.Capacity(), 4);
  f = "abcdef";
  EXPECT_EQ(S(f), "abcd");
  f.AddChar('z');
  EXPECT_EQ(S(f), "abcd");
}

TEST(StringStorage, HoldsZeroBytesAndSelfAppends) {
  String s;
  s.AddData("a\0b", 3);
  EXPECT_EQ(s.Length(), 3);
  s += s;
  EXPECT_EQ(S(s), std::string("a\0ba\0b", 6));
  s.CopyData(s.Data() + 1, 2);
  EXPECT_EQ(S(s), std::string("\0b", 2));
}

TEST(StringStorage, SetZeroAndCStr) {
  String s;
  EXPECT_STREQ(s.CStr(), "");
  String t(3);
  t = "abc";
  EXPECT_STREQ(t.CStr(), "abc");  // a full fixed string grows to take the zero
}

// Callers hand Data() and Length() straight to memcpy, fwrite and send,
// which must never see a null pointer, even for zero bytes.
TEST(StringStorage, EmptyStringsGiveAPointerToAZeroByte) {
  String released("abc");
  released.SetLength(0);
  String moved_from("abc");
  String taker(std::move(moved_from));
  String cleared("abc");
  cleared.CopyData(nullptr, 0);
  const String* empties[] = {&released, &moved_from, &cleared};
  for (const String* s : empties) {
    ASSERT_NE(s->Data(), nullptr);
    EXPECT_EQ(s->Data()[0], '\0');
    EXPECT_EQ(s->Length(), 0);
  }
  EXPECT_NE(String().Data(), nullptr);
  EXPECT_NE(String("abcdef").Copy(7, 1).Data(), nullptr);
  EXPECT_EQ(String().ToStd(), "");
}

TEST(StringCompare, EqualityRules) {
  EXPECT_TRUE(String() == String(""));
  EXPECT_TRUE(String() == static_cast<const char*>(nullptr));
  EXPECT_FALSE(String("a") == static_cast<const char*>(nullptr));
  EXPECT_TRUE(String("abc") == "abc");
  EXPECT_TRUE(String("abc") != "abd");
}

TEST(StringEdit, CopyAndDelete) {
  String s("abcdef");
  EXPECT_EQ(S(s.Copy(3, 100)), "cdef");
  EXPECT_EQ(S(s.Copy(7, 1)), "");
  EXPECT_EQ(S(s.Copy(0, 2)), "ab");
  String d("abcdef");
  d.Delete(2, 100);
  EXPECT_EQ(S(d), "a");
  String e("abcdef");
  e.Delete(0, 1);
  EXPECT_EQ(S(e), "abcdef");
}

TEST(StringEdit, GetWordFields) {
  struct Case {
    const char* text;
    int n;
    char sep;
    const char* want;
  } cases[] = {
      {"a  b", 2, ' ', ""}, {"a b", 3, ' ', ""}, {",x", 1, ',', ""},
      {"a,b,c", 2, ',', "b"}, {"a,b,c", 0, ',', "a"}, {"a,b,c", 3, ',', "c"},
  };
  for (const auto& c : cases) EXPECT_EQ(S(String(c.text).GetWord(c.n, c.sep)), c.want) << c.text;
}

TEST(StringEdit, TrimRemovesControlBytesOnly) {
  String s(" \tab\r\n");
  EXPECT_EQ(S(s.Trim()), "ab");
  String blanks("    ");
  EXPECT_EQ(S(blanks.Trim()), "");
  String high("\xE9t\xE9");
  EXPECT_EQ(S(high.Trim()), "\xE9t\xE9");
}

TEST(StringEdit, RemoveRepeatsKeepsLeadingRun) {
  String s("a,,,b");
  s.RemoveRepeats(',');
  EXPECT_EQ(S(s), "a,b");
  String lead(",,a,,");
  lead.RemoveRepeats(',');
  EXPECT_EQ(S(lead), ",,a,");
}

TEST(StringEdit, ReplaceAll) {
  EXPECT_EQ(S(String("abcabc").ReplaceAll("abc", "X", 1)), "XX");
  EXPECT_EQ(S(String("abc").ReplaceAll("abc", "X", 1)), "X");
  EXPECT_EQ(S(String("aBcabc").ReplaceAll("ABC", "-", 0)), "--");
  EXPECT_EQ(S(String("abc").ReplaceAll("", "X", 1)), "abc");
}

TEST(StringEdit, StrCpyCutsToBuffer) {
  char buf[8] = "zzzzzzz";
  String("abcdef").StrCpy(buf, 4);
  EXPECT_STREQ(buf, "abc");
  char untouched[4] = "xyz";
  String().StrCpy(untouched, 4);
  EXPECT_STREQ(untouched, "xyz");
}

TEST(StringSearch, PositionsAreOneBased) {
  String s("hello world");
  EXPECT_EQ(s.Pos('o'), 5);
  EXPECT_EQ(s.Pos("world"), 7);
  EXPECT_EQ(s.Pos("", 0), 0);
  EXPECT_EQ(String().Pos("a"), 0);
}

TEST(StringSearch, WholeWordCaseBlind) {
  EXPECT_EQ(String("xab ab").Search(String("AB"), 0, 1), 5);
  EXPECT_EQ(String("xab ab").Search(String("AB"), 1, 1), 0);
  EXPECT_EQ(String("error").Search(String("err"), 1, 1), 0);
  EXPECT_EQ(String("err: failed").Search(String("err"), 1, 1), 1);
  EXPECT_EQ(String("abc").Search(String(""), 1, 0), 0);
}

TEST(StringConcat, PresizedAndGrowable) {
  String a("ab");
  String c = a + "cd";
  EXPECT_EQ(S(c), "abcd");
  EXPECT_EQ(c.Capacity(), 4);
  c += 'e';  // growable again
  EXPECT_EQ(S(c), "abcde");
  EXPECT_EQ(S(a + static_cast<const char*>(nullptr)), "ab");
  EXPECT_EQ(S(a + 'x'), "abx");
}

TEST(CharHelpers, DecimalAndCase) {
  EXPECT_TRUE(isdecimalnum("-12"));
  EXPECT_FALSE(isdecimalnum("-12", 3));
  EXPECT_TRUE(isdecimalnum("123", 3));
  EXPECT_TRUE(isdecimalnum(""));
  EXPECT_FALSE(isdecimalnum("1a"));
  char t[] = "aBc1";
  EXPECT_STREQ(strupper(t), "ABC1");
  EXPECT_STREQ(strlower(t), "abc1");
  EXPECT_EQ(memposi("xxHeLLo", 7, "hello", 5), 3);
  EXPECT_EQ(mempos("abc", 3, "", 0), 0);
}

TEST(StrList, DeleteMiddleKeepsOrder) {
  TStrList l;
  l.Add(String("one"));
  l.Add(String("two"));
  l.Add(String("three"));
  l.Delete(1);
  ASSERT_EQ(l.Count(), 2);
  EXPECT_EQ(S(l[0]), "one");
  EXPECT_EQ(S(l[1]), "three");
  EXPECT_EQ(S(l[5]), "");
  l.DeleteLast();
  EXPECT_EQ(l.Count(), 1);
}

}  // namespace
