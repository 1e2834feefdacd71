// Wiping secrets: passwords, keys, key schedules and decrypted texts are
// overwritten before their memory goes back to the allocator or the stack
// frame ends, so that a later bug that reads freed or uninitialised memory,
// or a core dump, finds nothing of them.
//
// Thread safety: touches only the bytes it is given.
#ifndef ORV_BASE_SECURE_ZERO_H_
#define ORV_BASE_SECURE_ZERO_H_

#include <cstddef>

// Sets n bytes at p to zero; never dropped by the compiler as a dead store.
// A null p or n 0 does nothing.
void SecureZero(void* p, size_t n);

#endif  // ORV_BASE_SECURE_ZERO_H_
