#include "monitors/textlog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "agent/handlers.h"
#include "agent/logging.h"
#include "base/childproc.h"
#include "base/oserror.h"
#include "base/paths.h"
#include "base/resources.h"
#include "monitors/expr.h"
#include "monitors/log_positions.h"
#include "protocol/value_codec.h"

namespace {

// Attempts to open the log and the pause after each failed one: a log being
// rotated may be missing for a moment.
constexpr int kOpenAttempts = 3;
constexpr unsigned kOpenPauseSeconds = 1;
// The reply carries at most this much of the matching line.
constexpr int kReplyLineBytes = 1024;
// A search for a rotated log looks at no more entries of its folder.
constexpr int kMaxFolderEntries = 4096;
// A position left in a rotated file remembers at most this many files
// rotated after it.
constexpr int kMaxFollow = 8;

// NUL ends a line like LF and CR: the run of NUL bytes that a writer without
// O_APPEND leaves at the start of a truncated log is then a run of empty
// lines, skipped, instead of the front of the next line.
bool IsTerm(char c) {
  return c == '\n' || c == '\r' || c == '\0';
}

// One filter, prepared once per check and then tried on every line.
class TLineFilter {
 public:
  void Prepare(const String& text, int isexpression, int casesensitive, int wholeword) {
    is_expression_ = isexpression == 1;
    if (is_expression_)
      expression_.Compile(text, casesensitive, wholeword);
    else
      finder_ = TTextFinder(text, casesensitive, wholeword);
  }
  // 0: no match; else the 1-based position of the text in the line (1 for an
  // expression).
  int Test(const char* p, int n) const {
    return is_expression_ ? expression_.Matches(p, n) : finder_.Search(p, n);
  }
  bool IsPlain() const { return !is_expression_; }
  const TTextFinder& Finder() const { return finder_; }

 private:
  bool is_expression_ = false;
  TTextFinder finder_;
  TSearchExpression expression_;
};

struct TMatcher {
  TLineFilter first;
  TLineFilter second;
  bool use_second = false;

  // The first filter's answer, else the second's; which is 1 or 0 accordingly.
  int Test(const char* p, int n, int& which) const {
    int v = first.Test(p, n);
    if (v) {
      which = 1;
      return v;
    }
    if (!use_second) return 0;
    v = second.Test(p, n);
    if (v) which = 0;
    return v;
  }
  // A single plain text can be looked for in a whole block at once.
  bool SinglePlainText() const { return !use_second && first.IsPlain(); }

  // The two filters of "TEST-TextLog2"; the second only when it is used.
  void Prepare(const TTextLogFilter& one, const TTextLogFilter& two, int usetwo) {
    first.Prepare(one.Expression, one.IsExpression, one.CaseSensitive, one.WholeWords);
    use_second = usetwo != 0;
    if (use_second)
      second.Prepare(two.Expression, two.IsExpression, two.CaseSensitive, two.WholeWords);
  }
};

// Finds line terminators forward in one block. The next LF and the next CR
// are remembered until passed, so files with only one kind of terminator
// (or a mix) are scanned once, not once per line.
class TTermFinder {
 public:
  TTermFinder(const char* s, long n) : s_(s), n_(n) {}
  // The offset of the first terminator at or after from, or n.
  long Next(long from) {
    if (lf_ < from) lf_ = Find(from, '\n');
    if (cr_ < from) cr_ = Find(from, '\r');
    if (nul_ < from) nul_ = Find(from, '\0');
    const long t = lf_ < cr_ ? lf_ : cr_;
    return t < nul_ ? t : nul_;
  }

 private:
  long Find(long from, char c) const {
    if (from >= n_) return n_;
    const void* p = std::memchr(s_ + from, c, static_cast<size_t>(n_ - from));
    return p ? static_cast<const char*>(p) - s_ : n_;
  }
  const char* s_;
  long n_;
  long lf_ = -1;
  long cr_ = -1;
  long nul_ = -1;
};

// The offset of the last terminator in s[from..to), or -1. Each kind is
// looked for only after the last one of the kinds before it.
long LastTerm(const char* s, long from, long to) {
  long last = -1;
  for (char c : {'\n', '\r', '\0'}) {
    const long at = last >= from ? last + 1 : from;
    if (to <= at) break;
    const void* p = memrchr(s + at, c, static_cast<size_t>(to - at));
    if (p) last = static_cast<const char*>(p) - s;
  }
  return last;
}

ssize_t ReadSome(int fd, char* buf, long n) {
  return ReadRetry(fd, buf, static_cast<size_t>(n));
}

long long SizeOf(int fd, long long fallback) {
  struct stat st;
  return fstat(fd, &st) == 0 ? static_cast<long long>(st.st_size) : fallback;
}

// Reads a log from its current offset to the end and tests its complete
// non-empty lines.
//
// The buffer always begins at the start of a line: after each read, the
// bytes up to the last terminator are processed and the unfinished line is
// moved to the front. A line that fills the buffer makes it grow, up to
// max_line; a line longer than that is tested on its first max_line bytes
// and the rest of it is only counted.
class TLogScanner {
 public:
  TLogScanner(int fd, const TMatcher& matcher, int checkall, long long resume,
              const TTextLogLimits& limits, String& line, long long& current_size)
      : fd_(fd),
        matcher_(matcher),
        checkall_(checkall != 0),
        fast_(matcher.SinglePlainText()),
        resume_(resume),
        line_(line),
        current_size_(current_size) {
    block_ = limits.block > 0 ? limits.block : 1;
    max_line_ = limits.max_line > block_ ? limits.max_line : block_;
  }

  // False when a read failed; what was read before still counts.
  bool Run();

  long long resume() const { return resume_; }
  bool matched() const { return matched_; }
  long long result() const { return result_; }
  int which() const { return which_; }

 private:
  void ProcessBlock(const char* buf, long end, long long base) {
    if (fast_)
      ProcessPlain(buf, end, base);
    else
      ProcessLines(buf, end, base);
    FlushMatch();
  }
  void ProcessLines(const char* buf, long end, long long base);
  void ProcessPlain(const char* buf, long end, long long base);
  // Reads past a line that does not fit in the buffer; false on a read error.
  bool ProcessLongLine(std::vector<char>& buf, long& fill, long long& base);
  void Match(long long position, const char* p, long n, int which);
  void FlushMatch();

  const int fd_;
  const TMatcher& matcher_;
  const bool checkall_;
  const bool fast_;
  long block_;
  long max_line_;
  long long resume_;  // ResumePos as the lines taken so far leave it
  String& line_;
  long long& current_size_;

  bool matched_ = false;
  bool stop_ = false;
  long long result_ = 0;
  int which_ = 1;
  // The last match of a block is copied out once the block is done, so that
  // with check-all the earlier matches cost no copy.
  const char* pending_ = nullptr;
  long pending_n_ = 0;
};

void TLogScanner::Match(long long position, const char* p, long n, int which) {
  matched_ = true;
  result_ = position;
  which_ = which;
  pending_ = p;
  pending_n_ = n;
  if (!checkall_) stop_ = true;
}

void TLogScanner::FlushMatch() {
  if (pending_ == nullptr) return;
  line_.CopyData(pending_, static_cast<int>(pending_n_));
  current_size_ = SizeOf(fd_, current_size_);
  pending_ = nullptr;
}

void TLogScanner::ProcessLines(const char* buf, long end, long long base) {
  TTermFinder terms(buf, end);
  long long last = resume_;
  long p = 0;
  while (p < end) {
    const long t = terms.Next(p);  // exists: buf[end - 1] is a terminator
    if (t > p) {
      const long long before = last;
      last = base + t + 1;
      int which = 1;
      const int v = matcher_.Test(buf + p, static_cast<int>(t - p), which);
      if (v) {
        Match(before + v, buf + p, t - p, which);
        if (stop_) break;
      }
    }
    p = t + 1;
  }
  resume_ = last;
}

// The same outcome as ProcessLines for one plain text, found by searching
// the whole block; only lines holding the text are looked at.
void TLogScanner::ProcessPlain(const char* buf, long end, long long base) {
  const TTextFinder& finder = matcher_.first.Finder();
  const long m = finder.Length();
  // Lines before floor are done; floor_resume is ResumePos as they leave it.
  long floor = 0;
  long long floor_resume = resume_;
  // A text holding a terminator can never lie inside a line.
  if (m > 0 && !finder.Contains('\n') && !finder.Contains('\r') && !finder.Contains('\0')) {
    TTermFinder terms(buf, end);
    long from = 0;
    while (from < end) {
      const long rel = finder.FindRaw(buf + from, end - from);
      if (rel < 0) break;
      const long at = from + rel;
      // The text ends before the block's last byte, a terminator, so the
      // bytes on both sides are in the block; a terminator beside the text
      // is the line's edge and counts as a non-alphanumeric byte.
      if (!finder.AcceptAt(buf, end, at)) {
        from = at + 1;
        continue;
      }
      const long term_before = LastTerm(buf, floor, at);
      const long line_start = term_before >= 0 ? term_before + 1 : floor;
      const long line_end = terms.Next(at + m);
      // ResumePos before this line: just after the terminator of the last
      // non-empty line, the empty lines in between counting with this one.
      long j = line_start - 1;
      while (j >= floor && IsTerm(buf[j])) --j;
      const long long before = j >= floor ? base + j + 2 : floor_resume;
      floor = line_end + 1;
      floor_resume = base + line_end + 1;
      Match(before + (at - line_start + 1), buf + line_start, line_end - line_start, 1);
      if (stop_) {
        resume_ = floor_resume;
        return;
      }
      from = floor;
    }
  }
  // The block's last non-empty line ends at the last terminator that follows
  // a byte of text.
  long j = end - 2;
  while (j >= floor && IsTerm(buf[j])) --j;
  resume_ = j >= floor ? base + j + 2 : floor_resume;
}

bool TLogScanner::ProcessLongLine(std::vector<char>& buf, long& fill, long long& base) {
  const long held = fill;  // buf holds the line's first bytes, no terminator
  std::vector<char> side(static_cast<size_t>(block_));
  long long skipped = 0;
  for (;;) {
    const ssize_t n = ReadSome(fd_, side.data(), block_);
    if (n < 0) return false;
    if (n == 0) {  // the line is unfinished: left for the next check
      stop_ = true;
      return true;
    }
    TTermFinder terms(side.data(), n);
    const long t = terms.Next(0);
    if (t >= n) {
      skipped += n;
      continue;
    }
    skipped += t;
    const long long before = resume_;
    resume_ = base + held + skipped + 1;
    int which = 1;
    const int v = matcher_.Test(buf.data(), static_cast<int>(held), which);
    if (v) {
      Match(before + v, buf.data(), held, which);
      FlushMatch();
      if (stop_) return true;
    }
    fill = static_cast<long>(n) - t - 1;
    std::memcpy(buf.data(), side.data() + t + 1, static_cast<size_t>(fill));
    base = resume_;
    return true;
  }
}

bool TLogScanner::Run() {
  long cap = block_;
  std::vector<char> buf(static_cast<size_t>(cap));
  long fill = 0;
  long clean = 0;            // buf[0..clean) is known to hold no terminator
  long long base = resume_;  // file offset of buf[0]
  for (;;) {
    const long last = LastTerm(buf.data(), clean, fill);
    if (last >= 0) {
      const long end = last + 1;
      ProcessBlock(buf.data(), end, base);
      if (stop_) return true;
      std::memmove(buf.data(), buf.data() + end, static_cast<size_t>(fill - end));
      fill -= end;
      base += end;
    }
    clean = fill;
    if (fill == cap) {
      if (cap < max_line_) {
        cap = cap > max_line_ / 2 ? max_line_ : cap * 2;
        buf.resize(static_cast<size_t>(cap));
      } else {
        if (!ProcessLongLine(buf, fill, base)) return false;
        if (stop_) return true;
        clean = 0;
        continue;
      }
    }
    const ssize_t n = ReadSome(fd_, buf.data() + fill, cap - fill);
    if (n < 0) return false;
    if (n == 0) return true;  // an unfinished last line waits for the next check
    fill += n;
  }
}

UniqueFd OpenLog(const char* fname) {
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    int fd;
    do {
      // Non-blocking so that a pipe put in the file's place cannot hang us.
      fd = open(fname, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) return UniqueFd(fd);
    sleep(kOpenPauseSeconds);
  }
  return UniqueFd();
}

struct TCheckState {
  long long ResumePos = 0;
  long long CheckedSize = 0;
  long long CheckedAge = 0;
  long long CurrentSize = 0;
  // Where ResumePos lies, when known: from the position table before a
  // check, from the check itself after it.
  bool known = false;
  TLogMark mark;
};

// The bytes of fd just before pos, at most kLogFingerprintBytes of them;
// false when they cannot all be read (the file is shorter).
bool ReadFingerprint(int fd, long long pos, std::string& out) {
  out.clear();
  if (pos <= 0) return pos == 0;
  const long long from = pos > kLogFingerprintBytes ? pos - kLogFingerprintBytes : 0;
  out.resize(static_cast<size_t>(pos - from));
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = pread(fd, &out[done], out.size() - done, static_cast<off_t>(from + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool HasFingerprint(int fd, long long pos, const std::string& fingerprint) {
  std::string now;
  return ReadFingerprint(fd, pos, now) && now == fingerprint;
}

// Notes which file fd is and the bytes before pos in it.
bool MarkAt(int fd, long long pos, TLogFileMark& mark) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  mark.dev = st.st_dev;
  mark.ino = st.st_ino;
  return ReadFingerprint(fd, pos, mark.fingerprint);
}

// Looks in the log's folder for the file a known position lies in, other
// than the log itself (live): the same file by device and inode, renamed;
// failing that, when the log was copied and truncated, a file whose name
// begins like the log's, owned by the log's owner or by root, and whose
// bytes before pos match the fingerprint.
// Every candidate is opened without following links and judged through its
// descriptor, so a name changed meanwhile is judged as what was opened.
UniqueFd FindRotated(const std::string& path, const struct stat& live, const TLogFileMark& mark,
                     long long pos) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  // "app" of "app.log": matches app.log.1, app.log-20240101, app.1.log.
  const std::string stem = base.substr(0, base.find('.', 1));
  UniqueDir dir(opendir(folder.c_str()));
  if (!dir) return UniqueFd();
  const int dfd = dirfd(dir.get());
  UniqueFd by_content;
  int entries = 0;
  while (struct dirent* e = readdir(dir.get())) {
    if (++entries > kMaxFolderEntries) break;
    const char* name = e->d_name;
    if (base == name || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    const bool named_like = std::strncmp(name, stem.c_str(), stem.size()) == 0;
    struct stat st;
    if (fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    const bool same = mark.SameFile(st.st_dev, st.st_ino);
    const bool content_wanted = !by_content.valid() && named_like && !mark.fingerprint.empty();
    if (!same && !content_wanted) continue;
    int fd;
    do {
      fd = openat(dfd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    } while (fd < 0 && errno == EINTR);
    UniqueFd file(fd);
    if (!file.valid() || fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (st.st_dev == live.st_dev && st.st_ino == live.st_ino) continue;
    if (!HasFingerprint(file.get(), pos, mark.fingerprint)) continue;
    if (mark.SameFile(st.st_dev, st.st_ino)) return file;
    // A copy is trusted only when its owner could have written the log: in
    // a folder others may write to, a planted file must not pass for it.
    if (content_wanted && (st.st_uid == live.st_uid || st.st_uid == 0))
      by_content = std::move(file);
  }
  return by_content;
}

long long MTimeNs(const struct stat& st) {
  return static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
}

// One file a check reads, from an offset to its end.
struct TSource {
  UniqueFd fd;
  long long from = 0;
  long long end = -1;  // where reading ended, once read to the end
};

// One check of fname for matcher; see CheckFileForExpression. When the
// state's position is known and the log was rotated since, the rest of the
// rotated file is read first and then the new log from its start, as one
// stream of lines; the state then points wherever reading stopped, which may
// be in the rotated file.
long long RunCheck(const char* fname, TCheckState& state, const TMatcher& matcher, int checkall,
                   int& first_matched, String& line, String& err, const TTextLogLimits& limits) {
  line = "";
  struct stat st;
  int r = -1;
  if (fname != nullptr) {
    do {
      r = stat(fname, &st);
    } while (r != 0 && errno == EINTR);
  }
  state.CurrentSize = r == 0 ? static_cast<long long>(st.st_size) : -1;
  if (r != 0 || !S_ISREG(st.st_mode)) {
    err = "File \"";
    err += ExtractFileName(String(fname));
    err += "\" not found";
    return -1;
  }
  err = "";
  const TLogMark& known = state.mark;
  if (state.CheckedSize != 0 && state.CheckedSize == static_cast<long long>(st.st_size) &&
      state.CheckedAge != 0 && state.CheckedAge == static_cast<int32_t>(st.st_mtime) &&
      (!state.known || !known.has_checked ||
       (known.checked_dev == st.st_dev && known.checked_ino == st.st_ino &&
        known.checked_mtime_ns == MTimeNs(st))))
    return 0;

  UniqueFd fd = OpenLog(fname);
  if (!fd.valid()) {
    err = "Cannot open file";
    return -1;
  }
  struct stat now;
  if (fstat(fd.get(), &now) != 0) now = st;
  const long long size_now = static_cast<long long>(now.st_size);

  if (state.CheckedSize == 0) {
    // First check: only the end of the file is recorded.
    state.ResumePos = size_now - 1;
    state.mark = TLogMark();
    state.known = state.ResumePos >= 0 && MarkAt(fd.get(), state.ResumePos, state.mark.file);
    struct stat end;
    if (fstat(fd.get(), &end) != 0) end = now;
    state.CheckedSize = static_cast<long long>(end.st_size);
    state.CheckedAge = static_cast<int32_t>(end.st_mtime);
    state.mark.has_checked = true;
    state.mark.checked_dev = end.st_dev;
    state.mark.checked_ino = end.st_ino;
    state.mark.checked_mtime_ns = MTimeNs(end);
    return 0;
  }

  // The files to read, in order; the log itself comes last.
  std::vector<TSource> sources;
  bool missed = false;
  const bool was_known = state.known;
  const long long pos = state.ResumePos;
  // Adds the file of place, read from from: the file itself renamed, or
  // its copy; nothing when it is still the log, untruncated.
  auto add_rotated = [&](const TLogPlace& place, long long from) {
    if (from == 0 && place.file.SameFile(now.st_dev, now.st_ino) && size_now >= place.pos &&
        HasFingerprint(fd.get(), place.pos, place.file.fingerprint))
      return;
    UniqueFd old = FindRotated(fname, now, place.file, place.pos);
    if (old.valid())
      sources.push_back(TSource{std::move(old), from, -1});
    else
      missed = true;
  };
  if (was_known) {
    const TLogMark& mark = state.mark;
    const bool same = mark.file.SameFile(now.st_dev, now.st_ino) && size_now >= pos &&
                      HasFingerprint(fd.get(), pos, mark.file.fingerprint);
    for (const TLogPlace& lead : mark.leads) add_rotated(lead, lead.pos);
    if (!same) {
      add_rotated(TLogPlace{mark.file, pos}, pos);
      for (const TLogPlace& f : mark.follow) add_rotated(f, 0);
    }
    sources.push_back(TSource{std::move(fd), same ? pos : 0, -1});
  } else {
    if (state.ResumePos > size_now) state.ResumePos = 0;  // truncated or replaced
    sources.push_back(TSource{std::move(fd), state.ResumePos, -1});
  }
  const int count = static_cast<int>(sources.size());
  if (missed)
    showmessage(
        "Text log \"%s\" was rotated and the rotated file is gone or compressed: lines "
        "may have been missed\n",
        LOCAL, msgBad, 1, fname);

  long long result = 0;
  bool complete = true;
  int at = 0;  // the source reading stopped in
  // A known log that was empty when the check began is not read in it: its
  // writer may have moved to it only now, after a last line into the
  // rotated file read above, and the next check reads both in order.
  const bool log_was_empty = was_known && size_now == 0;
  for (int i = 0; i < count; ++i) {
    at = i;
    if (i == count - 1 && log_was_empty) {
      state.ResumePos = 0;
      break;
    }
    TSource& src = sources[i];
    if (lseek(src.fd.get(), static_cast<off_t>(src.from), SEEK_SET) < 0) {
      if (i + 1 < count) continue;  // a rotated file is only a bonus
      err = "fseek error";
      return -1;
    }
    TLogScanner scan(src.fd.get(), matcher, checkall, src.from, limits, line, state.CurrentSize);
    complete = scan.Run();
    state.ResumePos = scan.resume();
    if (scan.matched()) {
      result = scan.result();
      first_matched = scan.which();
    }
    if (!complete || (scan.matched() && !checkall)) break;
    src.end = scan.resume();
  }
  const int log = count - 1;
  // After a match without check-all the old size and time stay, so the next
  // check is not cut short and goes on after the matching line. After a
  // failed read they stay too: the next check tries again.
  bool empty_log = false;
  TLogMark mark;
  if (was_known) {
    mark.has_checked = state.mark.has_checked;
    mark.checked_dev = state.mark.checked_dev;
    mark.checked_ino = state.mark.checked_ino;
    mark.checked_mtime_ns = state.mark.checked_mtime_ns;
  }
  if ((result == 0 || checkall) && complete) {
    struct stat end;
    if (fstat(sources[log].fd.get(), &end) != 0) end = now;
    state.CheckedSize = static_cast<long long>(end.st_size);
    // A line appended while the log was read may lie past what was read;
    // recording the size from before the read makes the next check read on
    // instead of taking the log for unchanged.
    if (state.CheckedSize != size_now && size_now > 0) state.CheckedSize = size_now;
    state.CheckedAge = static_cast<int32_t>(end.st_mtime);
    mark.has_checked = true;
    mark.checked_dev = end.st_dev;
    mark.checked_ino = end.st_ino;
    mark.checked_mtime_ns = MTimeNs(end);
    // A known log found empty (most often just rotated) is read from its
    // start next time; a recorded size of 0 would make that a first check,
    // which skips to the end. A time of 0 keeps the unchanged-file shortcut
    // off, also for what was written meanwhile.
    empty_log = log_was_empty && at == log;
    if (empty_log) state.CheckedSize = 1;
  }
  state.known = MarkAt(sources[at].fd.get(), state.ResumePos, mark.file);
  // The log itself too: it may be rotated before the position is back.
  for (int i = at + 1; i <= log && i - at <= kMaxFollow; ++i) {
    TLogPlace f;
    f.pos = SizeOf(sources[i].fd.get(), 0);
    if (MarkAt(sources[i].fd.get(), f.pos, f.file)) mark.follow.push_back(std::move(f));
  }
  if (empty_log) {
    // Until the new log gets its first line, its writer may still be
    // appending to the rotated file it wrote to last, or to an empty one
    // rotated after it that it opened meanwhile: the next check looks
    // there first.
    int first = 0;
    for (int i = 0; i < log; ++i)
      if (sources[i].end > 0) first = i;
    if (log - first > kMaxFollow + 1) first = log - kMaxFollow - 1;
    for (int i = first; i < log; ++i) {
      if (sources[i].end < 0) continue;
      TLogPlace lead;
      lead.pos = sources[i].end;
      if (MarkAt(sources[i].fd.get(), lead.pos, lead.file)) mark.leads.push_back(std::move(lead));
    }
  }
  state.mark = std::move(mark);
  if (empty_log) state.CheckedAge = 0;
  return result;
}

long long CheckWith(const char* fname, long long& ResumePos, long long& CheckedSize,
                    long long& CheckedAge, const TMatcher& matcher, int checkall,
                    int& first_matched, String& line, String& err, long long& CurrentSize,
                    const TTextLogLimits& limits) {
  TCheckState state;
  state.ResumePos = ResumePos;
  state.CheckedSize = CheckedSize;
  state.CheckedAge = CheckedAge;
  state.CurrentSize = CurrentSize;
  const std::string path = fname != nullptr ? fname : "";
  state.known = CheckedSize != 0 && LogPositions().Find(path, ResumePos, state.mark);
  const long long r = RunCheck(fname, state, matcher, checkall, first_matched, line, err, limits);
  if (r >= 0 && state.known) LogPositions().Remember(path, state.ResumePos, state.mark);
  ResumePos = state.ResumePos;
  CheckedSize = state.CheckedSize;
  CheckedAge = state.CheckedAge;
  CurrentSize = state.CurrentSize;
  return r;
}

// The three state values from parameters n, n+1, n+2, in that order; false
// at the first one that is not a decimal number.
bool DecodeState(const VQRequest& request, int n, TCheckState& state) {
  return orvDecodeInt64(request.GetParam(n, 1), &state.ResumePos) &&
         orvDecodeInt64(request.GetParam(n + 1, 1), &state.CheckedSize) &&
         orvDecodeInt64(request.GetParam(n + 2, 1), &state.CheckedAge);
}

void AddState(ORVReply& reply, const TCheckState& state) {
  reply.AddIntParam(state.ResumePos);
  reply.AddIntParam(state.CheckedSize);
  reply.AddIntParam(state.CheckedAge);
  reply.AddIntParam(state.CurrentSize);
}

// Runs the check and answers. Without check-all a second check looks ahead:
// when it finds another match, the reply says more are waiting and returns
// the state after the first match, so the next request reports the next
// line; otherwise the state after the look-ahead is returned.
// Runs the check and answers. Without check-all a second check looks ahead:
// when it finds another match, the reply says more are waiting and returns
// the state after the first match, so the next request reports the next
// line; otherwise the state after the look-ahead is returned. What the
// returned position lies in is remembered for the next request.
void AnswerCheck(ORVReply& reply, const String& fname, TCheckState& state, const TMatcher& matcher,
                 int checkall, bool with_first_matched) {
  const TTextLogLimits limits;
  // Reported as 0 when no line matched (nothing claims the first filter).
  int first_matched = 0;
  String line;
  String err;
  String path = fname;
  const std::string key = path.ToStd();
  state.known = state.CheckedSize != 0 && LogPositions().Find(key, state.ResumePos, state.mark);
  const long long pos =
      RunCheck(path.CStr(), state, matcher, checkall, first_matched, line, err, limits);
  if (pos < 0) {
    reply.SetResult("301") += err;
    return;
  }
  reply.SetResult("200");
  reply.AddIntParam(pos);
  reply.AddStringParam(line.Copy(1, kReplyLineBytes), 1);

  const TCheckState first_state = state;
  const int first_flag = first_matched;
  bool more = false;
  if (!checkall) {
    String line2;
    String err2;
    const long long pos2 =
        RunCheck(path.CStr(), state, matcher, checkall, first_matched, line2, err2, limits);
    more = pos2 > 0;
  }
  const TCheckState& sent = more ? first_state : state;
  if (sent.known) LogPositions().Remember(key, sent.ResumePos, sent.mark);
  reply.AddBoolParam(more ? 1 : 0);
  AddState(reply, sent);
  if (with_first_matched) reply.AddBoolParam(more ? first_flag : first_matched);
}

}  // namespace

void DecodeFilter(const VQRequest& request, TTextLogFilter& filter, int n) {
  filter.Expression = orvDecodeStrings(request.GetParam(n, 1));
  filter.IsExpression = orvDecodeBool(request.GetParam(n + 1, 1)) ? 1 : 0;
  filter.CaseSensitive = orvDecodeBool(request.GetParam(n + 2, 1));
  filter.WholeWords = orvDecodeBool(request.GetParam(n + 3, 1));
}

long long CheckFileForExpression(const char* fname, const String& expression, long long& ResumePos,
                                 long long& CheckedSize, long long& CheckedAge, int isexpression,
                                 int checkall, int casesensitive, int wholeword, String& line,
                                 String& err, long long& CurrentSize,
                                 const TTextLogLimits& limits) {
  TMatcher matcher;
  matcher.first.Prepare(expression, isexpression ? 1 : 0, casesensitive, wholeword);
  int unused = 0;
  return CheckWith(fname, ResumePos, CheckedSize, CheckedAge, matcher, checkall, unused, line, err,
                   CurrentSize, limits);
}

long long CheckFileForExpression(const char* fname, const String& expression, long long& ResumePos,
                                 long long& CheckedSize, long long& CheckedAge, int isexpression,
                                 int checkall, int casesensitive, int wholeword, String& line,
                                 String& err, long long& CurrentSize) {
  return CheckFileForExpression(fname, expression, ResumePos, CheckedSize, CheckedAge, isexpression,
                                checkall, casesensitive, wholeword, line, err, CurrentSize,
                                TTextLogLimits());
}

long long CheckFileForExpression2(const char* fname, long long& ResumePos, long long& CheckedSize,
                                  long long& CheckedAge, const TTextLogFilter& first,
                                  const TTextLogFilter& second, int usesecond, int checkall,
                                  int& FirstMatched, String& line, String& err,
                                  long long& CurrentSize, const TTextLogLimits& limits) {
  TMatcher matcher;
  matcher.Prepare(first, second, usesecond);
  return CheckWith(fname, ResumePos, CheckedSize, CheckedAge, matcher, checkall, FirstMatched, line,
                   err, CurrentSize, limits);
}

long long CheckFileForExpression2(const char* fname, long long& ResumePos, long long& CheckedSize,
                                  long long& CheckedAge, const TTextLogFilter& first,
                                  const TTextLogFilter& second, int usesecond, int checkall,
                                  int& FirstMatched, String& line, String& err,
                                  long long& CurrentSize) {
  return CheckFileForExpression2(fname, ResumePos, CheckedSize, CheckedAge, first, second,
                                 usesecond, checkall, FirstMatched, line, err, CurrentSize,
                                 TTextLogLimits());
}

void ProcessTest_TextLog(const VQRequest& request, ORVReply& reply) {
  const String fname = GetFirstMatchedFile(request.GetParam(1, 1));
  if (fname.IsEmpty()) {
    reply.SetResult("301") += "File does not exist";
    return;
  }
  const String expression = orvDecodeStrings(request.GetParam(2, 1));
  TCheckState state;
  if (!DecodeState(request, 3, state)) {
    reply.SetResult("501") += "Wrong parameter";
    return;
  }
  const int isexpression = orvDecodeBool(request.GetParam(6, 1));
  const int checkall = orvDecodeBool(request.GetParam(7, 1));
  const int casesensitive = orvDecodeBool(request.GetParam(8, 1));
  const int wholeword = orvDecodeBool(request.GetParam(9, 1));

  TMatcher matcher;
  matcher.first.Prepare(expression, isexpression, casesensitive, wholeword);
  AnswerCheck(reply, fname, state, matcher, checkall, false);
}

void ProcessTest_TextLog2(const VQRequest& request, ORVReply& reply) {
  const String fname = GetFirstMatchedFile(request.GetParam(1, 1));
  if (fname.IsEmpty()) {
    reply.SetResult("301") += "File does not exist";
    return;
  }
  TCheckState state;
  if (!DecodeState(request, 2, state)) {
    reply.SetResult("501") += "Wrong parameter";
    return;
  }
  const int checkall = orvDecodeBool(request.GetParam(5, 1));
  TTextLogFilter first;
  TTextLogFilter second;
  DecodeFilter(request, first, 6);
  const int usesecond = orvDecodeBool(request.GetParam(10, 1));
  if (usesecond) DecodeFilter(request, second, 11);

  TMatcher matcher;
  matcher.Prepare(first, second, usesecond);
  AnswerCheck(reply, fname, state, matcher, checkall, true);
}
