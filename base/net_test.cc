// The socket helpers against servers of the test on 127.0.0.1. What a server
// sees through "TEST-TCP", "TEST-UDP" and the send actions is checked end to
// end; these cases cover the return values and limits those cannot reach.
#include "base/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "base/oserror.h"
#include "tests/testutil.h"

namespace {

using Clock = std::chrono::steady_clock;
using testutil::ReadFor;

// A name that never resolves and never leaves the machine: its first label is
// longer than a name label may be, so the resolver gives up before asking any
// server.
const std::string kBadName = std::string(70, 'a') + ".invalid";
const char kNoName[] = "Cannot resolve server name to IP address";

double SecondsSince(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

TEST(NetAddress, FormatsAndResolves) {
  EXPECT_EQ(IP2String(htonl(0)).ToStd(), "0.0.0.0");
  EXPECT_EQ(IP2String(htonl(0x0a00ff09)).ToStd(), "10.0.255.9");
  EXPECT_EQ(IP2String(htonl(0xffffffff)).ToStd(), "255.255.255.255");
  in_addr a;
  a.s_addr = htonl(0x7f000001);
  char four[4], one[1] = {'x'};
  EXPECT_STREQ(inet_ntoa_safe(a, four, sizeof four), "127");
  EXPECT_STREQ(inet_ntoa_safe(a, one, 1), "");

  uint32_t addr = 0;
  String err("stale");
  EXPECT_EQ(GetHostIP("10.1.2.3", addr, err), 1);
  EXPECT_EQ(addr, htonl(0x0a010203));
  EXPECT_TRUE(err.IsEmpty());
  EXPECT_EQ(GetHostIP("localhost", addr, err), 1) << err.ToStd();
  EXPECT_EQ(addr, htonl(0x7f000001));
  auto t0 = Clock::now();
  EXPECT_EQ(GetHostIP(kBadName.c_str(), addr, err), -2);
  EXPECT_EQ(err.ToStd(), kNoName);
  EXPECT_LT(SecondsSince(t0), 5.0);

  ResolvedHost r;
  int e = 0;
  ASSERT_EQ(ResolveHostIPv4("localhost", &r, &e), 0);
  EXPECT_EQ(r.addrtype, AF_INET);
  EXPECT_EQ(r.addrlen, 4);
  EXPECT_EQ(ResolveHostIPv4(kBadName.c_str(), &r, &e), -1);
  EXPECT_NE(e, 0);
}

TEST(NetListen, PortInUseAndUnknownService) {
  String err;
  socklen_t len = 0;
  UniqueFd first(TcpListen("127.0.0.1", 0, len, err));
  ASSERT_TRUE(first.valid()) << err.ToStd();
  EXPECT_EQ(len, sizeof(sockaddr_in));
  sockaddr_in sa{};
  socklen_t salen = sizeof sa;
  ASSERT_EQ(getsockname(first.get(), reinterpret_cast<sockaddr*>(&sa), &salen), 0);
  EXPECT_EQ(TcpListen("127.0.0.1", ntohs(sa.sin_port), len, err), 0);
  EXPECT_EQ(err.ToStd(), "socket() or bind() error");
  EXPECT_EQ(TcpListen(nullptr, "no-such-service-orv", len, err), 0);
  EXPECT_FALSE(err.IsEmpty());
  EXPECT_NE(err.ToStd(), "socket() or bind() error");
}

// SendReceiveTCPPacket's return value, text and received bytes for each way
// a peer can behave.
TEST(NetTcp, ExchangeOutcomes) {
  testutil::LoopbackTcp cut([](int c) { SendFull(c, "0123456789", 10); });
  // Reads the request first: closing with unread data would reset the
  // connection instead of ending it.
  testutil::LoopbackTcp closer([](int c) { ReadFor(c, 1, 5000); });
  testutil::LoopbackTcp silent([](int c) { ReadFor(c, 1000, 5000); });
  const int refused = testutil::ClosedPort(SOCK_STREAM);
  struct Case {
    const char* name;
    int port, timeout;
    const char* data;
    int capacity, want;
    std::string err, buf;
  } cases[] = {
      {"capacity respected", cut.port(), 3000, nullptr, 4, 4, "", std::string("0123\0", 5)},
      {"peer closes", closer.port(), 3000, "q", 8, 0, "", ""},
      {"silent peer", silent.port(), 300, "", 8, 0, "Timeout", ""},
      {"refused, blocking", refused, 0, "x", 8, -6, GetErrorStr(ECONNREFUSED).ToStd(), ""},
      {"refused, time-limited", refused, 2000, "x", 8, -6, GetErrorStr(ECONNREFUSED).ToStd(), ""},
  };
  for (const Case& c : cases) {
    char buf[8] = {};
    String err;
    auto t0 = Clock::now();
    int size = c.data ? static_cast<int>(strlen(c.data)) : 0;
    EXPECT_EQ(SendReceiveTCPPacket("127.0.0.1", c.port, c.timeout, c.data, c.capacity ? buf : nullptr,
                                   size, c.capacity, err),
              c.want)
        << c.name;
    EXPECT_EQ(err.ToStd(), c.err) << c.name;
    if (!c.buf.empty()) {
      EXPECT_EQ(std::string(buf, c.buf.size()), c.buf) << c.name;
    }
    if (c.timeout == 300) {
      EXPECT_GE(SecondsSince(t0), 0.25);
      EXPECT_LT(SecondsSince(t0), 3.0);
    }
  }
  std::string got;
  {
    testutil::LoopbackTcp sink([&got](int c) { got = ReadFor(c, 100, 5000); });
    String err;
    EXPECT_EQ(SendReceiveTCPPacket("127.0.0.1", sink.port(), 3000, "ping", nullptr, 4, 0, err), 1);
  }  // served and joined
  EXPECT_EQ(got, "ping");

  int handle = 123;
  String err;
  EXPECT_EQ(PerformConnect(handle, kBadName.c_str(), 80, 1000, err), -2);
  EXPECT_EQ(handle, -1);
  EXPECT_EQ(err.ToStd(), kNoName);
  ASSERT_EQ(PerformConnect(handle, "127.0.0.1", closer.port(), 2000, err), 1) << err.ToStd();
  UniqueFd fd(handle);
  EXPECT_NE(fcntl(fd.get(), F_GETFL) & O_NONBLOCK, 0);
}

TEST(NetUdp, ExchangeOutcomes) {
  int port = 0;
  UniqueFd srv = testutil::BoundLoopback(SOCK_DGRAM, &port);  // receives, never answers
  char buf[16];
  String err;
  auto t0 = Clock::now();
  EXPECT_EQ(SendReceiveUDPPacket("127.0.0.1", port, 1, "x", buf, 1, sizeof buf, err), 0);
  EXPECT_EQ(err.ToStd(), "Timeout");
  EXPECT_GE(SecondsSince(t0), 0.9);  // the limit is in whole seconds
  EXPECT_LT(SecondsSince(t0), 3.0);
  EXPECT_EQ(SendReceiveUDPPacket("127.0.0.1", port, 0, "abc", nullptr, 3, 0, err), 3);
  EXPECT_TRUE(err.IsEmpty());
  EXPECT_EQ(recv(srv.get(), buf, sizeof buf, MSG_DONTWAIT), 1);  // of the timed-out exchange
  EXPECT_EQ(recv(srv.get(), buf, sizeof buf, MSG_DONTWAIT), 3);
  EXPECT_EQ(SendReceiveUDPPacket(kBadName.c_str(), 514, 1, "x", nullptr, 1, 0, err), -2);
  EXPECT_EQ(err.ToStd(), kNoName);
}

TEST(NetSyncSocket, SendsAndRefusals) {
  std::string got;
  {
    testutil::LoopbackTcp server([&got](int c) { got = ReadFor(c, 100, 5000); });
    TSyncSocket s(1);
    ASSERT_EQ(s.Connect("127.0.0.1", server.port(), 0), 1) << s.LastError.ToStd();
    EXPECT_EQ(s.SendString(String("first"), 0), 5);
    EXPECT_EQ(s.SendBuf("x", 0, 0), 0);
    EXPECT_EQ(s.SendString(String("+second"), 0), 7);
    s.Disconnect();
    EXPECT_EQ(s.Handle, -1);
  }
  EXPECT_EQ(got, "first+second");

  TSyncSocket refused(1);
  EXPECT_EQ(refused.Connect("127.0.0.1", testutil::ClosedPort(SOCK_STREAM), 0), -6);
  EXPECT_EQ(refused.LastError.ToStd(), GetErrorStr(ECONNREFUSED).ToStd());
  TSyncSocket unconnected(1);
  EXPECT_EQ(unconnected.SendString(String("x"), 0), -4);
  EXPECT_FALSE(unconnected.LastError.IsEmpty());
  TSyncSocket unresolved(2);
  EXPECT_EQ(unresolved.Connect(kBadName.c_str(), 9, 0), -2);
  EXPECT_EQ(unresolved.Handle, -1);
}

}  // namespace
