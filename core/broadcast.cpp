#include "core/broadcast.hpp"

#include <vector>

namespace vennock::core {

void GossipQueue::remove(Item* it) {
  order_.erase(it);
  if (it->kind == Kind::Broadcast) {
    bcast_order_.erase(it);
    --broadcasts_;
  }
  items_.erase(items_.find(it->key));  // frees it
}

void GossipQueue::push(Kind kind, std::string key, proto::Bytes msg) {
  auto found = items_.find(key);
  if (found != items_.end()) remove(found->second.get());
  auto item = std::make_unique<Item>();
  item->key = key;
  item->msg = std::move(msg);
  item->id = next_id_++;
  item->kind = kind;
  Item* raw = item.get();
  items_.emplace(std::move(key), std::move(item));
  order_.insert(raw);
  if (kind == Kind::Broadcast) {
    bcast_order_.insert(raw);
    ++broadcasts_;
  }
}

void GossipQueue::erase(const std::string& key) {
  auto found = items_.find(key);
  if (found != items_.end()) remove(found->second.get());
}

bool GossipQueue::drop_one_broadcast() {
  if (bcast_order_.empty()) return false;
  remove(*std::prev(bcast_order_.end()));
  return true;
}

size_t GossipQueue::fill(proto::Bytes& out, size_t budget, size_t fresh_budget, uint32_t limit,
                         uint64_t& too_large) {
  // The smallest message is a few bytes; below this there is no point looking further.
  constexpr size_t kMinItem = 8;
  // Bound the work per packet: items that do not fit the space left are skipped, but only
  // this many of them, so a queue of large items cannot make one packet cost O(queue).
  constexpr int kMaxSkips = 16;
  size_t start = out.size();
  size_t taken = 0;
  int skips = 0;
  std::vector<Item*> sent;
  std::vector<Item*> oversize;
  for (auto it = order_.begin(); it != order_.end(); ++it) {
    size_t used = out.size() - start;
    if (used + kMinItem > budget) break;
    Item* item = *it;
    if (item->msg.size() > fresh_budget) {
      oversize.push_back(item);
      continue;
    }
    if (used + item->msg.size() > budget) {
      if (++skips > kMaxSkips) break;
      continue;
    }
    out.insert(out.end(), item->msg.begin(), item->msg.end());
    sent.push_back(item);
    ++taken;
  }
  for (Item* item : oversize) {
    ++too_large;
    remove(item);
  }
  for (Item* item : sent) {
    order_.erase(item);
    if (item->kind == Kind::Broadcast) bcast_order_.erase(item);
    if (++item->transmits >= limit) {
      if (item->kind == Kind::Broadcast) --broadcasts_;
      items_.erase(items_.find(item->key));
    } else {
      order_.insert(item);
      if (item->kind == Kind::Broadcast) bcast_order_.insert(item);
    }
  }
  return taken;
}

}  // namespace vennock::core
