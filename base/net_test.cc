// The socket helpers against servers of the test on 127.0.0.1. What a server
// sees through "TEST-TCP", "TEST-UDP" and the send actions is checked end to
// end; these cases cover the return values and limits those cannot reach.
#include "base/net.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "base/oserror.h"
#include "tests/testutil.h"

namespace {

using testutil::ReadFor;

TEST(Net, AddressesAndListening) {
  EXPECT_EQ(IP2String(htonl(0x0a00ff09)).ToStd(), "10.0.255.9");
  EXPECT_EQ(IP2String(htonl(0xffffffff)).ToStd(), "255.255.255.255");

  uint32_t addr = 0;
  String err("stale");
  EXPECT_EQ(GetHostIP("10.1.2.3", addr, err), 1);
  EXPECT_EQ(addr, htonl(0x0a010203));
  EXPECT_TRUE(err.IsEmpty());
  EXPECT_EQ(GetHostIP("localhost", addr, err), 1) << err.ToStd();
  EXPECT_EQ(addr, htonl(0x7f000001));

  socklen_t len = 0;
  UniqueFd first(TcpListen("127.0.0.1", 0, len, err));
  ASSERT_TRUE(first.valid()) << err.ToStd();
  sockaddr_in sa{};
  socklen_t salen = sizeof sa;
  ASSERT_EQ(getsockname(first.get(), reinterpret_cast<sockaddr*>(&sa), &salen), 0);
  EXPECT_EQ(TcpListen("127.0.0.1", ntohs(sa.sin_port), len, err), 0);
  EXPECT_EQ(err.ToStd(), "socket() or bind() error");
}

// The return value, text and received bytes of one exchange for the peers
// that "TEST-TCP" and "TEST-UDP" end to end do not cover.
TEST(Net, ExchangeOutcomes) {
  testutil::LoopbackTcp cut([](int c) { SendFull(c, "0123456789", 10); });
  testutil::LoopbackTcp silent([](int c) { ReadFor(c, 1000, 5000); });
  std::string got;
  auto sink =
      std::make_unique<testutil::LoopbackTcp>([&got](int c) { got = ReadFor(c, 100, 5000); });
  int udp = 0;
  UniqueFd udp_server = testutil::BoundLoopback(SOCK_DGRAM, &udp);  // receives, never answers
  const int refused = testutil::ClosedPort(SOCK_STREAM);
  const std::string kRefused = GetErrorStr(ECONNREFUSED).ToStd();
  struct Case {
    const char* name;
    bool tcp;
    int port, timeout;
    const char* data;
    int capacity, want;
    std::string err, buf;
    double min_s;
  } cases[] = {
      {"capacity respected", true, cut.port(), 3000, nullptr, 4, 4, "", std::string("0123\0", 5),
       0},
      {"silent peer", true, silent.port(), 300, "", 8, 0, "Timeout", "", 0.25},
      {"refused, blocking", true, refused, 0, "x", 8, -6, kRefused, "", 0},
      {"TCP send only", true, sink->port(), 3000, "ping", 0, 1, "", "", 0},
      {"UDP send only", false, udp, 0, "abc", 0, 3, "", "", 0},
  };
  for (const Case& c : cases) {
    char buf[8] = {};
    String err("stale");
    const auto t0 = std::chrono::steady_clock::now();
    const int size = c.data ? static_cast<int>(strlen(c.data)) : 0;
    auto exchange = c.tcp ? SendReceiveTCPPacket : SendReceiveUDPPacket;
    EXPECT_EQ(exchange("127.0.0.1", c.port, c.timeout, c.data, c.capacity ? buf : nullptr, size,
                       c.capacity, err),
              c.want)
        << c.name;
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(err.ToStd(), c.err) << c.name;
    EXPECT_EQ(std::string(buf, c.buf.size()), c.buf) << c.name;
    EXPECT_GE(took.count(), c.min_s) << c.name;
    EXPECT_LT(took.count(), 4.0) << c.name;
  }
  sink.reset();  // served and joined
  EXPECT_EQ(got, "ping");
  char buf[16];
  EXPECT_EQ(recv(udp_server.get(), buf, sizeof buf, MSG_DONTWAIT), 3);
}

}  // namespace
