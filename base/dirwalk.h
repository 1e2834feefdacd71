// A lean directory reader for walks over large trees (folder sizes, file
// counts): entries come straight from the directory stream with the type the
// stream already reports, and every further examination is made relative to
// the open directory's descriptor, so that no path is assembled per entry and
// the kernel never walks the whole path again. Callers ask only for what they
// need: the type is often known without a status call, the status call is
// the one that FindFirst makes (the entry itself, links not followed), and
// the write-access test is a separate call.
//
// The answers are those of the directory search in base/paths.h for the same
// directory (FindFirst/FindNext with the same entry, examined by lstat and
// access on DirPath + name), as long as the tree does not change during the
// walk.
//
// WalkTree walks a whole tree depth-first without recursion: the stack of
// folders lives on the heap, subfolders are opened relative to their parent
// without following links (O_NOFOLLOW|O_DIRECTORY), only the lowest few
// levels keep a descriptor open and higher ones are found again through
// ".." and checked to be the same folder. A tree in a monitored folder is
// made by whoever may write there, so neither its depth nor its shape may
// cost the agent its stack or its descriptors.
//
// Thread safety: a TDirWalk belongs to one thread; any number of walks may
// run at once.
#ifndef ORV_BASE_DIRWALK_H_
#define ORV_BASE_DIRWALK_H_

#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <vector>

#include "base/bytestring.h"
#include "base/resources.h"

// One entry of a walk. name stays valid until the next call of Next.
struct TDirEntry {
  const char* name = nullptr;
  // Attribute bits (base/paths.h) that the entry's type gives: AttrDirectory,
  // 0 for a regular file, AttrSystem for other types, AttrSymLink|AttrSystem
  // for a link; -1 when the stream did not report the type.
  int type_attr = -1;
  bool dot_or_dotdot = false;  // "." or ".."
  bool hidden = false;         // AttrHidden: a dot name other than "." and ".."
};

class TDirWalk {
 public:
  TDirWalk() = default;
  TDirWalk(const TDirWalk&) = delete;
  TDirWalk& operator=(const TDirWalk&) = delete;

  // Opens dir (following links, as opendir does); an empty dir means the
  // current directory, as for FindFirst. 0 on success, else the error number.
  int Open(const String& dir);
  // Reads the directory open on fd through a stream of its own (fd stays
  // the caller's). 0 on success, else the error number.
  int OpenDup(int fd);
  bool IsOpen() const { return static_cast<bool>(dir_); }

  // The next entry in the stream's order; false at the end or on a read error.
  bool Next(TDirEntry& entry);
  // Starts reading the stream again from its first entry.
  void Rewind();

  // The entry itself, links not followed (lstat). False when it is gone.
  bool LStat(const char* name, struct stat& st) const;
  // The entry with links followed (stat).
  bool Stat(const char* name, struct stat& st) const;
  // True when the process may write the entry (the AttrReadOnly test).
  bool Writable(const char* name) const;

  // The attribute bits of an entry as FindFirst computes them (without the
  // AttrReadOnly bit, which needs Writable): from the stream's type when
  // known, otherwise from LStat. st is filled when a status call was made
  // (*statted set to true); -1 when the entry is gone.
  int TypeAttr(const TDirEntry& entry, struct stat& st, bool* statted) const;

 private:
  UniqueDir dir_;
  int fd_ = -1;
};

// FindFirst's attribute bits for a status of the entry itself (no AttrHidden,
// no AttrReadOnly): AttrDirectory, 0, AttrSystem, or AttrSymLink|AttrSystem
// (the target's type is not looked at: links are never returned).
int AttrFromMode(mode_t mode);

// What a tree walk does at each folder.
class TTreeVisitor {
 public:
  // A subfolder to walk next and the kind of step the visitor wants there.
  struct Sub {
    String name;
    int kind;
  };
  virtual ~TTreeVisitor() = default;
  // Reads the open folder dir, reached by a step of this kind: adds the
  // folder's own share to *own and the subfolders to walk into to *subs.
  // False when the folder counts as one that cannot be searched: it and
  // everything below it then add nothing.
  virtual bool Scan(TDirWalk& dir, int kind, int64_t* own, std::vector<Sub>* subs) = 0;
};

// Deeper than any path the system can name (4096 bytes hold at most 2048
// one-byte names with their delimiters); no real tree comes near it.
constexpr int kMaxTreeDepth = 2048;

// Walks the tree below top (opened as TDirWalk::Open does, links followed)
// and returns the top folder's total: its own share plus the totals of the
// subfolders that could be opened and searched. -1 when the top cannot be
// searched, when the tree is deeper than kMaxTreeDepth, or when a folder was
// moved during the walk so that its parent cannot be found again. A
// subfolder that cannot be opened (gone, not a folder, a link) adds nothing.
int64_t WalkTree(const String& top, int kind, TTreeVisitor& visitor);

#endif  // ORV_BASE_DIRWALK_H_
