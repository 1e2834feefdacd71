#include "crypto/crc32_fast.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define ORV_CRC_FOLDING 1
#endif

namespace {

// table[0] is the byte-at-a-time table; table[k][b] is the register change
// of byte b followed by k zero bytes, so eight bytes are eight lookups.
struct SlicedTables {
  uint32_t t[8][256];
  SlicedTables() {
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int bit = 0; bit < 8; ++bit) c = (c & 1u) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
      t[0][n] = c;
    }
    for (uint32_t n = 0; n < 256; ++n) {
      for (int k = 1; k < 8; ++k) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFFu];
    }
  }
};

const SlicedTables& Tables() {
  static const SlicedTables tables;
  return tables;
}

#ifdef ORV_CRC_FOLDING

// Folding constants of the reflected polynomial: powers of x modulo P for
// shifting 128-bit lanes by 512 and by 128 bits, the 64-to-32-bit step, and
// the polynomial with its Barrett quotient (bit-reflected, with the x^32
// term kept as bit 32).
alignas(16) const uint64_t kFold512[2] = {0x0154442bd4ull, 0x01c6e41596ull};
alignas(16) const uint64_t kFold128[2] = {0x01751997d0ull, 0x00ccaa009eull};
alignas(16) const uint64_t kFold64[2] = {0x0163cd6124ull, 0};
alignas(16) const uint64_t kBarrett[2] = {0x01db710641ull, 0x01f7011641ull};

// acc moved 128 bits ahead, plus next.
__attribute__((target("pclmul,sse4.1"))) inline __m128i Fold128(__m128i acc, __m128i next,
                                                                __m128i k) {
  __m128i lo = _mm_clmulepi64_si128(acc, k, 0x00);
  __m128i hi = _mm_clmulepi64_si128(acc, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(hi, next), lo);
}

// n is a multiple of 16 and at least 64.
__attribute__((target("pclmul,sse4.1"))) uint32_t FoldBlocks(uint32_t reg, const unsigned char* p,
                                                             size_t n) {
  __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x00));
  __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x10));
  __m128i x3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x20));
  __m128i x4 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x30));
  x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(static_cast<int>(reg)));
  __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(kFold512));
  p += 64;
  n -= 64;

  // Four independent lanes, each moved 512 bits ahead per round.
  while (n >= 64) {
    __m128i l1 = _mm_clmulepi64_si128(x1, k, 0x00);
    __m128i l2 = _mm_clmulepi64_si128(x2, k, 0x00);
    __m128i l3 = _mm_clmulepi64_si128(x3, k, 0x00);
    __m128i l4 = _mm_clmulepi64_si128(x4, k, 0x00);
    x1 = _mm_clmulepi64_si128(x1, k, 0x11);
    x2 = _mm_clmulepi64_si128(x2, k, 0x11);
    x3 = _mm_clmulepi64_si128(x3, k, 0x11);
    x4 = _mm_clmulepi64_si128(x4, k, 0x11);
    x1 = _mm_xor_si128(_mm_xor_si128(x1, l1),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x00)));
    x2 = _mm_xor_si128(_mm_xor_si128(x2, l2),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x10)));
    x3 = _mm_xor_si128(_mm_xor_si128(x3, l3),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x20)));
    x4 = _mm_xor_si128(_mm_xor_si128(x4, l4),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x30)));
    p += 64;
    n -= 64;
  }

  // The four lanes into one, then any remaining 16-byte blocks.
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(kFold128));
  x1 = Fold128(x1, x2, k);
  x1 = Fold128(x1, x3, k);
  x1 = Fold128(x1, x4, k);
  while (n >= 16) {
    x1 = Fold128(x1, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), k);
    p += 16;
    n -= 16;
  }

  // 128 bits to 64, then to 32 with a Barrett reduction.
  const __m128i mask32 = _mm_setr_epi32(~0, 0, ~0, 0);
  x2 = _mm_clmulepi64_si128(x1, k, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
  k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kFold64));
  x2 = _mm_srli_si128(x1, 4);
  x1 = _mm_and_si128(x1, mask32);
  x1 = _mm_clmulepi64_si128(x1, k, 0x00);
  x1 = _mm_xor_si128(x1, x2);

  k = _mm_load_si128(reinterpret_cast<const __m128i*>(kBarrett));
  x2 = _mm_and_si128(x1, mask32);
  x2 = _mm_clmulepi64_si128(x2, k, 0x10);
  x2 = _mm_and_si128(x2, mask32);
  x2 = _mm_clmulepi64_si128(x2, k, 0x00);
  x1 = _mm_xor_si128(x1, x2);
  return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}

bool DetectFolding() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}

#endif  // ORV_CRC_FOLDING

}  // namespace

uint32_t Crc32UpdateBytewise(uint32_t reg, const void* data, size_t n) {
  const uint32_t* t0 = Tables().t[0];
  const unsigned char* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < n; ++i) reg = t0[(reg ^ p[i]) & 0xFFu] ^ (reg >> 8);
  return reg;
}

uint32_t Crc32UpdateSliced(uint32_t reg, const void* data, size_t n) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  const SlicedTables& tb = Tables();
  const unsigned char* p = static_cast<const unsigned char*>(data);
  while (n >= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    const uint32_t lo = static_cast<uint32_t>(word) ^ reg;
    const uint32_t hi = static_cast<uint32_t>(word >> 32);
    reg = tb.t[7][lo & 0xFFu] ^ tb.t[6][(lo >> 8) & 0xFFu] ^ tb.t[5][(lo >> 16) & 0xFFu] ^
          tb.t[4][lo >> 24] ^ tb.t[3][hi & 0xFFu] ^ tb.t[2][(hi >> 8) & 0xFFu] ^
          tb.t[1][(hi >> 16) & 0xFFu] ^ tb.t[0][hi >> 24];
    p += 8;
    n -= 8;
  }
  return Crc32UpdateBytewise(reg, p, n);
#else
  return Crc32UpdateBytewise(reg, data, n);
#endif
}

bool Crc32HasFolding() {
#ifdef ORV_CRC_FOLDING
  static const bool has = DetectFolding();
  return has;
#else
  return false;
#endif
}

uint32_t Crc32Update(uint32_t reg, const void* data, size_t n) {
  if (data == nullptr || n == 0) return reg;
#ifdef ORV_CRC_FOLDING
  if (n >= 64 && Crc32HasFolding()) {
    const size_t bulk = n & ~static_cast<size_t>(15);
    reg = FoldBlocks(reg, static_cast<const unsigned char*>(data), bulk);
    return Crc32UpdateBytewise(reg, static_cast<const unsigned char*>(data) + bulk, n - bulk);
  }
#endif
  return Crc32UpdateSliced(reg, data, n);
}
