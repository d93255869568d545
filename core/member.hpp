// Member records as the engine, the runtime and the bindings see them.
#pragma once

#include <cstdint>
#include <optional>
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
  // Where this node's own socket receives what it sends without the network carrying it (the
  // runtime gives the loopback address of its port, or the bound address when that is a
  // specific one). Its check of itself goes there. Without it, to the advertised address,
  // which behind a NAT or a port mapping that does not hairpin never comes back.
  std::optional<SocketAddr> loopback = std::nullopt;
};

}  // namespace vennock::core
