// The member table: entries in stable slots, a name index in byte order, and two lists for
// O(1) random choice: live members (alive or suspect) and gone ones (dead or left).
#pragma once

#include <cstdint>
#include <deque>
#include <unordered_map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/member.hpp"
#include "core/suspicion.hpp"

namespace vennock::core {

inline bool is_live(MemberState s) { return s == MemberState::Alive || s == MemberState::Suspect; }

// Incarnations wrap around: a is newer than b when it lies less than half the range ahead.
inline bool inc_newer(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }

struct Entry {
  Member m;
  uint64_t since = 0;   // engine time of the last state change
  uint64_t expiry = 0;  // when a gone entry leaves the table (0: not scheduled)
  uint32_t pos = 0;     // index in the live or the gone list
  uint32_t gen = 0;     // raised each time the slot is reused
  bool used = false;
  // Learned from another member's State rather than from gossip: not yet passed on.
  bool quiet = false;
  std::unique_ptr<Suspicion> susp;
};

class Table {
 public:
  size_t size() const { return by_name_.size(); }
  size_t live_count() const { return live_.size(); }
  size_t gone_count() const { return gone_.size(); }

  Entry* find(std::string_view name);
  const Entry* find(std::string_view name) const;
  Entry& at(uint32_t slot) { return slots_[slot]; }
  const Entry& at(uint32_t slot) const { return slots_[slot]; }

  // Adds a member (its state decides its list); returns its slot.
  uint32_t add(Member m, uint64_t now);
  // Removes an entry; its slot is reused later under a new generation.
  void remove(uint32_t slot);
  // Moves an entry between the live and gone lists after its state changed.
  void set_state(uint32_t slot, MemberState s, uint64_t now);

  // The slot of an entry in the table, recovered from its place in the live or gone list.
  uint32_t slot_of(const Entry& e) const { return is_live(e.m.state) ? live_[e.pos] : gone_[e.pos]; }

  const std::vector<uint32_t>& live() const { return live_; }
  const std::vector<uint32_t>& gone() const { return gone_; }

  // Entries in name order (byte order). The order is rebuilt only after the set of names
  // changed, so repeated walks of a steady table cost O(n) each.
  template <class F>
  void for_each(F&& f) const {
    if (order_dirty_) sort_order();
    for (uint32_t slot : order_) f(slots_[slot]);
  }

 private:
  void list_insert(uint32_t slot);
  void list_erase(uint32_t slot);

  std::deque<Entry> slots_;  // a deque keeps entries (and their names) in place as it grows
  std::vector<uint32_t> free_;
  struct NameHash {
    size_t operator()(std::string_view s) const {
      // FNV-1a: names are short, and this keeps lookups cheap and deterministic.
      uint64_t h = 1469598103934665603ULL;
      for (unsigned char c : s) h = (h ^ c) * 1099511628211ULL;
      return static_cast<size_t>(h ^ (h >> 29));
    }
  };
  void sort_order() const;
  std::unordered_map<std::string_view, uint32_t, NameHash> by_name_;  // views into the entries' names
  mutable std::vector<uint32_t> order_;
  mutable bool order_dirty_ = false;
  std::vector<uint32_t> live_;
  std::vector<uint32_t> gone_;
};

}  // namespace vennock::core
