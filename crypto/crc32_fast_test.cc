#include "crypto/crc32_fast.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "crypto/ciplib.h"
#include "tests/testutil.h"

namespace {

uint32_t Reference(uint32_t reg, const std::string& data) {
  TCRC32 crc;
  crc.InitCRC();
  // TCRC32 always starts from 0xFFFFFFFF; other starting registers are
  // checked against the byte-at-a-time form below.
  if (reg != 0xFFFFFFFFu) return Crc32UpdateBytewise(reg, data.data(), data.size());
  crc.UpdateCRC(data.data(), static_cast<int>(data.size()));
  return crc.GetCRC();
}

TEST(Crc32Fast, KnownAnswers) {
  auto vectors = testutil::ReadVectors("crc32.txt");
  ASSERT_FALSE(vectors.empty());
  for (const auto& v : vectors) {
    ASSERT_EQ(v.size(), 3u);
    std::string data = testutil::FromHex(v[1]);
    uint32_t want = static_cast<uint32_t>(std::strtoul(v[2].c_str(), nullptr, 16));
    EXPECT_EQ(Crc32Update(0xFFFFFFFFu, data.data(), data.size()), want) << v[1];
    EXPECT_EQ(Crc32UpdateSliced(0xFFFFFFFFu, data.data(), data.size()), want) << v[1];
  }
}

TEST(Crc32Fast, EmptyAndNullLeaveTheRegister) {
  EXPECT_EQ(Crc32Update(0x12345678u, nullptr, 10), 0x12345678u);
  EXPECT_EQ(Crc32Update(0x12345678u, "abc", 0), 0x12345678u);
}

// Every length around the block sizes of the fast paths (8, 16, 64 bytes),
// at unaligned starts, from several starting registers.
TEST(Crc32Fast, AgreesWithByteAtATimeForAllLengthsAndOffsets) {
  std::mt19937 rng(7);
  std::string buf(1200, '\0');
  for (char& c : buf) c = static_cast<char>(rng());
  const uint32_t starts[] = {0xFFFFFFFFu, 0u, 0xDEADBEEFu};
  for (uint32_t reg : starts) {
    for (size_t off = 0; off < 9; ++off) {
      for (size_t len = 0; len <= 300; ++len) {
        const char* p = buf.data() + off;
        uint32_t want = Crc32UpdateBytewise(reg, p, len);
        ASSERT_EQ(Crc32Update(reg, p, len), want) << "len " << len << " off " << off;
        ASSERT_EQ(Crc32UpdateSliced(reg, p, len), want) << "len " << len << " off " << off;
      }
    }
  }
}

TEST(Crc32Fast, SplitUpdatesChainLikeOne) {
  std::mt19937 rng(11);
  std::string data(100000, '\0');
  for (char& c : data) c = static_cast<char>(rng());
  uint32_t whole = Reference(0xFFFFFFFFu, data);
  uint32_t reg = 0xFFFFFFFFu;
  size_t pos = 0;
  const size_t pieces[] = {1, 63, 64, 65, 4096, 17, 30000};
  for (size_t i = 0; pos < data.size(); ++i) {
    size_t n = std::min(pieces[i % 7], data.size() - pos);
    reg = Crc32Update(reg, data.data() + pos, n);
    pos += n;
  }
  EXPECT_EQ(reg, whole);
  EXPECT_EQ(Crc32Update(0xFFFFFFFFu, data.data(), data.size()), whole);
}

}  // namespace
