// The wire bytes against known answers from an independent implementation
// (tests/data/packets.txt): the byte cipher, whole request packets built and
// accepted, and finalised replies.
#include "protocol/packet.h"

#include <gtest/gtest.h>

#include "crypto/twofish.h"
#include "protocol/reply.h"
#include "protocol/request.h"
#include "tests/testutil.h"

namespace {

using testutil::FromHex;
using testutil::ToHex;

String Bytes(const std::string& s) {
  String out;
  out.CopyData(s.data(), static_cast<int>(s.size()));
  return out;
}

TEST(PacketTest, KnownAnswers) {
  Twofish_initialise();
  int seen = 0;
  for (const auto& row : testutil::ReadVectors("packets.txt")) {
    ++seen;
    if (row[0] == "encode") {  // key text, plain text, cipher text
      String key = Bytes(FromHex(row[1])), plain = Bytes(FromHex(row[2]));
      String cipher = EncodeData(plain, key, 0);
      EXPECT_EQ(ToHex(cipher.ToStd()), row[3]) << "key " << row[1];
      EXPECT_EQ(DecodeData(cipher, key), plain) << "key " << row[1];
    } else if (row[0] == "request") {  // password, session key, request text, packet
      String packet = BuildRequestPacket(Bytes(FromHex(row[1])), Bytes(FromHex(row[2])),
                                         Bytes(FromHex(row[3])));
      EXPECT_EQ(ToHex(packet.ToStd()), row[4]);
      VQRequest r;
      r = Bytes(FromHex(row[4]));
      ASSERT_EQ(r.WholePacket(), 1) << row[4];
      ASSERT_EQ(r.ParseInitRequest(TPasswordCredential(Bytes(FromHex(row[1])))), 1) << row[4];
      EXPECT_EQ(r.ToStd(), FromHex(row[3]));
      EXPECT_EQ(r.GetSessionKey().ToStd(), FromHex(row[2]));
    } else if (row[0] == "reply") {  // session key, reply text, packet
      std::string text = FromHex(row[2]);
      ORVReply r;
      r.InitPacket(nullptr, Bytes(FromHex(row[1])));
      r = Bytes(text.substr(0, text.size() - 1));  // FinalizePacket adds the CR
      r.FinalizePacket();
      EXPECT_EQ(ToHex(r.ToStd()), row[3]);
    } else {
      ADD_FAILURE() << "unknown row " << row[0];
    }
  }
  EXPECT_EQ(seen, 14);
}

// Every length, block multiple or not, through the prepared key that
// sessions share; an empty text stays empty, without a length prefix.
TEST(PacketTest, RoundTripsAndLengthFields) {
  Twofish_initialise();
  TPacketKey key(String("session"));
  String text;
  for (int n = 0; n < 70; ++n) {
    EXPECT_EQ(key.Decrypt(key.Encrypt(text)), text) << n;
    text.AddChar(static_cast<char>(n * 37));
  }
  EXPECT_EQ(EncodeData(String(), String("k"), 4).Length(), 0);
  String data;
  data.SetLength(0x0102);
  EXPECT_EQ(ToHex(EncodeLength(data, 4).ToStd()), "02010000");
  EXPECT_EQ(DecodeLength("\x02\x01\x00\x00", 4), 0x0102);
  EXPECT_EQ(DecodeLength("\xff\xff", 2), 65535);
}

}  // namespace
