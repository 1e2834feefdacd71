// The client side of one exchange with an agent: connect, send one request
// packet, read one reply packet and decrypt it. Used by the orvq tool and by
// the tests.
//
// Thread safety: a TAgentConnection belongs to one thread.
#ifndef ORV_PROTOCOL_CLIENT_H_
#define ORV_PROTOCOL_CLIENT_H_

#include "base/bytestring.h"
#include "base/resources.h"

// How an exchange ended.
enum TExchangeStatus {
  kReplyReceived = 0,  // a whole reply arrived (whatever its result code)
  kNoReply = 1,        // the agent closed the connection without a whole reply
  kExchangeFailed = 2  // connection refused, timed out, or another failure
};

// The request text: command LF, each parameter LF, then CR.
String BuildRequestText(const String& command, const String* params, int count);

// Fresh random printable text to use as a session key.
String RandomSessionKey();

// What a server sends after the bytes of a new executable: the MD5 digest of
// the n bytes at module, encrypted under the session key of the upgrade
// request (16 bytes).
String BuildUpgradeTrailer(const char* module, int n, const String& sessionkey);

class TAgentConnection {
 public:
  // Every wait (connect, send, receive) is bounded by timeout_ms.
  TAgentConnection(const String& host, int port, int timeout_ms);

  TExchangeStatus Connect(String& err);
  TExchangeStatus SendRaw(const char* data, int n, String& err);
  // Reads one reply packet and decrypts it under sessionkey; the text keeps
  // its final CR.
  TExchangeStatus ReadReply(const String& sessionkey, String& text, String& err);

 private:
  TExchangeStatus ReadExactly(char* buf, int n, String& err);

  String host_;
  int port_;
  int timeout_ms_;
  UniqueFd fd_;
};

// One whole exchange: connect, send the request, read the reply text.
TExchangeStatus Exchange(const String& host, int port, int timeout_ms, const String& password,
                         const String& sessionkey, const String& requesttext, String& replytext,
                         String& err);

#endif  // ORV_PROTOCOL_CLIENT_H_
