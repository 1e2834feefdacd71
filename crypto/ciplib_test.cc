#include "crypto/ciplib.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/testutil.h"

namespace {

// Test inputs are hex, or "count:byte" for a long run of one byte.
std::string Input(const std::string& field) {
  size_t colon = field.find(':');
  if (colon == std::string::npos) return testutil::FromHex(field);
  return std::string(std::stoul(field.substr(0, colon)),
                     testutil::FromHex(field.substr(colon + 1))[0]);
}

std::string Hex(const unsigned char* digest) {
  return testutil::ToHex(std::string(reinterpret_cast<const char*>(digest), 20));
}

uint32_t ParseCrc(const std::string& hex) {
  return static_cast<uint32_t>(std::stoul(hex, nullptr, 16));
}

// ---------------------------------------------------------------- CRC-32

TEST(Crc32, KnownAnswersAsBlock) {
  TCRC32 crc;
  for (const auto& row : testutil::ReadVectors("crc32.txt")) {
    std::string data = Input(row[1]);
    EXPECT_EQ(crc.GetBlockCRC(data.data(), static_cast<int>(data.size())), ParseCrc(row[2]))
        << "input " << row[1];
  }
}

TEST(Crc32, ByteByByteEqualsBlock) {
  for (const auto& row : testutil::ReadVectors("crc32.txt")) {
    std::string data = Input(row[1]);
    TCRC32 crc;
    for (unsigned char c : data) crc.UpdateCRC(c);
    EXPECT_EQ(crc.GetCRC(), ParseCrc(row[2])) << "input " << row[1];
  }
}

TEST(Crc32, EmptyBlockIsAllOnes) {
  TCRC32 crc;
  EXPECT_EQ(crc.GetBlockCRC("", 0), 0xFFFFFFFFu);
}

TEST(Crc32, MinusOneMeansZeroTerminated) {
  TCRC32 crc;
  EXPECT_EQ(crc.GetBlockCRC("123456789", -1), 0x340BC6D9u);
}

TEST(Crc32, NullDataAddsNothing) {
  TCRC32 crc;
  crc.UpdateCRC("a", 1);
  uint32_t before = crc.GetCRC();
  crc.UpdateCRC(nullptr, 5);
  crc.UpdateCRC(nullptr, -1);
  EXPECT_EQ(crc.GetCRC(), before);
}

TEST(Crc32, GetBlockCrcRestartsTheRegister) {
  TCRC32 crc;
  crc.UpdateCRC("garbage", -1);
  EXPECT_EQ(crc.GetBlockCRC("123456789", 9), 0x340BC6D9u);
}

// ---------------------------------------------------------------- SHA-1

TEST(Sha1, KnownAnswersViaGetHash) {
  THash_SHA sha;
  for (const auto& row : testutil::ReadVectors("digests.txt")) {
    if (row[0] != "sha1") continue;
    std::string data = Input(row[1]);
    EXPECT_EQ(Hex(sha.GetHash(data.data(), static_cast<long>(data.size()))), row[2])
        << "input " << row[1].substr(0, 40);
  }
}

// Feeding in pieces that straddle the 64-byte block in every way must give
// the same digest as one call.
TEST(Sha1, KnownAnswersFedInPieces) {
  for (size_t piece : {1u, 3u, 63u, 64u, 65u, 1000u}) {
    for (const auto& row : testutil::ReadVectors("digests.txt")) {
      if (row[0] != "sha1") continue;
      std::string data = Input(row[1]);
      THash_SHA sha;
      sha.Init();
      for (size_t at = 0; at < data.size(); at += piece) {
        size_t n = std::min(piece, data.size() - at);
        sha.Update(data.data() + at, static_cast<long>(n));
      }
      sha.Final();
      EXPECT_EQ(Hex(sha.GetHash(nullptr, 0)), row[2]) << "piece " << piece;
    }
  }
}

TEST(Sha1, SecondGetHashStartsAfresh) {
  THash_SHA sha;
  sha.GetHash("abc", 3);
  EXPECT_EQ(Hex(sha.GetHash("", 0)), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(Hex(sha.GetHash("abc", 3)), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(Sha1, NullDataReturnsPreviousDigest) {
  THash_SHA sha;
  sha.GetHash("abc", 3);
  EXPECT_EQ(Hex(sha.GetHash(nullptr, 0)), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(Sha1, UpdateAfterFinalStartsANewComputation) {
  THash_SHA sha;
  sha.GetHash("xyz", 3);
  sha.Update("abc", 3);
  sha.Final();
  EXPECT_EQ(Hex(sha.GetHash(nullptr, 0)), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(Sha1, FinalWithoutOpenComputationKeepsDigest) {
  THash_SHA sha;
  sha.GetHash("abc", 3);
  sha.Final();
  EXPECT_EQ(Hex(sha.GetHash(nullptr, 0)), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(Sha1, NullDataWhileOpenClosesTheComputation) {
  THash_SHA sha;
  sha.Init();
  sha.Update("abc", 3);
  EXPECT_EQ(Hex(sha.GetHash(nullptr, 0)), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(Sha1, BurnClearsTheDigest) {
  THash_SHA sha;
  sha.GetHash("abc", 3);
  sha.Burn();
  EXPECT_EQ(Hex(sha.GetHash(nullptr, 0)), std::string(40, '0'));
  EXPECT_EQ(sha.GetHashSize(), 20);
}

}  // namespace
