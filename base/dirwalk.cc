#include "base/dirwalk.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "base/paths.h"

namespace {

// The stream owns the descriptor from here on; it is closed with the stream.
int Adopt(int fd, UniqueDir& dir, int& fd_out) {
  if (fd < 0) return errno > 0 ? errno : ENOENT;
  DIR* d = fdopendir(fd);
  if (d == nullptr) {
    int err = errno > 0 ? errno : ENOENT;
    close(fd);
    return err;
  }
  dir.reset(d);
  fd_out = fd;
  return 0;
}

int OpenDirFd(int at, const char* path, int flags = 0) {
  int fd;
  do {
    fd = openat(at, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | flags);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Levels of a tree walk that keep their descriptor open; higher ones are
// found again through "..".
constexpr size_t kOpenLevels = 16;

struct Frame {
  UniqueFd fd;  // closed for levels far above the current one
  dev_t dev = 0;
  ino_t ino = 0;
  int64_t total = 0;                   // own share plus finished subfolders
  std::vector<TTreeVisitor::Sub> subs;  // still to walk, taken from the back
};

// Scans the folder open on fd and pushes its level. False when the visitor
// finds it not searchable (or it cannot be read): nothing is pushed.
bool Enter(UniqueFd fd, int kind, TTreeVisitor& visitor, std::vector<Frame>& stack) {
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return false;
  Frame f;
  {
    TDirWalk dir;
    if (dir.OpenDup(fd.get()) != 0) return false;
    if (!visitor.Scan(dir, kind, &f.total, &f.subs)) return false;
  }
  f.fd = std::move(fd);
  f.dev = st.st_dev;
  f.ino = st.st_ino;
  stack.push_back(std::move(f));
  return true;
}

}  // namespace

int AttrFromMode(mode_t mode) {
  if (S_ISDIR(mode)) return AttrDirectory;
  if (S_ISREG(mode)) return 0;
  if (S_ISLNK(mode)) return AttrSymLink | AttrSystem;
  return AttrSystem;
}

int TDirWalk::Open(const String& dir) {
  dir_.reset();
  fd_ = -1;
  // The same directory FindFirst would open: empty means the working one.
  String path = dir.IsEmpty() ? GetCurrentDir() : dir;
  path = IncludeTrailingPathDelimiter(path);
  return Adopt(OpenDirFd(AT_FDCWD, path.CStr()), dir_, fd_);
}

int TDirWalk::OpenDup(int fd) {
  dir_.reset();
  fd_ = -1;
  return Adopt(fcntl(fd, F_DUPFD_CLOEXEC, 0), dir_, fd_);
}

bool TDirWalk::Next(TDirEntry& entry) {
  if (!dir_) return false;
  struct dirent* ent = readdir(dir_.get());
  if (ent == nullptr) return false;
  const char* name = ent->d_name;
  entry.name = name;
  entry.type_attr = AttrFromDirentType(ent->d_type);
  entry.dot_or_dotdot = name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
  entry.hidden = name[0] == '.' && !entry.dot_or_dotdot;
  return true;
}

void TDirWalk::Rewind() {
  if (dir_) rewinddir(dir_.get());
}

bool TDirWalk::LStat(const char* name, struct stat& st) const {
  return fd_ >= 0 && fstatat(fd_, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool TDirWalk::Stat(const char* name, struct stat& st) const {
  return fd_ >= 0 && fstatat(fd_, name, &st, 0) == 0;
}

bool TDirWalk::Writable(const char* name) const {
  return fd_ >= 0 && faccessat(fd_, name, W_OK, 0) == 0;
}

int TDirWalk::TypeAttr(const TDirEntry& entry, struct stat& st, bool* statted) const {
  *statted = false;
  if (entry.type_attr >= 0) return entry.type_attr;
  if (!LStat(entry.name, st)) return -1;
  *statted = true;
  return AttrFromMode(st.st_mode);
}

int64_t WalkTree(const String& top, int kind, TTreeVisitor& visitor) {
  String path = top.IsEmpty() ? GetCurrentDir() : top;
  path = IncludeTrailingPathDelimiter(path);
  UniqueFd top_fd(OpenDirFd(AT_FDCWD, path.CStr()));
  if (!top_fd.valid()) return -1;
  std::vector<Frame> stack;
  if (!Enter(std::move(top_fd), kind, visitor, stack)) return -1;
  for (;;) {
    Frame& f = stack.back();
    if (!f.subs.empty()) {
      TTreeVisitor::Sub sub = std::move(f.subs.back());
      f.subs.pop_back();
      if (stack.size() >= static_cast<size_t>(kMaxTreeDepth)) return -1;
      UniqueFd child(OpenDirFd(f.fd.get(), sub.name.CStr(), O_NOFOLLOW));
      if (!child.valid()) continue;
      if (!Enter(std::move(child), sub.kind, visitor, stack)) continue;
      if (stack.size() > kOpenLevels) stack[stack.size() - 1 - kOpenLevels].fd.reset();
      continue;
    }
    Frame done = std::move(f);
    stack.pop_back();
    if (stack.empty()) return done.total;
    Frame& parent = stack.back();
    if (!parent.fd.valid()) {
      UniqueFd up(OpenDirFd(done.fd.get(), "..", O_NOFOLLOW));
      struct stat st;
      if (!up.valid() || fstat(up.get(), &st) != 0 || st.st_dev != parent.dev ||
          st.st_ino != parent.ino) {
        return -1;  // moved away under the walk: its totals would be someone else's
      }
      parent.fd = std::move(up);
    }
    parent.total += done.total;
  }
}
