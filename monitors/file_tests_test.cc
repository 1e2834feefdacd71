#include "monitors/file_tests.h"

#include <fnmatch.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <random>
#include <string>

#include "base/paths.h"
#include "tests/testutil.h"

namespace {

using testutil::TempDir;
using testutil::WriteFile;

void SetMtime(const std::string& path, time_t t) {
  struct timeval tv[2] = {{t, 0}, {t, 0}};
  ASSERT_EQ(lutimes(path.c_str(), tv), 0) << path;
}

bool IsDots(const char* name) {
  return !strcmp(name, ".") || !strcmp(name, "..");
}

// The computations written plainly with FindFirst/FindNext, as the walk
// must answer: the fast walk is checked against these on random trees.
int64_t RefFolderSize(const String& path, int recurse) {
  String folder = path, mask("*");
  if (!DirectoryExists(String(path).CStr())) {
    mask = ExtractFileName(path);
    folder = ExtractFilePath(path);
  }
  TSearchRec rec;
  if (FindFirst(folder, String("*"), 63, rec) != 0) {
    FindClose(rec);
    return -1;
  }
  int64_t total = 0;
  do {
    if (rec.Attr & AttrDirectory) {
      if (recurse && !IsDots(rec.Name)) {
        int64_t sub = RefFolderSize(rec.DirPath + rec.Name + "/" + mask, recurse);
        if (sub >= 0) total += sub;
      }
    } else if (fnmatch(mask.CStr(), rec.Name, 0) == 0) {
      total += rec.Size;
    }
  } while (FindNext(rec) == 0);
  FindClose(rec);
  return total;
}

int RefCountFiles(String folder, const String& mask, int recurse, TCountFilesMode mode, int limit) {
  if (!folder.IsEmpty() && folder[folder.Length()] != '/') folder += "/";
  TSearchRec rec;
  int count = 0;
  if (FindFirst(folder, mask, 63, rec) != 0) {
    FindClose(rec);
    if (!recurse) {
      int r = FindFirst(folder, String("*"), 16, rec);
      FindClose(rec);
      return r == 0 ? 0 : -1;
    }
  } else {
    do {
      if (rec.Attr & AttrDirectory) {
        if (mode == cfmSubFolders && !IsDots(rec.Name)) ++count;
        continue;
      }
      String path = folder + rec.Name;
      int64_t age = sec2min(FileAge(path.CStr()));
      switch (mode) {
        case cfmAllFiles:
          ++count;
          break;
        case cfmOlderThan:
          count += age < now_min() - limit;
          break;
        case cfmNewerThan:
          count += age > now_min() - limit;
          break;
        case cfmBiggerThan:
          count += rec.Size > int64_t{limit};
          break;
        case cfmSmallerThan:
          count += rec.Size < int64_t{limit};
          break;
        case cfmSubFolders:
          break;
      }
    } while (FindNext(rec) == 0);
    FindClose(rec);
  }
  if (recurse) {
    if (FindFirst(folder, String("*"), 16, rec) != 0) {
      FindClose(rec);
      return -1;
    }
    do {
      if ((rec.Attr & AttrDirectory) && !IsDots(rec.Name)) {
        int sub = RefCountFiles(folder + rec.Name, mask, recurse, mode, limit);
        if (sub >= 0) count += sub;
      }
    } while (FindNext(rec) == 0);
    FindClose(rec);
  }
  return count;
}

// A random tree with files of random sizes and ages, hidden entries, links,
// a fifo, and folders named like the masks used below.
void BuildRandomTree(const std::string& root, unsigned seed) {
  std::mt19937 rng(seed);
  const char* names[] = {"a.log", "b.txt", ".hidden.log", "c.log", "d", "*.log", "e.LOG", "x"};
  std::vector<std::string> dirs = {root};
  const time_t now = time(nullptr);
  for (int i = 0; i < 12; ++i) {
    std::string parent = dirs[rng() % dirs.size()];
    std::string name = (rng() % 4 == 0)
                           ? ".sub" + std::to_string(i)
                           : (rng() % 5 == 0 ? std::string("x") : "sub" + std::to_string(i));
    std::string d = parent + "/" + name;
    if (mkdir(d.c_str(), 0755) == 0) dirs.push_back(d);
  }
  for (const std::string& d : dirs) {
    for (const char* n : names) {
      if (rng() % 3 == 0) continue;
      std::string f = d + "/" + n;
      struct stat st;
      if (lstat(f.c_str(), &st) == 0) continue;  // a folder of that name
      WriteFile(f, std::string(rng() % 300, 'q'));
      SetMtime(f, now - static_cast<time_t>(rng() % 7200));
    }
    if (rng() % 2) symlink((d + "/a.log").c_str(), (d + "/link.log").c_str());
    if (rng() % 3 == 0) symlink(root.c_str(), (d + "/dirlink").c_str());
  }
  mkfifo((root + "/pipe.log").c_str(), 0644);
}

// The fast walks against the plain searches on random trees, every mask,
// mode and recursion; a minute that turns meanwhile measures again, as the
// age modes count against the current minute.
TEST(FileTestsWalk, AgreesWithPlainSearchOnRandomTrees) {
  TempDir empty;
  for (int rec = 0; rec <= 1; ++rec) {
    EXPECT_EQ(CountFiles(String(empty.path().c_str()), String("*"), rec, cfmAllFiles, 0), 0);
    EXPECT_EQ(CountFiles(String(empty.File("no").c_str()), String("*"), rec, cfmAllFiles, 0), -1);
  }
  const char* size_masks[] = {"", "*", "*.log", "x", "d", "?.log", "*.LOG"};
  const char* count_masks[] = {"*", "*.log", "x", "", "sub*", ".*"};
  for (unsigned seed = 1; seed <= 5; ++seed) {
    TempDir t;
    BuildRandomTree(t.path(), seed);
    for (int rec = 0; rec <= 1; ++rec) {
      for (const char* m : size_masks) {
        String p((t.path() + "/" + m).c_str());
        EXPECT_EQ(GetFolderSize(p, rec), RefFolderSize(p, rec)) << seed << " " << m << " " << rec;
      }
      for (const char* m : count_masks) {
        for (int mode = 0; mode < kCountFilesModes; ++mode) {
          const int limit = mode >= 3 ? 150 : 60;
          auto md = static_cast<TCountFilesMode>(mode);
          String f(t.path().c_str());
          int got = 0, want = 0;
          for (int attempt = 0; attempt < 3; ++attempt) {
            const int64_t minute = now_min();
            got = CountFiles(f, String(m), rec, md, limit);
            want = RefCountFiles(f, String(m), rec, md, limit);
            if (now_min() == minute) break;
          }
          EXPECT_EQ(got, want) << seed << " mask '" << m << "' mode " << mode << " rec " << rec;
        }
      }
    }
  }
}

}  // namespace
