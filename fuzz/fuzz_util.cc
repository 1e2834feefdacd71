#include "fuzz/fuzz_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "base/resources.h"

namespace fuzzutil {

namespace {

std::string* g_dir = nullptr;  // the scratch folder, made once per process

void RemoveScratch() {
  if (g_dir == nullptr) return;
  std::vector<std::string> names;
  {
    UniqueDir d(opendir(g_dir->c_str()));
    if (d) {
      while (struct dirent* e = readdir(d.get())) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
      }
    }
  }
  for (const std::string& n : names) unlink((*g_dir + "/" + n).c_str());
  rmdir(g_dir->c_str());
}

[[noreturn]] void Fail(const char* what, const std::string& path) {
  std::fprintf(stderr, "fuzz scratch: %s %s failed (errno %d)\n", what, path.c_str(), errno);
  std::abort();
}

}  // namespace

const std::string& ScratchDir() {
  if (g_dir == nullptr) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/orv-fuzz-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) Fail("mkdtemp", pattern);
    g_dir = new std::string(buf.data());
    std::atexit(RemoveScratch);
  }
  return *g_dir;
}

std::string ScratchFile(const std::string& name) { return ScratchDir() + "/" + name; }

void WriteBytes(const std::string& path, const uint8_t* data, size_t n, bool append) {
  // A fresh file rather than a truncated one: some file systems flush a
  // truncated file to disk when it is closed, which costs a disk write per run.
  if (!append) unlink(path.c_str());
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_EXCL);
  UniqueFd fd(open(path.c_str(), flags, 0600));
  if (fd.get() < 0) Fail("open", path);
  size_t done = 0;
  while (done < n) {
    ssize_t w = write(fd.get(), data + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) Fail("write", path);
    done += static_cast<size_t>(w);
  }
}

void RemoveFile(const std::string& path) { unlink(path.c_str()); }

}  // namespace fuzzutil
