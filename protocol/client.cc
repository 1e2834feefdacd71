#include "protocol/client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "base/oserror.h"
#include "crypto/md5.h"
#include "protocol/packet.h"

namespace {

using Clock = std::chrono::steady_clock;

// Waits for the events on fd until the deadline; false on time-out or error.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    struct pollfd p = {fd, events, 0};
    int r = poll(&p, 1, static_cast<int>(left.count()));
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return false;
  }
}

}  // namespace

String BuildRequestText(const String& command, const String* params, int count) {
  String text = command + '\n';
  for (int i = 0; i < count; ++i) {
    text += params[i];
    text += '\n';
  }
  text += '\r';
  return text;
}

String RandomSessionKey() {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char raw[24] = {};
  UniqueFd urandom(open("/dev/urandom", O_RDONLY | O_CLOEXEC));
  if (!urandom.valid() || ReadRetry(urandom.get(), raw, sizeof raw) != sizeof raw) {
    // No random device: fall back to the clock, still unique per run.
    auto t = static_cast<unsigned long long>(Clock::now().time_since_epoch().count());
    for (unsigned char& c : raw) {
      t = t * 6364136223846793005ULL + 1442695040888963407ULL;
      c = static_cast<unsigned char>(t >> 56);
    }
  }
  String key;
  for (unsigned char c : raw) key.AddChar(kAlphabet[c % (sizeof kAlphabet - 1)]);
  return key;
}

String BuildUpgradeTrailer(const char* module, int n, const String& sessionkey) {
  MD5 ctx;
  unsigned char digest[16];
  MD5Open(&ctx);
  MD5Digest(&ctx, module, static_cast<unsigned int>(n));
  MD5Close(&ctx, digest);
  String plain;
  plain.CopyData(reinterpret_cast<const char*>(digest), 16);
  return EncodeData(plain, sessionkey, 0);
}

TAgentConnection::TAgentConnection(const String& host, int port, int timeout_ms)
    : host_(host), port_(port), timeout_ms_(timeout_ms) {}

TExchangeStatus TAgentConnection::Connect(String& err) {
  err = "";
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  char service[16];
  snprintf(service, sizeof service, "%d", port_);
  String host = host_;
  int rc = getaddrinfo(host.CStr(), service, &hints, &found);
  if (rc != 0) {
    err = String("cannot resolve ") + host_ + ": " + gai_strerror(rc);
    return kExchangeFailed;
  }
  struct sockaddr_in addr;
  memcpy(&addr, found->ai_addr, sizeof addr);
  freeaddrinfo(found);

  fd_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd_.valid()) {
    err = GetErrorStr(errno);
    return kExchangeFailed;
  }
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms_);
  if (connect(fd_.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINPROGRESS) {
      err = GetErrorStr(errno);
      return kExchangeFailed;
    }
    if (!WaitFor(fd_.get(), POLLOUT, deadline)) {
      err = "connection timed out";
      return kExchangeFailed;
    }
    int pending = 0;
    socklen_t len = sizeof pending;
    getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &pending, &len);
    if (pending != 0) {
      err = GetErrorStr(pending);
      return kExchangeFailed;
    }
  }
  return kReplyReceived;
}

TExchangeStatus TAgentConnection::SendRaw(const char* data, int n, String& err) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms_);
  int done = 0;
  while (done < n) {
    ssize_t w = send(fd_.get(), data + done, static_cast<size_t>(n - done), MSG_NOSIGNAL);
    if (w > 0) {
      done += static_cast<int>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (WaitFor(fd_.get(), POLLOUT, deadline)) continue;
      err = "send timed out";
      return kExchangeFailed;
    }
    if (w < 0 && (errno == EPIPE || errno == ECONNRESET)) {
      err = "the agent closed the connection";
      return kNoReply;
    }
    err = GetErrorStr(errno);
    return kExchangeFailed;
  }
  return kReplyReceived;
}

TExchangeStatus TAgentConnection::ReadExactly(char* buf, int n, String& err) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms_);
  int done = 0;
  while (done < n) {
    ssize_t r = recv(fd_.get(), buf + done, static_cast<size_t>(n - done), 0);
    if (r > 0) {
      done += static_cast<int>(r);
      continue;
    }
    if (r == 0) {
      err = "the agent closed the connection without a reply";
      return kNoReply;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (WaitFor(fd_.get(), POLLIN, deadline)) continue;
      err = "no reply within the time-out";
      return kExchangeFailed;
    }
    if (errno == ECONNRESET) {
      err = "the agent closed the connection without a reply";
      return kNoReply;
    }
    err = GetErrorStr(errno);
    return kExchangeFailed;
  }
  return kReplyReceived;
}

TExchangeStatus TAgentConnection::ReadReply(const String& sessionkey, String& text, String& err) {
  char size[4];
  TExchangeStatus st = ReadExactly(size, 4, err);
  if (st != kReplyReceived) return st;
  uint32_t n = static_cast<uint32_t>(DecodeLength(size, 4));
  // Replies are small; a size this large is a broken or hostile peer.
  if (n > 64u * 1024 * 1024) {
    err = "reply too large";
    return kExchangeFailed;
  }
  String cipher;
  cipher.SetLength(static_cast<int>(n));
  st = ReadExactly(cipher.Data(), static_cast<int>(n), err);
  if (st != kReplyReceived) return st;
  text = DecodeData(cipher, sessionkey);
  return kReplyReceived;
}

TExchangeStatus Exchange(const String& host, int port, int timeout_ms, const String& password,
                         const String& sessionkey, const String& requesttext, String& replytext,
                         String& err) {
  TAgentConnection conn(host, port, timeout_ms);
  TExchangeStatus st = conn.Connect(err);
  if (st != kReplyReceived) return st;
  String packet = BuildRequestPacket(password, sessionkey, requesttext);
  st = conn.SendRaw(packet.Data(), packet.Length(), err);
  if (st != kReplyReceived) return st;
  return conn.ReadReply(sessionkey, replytext, err);
}
