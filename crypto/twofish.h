// The Twofish block cipher: 128-bit blocks, keys of 0 to 32 bytes (zero-padded
// to 128, 192 or 256 bits), with its start-up self-test.
//
// Twofish_initialise() must run once, before any key is prepared; it builds
// the fixed tables and runs the self-test (known answers, the iterated
// sequences and the odd-sized-key check). Any failed check, or a misuse such
// as an illegal key length, calls Twofish_fatal(), which prints
// "\nTwofish fatal error: %s\nProcess terminated\n" to standard error and ends
// the process with exit status 3.
//
// Thread safety: after Twofish_initialise() the tables are read-only; a
// prepared key may be used by any number of threads at once.
#ifndef ORV_CRYPTO_TWOFISH_H_
#define ORV_CRYPTO_TWOFISH_H_

#include <atomic>
#include <cstdint>

struct Twofish_key {
  uint32_t s[4][256];  // key-dependent S-boxes combined with the MDS matrix
  uint32_t K[40];      // whitening and round sub-keys
};

// Set once the tables are built. Atomic so that a thread that sees it set
// also sees the tables, whichever thread built them.
extern std::atomic<bool> Twofish_initialised;

void Twofish_initialise();
void Twofish_prepare_key(const unsigned char* key, int length, Twofish_key* out);
void Twofish_encrypt(const Twofish_key* key, const unsigned char in[16], unsigned char out[16]);
void Twofish_decrypt(const Twofish_key* key, const unsigned char in[16], unsigned char out[16]);
// out[i] = the first byte of the encryption of the 16 bytes at window + i,
// for i in 0..n-1 (window holds n + 15 bytes): the key stream of 8-bit
// cipher feedback. Several blocks are worked on at once, so this is faster
// per byte than Twofish_encrypt when the blocks are known in advance.
void Twofish_first_bytes(const Twofish_key* key, const unsigned char* window, int n,
                         unsigned char* out);
[[noreturn]] void Twofish_fatal(const char* message);

#endif  // ORV_CRYPTO_TWOFISH_H_
