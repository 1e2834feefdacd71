#include "protocol/packet.h"

#include <cstring>

#include "base/secure_zero.h"
#include "crypto/ciplib.h"
#include "crypto/md5.h"

const int OFFSET_PACKET = 1;
const int SIZELEN_PACKET = 4;
const int SIZELEN_AUTH = 2;
const int SIZELEN_PSWD = 2;
const int SIZELEN_KEY = 2;
const int SIZELEN_REQUEST = 4;
const int OFFSET_AUTH = OFFSET_PACKET + SIZELEN_PACKET;
const int OFFSET_PSWD = OFFSET_AUTH + SIZELEN_AUTH;
const int OFFSET_KEY = OFFSET_PSWD + SIZELEN_PSWD;
const int OFFSET_REQUEST = OFFSET_KEY + SIZELEN_KEY;
const int SIZELEN_MINIMUM = SIZELEN_PSWD + 4 + SIZELEN_KEY + SIZELEN_REQUEST + SIZELEN_AUTH;

TPacketKey::TPacketKey(const String& keytext) {
  THash_SHA sha;
  const unsigned char* digest = sha.GetHash(keytext.Data(), keytext.Length());
  Twofish_prepare_key(digest, sha.GetHashSize(), &key_);
  unsigned char ones[16];
  std::memset(ones, 0xFF, sizeof ones);
  Twofish_encrypt(&key_, ones, start_);
}

TPacketKey::~TPacketKey() {
  SecureZero(&key_, sizeof key_);
  SecureZero(start_, sizeof start_);
}

template <bool kDecrypt>
void TPacketKey::Run(const char* in, int n, char* out) const {
  // The register for byte i is the 16 bytes before it in the run of the
  // starting register and the ciphertext; a window over that run replaces
  // shifting a register byte by byte. Decryption knows the whole ciphertext
  // ahead and takes a chunk's key stream at once; encryption needs each
  // ciphertext byte before the next one.
  constexpr int kChunk = 256;
  unsigned char window[16 + kChunk];
  unsigned char stream[kChunk];
  unsigned char block[16];
  std::memcpy(window, start_, 16);
  const unsigned char* src = reinterpret_cast<const unsigned char*>(in);
  unsigned char* dst = reinterpret_cast<unsigned char*>(out);
  for (int done = 0; done < n;) {
    const int len = n - done < kChunk ? n - done : kChunk;
    if (kDecrypt) {
      std::memcpy(window + 16, src + done, static_cast<size_t>(len));
      Twofish_first_bytes(&key_, window, len, stream);
      for (int i = 0; i < len; ++i) dst[done + i] = window[16 + i] ^ stream[i];
    } else {
      for (int i = 0; i < len; ++i) {
        Twofish_encrypt(&key_, window + i, block);
        window[16 + i] = src[done + i] ^ block[0];
        dst[done + i] = window[16 + i];
      }
    }
    std::memmove(window, window + len, 16);
    done += len;
  }
  const int used = n < kChunk ? n : kChunk;
  SecureZero(window, static_cast<size_t>(16 + used));
  SecureZero(stream, static_cast<size_t>(used));
  SecureZero(block, sizeof block);
}

void TPacketKey::Encrypt(const char* in, int n, char* out) const { Run<false>(in, n, out); }
void TPacketKey::Decrypt(const char* in, int n, char* out) const { Run<true>(in, n, out); }

String TPacketKey::Encrypt(const String& data) const {
  String out;
  out.SetLength(data.Length());
  Encrypt(data.Data(), data.Length(), out.Data());
  return out;
}

String TPacketKey::Decrypt(const String& data) const {
  String out;
  out.MarkSecret();
  out.SetLength(data.Length());
  Decrypt(data.Data(), data.Length(), out.Data());
  return out;
}

namespace {

// Writes the `digits` low-order bytes of n at out, least significant first.
void PutLength(uint32_t n, int digits, char* out) {
  for (int i = 0; i < digits; ++i) out[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
}

}  // namespace

String EncodeLength(const String& data, int digits) {
  if (digits > 4) digits = 4;
  if (digits <= 0) return String();
  String out;
  out.SetLength(digits);
  PutLength(static_cast<uint32_t>(data.Length()), digits, out.Data());
  return out;
}

int DecodeLength(const char* field, int digits) {
  if (field == nullptr || (digits != 1 && digits != 2 && digits != 4)) return 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(field);
  uint32_t n = 0;
  for (int i = digits - 1; i >= 0; --i) n = (n << 8) | p[i];
  return static_cast<int>(n);
}

String EncodeData(const String& data, const TPacketKey& key, int digits) {
  String out = data;
  EncodeInPlace(out, key, digits);
  return out;
}

void EncodeInPlace(String& text, const TPacketKey& key, int digits) {
  const int n = text.Length();
  if (n == 0) return;
  if (digits > 4) digits = 4;
  if (digits < 0) digits = 0;
  // The text's own buffer grows by the size field and is encrypted where it
  // stands: a reply of megabytes is never held twice.
  text.SetLength(digits + n);
  char* p = text.Data();
  std::memmove(p + digits, p, static_cast<size_t>(n));
  PutLength(static_cast<uint32_t>(n), digits, p);
  key.Encrypt(p + digits, n, p + digits);
}

String EncodeData(const String& data, const String& key, int digits) {
  if (data.Length() == 0) return String();
  return EncodeData(data, TPacketKey(key), digits);
}

String DecodeData(const String& data, const TPacketKey& key) { return key.Decrypt(data); }

String DecodeData(const String& data, const String& key) {
  if (data.Length() == 0) return String();
  return TPacketKey(key).Decrypt(data);
}

String EncodePswd(const String& password) {
  String out;
  if (password.Length() == 0) return out;
  MD5 ctx;
  unsigned char digest[16];
  MD5Open(&ctx);
  MD5Digest(&ctx, password.Data(), static_cast<unsigned int>(password.Length()));
  MD5Close(&ctx, digest);
  out.MarkSecret();  // as good as the password for a stranger
  out.CopyData(reinterpret_cast<const char*>(digest), 16);
  SecureZero(digest, sizeof digest);
  return out;
}

String BuildRequestPacket(const String& password, const String& sessionkey,
                          const String& requesttext) {
  String proof = EncodePswd(password);
  String key = EncodeData(sessionkey, password, 0);
  String text = EncodeData(requesttext, sessionkey, 0);
  String body;
  body.AddData(reinterpret_cast<const char*>(kPacketSignature), 2);
  body += EncodeLength(proof, SIZELEN_PSWD) + proof;
  body += EncodeLength(key, SIZELEN_KEY) + key;
  body += EncodeLength(text, SIZELEN_REQUEST) + text;
  return EncodeLength(body, SIZELEN_PACKET) + body;
}
