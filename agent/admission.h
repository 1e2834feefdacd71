// Admission of connections to sessions: at most a total number of sessions
// at once, and at most a smaller number from any one client address, so that
// a single stranger opening connections in a loop cannot take every slot (or
// every descriptor) and lock the real servers out. The excess is refused at
// once, before a session or a thread is spent on it.
//
// Usage: the accept loop asks Admit() with the peer and the current limits;
// the session of an admitted connection calls Leave() with the same peer
// exactly once when it ends (or the accept loop does, when no session could
// be started).
//
// Thread safety: every member may be called from any thread; the counts are
// guarded by the object's own mutex, held only for a map look-up.
#ifndef ORV_AGENT_ADMISSION_H_
#define ORV_AGENT_ADMISSION_H_

#include <netinet/in.h>

#include <cstdint>
#include <mutex>
#include <unordered_map>

class TSessionAdmission {
 public:
  enum Verdict { kAdmitted, kTooManySessions, kTooManyFromAddress };

  // Takes a slot for the peer when fewer than max_total sessions run in all
  // and fewer than max_per_address from this address. A limit of 0 or less
  // means no limit of that kind.
  Verdict Admit(in_addr peer, int max_total, int max_per_address);
  // Gives back a slot that Admit granted to this peer.
  void Leave(in_addr peer);

  int Total() const;
  int FromAddress(in_addr peer) const;

 private:
  mutable std::mutex mutex_;
  int total_ = 0;
  std::unordered_map<uint32_t, int> per_address_;  // only addresses with sessions
};

// The agent's one admission gate, shared by the accept loop and the sessions.
TSessionAdmission& SessionAdmission();

#endif  // ORV_AGENT_ADMISSION_H_
