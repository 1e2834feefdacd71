// VQRequest: one request as received. Its own bytes are first the raw packet
// as it arrives, then, once ParseInitRequest accepts it, the decrypted request
// text; beside them it keeps the session key the reply must be encrypted with.
//
// Request text: the command name and LF, one line per parameter ended by LF,
// then one CR as the end mark. The dispatcher hands each handler a second
// VQRequest holding only the parameter lines, so that line 1 is the first
// parameter.
//
// Thread safety: a VQRequest belongs to one session thread.
#ifndef ORV_PROTOCOL_REQUEST_H_
#define ORV_PROTOCOL_REQUEST_H_

#include <netinet/in.h>

#include <memory>

#include "base/bytestring.h"
#include "protocol/packet.h"

// What ParseInitRequest found, for the caller to log: the sizes it read, in
// the order it read them, up to the check that stopped it, and why it stopped.
// The parser itself logs nothing, so the wire layer needs no logger.
struct TParseReport {
  enum TOutcome { kAccepted, kMalformed, kWrongPassword };
  // Received bytes, then the packet, password, key and request lengths.
  static constexpr int kSizes = 5;
  TOutcome outcome = kMalformed;
  int sizes_read = 0;  // how many entries of sizes are valid
  int sizes[kSizes] = {};
};

class VQRequest : public String {
 public:
  // Request packets announcing more than this many bytes are refused before
  // any of them is buffered, so memory per connection stays bounded.
  static constexpr unsigned long kMaxPacketLength = 16u * 1024 * 1024;

  // Marks its session key secret (base/bytestring.h).
  VQRequest();
  VQRequest& operator=(const String& text);
  VQRequest& operator=(const char* text);

  // 1 when the bytes held form a whole request packet.
  int WholePacket() const;
  // True when the length field announces more than kMaxPacketLength.
  bool Oversized() const;

  // The password proof judged on the bytes received so far, so that a
  // stranger is turned away as soon as the proof has arrived rather than
  // after the whole packet it announces: 1 the proof is right, 0 not yet
  // known, -1 wrong (or the signature before it is). *more gets the number of
  // bytes still missing before the proof can be judged (0 once it can),
  // counted to the end of a proof of the password's size.
  int ProofSoFar(const TPasswordCredential& password, int* more) const;
  // The encrypted session key of the last packet accepted (the bytes a
  // replay would repeat); empty before.
  const String& GetEncryptedKey() const { return encrypted_key_; }

  // Checks and decrypts the packet held: 1 and the text replaced by the
  // request text on success; 0 (session key left empty) on rejection. The
  // peer only names the client; nothing is logged.
  int ParseInitRequest(const String& password, in_addr peer);
  // The same with the password prepared once per settings load; report, when
  // given, receives the sizes read and the outcome.
  int ParseInitRequest(const TPasswordCredential& password, TParseReport* report = nullptr);

  const String& GetSessionKey() const { return session_key_; }
  // Takes over another record's session key (the parameter record that the
  // dispatcher hands to handlers answers under the same key).
  void InheritSession(const VQRequest& from) {
    session_key_ = from.session_key_;
    session_cipher_ = from.session_cipher_;
  }
  // The session key prepared for the cipher; null until a packet is accepted.
  std::shared_ptr<const TPacketKey> GetSessionCipher() const { return session_cipher_; }

  // The number of line feeds in the text.
  int GetParamsCount() const;
  // Line `line` (1-based; below 1 reads line 1) without its line feed, trimmed
  // when trim is not 0; empty beyond the last line.
  String GetParam(int line, int trim) const;
  // Every line ended by a line feed (GetParamsCount of them), in order and
  // without their line feeds, trimmed when trim is not 0. One pass over the
  // text: walk the lines with this rather than with GetParam(1..count),
  // which rescans the text from its start for every line.
  TStrList GetParams(int trim) const;
  // The value of the first complete line "name = value" (name compared
  // exactly after trimming); empty when there is none.
  String GetNamedParam(const char* name) const;

 private:
  String session_key_;
  String encrypted_key_;
  std::shared_ptr<const TPacketKey> session_cipher_;
};

#endif  // ORV_PROTOCOL_REQUEST_H_
