#include "crypto/md5.h"

#include <gtest/gtest.h>

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

// MD5 of data fed in pieces of at most `piece` bytes.
std::string Md5Hex(const std::string& data, size_t piece) {
  MD5 ctx;
  MD5Open(&ctx);
  for (size_t at = 0; at < data.size(); at += piece) {
    size_t n = std::min(piece, data.size() - at);
    MD5Digest(&ctx, data.data() + at, static_cast<unsigned>(n));
  }
  unsigned char out[16];
  MD5Close(&ctx, out);
  return testutil::ToHex(std::string(reinterpret_cast<char*>(out), 16));
}

TEST(Md5, KnownAnswersInOneCall) {
  for (const auto& row : testutil::ReadVectors("digests.txt")) {
    if (row[0] != "md5") continue;
    std::string data = Input(row[1]);
    EXPECT_EQ(Md5Hex(data, data.size() + 1), row[2]) << "input " << row[1].substr(0, 40);
  }
}

TEST(Md5, KnownAnswersFedInPieces) {
  for (size_t piece : {1u, 7u, 63u, 64u, 65u, 4096u}) {
    for (const auto& row : testutil::ReadVectors("digests.txt")) {
      if (row[0] != "md5") continue;
      EXPECT_EQ(Md5Hex(Input(row[1]), piece), row[2]) << "piece " << piece;
    }
  }
}

// 55 bytes leave room for the padding in the same block, 56 push the length
// into a second block, 64 fill the block exactly.
TEST(Md5, PaddingAcrossBlockBoundary) {
  EXPECT_EQ(Md5Hex(std::string(55, 'x'), 64), "04364420e25c512fd958a70738aa8f72");
  EXPECT_EQ(Md5Hex(std::string(56, 'x'), 64), "668a72d5ba17f08e62dabcafad6db14b");
  EXPECT_EQ(Md5Hex(std::string(64, 'x'), 64), "c1bb4f81d892b2d57947682aeb252456");
}

TEST(Md5, NullOrEmptyInputAddsNothing) {
  MD5 ctx;
  MD5Open(&ctx);
  MD5Digest(&ctx, nullptr, 10);
  MD5Digest(&ctx, "abc", 0);
  unsigned char out[16];
  MD5Close(&ctx, out);
  EXPECT_EQ(testutil::ToHex(std::string(reinterpret_cast<char*>(out), 16)),
            "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(Md5, CloseWipesTheContext) {
  MD5 ctx;
  MD5Open(&ctx);
  MD5Digest(&ctx, "secret password", 15);
  unsigned char out[16];
  MD5Close(&ctx, out);
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&ctx);
  for (size_t i = 0; i < sizeof(ctx); ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;
}

}  // namespace
