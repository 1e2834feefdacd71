// Guarded access to the process environment. The agent rewrites "TMPDIR"
// when its settings change while other threads read the environment and fork
// children; every read, write and fork goes through one lock so that no
// thread sees the environment half-rewritten.
//
// Thread safety: all functions are safe from any thread; none may be called
// from a signal handler.
#ifndef ORV_BASE_ENVIRONMENT_H_
#define ORV_BASE_ENVIRONMENT_H_

#include <mutex>

#include "base/bytestring.h"

// The value of the variable, and whether it is set at all.
bool GetEnvVar(const char* name, String& value);
// Sets the variable, replacing any earlier value.
void SetEnvVar(const char* name, const String& value);
// Removes the variable.
void UnsetEnvVar(const char* name);
// Held around fork() so that the child inherits a consistent environment.
std::unique_lock<std::mutex> LockEnvironment();

#endif  // ORV_BASE_ENVIRONMENT_H_
