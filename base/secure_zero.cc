#include "base/secure_zero.h"

#include <string.h>

void SecureZero(void* p, size_t n) {
  if (p == nullptr || n == 0) return;
  explicit_bzero(p, n);
}
