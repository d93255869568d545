#include "net/addr.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace vennock::net {

std::string addr_text(const SocketAddr& a) {
  char ip[INET6_ADDRSTRLEN] = {};
  if (a.is_v4()) {
    inet_ntop(AF_INET, a.ip.data(), ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(a.port);
  }
  inet_ntop(AF_INET6, a.ip.data(), ip, sizeof ip);
  std::string s = "[";
  s += ip;
  if (a.scope_id != 0) s += "%" + std::to_string(a.scope_id);
  s += "]:" + std::to_string(a.port);
  return s;
}

std::string addr_list_text(const std::vector<SocketAddr>& v) {
  std::string s = "[";
  for (size_t i = 0; i < v.size(); ++i) {
    if (i) s += ", ";
    s += addr_text(v[i]);
  }
  s += "]";
  return s;
}

socklen_t to_sockaddr(const SocketAddr& a, sockaddr_storage& ss) {
  std::memset(&ss, 0, sizeof ss);
  if (a.is_v4()) {
    auto* s = reinterpret_cast<sockaddr_in*>(&ss);
    s->sin_family = AF_INET;
    s->sin_port = htons(a.port);
    std::memcpy(&s->sin_addr, a.ip.data(), 4);
    return sizeof(sockaddr_in);
  }
  auto* s = reinterpret_cast<sockaddr_in6*>(&ss);
  s->sin6_family = AF_INET6;
  s->sin6_port = htons(a.port);
  s->sin6_flowinfo = htonl(a.flowinfo);
  s->sin6_scope_id = a.scope_id;
  std::memcpy(&s->sin6_addr, a.ip.data(), 16);
  return sizeof(sockaddr_in6);
}

std::optional<SocketAddr> from_sockaddr(const sockaddr* sa, socklen_t len) {
  if (sa->sa_family == AF_INET && len >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    const auto* s = reinterpret_cast<const sockaddr_in*>(sa);
    SocketAddr a;
    a.family = SocketAddr::Family::V4;
    std::memcpy(a.ip.data(), &s->sin_addr, 4);
    a.port = ntohs(s->sin_port);
    return a;
  }
  if (sa->sa_family == AF_INET6 && len >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    const auto* s = reinterpret_cast<const sockaddr_in6*>(sa);
    SocketAddr a;
    a.family = SocketAddr::Family::V6;
    std::memcpy(a.ip.data(), &s->sin6_addr, 16);
    a.port = ntohs(s->sin6_port);
    a.flowinfo = ntohl(s->sin6_flowinfo);
    a.scope_id = s->sin6_scope_id;
    return a;
  }
  return std::nullopt;
}

namespace {

bool all_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

std::optional<uint32_t> decimal(std::string_view s, uint64_t max, bool allow_leading_zero) {
  if (!all_digits(s)) return std::nullopt;
  if (!allow_leading_zero && s.size() > 1 && s[0] == '0') return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > max) return std::nullopt;
  }
  return static_cast<uint32_t>(v);
}

}  // namespace

std::optional<SocketAddr> parse_ipv4(std::string_view text, uint16_t port) {
  std::array<uint8_t, 4> b{};
  size_t part = 0;
  while (true) {
    size_t dot = text.find('.');
    std::string_view octet = text.substr(0, dot);
    if (octet.size() > 3) return std::nullopt;
    auto v = decimal(octet, 255, false);
    if (!v || part >= 4) return std::nullopt;
    b[part++] = static_cast<uint8_t>(*v);
    if (dot == std::string_view::npos) break;
    text.remove_prefix(dot + 1);
  }
  if (part != 4) return std::nullopt;
  SocketAddr a;
  a.family = SocketAddr::Family::V4;
  std::copy(b.begin(), b.end(), a.ip.begin());
  a.port = port;
  return a;
}

std::optional<SocketAddr> parse_socket_addr(std::string_view text) {
  if (text.empty()) return std::nullopt;
  if (text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view inside = text.substr(1, close - 1);
    std::string_view rest = text.substr(close + 1);
    if (rest.size() < 2 || rest[0] != ':') return std::nullopt;
    auto port = decimal(rest.substr(1), 65535, true);
    if (!port) return std::nullopt;
    uint32_t scope = 0;
    size_t pct = inside.find('%');
    std::string_view ip = inside.substr(0, pct);
    if (pct != std::string_view::npos) {
      auto s = decimal(inside.substr(pct + 1), UINT32_MAX, true);
      if (!s) return std::nullopt;
      scope = *s;
    }
    if (ip.empty() || ip.size() >= INET6_ADDRSTRLEN) return std::nullopt;
    // inet_pton accepts exactly the standard IPv6 text forms (an embedded IPv4 tail included).
    std::string ipz(ip);
    std::array<uint8_t, 16> b{};
    if (inet_pton(AF_INET6, ipz.c_str(), b.data()) != 1) return std::nullopt;
    SocketAddr a;
    a.family = SocketAddr::Family::V6;
    a.ip = b;
    a.port = static_cast<uint16_t>(*port);
    a.scope_id = scope;
    return a;
  }
  size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  auto port = decimal(text.substr(colon + 1), 65535, true);
  if (!port) return std::nullopt;
  return parse_ipv4(text.substr(0, colon), static_cast<uint16_t>(*port));
}

IpAddr IpAddr::of(const SocketAddr& a) {
  IpAddr ip;
  ip.family = a.family;
  ip.bytes = a.ip;
  if (a.is_v4()) std::fill(ip.bytes.begin() + 4, ip.bytes.end(), uint8_t{0});
  return ip;
}

bool IpAddr::is_unspecified() const {
  size_t n = family == SocketAddr::Family::V4 ? 4 : 16;
  for (size_t i = 0; i < n; ++i)
    if (bytes[i] != 0) return false;
  return true;
}

namespace {
// The length of the white space at the front (or back) of `s`, 0 when there is none.
size_t space_len(std::string_view s, bool from_front) {
  auto is_ascii = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  if (s.empty()) return 0;
  if (from_front ? is_ascii(s.front()) : is_ascii(s.back())) return 1;
  static const char* multi[] = {"\xc2\x85",     "\xc2\xa0",     "\xe1\x9a\x80", "\xe2\x80\x80", "\xe2\x80\x81",
                                "\xe2\x80\x82", "\xe2\x80\x83", "\xe2\x80\x84", "\xe2\x80\x85", "\xe2\x80\x86",
                                "\xe2\x80\x87", "\xe2\x80\x88", "\xe2\x80\x89", "\xe2\x80\x8a", "\xe2\x80\xa8",
                                "\xe2\x80\xa9", "\xe2\x80\xaf", "\xe2\x81\x9f", "\xe3\x80\x80"};
  for (const char* m : multi) {
    std::string_view mv(m);
    if (from_front ? s.starts_with(mv) : s.ends_with(mv)) return mv.size();
  }
  return 0;
}
}  // namespace

std::string_view trim_space(std::string_view s) {
  while (size_t n = space_len(s, true)) s.remove_prefix(n);
  while (size_t n = space_len(s, false)) s.remove_suffix(n);
  return s;
}

}  // namespace vennock::net
