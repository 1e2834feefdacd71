// The file CRC, comparison and search helpers on files whose size crosses
// their read blocks; the replies they lead to are checked end to end.
#include "monitors/file_compare.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "crypto/ciplib.h"
#include "tests/testutil.h"

namespace {

using testutil::TempDir;
using testutil::WriteFile;

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// Several read blocks, with an odd tail.
TEST(FileCrc, LargeFileMatchesTheRegisterByteByByte) {
  TempDir t;
  std::string data = RandomBytes(3 * 1024 * 1024 + 7, 5);
  WriteFile(t.File("big"), data);
  TCRC32 ref;
  ref.InitCRC();
  ref.UpdateCRC(data.data(), static_cast<int>(data.size()));
  uint32_t crc = 0;
  String err;
  ASSERT_TRUE(GetFileCRC(t.File("big").c_str(), crc, err));
  EXPECT_EQ(crc, ref.GetCRC());
}

// One file a prefix of the other compares equal.
TEST(FileCompareFiles, PrefixSemantics) {
  const std::string big = RandomBytes((1 << 20) + 100, 9);
  std::string big_late_diff = big;
  big_late_diff[(1 << 20) + 50] ^= 1;
  const struct {
    std::string a, b;
    int want;
  } cases[] = {
      {"abc", "abc", 1}, {"abc", "abcdef", 1}, {"abcdef", "abc", 1}, {"", "xyz", 1},
      {"abc", "xbc", 0}, {"abc", "abd", 0},    {big, big_late_diff, 0},
      {big.substr(0, (1 << 20) + 1), big, 1},
  };
  TempDir t;
  for (const auto& c : cases) {
    WriteFile(t.File("a"), c.a);
    WriteFile(t.File("b"), c.b);
    EXPECT_EQ(CompareFiles(t.File("a").c_str(), t.File("b").c_str()), c.want)
        << c.a.size() << " " << c.b.size();
  }
}

int Find(const std::string& contents, const std::string& text, int cs, int ww) {
  TempDir t;
  WriteFile(t.File("f"), contents);
  String s(text.c_str());
  return FindStrInFile(t.File("f").c_str(), s, cs, ww);
}

// The buffer holds three text lengths; the text is found wherever it lies,
// also across the boundary of two reads.
TEST(FindStrInFileTest, Table) {
  const std::string text = "WXYZ";
  for (size_t at = 0; at + text.size() <= 40; ++at) {
    std::string contents(40, '.');
    contents.replace(at, text.size(), text);
    EXPECT_GT(Find(contents, text, 1, 1), 0) << "at " << at;
  }
  EXPECT_EQ(Find(std::string(40, '.'), text, 1, 0), 0);
  const struct {
    const char *contents, *text;
    int cs, ww;
    int want;  // 1 found, 0 not, -1 error
  } cases[] = {
      {"xabc abc", "abc", 1, 1, 1}, {"xabcx", "abc", 1, 1, 0},   {"xabcx", "abc", 1, 0, 1},
      {"1abc2 ", "abc", 1, 1, 0},   {"xx abc", "ABC", 0, 0, 1},  {"xx abc", "ABC", 1, 0, 0},
      {"xx ABC", "abc", 0, 0, 1},   {"ab", "abc", 1, 0, 0},      {"abc", "abc", 1, 1, 1},
      {"abc", "", 1, 0, -1},
      // "zzzzz abc" fills the first read (nine bytes); a match ending at the
      // end of the bytes read so far counts as ending at a word boundary.
      {"zzzzz abcx", "abc", 1, 1, 1},
      // The same text at the end of the whole file, preceded by a letter.
      {"zzzzzzabc", "abc", 1, 1, 0},
  };
  for (const auto& c : cases) {
    int r = Find(c.contents, c.text, c.cs, c.ww);
    EXPECT_EQ(r > 0 ? 1 : r, c.want) << c.contents << " / " << c.text;
  }
}

}  // namespace
