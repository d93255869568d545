#include "core/replay.hpp"

#include <cstring>

namespace vennock::core {

void ReplayWindow::expire(uint64_t below) {
  while (!by_stamp_.empty() && by_stamp_.top().stamp < below) {
    seen_.erase(by_stamp_.top().key);
    by_stamp_.pop();
  }
}

ReplayWindow::Verdict ReplayWindow::check(uint64_t wall_ms, uint64_t stamp_ms,
                                          const std::array<uint8_t, proto::NONCE_LEN>& nonce) {
  uint64_t lo = wall_ms > window_ms_ ? wall_ms - window_ms_ : 0;
  uint64_t hi = wall_ms + window_ms_;
  // Nonces older than the window can be forgotten: their packets are refused by stamp.
  expire(lo);
  if (stamp_ms < lo || stamp_ms > hi || stamp_ms < floor_ms_) return Verdict::Stale;
  Key k{};
  std::memcpy(&k.a, nonce.data(), 8);
  std::memcpy(&k.b, nonce.data() + 8, 8);
  std::memcpy(&k.c, nonce.data() + 16, 8);
  if (seen_.count(k)) return Verdict::Replayed;
  if (seen_.size() >= cap_) {
    // Full: stop accepting stamps at or below the oldest remembered one, then forget it.
    // Every nonce forgotten this way belongs to a stamp the window now refuses.
    uint64_t oldest = by_stamp_.top().stamp;
    floor_ms_ = oldest + 1;
    expire(floor_ms_);
    if (stamp_ms < floor_ms_) return Verdict::Stale;
  }
  seen_.insert(k);
  by_stamp_.push(Item{stamp_ms, k});
  return Verdict::Fresh;
}

}  // namespace vennock::core
