// Costs of the cipher and digests on the request path: one Twofish block per
// 16 bytes of packet text, one key preparation and one SHA-1 of the key text
// per request, one MD5 of the password digest per request, and CRC-32 over
// file contents for the checksum test.
#include <benchmark/benchmark.h>

#include <string>

#include "crypto/ciplib.h"
#include "crypto/md5.h"
#include "crypto/twofish.h"

namespace {

void BM_TwofishEncryptBlock(benchmark::State& state) {
  Twofish_initialise();
  const unsigned char key_bytes[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  Twofish_key key;
  Twofish_prepare_key(key_bytes, 16, &key);
  unsigned char block[16] = {0};
  for (auto _ : state) {
    Twofish_encrypt(&key, block, block);  // chained, so no iteration can be skipped
    benchmark::DoNotOptimize(block);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 16);
}
BENCHMARK(BM_TwofishEncryptBlock);

void BM_TwofishPrepareKey(benchmark::State& state) {
  Twofish_initialise();
  unsigned char key_bytes[20] = {0};
  Twofish_key key;
  for (auto _ : state) {
    ++key_bytes[0];
    Twofish_prepare_key(key_bytes, 20, &key);
    benchmark::DoNotOptimize(key.K[0]);
  }
}
BENCHMARK(BM_TwofishPrepareKey);

void BM_Sha1_20bytes(benchmark::State& state) {
  THash_SHA sha;
  char data[20] = "session key text...";
  for (auto _ : state) {
    const unsigned char* digest = sha.GetHash(data, 20);
    benchmark::DoNotOptimize(digest[0]);
    ++data[0];
  }
}
BENCHMARK(BM_Sha1_20bytes);

void BM_Md5_16bytes(benchmark::State& state) {
  unsigned char data[16] = {0};
  unsigned char out[16];
  for (auto _ : state) {
    MD5 ctx;
    MD5Open(&ctx);
    MD5Digest(&ctx, data, 16);
    MD5Close(&ctx, out);
    benchmark::DoNotOptimize(out[0]);
    ++data[0];
  }
}
BENCHMARK(BM_Md5_16bytes);

void BM_Crc32_1MiB(benchmark::State& state) {
  const std::string data(1 << 20, 'c');
  TCRC32 crc;
  for (auto _ : state) {
    benchmark::DoNotOptimize(crc.GetBlockCRC(data.data(), static_cast<int>(data.size())));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_Crc32_1MiB);

}  // namespace
