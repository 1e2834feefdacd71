#include "base/resources.h"

#include <unistd.h>

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);  // close is not retried on EINTR: the fd is gone either way.
  fd_ = fd;
}

bool UniqueFile::close() {
  if (!f_) return true;
  bool ok = std::fclose(f_) == 0;
  f_ = nullptr;
  return ok;
}

void UniqueFile::reset(FILE* f) {
  if (f_) std::fclose(f_);
  f_ = f;
}

void UniqueDir::reset(DIR* d) {
  if (d_) ::closedir(d_);
  d_ = d;
}
