// Bulk CRC-32 for whole files: the register of TCRC32 (reflected, polynomial
// 0xEDB88320, no final inversion) advanced over many bytes at once.
//
// Crc32Update(reg, data, n) returns exactly what TCRC32 holds after InitCRC
// is replaced by reg and UpdateCRC is called byte by byte over data. Large
// blocks are folded with carry-less multiplication where the processor has
// it, otherwise with eight table lookups per eight bytes; short blocks and
// tails go byte by byte.
//
// Thread safety: pure; the tables are built once, thread-safely.
#ifndef ORV_CRYPTO_CRC32_FAST_H_
#define ORV_CRYPTO_CRC32_FAST_H_

#include <cstddef>
#include <cstdint>

uint32_t Crc32Update(uint32_t reg, const void* data, size_t n);

// The portable forms, for tests and for processors without the fast path.
uint32_t Crc32UpdateBytewise(uint32_t reg, const void* data, size_t n);
uint32_t Crc32UpdateSliced(uint32_t reg, const void* data, size_t n);
// True when Crc32Update uses carry-less multiplication on this processor.
bool Crc32HasFolding();

#endif  // ORV_CRYPTO_CRC32_FAST_H_
