// The engine's output events and command outcomes.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "core/member.hpp"

namespace vennock::core {

using CommandId = uint64_t;

enum class CommandError : uint8_t {
  MetaTooLarge = 0,     // "metadata larger than max_meta_bytes"
  JoinFailed = 1,       // "no seed answered"
  Left = 2,             // "this node has left the cluster"
  NotEncrypted = 3,     // "this node runs without encryption and has no keys"
  KeyNotInstalled = 4,  // "key is not installed"
  KeyInUse = 5,         // "key is the one in use"
  LastKey = 6,          // "key is the last one installed"
  TooLarge = 7,         // "message larger than max_user_message or max_user_broadcast"
  NotAMember = 8,       // "not a live member at that epoch"
};

const char* message(CommandError e);

namespace outcome {
struct Done {};
struct Count {
  uint64_t n;
};
}  // namespace outcome
using Outcome = std::variant<outcome::Done, outcome::Count, CommandError>;

namespace event {
struct Completed {
  CommandId id;
  Outcome result;
};
struct MemberJoined {
  Member member;
};
struct MemberSuspect {
  Member member;
};
struct MemberRecovered {
  Member member;
};
struct MemberDead {
  Member member;
};
struct MemberLeft {
  Member member;
};
struct MemberUpdated {
  Member member;  // with its new metadata
  Bytes old_meta;
};
struct NameConflict {
  SocketAddr other;  // the address of the node that claims the name
  Member member;     // this node's record of the name
};
struct UserMessage {
  Member from;
  Bytes data;
  bool broadcast;
};
}  // namespace event

using Event = std::variant<event::Completed, event::MemberJoined, event::MemberSuspect, event::MemberRecovered,
                           event::MemberDead, event::MemberLeft, event::MemberUpdated, event::NameConflict,
                           event::UserMessage>;

}  // namespace vennock::core
