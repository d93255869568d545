// The gossip queue: encoded messages waiting to ride on outgoing packets. Newer news of a
// member replaces older; each item is sent a limited number of times, least-sent first, and
// its copies go to members it has not reached yet.
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
  // A member that packets go to, as the engine tells its members apart; 0 for none (a
  // destination the engine does not know as a member).
  using Recipient = uint64_t;
  // Where a packet goes: the member, and how many members packets can go to at all.
  struct Dest {
    Recipient to = 0;
    size_t members = 0;
  };

  // Queues `msg` under `key`, replacing any item under the same key (its count starts over).
  // An item `withheld` from a member (news that member has no use for) reaches it only when it
  // is the one member packets can go to.
  void push(Kind kind, std::string key, proto::Bytes msg, Recipient withheld = 0);
  bool contains(const std::string& key) const { return items_.count(key) != 0; }

  // Appends items to `out` while they fit in `budget` bytes of payload in total, least-sent
  // first, passing over the items that `dest.to` already had this round; each appended item
  // counts one transmission and leaves the queue after `limit`. A round ends once an item
  // has reached `dest.members` members; its next copies start another. Items too large for
  // `fresh_budget` (an empty packet) are dropped and counted in `too_large`. Returns the
  // number of items appended.
  size_t fill(proto::Bytes& out, size_t budget, size_t fresh_budget, uint32_t limit, Dest dest, uint64_t& too_large);

  // Whether the item the next packet takes first would go to `to`.
  bool next_wants(Recipient to, size_t members) const;

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
    Recipient withheld = 0;
    // The members this round's copies went to (the withheld one counts as reached), in
    // ascending order: every packet looks its member up in each item it considers, and a
    // large retransmit_mult makes for many copies.
    std::vector<Recipient> reached;
    bool wants(Recipient to, size_t members) const;
    void sent_to(Recipient to, size_t members);
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
