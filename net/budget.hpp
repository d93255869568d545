// The inbound byte budget: bytes that inbound streams have read but the actor has not yet
// consumed, limited per peer address and for the whole node.
//
// Only the first frame of an inbound connection is reserved: until then nobody knows whether
// the peer is a member at all, and a stranger that writes most of a huge frame and stalls is
// exactly what must not pin memory. Later frames of a connection are held back by the
// stream's own back-pressure (one frame in the actor at a time).
//
// Every inbound stream gets a share (`Held`) when the actor admits it. The stream reserves
// each read with `Held::take` before buffering it; `Held::keep` gives back whatever exceeds
// the first frame once it is cut; the share travels with that frame to the actor, and its
// bytes return when the actor drops the report (or when the stream ends without a frame).
//
// When the pool runs short, a stream may push out the share of an address that holds
// strictly more than its own: the victim is told through its own notifier and ends its
// connection, and its bytes come back when its share is dropped. A stranger that hogs the
// pool therefore loses it to anyone who holds less, and no address can hold more than its
// allowance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <variant>

#include "core/io.hpp"
#include "net/addr.hpp"
#include "net/sync.hpp"

namespace vennock::net::conn {

using core::StreamId;

struct IpHash {
  size_t operator()(const IpAddr& ip) const noexcept {
    // FNV-1a over the family and the bytes.
    uint64_t h = 1469598103934665603ull ^ static_cast<uint8_t>(ip.family);
    h *= 1099511628211ull;
    for (uint8_t b : ip.bytes) {
      h ^= b;
      h *= 1099511628211ull;
    }
    return static_cast<size_t>(h);
  }
};

// One registered stream.
struct Share {
  size_t held = 0;
  std::shared_ptr<Notify> notify;  // signalled once (a permit is kept) when evicted
  IpAddr ip;
  bool kept = false;     // its first frame is cut: never evicted
  bool evicted = false;  // pushed out by another address: every later take is refused
};

// The state under the budget's lock.
struct Holdings {
  // Bytes reserved by the shares of each address that are not evicted; no entry at zero.
  std::unordered_map<IpAddr, size_t, IpHash> by_ip;
  std::unordered_map<StreamId, Share> shares;
  size_t free = 0;      // reserved by nobody
  size_t evicted = 0;   // held by evicted shares whose Held has not been dropped yet
  uint64_t releases = 0;  // raised at every keep and every drop of a registered share

  size_t held_by(const IpAddr& ip) const;
  // Subtracts n from the address's total, removing the entry when it reaches zero.
  void unhold(const IpAddr& ip, size_t n);
};

namespace take {
struct Reserved {};
struct NoRoom {};
// Bytes on their way back cover the request: wait for a release, then ask again. `seen` is
// the release count at the time of the answer.
struct Wait {
  uint64_t seen = 0;
};
}  // namespace take
using Take = std::variant<take::Reserved, take::NoRoom, take::Wait>;

class Held;

class Budget {
 public:
  // A pool of twice `frame` bytes (saturating) and an allowance of `per_ip` per address.
  static std::shared_ptr<Budget> for_frames(size_t frame, size_t per_ip);
  // Registers a stream (ids are never reused) and returns its share. Never refuses: the
  // connection limits decide admission before this.
  static Held open(const std::shared_ptr<Budget>& budget, StreamId id, const IpAddr& ip);

  size_t per_ip() const { return per_ip_; }
  uint64_t releases() const;
  // Woken (all waiters at that moment, nothing stored) after every keep and every drop.
  Notify& released() { return released_; }
  // A copy of the state, for checks and figures.
  Holdings holdings() const;
  // The pool's size: what `free` plus every share's `held` always adds up to.
  size_t total() const { return total_; }

  Budget(size_t total, size_t per_ip) : per_ip_(per_ip), total_(total) { h_.free = total; }
  Budget(const Budget&) = delete;
  Budget& operator=(const Budget&) = delete;

 private:
  friend class Held;
  const size_t per_ip_;
  const size_t total_;
  mutable std::mutex m_;  // held for map and counter updates only, never across a wait
  Holdings h_;
  Notify released_;
};

// One stream's share. Dropping it gives its bytes back and wakes whoever waits for room.
class Held {
 public:
  Held() = default;
  Held(Held&& o) noexcept = default;
  Held& operator=(Held&& o) noexcept {
    if (this != &o) {
      drop();
      budget_ = std::move(o.budget_);
      notify_ = std::move(o.notify_);
      id_ = o.id_;
    }
    return *this;
  }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  ~Held() { drop(); }

  bool valid() const { return budget_ != nullptr; }
  StreamId id() const { return id_; }
  Budget& budget() const { return *budget_; }
  // The notifier that tells this stream it was evicted.
  const std::shared_ptr<Notify>& notifier() const { return notify_; }

  // Reserves n more bytes for this stream.
  Take take(size_t n);
  // The stream cut its first frame of n bytes: keep at most n, give back the rest, and
  // never be evicted from now on.
  void keep(size_t n);
  // Ends the share now (as the destructor does).
  void drop();

 private:
  friend class Budget;
  Held(std::shared_ptr<Budget> b, std::shared_ptr<Notify> n, StreamId id)
      : budget_(std::move(b)), notify_(std::move(n)), id_(id) {}
  std::shared_ptr<Budget> budget_;
  std::shared_ptr<Notify> notify_;
  StreamId id_ = 0;
};

}  // namespace vennock::net::conn
