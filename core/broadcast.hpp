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
  // Where a packet goes: the member, and how many live members packets can go to at all.
  // A copy to a member that does not `count` (one held dead, which the gossip timer still
  // sends to for a while) goes on top of an item's copies: it is not counted among them and
  // does not count toward the item's round. A packet `sent_anyway` goes whether or not it
  // carries gossip (a probe, an answer), unlike the gossip timer's.
  struct Dest {
    Recipient to = 0;
    size_t members = 0;
    bool counts = true;
    bool sent_anyway = true;
  };
  struct Options {
    // A member the item never goes to (news it has no use for). While it is live it counts as
    // reached, so a round still ends once every other live member had a copy.
    Recipient withheld = 0;
    bool withheld_live = false;
    // The item waits, unsent, until release().
    bool held = false;
    // Where it has more copies to make than there are live members (up to 4 members), once it
    // has reached every live member its further copies (spares, against loss) ride only on
    // packets sent anyway, to the members it reached, and their number is fixed; a member the
    // engine learns of later still gets a first copy, from any packet, while copies are left.
    bool spares_ride = false;
  };

  // Queues `msg` under `key`, replacing any item under the same key (its count starts over).
  void push(Kind kind, std::string key, proto::Bytes msg, Options o);
  void push(Kind kind, std::string key, proto::Bytes msg) { push(kind, std::move(key), std::move(msg), Options{}); }
  bool contains(const std::string& key) const { return items_.count(key) != 0; }
  // The held items may go from now on.
  void release();

  // `r` is no longer a live member: its copies no longer count toward any item's round (or
  // a round would end with live members left unreached).
  void forget(Recipient r);

  // Appends items to `out` while they fit in `budget` bytes of payload in total, least-sent
  // first, passing over the items that `dest.to` already had this round; each appended item
  // counts one transmission (unless `dest` does not count) and leaves the queue after
  // `limit`. A round ends once an item has reached `dest.members` members; its next copies
  // start another (see Options::spares_ride). Items too large for `fresh_budget` (an empty
  // packet) are dropped and counted in `too_large`. Returns the number of items appended.
  size_t fill(proto::Bytes& out, size_t budget, size_t fresh_budget, uint32_t limit, Dest dest, uint64_t& too_large);

  // Appends the item under `key`, when queued and within `budget` bytes of payload in all,
  // without counting a transmission: a copy for a member that no round counts (see
  // Node::Impl::tell_departed). Returns whether it was appended.
  bool copy(const std::string& key, proto::Bytes& out, size_t budget) const;

  // Whether the item the next packet of the gossip timer takes first would go to `to`.
  bool next_wants(Recipient to, size_t members, uint32_t limit) const;

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
    Options opt;  // held: in no bucket until released
    // The live members this round's copies went to (a live withheld one counts as reached),
    // in ascending order: every packet looks its member up in each item it considers, and a
    // large retransmit_mult makes for many copies.
    std::vector<Recipient> reached;
    // Spare copies riding (see Options): how many copies the item makes, fixed when its first
    // round ended; 0 while it follows the cluster's size.
    uint32_t spare_limit = 0;
    uint32_t limit_of(uint32_t limit) const { return spare_limit ? spare_limit : limit; }
    // Whether a copy to `d` is its first of this round.
    bool first_copy(const Dest& d) const;
    bool wants(const Dest& d, uint32_t limit) const;
    void sent_to(const Dest& d, uint32_t limit);
    // Whether its copies beyond a round ride only on packets sent anyway.
    bool spares_ride(const Dest& d, uint32_t limit) const {
      return opt.spares_ride && (spare_limit || limit > d.members);
    }
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
  size_t held_ = 0;
};

}  // namespace vennock::core
