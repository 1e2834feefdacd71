#include "monitors/file_tests.h"

#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "agent/handlers.h"
#include "base/childproc.h"
#include "base/dirwalk.h"
#include "base/oserror.h"
#include "base/paths.h"
#include "monitors/file_macros.h"
#include "protocol/value_codec.h"

const char* const CountFilesModeName[kCountFilesModes] = {
    "AllFiles", "OlderThan", "NewerThan", "BiggerThan", "SmallerThan", "SubFolders"};

int64_t sec2min(int64_t seconds) {
  return seconds / 60;
}

int64_t now_min() {
  return sec2min(static_cast<int64_t>(time(nullptr)));
}

bool GetUNCDriveInfo(const char* path, int64_t& total, int64_t& free, int64_t& available) {
  if (path == nullptr) {
    errno = EFAULT;
    return false;
  }
  struct statfs fs;
  int r;
  do {
    r = statfs(path, &fs);
  } while (r != 0 && errno == EINTR);
  if (r != 0) return false;
  const int64_t bsize = static_cast<int64_t>(fs.f_bsize);
  total = static_cast<int64_t>(fs.f_blocks) * bsize;
  free = static_cast<int64_t>(fs.f_bfree) * bsize;
  available = static_cast<int64_t>(fs.f_bavail) * bsize;
  return true;
}

bool GetFileInfo(const char* path, int64_t& size, int64_t& ctime, int64_t& mtime) {
  if (path == nullptr || path[0] == '\0') return false;
  struct stat st;
  if (lstat(path, &st) != 0) return false;
  size = static_cast<int64_t>(st.st_size);
  ctime = static_cast<int64_t>(st.st_ctime);
  mtime = static_cast<int64_t>(st.st_mtime);
  return true;
}

// ---------------------------------------------------------------------------
// Folder size.
//
// Each level is the search "folder, mask *, attributes 63": every entry but
// symbolic links. Folders are descended into (except "." and ".."), files
// matching the mask add their size. Only files need a status call, and only
// when the walk cannot do without it.

namespace {

class TSizeVisitor : public TTreeVisitor {
 public:
  // How a folder was reached. A subfolder step receives "folder/name/mask"
  // and, like the top level, adds up a folder that this whole path names
  // (with every file in it) instead of applying the mask to folder/name.
  enum Kind {
    kScanMasked,  // the top folder: files must match the mask
    kScanAll,     // a folder named by "folder/name/mask": every file counts
    kStepMasked,  // "folder/name/mask" with the request's mask
    kStepAll,     // "folder/name/*" below a folder where every file counts
  };

  TSizeVisitor(const char* mask, bool recurse)
      : mask_(mask), mask_all_(std::strcmp(mask, "*") == 0), recurse_(recurse) {}

  bool Scan(TDirWalk& dir, int kind, int64_t* own, std::vector<Sub>* subs) override {
    const bool all = kind == kScanAll || kind == kStepAll;
    const char* mask = all ? "*" : mask_;
    if (kind == kStepMasked || kind == kStepAll) {
      // An empty mask leaves "folder/name/", which is the folder itself.
      if (mask[0] == '\0') return Sum(dir, "*", true, own, subs);
      struct stat st;
      if (dir.Stat(mask, st) && S_ISDIR(st.st_mode)) {
        subs->push_back(Sub{mask, kScanAll});
        return true;
      }
    }
    return Sum(dir, mask, all || mask_all_, own, subs);
  }

 private:
  bool Sum(TDirWalk& dir, const char* mask, bool match_all, int64_t* own,
           std::vector<Sub>* subs) {
    const int step = match_all ? kStepAll : kStepMasked;
    TDirEntry e;
    struct stat st;
    while (dir.Next(e)) {
      bool statted = false;
      int type = dir.TypeAttr(e, st, &statted);
      if (type < 0 || (type & AttrSymLink) != 0) continue;
      if ((type & AttrDirectory) != 0) {
        if (recurse_ && !e.dot_or_dotdot) subs->push_back(Sub{e.name, step});
        continue;
      }
      if (!match_all && fnmatch(mask, e.name, 0) != 0) continue;
      if (!statted && !dir.LStat(e.name, st)) continue;          // gone meanwhile
      if (S_ISLNK(st.st_mode) || S_ISDIR(st.st_mode)) continue;  // replaced meanwhile
      *own += static_cast<int64_t>(st.st_size);
    }
    return true;
  }

  const char* mask_;  // zero-terminated, never null
  bool mask_all_;
  bool recurse_;
};

}  // namespace

int64_t GetFolderSize(const String& path, int recurse) {
  String folder = path;
  String mask("*");
  if (!DirectoryExists(String(path).CStr())) {
    mask = ExtractFileName(path);
    folder = ExtractFilePath(path);
  }
  TSizeVisitor visitor(mask.CStr(), recurse != 0);
  return WalkTree(folder, TSizeVisitor::kScanMasked, visitor);
}

// ---------------------------------------------------------------------------
// File counting.
//
// Per level: the search "folder, mask, attributes 63" counts by the mode;
// then, with recurse, the search "folder, *, attributes 16" lists the
// subfolders to descend into. Attribute mask 16 admits only entries whose
// attributes are exactly AttrDirectory: not hidden, writable, not links. Both
// searches are made in one pass over the directory; the status call is made
// only for the modes that compare times or sizes, the write test only for
// folders that might be descended into.

namespace {

struct TCountWalk {
  const char* mask;  // zero-terminated, never null
  bool match_all;
  bool recurse;
  TCountFilesMode mode;
  int limit;
};

// Whether a file with this status counts in the mode.
bool FileCounts(const TCountWalk& w, const struct stat& st) {
  switch (w.mode) {
    case cfmAllFiles:
      return true;
    case cfmOlderThan:
    case cfmNewerThan: {
      // The age as FileAge gives it: a signed 32-bit modification time.
      const int64_t minute = sec2min(static_cast<int32_t>(st.st_mtime));
      const int64_t bound = now_min() - w.limit;
      return w.mode == cfmOlderThan ? minute < bound : minute > bound;
    }
    case cfmBiggerThan:
      return static_cast<int64_t>(st.st_size) > static_cast<int64_t>(w.limit);
    case cfmSmallerThan:
      return static_cast<int64_t>(st.st_size) < static_cast<int64_t>(w.limit);
    case cfmSubFolders:
      return false;
  }
  return false;
}

// Whether "folder, *, attributes 16" finds anything: a writable, not hidden
// folder among the entries ("." and ".." included).
bool AnyPlainFolder(TDirWalk& dir) {
  if (dir.Writable(".") || dir.Writable("..")) return true;
  dir.Rewind();
  TDirEntry e;
  struct stat st;
  while (dir.Next(e)) {
    if (e.hidden || e.dot_or_dotdot) continue;
    bool statted = false;
    int type = dir.TypeAttr(e, st, &statted);
    if (type == AttrDirectory && dir.Writable(e.name)) return true;
  }
  return false;
}

class TCountVisitor : public TTreeVisitor {
 public:
  explicit TCountVisitor(const TCountWalk& w) : w_(w) {}

  // One level: false when it counts as a folder that cannot be searched.
  bool Scan(TDirWalk& dir, int /*kind*/, int64_t* own, std::vector<Sub>* subs) override {
    const bool needs_status = w_.mode != cfmAllFiles && w_.mode != cfmSubFolders;
    int64_t count = 0;
    bool matched = false;  // the mask search found an entry
    TDirEntry e;
    struct stat st;
    while (dir.Next(e)) {
      bool statted = false;
      int type = dir.TypeAttr(e, st, &statted);
      if (type < 0 || (type & AttrSymLink) != 0) continue;
      const bool is_folder = (type & AttrDirectory) != 0;

      if (w_.match_all || fnmatch(w_.mask, e.name, 0) == 0) {
        if (is_folder) {
          matched = true;
          if (w_.mode == cfmSubFolders && !e.dot_or_dotdot) ++count;
        } else if (needs_status) {
          if (statted || dir.LStat(e.name, st)) {
            matched = true;
            if (FileCounts(w_, st)) ++count;
          }
        } else {
          matched = true;
          if (w_.mode == cfmAllFiles) ++count;
        }
      }

      if (w_.recurse && is_folder && !e.hidden && !e.dot_or_dotdot && dir.Writable(e.name)) {
        subs->push_back(Sub{e.name, 0});
      }
    }
    *own = count;
    if (w_.recurse) return !subs->empty() || dir.Writable(".") || dir.Writable("..");
    return matched || AnyPlainFolder(dir);
  }

 private:
  const TCountWalk& w_;
};

}  // namespace

int CountFiles(const String& folder, const String& mask, int recurse, TCountFilesMode mode,
               int limit) {
  String pattern = mask;
  const TCountWalk w{pattern.CStr(), mask == "*", recurse != 0, mode, limit};
  TCountVisitor visitor(w);
  const int64_t count = WalkTree(folder, 0, visitor);
  return count < 0 ? -1 : static_cast<int>(count);
}

// ---------------------------------------------------------------------------
// Handlers.

void ProcessTest_UNC(const VQRequest& request, ORVReply& reply) {
  String path = request.GetParam(1, 1);
  // A server written for other platforms may send "\\server\share\".
  if (path.Length() > 0 && path[path.Length()] == '\\') path.Delete(path.Length(), 1);
  if (path.IsEmpty()) {
    reply.SetResult("501") += "Path not specified";
    return;
  }
  int64_t total = 0, free = 0, available = 0;
  if (GetUNCDriveInfo(path.CStr(), total, free, available)) {
    reply.SetResult("200");
    reply.AddIntParam(static_cast<long long>(total));
    reply.AddIntParam(static_cast<long long>(free));
    reply.AddIntParam(static_cast<long long>(available));
  } else {
    int err = errno;
    reply.SetResult("301");
    reply.AddStringParam(GetErrorStr(err), 1);
  }
}

void ProcessTest_FolderSize(const VQRequest& request, ORVReply& reply) {
  String path = request.GetParam(1, 1);
  const int recurse = orvDecodeBool(request.GetParam(2, 1));
  if (orvDecodeBool(request.GetParam(8, 1))) path = GetFileUsingSpecialMacros(path);
  int64_t size = GetFolderSize(path, recurse);
  if (size < 0) {
    reply.SetResult("301") += "Folder/File doesn`t exist or access denied";
    return;
  }
  reply.SetResult("200");
  reply.AddIntParam(static_cast<long long>(size));
}

void ProcessTest_FileExists(const VQRequest& request, ORVReply& reply) {
  String path = request.GetParam(1, 1);
  if (orvDecodeBool(request.GetParam(7, 1))) path = GetFileUsingSpecialMacros(path);
  int64_t size = 0, ctime = 0, mtime = 0;
  bool found = GetFileInfo(path.CStr(), size, ctime, mtime);
  if (!found && !path.IsEmpty()) {
    String match = GetFirstMatchedFile(path);
    if (!match.IsEmpty()) {
      path = match;
      found = GetFileInfo(path.CStr(), size, ctime, mtime);
    }
  }
  if (!found) {
    reply.SetResult("301") += "no such file or acess denied";
    return;
  }
  reply.SetResult("200");
  reply.AddIntParam(static_cast<long long>(size));
  reply.AddTimeParam(static_cast<long>(ctime));
  reply.AddTimeParam(static_cast<long>(mtime));
  reply.AddStringParam(path, 0);
  reply.AddStringParam("min", 0);
  reply.AddIntParam(static_cast<int>((static_cast<int64_t>(time(nullptr)) - mtime) / 60));
}

void ProcessTest_CountFiles(const VQRequest& request, ORVReply& reply) {
  String folder = request.GetParam(1, 1);
  String mask = request.GetParam(2, 1);
  const int recurse = orvDecodeBool(request.GetParam(3, 1));
  const int mode = orvDecodeInt(request.GetParam(4, 1));
  int limit = 0;
  if (mode < 0 || mode >= kCountFilesModes || !orvDecodeInt(request.GetParam(5, 1), &limit)) {
    reply.SetResult("501") += "Wrong parameter";
    return;
  }
  if (orvDecodeBool(request.GetParam(11, 1))) folder = GetFileUsingSpecialMacros(folder);
  int count = CountFiles(folder, mask, recurse, static_cast<TCountFilesMode>(mode), limit);
  if (count < 0) {
    reply.SetResult("301") += "Folder doesn`t exist or access denied";
    return;
  }
  reply.SetResult("200");
  reply.AddIntParam(count);
}
