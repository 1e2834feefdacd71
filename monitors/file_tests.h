// File and folder tests: free space of a file system ("TEST-UNC"), total
// size of a folder ("TEST-FolderSize"), size and times of one file
// ("TEST-FileExists") and counting of files by age, size or kind
// ("TEST-CountFiles"), with the computations behind them.
//
// A "file" here is any entry the directory search returns without
// AttrDirectory (devices, pipes and sockets included); a "folder" one with
// it. Symbolic links are never seen by the searches.
//
// Folder sizes and counts walk the tree relative to each open directory and
// examine only what the question needs (base/dirwalk.h); the answers are
// those of a walk with FindFirst/FindNext and mask 63 at every level.
//
// Thread safety: every function may be called from any thread at once; the
// handlers read one settings snapshot each.
#ifndef ORV_MONITORS_FILE_TESTS_H_
#define ORV_MONITORS_FILE_TESTS_H_

#include <cstdint>

#include "base/bytestring.h"

// Counting rules of CountFiles, as the server sends them.
enum TCountFilesMode : int32_t {
  cfmAllFiles = 0,     // every matching file
  cfmOlderThan = 1,    // modified more than limit minutes ago
  cfmNewerThan = 2,    // modified less than limit minutes ago
  cfmBiggerThan = 3,   // larger than limit bytes
  cfmSmallerThan = 4,  // smaller than limit bytes
  cfmSubFolders = 5,   // matching subfolders; files are not counted
};
constexpr int kCountFilesModes = 6;
// The names of the modes, indexed by their values.
extern const char* const CountFilesModeName[kCountFilesModes];

// statfs of the file system holding path: total, free and available (to
// unprivileged users) bytes. False with errno set when the query fails.
bool GetUNCDriveInfo(const char* path, int64_t& total, int64_t& free, int64_t& available);

// The total size in bytes of the files in a folder, or of those matching a
// mask when path is a folder followed by "/" and a wildcard mask; with
// recurse, the same mask is applied in every subfolder below. Hidden and
// read-only files count; symbolic links do not. -1 when the folder cannot be
// searched.
int64_t GetFolderSize(const String& path, int recurse);

// lstat of path: size, status-change time and modification time. False for
// a null or empty path or when the path cannot be examined.
bool GetFileInfo(const char* path, int64_t& size, int64_t& ctime, int64_t& mtime);

// The number of entries of folder matching mask that the mode counts, or -1
// when the folder cannot be searched. Equality with the limit never counts.
// With recurse, subfolders are descended into only when they are writable
// and not hidden.
int CountFiles(const String& folder, const String& mask, int recurse, TCountFilesMode mode,
               int limit);

// Seconds to whole minutes, truncated toward zero.
int64_t sec2min(int64_t seconds);
// The current time in whole minutes since the epoch.
int64_t now_min();

#endif  // ORV_MONITORS_FILE_TESTS_H_
