// The Twofish block cipher with fully keyed S-box tables, and its start-up
// self-test.
//
// Layout of the work: Twofish_initialise() builds the two q-permutations from
// their 4-bit t-tables and four MDS column tables (each already composed with
// the last q-permutation of its byte lane). Preparing a key folds the rest of
// the key-dependent h() chain into four 256-entry tables, so that the round
// function g() costs four lookups and three XORs.
#include "crypto/twofish.h"

#include "base/secure_zero.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

std::atomic<bool> Twofish_initialised{false};

namespace {

// ---------------------------------------------------------------- primitives
// The cipher reads and writes its words least significant byte first. These
// helpers carry that and the rotates; the platform test checks each one.

inline uint32_t Rol32(uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}
inline uint32_t Ror32(uint32_t x, int n) {
  return (x >> n) | (x << (32 - n));
}

inline uint32_t Bswap32(uint32_t x) {
  return (x >> 24) | ((x >> 8) & 0x0000FF00u) | ((x << 8) & 0x00FF0000u) | (x << 24);
}

inline uint32_t Get32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = Bswap32(v);
#endif
  return v;
}

inline void Put32(uint32_t v, unsigned char* p) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = Bswap32(v);
#endif
  std::memcpy(p, &v, 4);
}

inline unsigned SelectByte(uint32_t x, int n) {
  return (x >> (8 * n)) & 0xFFu;
}

// ---------------------------------------------------------------- fixed tables

// The 4-bit t-tables from which the two q-permutations are built.
constexpr unsigned char kQt[2][4][16] = {
    {{0x8, 0x1, 0x7, 0xD, 0x6, 0xF, 0x3, 0x2, 0x0, 0xB, 0x5, 0x9, 0xE, 0xC, 0xA, 0x4},
     {0xE, 0xC, 0xB, 0x8, 0x1, 0x2, 0x3, 0x5, 0xF, 0x4, 0xA, 0x6, 0x7, 0x0, 0x9, 0xD},
     {0xB, 0xA, 0x5, 0xE, 0x6, 0xD, 0x9, 0x0, 0xC, 0x8, 0xF, 0x3, 0x2, 0x4, 0x7, 0x1},
     {0xD, 0x7, 0xF, 0x4, 0x1, 0x2, 0x6, 0xE, 0x9, 0xB, 0x3, 0x0, 0x8, 0x5, 0xC, 0xA}},
    {{0x2, 0x8, 0xB, 0xD, 0xF, 0x7, 0x6, 0xE, 0x3, 0x1, 0x9, 0x4, 0x0, 0xA, 0xC, 0x5},
     {0x1, 0xE, 0x2, 0xB, 0x4, 0xC, 0x3, 0x7, 0x6, 0xD, 0xA, 0x5, 0xF, 0x9, 0x0, 0x8},
     {0x4, 0xC, 0x7, 0x5, 0x1, 0x6, 0x9, 0xA, 0x0, 0xE, 0xD, 0x8, 0x2, 0xB, 0x3, 0xF},
     {0xB, 0x9, 0x5, 0x1, 0xC, 0x3, 0xD, 0xE, 0x6, 0x4, 0x7, 0xF, 0x2, 0x0, 0x8, 0xA}},
};

// Which q-permutation each byte lane passes through at each stage of h():
// [lane][stage], stages: 256-bit key word, 192-bit key word, second key
// word, first key word, and the last permutation before the MDS matrix.
constexpr int kQOrder[4][5] = {
    {1, 1, 0, 0, 1},
    {0, 1, 1, 0, 0},
    {0, 0, 0, 1, 1},
    {1, 0, 1, 1, 0},
};

// The MDS matrix by columns, row 0 first. Field polynomial x^8+x^6+x^5+x^3+1.
constexpr unsigned char kMdsColumn[4][4] = {
    {0x01, 0x5B, 0xEF, 0xEF},
    {0xEF, 0xEF, 0x5B, 0x01},
    {0x5B, 0xEF, 0x01, 0xEF},
    {0x5B, 0x01, 0xEF, 0x5B},
};
constexpr unsigned kMdsPolynomial = 0x169;

// The Reed-Solomon matrix of the key schedule. Field polynomial
// x^8+x^6+x^3+x^2+1.
constexpr unsigned char kRs[4][8] = {
    {0x01, 0xA4, 0x55, 0x87, 0x5A, 0x58, 0xDB, 0x9E},
    {0xA4, 0x56, 0x82, 0xF3, 0x1E, 0xC6, 0x68, 0xE5},
    {0x02, 0xA1, 0xFC, 0xC1, 0x47, 0xAE, 0x3D, 0x19},
    {0xA4, 0x55, 0x87, 0x5A, 0x58, 0xDB, 0x9E, 0x03},
};
constexpr unsigned kRsPolynomial = 0x14D;

// Built once by Twofish_initialise() and read-only afterwards.
unsigned char q_table[2][256];
uint32_t mds_table[4][256];
// Column col of the Reed-Solomon matrix times each byte, the four products
// packed row 0 first: an S-box key word is then eight lookups, not 32
// multiplications bit by bit (every request prepares a key).
uint32_t rs_table[8][256];

unsigned char GfMultiply(unsigned a, unsigned b, unsigned polynomial) {
  unsigned result = 0;
  while (b != 0) {
    if (b & 1u) result ^= a;
    a <<= 1;
    if (a & 0x100u) a ^= polynomial;
    b >>= 1;
  }
  return static_cast<unsigned char>(result);
}

unsigned char BuildQ(const unsigned char t[4][16], unsigned x) {
  unsigned a = x >> 4, b = x & 15u;
  unsigned a1 = a ^ b;
  unsigned b1 = (a ^ ((b >> 1) | (b << 3)) ^ (a << 3)) & 15u;
  unsigned a2 = t[0][a1], b2 = t[1][b1];
  unsigned a3 = a2 ^ b2;
  unsigned b3 = (a2 ^ ((b2 >> 1) | (b2 << 3)) ^ (a2 << 3)) & 15u;
  unsigned a4 = t[2][a3], b4 = t[3][b3];
  return static_cast<unsigned char>((b4 << 4) | a4);
}

void BuildTables() {
  for (int which = 0; which < 2; ++which) {
    for (unsigned x = 0; x < 256; ++x) q_table[which][x] = BuildQ(kQt[which], x);
  }
  for (int lane = 0; lane < 4; ++lane) {
    const unsigned char* last_q = q_table[kQOrder[lane][4]];
    for (unsigned x = 0; x < 256; ++x) {
      unsigned y = last_q[x];
      uint32_t word = 0;
      for (int row = 0; row < 4; ++row) {
        word |= uint32_t{GfMultiply(kMdsColumn[lane][row], y, kMdsPolynomial)} << (8 * row);
      }
      mds_table[lane][x] = word;
    }
  }
  for (int col = 0; col < 8; ++col) {
    for (unsigned x = 0; x < 256; ++x) {
      uint32_t word = 0;
      for (int row = 0; row < 4; ++row)
        word |= uint32_t{GfMultiply(kRs[row][col], x, kRsPolynomial)} << (8 * row);
      rs_table[col][x] = word;
    }
  }
}

// ---------------------------------------------------------------- key schedule

inline unsigned Q(int lane, int stage, unsigned x) {
  return q_table[kQOrder[lane][stage]][x];
}

// h(): the function of the key schedule. L holds k (2, 3 or 4) words; L[0]
// is applied last.
uint32_t H(uint32_t x, const uint32_t* L, int k) {
  if (k < 2 || k > 4) Twofish_fatal("Twofish h(): Illegal argument");
  uint32_t result = 0;
  for (int lane = 0; lane < 4; ++lane) {
    unsigned y = SelectByte(x, lane);
    if (k == 4) y = Q(lane, 0, y) ^ SelectByte(L[3], lane);
    if (k >= 3) y = Q(lane, 1, y) ^ SelectByte(L[2], lane);
    y = Q(lane, 2, y) ^ SelectByte(L[1], lane);
    y = Q(lane, 3, y) ^ SelectByte(L[0], lane);
    result ^= mds_table[lane][y];
  }
  return result;
}

// Folds the key-dependent part of h() into the four tables of the key. S
// holds the k S-box key words, the one applied last first.
void FillKeyedSboxes(const uint32_t* S, int k, Twofish_key* key) {
  if (k < 2 || k > 4) Twofish_fatal("Twofish fill_keyed_sboxes(): Illegal argument");
  for (int lane = 0; lane < 4; ++lane) {
    const unsigned l0 = SelectByte(S[0], lane), l1 = SelectByte(S[1], lane);
    const unsigned l2 = k >= 3 ? SelectByte(S[2], lane) : 0;
    const unsigned l3 = k == 4 ? SelectByte(S[3], lane) : 0;
    const unsigned char* q0 = q_table[kQOrder[lane][0]];
    const unsigned char* q1 = q_table[kQOrder[lane][1]];
    const unsigned char* q2 = q_table[kQOrder[lane][2]];
    const unsigned char* q3 = q_table[kQOrder[lane][3]];
    const uint32_t* mds = mds_table[lane];
    uint32_t* out = key->s[lane];
    switch (k) {
      case 2:
        for (unsigned x = 0; x < 256; ++x) out[x] = mds[q3[q2[x] ^ l1] ^ l0];
        break;
      case 3:
        for (unsigned x = 0; x < 256; ++x) out[x] = mds[q3[q2[q1[x] ^ l2] ^ l1] ^ l0];
        break;
      default:
        for (unsigned x = 0; x < 256; ++x) out[x] = mds[q3[q2[q1[q0[x] ^ l3] ^ l2] ^ l1] ^ l0];
        break;
    }
  }
}

// One S-box key word: the Reed-Solomon code of eight key bytes.
uint32_t RsWord(const unsigned char* m) {
  uint32_t word = 0;
  for (int col = 0; col < 8; ++col) word ^= rs_table[col][m[col]];
  return word;
}

// ---------------------------------------------------------------- round function

inline uint32_t G0(const Twofish_key* key, uint32_t x) {
  return key->s[0][SelectByte(x, 0)] ^ key->s[1][SelectByte(x, 1)] ^ key->s[2][SelectByte(x, 2)] ^
         key->s[3][SelectByte(x, 3)];
}

// g() of the word rotated left by 8 bits.
inline uint32_t G1(const Twofish_key* key, uint32_t x) {
  return key->s[0][SelectByte(x, 3)] ^ key->s[1][SelectByte(x, 0)] ^ key->s[2][SelectByte(x, 1)] ^
         key->s[3][SelectByte(x, 2)];
}

// The first byte of the encryption of kLanes blocks that start one byte
// apart at window. The lanes' rounds are independent, so the processor works
// on them side by side instead of waiting for one round's lookups at a time.
template <int kLanes>
void FirstBytesOf(const Twofish_key* key, const unsigned char* window, unsigned char* out) {
  const uint32_t* K = key->K;
  uint32_t x0[kLanes], x1[kLanes], x2[kLanes], x3[kLanes];
  for (int l = 0; l < kLanes; ++l) {
    x0[l] = Get32(window + l) ^ K[0];
    x1[l] = Get32(window + l + 4) ^ K[1];
    x2[l] = Get32(window + l + 8) ^ K[2];
    x3[l] = Get32(window + l + 12) ^ K[3];
  }
  for (int r = 0; r < 16; r += 2) {
    for (int l = 0; l < kLanes; ++l) {
      uint32_t t0 = G0(key, x0[l]), t1 = G1(key, x1[l]);
      x2[l] = Ror32(x2[l] ^ (t0 + t1 + K[8 + 2 * r]), 1);
      x3[l] = Rol32(x3[l], 1) ^ (t0 + 2 * t1 + K[9 + 2 * r]);
    }
    for (int l = 0; l < kLanes; ++l) {
      uint32_t t0 = G0(key, x2[l]), t1 = G1(key, x3[l]);
      x0[l] = Ror32(x0[l] ^ (t0 + t1 + K[10 + 2 * r]), 1);
      x1[l] = Rol32(x1[l], 1) ^ (t0 + 2 * t1 + K[11 + 2 * r]);
    }
  }
  // The first output word is x2 after the output whitening.
  for (int l = 0; l < kLanes; ++l) out[l] = static_cast<unsigned char>(x2[l] ^ K[4]);
}

// ---------------------------------------------------------------- self-test

void PlatformTest() {
  static const unsigned char kBytes[4] = {0x01, 0x02, 0x03, 0x04};
  if (Get32(kBytes) != 0x04030201u) Twofish_fatal("Twofish code: GET32 not implemented properly");
  unsigned char stored[4];
  Put32(0x04030201u, stored);
  if (std::memcmp(stored, kBytes, 4) != 0) {
    Twofish_fatal("Twofish code: PUT32 not implemented properly");
  }
  if (Rol32(0x12345678u, 8) != 0x34567812u || Ror32(0x12345678u, 8) != 0x78123456u ||
      Rol32(0x80000001u, 1) != 0x00000003u || Ror32(0x80000001u, 1) != 0xC0000000u) {
    Twofish_fatal("Twofish ROL or ROR not properly defined.");
  }
  if (Bswap32(0x12345678u) != 0x78563412u) Twofish_fatal("BSWAP not properly defined.");
  if (SelectByte(0x12345678u, 0) != 0x78 || SelectByte(0x12345678u, 1) != 0x56 ||
      SelectByte(0x12345678u, 2) != 0x34 || SelectByte(0x12345678u, 3) != 0x12) {
    Twofish_fatal("Twofish code: SELECT_BYTE not implemented properly");
  }
}

struct KnownAnswer {
  int key_length;
  unsigned char key[32];
  unsigned char plain[16];
  unsigned char cipher[16];
};

// One published ECB answer for each key size.
const KnownAnswer kKnownAnswers[3] = {
    {16,
     {0},
     {0},
     {0x9F, 0x58, 0x9F, 0x5C, 0xF6, 0x12, 0x2C, 0x32, 0xB6, 0xBF, 0xEC, 0x2F, 0x2A, 0xE8, 0xC3,
      0x5A}},
    {24,
     {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xFE, 0xDC, 0xBA, 0x98,
      0x76, 0x54, 0x32, 0x10, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77},
     {0},
     {0xCF, 0xD1, 0xD2, 0xE5, 0xA9, 0xBE, 0x9C, 0xDF, 0x50, 0x1F, 0x13, 0xB8, 0x92, 0xBD, 0x22,
      0x48}},
    {32,
     {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xFE, 0xDC, 0xBA,
      0x98, 0x76, 0x54, 0x32, 0x10, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
      0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF},
     {0},
     {0x37, 0x52, 0x7B, 0xE0, 0x05, 0x23, 0x34, 0xB8, 0x9F, 0x0C, 0xFC, 0xCA, 0xE8, 0x7C, 0xFA,
      0x20}},
};

void TestVector(const KnownAnswer& v) {
  Twofish_key key;
  unsigned char block[16];
  Twofish_prepare_key(v.key, v.key_length, &key);
  Twofish_encrypt(&key, v.plain, block);
  if (std::memcmp(block, v.cipher, 16) != 0) Twofish_fatal("Twofish encryption failure");
  Twofish_decrypt(&key, v.cipher, block);
  if (std::memcmp(block, v.plain, 16) != 0) Twofish_fatal("Twofish decryption failure");
}

void TestVectors() {
  // Twice over: a key schedule that kept state between keys would show here.
  for (int round = 0; round < 2; ++round) {
    for (const KnownAnswer& v : kKnownAnswers) TestVector(v);
  }
}

// The 49th ciphertext of the published iterated test for 16, 24 and 32-byte
// keys.
const unsigned char kSequenceResult[3][16] = {
    {0x5D, 0x9D, 0x4E, 0xEF, 0xFA, 0x91, 0x51, 0x57, 0x55, 0x24, 0xF1, 0x15, 0x81, 0x5A, 0x12,
     0xE0},
    {0xE7, 0x54, 0x49, 0x21, 0x2B, 0xEE, 0xF9, 0xF4, 0xA3, 0x90, 0xBD, 0x86, 0x0A, 0x64, 0x09,
     0x41},
    {0x37, 0xFE, 0x26, 0xFF, 0x1C, 0xF6, 0x61, 0x75, 0xF5, 0xDD, 0xF4, 0xC3, 0x3B, 0x97, 0xA2,
     0x05},
};

void TestSequence(int key_length, const unsigned char* final_cipher) {
  // Ciphertexts newest first: bytes 0..15 are the plaintext of the next step
  // and the key_length bytes behind them are its key. All zero at the start.
  unsigned char buf[16 + 32 + 16] = {0};
  Twofish_key key;
  unsigned char back[16];
  for (int step = 0; step < 49; ++step) {
    Twofish_prepare_key(buf + 16, key_length, &key);
    std::memmove(buf + 16, buf, sizeof(buf) - 16);  // the new ciphertext goes in front
    Twofish_encrypt(&key, buf + 16, buf);
    Twofish_decrypt(&key, buf, back);
    if (std::memcmp(back, buf + 16, 16) != 0) {
      Twofish_fatal("Twofish decryption failure in sequence");
    }
  }
  if (std::memcmp(buf, final_cipher, 16) != 0) {
    Twofish_fatal("Twofish encryption failure in sequence");
  }
}

void TestSequences() {
  TestSequence(16, kSequenceResult[0]);
  TestSequence(24, kSequenceResult[1]);
  TestSequence(32, kSequenceResult[2]);
}

int PaddedLength(int length) {
  return length <= 16 ? 16 : (length <= 24 ? 24 : 32);
}

void TestOddSizedKeys() {
  // A 32-byte key of cipher output, shortened one byte at a time. The
  // dropped byte is cleared, so the key as given and the same key padded to
  // its key size must expand identically.
  unsigned char buf[32] = {0};
  Twofish_key as_given, padded;
  Twofish_prepare_key(buf, 16, &as_given);
  Twofish_encrypt(&as_given, buf, buf);
  Twofish_encrypt(&as_given, buf, buf + 16);
  for (int length = 31; length >= 0; --length) {
    buf[length] = 0;
    Twofish_prepare_key(buf, length, &as_given);
    Twofish_prepare_key(buf, PaddedLength(length), &padded);
    if (std::memcmp(&as_given, &padded, sizeof(Twofish_key)) != 0) {
      Twofish_fatal("Odd sized keys do not expand properly");
    }
  }
}

void SelfTest() {
  TestVectors();
  TestSequences();
  TestOddSizedKeys();
}

void InitialiseOnce() {
  PlatformTest();
  BuildTables();
  Twofish_initialised = true;
  SelfTest();
}

}  // namespace

void Twofish_fatal(const char* message) {
  std::fprintf(stderr, "\nTwofish fatal error: %s\nProcess terminated\n", message);
  std::fflush(stderr);
  std::exit(3);
}

void Twofish_initialise() {
  static std::once_flag once;
  std::call_once(once, InitialiseOnce);
}

void Twofish_prepare_key(const unsigned char* key, int length, Twofish_key* out) {
  if (!Twofish_initialised) Twofish_fatal("Twofish implementation was not initialised.");
  if (length < 0 || length > 32) Twofish_fatal("Twofish_prepare_key: illegal key length");

  unsigned char padded[32] = {0};
  if (length > 0) std::memcpy(padded, key, static_cast<size_t>(length));
  const int k = PaddedLength(length) / 8;  // 64-bit key words: 2, 3 or 4

  uint32_t even[4], odd[4], sbox_key[4];
  for (int i = 0; i < k; ++i) {
    even[i] = Get32(padded + 8 * i);
    odd[i] = Get32(padded + 8 * i + 4);
    // The S-box key words are used in reverse order of their key bytes.
    sbox_key[k - 1 - i] = RsWord(padded + 8 * i);
  }

  constexpr uint32_t kRho = 0x01010101u;
  for (int i = 0; i < 20; ++i) {
    uint32_t a = H(2u * i * kRho, even, k);
    uint32_t b = Rol32(H((2u * i + 1u) * kRho, odd, k), 8);
    out->K[2 * i] = a + b;
    out->K[2 * i + 1] = Rol32(a + 2u * b, 9);
  }
  FillKeyedSboxes(sbox_key, k, out);

  SecureZero(padded, sizeof padded);
  SecureZero(even, sizeof even);
  SecureZero(odd, sizeof odd);
  SecureZero(sbox_key, sizeof sbox_key);
}

void Twofish_encrypt(const Twofish_key* key, const unsigned char in[16], unsigned char out[16]) {
  const uint32_t* K = key->K;
  uint32_t x0 = Get32(in) ^ K[0];
  uint32_t x1 = Get32(in + 4) ^ K[1];
  uint32_t x2 = Get32(in + 8) ^ K[2];
  uint32_t x3 = Get32(in + 12) ^ K[3];
  // Two rounds per pass, the halves trading places instead of being swapped.
  for (int r = 0; r < 16; r += 2) {
    uint32_t t0 = G0(key, x0), t1 = G1(key, x1);
    x2 = Ror32(x2 ^ (t0 + t1 + K[8 + 2 * r]), 1);
    x3 = Rol32(x3, 1) ^ (t0 + 2 * t1 + K[9 + 2 * r]);
    t0 = G0(key, x2);
    t1 = G1(key, x3);
    x0 = Ror32(x0 ^ (t0 + t1 + K[10 + 2 * r]), 1);
    x1 = Rol32(x1, 1) ^ (t0 + 2 * t1 + K[11 + 2 * r]);
  }
  Put32(x2 ^ K[4], out);
  Put32(x3 ^ K[5], out + 4);
  Put32(x0 ^ K[6], out + 8);
  Put32(x1 ^ K[7], out + 12);
}

void Twofish_decrypt(const Twofish_key* key, const unsigned char in[16], unsigned char out[16]) {
  const uint32_t* K = key->K;
  uint32_t x2 = Get32(in) ^ K[4];
  uint32_t x3 = Get32(in + 4) ^ K[5];
  uint32_t x0 = Get32(in + 8) ^ K[6];
  uint32_t x1 = Get32(in + 12) ^ K[7];
  for (int r = 14; r >= 0; r -= 2) {
    uint32_t t0 = G0(key, x2), t1 = G1(key, x3);
    x0 = Rol32(x0, 1) ^ (t0 + t1 + K[10 + 2 * r]);
    x1 = Ror32(x1 ^ (t0 + 2 * t1 + K[11 + 2 * r]), 1);
    t0 = G0(key, x0);
    t1 = G1(key, x1);
    x2 = Rol32(x2, 1) ^ (t0 + t1 + K[8 + 2 * r]);
    x3 = Ror32(x3 ^ (t0 + 2 * t1 + K[9 + 2 * r]), 1);
  }
  Put32(x0 ^ K[0], out);
  Put32(x1 ^ K[1], out + 4);
  Put32(x2 ^ K[2], out + 8);
  Put32(x3 ^ K[3], out + 12);
}

void Twofish_first_bytes(const Twofish_key* key, const unsigned char* window, int n,
                         unsigned char* out) {
  int i = 0;
  for (; i + 4 <= n; i += 4) FirstBytesOf<4>(key, window + i, out + i);
  for (; i < n; ++i) FirstBytesOf<1>(key, window + i, out + i);
}
