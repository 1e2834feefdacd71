// The reply text each value form writes, and the text a finalised reply
// carries. Whole reply packets are pinned in packet_test.cc.
#include "protocol/reply.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <functional>
#include <string>

#include "crypto/twofish.h"

namespace {

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
      {[](ORVReply& r) { r.AddIntParam(7LL), r.AddIntParam(-12), r.AddIntParam(0); },
       "     7\n-12\n0\n"},
      {[](ORVReply& r) { r.AddIntParam(LLONG_MIN), r.AddIntParam(INT_MIN); },
       "-9223372036854775808\n-2147483648\n"},
      {[](ORVReply& r) { r.AddIntParam(LLONG_MAX), r.AddIntParam(1234567LL); },
       "9223372036854775807\n1234567\n"},
      {[](ORVReply& r) { r.AddRealParam(2.5), r.AddBoolParam(3), r.AddBoolParam(0); },
       "2.5000\n1\n0\n"},
      {[](ORVReply& r) { r.AddRealParam(1e300); }, std::string(huge, 34) + "\n"},
      {[](ORVReply& r) { r.AddTimeParam(Time(5, 2, 124, 9, 7, 3)); }, "05032024090703\n"},
      {[](ORVReply& r) { r.AddTimeParam(Time(31, 11, 8100, 23, 59, -1)); }, "3112100002359-01\n"},
      {[](ORVReply& r) { r.AddStringParam(String("a\r\nb"), 1); }, "a%0D%0Ab\n"},
      {[](ORVReply& r) { r.AddStringParam(String("a\r\nb"), 0); }, "a\r\nb\n"},
      {[](ORVReply& r) { r.AddVarParams("%s=%d", "Port", 1055); }, "Port=1055\n"},
      {[&](ORVReply& r) { r.AddVarParams("%s", over.c_str()); }, ""},
      {[&](ORVReply& r) { r.AddVarParams("%s", exact.c_str()); }, exact.substr(1) + "\n"},
      {[](ORVReply& r) {
         r.SetResult("301") += "I/O Error";
         r.AddIntParam(5);
       },
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

// Free text appended after the result code is closed into its line, and the
// end mark added, before the text is encrypted under the session key.
TEST(ReplyTest, FinalisedText) {
  Twofish_initialise();
  ORVReply r;
  r.InitPacket(nullptr, String("k"));
  r.SetResult("301") += "I/O Error";
  r.FinalizePacket();
  String cipher = r.Copy(5, r.Length() - 4);
  EXPECT_EQ(DecodeLength(r.Data(), 4), cipher.Length());
  EXPECT_EQ(DecodeData(cipher, r.SessionKey()).ToStd(), "301\nI/O Error\n\r");
}

}  // namespace
