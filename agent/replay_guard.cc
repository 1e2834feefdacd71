#include "agent/replay_guard.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "crypto/md5.h"

namespace {

constexpr char kMagic[8] = {'o', 'r', 'v', 'r', 'p', 'l', 'y', '1'};
constexpr size_t kHeader = 64;

int64_t MonotonicSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);  // shared by every process of the boot
  return ts.tv_sec;
}

void SetCloseOnExec(int fd, bool on) {
  int flags = fcntl(fd, F_GETFD);
  if (flags >= 0) fcntl(fd, F_SETFD, on ? (flags | FD_CLOEXEC) : (flags & ~FD_CLOEXEC));
}

// One remembered request: its digest and its stamp, the second it was
// accepted plus one (0 marks a free slot) shifted left by kOrderBits, below
// which a counter orders the requests of the same second, so that the one
// dropped from a full neighbourhood is really the earliest.
constexpr int kOrderBits = 24;
struct TSlot {
  unsigned char digest[16];
  int64_t stamp;
};
static_assert(sizeof(TSlot) == 24, "slots are packed without padding");

constexpr size_t kTableBytes = kHeader + sizeof(TSlot) * TReplayGuard::kSlots;

}  // namespace

TReplayGuard::~TReplayGuard() {
  if (map_) munmap(map_, kTableBytes);
  if (fd_ >= 0) close(fd_);
}

bool TReplayGuard::Map(int fd) {
  void* m = mmap(nullptr, kTableBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (m == MAP_FAILED) return false;
  map_ = static_cast<unsigned char*>(m);
  fd_ = fd;
  return true;
}

bool TReplayGuard::EnsureTable() {
  if (map_) return true;
  int fd = memfd_create("orv-replay", MFD_CLOEXEC);
  if (fd < 0) return false;
  if (ftruncate(fd, static_cast<off_t>(kTableBytes)) != 0 || !Map(fd)) {
    close(fd);
    return false;
  }
  std::memcpy(map_, kMagic, sizeof kMagic);
  return true;
}

bool TReplayGuard::Repeated(const String& encrypted_key, int window_seconds) {
  if (window_seconds <= 0) return false;
  unsigned char digest[16];
  MD5 ctx;
  MD5Open(&ctx);
  MD5Digest(&ctx, encrypted_key.Data(), static_cast<unsigned int>(encrypted_key.Length()));
  MD5Close(&ctx, digest);
  uint64_t place;
  std::memcpy(&place, digest, sizeof place);

  std::lock_guard<std::mutex> lock(mutex_);
  if (!EnsureTable()) return false;
  TSlot* slots = reinterpret_cast<TSlot*>(map_ + kHeader);
  const int64_t now = MonotonicSeconds();
  TSlot* free_slot = nullptr;
  TSlot* earliest = nullptr;
  for (int i = 0; i < kProbe; ++i) {
    TSlot& s = slots[(place + static_cast<uint64_t>(i)) & (kSlots - 1)];
    bool live = s.stamp != 0 && (s.stamp >> kOrderBits) - 1 + window_seconds > now;
    if (live && std::memcmp(s.digest, digest, sizeof digest) == 0) return true;
    if (!live) {
      if (!free_slot) free_slot = &s;
    } else if (!earliest || s.stamp < earliest->stamp) {
      earliest = &s;
    }
  }
  TSlot* mine = free_slot ? free_slot : earliest;
  std::memcpy(mine->digest, digest, sizeof digest);
  mine->stamp = ((now + 1) << kOrderBits) | (order_++ & ((int64_t{1} << kOrderBits) - 1));
  return false;
}

void TReplayGuard::Adopt() {
  const char* text = getenv(kReplayFdVariable);
  if (!text) return;
  char* end = nullptr;
  long fd = strtol(text, &end, 10);
  unsetenv(kReplayFdVariable);
  if (end == text || *end != 0 || fd < 3 || fd > 65535) return;
  // Only an anonymous memory file of exactly the table's size and mark is
  // taken; anything else under that number is left alone.
  struct stat st;
  if (fstat(static_cast<int>(fd), &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_size != static_cast<off_t>(kTableBytes))
    return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (map_ || !Map(static_cast<int>(fd))) return;
  if (std::memcmp(map_, kMagic, sizeof kMagic) != 0) {
    munmap(map_, kTableBytes);
    map_ = nullptr;
    fd_ = -1;
    return;
  }
  SetCloseOnExec(fd_, true);
}

char** TReplayGuard::PrepareExec(char** envp) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!map_) return envp;
  const std::string prefix = std::string(kReplayFdVariable) + "=";
  env_text_.clear();
  env_.clear();
  for (char** e = envp; e && *e; ++e) {
    if (std::strncmp(*e, prefix.c_str(), prefix.size()) != 0) env_.push_back(*e);
  }
  env_text_.push_back(prefix + std::to_string(fd_));
  env_.push_back(&env_text_.back()[0]);
  env_.push_back(nullptr);
  SetCloseOnExec(fd_, false);
  return env_.data();
}

void TReplayGuard::ExecFailed() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ >= 0) SetCloseOnExec(fd_, true);
}

TReplayGuard& ReplayGuard() {
  // Never destroyed: detached session threads may consult it to the end.
  static TReplayGuard* guard = new TReplayGuard;
  return *guard;
}
