// Member records as the engine, the runtime and the bindings see them.
#pragma once

#include <cstdint>
#include <string>

#include "proto/message.hpp"
#include "proto/wire.hpp"

namespace vennock::core {

using proto::Bytes;
using proto::MemberState;
using proto::SocketAddr;

struct Member {
  std::string name;
  Bytes meta;  // tags encoding
  SocketAddr addr;
  uint64_t epoch = 0;
  uint32_t incarnation = 0;
  MemberState state = MemberState::Alive;
  bool operator==(const Member&) const = default;
};

// This node's own record, given to the engine when it is built.
struct Identity {
  std::string name;
  Bytes meta;
  SocketAddr addr;
  uint64_t epoch = 0;
};

}  // namespace vennock::core
