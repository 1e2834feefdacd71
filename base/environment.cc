#include "base/environment.h"

#include <cstdlib>

namespace {

std::mutex& EnvMutex() {
  static std::mutex m;
  return m;
}

}  // namespace

bool GetEnvVar(const char* name, String& value) {
  std::lock_guard<std::mutex> lock(EnvMutex());
  const char* v = std::getenv(name);
  value = v;
  return v != nullptr;
}

void SetEnvVar(const char* name, const String& value) {
  std::lock_guard<std::mutex> lock(EnvMutex());
  String copy = value;
  setenv(name, copy.CStr(), 1);
}

void UnsetEnvVar(const char* name) {
  std::lock_guard<std::mutex> lock(EnvMutex());
  unsetenv(name);
}

std::unique_lock<std::mutex> LockEnvironment() { return std::unique_lock<std::mutex>(EnvMutex()); }
