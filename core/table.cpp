#include "core/table.hpp"

#include <algorithm>

namespace vennock::core {

Entry* Table::find(std::string_view name) {
  auto it = by_name_.find(name);
  return it == by_name_.end() ? nullptr : &slots_[it->second];
}

const Entry* Table::find(std::string_view name) const {
  auto it = by_name_.find(name);
  return it == by_name_.end() ? nullptr : &slots_[it->second];
}

void Table::list_insert(uint32_t slot) {
  Entry& e = slots_[slot];
  auto& list = is_live(e.m.state) ? live_ : gone_;
  e.pos = static_cast<uint32_t>(list.size());
  list.push_back(slot);
}

void Table::list_erase(uint32_t slot) {
  Entry& e = slots_[slot];
  auto& list = is_live(e.m.state) ? live_ : gone_;
  uint32_t last = list.back();
  list[e.pos] = last;
  slots_[last].pos = e.pos;
  list.pop_back();
}

uint32_t Table::add(Member m, uint64_t now) {
  uint32_t slot;
  if (!free_.empty()) {
    slot = free_.back();
    free_.pop_back();
  } else {
    slot = static_cast<uint32_t>(slots_.size());
    slots_.emplace_back();
  }
  Entry& e = slots_[slot];
  e.m = std::move(m);
  e.since = now;
  e.expiry = 0;
  e.used = true;
  e.susp.reset();
  by_name_.emplace(std::string_view(e.m.name), slot);
  order_dirty_ = true;
  list_insert(slot);
  return slot;
}

void Table::remove(uint32_t slot) {
  Entry& e = slots_[slot];
  list_erase(slot);
  by_name_.erase(std::string_view(e.m.name));
  order_dirty_ = true;
  e.used = false;
  ++e.gen;
  e.susp.reset();
  e.m = Member{};
  free_.push_back(slot);
}

void Table::sort_order() const {
  order_.clear();
  order_.reserve(by_name_.size());
  for (const auto& kv : by_name_) order_.push_back(kv.second);
  std::sort(order_.begin(), order_.end(),
            [this](uint32_t a, uint32_t b) { return slots_[a].m.name < slots_[b].m.name; });
  order_dirty_ = false;
}

void Table::set_state(uint32_t slot, MemberState s, uint64_t now) {
  Entry& e = slots_[slot];
  if (e.m.state == s) return;
  bool moves = is_live(e.m.state) != is_live(s);
  if (moves) list_erase(slot);
  e.m.state = s;
  e.since = now;
  if (moves) list_insert(slot);
}

}  // namespace vennock::core
