// Socket addresses between the wire type, the system's sockaddr and text.
#pragma once

#include <sys/socket.h>

#include <optional>
#include <string>
#include <string_view>

#include "proto/wire.hpp"

namespace vennock::net {

using proto::SocketAddr;

// "1.2.3.4:5", "[::1]:5", "[fe80::1%2]:5" (the scope id only when it is not 0).
std::string addr_text(const SocketAddr& a);
// "[a, b]" with each address as addr_text.
std::string addr_list_text(const std::vector<SocketAddr>& v);

// Fills `ss` and returns the length to pass to the system.
socklen_t to_sockaddr(const SocketAddr& a, sockaddr_storage& ss);
std::optional<SocketAddr> from_sockaddr(const sockaddr* sa, socklen_t len);

// The standard socket-address literal: dotted quad (no leading zeros) and a decimal port,
// or a bracketed IPv6 address with an optional "%scope" and a decimal port.
std::optional<SocketAddr> parse_socket_addr(std::string_view text);
// A bare IPv4 address in dotted-quad form.
std::optional<SocketAddr> parse_ipv4(std::string_view text, uint16_t port);

// `s` without the white space at either end: ASCII and the other Unicode white-space code
// points, as UTF-8.
std::string_view trim_space(std::string_view s);

// The IP of an address (family and bytes), as the inbound limits compare peers.
struct IpAddr {
  SocketAddr::Family family = SocketAddr::Family::V4;
  std::array<uint8_t, 16> bytes{};
  static IpAddr of(const SocketAddr& a);
  bool is_unspecified() const;
  auto operator<=>(const IpAddr&) const = default;
};

}  // namespace vennock::net
