#include "crypto/twofish.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/testutil.h"

namespace {

class Twofish : public ::testing::Test {
 protected:
  void SetUp() override { Twofish_initialise(); }
};

using Bytes = std::string;

const unsigned char* U(const Bytes& b) {
  return reinterpret_cast<const unsigned char*>(b.data());
}

Bytes Encrypt(const Twofish_key& key, const Bytes& block) {
  unsigned char out[16];
  Twofish_encrypt(&key, U(block), out);
  return Bytes(reinterpret_cast<char*>(out), 16);
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

TEST_F(Twofish, KnownAnswersBothWays) {
  for (const auto& row : testutil::ReadVectors("twofish.txt")) {
    if (row[0] != "kat") continue;
    Bytes key = testutil::FromHex(row[1]), plain = testutil::FromHex(row[2]);
    Twofish_key k;
    Twofish_prepare_key(U(key), static_cast<int>(key.size()), &k);
    EXPECT_EQ(testutil::ToHex(Encrypt(k, plain)), Lower(row[3])) << "key " << row[1];
    unsigned char back[16];
    Twofish_decrypt(&k, U(testutil::FromHex(row[3])), back);
    EXPECT_EQ(Bytes(reinterpret_cast<char*>(back), 16), plain) << "key " << row[1];
  }
}

// 49 steps; each step's plaintext is the previous ciphertext and its key the
// ciphertexts before that, newest first.
TEST_F(Twofish, IteratedSequences) {
  int checked = 0;
  for (const auto& row : testutil::ReadVectors("twofish.txt")) {
    if (row[0] != "iterated") continue;
    const size_t key_length = std::stoul(row[1]);
    Bytes history(64, '\0');  // newest ciphertext first
    for (int step = 0; step < 49; ++step) {
      Twofish_key k;
      Twofish_prepare_key(U(history) + 16, static_cast<int>(key_length), &k);
      history = Encrypt(k, history.substr(0, 16)) + history.substr(0, 48);
    }
    EXPECT_EQ(testutil::ToHex(history.substr(0, 16)), Lower(row[2])) << "key bytes " << key_length;
    ++checked;
  }
  EXPECT_EQ(checked, 3);
}

// A key of length n is the same key with zeros up to 16, 24 or 32 bytes, but
// zero padding must not hide the key size.
TEST_F(Twofish, ShortKeysArePaddedToTheirKeySize) {
  unsigned char key[32] = {0};
  std::memcpy(key, "thirty-two bytes of key material", 32);
  struct Case {
    int a, b;
    bool same;
  } cases[] = {{0, 16, true},   {1, 16, true},   {15, 16, true},  {17, 24, true},
               {23, 24, true},  {25, 32, true},  {31, 32, true},  {16, 24, false},
               {24, 32, false}, {16, 17, false}};
  for (const Case& c : cases) {
    unsigned char ka[32] = {0}, kb[32] = {0};
    std::memcpy(ka, key, static_cast<size_t>(c.a));
    std::memcpy(kb, key, static_cast<size_t>(std::min(c.a, c.b)));
    Twofish_key xa, xb;
    Twofish_prepare_key(c.a ? ka : nullptr, c.a, &xa);
    Twofish_prepare_key(kb, c.b, &xb);
    EXPECT_EQ(std::memcmp(&xa, &xb, sizeof xa) == 0, c.same) << c.a << " vs " << c.b;
  }
}

TEST_F(Twofish, InPlaceAndSharedAcrossThreads) {
  Twofish_key k;
  Twofish_prepare_key(nullptr, 0, &k);
  unsigned char block[16] = {0};
  Twofish_encrypt(&k, block, block);
  EXPECT_EQ(testutil::ToHex(Bytes(reinterpret_cast<char*>(block), 16)),
            "9f589f5cf6122c32b6bfec2f2ae8c35a");
  Twofish_decrypt(&k, block, block);
  EXPECT_EQ(Bytes(reinterpret_cast<char*>(block), 16), Bytes(16, '\0'));

  const Bytes expected = Encrypt(k, Bytes(16, 'p'));
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        if (Encrypt(k, Bytes(16, 'p')) != expected) ++mismatches[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int m : mismatches) EXPECT_EQ(m, 0);
}

// The death test re-runs the binary for each case so that it is safe beside
// threads started by other tests.
TEST_F(Twofish, MisuseEndsTheProcessWithItsMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  unsigned char key[33] = {0};
  Twofish_key k;
  EXPECT_EXIT(
      Twofish_prepare_key(key, 33, &k), ::testing::ExitedWithCode(3),
      "^\nTwofish fatal error: Twofish_prepare_key: illegal key length\nProcess terminated\n$");
  EXPECT_EXIT(Twofish_prepare_key(key, -1, &k), ::testing::ExitedWithCode(3),
              "Twofish_prepare_key: illegal key length");
  EXPECT_EXIT(
      {
        Twofish_initialised = false;
        Twofish_prepare_key(key, 16, &k);
      },
      ::testing::ExitedWithCode(3), "Twofish implementation was not initialised\\.");
}

}  // namespace
