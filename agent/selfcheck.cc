#include "agent/selfcheck.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "base/paths.h"
#include "crypto/ciplib.h"
#include "crypto/twofish.h"
#include "protocol/packet.h"

namespace {

// Fifteen digits and their terminating zero fill exactly one cipher block.
const char kTestBlock[16] = "314159265358979";
// Two lower-case words, fourteen characters.
const char kKeyPhrase[] = "orvane checker";

bool BlockCipherWorks() {
  Twofish_initialise();
  THash_SHA sha;
  const unsigned char* digest = sha.GetHash(kKeyPhrase, static_cast<long>(strlen(kKeyPhrase)));
  Twofish_key key;
  Twofish_prepare_key(digest, sha.GetHashSize(), &key);
  unsigned char cipher[16];
  unsigned char plain[16];
  Twofish_encrypt(&key, reinterpret_cast<const unsigned char*>(kTestBlock), cipher);
  Twofish_decrypt(&key, cipher, plain);
  return memcmp(plain, kTestBlock, 16) == 0;
}

bool PacketEncoderWorks() {
  String plain;
  plain.CopyData(kTestBlock, 15);
  String key(kKeyPhrase);
  return DecodeData(EncodeData(plain, key, 0), key) == plain;
}

bool Report(bool ok) {
  puts(ok ? "Ok" : "Error");
  fflush(stdout);
  return ok;
}

}  // namespace

bool RunSelfChecks(bool debug) {
  puts("CPU testing .. Ok");
  if (debug) {
    struct stat st;
    TSearchRec rec;
    printf("stat.size: %d\n", static_cast<int>(sizeof st.st_size));
    printf("srec.size: %d\n", static_cast<int>(sizeof rec.Size));
    puts("int64 = long long");
  }
  printf("Basic encyption checking .. ");
  if (!Report(BlockCipherWorks())) return false;
  printf("ORV encyption checking .. ");
  return Report(PacketEncoderWorks());
}
