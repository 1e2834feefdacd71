#include "base/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "base/oserror.h"
#include "base/resources.h"

namespace {

using Clock = std::chrono::steady_clock;

// A name that never resolves and never leaves the machine: its first label is
// longer than a name label may be, so the resolver gives up before asking any
// server.
const std::string kBadName = std::string(70, 'a') + ".invalid";

int PortOf(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return -1;
  return ntohs(sa.sin_port);
}

double SecondsSince(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// A port on 127.0.0.1 where nothing listens (taken from the system, then freed).
int ClosedTcpPort() {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return -1;
  return PortOf(fd.get());
}

// A one-connection TCP server on 127.0.0.1: accepts one client (waiting at most
// 5 s) and hands it to `serve` on its own thread. Joined on destruction.
class OneShotTcpServer {
 public:
  explicit OneShotTcpServer(std::function<void(int)> serve) {
    String err;
    socklen_t len = 0;
    listen_.reset(TcpListen("127.0.0.1", 0, len, err));
    port_ = PortOf(listen_.get());
    thread_ = std::thread([this, serve] {
      pollfd p{listen_.get(), POLLIN, 0};
      if (poll(&p, 1, 5000) != 1) return;
      UniqueFd c(accept(listen_.get(), nullptr, nullptr));
      if (c.valid()) serve(c.get());
    });
  }
  ~OneShotTcpServer() { thread_.join(); }
  int port() const { return port_; }

 private:
  UniqueFd listen_;
  int port_ = -1;
  std::thread thread_;
};

// Reads what arrives within 5 s until the peer closes or max bytes came.
std::string ReadSome(int fd, size_t max) {
  std::string got;
  char buf[256];
  while (got.size() < max) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) break;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

// A UDP socket bound to 127.0.0.1 on a free port.
UniqueFd UdpSocket(int* port) {
  UniqueFd fd(socket(AF_INET, SOCK_DGRAM, 0));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  *port = PortOf(fd.get());
  return fd;
}

TEST(NetAddressTest, IP2StringFormatsDottedDecimal) {
  struct Case {
    uint32_t host_order;
    const char* text;
  } cases[] = {
      {0, "0.0.0.0"},
      {0x7f000001, "127.0.0.1"},
      {0x0a00ff09, "10.0.255.9"},
      {0xffffffff, "255.255.255.255"},
  };
  for (const Case& c : cases) EXPECT_EQ(IP2String(htonl(c.host_order)).ToStd(), c.text);
}

TEST(NetAddressTest, InetNtoaSafeCutsToBuffer) {
  in_addr a;
  a.s_addr = htonl(0x7f000001);
  char buf[4];
  EXPECT_STREQ(inet_ntoa_safe(a, buf, sizeof buf), "127");
  char one[1] = {'x'};
  EXPECT_STREQ(inet_ntoa_safe(a, one, 1), "");
}

TEST(NetAddressTest, GetHostIPTakesDottedAddressAsIs) {
  uint32_t addr = 0;
  String err("stale");
  EXPECT_EQ(GetHostIP("10.1.2.3", addr, err), 1);
  EXPECT_EQ(addr, htonl(0x0a010203));
  EXPECT_TRUE(err.IsEmpty());
}

TEST(NetAddressTest, GetHostIPResolvesLocalName) {
  uint32_t addr = 0;
  String err;
  EXPECT_EQ(GetHostIP("localhost", addr, err), 1) << err.ToStd();
  EXPECT_EQ(addr, htonl(0x7f000001));
}

TEST(NetAddressTest, GetHostIPUnresolvableName) {
  uint32_t addr = 0;
  String err;
  auto t0 = Clock::now();
  EXPECT_EQ(GetHostIP(kBadName.c_str(), addr, err), -2);
  EXPECT_EQ(err.ToStd(), "Cannot resolve server name to IP address");
  EXPECT_LT(SecondsSince(t0), 5.0);
}

TEST(NetAddressTest, ResolveHostIPv4ReportsFourByteAddress) {
  ResolvedHost r;
  int e = 0;
  ASSERT_EQ(ResolveHostIPv4("localhost", &r, &e), 0);
  EXPECT_EQ(r.addrtype, AF_INET);
  EXPECT_EQ(r.addrlen, 4);
  EXPECT_EQ(ResolveHostIPv4(kBadName.c_str(), &r, &e), -1);
  EXPECT_NE(e, 0);
}

TEST(NetListenTest, PortInUseFailsWithBindError) {
  String err;
  socklen_t len = 0;
  UniqueFd first(TcpListen("127.0.0.1", 0, len, err));
  ASSERT_TRUE(first.valid()) << err.ToStd();
  EXPECT_EQ(len, sizeof(sockaddr_in));
  int port = PortOf(first.get());

  EXPECT_EQ(TcpListen("127.0.0.1", port, len, err), 0);
  EXPECT_EQ(err.ToStd(), "socket() or bind() error");
}

TEST(NetListenTest, UnknownServiceGivesResolverText) {
  String err;
  socklen_t len = 0;
  EXPECT_EQ(TcpListen(nullptr, "no-such-service-orv", len, err), 0);
  EXPECT_FALSE(err.IsEmpty());
  EXPECT_NE(err.ToStd(), "socket() or bind() error");
}

TEST(NetTcpTest, RefusedConnectGivesSystemText) {
  int port = ClosedTcpPort();
  ASSERT_GT(port, 0);
  // Blocking and time-limited connects take different paths.
  for (int timeout : {0, 2000}) {
    char buf[8];
    String err;
    EXPECT_EQ(SendReceiveTCPPacket("127.0.0.1", port, timeout, "x", buf, 1, sizeof buf, err), -6)
        << "timeout " << timeout;
    EXPECT_EQ(err.ToStd(), GetErrorStr(ECONNREFUSED).ToStd());
  }
}

TEST(NetTcpTest, UnresolvableHostGivesMinusTwoAndNoHandle) {
  int handle = 123;
  String err;
  EXPECT_EQ(PerformConnect(handle, kBadName.c_str(), 80, 1000, err), -2);
  EXPECT_EQ(handle, -1);
  EXPECT_EQ(err.ToStd(), "Cannot resolve server name to IP address");
}

TEST(NetTcpTest, PerformConnectLeavesSocketNonBlocking) {
  OneShotTcpServer server([](int c) { ReadSome(c, 1); });
  int handle = -1;
  String err;
  ASSERT_EQ(PerformConnect(handle, "127.0.0.1", server.port(), 2000, err), 1) << err.ToStd();
  UniqueFd fd(handle);
  EXPECT_NE(fcntl(fd.get(), F_GETFL) & O_NONBLOCK, 0);
}

TEST(NetTcpTest, EchoExchange) {
  OneShotTcpServer server([](int c) {
    std::string got = ReadSome(c, 5);
    SendFull(c, got.data(), got.size());
  });
  char buf[64];
  String err;
  int n = SendReceiveTCPPacket("127.0.0.1", server.port(), 3000, "hello", buf, 5, sizeof buf, err);
  ASSERT_EQ(n, 5) << err.ToStd();
  EXPECT_EQ(std::string(buf, 5), "hello");
  EXPECT_TRUE(err.IsEmpty());
}

TEST(NetTcpTest, ReceiveCapacityIsRespected) {
  OneShotTcpServer server([](int c) { SendFull(c, "0123456789", 10); });
  char buf[8] = {};
  String err;
  EXPECT_EQ(SendReceiveTCPPacket("127.0.0.1", server.port(), 3000, nullptr, buf, 0, 4, err), 4);
  EXPECT_EQ(std::string(buf, 5), std::string("0123\0", 5));
}

TEST(NetTcpTest, ZeroCapacityReturnsOneAfterSending) {
  std::string got;
  {
    OneShotTcpServer server([&got](int c) { got = ReadSome(c, 100); });
    String err;
    EXPECT_EQ(SendReceiveTCPPacket("127.0.0.1", server.port(), 3000, "ping", nullptr, 4, 0, err),
              1);
    EXPECT_TRUE(err.IsEmpty());
  }
  EXPECT_EQ(got, "ping");
}

TEST(NetTcpTest, PeerClosingWithoutAnswerGivesZeroAndNoText) {
  // Reads the request first: closing with unread data would reset the
  // connection instead of ending it.
  OneShotTcpServer server([](int c) { ReadSome(c, 1); });
  char buf[8];
  String err;
  EXPECT_EQ(SendReceiveTCPPacket("127.0.0.1", server.port(), 3000, "q", buf, 1, sizeof buf, err),
            0);
  EXPECT_TRUE(err.IsEmpty()) << err.ToStd();
}

TEST(NetTcpTest, SilentPeerTimesOut) {
  OneShotTcpServer server([](int c) { ReadSome(c, 1000); });  // holds until we close
  char buf[8];
  String err;
  auto t0 = Clock::now();
  EXPECT_EQ(SendReceiveTCPPacket("127.0.0.1", server.port(), 300, "", buf, 0, sizeof buf, err), 0);
  double took = SecondsSince(t0);
  EXPECT_EQ(err.ToStd(), "Timeout");
  EXPECT_GE(took, 0.25);
  EXPECT_LT(took, 3.0);
}

TEST(NetUdpTest, EchoExchange) {
  int port = 0;
  UniqueFd srv = UdpSocket(&port);
  std::thread echo([&srv] {
    pollfd p{srv.get(), POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return;
    char buf[64];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(srv.get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n > 0) sendto(srv.get(), buf, n, 0, reinterpret_cast<sockaddr*>(&from), len);
  });
  char buf[64];
  String err;
  int n = SendReceiveUDPPacket("127.0.0.1", port, 3, "datagram", buf, 8, sizeof buf, err);
  echo.join();
  ASSERT_EQ(n, 8) << err.ToStd();
  EXPECT_EQ(std::string(buf, 8), "datagram");
}

TEST(NetUdpTest, NoAnswerTimesOutInWholeSeconds) {
  int port = 0;
  UniqueFd srv = UdpSocket(&port);  // receives, never answers
  char buf[16];
  String err;
  auto t0 = Clock::now();
  EXPECT_EQ(SendReceiveUDPPacket("127.0.0.1", port, 1, "x", buf, 1, sizeof buf, err), 0);
  double took = SecondsSince(t0);
  EXPECT_EQ(err.ToStd(), "Timeout");
  EXPECT_GE(took, 0.9);
  EXPECT_LT(took, 3.0);
}

TEST(NetUdpTest, ZeroCapacityReturnsBytesSent) {
  int port = 0;
  UniqueFd srv = UdpSocket(&port);
  String err;
  EXPECT_EQ(SendReceiveUDPPacket("127.0.0.1", port, 0, "abc", nullptr, 3, 0, err), 3);
  EXPECT_TRUE(err.IsEmpty());
  char buf[8];
  EXPECT_EQ(recv(srv.get(), buf, sizeof buf, MSG_DONTWAIT), 3);
}

TEST(NetUdpTest, UnresolvableHost) {
  String err;
  EXPECT_EQ(SendReceiveUDPPacket(kBadName.c_str(), 514, 1, "x", nullptr, 1, 0, err), -2);
  EXPECT_EQ(err.ToStd(), "Cannot resolve server name to IP address");
}

TEST(NetSyncSocketTest, TcpSendsString) {
  std::string got;
  {
    OneShotTcpServer server([&got](int c) { got = ReadSome(c, 100); });
    TSyncSocket s(1);
    ASSERT_EQ(s.Connect("127.0.0.1", server.port(), 0), 1) << s.LastError.ToStd();
    EXPECT_EQ(s.SendString(String("first"), 0), 5);
    EXPECT_EQ(s.SendBuf("x", 0, 0), 0);
    EXPECT_EQ(s.SendString(String("+second"), 0), 7);
    s.Disconnect();
    EXPECT_EQ(s.Handle, -1);
  }
  EXPECT_EQ(got, "first+second");
}

TEST(NetSyncSocketTest, TcpRefusedGivesMinusSix) {
  int port = ClosedTcpPort();
  TSyncSocket s(1);
  EXPECT_EQ(s.Connect("127.0.0.1", port, 0), -6);
  EXPECT_EQ(s.LastError.ToStd(), GetErrorStr(ECONNREFUSED).ToStd());
}

TEST(NetSyncSocketTest, UdpSendsDatagram) {
  int port = 0;
  UniqueFd srv = UdpSocket(&port);
  TSyncSocket s(2);
  ASSERT_EQ(s.Connect("127.0.0.1", port, 0), 1) << s.LastError.ToStd();
  EXPECT_EQ(s.SendString(String("syslog line"), 0), 11);
  char buf[32];
  pollfd p{srv.get(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 2000), 1);
  EXPECT_EQ(recv(srv.get(), buf, sizeof buf, 0), 11);
}

TEST(NetSyncSocketTest, SendWithoutConnectionFails) {
  TSyncSocket s(1);
  EXPECT_EQ(s.SendString(String("x"), 0), -4);
  EXPECT_FALSE(s.LastError.IsEmpty());
}

TEST(NetSyncSocketTest, UdpUnresolvableHost) {
  TSyncSocket s(2);
  EXPECT_EQ(s.Connect(kBadName.c_str(), 9, 0), -2);
  EXPECT_EQ(s.Handle, -1);
}

}  // namespace
