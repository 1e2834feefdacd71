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

Bytes Decrypt(const Twofish_key& key, const Bytes& block) {
  unsigned char out[16];
  Twofish_decrypt(&key, U(block), out);
  return Bytes(reinterpret_cast<char*>(out), 16);
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool SameExpansion(const unsigned char* a, int len_a, const unsigned char* b, int len_b) {
  Twofish_key ka, kb;
  Twofish_prepare_key(a, len_a, &ka);
  Twofish_prepare_key(b, len_b, &kb);
  return std::memcmp(&ka, &kb, sizeof(Twofish_key)) == 0;
}

TEST_F(Twofish, KnownAnswers) {
  for (const auto& row : testutil::ReadVectors("twofish.txt")) {
    if (row[0] != "kat") continue;
    Bytes key = testutil::FromHex(row[1]), plain = testutil::FromHex(row[2]);
    Twofish_key k;
    Twofish_prepare_key(U(key), static_cast<int>(key.size()), &k);
    EXPECT_EQ(testutil::ToHex(Encrypt(k, plain)), Lower(row[3])) << "key " << row[1];
    EXPECT_EQ(Decrypt(k, testutil::FromHex(row[3])), plain) << "key " << row[1];
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

TEST_F(Twofish, DecryptInvertsEncrypt) {
  Bytes key = "a key of 27 bytes, not even";
  Twofish_key k;
  Twofish_prepare_key(U(key), static_cast<int>(key.size()), &k);
  Bytes block = "0123456789abcdef";
  for (int i = 0; i < 100; ++i) {
    Bytes next = Encrypt(k, block);
    ASSERT_NE(next, block);
    ASSERT_EQ(Decrypt(k, next), block);
    block = next;
  }
}

TEST_F(Twofish, EncryptInPlace) {
  Twofish_key k;
  Twofish_prepare_key(nullptr, 0, &k);
  unsigned char block[16] = {0};
  Twofish_encrypt(&k, block, block);
  EXPECT_EQ(testutil::ToHex(Bytes(reinterpret_cast<char*>(block), 16)),
            "9f589f5cf6122c32b6bfec2f2ae8c35a");
  Twofish_decrypt(&k, block, block);
  EXPECT_EQ(Bytes(reinterpret_cast<char*>(block), 16), Bytes(16, '\0'));
}

TEST_F(Twofish, EmptyKeyIsSixteenZeroBytes) {
  const unsigned char zeros[16] = {0};
  EXPECT_TRUE(SameExpansion(zeros, 0, zeros, 16));
}

// A key of length n is the same key with zeros up to 16, 24 or 32 bytes.
TEST_F(Twofish, ShortKeysArePaddedToTheirKeySize) {
  const Bytes text = "thirty-two bytes of key material";
  for (int length : {1, 5, 15, 17, 20, 23, 25, 31}) {
    unsigned char key[32] = {0};
    std::memcpy(key, text.data(), static_cast<size_t>(length));
    const int padded = length <= 16 ? 16 : (length <= 24 ? 24 : 32);
    EXPECT_TRUE(SameExpansion(key, length, key, padded)) << "length " << length;
  }
}

// Zero padding must not hide the key size: 128, 192 and 256-bit zero keys
// are different keys.
TEST_F(Twofish, KeySizeChangesTheExpansion) {
  const unsigned char zeros[32] = {0};
  EXPECT_FALSE(SameExpansion(zeros, 16, zeros, 24));
  EXPECT_FALSE(SameExpansion(zeros, 24, zeros, 32));
  EXPECT_FALSE(SameExpansion(zeros, 16, zeros, 17));
}

TEST_F(Twofish, SecondInitialiseKeepsWorking) {
  Twofish_initialise();
  EXPECT_TRUE(Twofish_initialised.load());
  Twofish_key k;
  Twofish_prepare_key(nullptr, 0, &k);
  EXPECT_EQ(testutil::ToHex(Encrypt(k, Bytes(16, '\0'))), "9f589f5cf6122c32b6bfec2f2ae8c35a");
}

TEST_F(Twofish, SharedKeyAcrossThreads) {
  Twofish_key k;
  Twofish_prepare_key(U(Bytes("shared")), 6, &k);
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

// The death tests re-run the binary for each case so that they are safe
// beside threads started by other tests.
class TwofishDeathTest : public Twofish {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Twofish::SetUp();
  }
};

TEST_F(TwofishDeathTest, KeyLongerThan32Dies) {
  unsigned char key[33] = {0};
  Twofish_key k;
  EXPECT_EXIT(
      Twofish_prepare_key(key, 33, &k), ::testing::ExitedWithCode(3),
      "\nTwofish fatal error: Twofish_prepare_key: illegal key length\nProcess terminated\n");
}

TEST_F(TwofishDeathTest, NegativeKeyLengthDies) {
  unsigned char key[16] = {0};
  Twofish_key k;
  EXPECT_EXIT(Twofish_prepare_key(key, -1, &k), ::testing::ExitedWithCode(3),
              "Twofish_prepare_key: illegal key length");
}

TEST_F(TwofishDeathTest, PrepareBeforeInitialiseDies) {
  unsigned char key[16] = {0};
  Twofish_key k;
  EXPECT_EXIT(
      {
        Twofish_initialised = false;
        Twofish_prepare_key(key, 16, &k);
      },
      ::testing::ExitedWithCode(3), "Twofish implementation was not initialised\\.");
}

TEST_F(TwofishDeathTest, FatalPrintsFramedMessageAndExitsWith3) {
  EXPECT_EXIT(Twofish_fatal("some check"), ::testing::ExitedWithCode(3),
              "^\nTwofish fatal error: some check\nProcess terminated\n$");
}

}  // namespace
