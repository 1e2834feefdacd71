// Rate limit of repeated identical messages: a stranger who connects in a
// loop, or a failure that recurs every tenth of a second, must not flood the
// console, the journal and the log files. Each distinct message (class,
// address and text) may be written kBurst times per window of
// kWindowSeconds; further copies in that window are only counted, and once
// the window is over one line says how many were left out.
//
// Thread safety: none; the logging code calls it under showmutex.
#ifndef ORV_AGENT_REPEAT_LIMIT_H_
#define ORV_AGENT_REPEAT_LIMIT_H_

#include <cstdint>

class TRepeatLimiter {
 public:
  static constexpr int kBurst = 10;
  static constexpr int kWindowSeconds = 10;
  // Distinct messages followed at once; a new one takes the slot that was
  // used least recently.
  static constexpr int kSlots = 64;

  // Copies of one message left out during a window that has ended.
  struct TSummary {
    int count = 0;  // 0: nothing to report
    uint32_t address = 0;
    int type = 0;
  };

  // The key of a message: a hash of its class, address and text.
  static uint64_t Key(int type, uint32_t address, const char* text);

  // True when this copy of the message is written. *summary gets the count
  // of an earlier window to report first (of this message, or of the one
  // whose slot it takes), or a count of 0.
  bool Admit(uint64_t key, uint32_t address, int type, int64_t now, TSummary* summary);

  // The next message whose window has ended with copies left out; its count
  // is cleared. False when there is none.
  bool TakeExpired(int64_t now, TSummary* summary);

 private:
  struct TSlot {
    uint64_t key = 0;
    int64_t window_start = 0;
    int64_t last_seen = 0;
    int shown = 0;
    int suppressed = 0;
    uint32_t address = 0;
    int type = 0;
    bool used = false;
  };
  static TSummary Drain(TSlot& slot);

  TSlot slots_[kSlots];
};

#endif  // ORV_AGENT_REPEAT_LIMIT_H_
