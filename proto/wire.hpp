// Primitive wire encodings: varints, big-endian integers, length-prefixed bytes and text,
// socket addresses. Everything the other proto modules build on.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "proto/error.hpp"
#include "proto/result.hpp"

namespace vennock::proto {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

inline constexpr size_t MAX_VARINT_LEN = 5;
inline constexpr size_t MAX_NAME_LEN = 64;

// Unsigned LEB128 of a u32: at most 5 bytes, shortest form only.
size_t varint_len(uint32_t v);
void put_varint(Bytes& out, uint32_t v);

// A socket address as the engine sees it. The engine compares whole addresses (family,
// IP, port and, for IPv6, flow information and scope id); only family, IP and port travel.
struct SocketAddr {
  enum class Family : uint8_t { V4 = 4, V6 = 6 };
  Family family = Family::V4;
  std::array<uint8_t, 16> ip{};  // IPv4 uses the first 4 bytes; the rest stay zero
  uint16_t port = 0;
  uint32_t flowinfo = 0;  // IPv6 only
  uint32_t scope_id = 0;  // IPv6 only

  static SocketAddr v4(std::array<uint8_t, 4> ip, uint16_t port);
  static SocketAddr v6(std::array<uint8_t, 16> ip, uint16_t port, uint32_t flowinfo = 0, uint32_t scope_id = 0);
  bool is_v4() const { return family == Family::V4; }
  // "1.2.3.4:5", "[::1]:5", "[fe80::1%2]:5" (scope id shown when non-zero).
  std::string to_string() const;
  // The address with flow information and scope id cleared: what a peer can learn of it.
  SocketAddr on_wire() const;
  // The IPv4 address an IPv4-mapped IPv6 address (::ffff:a.b.c.d) stands for; none for any
  // other address. Either form travels as given.
  std::optional<SocketAddr> unmapped() const;
  auto operator<=>(const SocketAddr&) const = default;
};

// Encoded size on the wire: family byte, 4 or 16 address bytes, 2 port bytes.
size_t addr_len(const SocketAddr& a);
inline constexpr size_t MAX_ADDR_LEN = 1 + 16 + 2;

// Appends encodings to a byte vector.
class Writer {
 public:
  explicit Writer(Bytes& out) : out_(out) {}
  void u8(uint8_t v) { out_.push_back(v); }
  void u16(uint16_t v);
  void u32(uint32_t v);
  void u64(uint64_t v);
  void varint(uint32_t v) { put_varint(out_, v); }
  void raw(ByteView b) { out_.insert(out_.end(), b.begin(), b.end()); }
  void bytes(ByteView b);           // varint length, then the bytes
  void text(std::string_view s);    // varint length, then the UTF-8 bytes
  void addr(const SocketAddr& a);

 private:
  Bytes& out_;
};

// Reads encodings from a byte span; every read checks bounds and reports a DecodeError.
class Reader {
 public:
  explicit Reader(ByteView in) : in_(in) {}
  Result<uint8_t, DecodeError> u8();
  Result<uint16_t, DecodeError> u16();
  Result<uint32_t, DecodeError> u32();
  Result<uint64_t, DecodeError> u64();
  Result<uint32_t, DecodeError> varint();
  Result<bool, DecodeError> flag();               // 0 or 1, else BadValue
  Result<ByteView, DecodeError> raw(size_t n);
  Result<ByteView, DecodeError> bytes();          // varint length, then that many bytes
  Result<std::string, DecodeError> text();        // as bytes(), must be valid UTF-8
  Result<std::string, DecodeError> name();        // as text(), 1 to 64 bytes, else BadName
  Result<SocketAddr, DecodeError> addr();
  size_t remaining() const { return in_.size() - pos_; }
  bool empty() const { return remaining() == 0; }
  size_t position() const { return pos_; }

 private:
  ByteView in_;
  size_t pos_ = 0;
};

bool valid_utf8(ByteView b);

}  // namespace vennock::proto
