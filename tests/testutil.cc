#include "tests/testutil.h"

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "config/settings.h"

namespace testutil {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  path_ = std::string(base && *base ? base : "/tmp") + "/orvtest-XXXXXX";
  if (!mkdtemp(&path_[0])) throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests lock folders out; give them back first so that they can go.
  for (auto it = fs::recursive_directory_iterator(path_, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

void WriteScript(const std::string& path, const std::string& body, unsigned mode) {
  WriteFile(path, "#!/bin/sh\n" + body);
  chmod(path.c_str(), mode);
}

bool Exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

std::string FromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; hex != "-" && i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::string ToHex(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) out += {"0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
  return out;
}

std::vector<std::vector<std::string>> ReadVectors(const std::string& name) {
  std::ifstream in(std::string(ORV_TEST_DATA_DIR) + "/" + name);
  if (!in) throw std::runtime_error("missing test data " + name);
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(in, line);) {
    std::istringstream ss(line);
    std::vector<std::string> fields;
    for (std::string f; line[0] != '#' && ss >> f;) fields.push_back(f);
    if (!fields.empty()) rows.push_back(fields);
  }
  return rows;
}

bool Eventually(const std::function<bool()>& cond, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!cond()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

ScopedSettings::ScopedSettings()
    : saved_(ORVSettings.Get()), edit_(std::make_unique<TORVSettings>(*saved_)) {
  const char* t = getenv("TMPDIR");
  if ((had_tmpdir_ = t != nullptr)) tmpdir_ = t;
}

ScopedSettings::~ScopedSettings() {
  ORVSettings.Publish(*saved_);
  had_tmpdir_ ? setenv("TMPDIR", tmpdir_.c_str(), 1) : unsetenv("TMPDIR");
}

void ScopedSettings::Publish() {
  ORVSettings.Publish(*edit_);
}

UniqueFd BoundLoopback(int type, int* port) {
  UniqueFd fd(socket(AF_INET, type | SOCK_CLOEXEC, 0));
  struct sockaddr_in a = LoopbackAddr(0);
  socklen_t len = sizeof a;
  if (!fd.valid() || bind(fd.get(), reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(fd.get(), reinterpret_cast<struct sockaddr*>(&a), &len) != 0)
    throw std::runtime_error("cannot bind a loopback socket");
  *port = ntohs(a.sin_port);
  return fd;
}

int ClosedPort(int type) {
  int port = 0;
  BoundLoopback(type, &port);
  return port;
}

namespace {

bool Readable(int fd, int timeout_ms) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1;
}

// Runs once() for each readiness of fd, for at most 20 s; once stop is set
// it goes on while something is still waiting (a client the test already
// started is served).
void ServeUntilStopped(int fd, const std::atomic<bool>& stop, const std::function<void()>& once) {
  for (const auto deadline = Clock::now() + std::chrono::seconds(20); Clock::now() < deadline;) {
    if (Readable(fd, 20))
      once();
    else if (stop)
      break;
  }
}

}  // namespace

std::string ReadFor(int fd, size_t max, int timeout_ms) {
  std::string got;
  char buf[4096];
  for (ssize_t n; got.size() < max && Readable(fd, timeout_ms); got.append(buf, n)) {
    if ((n = recv(fd, buf, std::min(sizeof buf, max - got.size()), 0)) <= 0) break;
  }
  return got;
}

LoopbackTcp::LoopbackTcp(std::function<void(int fd)> serve) {
  fd_ = BoundLoopback(SOCK_STREAM, &port_);
  listen(fd_.get(), 8);
  thread_ = std::thread([this, serve] {
    ServeUntilStopped(fd_.get(), stop_, [&] {
      UniqueFd conn(accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (conn.valid()) serve(conn.get());
    });
  });
}

LoopbackUdp::LoopbackUdp(bool echo) {
  fd_ = BoundLoopback(SOCK_DGRAM, &port_);
  thread_ = std::thread([this, echo] {
    ServeUntilStopped(fd_.get(), stop_, [&] {
      char buf[2048];
      struct sockaddr_in from = {};
      socklen_t len = sizeof from;
      ssize_t n = recvfrom(fd_.get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n >= 0 && ++received_ && echo)
        sendto(fd_.get(), buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), len);
    });
  });
}

LoopbackServer::~LoopbackServer() {
  stop_ = true;
  thread_.join();
}

}  // namespace testutil
