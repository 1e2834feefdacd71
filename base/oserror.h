// The boundary where the operating system's error numbers become text, and
// the I/O loops that retry interrupted calls and finish short transfers.
//
// Thread safety: every function may be called from any thread.
#ifndef ORV_BASE_OSERROR_H_
#define ORV_BASE_OSERROR_H_

#include <sys/types.h>

#include "base/bytestring.h"

// The system's message text for an error number; empty when it has none.
String GetErrorStr(int errnum);

// write() until all n bytes are written, retrying EINTR. Returns n, or -1
// with errno set.
ssize_t WriteFull(int fd, const void* buf, size_t n);
// send() with MSG_NOSIGNAL until all n bytes are sent, retrying EINTR.
ssize_t SendFull(int fd, const void* buf, size_t n);
// SendFull for a peer that may stop reading: gives up with -1 and errno
// ETIMEDOUT when the peer takes no byte for stall_ms milliseconds.
ssize_t SendFullWithin(int fd, const void* buf, size_t n, int stall_ms);
// read() once, retrying EINTR. Returns what read() returns.
ssize_t ReadRetry(int fd, void* buf, size_t n);

#endif  // ORV_BASE_OSERROR_H_
