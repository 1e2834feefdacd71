// Known answers for the digests and the CRC (tests/data), and the fast
// CRC-32 paths against the byte-at-a-time form.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "crypto/ciplib.h"
#include "crypto/crc32_fast.h"
#include "crypto/md5.h"
#include "tests/testutil.h"

namespace {

// Test inputs are hex, or "count:byte" for a long run of one byte.
std::string Input(const std::string& field) {
  size_t colon = field.find(':');
  if (colon == std::string::npos) return testutil::FromHex(field);
  return std::string(std::stoul(field.substr(0, colon)),
                     testutil::FromHex(field.substr(colon + 1))[0]);
}

std::string Hex(const unsigned char* digest, size_t n) {
  return testutil::ToHex(std::string(reinterpret_cast<const char*>(digest), n));
}

// One TCRC32 for all rows: GetBlockCRC must start afresh each time.
TEST(Crc32, KnownAnswersByEveryPath) {
  TCRC32 block;
  for (const auto& row : testutil::ReadVectors("crc32.txt")) {
    const std::string data = Input(row[1]);
    const uint32_t want = static_cast<uint32_t>(std::stoul(row[2], nullptr, 16));
    EXPECT_EQ(block.GetBlockCRC(data.data(), static_cast<int>(data.size())), want) << row[1];
    TCRC32 bytes;
    for (unsigned char c : data) bytes.UpdateCRC(c);
    EXPECT_EQ(bytes.GetCRC(), want) << row[1];
    EXPECT_EQ(Crc32Update(0xFFFFFFFFu, data.data(), data.size()), want) << row[1];
    EXPECT_EQ(Crc32UpdateSliced(0xFFFFFFFFu, data.data(), data.size()), want) << row[1];
  }
}

// Every length around the block sizes of the fast paths (8, 16, 64 bytes), at
// unaligned starts, from several starting registers (a file read in pieces
// continues from the register of the previous piece).
TEST(Crc32, FastPathsAgreeWithByteAtATime) {
  std::mt19937 rng(7);
  std::string buf(1200, '\0');
  for (char& c : buf) c = static_cast<char>(rng());
  for (uint32_t reg : {0xFFFFFFFFu, 0u, 0xDEADBEEFu}) {
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

// One THash_SHA for every row, as a request's key is hashed afresh each
// time. MD5 is also fed in pieces that straddle the 64-byte block in every
// way (upgrade data arrives so), and its context keeps nothing afterwards.
TEST(Digests, KnownAnswers) {
  THash_SHA sha;
  for (const auto& row : testutil::ReadVectors("digests.txt")) {
    const std::string data = Input(row[1]);
    if (row[0] == "sha1") {
      EXPECT_EQ(Hex(sha.GetHash(data.data(), static_cast<long>(data.size())), 20), row[2]);
      continue;
    }
    for (size_t piece : {1, 7, 63, 64, 65, 4096}) {
      MD5 ctx;
      MD5Open(&ctx);
      for (size_t at = 0; at < data.size(); at += piece)
        MD5Digest(&ctx, data.data() + at, static_cast<unsigned>(std::min(piece, data.size() - at)));
      unsigned char out[16];
      MD5Close(&ctx, out);
      EXPECT_EQ(Hex(out, 16), row[2]) << "piece " << piece;
      const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&ctx);
      for (size_t i = 0; i < sizeof ctx; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;
    }
  }
}

}  // namespace
