// The event hub of a node and its subscriptions.
//
// The actor publishes each flush's batch into the hub, which copies it into every live
// subscription's bounded queue (the oldest event is dropped and counted when one is full).
// Readers take events out without ever making the actor wait.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "core/member.hpp"
#include "net/sync.hpp"
#include "net/task.hpp"

namespace vennock::net::events {

using core::Member;
using proto::Bytes;
using proto::SocketAddr;

namespace event {
struct MemberJoined {
  Member member;
  bool operator==(const MemberJoined&) const = default;
};
struct MemberSuspect {
  Member member;
  bool operator==(const MemberSuspect&) const = default;
};
struct MemberRecovered {
  Member member;
  bool operator==(const MemberRecovered&) const = default;
};
struct MemberDead {
  Member member;
  bool operator==(const MemberDead&) const = default;
};
struct MemberLeft {
  Member member;
  bool operator==(const MemberLeft&) const = default;
};
struct MemberUpdated {
  Member member;  // with its new metadata
  Bytes old_meta;
  bool operator==(const MemberUpdated&) const = default;
};
struct NameConflict {
  SocketAddr other;
  Member member;
  bool operator==(const NameConflict&) const = default;
};
struct UserMessage {
  Member from;
  Bytes data;
  bool broadcast = false;
  bool operator==(const UserMessage&) const = default;
};
// Made only by the reader: events this subscription dropped since the last such report.
struct EventsLost {
  uint64_t count = 0;
  bool operator==(const EventsLost&) const = default;
};
}  // namespace event

// The variant index is the event's tag (0 to 8).
using Event = std::variant<event::MemberJoined, event::MemberSuspect, event::MemberRecovered, event::MemberDead,
                           event::MemberLeft, event::MemberUpdated, event::NameConflict, event::UserMessage,
                           event::EventsLost>;

// "MemberJoined", ... by tag.
const char* kind_name(const Event& e);

struct Received {
  // Item: `event` holds one. Empty: nothing queued (for a timed read: the deadline passed).
  enum class Kind : uint8_t { Item, Closed, Empty };
  Kind kind = Kind::Empty;
  std::optional<Event> event;
};

// One subscription's state.
struct Sub {
  std::mutex m;
  std::deque<Event> events;
  // How many events at the front of `events` a reader gave back. They are older than anything
  // dropped since they were taken, so they come before the report of that loss: a reader who
  // rebuilds its view on the report must not apply an older event after it.
  size_t returned = 0;
  uint64_t lost = 0;
  bool closed = false;
  bool failed = false;
  Notify notify;  // one permit: a publish between a reader's look and its wait still wakes it
};

// The subscription handle; the hub holds only a weak reference, so dropping this ends it.
class Events {
 public:
  explicit Events(std::shared_ptr<Sub> s) : sub_(std::move(s)) {}

  // Never waits: an event given back first, then a pending lost count, then the oldest event,
  // then the end.
  Received next();
  bool failed();
  // The next event, or none once the subscription is closed and drained.
  Task<std::optional<Event>> recv() const { return recv_event(sub_); }
  // The same until `deadline` (none: no limit): an event, Closed, or Empty when the deadline
  // passed first. The subscription is looked at before the deadline each time, so an event
  // already queued is given even when the deadline has passed.
  Task<Received> recv_until(std::optional<Instant> deadline) const { return recv_from(sub_, deadline); }
  // Puts an event taken from this subscription back in front, for the next read (a reader
  // that took it but could not deliver it), ahead of the report of events lost since: it is
  // older than they are. An EventsLost adds its count back to the lost count. The queue may
  // go one over its bound until the next publish drops the oldest (the given-back event
  // first, which the report then counts).
  void put_back(Event e);

 private:
  static Task<std::optional<Event>> recv_event(std::shared_ptr<Sub> sub);
  static Task<Received> recv_from(std::shared_ptr<Sub> sub, std::optional<Instant> deadline);
  static Received next_of(Sub& s);
  std::shared_ptr<Sub> sub_;
};

class Hub {
 public:
  explicit Hub(size_t capacity) : cap_(capacity == 0 ? 1 : capacity) {}

  // A subscription that sees every later publish; born closed once the hub has closed.
  Events subscribe();
  void publish(std::span<const Event> batch);
  void close(bool panicking);
  size_t capacity() const { return cap_; }
  // Live entries in the subscriber list (dead ones go at the next publish or the close).
  size_t subscribers();

 private:
  std::mutex m_;
  std::vector<std::weak_ptr<Sub>> subs_;
  bool closed_ = false;
  bool failed_ = false;
  size_t cap_;
};

}  // namespace vennock::net::events
