// CRC-32 and SHA-1.
#include "crypto/ciplib.h"

#include "base/secure_zero.h"

#include <cstring>

namespace {

// The reflected CRC-32 table for polynomial 0xEDB88320, built on first use.
// A function-local static is initialised exactly once even when several
// threads reach it together, so every TCRC32 shares one read-only table.
struct CrcTable {
  uint32_t entry[256];
  CrcTable() {
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int bit = 0; bit < 8; ++bit) c = (c & 1u) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
      entry[n] = c;
    }
  }
};

const uint32_t* SharedCrcTable() {
  static const CrcTable table;
  return table.entry;
}

inline uint32_t Rol(uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

inline uint32_t LoadBigEndian(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

inline void StoreBigEndian(uint32_t v, unsigned char* p) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

}  // namespace

// ---------------------------------------------------------------- TCRC32

TCRC32::TCRC32() : table_(SharedCrcTable()), crc_(0xFFFFFFFFu) {}

void TCRC32::UpdateCRC(unsigned char b) {
  crc_ = table_[(crc_ ^ b) & 0xFFu] ^ (crc_ >> 8);
}

void TCRC32::UpdateCRC(const char* data, int n) {
  if (data == nullptr) return;
  size_t count = n == -1 ? std::strlen(data) : (n < 0 ? 0 : static_cast<size_t>(n));
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
  uint32_t crc = crc_;
  for (size_t i = 0; i < count; ++i) crc = table_[(crc ^ p[i]) & 0xFFu] ^ (crc >> 8);
  crc_ = crc;
}

uint32_t TCRC32::GetBlockCRC(const char* data, int n) {
  InitCRC();
  UpdateCRC(data, n);
  return GetCRC();
}

// ---------------------------------------------------------------- THash_SHA

THash_SHA::THash_SHA() {
  hash_size_ = 20;
  Init();
}

THash_SHA::~THash_SHA() {
  Burn();
}

void THash_SHA::Burn() {
  // Key-derived material: the wipe must survive the object's death.
  SecureZero(buffer_, sizeof buffer_);
  SecureZero(out_, sizeof out_);
  SecureZero(digest_, sizeof digest_);
  count_hi_ = count_lo_ = 0;
  index_ = 0;
  initialized_ = 0;
}

void THash_SHA::Init() {
  Burn();
  digest_[0] = 0x67452301u;
  digest_[1] = 0xEFCDAB89u;
  digest_[2] = 0x98BADCFEu;
  digest_[3] = 0x10325476u;
  digest_[4] = 0xC3D2E1F0u;
  initialized_ = 1;
}

void THash_SHA::Compress() {
  uint32_t w[80];
  for (int i = 0; i < 16; ++i) w[i] = LoadBigEndian(buffer_ + 4 * i);
  for (int i = 16; i < 80; ++i) w[i] = Rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);

  uint32_t a = digest_[0], b = digest_[1], c = digest_[2], d = digest_[3], e = digest_[4];
  for (int i = 0; i < 80; ++i) {
    uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999u;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1u;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDCu;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6u;
    }
    uint32_t t = Rol(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = Rol(b, 30);
    b = a;
    a = t;
  }
  digest_[0] += a;
  digest_[1] += b;
  digest_[2] += c;
  digest_[3] += d;
  digest_[4] += e;
}

void THash_SHA::Update(const char* data, long n) {
  if (!initialized_) Init();
  if (data == nullptr || n <= 0) return;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
  uint64_t bits = static_cast<uint64_t>(n) * 8u;
  uint32_t old_lo = count_lo_;
  count_lo_ += static_cast<uint32_t>(bits);
  count_hi_ += static_cast<uint32_t>(bits >> 32) + (count_lo_ < old_lo ? 1u : 0u);

  size_t left = static_cast<size_t>(n);
  while (left > 0) {
    size_t take = 64 - index_;
    if (take > left) take = left;
    std::memcpy(buffer_ + index_, p, take);
    index_ += static_cast<uint32_t>(take);
    p += take;
    left -= take;
    if (index_ == 64) {
      Compress();
      index_ = 0;
    }
  }
}

void THash_SHA::Final() {
  // Closing a computation that is not open leaves the object as it is, so
  // the digest of the last computation stays readable.
  if (!initialized_) return;
  buffer_[index_++] = 0x80;
  if (index_ > 56) {
    std::memset(buffer_ + index_, 0, 64 - index_);
    Compress();
    index_ = 0;
  }
  std::memset(buffer_ + index_, 0, 56 - index_);
  StoreBigEndian(count_hi_, buffer_ + 56);
  StoreBigEndian(count_lo_, buffer_ + 60);
  Compress();
  for (int i = 0; i < 5; ++i) StoreBigEndian(digest_[i], out_ + 4 * i);
  // The digest words hold the digest bytes in their published order.
  std::memcpy(digest_, out_, sizeof(out_));
  std::memset(buffer_, 0, sizeof(buffer_));
  index_ = 0;
  initialized_ = 0;
}

const unsigned char* THash_SHA::GetHash(const char* data, long n) {
  if (data != nullptr) {
    Init();
    Update(data, n);
    Final();
  } else if (initialized_) {
    // Asked for the digest while data is still being fed: close the
    // computation so that the bytes returned are a real digest of what was
    // fed, never the half-way state words.
    Final();
  }
  return out_;
}
