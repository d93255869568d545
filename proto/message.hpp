// The ten wire messages and the payload that carries several of them.
//
// On the wire each message is: kind (1 byte), body length (varint), body. A payload is a
// concatenation of messages with nothing around them. docs/wire.md gives every body.
#pragma once

#include <cstdint>
#include <cstddef>
#include <string>
#include <variant>
#include <vector>

#include "proto/wire.hpp"

namespace vennock::proto {

enum class MessageKind : uint8_t {
  Ping = 0,
  IndirectPing = 1,
  Ack = 2,
  Nack = 3,
  Alive = 4,
  Suspect = 5,
  Dead = 6,
  State = 7,
  UserMessage = 8,
  UserBroadcast = 9,
};

// Member states as they travel and as Member records carry them.
enum class MemberState : uint8_t { Alive = 0, Suspect = 1, Dead = 2, Left = 3 };

// A direct probe. `target` is the name the prober believes lives at the address, so a
// probe that reaches someone else is noticed.
struct Ping {
  uint32_t seq = 0;
  std::string target;
  std::string source;
  bool operator==(const Ping&) const = default;
};

// Asks the receiver to probe `target` at `target_addr` for `requester` and relay the answer;
// with `nack` set the receiver answers Nack when the target stays silent.
struct IndirectPing {
  uint32_t seq = 0;
  std::string target;
  SocketAddr target_addr;
  std::string requester;
  bool nack = false;
  bool operator==(const IndirectPing&) const = default;
};

struct Ack {
  uint32_t seq = 0;
  bool operator==(const Ack&) const = default;
};

struct Nack {
  uint32_t seq = 0;
  bool operator==(const Nack&) const = default;
};

struct Alive {
  std::string name;
  SocketAddr addr;
  uint64_t epoch = 0;
  uint32_t incarnation = 0;
  Bytes meta;  // tags encoding
  bool operator==(const Alive&) const = default;
};

struct Suspect {
  std::string name;
  uint64_t epoch = 0;
  uint32_t incarnation = 0;
  std::string from;  // the accuser
  bool operator==(const Suspect&) const = default;
};

// Dead with from == name is the member's own departure: it left.
struct Dead {
  std::string name;
  uint64_t epoch = 0;
  uint32_t incarnation = 0;
  std::string from;
  bool left() const { return from == name; }
  bool operator==(const Dead&) const = default;
};

struct MemberRecord {
  std::string name;
  SocketAddr addr;
  uint64_t epoch = 0;
  uint32_t incarnation = 0;
  MemberState state = MemberState::Alive;
  Bytes meta;
  bool operator==(const MemberRecord&) const = default;
};

// A whole member table (the sender's own record included), for push-pull and join.
struct State {
  bool join = false;
  std::vector<MemberRecord> members;
  bool operator==(const State&) const = default;
};

// A message to one member at one of its lives (to_epoch 0: whichever life holds the name).
struct UserMessage {
  std::string from;
  uint64_t from_epoch = 0;
  std::string to;
  uint64_t to_epoch = 0;
  Bytes data;
  bool operator==(const UserMessage&) const = default;
};

// A broadcast, delivered once per node by (origin, origin_epoch, seq).
struct UserBroadcast {
  std::string origin;
  uint64_t origin_epoch = 0;
  uint64_t seq = 0;
  Bytes data;
  bool operator==(const UserBroadcast&) const = default;
};

using Message = std::variant<Ping, IndirectPing, Ack, Nack, Alive, Suspect, Dead, State, UserMessage, UserBroadcast>;

MessageKind kind_of(const Message& m);

// Size of the whole encoded message (kind, length varint, body).
size_t encoded_size(const Message& m);
// Appends the encoded message. The buffer grows geometrically, so appending many messages
// to one buffer costs time linear in their total size.
void encode(const Message& m, Bytes& out);

// The most messages one payload may hold: more than any honest packet carries (a
// 65,507-byte datagram filled with the smallest gossip, 18 bytes each, holds 3,638), and so
// a bound on what decoding one payload may allocate, however small its messages.
inline constexpr size_t MAX_MESSAGES = 4096;

// What a receiver accepts beyond the format itself.
struct DecodeLimits {
  size_t max_messages = MAX_MESSAGES;
  // Metadata of an Alive or a State record: the receiver's max_meta_bytes.
  size_t max_meta = SIZE_MAX;
};

// Decodes a whole payload; any malformed message refuses the whole payload. A payload of
// more than `max_messages` messages, or metadata above `max_meta`, is TooLarge; decoding
// stops at the first message past the bound.
Result<std::vector<Message>, DecodeError> decode_payload(ByteView payload, const DecodeLimits& limits = {});

// Upper bounds used by the configuration checks: names of 64 bytes, IPv6 addresses.
size_t max_ping_size();
size_t max_alive_size(size_t meta_bytes);
size_t max_user_broadcast_size(size_t data_bytes);
size_t max_user_message_size(size_t data_bytes);

}  // namespace vennock::proto
