// What the engine asks the runtime to do with sockets, and what the runtime tells it of streams.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <variant>

#include "proto/wire.hpp"

namespace vennock::core {

// Outbound ids come from the engine; inbound ids have the top bit set and are numbered by
// the runtime in order of acceptance.
using StreamId = uint64_t;
inline constexpr StreamId INBOUND_BIT = uint64_t{1} << 63;
inline bool is_inbound(StreamId id) { return (id & INBOUND_BIT) != 0; }

namespace transmit {
struct Datagram {
  proto::Bytes packet;  // one sealed packet
  proto::SocketAddr to;
};
struct Open {
  proto::SocketAddr to;
  StreamId id;
};
struct Frame {
  proto::Bytes frame;  // length prefix included
  StreamId id;
};
struct Close {
  StreamId id;
};
}  // namespace transmit

using Transmit = std::variant<transmit::Datagram, transmit::Open, transmit::Frame, transmit::Close>;

namespace stream_event {
struct Data {
  std::span<const uint8_t> frame;  // one received frame's packet, without its length prefix
  // Inbound streams: the address the connection arrived at, under which a joiner that does
  // not know this node's name yet may address its first frame.
  std::optional<proto::SocketAddr> local = std::nullopt;
};
struct Closed {};
struct Failed {};
}  // namespace stream_event

using StreamEvent = std::variant<stream_event::Data, stream_event::Closed, stream_event::Failed>;

}  // namespace vennock::core
