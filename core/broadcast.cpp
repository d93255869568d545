#include "core/broadcast.hpp"

#include <algorithm>

namespace vennock::core {

void GossipQueue::link(Item* it, bool front) {
  if (it->opt.held) return;
  Bucket& b = buckets_[it->transmits];
  it->where = front ? b.insert(b.begin(), it) : b.insert(b.end(), it);
  if (it->kind == Kind::Broadcast) bcast_.insert(it);
}

void GossipQueue::unlink(Item* it) {
  if (it->opt.held) return;
  auto b = buckets_.find(it->transmits);
  b->second.erase(it->where);
  if (b->second.empty()) buckets_.erase(b);
  if (it->kind == Kind::Broadcast) bcast_.erase(it);
}

void GossipQueue::remove(Item* it) {
  unlink(it);
  if (it->opt.held) --held_;
  items_.erase(items_.find(it->key));  // frees it
}

bool GossipQueue::Item::first_copy(const Dest& d) const {
  return reached.size() < d.members && !std::binary_search(reached.begin(), reached.end(), d.to);
}

bool GossipQueue::Item::wants(const Dest& d, uint32_t limit) const {
  if (!d.to) return true;
  if (d.to == opt.withheld) return false;
  const bool had = std::binary_search(reached.begin(), reached.end(), d.to);
  if (reached.size() < d.members && !had) return true;  // its first copy this round
  // Spares are copies against loss, to the members the round reached.
  if (spare_limit) return d.sent_anyway && had;
  if (reached.size() >= d.members) return d.sent_anyway || !spares_ride(d, limit);
  return false;
}

void GossipQueue::Item::sent_to(const Dest& d, uint32_t limit) {
  auto new_round = [&] {
    reached.clear();
    if (opt.withheld_live) reached.push_back(opt.withheld);
  };
  const bool round_over = reached.size() >= d.members;
  // A spare copy leaves the round as it was, so a member that was not in it can still get a
  // first copy.
  if (d.to && !first_copy(d) && (spare_limit || (round_over && spares_ride(d, limit)))) return;
  if (round_over) new_round();
  if (d.to) {
    auto at = std::lower_bound(reached.begin(), reached.end(), d.to);
    if (at == reached.end() || *at != d.to) reached.insert(at, d.to);
  }
  if (reached.size() < d.members) return;
  if (!spares_ride(d, limit)) {
    new_round();
  } else if (!spare_limit) {
    // The rest of its copies are spares, for loss; a larger cluster later adds none.
    spare_limit = limit;
  }
}

void GossipQueue::push(Kind kind, std::string key, proto::Bytes msg, Options o) {
  auto found = items_.find(key);
  if (found != items_.end()) remove(found->second.get());
  auto item = std::make_unique<Item>();
  item->key = key;
  item->msg = std::move(msg);
  item->id = next_id_++;
  item->kind = kind;
  o.withheld_live = o.withheld && o.withheld_live;
  item->opt = o;
  if (o.withheld_live) item->reached.push_back(o.withheld);
  if (o.held) ++held_;
  Item* raw = item.get();
  items_.emplace(std::move(key), std::move(item));
  link(raw, true);
}

void GossipQueue::release() {
  if (held_ == 0) return;
  for (auto& [key, item] : items_) {
    if (!item->opt.held) continue;
    item->opt.held = false;
    link(item.get(), true);
  }
  held_ = 0;
}

void GossipQueue::forget(Recipient r) {
  for (auto& [key, item] : items_) {
    auto at = std::lower_bound(item->reached.begin(), item->reached.end(), r);
    if (at != item->reached.end() && *at == r) item->reached.erase(at);
    if (item->opt.withheld == r) item->opt.withheld_live = false;
  }
}

bool GossipQueue::copy(const std::string& key, proto::Bytes& out, size_t budget) const {
  auto found = items_.find(key);
  if (found == items_.end() || found->second->opt.held) return false;
  const proto::Bytes& msg = found->second->msg;
  if (out.size() + msg.size() > budget) return false;
  out.insert(out.end(), msg.begin(), msg.end());
  return true;
}

bool GossipQueue::next_wants(Recipient to, size_t members, uint32_t limit) const {
  return buckets_.empty() || buckets_.begin()->second.front()->wants(Dest{to, members, true, false}, limit);
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
      if (item->transmits >= item->limit_of(limit)) {  // the cluster shrank since it was queued
        drop.push_back(item);
        continue;
      }
      if (!item->wants(dest, limit)) {
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
  if (!dest.counts) return sent.size();
  for (Item* item : sent) {
    unlink(item);
    item->sent_to(dest, limit);
    if (++item->transmits >= item->limit_of(limit)) {
      items_.erase(items_.find(item->key));
    } else {
      link(item, false);
    }
  }
  return sent.size();
}

}  // namespace vennock::core
