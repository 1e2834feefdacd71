// The published known answers from tests/data, independent of the start-up
// self-test's own copies (which also check keys of every length), and the
// fatal path.
#include "crypto/twofish.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/testutil.h"

namespace {

using Bytes = std::string;

const unsigned char* U(const Bytes& b) {
  return reinterpret_cast<const unsigned char*>(b.data());
}

Bytes Encrypt(const Twofish_key& key, const Bytes& block) {
  unsigned char out[16];
  Twofish_encrypt(&key, U(block), out);
  return Bytes(reinterpret_cast<char*>(out), 16);
}

// "kat": one block each way. "iterated": 49 steps, each step's plaintext the
// previous ciphertext and its key the ciphertexts before that, newest first.
TEST(Twofish, KnownAnswers) {
  Twofish_initialise();
  int rows = 0;
  for (const auto& row : testutil::ReadVectors("twofish.txt")) {
    ++rows;
    Twofish_key k;
    if (row[0] == "kat") {
      Bytes key = testutil::FromHex(row[1]), plain = testutil::FromHex(row[2]);
      Twofish_prepare_key(U(key), static_cast<int>(key.size()), &k);
      EXPECT_EQ(Encrypt(k, plain), testutil::FromHex(row[3])) << "key " << row[1];
      unsigned char back[16];
      Twofish_decrypt(&k, U(testutil::FromHex(row[3])), back);
      EXPECT_EQ(Bytes(reinterpret_cast<char*>(back), 16), plain) << "key " << row[1];
      continue;
    }
    Bytes history(64, '\0');
    for (int step = 0; step < 49; ++step) {
      Twofish_prepare_key(U(history) + 16, std::stoi(row[1]), &k);
      history = Encrypt(k, history.substr(0, 16)) + history.substr(0, 48);
    }
    EXPECT_EQ(history.substr(0, 16), testutil::FromHex(row[2])) << "key bytes " << row[1];
  }
  EXPECT_EQ(rows, 6);
}

// The death test runs in a fresh copy of the binary, safe beside other threads.
TEST(Twofish, MisuseEndsTheProcessWithItsMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        unsigned char key[33] = {0};
        Twofish_key k;
        Twofish_initialise();
        Twofish_prepare_key(key, 33, &k);
      },
      ::testing::ExitedWithCode(3),
      "^\nTwofish fatal error: Twofish_prepare_key: illegal key length\nProcess terminated\n$");
}

}  // namespace
