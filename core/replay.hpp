// The replay window: an encrypted packet is accepted only when its stamp lies within a window
// of this node's wall-clock estimate and its nonce has not been seen within that window.
#pragma once

#include <array>
#include <cstdint>
#include <queue>
#include <unordered_set>
#include <vector>

#include "proto/packet.hpp"

namespace vennock::core {

class ReplayWindow {
 public:
  // window_ms: how far a stamp may lie from the local wall estimate, either way.
  // cap: the most nonces remembered; reaching it tightens the window instead of forgetting
  // a nonce that is still inside it.
  ReplayWindow(uint64_t window_ms, size_t cap) : window_ms_(window_ms), cap_(cap) {}

  enum class Verdict { Fresh, Stale, Replayed };

  // Checks a packet's stamp and nonce against the window at wall time `wall_ms`, and
  // remembers the nonce when the packet is fresh.
  Verdict check(uint64_t wall_ms, uint64_t stamp_ms, const std::array<uint8_t, proto::NONCE_LEN>& nonce);

  size_t remembered() const { return seen_.size(); }
  // The lowest stamp still accepted (raised when the nonce memory filled up).
  uint64_t floor_ms() const { return floor_ms_; }

 private:
  struct Key {
    uint64_t a, b, c;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    size_t operator()(const Key& k) const { return static_cast<size_t>(k.a ^ (k.b * 0x9e3779b97f4a7c15ULL) ^ k.c); }
  };
  struct Item {
    uint64_t stamp;
    Key key;
    bool operator>(const Item& o) const { return stamp > o.stamp; }
  };
  void expire(uint64_t below);

  uint64_t window_ms_;
  size_t cap_;
  uint64_t floor_ms_ = 0;
  std::unordered_set<Key, KeyHash> seen_;
  std::priority_queue<Item, std::vector<Item>, std::greater<Item>> by_stamp_;
};

}  // namespace vennock::core
