// The membership engine: the node's protocol state machine, free of I/O, threads and clocks.
//
// Every entry point takes `now`, the engine time in nanoseconds from a monotonic clock
// (the runtime counts from the actor's start); the runtime also hands it the wall clock as it
// reads it (set_wall_clock), since a monotonic clock stops while the host sleeps. Outputs
// collect in queues, drained with poll_transmit(), poll_event() and poll_clock_skew();
// next_deadline() says when handle_timeout() is next due.
// Randomness comes only from the seed given to create(), so a run replays from its seed.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/config.hpp"
#include "core/event.hpp"
#include "core/io.hpp"
#include "core/member.hpp"
#include "proto/packet.hpp"

namespace vennock::core {

namespace command {
struct Join {
  std::vector<SocketAddr> seeds;
};
struct Leave {};
struct UpdateMeta {
  Bytes meta;
};
struct InstallKey {
  proto::Key key;
};
struct UseKey {
  proto::Key key;
};
struct RemoveKey {
  proto::Key key;
};
struct Send {
  std::string name;
  uint64_t epoch;
  Bytes data;
};
struct Broadcast {
  Bytes data;
};
}  // namespace command

using Command = std::variant<command::Join, command::Leave, command::UpdateMeta, command::InstallKey,
                             command::UseKey, command::RemoveKey, command::Send, command::Broadcast>;

// The engine's counters, in their published order.
struct Counters {
  uint64_t packets_received = 0;
  uint64_t decode_errors = 0;
  uint64_t decrypt_failures = 0;
  uint64_t replays_dropped = 0;
  uint64_t probes_sent = 0;
  uint64_t probes_failed = 0;
  uint64_t indirect_probes = 0;
  uint64_t missed_nacks = 0;
  uint64_t suspicions = 0;
  uint64_t refutations = 0;
  uint64_t misdirected = 0;
  uint64_t name_conflicts = 0;
  uint64_t restarts = 0;
  uint64_t members_refused = 0;
  uint64_t push_pulls = 0;
  uint64_t push_pull_failures = 0;
  uint64_t push_pulls_served = 0;
  uint64_t state_too_large = 0;
  uint64_t gossip_too_large = 0;
  uint64_t tcp_pings = 0;
  uint64_t tcp_ping_acks = 0;
  uint64_t user_messages_sent = 0;
  uint64_t user_messages_received = 0;
  uint64_t user_messages_dropped = 0;
  uint64_t user_messages_too_large = 0;
  uint64_t user_queue_overflow = 0;
  bool operator==(const Counters&) const = default;
};

inline constexpr std::array<const char*, 26> COUNTER_NAMES = {
    "packets_received", "decode_errors",   "decrypt_failures",       "replays_dropped",
    "probes_sent",      "probes_failed",   "indirect_probes",        "missed_nacks",
    "suspicions",       "refutations",     "misdirected",            "name_conflicts",
    "restarts",         "members_refused", "push_pulls",             "push_pull_failures",
    "push_pulls_served", "state_too_large", "gossip_too_large",      "tcp_pings",
    "tcp_ping_acks",    "user_messages_sent", "user_messages_received", "user_messages_dropped",
    "user_messages_too_large", "user_queue_overflow"};

// The counters as an array in COUNTER_NAMES order.
std::array<uint64_t, 26> counter_values(const Counters& c);

// The furthest an epoch may lie ahead of a wall clock for the node that reads it to take it
// as a life of a member (its own included). Epochs are wall-clock milliseconds, and no clock
// set right or set in a wrong time zone runs a day ahead of another; a life further ahead is a
// forgery, which would otherwise out-bid every later life of that name.
inline constexpr uint64_t EPOCH_LEAD_MS = 24ULL * 3600 * 1000;

// A peer whose clock differs from this node's by more than a window allows: by more than the
// replay window in an encrypted cluster (its packets are refused), by more than the epoch
// lead in plain text (lives may be refused). Raised once per peer address while it lasts, and
// rationed: a handful a minute at most, whatever the number of addresses (forged ones cost
// nothing), each with the count of the reports left out before it.
struct ClockSkew {
  SocketAddr peer;    // where its datagram came from
  int64_t offset_ms;  // its packet's stamp minus this node's wall clock
  uint64_t suppressed = 0;  // reports left out since the one before (other peers, or this one)
  bool operator==(const ClockSkew&) const = default;
};

class Node {
 public:
  // Checks the configuration (Config::validate) and builds the engine. The nonce key seeds
  // the packet nonce generator; the engine keeps no reference to it.
  static Result<Node, ConfigError> create(Config config, Identity identity, uint64_t now, uint64_t seed,
                                          std::span<const uint8_t, 32> nonce_key);
  Node(Node&&) noexcept;
  Node& operator=(Node&&) noexcept;
  ~Node();

  // A datagram from `from`; opened in place, so the buffer is clobbered.
  void handle_datagram(uint64_t now, const SocketAddr& from, std::span<uint8_t> packet);
  void handle_stream(uint64_t now, StreamId id, const StreamEvent& ev);
  void handle_timeout(uint64_t now);
  // Never fails by itself: a refusal arrives as the completion's CommandError.
  CommandId command(uint64_t now, Command cmd);
  // The wall clock (milliseconds since the Unix epoch) as read at engine time `now`. Stamps,
  // the replay window and the epoch bounds count on from the latest reading (before the first,
  // from the identity's epoch at creation), so a host that slept, or whose clock was stepped,
  // is judged by the clock it has now.
  void set_wall_clock(uint64_t now, uint64_t wall_ms);

  std::optional<Transmit> poll_transmit();
  std::optional<Event> poll_event();
  std::optional<ClockSkew> poll_clock_skew();
  // When handle_timeout() is next due; none when nothing is scheduled.
  std::optional<uint64_t> next_deadline() const;

  // This node's own record (state Left once it has left).
  const Member& local() const;
  // Every table entry in name order (byte order), all states; this node is not in the table.
  void for_each_member(const std::function<void(const Member&)>& f) const;
  size_t table_size() const;
  const Member* find(std::string_view name) const;
  // Live members: this node when alive or suspect, then the alive and suspect entries.
  std::vector<Member> members() const;
  // Grows whenever the own record or any table entry changed, events or not.
  uint64_t version() const;

  std::vector<proto::KeyId> key_ids() const;
  proto::HeaderCheck header_check() const;

  const Counters& counters() const;
  uint32_t local_health() const;
  // The runtime counts streams that its own header check refused.
  void add_decode_errors(uint64_t n);
  void add_decrypt_failures(uint64_t n);

  const Config& config() const;

 private:
  struct Impl;
  explicit Node(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace vennock::core
