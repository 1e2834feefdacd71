// Refusal of replayed requests. The password proof is the same in every
// request, so a request captured on the wire would be accepted again for
// ever; with "replaywindow" above 0 the agent remembers a digest of the
// encrypted session key of every request it accepted, for that many seconds,
// and refuses a request that repeats one (no reply, like a wrong password).
// A server that chooses a fresh session key per request is never refused.
//
// The table has a fixed size (kSlots digests, 1.5 MiB, touched only as it
// fills) and lives in an anonymous memory file, so that it survives the
// agent's own re-execution (reload, upgrade): the descriptor is inherited
// across execve and named in the environment variable kReplayFdVariable,
// and the new image takes the table over at start-up. When the table is so
// busy that no slot near a digest's place is free, the entry recorded
// earliest there is dropped first.
//
// Thread safety: every member may be called from any thread; the table is
// guarded by the object's own mutex.
#ifndef ORV_AGENT_REPLAY_GUARD_H_
#define ORV_AGENT_REPLAY_GUARD_H_

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "base/bytestring.h"

constexpr const char kReplayFdVariable[] = "ORV_REPLAY_TABLE_FD";

class TReplayGuard {
 public:
  static constexpr uint32_t kSlots = 65536;  // a power of two
  static constexpr int kProbe = 64;          // slots looked at per digest

  TReplayGuard() = default;
  ~TReplayGuard();
  TReplayGuard(const TReplayGuard&) = delete;
  TReplayGuard& operator=(const TReplayGuard&) = delete;

  // True when a request with this encrypted session key was accepted within
  // the last window_seconds; otherwise the key is remembered and false
  // returned. A window of 0 or less remembers nothing. When the table cannot
  // be made (no memory), nothing is refused.
  bool Repeated(const String& encrypted_key, int window_seconds);

  // At start-up: takes over the table that the previous image of the agent
  // handed over in the environment, if there is a valid one, and removes the
  // variable so that children do not see it.
  void Adopt();

  // Just before the agent re-executes itself: the environment to pass to
  // execve (envp, plus the variable naming the table when there is one) and
  // the table's descriptor made inheritable. ExecFailed() undoes the latter.
  char** PrepareExec(char** envp);
  void ExecFailed();

 private:
  bool EnsureTable();  // mutex held
  bool Map(int fd);    // mutex held

  std::mutex mutex_;
  int fd_ = -1;
  unsigned char* map_ = nullptr;
  int64_t order_ = 0;
  std::vector<std::string> env_text_;
  std::vector<char*> env_;
};

// The agent's one table.
TReplayGuard& ReplayGuard();

#endif  // ORV_AGENT_REPLAY_GUARD_H_
