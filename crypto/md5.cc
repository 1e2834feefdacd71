// MD5 digest.
#include "crypto/md5.h"

#include "base/secure_zero.h"

#include <cstring>

namespace {

// The additive constants: the integer part of 2^32 * |sin(i + 1)|.
constexpr uint32_t kSine[64] = {
    0xD76AA478u, 0xE8C7B756u, 0x242070DBu, 0xC1BDCEEEu, 0xF57C0FAFu, 0x4787C62Au, 0xA8304613u,
    0xFD469501u, 0x698098D8u, 0x8B44F7AFu, 0xFFFF5BB1u, 0x895CD7BEu, 0x6B901122u, 0xFD987193u,
    0xA679438Eu, 0x49B40821u, 0xF61E2562u, 0xC040B340u, 0x265E5A51u, 0xE9B6C7AAu, 0xD62F105Du,
    0x02441453u, 0xD8A1E681u, 0xE7D3FBC8u, 0x21E1CDE6u, 0xC33707D6u, 0xF4D50D87u, 0x455A14EDu,
    0xA9E3E905u, 0xFCEFA3F8u, 0x676F02D9u, 0x8D2A4C8Au, 0xFFFA3942u, 0x8771F681u, 0x6D9D6122u,
    0xFDE5380Cu, 0xA4BEEA44u, 0x4BDECFA9u, 0xF6BB4B60u, 0xBEBFBC70u, 0x289B7EC6u, 0xEAA127FAu,
    0xD4EF3085u, 0x04881D05u, 0xD9D4D039u, 0xE6DB99E5u, 0x1FA27CF8u, 0xC4AC5665u, 0xF4292244u,
    0x432AFF97u, 0xAB9423A7u, 0xFC93A039u, 0x655B59C3u, 0x8F0CCC92u, 0xFFEFF47Du, 0x85845DD1u,
    0x6FA87E4Fu, 0xFE2CE6E0u, 0xA3014314u, 0x4E0811A1u, 0xF7537E82u, 0xBD3AF235u, 0x2AD7D2BBu,
    0xEB86D391u,
};

// Left-rotate amounts, four per round.
constexpr int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

inline uint32_t Rol(uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

void Transform(uint32_t state[4], const unsigned char block[64]) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) {
    const unsigned char* p = block + 4 * i;
    x[i] = uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
  }
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (int i = 0; i < 64; ++i) {
    const int round = i / 16;
    uint32_t f;
    int g;
    switch (round) {
      case 0:
        f = (b & c) | (~b & d);
        g = i;
        break;
      case 1:
        f = (d & b) | (~d & c);
        g = (5 * i + 1) & 15;
        break;
      case 2:
        f = b ^ c ^ d;
        g = (3 * i + 5) & 15;
        break;
      default:
        f = c ^ (b | ~d);
        g = (7 * i) & 15;
        break;
    }
    uint32_t t = d;
    d = c;
    c = b;
    b = b + Rol(a + f + kSine[i] + x[g], kShift[round][i & 3]);
    a = t;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

void MD5Open(MD5* ctx) {
  ctx->state[0] = 0x67452301u;
  ctx->state[1] = 0xEFCDAB89u;
  ctx->state[2] = 0x98BADCFEu;
  ctx->state[3] = 0x10325476u;
  ctx->count[0] = ctx->count[1] = 0;
  std::memset(ctx->buffer, 0, sizeof(ctx->buffer));
}

void MD5Digest(MD5* ctx, const void* data, unsigned int n) {
  if (data == nullptr || n == 0) return;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  unsigned int index = (ctx->count[0] >> 3) & 63u;

  uint32_t added = n << 3;
  ctx->count[0] += added;
  if (ctx->count[0] < added) ++ctx->count[1];
  ctx->count[1] += n >> 29;

  while (n > 0) {
    unsigned int take = 64 - index;
    if (take > n) take = n;
    std::memcpy(ctx->buffer + index, p, take);
    index += take;
    p += take;
    n -= take;
    if (index == 64) {
      Transform(ctx->state, ctx->buffer);
      index = 0;
    }
  }
}

void MD5Close(MD5* ctx, unsigned char* out) {
  unsigned char length[8];
  for (int i = 0; i < 4; ++i) {
    length[i] = static_cast<unsigned char>(ctx->count[0] >> (8 * i));
    length[4 + i] = static_cast<unsigned char>(ctx->count[1] >> (8 * i));
  }
  // 0x80, then zeros up to 56 bytes modulo 64, then the 64-bit bit count.
  static const unsigned char kPadding[64] = {0x80};
  unsigned int index = (ctx->count[0] >> 3) & 63u;
  unsigned int pad = index < 56 ? 56 - index : 120 - index;
  MD5Digest(ctx, kPadding, pad);
  MD5Digest(ctx, length, 8);

  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j)
      out[4 * i + j] = static_cast<unsigned char>(ctx->state[i] >> (8 * j));
  }
  // The context held password-derived material: wipe it so that it is not
  // left behind in memory.
  SecureZero(ctx, sizeof *ctx);
}
