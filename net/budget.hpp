// The stream byte budget: bytes that streams have read but the actor has not yet consumed,
// limited per peer address and for the whole node.
//
// Every frame a stream buffers is paid for, the first and every later one, on inbound and
// outbound streams alike: a frame that authenticates says nothing about the next one (it may
// be a captured frame replayed), so no frame may pin memory outside the pool.
//
// Every stream gets a share (`Held`) when the actor starts it. The stream reserves each read
// with `Held::take` before buffering it; once a frame is cut, `Held::cut` moves its bytes into
// a `FrameShare` that travels with the frame to the actor and gives them back when the actor
// drops the report; the stream's share starts again from nothing for the next frame. Bytes
// of a frame not yet cut return when the stream ends.
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
#include <utility>
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

// One registered stream: the bytes of the frame it is receiving.
struct Share {
  size_t held = 0;
  std::shared_ptr<Notify> notify;  // signalled once (a permit is kept) when evicted
  IpAddr ip;
  bool evicted = false;  // pushed out by another address: every later take is refused
};

// The state under the budget's lock.
struct Holdings {
  // Bytes of each address: its shares that are not evicted and its frames waiting in the
  // actor; no entry at zero.
  std::unordered_map<IpAddr, size_t, IpHash> by_ip;
  // Keyed by a number unique to the stream, growing in the order streams start.
  std::unordered_map<uint64_t, Share> shares;
  size_t free = 0;      // reserved by nobody
  size_t evicted = 0;   // held by evicted shares whose Held has not been dropped yet
  size_t framed = 0;    // held by cut frames (FrameShare) not yet released
  uint64_t releases = 0;  // raised at every cut, every frame released and every drop of a share

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
class FrameShare;

class Budget {
 public:
  // A pool of twice `frame` bytes (saturating) and an allowance of `per_ip` per address.
  static std::shared_ptr<Budget> for_frames(size_t frame, size_t per_ip);
  // Registers a stream under `key` (never reused; smaller keys are older streams) and
  // returns its share. Never refuses: the connection limits decide admission before this.
  static Held open(const std::shared_ptr<Budget>& budget, uint64_t key, const IpAddr& ip);

  uint64_t releases() const;
  // Woken (all waiters at that moment, nothing stored) after every cut, every frame
  // released and every drop of a share.
  Notify& released() { return released_; }
  // A copy of the state, for checks and figures.
  Holdings holdings() const;
  // The pool's size: what `free`, every share's `held` and `framed` always add up to.
  size_t total() const { return total_; }

  Budget(size_t total, size_t per_ip) : per_ip_(per_ip), total_(total) { h_.free = total; }
  Budget(const Budget&) = delete;
  Budget& operator=(const Budget&) = delete;

 private:
  friend class Held;
  friend class FrameShare;
  void release_frame(const IpAddr& ip, size_t n);
  const size_t per_ip_;
  const size_t total_;
  mutable std::mutex m_;  // held for map and counter updates only, never across a wait
  Holdings h_;
  Notify released_;
};

// The bytes of one cut frame, on their way through the actor; never evicted. Dropping it
// gives them back and wakes whoever waits for room.
class FrameShare {
 public:
  FrameShare() = default;
  FrameShare(FrameShare&& o) noexcept
      : budget_(std::move(o.budget_)), ip_(o.ip_), n_(std::exchange(o.n_, 0)) {}
  FrameShare& operator=(FrameShare&& o) noexcept {
    if (this != &o) {
      drop();
      budget_ = std::move(o.budget_);
      ip_ = o.ip_;
      n_ = std::exchange(o.n_, 0);
    }
    return *this;
  }
  FrameShare(const FrameShare&) = delete;
  FrameShare& operator=(const FrameShare&) = delete;
  ~FrameShare() { drop(); }

  bool valid() const { return budget_ != nullptr; }
  size_t bytes() const { return n_; }
  void drop();

 private:
  friend class Held;
  FrameShare(std::shared_ptr<Budget> b, const IpAddr& ip, size_t n) : budget_(std::move(b)), ip_(ip), n_(n) {}
  std::shared_ptr<Budget> budget_;
  IpAddr ip_;
  size_t n_ = 0;
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
      key_ = o.key_;
    }
    return *this;
  }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  ~Held() { drop(); }

  bool valid() const { return budget_ != nullptr; }
  Budget& budget() const { return *budget_; }
  // The notifier that tells this stream it was evicted.
  const std::shared_ptr<Notify>& notifier() const { return notify_; }

  // Reserves n more bytes for this stream.
  Take take(size_t n);
  // The stream cut a frame of n bytes: at most n of its bytes move into the frame's share,
  // the rest go back, and the stream's share starts again from nothing. An empty (invalid)
  // FrameShare when the share was evicted or has gone: the stream must end.
  FrameShare cut(size_t n);
  // Ends the share now (as the destructor does).
  void drop();

 private:
  friend class Budget;
  Held(std::shared_ptr<Budget> b, std::shared_ptr<Notify> n, uint64_t key)
      : budget_(std::move(b)), notify_(std::move(n)), key_(key) {}
  std::shared_ptr<Budget> budget_;
  std::shared_ptr<Notify> notify_;
  uint64_t key_ = 0;  // the stream's entry in the budget's shares
};

}  // namespace vennock::net::conn
