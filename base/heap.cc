#include "base/heap.h"

#include <cstdlib>  // defines __GLIBC__ with the C library's other features

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {
// Below this a buffer comes from the heap; the figure is the C library's own
// starting threshold, now fixed.
constexpr int kOwnPagesFrom = 128 * 1024;
}  // namespace

void KeepLargeBuffersApart() {
#if defined(__GLIBC__)
  mallopt(M_MMAP_THRESHOLD, kOwnPagesFrom);
#endif
}

void ReturnFreedMemory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}
