#include "core/broadcast.hpp"

#include <algorithm>

namespace vennock::core {

void GossipQueue::link(Item* it, bool front) {
  Bucket& b = buckets_[it->transmits];
  it->where = front ? b.insert(b.begin(), it) : b.insert(b.end(), it);
  if (it->kind == Kind::Broadcast) bcast_.insert(it);
}

void GossipQueue::unlink(Item* it) {
  auto b = buckets_.find(it->transmits);
  b->second.erase(it->where);
  if (b->second.empty()) buckets_.erase(b);
  if (it->kind == Kind::Broadcast) bcast_.erase(it);
}

void GossipQueue::remove(Item* it) {
  unlink(it);
  items_.erase(items_.find(it->key));  // frees it
}

bool GossipQueue::Item::wants(Recipient to, size_t members) const {
  return !to || reached.size() >= members || !std::binary_search(reached.begin(), reached.end(), to);
}

void GossipQueue::Item::sent_to(Recipient to, size_t members) {
  auto new_round = [&] {
    reached.clear();
    if (withheld) reached.push_back(withheld);
  };
  if (reached.size() >= members) new_round();
  if (to) {
    auto at = std::lower_bound(reached.begin(), reached.end(), to);
    if (at == reached.end() || *at != to) reached.insert(at, to);
  }
  if (reached.size() >= members) new_round();
}

void GossipQueue::push(Kind kind, std::string key, proto::Bytes msg, Recipient withheld) {
  auto found = items_.find(key);
  if (found != items_.end()) remove(found->second.get());
  auto item = std::make_unique<Item>();
  item->key = key;
  item->msg = std::move(msg);
  item->id = next_id_++;
  item->kind = kind;
  item->withheld = withheld;
  if (withheld) item->reached.push_back(withheld);
  Item* raw = item.get();
  items_.emplace(std::move(key), std::move(item));
  link(raw, true);
}

bool GossipQueue::next_wants(Recipient to, size_t members) const {
  return buckets_.empty() || buckets_.begin()->second.front()->wants(to, members);
}

bool GossipQueue::drop_one_broadcast() {
  if (bcast_.empty()) return false;
  remove(*std::prev(bcast_.end()));
  return true;
}

size_t GossipQueue::fill(proto::Bytes& out, size_t budget, size_t fresh_budget, uint32_t limit, Dest dest,
                         uint64_t& too_large) {
  // The smallest message is a few bytes; below this there is no point looking further.
  constexpr size_t kMinItem = 8;
  // Bound the work per packet: items that do not fit the space left are skipped, but only
  // this many of them, so a queue of large items cannot make one packet cost O(queue).
  constexpr int kMaxSkips = 16;
  // Likewise for items the destination already had: a copy is worth more to a member that
  // has not had one, so these wait for another packet, but looking for the others is bounded.
  constexpr int kMaxPassed = 64;
  size_t start = out.size();
  int skips = 0, passed = 0;
  std::vector<Item*> sent;
  std::vector<Item*> drop;
  bool stop = false;
  for (auto b = buckets_.begin(); b != buckets_.end() && !stop; ++b) {
    for (Item* item : b->second) {
      size_t used = out.size() - start;
      if (used + kMinItem > budget) {
        stop = true;
        break;
      }
      if (item->transmits >= limit) {  // the cluster shrank since it was queued
        drop.push_back(item);
        continue;
      }
      if (!item->wants(dest.to, dest.members)) {
        if (++passed > kMaxPassed) {
          stop = true;
          break;
        }
        continue;
      }
      if (item->msg.size() > fresh_budget) {
        ++too_large;
        drop.push_back(item);
        continue;
      }
      if (used + item->msg.size() > budget) {
        if (++skips > kMaxSkips) {
          stop = true;
          break;
        }
        continue;
      }
      out.insert(out.end(), item->msg.begin(), item->msg.end());
      sent.push_back(item);
    }
  }
  for (Item* item : drop) remove(item);
  for (Item* item : sent) {
    unlink(item);
    item->sent_to(dest.to, dest.members);
    if (++item->transmits >= limit) {
      items_.erase(items_.find(item->key));
    } else {
      link(item, false);
    }
  }
  return sent.size();
}

}  // namespace vennock::core
