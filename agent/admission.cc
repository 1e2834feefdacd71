#include "agent/admission.h"

TSessionAdmission::Verdict TSessionAdmission::Admit(in_addr peer, int max_total,
                                                    int max_per_address) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (max_total > 0 && total_ >= max_total) return kTooManySessions;
  auto it = per_address_.find(peer.s_addr);
  int mine = it == per_address_.end() ? 0 : it->second;
  if (max_per_address > 0 && mine >= max_per_address) return kTooManyFromAddress;
  per_address_[peer.s_addr] = mine + 1;
  ++total_;
  return kAdmitted;
}

void TSessionAdmission::Leave(in_addr peer) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = per_address_.find(peer.s_addr);
  if (it == per_address_.end()) return;  // not admitted: nothing to give back
  if (--it->second <= 0) per_address_.erase(it);
  --total_;
}

int TSessionAdmission::Total() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return total_;
}

int TSessionAdmission::FromAddress(in_addr peer) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = per_address_.find(peer.s_addr);
  return it == per_address_.end() ? 0 : it->second;
}

TSessionAdmission& SessionAdmission() {
  // Never destroyed: detached session threads may leave after main returns.
  static TSessionAdmission* gate = new TSessionAdmission;
  return *gate;
}
