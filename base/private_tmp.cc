#include "base/private_tmp.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/environment.h"
#include "base/oserror.h"

const char kPrivateTmpVar[] = "ORV_PRIVATE_TMP";

namespace {

const char kNamePrefix[] = "orv-";
const size_t kRandomChars = 6;  // what mkdtemp fills in

struct TState {
  std::string folder;  // the configured folder the current one was made in
  std::string dir;     // the current private folder; empty before the first
  std::vector<std::string> retired;  // earlier ones, removed at exit
  pid_t owner = 0;                   // the process that removes them
  bool removal_registered = false;
};

std::mutex g_mutex;
TState& State() {
  static TState* state = new TState;  // never destroyed: used by the exit handler
  return *state;
}

std::atomic<unsigned> g_counter{0};

// "ORV_PRIVATE_TMP=<folder>" for the environment of a re-executed agent.
// A fixed buffer, so the vector handed out once stays valid as the folder
// changes.
char g_exec_entry[4352];
std::vector<char*>* g_exec_env = nullptr;

std::string ErrnoText() { return GetErrorStr(errno).ToStd(); }

std::string Std(const String& s) { return s.ToStd(); }

// The absolute form of folder with every link resolved; empty on failure.
std::string RealFolder(const std::string& folder) {
  char* real = realpath(folder.c_str(), nullptr);
  if (real == nullptr) return std::string();
  std::string out = real;
  free(real);
  return out;
}

std::string Parent(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A folder only this process's user may use: a real folder (not a link),
// owned by the effective user, mode 0700.
bool IsOwnFolder(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
         (st.st_mode & 07777) == 0700;
}

void SetExecEntry(const std::string& dir) {
  std::string entry = std::string(kPrivateTmpVar) + "=";
  // A folder too long to pass on is not passed on: the next instance makes
  // its own instead of taking over a cut name.
  if (entry.size() + dir.size() < sizeof g_exec_entry) entry += dir;
  std::memcpy(g_exec_entry, entry.c_str(), entry.size() + 1);
}

// Unlinks what the folder holds (files, and folders only when empty: the
// private folder is flat, nothing is walked), then the folder itself.
void RemoveFolder(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_uid != geteuid()) {
    close(fd);
    return;
  }
  DIR* d = fdopendir(fd);
  if (d == nullptr) {
    close(fd);
    return;
  }
  while (struct dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    if (unlinkat(fd, e->d_name, 0) != 0 && errno == EISDIR) unlinkat(fd, e->d_name, AT_REMOVEDIR);
  }
  closedir(d);
  rmdir(path.c_str());
}

void RemoveAtExit() { RemovePrivateTmp(); }

// Makes the current folder dir (made under folder); the previous one is
// retired. Called with g_mutex held.
void Install(TState& s, const std::string& folder, const std::string& dir) {
  if (!s.dir.empty() && s.dir != dir) {
    // Gone or no longer ours: forget it. Still ours: remove it now when it
    // is empty, else at exit (a request may still use a file there).
    if (IsOwnFolder(s.dir) && rmdir(s.dir.c_str()) != 0) s.retired.push_back(s.dir);
  }
  s.folder = folder;
  s.dir = dir;
  s.owner = getpid();
  SetExecEntry(dir);
  if (!s.removal_registered) {
    s.removal_registered = true;
    atexit(RemoveAtExit);
  }
}

bool MakeFolder(TState& s, const std::string& folder, std::string& err) {
  String why;
  if (!CheckTempFolder(String(folder.c_str()), why)) {
    err = Std(why);
    return false;
  }
  std::string templ = RealFolder(folder);
  templ += templ == "/" ? "" : "/";
  templ += kNamePrefix;
  templ.append(kRandomChars, 'X');
  if (mkdtemp(&templ[0]) == nullptr || !IsOwnFolder(templ)) {
    err = "Cannot create a private folder in " + folder + ": " + ErrnoText();
    return false;
  }
  Install(s, folder, templ);
  return true;
}

// The inherited folder when it is one a previous instance of this agent
// made in folder and still belongs to this user; else empty.
std::string Inheritable(const std::string& inherited, const std::string& folder) {
  std::string name = inherited.substr(inherited.rfind('/') + 1);
  if (inherited.find('/') == std::string::npos || name.size() != sizeof kNamePrefix - 1 + kRandomChars ||
      name.compare(0, sizeof kNamePrefix - 1, kNamePrefix) != 0) {
    return std::string();
  }
  if (Parent(inherited) != RealFolder(folder) || !IsOwnFolder(inherited)) return std::string();
  return inherited;
}

}  // namespace

String ConfiguredTempFolder() {
  String v;
  if ((GetEnvVar("TMPDIR", v) && !v.IsEmpty()) || (GetEnvVar("TMP", v) && !v.IsEmpty())) {
    while (v.Length() > 1 && v[v.Length()] == '/') v.SetLength(v.Length() - 1);
    return v;
  }
  return String(".");
}

bool CheckTempFolder(const String& folder, String& err) {
  err = "";
  const std::string name = Std(folder);
  std::string path = RealFolder(name);
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0) {
    err = ("Temporary folder " + name + " cannot be used: " + ErrnoText()).c_str();
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    err = ("Temporary folder " + name + " is not a folder").c_str();
    return false;
  }
  // Whoever may rename entries of a folder on the way could put their own
  // folder in place of the agent's: every folder up to the root counts.
  for (;;) {
    if (stat(path.c_str(), &st) != 0) {
      err = ("Temporary folder " + name + " cannot be used: " + ErrnoText()).c_str();
      return false;
    }
    if (st.st_uid != 0 && st.st_uid != geteuid()) {
      err = ("Temporary folder " + name + " is unsafe: " + path + " belongs to another user")
                .c_str();
      return false;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
      err = ("Temporary folder " + name + " is unsafe: " + path +
             " is writable by other users and not sticky")
                .c_str();
      return false;
    }
    if (path == "/") return true;
    path = Parent(path);
  }
}

bool StartPrivateTmp(String& err) {
  err = "";
  String inherited;
  bool passed = GetEnvVar(kPrivateTmpVar, inherited);
  if (passed) UnsetEnvVar(kPrivateTmpVar);
  const std::string folder = Std(ConfiguredTempFolder());
  std::lock_guard<std::mutex> lock(g_mutex);
  TState& s = State();
  if (passed) {
    String why;
    std::string dir = Inheritable(Std(inherited), folder);
    if (!dir.empty() && CheckTempFolder(String(folder.c_str()), why)) {
      Install(s, folder, dir);
      return true;
    }
  }
  std::string why;
  if (!MakeFolder(s, folder, why)) {
    err = why.c_str();
    return false;
  }
  return true;
}

String PrivateTmpFolder(String& err) {
  err = "";
  const std::string folder = Std(ConfiguredTempFolder());
  std::lock_guard<std::mutex> lock(g_mutex);
  TState& s = State();
  // Checked every time: a folder removed behind the agent's back (a cleaner
  // of old temporary files) must not be re-created by someone else and used.
  if (!s.dir.empty() && s.folder == folder && IsOwnFolder(s.dir)) return String(s.dir.c_str());
  std::string why;
  if (!MakeFolder(s, folder, why)) {
    err = why.c_str();
    return String();
  }
  return String(s.dir.c_str());
}

int CreatePrivateFile(const char* name, mode_t mode, String& path, String& err) {
  path = "";
  String dir = PrivateTmpFolder(err);
  if (dir.IsEmpty()) return -1;
  return CreateFileIn(dir, name, mode, path, err);
}

int CreateFileIn(const String& dir, const char* name, mode_t mode, String& path, String& err) {
  path = "";
  err = "";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string p = Std(dir) + "/";
    if (name != nullptr) {
      p += name;
      unlink(p.c_str());  // only the agent can have put it there
    } else {
      p += "tmp-" + std::to_string(g_counter.fetch_add(1));
    }
    int fd;
    do {
      fd = open(p.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
      if (fchmod(fd, mode) != 0) {
        err = ("Cannot set the mode of " + p + ": " + ErrnoText()).c_str();
        close(fd);
        unlink(p.c_str());
        return -1;
      }
      path = p.c_str();
      return fd;
    }
    if (errno != EEXIST || name != nullptr) break;
  }
  err = ("Cannot create a file in " + Std(dir) + ": " + ErrnoText()).c_str();
  return -1;
}

char** PrivateTmpExecEnv(char** envp) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_exec_env == nullptr) {
    g_exec_env = new std::vector<char*>;
    const size_t n = std::strlen(kPrivateTmpVar);
    for (char** e = envp; e != nullptr && *e != nullptr; ++e) {
      if (std::strncmp(*e, kPrivateTmpVar, n) == 0 && (*e)[n] == '=') continue;
      g_exec_env->push_back(*e);
    }
    if (g_exec_entry[0] == '\0') SetExecEntry(State().dir);
    g_exec_env->push_back(g_exec_entry);
    g_exec_env->push_back(nullptr);
  }
  return g_exec_env->data();
}

void RemovePrivateTmp() {
  std::lock_guard<std::mutex> lock(g_mutex);
  TState& s = State();
  if (s.owner != getpid()) return;
  for (const std::string& dir : s.retired) RemoveFolder(dir);
  s.retired.clear();
  if (!s.dir.empty()) RemoveFolder(s.dir);
  s.dir.clear();
  s.folder.clear();
}
