#include "protocol/packet.h"

#include <gtest/gtest.h>

#include "crypto/twofish.h"
#include "tests/testutil.h"

namespace {

using testutil::FromHex;
using testutil::ToHex;

String Bytes(const std::string& s) {
  String out;
  out.CopyData(s.data(), static_cast<int>(s.size()));
  return out;
}

class PacketTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { Twofish_initialise(); }
};

TEST_F(PacketTest, ByteCipherMatchesKnownAnswers) {
  int seen = 0;
  for (const auto& row : testutil::ReadVectors("packets.txt")) {
    if (row[0] != "encode") continue;
    String key = Bytes(FromHex(row[1]));
    String plain = Bytes(FromHex(row[2]));
    String cipher = EncodeData(plain, key, 0);
    EXPECT_EQ(ToHex(cipher.ToStd()), row[3]) << "key " << row[1];
    EXPECT_EQ(DecodeData(cipher, key), plain) << "key " << row[1];
    ++seen;
  }
  EXPECT_GE(seen, 7);
}

TEST_F(PacketTest, RequestPacketsMatchKnownAnswers) {
  int seen = 0;
  for (const auto& row : testutil::ReadVectors("packets.txt")) {
    if (row[0] != "request") continue;
    String packet =
        BuildRequestPacket(Bytes(FromHex(row[1])), Bytes(FromHex(row[2])), Bytes(FromHex(row[3])));
    EXPECT_EQ(ToHex(packet.ToStd()), row[4]);
    ++seen;
  }
  EXPECT_EQ(seen, 3);
}

TEST_F(PacketTest, EmptyDataHasNoLengthPrefix) {
  EXPECT_EQ(EncodeData(String(), String("k"), 4).Length(), 0);
  EXPECT_EQ(DecodeData(String(), String("k")).Length(), 0);
}

TEST_F(PacketTest, RoundTripForEveryLengthUpToSeveralBlocks) {
  TPacketKey key(String("session"));
  String text;
  for (int n = 0; n < 70; ++n) {
    EXPECT_EQ(key.Decrypt(key.Encrypt(text)), text) << n;
    text.AddChar(static_cast<char>(n * 37));
  }
}

TEST_F(PacketTest, LengthFieldsAreLittleEndian) {
  String data;
  data.SetLength(0x0102);
  EXPECT_EQ(ToHex(EncodeLength(data, 4).ToStd()), "02010000");
  EXPECT_EQ(ToHex(EncodeLength(data, 2).ToStd()), "0201");
  EXPECT_EQ(DecodeLength("\x02\x01\x00\x00", 4), 0x0102);
  EXPECT_EQ(DecodeLength("\xff\xff", 2), 65535);
  EXPECT_EQ(DecodeLength("\x07", 1), 7);
  EXPECT_EQ(DecodeLength("\x07\x07\x07", 3), 0);
}

TEST_F(PacketTest, PasswordProofIsRawMd5OrNothing) {
  EXPECT_EQ(EncodePswd(String()).Length(), 0);
  EXPECT_EQ(ToHex(EncodePswd(String("abc")).ToStd()), "900150983cd24fb0d6963f7d28e17f72");
}

}  // namespace
