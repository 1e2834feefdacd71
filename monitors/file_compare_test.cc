// The file CRC, comparison and search helpers on files whose size crosses
// their read blocks; the replies they lead to are checked end to end.
#include "monitors/file_compare.h"

#include <gtest/gtest.h>

#include <cstdlib>
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

// ------------------------------------------------------------------ CRC

TEST(FileCrc, KnownAnswersFromFiles) {
  TempDir t;
  for (const auto& v : testutil::ReadVectors("crc32.txt")) {
    WriteFile(t.File("f"), testutil::FromHex(v[1]));
    uint32_t crc = 0;
    String err("stale");
    ASSERT_TRUE(GetFileCRC(t.File("f").c_str(), crc, err)) << err.ToStd();
    EXPECT_EQ(crc, static_cast<uint32_t>(std::strtoul(v[2].c_str(), nullptr, 16))) << v[1];
    EXPECT_TRUE(err.IsEmpty());
  }
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

// ------------------------------------------------------------- CompareFiles

struct CompareCase {
  const char* name;
  std::string a, b;
  int want;
};

TEST(FileCompareFiles, PrefixSemantics) {
  const std::string big = RandomBytes((1 << 20) + 100, 9);
  std::string big_late_diff = big;
  big_late_diff[(1 << 20) + 50] ^= 1;
  const CompareCase cases[] = {
      {"equal", "abc", "abc", 1},
      {"prefix", "abc", "abcdef", 1},
      {"prefix_reversed", "abcdef", "abc", 1},
      {"empty_vs_any", "", "xyz", 1},
      {"differ_first", "abc", "xbc", 0},
      {"differ_last", "abc", "abd", 0},
      {"differ_after_first_block", big, big_late_diff, 0},
      {"big_prefix", big.substr(0, (1 << 20) + 1), big, 1},
  };
  TempDir t;
  for (const CompareCase& c : cases) {
    WriteFile(t.File("a"), c.a);
    WriteFile(t.File("b"), c.b);
    EXPECT_EQ(CompareFiles(t.File("a").c_str(), t.File("b").c_str()), c.want) << c.name;
  }
}

// ------------------------------------------------------------ FindStrInFile

int Find(const std::string& contents, const std::string& text, int cs, int ww) {
  TempDir t;
  WriteFile(t.File("f"), contents);
  String s(text.c_str());
  return FindStrInFile(t.File("f").c_str(), s, cs, ww);
}

// The buffer holds three text lengths; the text is found wherever it lies,
// also across the boundary of two reads.
TEST(FindStrInFileTest, FoundAtEveryOffset) {
  const std::string text = "WXYZ";
  for (size_t at = 0; at + text.size() <= 40; ++at) {
    std::string contents(40, '.');
    contents.replace(at, text.size(), text);
    EXPECT_GT(Find(contents, text, 1, 0), 0) << "at " << at;
    EXPECT_GT(Find(contents, text, 1, 1), 0) << "whole word at " << at;
  }
  EXPECT_EQ(Find(std::string(40, '.'), text, 1, 0), 0);
}

struct FindCase {
  const char* name;
  const char* contents;
  const char* text;
  int cs, ww;
  int want;  // 1 found, 0 not, -1 error
};

TEST(FindStrInFileTest, Table) {
  const FindCase cases[] = {
      {"whole_word_second", "xabc abc", "abc", 1, 1, 1},
      {"whole_word_inside", "xabcx", "abc", 1, 1, 0},
      {"whole_word_off", "xabcx", "abc", 1, 0, 1},
      {"digits_are_word_bytes", "1abc2 ", "abc", 1, 1, 0},
      {"case_blind", "xx abc", "ABC", 0, 0, 1},
      {"case_sensitive", "xx abc", "ABC", 1, 0, 0},
      {"case_blind_file_upper", "xx ABC", "abc", 0, 0, 1},
      {"longer_than_file", "ab", "abc", 1, 0, 0},
      {"equal_to_file", "abc", "abc", 1, 1, 1},
      {"empty_text", "abc", "", 1, 0, -1},
      // "zzzzz abc" fills the first read (nine bytes); a match ending at the
      // end of the bytes read so far counts as ending at a word boundary.
      {"match_ending_a_read_is_a_word_end", "zzzzz abcx", "abc", 1, 1, 1},
      // The same text at the end of the whole file, preceded by a letter.
      {"left_letter_at_file_end", "zzzzzzabc", "abc", 1, 1, 0},
  };
  for (const FindCase& c : cases) {
    int r = Find(c.contents, c.text, c.cs, c.ww);
    EXPECT_EQ(r > 0 ? 1 : r, c.want) << c.name;
  }
}

}  // namespace
