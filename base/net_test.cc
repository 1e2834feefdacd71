// The socket helpers against servers of the test on 127.0.0.1, for the return
// values and limits that "TEST-TCP", "TEST-UDP" and the send actions cannot reach.
#include "base/net.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "base/oserror.h"
#include "tests/testutil.h"

namespace {

TEST(Net, AddressesListeningAndExchanges) {
  EXPECT_EQ(IP2String(htonl(0x0a00ff09)).ToStd() + IP2String(htonl(~0u)).ToStd(),
            "10.0.255.9255.255.255.255");
  uint32_t addr = 0;
  String err("stale");
  EXPECT_EQ(GetHostIP("localhost", addr, err) + addr, 1 + htonl(0x7f000001)) << err.ToStd();
  socklen_t len = 0;
  int port = 0;
  UniqueFd taken = testutil::BoundLoopback(SOCK_STREAM, &port);
  EXPECT_EQ(TcpListen("127.0.0.1", port, len, err), 0);
  EXPECT_EQ(err.ToStd(), "socket() or bind() error");

  // The return value, text and received bytes of one exchange.
  testutil::LoopbackTcp cut([](int c) { SendFull(c, "0123456789", 10); });
  testutil::LoopbackTcp silent([](int c) { testutil::ReadFor(c, 1000, 5000); });
  std::string got;
  auto sink = std::make_unique<testutil::LoopbackTcp>(
      [&got](int c) { got = testutil::ReadFor(c, 100, 5000); });
  int udp = 0;
  UniqueFd udp_server = testutil::BoundLoopback(SOCK_DGRAM, &udp);  // receives, never answers
  struct Case {
    bool tcp;
    int port, timeout;
    const char* data;
    int capacity, want;
    std::string err, buf;
    double min_s;
  } cases[] = {
      {true, cut.port(), 3000, nullptr, 4, 4, "", std::string("0123\0", 5), 0},
      {true, silent.port(), 300, "", 8, 0, "Timeout", "", 0.25},
      {true, testutil::ClosedPort(SOCK_STREAM), 0, "x", 8, -6, GetErrorStr(ECONNREFUSED).ToStd(),
       "", 0},
      {true, sink->port(), 3000, "ping", 0, 1, "", "", 0},  // send only
      {false, udp, 0, "abc", 0, 3, "", "", 0},
  };
  for (const Case& c : cases) {
    char buf[8] = {};
    String err("stale");
    const auto t0 = std::chrono::steady_clock::now();
    auto exchange = c.tcp ? SendReceiveTCPPacket : SendReceiveUDPPacket;
    EXPECT_EQ(exchange("127.0.0.1", c.port, c.timeout, c.data, c.capacity ? buf : nullptr,
                       c.data ? static_cast<int>(strlen(c.data)) : 0, c.capacity, err),
              c.want)
        << c.port;
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(err.ToStd() + "|" + std::string(buf, c.buf.size()), c.err + "|" + c.buf) << c.port;
    EXPECT_TRUE(took.count() >= c.min_s && took.count() < 4.0) << c.port << " " << took.count();
  }
  sink.reset();  // served and joined
  EXPECT_EQ(got, "ping");
  char buf[16];
  EXPECT_EQ(recv(udp_server.get(), buf, sizeof buf, MSG_DONTWAIT), 3);
}

}  // namespace
