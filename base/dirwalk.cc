#include "base/dirwalk.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/paths.h"

namespace {

int AttrFromDirentType(unsigned char d_type) {
  switch (d_type) {
    case DT_DIR:
      return AttrDirectory;
    case DT_REG:
      return 0;
    case DT_LNK:
      return AttrSymLink | AttrSystem;
    case DT_UNKNOWN:
      return -1;
    default:
      return AttrSystem;
  }
}

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

int OpenDirFd(int at, const char* path) {
  int fd;
  do {
    fd = openat(at, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
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

int TDirWalk::OpenAt(const TDirWalk& parent, const char* name) {
  dir_.reset();
  fd_ = -1;
  if (!parent.IsOpen()) return EBADF;
  return Adopt(OpenDirFd(parent.fd_, name), dir_, fd_);
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
