#include "monitors/file_compare.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "agent/handlers.h"
#include "base/oserror.h"
#include "base/paths.h"
#include "base/resources.h"
#include "crypto/crc32_fast.h"
#include "monitors/file_macros.h"
#include "protocol/value_codec.h"

namespace {

// Block size for streaming whole files: large enough that the system calls
// cost nothing next to the checksum or the comparison.
constexpr size_t kStreamBlock = 1 << 20;

// Reads until n bytes are in or the file ends; the count, or -1 on an error.
ssize_t ReadFull(int fd, char* buf, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t r = ReadRetry(fd, buf + done, n - done);
    if (r < 0) return -1;
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(done);
}

std::unique_ptr<char[]> Allocate(size_t n) {
  return std::unique_ptr<char[]>(new (std::nothrow) char[n]);
}

bool IsWordByte(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0;
}

// The first acceptable match of needle in buf[0..have); see FindStrInFile.
bool SearchBlock(const char* buf, size_t have, const char* needle, size_t len, bool wholeword) {
  size_t from = 0;
  while (from + len <= have) {
    const void* hit = memmem(buf + from, have - from, needle, len);
    if (hit == nullptr) return false;
    const size_t at = static_cast<size_t>(static_cast<const char*>(hit) - buf);
    if (!wholeword) return true;
    const bool left_ok = at == 0 || !IsWordByte(buf[at - 1]);
    const bool right_ok = at + len >= have || !IsWordByte(buf[at + len]);
    if (left_ok && right_ok) return true;
    from = at + 1;
  }
  return false;
}

}  // namespace

bool GetFileCRC(const char* path, uint32_t& crc, String& err) {
  err = "";
  if (path == nullptr || path[0] == '\0') {
    err = "File is not specified";
    return false;
  }
  UniqueFd fd = OpenForReading(path);
  if (!fd.valid()) {
    err = "Cannot open file";
    return false;
  }
  posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  std::unique_ptr<char[]> buf = Allocate(kStreamBlock);
  if (!buf) {
    err = "Read error";
    return false;
  }
  uint32_t reg = 0xFFFFFFFFu;
  for (;;) {
    ssize_t n = ReadRetry(fd.get(), buf.get(), kStreamBlock);
    if (n < 0) {
      err = "Read error";
      return false;
    }
    if (n == 0) break;
    reg = Crc32Update(reg, buf.get(), static_cast<size_t>(n));
  }
  fd.reset();
  crc = reg;
  return true;
}

int CompareFiles(const char* path1, const char* path2) {
  if (path1 == nullptr || path1[0] == '\0' || path2 == nullptr || path2[0] == '\0') return -1;
  UniqueFd f1 = OpenForReading(path1);
  UniqueFd f2 = OpenForReading(path2);
  if (!f1.valid() || !f2.valid()) return -1;
  posix_fadvise(f1.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  posix_fadvise(f2.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  std::unique_ptr<char[]> b1 = Allocate(kStreamBlock);
  std::unique_ptr<char[]> b2 = Allocate(kStreamBlock);
  if (!b1 || !b2) return -1;
  // Both files advance by whole blocks together, so the blocks always start
  // at the same offset; the comparison stops at the end of the shorter file.
  for (;;) {
    ssize_t n1 = ReadFull(f1.get(), b1.get(), kStreamBlock);
    ssize_t n2 = ReadFull(f2.get(), b2.get(), kStreamBlock);
    if (n1 < 0 || n2 < 0) return -1;
    size_t n = static_cast<size_t>(n1 < n2 ? n1 : n2);
    if (std::memcmp(b1.get(), b2.get(), n) != 0) return 0;
    if (static_cast<size_t>(n1) < kStreamBlock || static_cast<size_t>(n2) < kStreamBlock) return 1;
  }
}

int FindStrInFile(const char* path, String& text, int casesensitive, int wholeword) {
  if (text.IsEmpty() || path == nullptr || path[0] == '\0') return -1;
  UniqueFd fd = OpenForReading(path);
  if (!fd.valid()) return -1;
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return -1;
  const int64_t file_size = static_cast<int64_t>(st.st_size);
  const int64_t len = text.Length();
  if (len > file_size) return 0;

  int64_t buf_size = 3 * len;
  if (buf_size > file_size + 1) buf_size = file_size + 1;
  std::unique_ptr<char[]> buf = Allocate(static_cast<size_t>(buf_size));
  if (!buf) return -1;
  if (!casesensitive) text.LowerCase();

  size_t carried = 0;
  for (;;) {
    if (lseek(fd.get(), 0, SEEK_CUR) < 0) return -1;
    ssize_t n = ReadFull(fd.get(), buf.get() + carried, static_cast<size_t>(buf_size) - carried);
    if (n < 0) return -1;
    if (n == 0) return 0;  // end of file; the carried bytes were searched already
    if (!casesensitive) strlower(buf.get() + carried, static_cast<int>(n));
    const size_t have = carried + static_cast<size_t>(n);
    if (SearchBlock(buf.get(), have, text.Data(), static_cast<size_t>(len), wholeword != 0)) {
      return 1;
    }
    carried = have < static_cast<size_t>(len) ? have : static_cast<size_t>(len);
    std::memmove(buf.get(), buf.get() + have - carried, carried);
  }
}

int FindFileInFile(const char* path, const char* sought) {
  if (sought == nullptr || sought[0] == '\0') return -1;
  const int64_t size = FileSize(sought);
  if (size < 0 || size > INT_MAX - 256) return -1;
  if (size == 0) return 1;
  UniqueFd fd = OpenForReading(sought);
  if (!fd.valid()) return -1;
  String contents;
  contents.SetLength(static_cast<int>(size));
  ssize_t n = ReadFull(fd.get(), contents.Data(), static_cast<size_t>(size));
  if (n <= 0) return -1;
  contents.SetLength(static_cast<int>(n));
  return FindStrInFile(path, contents, 1, 0);
}

// ---------------------------------------------------------------------------
// Handlers.

void ProcessTest_FileCRC(const VQRequest& request, ORVReply& reply) {
  String path = request.GetParam(1, 1);
  uint32_t crc = 0;
  String err;
  if (!GetFileCRC(path.CStr(), crc, err)) {
    reply.SetResult("301") += err;
    return;
  }
  reply.SetResult("200");
  reply.AddIntParam(static_cast<long long>(crc));
}

namespace {

// A search text keeps its own blanks; only the CR of a CR LF line end goes.
String SearchTextParam(const VQRequest& request, int line) {
  String text = request.GetParam(line, 0);
  if (text.Length() > 0 && text[text.Length()] == '\r') text.Delete(text.Length(), 1);
  return text;
}

}  // namespace

void ProcessTest_FileCompare(const VQRequest& request, ORVReply& reply) {
  const String mode = request.GetParam(1, 1);
  // Where the two macro flags travel depends on the mode.
  int flag1_line = 0, flag2_line = 0;
  if (mode == "1" || mode == "4") {
    flag1_line = 12;
    flag2_line = 13;
  } else if (mode == "2") {
    flag1_line = 9;
    flag2_line = 10;
  } else if (mode == "3") {
    flag1_line = 11;
    flag2_line = 12;
  }
  const bool macros1 = flag1_line > 0 && orvDecodeBool(request.GetParam(flag1_line, 1));
  const bool macros2 = flag2_line > 0 && orvDecodeBool(request.GetParam(flag2_line, 1));

  String first = request.GetParam(2, 1);
  if (macros1) first = GetFileUsingSpecialMacros(first);
  if (!FileExists(first.CStr())) {
    reply.SetResult("301") += "File doesn`t exist";
    return;
  }

  int result;
  if (mode == "1") {
    String second = request.GetParam(3, 1);
    if (macros2) second = GetFileUsingSpecialMacros(second);
    if (!FileExists(second.CStr())) {
      reply.SetResult("301") += "File doesn`t exist";
      return;
    }
    const bool times = orvDecodeBool(request.GetParam(4, 1));
    const bool sizes = orvDecodeBool(request.GetParam(5, 1));
    const bool contents = orvDecodeBool(request.GetParam(6, 1));
    result = 1;
    if (times && FileAge(first.CStr()) != FileAge(second.CStr())) {
      result = 0;
    } else {
      if (sizes) result = FileSize(first.CStr()) == FileSize(second.CStr()) ? 1 : 0;
      if (result == 1 && contents) result = CompareFiles(first.CStr(), second.CStr());
    }
  } else if (mode == "2") {
    String text = SearchTextParam(request, 3);
    const int casesensitive = orvDecodeBool(request.GetParam(4, 1));
    const int wholeword = orvDecodeBool(request.GetParam(5, 1));
    result = FindStrInFile(first.CStr(), text, casesensitive, wholeword);
  } else if (mode == "3") {
    String second = request.GetParam(3, 1);
    if (macros2) second = GetFileUsingSpecialMacros(second);
    if (!FileExists(second.CStr())) {
      reply.SetResult("301") += "File doesn`t exist";
      return;
    }
    if (FileSize(second.CStr()) > 8388608) {
      reply.SetResult("301") += "The size of the second file cannot exceed 8Mb";
      return;
    }
    result = FindFileInFile(first.CStr(), second.CStr());
  } else {
    reply.SetResult("501") += "Wrong parameter";
    return;
  }

  if (result < 0) {
    reply.SetResult("301") += "I/O Error";
    return;
  }
  reply.SetResult("200");
  reply.AddBoolParam(result > 0 ? 1 : 0);
}
