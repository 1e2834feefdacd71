// ORVReply: one reply being built. Its own bytes are the reply text: the
// result code and LF, then one line per value, then one CR as the end mark;
// FinalizePacket replaces the text by the wire bytes (4-byte size and the text
// encrypted under the request's session key).
//
// Result codes: "200" done; "300" a management operation failed; "301" a test
// or action could not reach or evaluate its object; "302" busy (another
// session holds the self-upgrade); "500" not supported; "501" wrong or
// missing parameters; "502" no end mark; "600" forbidden by the settings.
//
// Thread safety: an ORVReply belongs to one session thread.
#ifndef ORV_PROTOCOL_REPLY_H_
#define ORV_PROTOCOL_REPLY_H_

#include <ctime>
#include <memory>

#include "base/bytestring.h"
#include "protocol/packet.h"

class ORVReply : public String {
 public:
  // Marks its session key secret (base/bytestring.h).
  ORVReply();
  ORVReply& operator=(const char* text);
  ORVReply& operator=(const String& text);

  // The text becomes header and LF (empty for a null header); the session key
  // becomes key. A prepared cipher for the same key may be handed over so
  // that it is not prepared twice.
  void InitPacket(const char* header, const String& key,
                  std::shared_ptr<const TPacketKey> prepared = nullptr);
  // The text becomes code and LF, discarding everything before.
  ORVReply& SetResult(const char* code);
  // Closes appended free text into a line.
  void CommandSeparatorCheck();

  void AddStringParam(const String& value, int encode);
  void AddStringParam(const char* value, int encode);
  void AddBoolParam(int value);
  void AddIntParam(int value);             // "%d"
  void AddIntParam(long long value);       // "%6lld"
  void AddIntParam(long value) { AddIntParam(static_cast<long long>(value)); }
  void AddRealParam(double value);         // "%6.4f"
  void AddTimeParam(const long& t);        // local time, ddmmyyyyhhmmss
  void AddTimeParam(const struct tm& t);
  // printf-style into 2048 bytes; an error or a longer result adds nothing.
  void AddVarParams(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // End mark, then the text encrypted and prefixed with its 4-byte size.
  void FinalizePacket();

  const String& SessionKey() const { return session_key_; }

 private:
  String session_key_;
  std::shared_ptr<const TPacketKey> prepared_;
};

#endif  // ORV_PROTOCOL_REPLY_H_
