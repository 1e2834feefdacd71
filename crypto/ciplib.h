// CRC-32 (reflected, polynomial 0xEDB88320) and SHA-1 digests.
//
// TCRC32 keeps its register without a final inversion: GetCRC() of the nine
// bytes "123456789" is 0x340BC6D9, the complement of the published 0xCBF43926.
// THash_SHA is SHA-1 as published; GetHash() with data starts afresh on every
// call and returns a pointer to the 20 digest bytes held in the object.
//
// Thread safety: the CRC table is built once, thread-safely; an object
// belongs to one thread at a time.
#ifndef ORV_CRYPTO_CIPLIB_H_
#define ORV_CRYPTO_CIPLIB_H_

#include <cstdint>

class TCRC32 {
 public:
  TCRC32();
  void InitCRC() { crc_ = 0xFFFFFFFFu; }
  void UpdateCRC(unsigned char b);
  // n = -1 means strlen(data); a null pointer adds nothing.
  void UpdateCRC(const char* data, int n);
  uint32_t GetCRC() const { return crc_; }
  uint32_t GetBlockCRC(const char* data, int n);

 private:
  const uint32_t* table_;
  uint32_t crc_;
};

class THash_SHA {
 public:
  THash_SHA();
  ~THash_SHA();
  THash_SHA(const THash_SHA&) = delete;
  THash_SHA& operator=(const THash_SHA&) = delete;

  void Init();
  void Update(const char* data, long n);
  void Final();
  // With data: Init, Update(data, n), Final, then the 20 digest bytes. With
  // null data: the digest of the previous computation.
  const unsigned char* GetHash(const char* data, long n);
  int GetHashSize() const { return 20; }
  void Burn();

 private:
  void Compress();

  uint32_t initialized_ = 0;
  int32_t hash_size_ = 20;
  uint32_t count_hi_ = 0, count_lo_ = 0;  // bit count
  uint32_t index_ = 0;                    // bytes waiting in buffer_
  uint32_t digest_[5] = {};
  unsigned char buffer_[64] = {};
  unsigned char out_[20] = {};
};

#endif  // ORV_CRYPTO_CIPLIB_H_
