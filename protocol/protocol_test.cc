// Requests, replies and the values they carry. Refused and unfinished
// packets are pinned end to end by the hostile-client test.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <functional>

#include "crypto/twofish.h"
#include "protocol/packet.h"
#include "protocol/reply.h"
#include "protocol/request.h"
#include "protocol/value_codec.h"
#include "tests/testutil.h"

namespace {

String Bytes(const std::string& hex) {
  const std::string s = testutil::FromHex(hex);
  String out;
  out.CopyData(s.data(), static_cast<int>(s.size()));
  return out;
}

std::string Hex(const String& s) {
  return testutil::ToHex(s.ToStd());
}

// Cipher, request and reply bytes against an independent implementation's.
TEST(PacketTest, KnownAnswers) {
  Twofish_initialise();
  for (const auto& row : testutil::ReadVectors("packets.txt")) {
    if (row[0] == "encode") {  // key text, plain text, cipher text
      String cipher = EncodeData(Bytes(row[2]), Bytes(row[1]), 0);
      EXPECT_EQ(Hex(cipher), row[3]) << "key " << row[1];
      EXPECT_EQ(Hex(DecodeData(cipher, Bytes(row[1]))), row[2]) << "key " << row[1];
    } else if (row[0] == "request") {  // password, session key, request text, packet
      EXPECT_EQ(Hex(BuildRequestPacket(Bytes(row[1]), Bytes(row[2]), Bytes(row[3]))), row[4]);
      VQRequest r;
      r = Bytes(row[4]);
      ASSERT_EQ(r.WholePacket(), 1) << row[4];
      EXPECT_EQ(r.ParseInitRequest(TPasswordCredential(String("wrong"))), 0) << row[4];
      ASSERT_EQ(r.ParseInitRequest(TPasswordCredential(Bytes(row[1]))), 1) << row[4];
      EXPECT_EQ(Hex(r), Hex(Bytes(row[3])));
      EXPECT_EQ(Hex(r.GetSessionKey()), Hex(Bytes(row[2])));
    } else {  // reply: session key, reply text, packet
      // Finalising closes the last line and adds the end mark.
      const std::string text = testutil::FromHex(row[2]);
      ORVReply r;
      r.InitPacket(nullptr, Bytes(row[1]));
      r = String(text.substr(0, text.size() < 2 ? 0 : text.size() - 2).c_str());
      r.FinalizePacket();
      EXPECT_EQ(Hex(r), row[3]);
    }
  }
  // An announcement above 16 MiB is refused from the length field alone.
  for (uint32_t announced : {0x01000000u, 0x01000001u, 0xffffffffu}) {
    VQRequest r;
    r.CopyData(reinterpret_cast<const char*>(&announced), 4);
    EXPECT_EQ(r.Oversized(), announced != 0x01000000u) << announced;
  }
}

// The request fuzz target checks that GetParams gives the same lines.
TEST(RequestTest, ParameterLines) {
  VQRequest r;
  r = " a \n\nb\r\nlast";
  ASSERT_EQ(r.GetParamsCount(), 3);
  struct Case {
    int line, trim;
    const char* want;
  } cases[] = {{0, 1, "a"}, {1, 0, " a "}, {2, 1, ""}, {3, 1, "b"}, {3, 0, "b\r"}, {5, 1, ""}};
  for (const Case& c : cases) EXPECT_EQ(r.GetParam(c.line, c.trim).ToStd(), c.want) << c.line;
  EXPECT_EQ(VQRequest().GetParams(1).Count(), 0);
  // A management request of a few megabytes of empty lines once kept a session
  // thread busy for hours: every line was looked up by rescanning the text.
  r = (std::string(200000, '\n') + "Port = 7\n").c_str();
  const auto start = std::chrono::steady_clock::now();
  const TStrList lines = r.GetParams(1);
  ASSERT_EQ(lines.Count(), 200001);
  EXPECT_EQ(lines[200000].ToStd(), "Port = 7");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

struct tm Time(int mday, int mon, int year, int hour, int min, int sec) {
  struct tm t = {};
  t.tm_mday = mday, t.tm_mon = mon, t.tm_year = year;
  t.tm_hour = hour, t.tm_min = min, t.tm_sec = sec;
  return t;
}

TEST(ReplyTest, ValueForms) {
  const std::string exact(2048, 'x'), over(2049, 'x');
  char huge[400];
  snprintf(huge, sizeof huge, "%6.4f", 1e300);
  struct Case {
    std::function<void(ORVReply&)> add;
    std::string want;
  } cases[] = {
      {[](ORVReply& r) { r.AddIntParam(LLONG_MIN), r.AddIntParam(INT_MIN); },
       "-9223372036854775808\n-2147483648\n"},
      {[](ORVReply& r) { r.AddBoolParam(3), r.AddBoolParam(0); }, "1\n0\n"},
      {[](ORVReply& r) { r.AddRealParam(1e300); }, std::string(huge, 34) + "\n"},
      {[](ORVReply& r) { r.AddTimeParam(Time(5, 2, 124, 9, 7, 3)); }, "05032024090703\n"},
      {[](ORVReply& r) { r.AddTimeParam(Time(31, 11, 8100, 23, 59, -1)); }, "3112100002359-01\n"},
      {[&](ORVReply& r) { r.AddVarParams("%s", over.c_str()); }, ""},
      {[&](ORVReply& r) { r.AddVarParams("%s", exact.c_str()); }, exact.substr(1) + "\n"},
      {[](ORVReply& r) { (r.SetResult("301") += "I/O Error"), r.AddIntParam(5); },
       "301\nI/O Error\n5\n"},
      {[](ORVReply& r) { r.AddIntParam(1), r.SetResult("500"); }, "500\n"},
  };
  for (const Case& c : cases) {
    ORVReply r;
    r.InitPacket(nullptr, String("k"));
    c.add(r);
    EXPECT_EQ(r.ToStd(), c.want);
  }
}

// ok and the value stored, or 0 and the value untouched.
TEST(ValueDecode, NumbersAndPorts) {
  struct Case {
    const char* text;
    int ok;
    long long value;
    int port_ok;
  } cases[] = {{"12a", 0, 99, 0},      {" 12", 0, 99, 0},
               {"010", 1, 10, 1},      {"", 1, 0, 1},
               {"-1", 1, -1, 0},       {"65535", 1, 65535, 1},
               {"65536", 1, 65536, 0}, {"4294967296", 1, 4294967296LL, 0},
               {"99999999999999999999", 0, 99, 0}};
  for (const Case& c : cases) {
    long long v64 = 99;
    int v32 = 99, port = 99;
    EXPECT_EQ(orvDecodeInt64(c.text, &v64), c.ok) << c.text;
    EXPECT_EQ(v64, c.value) << c.text;
    // Past the int range the 32-bit decoder refuses rather than cuts.
    const bool fits = c.ok && c.value == static_cast<int>(c.value);
    EXPECT_EQ(orvDecodeInt(String(c.text), &v32), fits ? 1 : 0) << c.text;
    EXPECT_EQ(v32, fits ? c.value : 99) << c.text;
    EXPECT_EQ(orvDecodePort(c.text, &port), c.port_ok) << c.text;
    EXPECT_EQ(port, c.port_ok ? c.value : 99) << c.text;
  }
}

// Multi-line values: only CR and LF are escaped, upper-case escapes only are undone.
TEST(MultiLine, EncodeAndDecode) {
  struct Case {
    const char *plain, *wire;
  } cases[] = {{"a\r\nb\nc\r", "a%0D%0Ab%0Ac%0D"},
               {"100%", "100%"},
               {"%0a", "%0a"},
               {"%0B", "%0B"},
               {"end%0", "end%0"},
               {"%\n", "%%0A"}};
  for (const Case& c : cases) {
    EXPECT_EQ(orvEncodeStrings(String(c.plain)).ToStd(), c.wire) << c.plain;
    EXPECT_EQ(orvDecodeStrings(String(c.wire)).ToStd(), c.plain) << c.wire;
  }
}

}  // namespace
