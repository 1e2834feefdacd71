#include "agent/repeat_limit.h"

uint64_t TRepeatLimiter::Key(int type, uint32_t address, const char* text) {
  uint64_t h = 1469598103934665603ull;  // FNV-1a
  auto mix = [&h](unsigned char c) {
    h ^= c;
    h *= 1099511628211ull;
  };
  for (int i = 0; i < 4; ++i) mix(static_cast<unsigned char>(address >> (8 * i)));
  mix(static_cast<unsigned char>(type));
  for (const char* p = text; *p; ++p) mix(static_cast<unsigned char>(*p));
  return h;
}

TRepeatLimiter::TSummary TRepeatLimiter::Drain(TSlot& slot) {
  TSummary s;
  s.count = slot.suppressed;
  s.address = slot.address;
  s.type = slot.type;
  slot.suppressed = 0;
  return s;
}

bool TRepeatLimiter::Admit(uint64_t key, uint32_t address, int type, int64_t now,
                           TSummary* summary) {
  *summary = TSummary();
  TSlot* slot = nullptr;
  TSlot* oldest = &slots_[0];
  for (TSlot& s : slots_) {
    if (s.used && s.key == key) {
      slot = &s;
      break;
    }
    if (!s.used || (oldest->used && s.last_seen < oldest->last_seen)) oldest = &s;
  }
  if (slot == nullptr) {
    slot = oldest;
    if (slot->used && slot->suppressed > 0) *summary = Drain(*slot);
    *slot = TSlot();
    slot->used = true;
    slot->key = key;
    slot->address = address;
    slot->type = type;
    slot->window_start = now;
  }
  slot->last_seen = now;
  if (now - slot->window_start >= kWindowSeconds) {
    if (slot->suppressed > 0) *summary = Drain(*slot);
    slot->window_start = now;
    slot->shown = 0;
  }
  if (slot->shown < kBurst) {
    slot->shown++;
    return true;
  }
  slot->suppressed++;
  return false;
}

bool TRepeatLimiter::TakeExpired(int64_t now, TSummary* summary) {
  for (TSlot& s : slots_) {
    if (s.used && s.suppressed > 0 && now - s.window_start >= kWindowSeconds) {
      *summary = Drain(s);
      return true;
    }
  }
  return false;
}
