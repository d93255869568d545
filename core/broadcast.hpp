// The gossip queue: encoded messages waiting to ride on outgoing packets. Newer news of a
// member replaces older; each item is sent a limited number of times, least-sent first.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "proto/wire.hpp"

namespace vennock::core {

class GossipQueue {
 public:
  enum class Kind : uint8_t { Member, Broadcast };

  // Queues `msg` under `key`, replacing any item under the same key (its count starts over).
  void push(Kind kind, std::string key, proto::Bytes msg);
  bool contains(const std::string& key) const { return items_.count(key) != 0; }

  // Appends items to `out` while they fit in `budget` bytes of payload in total, least-sent
  // first; each appended item counts one transmission and leaves the queue after `limit`.
  // Items too large for `fresh_budget` (an empty packet) are dropped and counted in
  // `too_large`. Returns the number of items appended.
  size_t fill(proto::Bytes& out, size_t budget, size_t fresh_budget, uint32_t limit, uint64_t& too_large);

  size_t size() const { return items_.size(); }
  size_t broadcasts() const { return bcast_.size(); }
  // Drops the most-sent broadcast (the one most peers already have); false when none is queued.
  bool drop_one_broadcast();

 private:
  struct Item;
  using Bucket = std::list<Item*>;
  struct Item {
    std::string key;
    proto::Bytes msg;
    uint32_t transmits = 0;
    uint64_t id = 0;
    Kind kind = Kind::Member;
    Bucket::iterator where;
  };
  struct MostSent {
    bool operator()(const Item* a, const Item* b) const {
      if (a->transmits != b->transmits) return a->transmits < b->transmits;
      return a->id < b->id;
    }
  };
  void unlink(Item* it);
  void link(Item* it, bool front);
  void remove(Item* it);

  std::unordered_map<std::string, std::unique_ptr<Item>> items_;
  // Items by how often they were sent: bucket t holds the items sent t times, newest first.
  // Only non-empty buckets exist, so a large retransmit limit costs nothing per packet.
  std::map<uint32_t, Bucket> buckets_;
  // Broadcasts only, for eviction: the last one is the most sent.
  std::set<Item*, MostSent> bcast_;
  uint64_t next_id_ = 1;
};

}  // namespace vennock::core
