// Known answers (tests/data) for the CRC, the digests and the block cipher,
// independent of the start-up self-test's own copies.
#include <gtest/gtest.h>

#include <string>

#include "crypto/ciplib.h"
#include "crypto/crc32_fast.h"
#include "crypto/md5.h"
#include "crypto/twofish.h"
#include "tests/testutil.h"

namespace {

using testutil::FromHex;

// Test inputs are hex, or "count:byte" for a long run of one byte.
std::string Input(const std::string& field) {
  size_t colon = field.find(':');
  if (colon == std::string::npos) return FromHex(field);
  return std::string(std::stoul(field.substr(0, colon)), FromHex(field.substr(colon + 1))[0]);
}

std::string Bytes(const unsigned char* p, size_t n) {
  return std::string(reinterpret_cast<const char*>(p), n);
}

const unsigned char* U(const std::string& b) {
  return reinterpret_cast<const unsigned char*>(b.data());
}

// GetBlockCRC must start afresh each time; the other paths continue from the
// register of a first piece at an unaligned start, as a file read in pieces.
TEST(Crc32, KnownAnswersByEveryPath) {
  TCRC32 block;
  for (const auto& row : testutil::ReadVectors("crc32.txt")) {
    const std::string data = Input(row[1]);
    const uint32_t want = static_cast<uint32_t>(std::stoul(row[2], nullptr, 16));
    EXPECT_EQ(block.GetBlockCRC(data.data(), static_cast<int>(data.size())), want) << row[1];
    TCRC32 bytes;
    for (unsigned char c : data) bytes.UpdateCRC(c);
    EXPECT_EQ(bytes.GetCRC(), want) << row[1];
    const size_t cut = data.size() / 3 | 1;
    for (auto crc : {Crc32Update, Crc32UpdateSliced, Crc32UpdateBytewise}) {
      if (data.size() < cut) continue;
      const uint32_t first = crc(0xFFFFFFFFu, data.data(), cut);
      EXPECT_EQ(crc(first, data.data() + cut, data.size() - cut), want) << row[1];
    }
  }
}

// One THash_SHA for every row, as for each request's key. MD5 is fed in pieces
// around its 64-byte block, as upgrade data arrives, and is wiped at the end.
TEST(Digests, KnownAnswers) {
  THash_SHA sha;
  for (const auto& row : testutil::ReadVectors("digests.txt")) {
    const std::string data = Input(row[1]), want = FromHex(row[2]);
    if (row[0] == "sha1") {
      EXPECT_EQ(Bytes(sha.GetHash(data.data(), static_cast<long>(data.size())), 20), want);
      continue;
    }
    for (size_t piece : {1, 7, 63, 64, 65, 4096}) {
      MD5 ctx;
      MD5Open(&ctx);
      for (size_t at = 0; at < data.size(); at += piece)
        MD5Digest(&ctx, data.data() + at, static_cast<unsigned>(std::min(piece, data.size() - at)));
      unsigned char out[16];
      MD5Close(&ctx, out);
      EXPECT_EQ(Bytes(out, 16), want) << "piece " << piece;
      EXPECT_EQ(Bytes(reinterpret_cast<unsigned char*>(&ctx), sizeof ctx),
                std::string(sizeof ctx, 0));
    }
  }
}

// "iterated": 49 steps, each step's plaintext the previous ciphertext and its
// key the ciphertexts before that, newest first.
TEST(Twofish, KnownAnswers) {
  Twofish_initialise();
  unsigned char out[16];
  Twofish_key k;
  for (const auto& row : testutil::ReadVectors("twofish.txt")) {
    if (row[0] == "kat") {
      const std::string key = FromHex(row[1]), plain = FromHex(row[2]), cipher = FromHex(row[3]);
      Twofish_prepare_key(U(key), static_cast<int>(key.size()), &k);
      Twofish_encrypt(&k, U(plain), out);
      EXPECT_EQ(Bytes(out, 16), cipher) << row[1];
      continue;
    }
    std::string history(64, '\0');
    for (int step = 0; step < 49; ++step) {
      Twofish_prepare_key(U(history) + 16, std::stoi(row[1]), &k);
      Twofish_encrypt(&k, U(history), out);
      history = Bytes(out, 16) + history.substr(0, 48);
    }
    EXPECT_EQ(history.substr(0, 16), FromHex(row[2])) << "key bytes " << row[1];
  }
  // Misuse ends the process with its message, in a fresh copy of the binary.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      Twofish_prepare_key(out, 33, &k), ::testing::ExitedWithCode(3),
      "^\nTwofish fatal error: Twofish_prepare_key: illegal key length\nProcess terminated\n$");
}

}  // namespace
