// MD5 digest (RFC 1321), used for the password proof of every request and for
// the checksum of an upgrade module.
//
// Thread safety: a context belongs to one thread at a time.
#ifndef ORV_CRYPTO_MD5_H_
#define ORV_CRYPTO_MD5_H_

#include <cstdint>

struct MD5 {
  uint32_t state[4];
  uint32_t count[2];  // bit count, low word first
  unsigned char buffer[64];
};

void MD5Open(MD5* ctx);
void MD5Digest(MD5* ctx, const void* data, unsigned int n);
// Pads, writes the 16 digest bytes to out and zeroes the whole context.
void MD5Close(MD5* ctx, unsigned char* out);

#endif  // ORV_CRYPTO_MD5_H_
