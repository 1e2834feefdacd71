#include "base/paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/resources.h"

// ---------------------------------------------------------------------------
// Character hooks: every character is one byte.

bool isLeadByte(char) { return false; }
int StrCharLength(const char*) { return 1; }
int ByteType(const char*, int) { return 0; }
int ByteType(const String&, int) { return 0; }

char* AnsiStrPos(char* s, char* sub) {
  if (s == nullptr || sub == nullptr) return nullptr;
  return std::strstr(s, sub);
}

// ---------------------------------------------------------------------------
// Delimiters and path parts.

bool IsPathDelimiter(const String& s, int i) {
  return i >= 1 && i <= s.Length() && s[i] == '/';
}

bool IsDelimiter(const char* delimiters, const String& s, int i) {
  if (delimiters == nullptr || i < 1 || i > s.Length()) return false;
  char c = s[i];
  // A zero byte inside the string is not a member of a zero-terminated set.
  return c != '\0' && std::strchr(delimiters, c) != nullptr;
}

String IncludeTrailingPathDelimiter(const String& s) {
  if (IsPathDelimiter(s, s.Length())) return s;
  return s + '/';
}

String ExcludeTrailingPathDelimiter(const String& s) {
  if (IsPathDelimiter(s, s.Length())) return s.Copy(1, s.Length() - 1);
  return s;
}

int LastDelimiter(const char* delimiters, const String& s) {
  for (int i = s.Length(); i >= 1; --i) {
    if (IsDelimiter(delimiters, s, i)) return i;
  }
  return 0;
}

String ExtractFilePath(const String& s) { return s.Copy(1, LastDelimiter("/", s)); }

String ExtractFileName(const String& s) { return s.Copy(LastDelimiter("/", s) + 1, 4095); }

String ExtractFileExt(const String& s) {
  int i = LastDelimiter("./", s);
  if (i > 0 && s[i] == '.') return s.Copy(i, 4095);
  return String();
}

String ExpandTilde(const String& s) { return s; }

// The working text is walked segment by segment; the result always holds a
// leading "/" and a "/" after every segment kept so far, so ".." only has to
// cut back to the "/" before the last segment. "." and ".." directly after
// the root behave as anywhere else: "." is dropped and ".." stays at the root
// (/./x and /../x both give /x). Only the exact segments "." and ".." are
// special; "..b" and "..." are ordinary names.
String ExpandFileName(const String& s) {
  if (s.IsEmpty() || s[1] == '~') return s;
  String text = s[1] == '/' ? s : IncludeTrailingPathDelimiter(GetCurrentDir()) + s;

  const char* p = text.Data();
  const int n = text.Length();
  String result;
  result.SetLength(n + 1);  // at most the working text plus a leading "/"
  char* out = result.Data();
  int len = 0;
  out[len++] = '/';

  int i = 0;
  while (i < n) {
    while (i < n && p[i] == '/') ++i;
    if (i >= n) break;
    int start = i;
    while (i < n && p[i] != '/') ++i;
    int seglen = i - start;
    if (seglen == 1 && p[start] == '.') continue;
    if (seglen == 2 && p[start] == '.' && p[start + 1] == '.') {
      if (len > 1) {
        --len;  // the "/" after the last segment
        while (len > 1 && out[len - 1] != '/') --len;
      }
    } else {
      std::memcpy(out + len, p + start, seglen);
      len += seglen;
      out[len++] = '/';
    }
  }

  // A "/" that ends the input is kept; otherwise the result ends without one
  // (the root keeps its "/").
  if (p[n - 1] != '/' && len > 1) --len;
  result.SetLength(len);
  return result;
}

// ---------------------------------------------------------------------------
// File system queries.

String GetCurrentDir() {
  char buf[4095];
  if (getcwd(buf, sizeof buf) == nullptr) return String();
  return String(buf);
}

int32_t FileAge(const char* path) {
  struct stat st;
  if (path == nullptr || stat(path, &st) != 0) return -1;
  return static_cast<int32_t>(st.st_mtime);
}

int64_t FileSize(const char* path) {
  struct stat st;
  if (path == nullptr || stat(path, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool DeleteFile(const char* path) { return path != nullptr && unlink(path) == 0; }

bool DirectoryExists(const char* path) {
  struct stat st;
  return path != nullptr && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const char* path) {
  struct stat st;
  return path != nullptr && stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

UniqueFd OpenForReading(const char* path) {
  if (path == nullptr) {
    errno = EFAULT;
    return UniqueFd();
  }
  UniqueFd fd;
  do {
    fd.reset(open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  } while (!fd.valid() && errno == EINTR);
  if (!fd.valid()) return fd;
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return UniqueFd();
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
    errno = EINVAL;
    return UniqueFd();
  }
  int flags = fcntl(fd.get(), F_GETFL);
  if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return UniqueFd();
  return fd;
}

// ---------------------------------------------------------------------------
// Directory search.
//
// Entries are examined relative to the open directory stream (fstatat and
// faccessat on its descriptor), which gives the same answers as examining
// DirPath + name while the directory stays where it is, spares the kernel a
// walk of the whole path per entry, and needs no path assembled per entry.
// Symbolic links are always in the exclusion mask, so a link is skipped as
// soon as it is known to be one: the examination of its target and the
// access test could not change the outcome.

int AttrFromDirentType(unsigned char d_type) {
  switch (d_type) {
    case DT_DIR:
      return AttrDirectory;
    case DT_REG:
      return 0;
    case DT_LNK:
      return AttrSymLink | AttrSystem;
    case DT_UNKNOWN:
      return -1;
    default:
      return AttrSystem;
  }
}

namespace {

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

int FindMatching(TSearchRec& rec) {
  if (rec.DirHandle == nullptr) return -1;
  const int dfd = dirfd(rec.DirHandle);
  const char* mask = rec.Mask.CStr();
  const bool match_all = mask[0] == '*' && mask[1] == '\0';
  const int exclude = rec.ExcludeMask;

  for (;;) {
    errno = 0;
    struct dirent* ent = readdir(rec.DirHandle);
    if (ent == nullptr) return -1;  // end of the directory or a read error
    const char* name = ent->d_name;
    if (!match_all && fnmatch(mask, name, 0) != 0) continue;

    const int hidden = (name[0] == '.' && !IsDotOrDotDot(name)) ? AttrHidden : 0;
    // Cheap rejection before any status call when the entry type is known.
    int known = AttrFromDirentType(ent->d_type);
    if (known >= 0 && ((known | hidden) & exclude) != 0) continue;

    struct stat st;
    if (fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // vanished

    int attr;
    if (S_ISDIR(st.st_mode)) {
      attr = AttrDirectory;
    } else if (S_ISREG(st.st_mode)) {
      attr = 0;
    } else if (S_ISLNK(st.st_mode)) {
      // Never returned (see above); the target's type cannot matter.
      continue;
    } else {
      attr = AttrSystem;
    }
    attr |= hidden;
    if ((attr & exclude) != 0) continue;
    if (faccessat(dfd, name, W_OK, 0) != 0) attr |= AttrReadOnly;
    if ((attr & exclude) != 0) continue;

    rec.Size = static_cast<int64_t>(st.st_size);
    rec.Time = static_cast<int64_t>(st.st_mtime);
    rec.Mode = static_cast<uint32_t>(st.st_mode);
    rec.Attr = attr;
    size_t len = std::strlen(name);
    if (len > sizeof rec.Name - 1) len = sizeof rec.Name - 1;
    std::memcpy(rec.Name, name, len);
    rec.Name[len] = '\0';
    return 0;
  }
}

}  // namespace

int FindFirst(const String& dir, const String& mask, int attr, TSearchRec& rec) {
  rec.DirHandle = nullptr;
  rec.ExcludeMask = ~(attr & 63);
  rec.DirPath = dir;
  rec.Mask = mask;
  if (rec.DirPath.IsEmpty()) rec.DirPath = GetCurrentDir();
  rec.DirPath = IncludeTrailingPathDelimiter(rec.DirPath);

  DIR* d = opendir(rec.DirPath.CStr());
  if (d == nullptr) {
    int err = errno;
    return err > 0 ? err : ENOENT;
  }
  rec.DirHandle = d;
  if (FindMatching(rec) != 0) {
    FindClose(rec);
    return -1;
  }
  return 0;
}

int FindFirst(const char* dirandmask, int attr, TSearchRec& rec) {
  String whole(dirandmask);
  return FindFirst(ExtractFilePath(whole), ExtractFileName(whole), attr, rec);
}

int FindNext(TSearchRec& rec) { return FindMatching(rec); }

void FindClose(TSearchRec& rec) {
  // The stream is adopted here so that it is closed exactly once.
  UniqueDir owner(rec.DirHandle);
  rec.DirHandle = nullptr;
}
