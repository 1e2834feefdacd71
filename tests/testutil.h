// Helpers of the unit and end-to-end tests. Thread safety: the free
// functions may be called from any thread; a ScopedSettings belongs to the
// test's thread; a loopback server works on a thread of its own.
#ifndef ORV_TESTS_TESTUTIL_H_
#define ORV_TESTS_TESTUTIL_H_

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/bytestring.h"
#include "base/resources.h"

class TORVSettings;

namespace testutil {

// Threads of an idle agent (the thread sanitizer adds one of its own).
#if defined(__SANITIZE_THREAD__)
constexpr int kIdleThreads = 2;
#else
constexpr int kIdleThreads = 1;
#endif

// A fresh folder under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
void WriteScript(const std::string& path, const std::string& body, unsigned mode = 0755);
bool Exists(const std::string& path);
std::string FromHex(const std::string& hex);  // "-" is the empty string
std::string ToHex(const std::string& bytes);
inline std::string S(const String& s) {
  return s.ToStd();
}
// The lines of tests/data/<name> that are not comments, split at blanks.
std::vector<std::vector<std::string>> ReadVectors(const std::string& name);
// True once cond() holds, polled every 20 ms for at most timeout_ms.
bool Eventually(const std::function<bool()>& cond, int timeout_ms);
size_t Occurrences(const std::string& text, const std::string& what);
// The number after "\n<key>=" in a reply, or -1.
inline long ReplyNumber(const std::string& reply, const std::string& key) {
  const size_t at = reply.find("\n" + key + "=");
  return at == std::string::npos ? -1 : strtol(reply.c_str() + at + key.size() + 2, nullptr, 10);
}

// The published settings and TMPDIR as they were, put back when this goes.
// edit() is a copy to change and Publish().
class ScopedSettings {
 public:
  ScopedSettings();
  ~ScopedSettings();
  ScopedSettings(const ScopedSettings&) = delete;
  ScopedSettings& operator=(const ScopedSettings&) = delete;
  TORVSettings& edit() { return *edit_; }
  void Publish();

 private:
  std::shared_ptr<const TORVSettings> saved_;
  std::unique_ptr<TORVSettings> edit_;
  bool had_tmpdir_ = false;
  std::string tmpdir_;
};

inline sockaddr_in LoopbackAddr(int port) {
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}
// A socket of type bound to 127.0.0.1 on a port the system picks (*port).
UniqueFd BoundLoopback(int type, int* port);
// A port on 127.0.0.1 where nothing listens.
int ClosedPort(int type);
// Reads until the peer closes, max bytes came, or timeout_ms pass idle.
std::string ReadFor(int fd, size_t max, int timeout_ms);

// Servers on 127.0.0.1 until destroyed (20 s at most). LoopbackTcp hands
// each connection in turn to serve(fd), which must return within seconds;
// LoopbackUdp echoes each datagram (or not) and counts them.
class LoopbackServer {
 public:
  ~LoopbackServer();
  int port() const { return port_; }

 protected:
  UniqueFd fd_;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> received_{0};
  std::thread thread_;
};
class LoopbackTcp : public LoopbackServer {
 public:
  explicit LoopbackTcp(std::function<void(int fd)> serve);
};
class LoopbackUdp : public LoopbackServer {
 public:
  explicit LoopbackUdp(bool echo);
  int received() const { return received_; }
};

}  // namespace testutil

#endif  // ORV_TESTS_TESTUTIL_H_
