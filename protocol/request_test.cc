// Acceptance of request packets and the parameter lines of a request. The
// accepted forms are pinned by the known packets in packet_test.cc.
#include "protocol/request.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "crypto/twofish.h"
#include "tests/testutil.h"

namespace {

VQRequest Holding(const std::string& bytes) {
  VQRequest r;
  r.CopyData(bytes.data(), static_cast<int>(bytes.size()));
  return r;
}

TEST(RequestTest, PacketsRefusedOrNotYetWhole) {
  Twofish_initialise();
  const std::string good =
      BuildRequestPacket(String("pw"), String("key"), String("GetInfo\n\r")).ToStd();
  const std::string noproof =
      BuildRequestPacket(String(), String("k"), String("GetInfo\n\r")).ToStd();
  // The sizes L, P, K and R of a packet whose L matches the bytes received
  // but whose P, K or R claim more than there is.
  auto lying = [](const char* hex) {
    std::string b = testutil::FromHex(hex);
    b[0] = static_cast<char>(b.size() - 4);
    return b;
  };
  struct Case {
    const char* what;
    std::string packet;
    const char* password;
    int whole, accepted;
  } cases[] = {
      {"exact", good, "pw", 1, 1},
      {"one byte short", good.substr(0, good.size() - 1), "pw", 0, 0},
      {"one byte long", good + "x", "pw", 1, 0},
      {"wrong password", good, "wrong", 1, 0},
      {"no proof", noproof, "pw", 1, 0},
      {"swapped signature", testutil::FromHex("0a00000012030000000000000000"), "", 1, 0},
      {"P past the end", lying("0a000000031210000000000000000000"), "", 1, 0},
      {"K past the end", lying("0a0000000312000000ff000000000000"), "", 1, 0},
      {"R past the end", lying("0a0000000312000000000000ffffffff"), "", 1, 0},
      {"length field only", std::string("\xff\xff\xff\xff", 4), "", 0, 0},
  };
  for (const Case& c : cases) {
    VQRequest r = Holding(c.packet);
    EXPECT_EQ(r.WholePacket(), c.whole) << c.what;
    EXPECT_EQ(r.ParseInitRequest(TPasswordCredential(String(c.password))), c.accepted) << c.what;
    EXPECT_EQ(r.GetSessionKey().ToStd(), c.accepted ? "key" : "") << c.what;
    if (c.accepted) {
      EXPECT_EQ(r.ToStd(), "GetInfo\n\r") << c.what;
    }
  }
  // An announcement above 16 MiB is refused from the length field alone.
  EXPECT_TRUE(Holding(std::string("\x01\x00\x00\x01", 4)).Oversized());
  EXPECT_FALSE(Holding(std::string("\x00\x00\x00\x01", 4)).Oversized());
  EXPECT_TRUE(Holding(std::string("\xff\xff\xff\xff", 4)).Oversized());
}

// Three lines, then text without a line feed. That GetParams gives the
// same lines is checked by the request fuzz target.
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
  EXPECT_EQ(VQRequest().GetParam(1, 1).ToStd(), "");
}

// A management request of a few megabytes of empty lines once kept a session
// thread busy for hours: every line was looked up by rescanning the text.
TEST(RequestTest, ManyLinesAreSplitInLinearTime) {
  VQRequest r = Holding(std::string(200000, '\n') + "Port = 7\n");
  const auto start = std::chrono::steady_clock::now();
  const TStrList lines = r.GetParams(1);
  ASSERT_EQ(lines.Count(), 200001);
  EXPECT_EQ(lines[200000].ToStd(), "Port = 7");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

}  // namespace
