// The file CRC, comparison and search helpers on files whose size crosses
// their read blocks; the replies they lead to are checked end to end.
#include "monitors/file_compare.h"

#include <gtest/gtest.h>

#include <string>

#include "crypto/ciplib.h"
#include "tests/testutil.h"

namespace {

using testutil::TempDir;
using testutil::WriteFile;

// Several read blocks with an odd tail, against the register fed at once.
TEST(FileCrc, LargeFileMatchesTheRegister) {
  TempDir t;
  std::string data(3 * 1024 * 1024 + 7, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + (i >> 12));
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
  const std::string big((1 << 20) + 100, 'q');
  std::string late = big;
  late[(1 << 20) + 50] ^= 1;
  const struct {
    std::string a, b;
    int want;
  } cases[] = {
      {"abc", "abcdef", 1}, {"abcdef", "abc", 1}, {"", "xyz", 1},
      {"abc", "abd", 0},    {big, late, 0},       {big.substr(0, (1 << 20) + 1), big, 1},
  };
  TempDir t;
  for (const auto& c : cases) {
    WriteFile(t.File("a"), c.a);
    WriteFile(t.File("b"), c.b);
    EXPECT_EQ(CompareFiles(t.File("a").c_str(), t.File("b").c_str()), c.want)
        << c.a.size() << " " << c.b.size();
  }
}

// The buffer holds three text lengths; the text is found wherever it lies,
// also across the boundary of two reads.
TEST(FindStrInFileTest, Table) {
  TempDir t;
  auto find = [&](const std::string& contents, const char* text, int cs, int ww) {
    WriteFile(t.File("f"), contents);
    String s(text);
    const int r = FindStrInFile(t.File("f").c_str(), s, cs, ww);
    return r > 0 ? 1 : r;
  };
  for (size_t at = 0; at + 4 <= 40; ++at) {
    std::string contents(40, '.');
    EXPECT_EQ(find(contents.replace(at, 4, "WXYZ"), "WXYZ", 1, 1), 1) << "at " << at;
  }
  const struct {
    const char *contents, *text;
    int cs, ww;
    int want;  // 1 found, 0 not, -1 error
  } cases[] = {
      {"........", "WXYZ", 1, 0, 0}, {"xabcx", "abc", 1, 1, 0}, {"xabcx", "abc", 1, 0, 1},
      {"1abc2 ", "abc", 1, 1, 0}, {"xx abc", "ABC", 0, 0, 1}, {"xx abc", "ABC", 1, 0, 0},
      {"xx ABC", "abc", 0, 0, 1}, {"ab", "abc", 1, 0, 0}, {"abc", "", 1, 0, -1},
      // "zzzzz abc" fills the first read (nine bytes); a match ending at the
      // end of the bytes read so far counts as ending at a word boundary.
      {"zzzzz abcx", "abc", 1, 1, 1},
      // The same text at the end of the whole file, preceded by a letter.
      {"zzzzzzabc", "abc", 1, 1, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(find(c.contents, c.text, c.cs, c.ww), c.want) << c.contents << " / " << c.text;
}

}  // namespace
