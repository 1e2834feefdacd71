#include "base/oserror.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// strerror_r comes in two flavours; both overloads pick the right result.
[[maybe_unused]] const char* ErrorText(int result, const char* buf) { return result == 0 ? buf : ""; }
[[maybe_unused]] const char* ErrorText(const char* result, const char*) { return result ? result : ""; }

}  // namespace

String GetErrorStr(int errnum) {
  char buf[1024];
  buf[0] = 0;
  return String(ErrorText(strerror_r(errnum, buf, sizeof buf), buf));
}

ssize_t WriteFull(int fd, const void* buf, size_t n) {
  const char* p = static_cast<const char*>(buf);
  size_t done = 0;
  while (done < n) {
    ssize_t w = ::write(fd, p + done, n - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    done += static_cast<size_t>(w);
  }
  return static_cast<ssize_t>(done);
}

ssize_t SendFull(int fd, const void* buf, size_t n) {
  const char* p = static_cast<const char*>(buf);
  size_t done = 0;
  while (done < n) {
    ssize_t w = ::send(fd, p + done, n - done, MSG_NOSIGNAL);
    if (w < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    done += static_cast<size_t>(w);
  }
  return static_cast<ssize_t>(done);
}

ssize_t SendFullWithin(int fd, const void* buf, size_t n, int stall_ms) {
  const char* p = static_cast<const char*>(buf);
  size_t done = 0;
  while (done < n) {
    ssize_t w = ::send(fd, p + done, n - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w >= 0) {
      done += static_cast<size_t>(w);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    struct pollfd pf = {fd, POLLOUT, 0};
    int r;
    do {
      r = ::poll(&pf, 1, stall_ms);
    } while (r < 0 && errno == EINTR);
    if (r == 0) errno = ETIMEDOUT;
    if (r <= 0) return -1;
  }
  return static_cast<ssize_t>(done);
}

ssize_t ReadRetry(int fd, void* buf, size_t n) {
  ssize_t r;
  do {
    r = ::read(fd, buf, n);
  } while (r < 0 && errno == EINTR);
  return r;
}
