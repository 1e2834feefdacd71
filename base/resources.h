// Small owners for the operating-system resources the agent uses: file
// descriptors, C streams and directory streams. Each closes what it owns when
// it goes out of scope, is movable and not copyable.
//
// Thread safety: an owner object belongs to one thread at a time.
#ifndef ORV_BASE_RESOURCES_H_
#define ORV_BASE_RESOURCES_H_

#include <dirent.h>

#include <cstdio>
#include <utility>

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

class UniqueFile {
 public:
  UniqueFile() = default;
  explicit UniqueFile(FILE* f) : f_(f) {}
  UniqueFile(UniqueFile&& other) noexcept : f_(std::exchange(other.f_, nullptr)) {}
  UniqueFile& operator=(UniqueFile&& other) noexcept {
    if (this != &other) reset(std::exchange(other.f_, nullptr));
    return *this;
  }
  UniqueFile(const UniqueFile&) = delete;
  UniqueFile& operator=(const UniqueFile&) = delete;
  ~UniqueFile() { reset(); }

  FILE* get() const { return f_; }
  explicit operator bool() const { return f_ != nullptr; }
  // Closes now and reports whether everything buffered reached the file.
  bool close();
  void reset(FILE* f = nullptr);

 private:
  FILE* f_ = nullptr;
};

class UniqueDir {
 public:
  UniqueDir() = default;
  explicit UniqueDir(DIR* d) : d_(d) {}
  UniqueDir(UniqueDir&& other) noexcept : d_(std::exchange(other.d_, nullptr)) {}
  UniqueDir& operator=(UniqueDir&& other) noexcept {
    if (this != &other) reset(std::exchange(other.d_, nullptr));
    return *this;
  }
  UniqueDir(const UniqueDir&) = delete;
  UniqueDir& operator=(const UniqueDir&) = delete;
  ~UniqueDir() { reset(); }

  DIR* get() const { return d_; }
  explicit operator bool() const { return d_ != nullptr; }
  void reset(DIR* d = nullptr);

 private:
  DIR* d_ = nullptr;
};

#endif  // ORV_BASE_RESOURCES_H_
