#include "protocol/reply.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>

#include "crypto/twofish.h"
#include "tests/testutil.h"

namespace {

String Bytes(const std::string& s) {
  String out;
  out.CopyData(s.data(), static_cast<int>(s.size()));
  return out;
}

// The reply text that a finalised reply carries.
std::string Opened(const ORVReply& reply) {
  EXPECT_GE(reply.Length(), 4);
  String cipher = reply.Copy(5, reply.Length() - 4);
  EXPECT_EQ(DecodeLength(reply.Data(), 4), cipher.Length());
  return DecodeData(cipher, reply.SessionKey()).ToStd();
}

class ReplyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { Twofish_initialise(); }
  ORVReply reply_;
  void SetUp() override { reply_.InitPacket(nullptr, String("k")); }
};

TEST_F(ReplyTest, KnownReplyPackets) {
  for (const auto& row : testutil::ReadVectors("packets.txt")) {
    if (row[0] != "reply") continue;
    std::string text = testutil::FromHex(row[2]);
    ORVReply r;
    r.InitPacket(nullptr, Bytes(testutil::FromHex(row[1])));
    r = Bytes(text.substr(0, text.size() - 1));  // FinalizePacket adds the CR
    r.FinalizePacket();
    EXPECT_EQ(testutil::ToHex(r.ToStd()), row[3]);
  }
}

TEST_F(ReplyTest, FinalisedTexts) {
  ORVReply number, message, nothing;
  for (ORVReply* r : {&number, &message, &nothing}) r->InitPacket(nullptr, String("k"));
  number.SetResult("200");
  number.AddIntParam(5);
  message.SetResult("301") += "I/O Error";  // appended after the result, it becomes a line
  for (ORVReply* r : {&number, &message, &nothing}) r->FinalizePacket();
  EXPECT_EQ(Opened(number), "200\n5\n\r");
  EXPECT_EQ(Opened(message), "301\nI/O Error\n\r");
  EXPECT_EQ(Opened(nothing), "\r");
}

TEST_F(ReplyTest, SetResultDiscardsEarlierValues) {
  reply_.SetResult("200");
  reply_.AddIntParam(1);
  reply_.SetResult("500");
  EXPECT_EQ(reply_.ToStd(), "500\n");
}

TEST_F(ReplyTest, ValueForms) {
  reply_.SetResult("200");
  reply_.AddIntParam(7LL);
  reply_.AddRealParam(2.5);
  reply_.AddBoolParam(3);
  reply_.AddBoolParam(0);
  struct tm t = {};
  t.tm_mday = 5;
  t.tm_mon = 2;
  t.tm_year = 124;
  t.tm_hour = 9;
  t.tm_min = 7;
  t.tm_sec = 3;
  reply_.AddTimeParam(t);
  EXPECT_EQ(reply_.ToStd(), "200\n     7\n2.5000\n1\n0\n05032024090703\n");
}

// Numbers are written as the printf forms "%d", "%6lld" and "%2.2d..." write them.
TEST_F(ReplyTest, NumbersAsPrintfWritesThem) {
  for (long long v : {0LL, 7LL, -12LL, 999999LL, 1234567LL, -2147483648LL, LLONG_MIN, LLONG_MAX}) {
    char want[64];
    reply_.SetResult(nullptr);
    reply_.AddIntParam(v);
    snprintf(want, sizeof want, "%6lld\n", v);
    EXPECT_EQ(reply_.ToStd(), want);
    if (v < INT_MIN || v > INT_MAX) continue;
    reply_.SetResult(nullptr);
    reply_.AddIntParam(static_cast<int>(v));
    snprintf(want, sizeof want, "%d\n", static_cast<int>(v));
    EXPECT_EQ(reply_.ToStd(), want);
  }
  struct tm t = {};
  t.tm_mday = 31;
  t.tm_mon = 11;
  t.tm_year = 8100;  // a five-digit year is written whole
  t.tm_hour = 23;
  t.tm_min = 59;
  t.tm_sec = -1;
  reply_.SetResult(nullptr);
  reply_.AddTimeParam(t);
  EXPECT_EQ(reply_.ToStd(), "3112100002359-01\n");
}

TEST_F(ReplyTest, StringParamEncodedOrNot) {
  reply_.SetResult("200");
  reply_.AddStringParam(String("a\r\nb"), 1);
  reply_.AddStringParam(String("a\r\nb"), 0);
  EXPECT_EQ(reply_.ToStd(), "200\na%0D%0Ab\na\r\nb\n");
}

TEST_F(ReplyTest, VarParamsBoundedAt2048) {
  std::string exact(2048, 'x');
  std::string over(2049, 'x');
  reply_.SetResult("200");
  reply_.AddVarParams("%s", over.c_str());
  EXPECT_EQ(reply_.ToStd(), "200\n");
  reply_.AddVarParams("%s", exact.c_str());
  EXPECT_EQ(reply_.Length(), 4 + 2047 + 1);
  reply_.SetResult("200");
  reply_.AddVarParams("%s=%d", "Port", 1055);
  EXPECT_EQ(reply_.ToStd(), "200\nPort=1055\n");
}

TEST_F(ReplyTest, HugeRealIsCutTo34Characters) {
  reply_.SetResult("200");
  reply_.AddRealParam(1e300);
  EXPECT_EQ(reply_.Length(), 4 + 34 + 1);
}

}  // namespace
