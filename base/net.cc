#include "base/net.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/oserror.h"
#include "base/resources.h"

std::mutex iplib_mutex;

namespace {

const char kTimeout[] = "Timeout";
const char kCannotResolve[] = "Cannot resolve server name to IP address";
const char kUnknownAddress[] = "Name resolution error: unknown address structure";

// Waits until fd reports one of events (or an error or hang-up, which the
// following call will then report). timeout_ms below 0 waits without limit.
// Returns 1 ready, 0 time-out, -1 failure with errno set. A signal does not
// cut the wait short: the remaining time is waited again.
int WaitReady(int fd, short events, int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  int left = timeout_ms;
  for (;;) {
    pollfd p{fd, events, 0};
    int r = ::poll(&p, 1, left);
    if (r > 0) return 1;
    if (r == 0) return 0;
    if (errno != EINTR) return -1;
    if (timeout_ms >= 0) {
      auto rest = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      left = rest > 0 ? static_cast<int>(rest) : 0;
    }
  }
}

int ClampSecondsToMs(int seconds) {
  if (seconds <= 0) return 0;
  if (seconds > INT_MAX / 1000) return INT_MAX / 1000 * 1000;
  return seconds * 1000;
}

ssize_t SendOnce(int fd, const char* buf, int len) {
  ssize_t r;
  do {
    r = ::send(fd, buf, static_cast<size_t>(len), MSG_NOSIGNAL);
  } while (r < 0 && errno == EINTR);
  return r;
}

// Fills sa with host:port; 1, or -2 with err set.
int PrepareAddress(const char* host, int port, sockaddr_in* sa, String& err) {
  std::memset(sa, 0, sizeof *sa);
  sa->sin_family = AF_INET;
  sa->sin_port = htons(static_cast<uint16_t>(port));
  uint32_t addr = 0;
  int rc = GetHostIP(host, addr, err);
  if (rc != kNetConnected) return rc;
  sa->sin_addr.s_addr = addr;
  return kNetConnected;
}

// The error a connect in progress ended with, once the socket is writable.
// Returns 0 when connected, else an error number.
int PendingError(int fd) {
  int e = 0;
  socklen_t len = sizeof e;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &e, &len) < 0) return errno;
  if (e == 0 && len != sizeof e) return EINVAL;
  return e;
}

int ConnectSocket(int fd, const sockaddr_in& sa, int timeout_ms, String& err) {
  const sockaddr* to = reinterpret_cast<const sockaddr*>(&sa);
  if (timeout_ms <= 0) {
    if (::connect(fd, to, sizeof sa) == 0) return kNetConnected;
    int e = errno;
    if (e == EINTR) {
      // The connect goes on in the background; wait for its outcome.
      e = WaitReady(fd, POLLOUT, -1) < 0 ? errno : PendingError(fd);
      if (e == 0) return kNetConnected;
    }
    err = GetErrorStr(e);
    return kNetConnectFailed;
  }

  int one = 1;
  if (::ioctl(fd, FIONBIO, &one) < 0) {
    err = String("ioctl error - ") + GetErrorStr(errno);
    return kNetNoSocket;
  }
  if (::connect(fd, to, sizeof sa) < 0) {
    int e = errno;
    if (e != EINPROGRESS && e != EALREADY && e != EISCONN && e != EINTR) {
      err = GetErrorStr(e);
      return kNetConnectFailed;
    }
  }
  int w = WaitReady(fd, POLLOUT, timeout_ms);
  if (w == 0) {
    err = kTimeout;
    return kNetTimeout;
  }
  int e = w < 0 ? errno : PendingError(fd);
  if (e == 0) return kNetConnected;
  err = GetErrorStr(e);
  return kNetConnectFailed;
}

}  // namespace

char* inet_ntoa_safe(struct in_addr addr, char* buf, int size) {
  if (buf == nullptr || size < 1) return buf;
  std::lock_guard<std::mutex> lock(iplib_mutex);
  const char* text = ::inet_ntoa(addr);
  size_t n = text ? strnlen(text, static_cast<size_t>(size) - 1) : 0;
  std::memcpy(buf, text ? text : "", n);
  buf[n] = 0;
  return buf;
}

int ResolveHostIPv4(const char* name, ResolvedHost* result, int* err) {
  if (name == nullptr || result == nullptr) {
    if (err) *err = EAI_NONAME;
    return -1;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  std::lock_guard<std::mutex> lock(iplib_mutex);
  addrinfo* list = nullptr;
  int rc = ::getaddrinfo(name, nullptr, &hints, &list);
  if (rc != 0 || list == nullptr) {
    if (list) ::freeaddrinfo(list);
    if (err) *err = rc != 0 ? rc : EAI_NONAME;
    return -1;
  }
  *result = ResolvedHost();
  result->addrtype = list->ai_family;
  if (list->ai_family == AF_INET && list->ai_addrlen >= sizeof(sockaddr_in)) {
    const sockaddr_in* sin = reinterpret_cast<const sockaddr_in*>(list->ai_addr);
    result->addrlen = sizeof sin->sin_addr;
    std::memcpy(result->addr, &sin->sin_addr, sizeof sin->sin_addr);
  } else if (list->ai_family == AF_INET6 && list->ai_addrlen >= sizeof(sockaddr_in6)) {
    const sockaddr_in6* sin6 = reinterpret_cast<const sockaddr_in6*>(list->ai_addr);
    result->addrlen = sizeof sin6->sin6_addr;
    std::memcpy(result->addr, &sin6->sin6_addr, sizeof sin6->sin6_addr);
  }
  ::freeaddrinfo(list);
  return 0;
}

int GetHostIP(const char* host, uint32_t& addr, String& err) {
  err = "";
  if (host == nullptr) {
    err = kCannotResolve;
    return kNetUnresolved;
  }
  in_addr_t a = ::inet_addr(host);
  if (a != INADDR_NONE) {
    addr = a;
    return kNetConnected;
  }
  ResolvedHost r;
  int e = 0;
  if (ResolveHostIPv4(host, &r, &e) != 0) {
    err = kCannotResolve;
    return kNetUnresolved;
  }
  if (r.addrlen != 4) {
    err = kUnknownAddress;
    return kNetUnresolved;
  }
  std::memcpy(&addr, r.addr, 4);
  return kNetConnected;
}

uint32_t GetMyIP() {
  char name[255];
  if (::gethostname(name, sizeof name) != 0) return 0;
  name[sizeof name - 1] = 0;
  uint32_t addr = 0;
  String err;
  return GetHostIP(name, addr, err) == 1 ? addr : 0;
}

String IP2String(uint32_t addr) {
  char buf[24];
  in_addr a;
  a.s_addr = addr;
  return String(inet_ntoa_safe(a, buf, sizeof buf));
}

int TcpListen(const char* host, int port, socklen_t& addrlen, String& err) {
  char service[16];
  std::snprintf(service, sizeof service, "%d", port);
  return TcpListen(host, service, addrlen, err);
}

int TcpListen(const char* host, const char* service, socklen_t& addrlen, String& err) {
  err = "";
  if (host != nullptr && *host == 0) host = nullptr;
  addrinfo hints{};
  hints.ai_flags = AI_PASSIVE;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc = ::getaddrinfo(host, service, &hints, &res);
  if (rc != 0) {
    err = ::gai_strerror(rc);
    return 0;
  }
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(res, ::freeaddrinfo);

  UniqueFd fd;
  socklen_t len = 0;
  for (const addrinfo* ai = res; ai != nullptr; ai = ai->ai_next) {
    // Close-on-exec: children started for tests must not keep the agent's
    // port open after the agent restarts.
    UniqueFd s(::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol));
    if (!s.valid()) continue;
    int one = 1;
    ::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(s.get(), ai->ai_addr, ai->ai_addrlen) == 0) {
      fd = std::move(s);
      len = ai->ai_addrlen;
      break;
    }
    ::shutdown(s.get(), SHUT_RDWR);
  }
  if (!fd.valid()) {
    err = "socket() or bind() error";
    return 0;
  }
  if (::listen(fd.get(), 512) < 0) {
    ::shutdown(fd.get(), SHUT_RDWR);
    err = "listen() error";
    return 0;
  }
  addrlen = len;
  return fd.release();
}

namespace {

// One receive of at most cap bytes on a socket, waited for at most wait_ms:
// the byte count, or kNetTimeout or kNetReceiveFailed with err set.
int ReceiveOnce(int fd, char* buf, int cap, int wait_ms, String& err) {
  if (WaitReady(fd, POLLIN, wait_ms) != 1) {
    err = kTimeout;
    return kNetTimeout;
  }
  ssize_t n;
  do {
    n = ::recv(fd, buf, static_cast<size_t>(cap), 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (errno == ETIMEDOUT) {
      err = kTimeout;
      return kNetTimeout;
    }
    err = GetErrorStr(errno);
    return kNetReceiveFailed;
  }
  return static_cast<int>(n);
}

}  // namespace

int PerformConnect(int& handle, const char* host, int port, int timeout_ms, String& err) {
  err = "";
  handle = -1;
  sockaddr_in sa;
  int rc = PrepareAddress(host, port, &sa, err);
  if (rc != kNetConnected) return rc;
  handle = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (handle < 0) {
    err = GetErrorStr(errno);
    return kNetNoSocket;
  }
  return ConnectSocket(handle, sa, timeout_ms, err);
}

int SendReceiveTCPPacket(const char* host, int port, int timeout_ms, const char* sendbuf,
                         char* recvbuf, int sendlen, int recvcap, String& err) {
  if (sendbuf == nullptr) sendlen = 0;
  if (recvbuf == nullptr) recvcap = 0;
  int h = -1;
  int rc = PerformConnect(h, host, port, timeout_ms, err);
  UniqueFd fd(h);
  if (rc != kNetConnected) return rc;

  if (sendlen > 0 && SendOnce(fd.get(), sendbuf, sendlen) < 0) {
    err = GetErrorStr(errno);
    return kNetSendFailed;
  }
  if (recvcap <= 0) return 1;

  return ReceiveOnce(fd.get(), recvbuf, recvcap, timeout_ms > 0 ? timeout_ms : 0, err);
}

int SendReceiveUDPPacket(const char* host, int port, int timeout_s, const char* sendbuf,
                         char* recvbuf, int sendlen, int recvcap, String& err) {
  err = "";
  if (sendbuf == nullptr) sendlen = 0;
  if (recvbuf == nullptr) recvcap = 0;
  sockaddr_in sa;
  int rc = PrepareAddress(host, port, &sa, err);
  if (rc != kNetConnected) return rc;
  UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) {
    err = GetErrorStr(errno);
    return kNetNoSocket;
  }

  int result = 0;
  if (sendlen > 0) {
    ssize_t n;
    do {
      n = ::sendto(fd.get(), sendbuf, static_cast<size_t>(sendlen), MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      err = GetErrorStr(errno);
      return kNetSendFailed;
    }
    result = static_cast<int>(n);
  }

  if (recvcap > 0) {
    result = ReceiveOnce(fd.get(), recvbuf, recvcap, ClampSecondsToMs(timeout_s), err);
    if (result <= 0) return result;
  }
  err = "";
  return result;
}

TSyncSocket::TSyncSocket(int kind) : Kind(kind) {}

TSyncSocket::~TSyncSocket() {
  Disconnect();
}

int TSyncSocket::Connect(const char* host, int port, int timeout_ms) {
  Disconnect();
  if (Kind == 1) return PerformConnect(Handle, host, port, timeout_ms, LastError);

  sockaddr_in sa;
  int rc = PrepareAddress(host, port, &sa, LastError);
  if (rc != kNetConnected) return rc;
  Handle = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (Handle < 0) {
    LastError = GetErrorStr(errno);
    return kNetNoSocket;
  }
  if (::connect(Handle, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) < 0) {
    LastError = GetErrorStr(errno);
    return kNetConnectFailed;
  }
  return kNetConnected;
}

void TSyncSocket::Disconnect() {
  LastError = "";
  if (Handle >= 0) {
    ::close(Handle);
    Handle = -1;
  }
}

int TSyncSocket::SendString(const String& s, int flags) {
  return SendBuf(s.Data(), s.Length(), flags);
}

int TSyncSocket::SendBuf(const char* buf, int len, int /*flags*/) {
  LastError = "";
  if (len < 1 || buf == nullptr) return 0;
  ssize_t n = SendOnce(Handle, buf, len);
  if (n < 0) {
    LastError = GetErrorStr(errno);
    return kNetSendFailed;
  }
  return static_cast<int>(n);
}
