// Path names, file information and the pattern-driven directory search.
//
// The only path delimiter is "/". Characters are single bytes; the
// multi-byte hooks (isLeadByte, StrCharLength, ByteType) always report a
// single-byte character. Failures are reported through results only.
//
// Thread safety: every function may be called from any thread; a TSearchRec
// belongs to one thread.
#ifndef ORV_BASE_PATHS_H_
#define ORV_BASE_PATHS_H_

#include <dirent.h>
#include <sys/types.h>

#include <cstdint>

#include "base/bytestring.h"
#include "base/resources.h"

// Attribute bits of TSearchRec::Attr (sent to servers by the file list).
enum : int {
  AttrReadOnly = 1,    // the process cannot write the entry
  AttrHidden = 2,      // name starts with "." and is neither "." nor ".."
  AttrSystem = 4,      // neither directory nor regular file; every symlink
  AttrDirectory = 16,  // directory, or a symlink to one
  AttrSymLink = 64,    // symbolic link
};

// The attribute bits that a directory entry's own type (d_type) already
// fixes, or -1 when the stream does not report the type and a status call
// must decide.
int AttrFromDirentType(unsigned char d_type);

// One directory search and the entry last found. Copying shares the open
// directory stream; only one of the copies may be closed.
struct TSearchRec {
  int64_t Time = 0;  // modification time of the entry itself
  int64_t Size = 0;  // size of the entry itself
  int32_t Attr = 0;
  char Name[256] = {};
  uint32_t Mode = 0;
  DIR* DirHandle = nullptr;
  int32_t ExcludeMask = 0;
  String DirPath;  // always ends in "/"
  String Mask;
};

bool isLeadByte(char c);
int StrCharLength(const char* s);
int ByteType(const char* s, int i);
int ByteType(const String& s, int i);
char* AnsiStrPos(char* s, char* sub);

bool IsPathDelimiter(const String& s, int i);
bool IsDelimiter(const char* delimiters, const String& s, int i);
String IncludeTrailingPathDelimiter(const String& s);
String ExcludeTrailingPathDelimiter(const String& s);
int LastDelimiter(const char* delimiters, const String& s);

String ExtractFilePath(const String& s);
String ExtractFileName(const String& s);
String ExtractFileExt(const String& s);
String ExpandTilde(const String& s);
String ExpandFileName(const String& s);

String GetCurrentDir();
int32_t FileAge(const char* path);   // -1 when the path cannot be examined
int64_t FileSize(const char* path);  // -1 when the path cannot be examined
bool DeleteFile(const char* path);
bool DirectoryExists(const char* path);
bool FileExists(const char* path);  // a regular file (after following links)

// Opens path (links followed) for reading where a file's contents are
// expected. The open itself does not wait, and a FIFO, socket or device put
// in the file's place is refused (EINVAL) once examined: it could hold the
// caller for ever or feed it without end. A folder is let through (reading
// it fails at once). The descriptor is close-on-exec and blocking. Invalid
// with errno set on failure.
UniqueFd OpenForReading(const char* path);

// 0 when an entry was found; errno when the directory cannot be opened; -1
// when nothing matches (the search is then closed).
int FindFirst(const String& dir, const String& mask, int attr, TSearchRec& rec);
int FindFirst(const char* dirandmask, int attr, TSearchRec& rec);
int FindNext(TSearchRec& rec);  // 0 when found, -1 at the end or on error
void FindClose(TSearchRec& rec);

#endif  // ORV_BASE_PATHS_H_
