#include "protocol/request.h"

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "crypto/twofish.h"
#include "tests/testutil.h"

namespace {

const in_addr kPeer = {0x0100007f};

String Bytes(const std::string& s) {
  String out;
  out.CopyData(s.data(), static_cast<int>(s.size()));
  return out;
}

VQRequest Holding(const String& bytes) {
  VQRequest r;
  r = bytes;
  return r;
}

class RequestTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { Twofish_initialise(); }
};

TEST_F(RequestTest, EmptyPacketWithEmptyPasswordIsAccepted) {
  VQRequest r = Holding(Bytes(testutil::FromHex("0a00000003120000000000000000")));
  ASSERT_EQ(r.WholePacket(), 1);
  EXPECT_EQ(r.ParseInitRequest(String(), kPeer), 1);
  EXPECT_EQ(r.Length(), 0);
  EXPECT_EQ(r.GetSessionKey().Length(), 0);
}

TEST_F(RequestTest, KnownPacketsDecryptToTheirText) {
  for (const auto& row : testutil::ReadVectors("packets.txt")) {
    if (row[0] != "request") continue;
    VQRequest r = Holding(Bytes(testutil::FromHex(row[4])));
    ASSERT_EQ(r.ParseInitRequest(Bytes(testutil::FromHex(row[1])), kPeer), 1) << row[4];
    EXPECT_EQ(r.ToStd(), testutil::FromHex(row[3]));
    EXPECT_EQ(r.GetSessionKey().ToStd(), testutil::FromHex(row[2]));
  }
}

TEST_F(RequestTest, CompletenessAndExactLength) {
  String packet = BuildRequestPacket(String("pw"), String("key"), String("GetInfo\n\r"));
  VQRequest shorter = Holding(packet.Copy(1, packet.Length() - 1));
  EXPECT_EQ(shorter.WholePacket(), 0);
  VQRequest longer = Holding(packet + "x");
  EXPECT_EQ(longer.WholePacket(), 1);
  EXPECT_EQ(longer.ParseInitRequest(String("pw"), kPeer), 0);
  VQRequest exact = Holding(packet);
  EXPECT_EQ(exact.ParseInitRequest(String("pw"), kPeer), 1);
  EXPECT_EQ(exact.ToStd(), "GetInfo\n\r");
}

TEST_F(RequestTest, RejectsWrongPasswordAndMissingProof) {
  String packet = BuildRequestPacket(String("right"), String("k"), String("GetInfo\n\r"));
  VQRequest wrong = Holding(packet);
  EXPECT_EQ(wrong.ParseInitRequest(String("wrong"), kPeer), 0);
  EXPECT_EQ(wrong.GetSessionKey().Length(), 0);
  String noproof = BuildRequestPacket(String(), String("k"), String("GetInfo\n\r"));
  VQRequest missing = Holding(noproof);
  EXPECT_EQ(missing.ParseInitRequest(String("right"), kPeer), 0);
}

TEST_F(RequestTest, RejectsSwappedSignature) {
  String packet = Bytes(testutil::FromHex("0a00000012030000000000000000"));
  VQRequest r = Holding(packet);
  EXPECT_EQ(r.ParseInitRequest(String(), kPeer), 0);
}

TEST_F(RequestTest, LyingSizesAreRefusedWithoutReadingPastTheEnd) {
  // L matches the bytes received, but P, K or R claim more than there is.
  const char* lies[] = {
      "0a000000031210000000000000000000",  // P = 16 with nothing behind it
      "0a0000000312000000ff000000000000",  // K = 65280
      "0a0000000312000000000000ffffffff",  // R = 4294967295
  };
  for (const char* hex : lies) {
    std::string bytes = testutil::FromHex(hex);
    bytes[0] = static_cast<char>(bytes.size() - 4);
    VQRequest r = Holding(Bytes(bytes));
    EXPECT_EQ(r.ParseInitRequest(String(), kPeer), 0) << hex;
  }
}

TEST_F(RequestTest, OversizedAnnouncementIsSeenFromTheLengthField) {
  VQRequest r = Holding(Bytes(std::string("\x01\x00\x00\x01", 4)));  // 16 MiB + 1
  EXPECT_TRUE(r.Oversized());
  VQRequest ok = Holding(Bytes(std::string("\x00\x00\x00\x01", 4)));  // 16 MiB
  EXPECT_FALSE(ok.Oversized());
  VQRequest huge = Holding(Bytes(std::string("\xff\xff\xff\xff", 4)));
  EXPECT_TRUE(huge.Oversized());
  EXPECT_EQ(huge.WholePacket(), 0);
}

TEST_F(RequestTest, ParamsByLine) {
  VQRequest r = Holding(String("a\nb\r\n"));
  EXPECT_EQ(r.GetParamsCount(), 2);
  EXPECT_EQ(r.GetParam(2, 1).ToStd(), "b");
  EXPECT_EQ(r.GetParam(2, 0).ToStd(), "b\r");
  EXPECT_EQ(r.GetParam(3, 1).ToStd(), "");
  EXPECT_EQ(r.GetParam(0, 1).ToStd(), "a");
  VQRequest empty;
  EXPECT_EQ(empty.GetParamsCount(), 0);
  EXPECT_EQ(empty.GetParam(1, 1).ToStd(), "");
}

TEST_F(RequestTest, NamedParams) {
  VQRequest r = Holding(String(" Port = 1055 \nPort=2\nnoequals\nTail=1"));
  EXPECT_EQ(r.GetNamedParam("Port").ToStd(), "1055");
  EXPECT_EQ(r.GetNamedParam("port").ToStd(), "");
  EXPECT_EQ(r.GetNamedParam("Tail").ToStd(), "");  // the last line has no line feed
  EXPECT_EQ(r.GetNamedParam("noequals").ToStd(), "");
}

TEST_F(RequestTest, GetParamsGivesTheLinesGetParamGives) {
  VQRequest r = Holding(String(" a \n\nb\r\n c\nafter the last line feed"));
  ASSERT_EQ(r.GetParamsCount(), 4);
  for (int trim = 0; trim <= 1; ++trim) {
    const TStrList lines = r.GetParams(trim);
    ASSERT_EQ(lines.Count(), 4);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(lines[i], r.GetParam(i + 1, trim)) << i;
  }
  EXPECT_EQ(VQRequest().GetParams(1).Count(), 0);
}

// A management request of a few megabytes of empty lines once kept a session
// thread busy for hours: every line was looked up by rescanning the text.
TEST_F(RequestTest, NamedParamAfterManyLinesIsFoundInLinearTime) {
  std::string text(200000, '\n');
  text += "Port = 7\n";
  VQRequest r = Holding(Bytes(text));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(r.GetNamedParam("Port").ToStd(), "7");
  EXPECT_EQ(r.GetParams(1).Count(), 200001);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

}  // namespace
