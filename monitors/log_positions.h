// What the agent remembers of the text-log positions it gave back, so that a
// check can tell a rotated log from a grown one.
//
// The server keeps a log check's state, not the agent; but the state holds
// only a byte offset, which says nothing about which file it was taken in.
// For every (path, ResumePos) pair a check returns, the agent notes the
// device and inode of the file the position lies in and the bytes just
// before it (the fingerprint). A later request with the same pair can then
// see that the path now names another file, or that the file was truncated
// and written again, and find the file it was reading.
//
// The table is bounded: past its capacity the entry used least recently is
// dropped, and a request whose pair is not (or no longer) known is checked
// as if the agent had never seen it. Several servers watching one log with
// different filters hold different positions, so each has its own entries.
//
// Thread safety: Find and Remember may be called from any thread at once; a
// mutex held only while the table itself is read or changed guards it.
#ifndef ORV_MONITORS_LOG_POSITIONS_H_
#define ORV_MONITORS_LOG_POSITIONS_H_

#include <sys/types.h>

#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

// The fingerprint's length: at most this many bytes before the position.
constexpr int kLogFingerprintBytes = 64;

// One file and the bytes before a position in it.
struct TLogFileMark {
  dev_t dev = 0;
  ino_t ino = 0;
  std::string fingerprint;

  bool SameFile(dev_t d, ino_t i) const { return dev == d && ino == i; }
};

// A file and a position in it, the fingerprint being of the bytes before it.
struct TLogPlace {
  TLogFileMark file;
  long long pos = 0;
};

// What is known of a returned position.
struct TLogMark {
  TLogFileMark file;  // the file the position lies in
  // The files that followed file when the position was returned, oldest
  // first, the log itself last, each with its size then: a position left in
  // a rotated file keeps them, to read each from its start (or, if it was
  // since copied and truncated, its copy) before the log.
  std::vector<TLogPlace> follow;
  // When the position is the start of a new log that was still empty: the
  // rotated files before it where its writer may still be appending (the
  // last one that held lines and the empty ones after it), oldest first,
  // each with how far it was read.
  std::vector<TLogPlace> leads;
  // The log as the returned size and time were recorded, to the nanosecond:
  // a log rotated or truncated and refilled to the same size within the
  // same second must not pass for unchanged.
  bool has_checked = false;
  dev_t checked_dev = 0;
  ino_t checked_ino = 0;
  long long checked_mtime_ns = 0;
};

class TLogPositionTable {
 public:
  static constexpr size_t kDefaultCapacity = 4096;
  explicit TLogPositionTable(size_t capacity = kDefaultCapacity) : capacity_(capacity) {}

  // True and mark filled when (path, pos) is known; the entry becomes the
  // most recently used.
  bool Find(const std::string& path, long long pos, TLogMark& mark);
  // Notes mark for (path, pos), replacing what was known of the pair.
  void Remember(const std::string& path, long long pos, const TLogMark& mark);
  size_t Size() const;

 private:
  struct Key {
    std::string path;
    long long pos;
    bool operator==(const Key& o) const { return pos == o.pos && path == o.path; }
  };
  struct KeyHash {
    size_t operator()(const Key& k) const {
      return std::hash<std::string>()(k.path) ^
             (std::hash<long long>()(k.pos) * 0x9e3779b97f4a7c15ULL);
    }
  };
  using Entry = std::pair<Key, TLogMark>;

  const size_t capacity_;
  mutable std::mutex mutex_;
  std::list<Entry> order_;  // most recently used first
  std::unordered_map<Key, std::list<Entry>::iterator, KeyHash> index_;
};

// The agent's one table, shared by all sessions.
TLogPositionTable& LogPositions();

#endif  // ORV_MONITORS_LOG_POSITIONS_H_
