// What the actor publishes and the handle reads without waiting for it, and the requests
// that travel from the handle to the actor.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "core/lib.hpp"
#include "net/error.hpp"
#include "net/events.hpp"
#include "net/sync.hpp"
#include "proto/packet.hpp"

namespace vennock::net {

using core::Member;
using proto::Bytes;
using proto::SocketAddr;

// The node's counters as the actor last copied them from the engine.
struct Stats {
  core::Counters counters;
  uint32_t local_health = 0;
  bool operator==(const Stats&) const = default;
};

namespace actor {

// The published member list: this node's own record first, then every table entry in name
// order, whatever its state. Replaced whole, never changed.
struct Snapshot {
  std::vector<Member> members;

  template <class Engine>
  static Snapshot of(const Engine& e) {
    Snapshot s;
    s.members.reserve(e.table_size() + 1);
    s.members.push_back(e.local());
    e.for_each_member([&](const Member& m) { s.members.push_back(m); });
    return s;
  }
};

// State shared by the actor, the handles and the readers.
struct Shared {
  Shared(Snapshot first, std::vector<proto::KeyId> keys, size_t event_buffer)
      : snapshot(std::make_shared<const Snapshot>(std::move(first))),
        key_ids(std::make_shared<const std::vector<proto::KeyId>>(std::move(keys))),
        hub(event_buffer) {}

  Swapped<Snapshot> snapshot;
  Swapped<std::vector<proto::KeyId>> key_ids;
  std::mutex stats_m;
  Stats stats;
  events::Hub hub;
};

// A keyring change; each owns one key (wiped when released).
struct KeyChange {
  enum class Kind : uint8_t { Install, Use, Remove };
  Kind kind;
  proto::Key key;

  // The engine command carrying the key, the log word, and the key's id (taken before the
  // key moves into the command).
  std::tuple<core::Command, const char*, proto::KeyId> command() &&;
};

template <class T>
using Reply = OneSender<Result<T, Error>>;
using Done = std::monostate;

namespace request {
struct Join {
  std::vector<SocketAddr> addrs;
  Reply<size_t> reply;
};
struct Leave {
  Reply<Done> reply;
};
struct SetMeta {
  Bytes meta;
  Reply<Done> reply;
};
struct Send {
  std::string name;
  uint64_t epoch = 0;
  Bytes data;
  Reply<Done> reply;
};
struct Broadcast {
  Bytes data;
  Reply<Done> reply;
};
struct Key {
  KeyChange change;
  Reply<Done> reply;
};
struct Close {
  OneSender<Done> reply;  // answered after the teardown
};
}  // namespace request

using Request = std::variant<request::Join, request::Leave, request::SetMeta, request::Send, request::Broadcast,
                             request::Key, request::Close>;

// What waits in the actor for a command's completion.
namespace pending {
struct Join {
  Reply<size_t> reply;
};
struct Done {
  Reply<actor::Done> reply;
};
struct Key {
  Reply<actor::Done> reply;
  const char* word;
  proto::KeyId key;
};
struct Rejoin {
  bool alone = false;
};
}  // namespace pending
using Pending = std::variant<pending::Join, pending::Done, pending::Key, pending::Rejoin>;

// The system's wall clock: milliseconds since the Unix epoch (at least 1).
uint64_t system_wall_ms();

// Engine time: nanoseconds since the node's clock started (a monotonic clock, which stops
// while the host sleeps), and the wall clock the actor hands the engine every turn.
struct Clock {
  Instant start = net::now();
  uint64_t (*wall)() = system_wall_ms;  // tests put in a clock they can step
  uint64_t now() const { return at(net::now()); }
  uint64_t wall_ms() const { return wall(); }
  uint64_t at(Instant t) const;
  // The instant of an engine time (saturating).
  Instant instant(uint64_t ns) const;
};

// The engine's membership and message events as the node publishes them (completions are
// never published).
std::optional<events::Event> published(core::Event&& e);

}  // namespace actor
}  // namespace vennock::net
