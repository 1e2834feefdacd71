#include "monitors/log_positions.h"

bool TLogPositionTable::Find(const std::string& path, long long pos, TLogMark& mark) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = index_.find(Key{path, pos});
  if (it == index_.end()) return false;
  order_.splice(order_.begin(), order_, it->second);
  mark = it->second->second;
  return true;
}

void TLogPositionTable::Remember(const std::string& path, long long pos, const TLogMark& mark) {
  if (capacity_ == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  Key key{path, pos};
  auto it = index_.find(key);
  if (it != index_.end()) {
    it->second->second = mark;
    order_.splice(order_.begin(), order_, it->second);
    return;
  }
  if (index_.size() >= capacity_) {
    index_.erase(order_.back().first);
    order_.pop_back();
  }
  order_.emplace_front(key, mark);
  index_.emplace(std::move(key), order_.begin());
}

size_t TLogPositionTable::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return index_.size();
}

TLogPositionTable& LogPositions() {
  static TLogPositionTable table;
  return table;
}
