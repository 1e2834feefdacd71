// The wire format: request and reply packet layouts, the byte cipher that
// protects the texts inside them, and the password proof.
//
// Request packet (little-endian length fields):
//   L(4) = bytes after this field | 0x03 0x12 | P(2) | MD5(password) (P bytes,
//   0 for an empty password) | K(2) | session key encrypted under the
//   password (K bytes) | R(4) | request text encrypted under the session key
// Reply packet: N(4) | reply text encrypted under the session key.
//
// The byte cipher is Twofish in 8-bit cipher feedback: the key is the SHA-1
// digest of the key text (20 bytes, zero-padded by the key schedule), the
// feedback register starts as the encryption of sixteen 0xFF bytes, and each
// byte is XORed with the first byte of the encrypted register, which then
// shifts one byte and takes in the ciphertext byte. Every text starts afresh.
//
// Thread safety: all functions are pure; a TPacketKey is immutable after
// construction and may be shared by any number of threads.
#ifndef ORV_PROTOCOL_PACKET_H_
#define ORV_PROTOCOL_PACKET_H_

#include "base/bytestring.h"
#include "crypto/twofish.h"

// Positions are 1-based and count the fixed fields only; readers add P and K.
extern const int OFFSET_PACKET;    // 1
extern const int SIZELEN_PACKET;   // 4
extern const int SIZELEN_AUTH;     // 2
extern const int SIZELEN_PSWD;     // 2
extern const int SIZELEN_KEY;      // 2
extern const int SIZELEN_REQUEST;  // 4
extern const int OFFSET_AUTH;      // 5
extern const int OFFSET_PSWD;      // 7
extern const int OFFSET_KEY;       // 9
extern const int OFFSET_REQUEST;   // 11
extern const int SIZELEN_MINIMUM;  // 14

// The signature bytes that follow the packet length.
constexpr unsigned char kPacketSignature[2] = {0x03, 0x12};

// A key text prepared once for the byte cipher: the key schedule and the
// starting feedback register.
class TPacketKey {
 public:
  explicit TPacketKey(const String& keytext);
  ~TPacketKey();  // wipes the key schedule
  TPacketKey(const TPacketKey&) = default;
  TPacketKey& operator=(const TPacketKey&) = default;
  // Encrypts or decrypts data (no length prefix); the result has the same
  // length. Empty data gives an empty result.
  String Encrypt(const String& data) const;
  String Decrypt(const String& data) const;
  void Encrypt(const char* in, int n, char* out) const;
  void Decrypt(const char* in, int n, char* out) const;

 private:
  template <bool kDecrypt>
  void Run(const char* in, int n, char* out) const;

  Twofish_key key_;
  unsigned char start_[16];
};

// The `digits` low-order bytes of data's length, least significant first.
String EncodeLength(const String& data, int digits);
// An unsigned little-endian number of 1, 2 or 4 bytes; other widths give 0.
int DecodeLength(const char* field, int digits);
// data encrypted under the key text, prefixed with its length in `digits`
// bytes when digits is not 0. Empty data gives an empty result, no prefix.
String EncodeData(const String& data, const String& key, int digits);
String EncodeData(const String& data, const TPacketKey& key, int digits);
// The same in the text's own buffer: text becomes EncodeData(text, key, digits).
void EncodeInPlace(String& text, const TPacketKey& key, int digits);
// data decrypted under the key text; no integrity check.
String DecodeData(const String& data, const String& key);
String DecodeData(const String& data, const TPacketKey& key);
// The 16 raw bytes of the MD5 digest of the password; empty for an empty one.
String EncodePswd(const String& password);

// What a server needs to authenticate itself: the password proof and the
// password prepared as a cipher key. Built once per settings load.
struct TPasswordCredential {
  explicit TPasswordCredential(const String& password)
      : Password(password), Proof(EncodePswd(password)), Key(password) {
    Password.MarkSecret();
    Proof.MarkSecret();
  }
  String Password;
  String Proof;
  TPacketKey Key;
};

// Builds a whole request packet (the client side of the exchange).
String BuildRequestPacket(const String& password, const String& sessionkey,
                          const String& requesttext);

#endif  // ORV_PROTOCOL_PACKET_H_
