#include "proto/wire.hpp"

#include <arpa/inet.h>

#include <cassert>
#include <cstring>

namespace vennock::proto {

size_t varint_len(uint32_t v) {
  size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

void put_varint(Bytes& out, uint32_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<uint8_t>(v));
}

SocketAddr SocketAddr::v4(std::array<uint8_t, 4> ip, uint16_t port) {
  SocketAddr a;
  a.family = Family::V4;
  std::memcpy(a.ip.data(), ip.data(), 4);
  a.port = port;
  return a;
}

SocketAddr SocketAddr::v6(std::array<uint8_t, 16> ip, uint16_t port, uint32_t flowinfo, uint32_t scope_id) {
  SocketAddr a;
  a.family = Family::V6;
  a.ip = ip;
  a.port = port;
  a.flowinfo = flowinfo;
  a.scope_id = scope_id;
  return a;
}

std::string SocketAddr::to_string() const {
  char text[INET6_ADDRSTRLEN] = {};
  std::string s;
  if (is_v4()) {
    inet_ntop(AF_INET, ip.data(), text, sizeof text);
    s = text;
  } else {
    inet_ntop(AF_INET6, ip.data(), text, sizeof text);
    s = "[";
    s += text;
    if (scope_id != 0) {
      s += '%';
      s += std::to_string(scope_id);
    }
    s += ']';
  }
  s += ':';
  s += std::to_string(port);
  return s;
}

SocketAddr SocketAddr::on_wire() const {
  SocketAddr a = *this;
  a.flowinfo = 0;
  a.scope_id = 0;
  if (a.is_v4()) std::memset(a.ip.data() + 4, 0, 12);
  return a;
}

std::optional<SocketAddr> SocketAddr::unmapped() const {
  static constexpr std::array<uint8_t, 12> kMapped{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (is_v4() || std::memcmp(ip.data(), kMapped.data(), kMapped.size()) != 0) return std::nullopt;
  return SocketAddr::v4({ip[12], ip[13], ip[14], ip[15]}, port);
}

size_t addr_len(const SocketAddr& a) { return 1 + (a.is_v4() ? 4 : 16) + 2; }

void Writer::u16(uint16_t v) {
  out_.push_back(static_cast<uint8_t>(v >> 8));
  out_.push_back(static_cast<uint8_t>(v));
}

void Writer::u32(uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out_.push_back(static_cast<uint8_t>(v >> shift));
}

void Writer::u64(uint64_t v) {
  for (int shift = 56; shift >= 0; shift -= 8) out_.push_back(static_cast<uint8_t>(v >> shift));
}

// Lengths on the wire are u32 varints; callers keep fields far below that (frames are
// u32-length too), so a larger field is a caller bug, not input.
void Writer::bytes(ByteView b) {
  assert(b.size() <= UINT32_MAX);
  varint(static_cast<uint32_t>(b.size()));
  raw(b);
}

void Writer::text(std::string_view s) {
  assert(s.size() <= UINT32_MAX);
  varint(static_cast<uint32_t>(s.size()));
  out_.insert(out_.end(), s.begin(), s.end());
}

void Writer::addr(const SocketAddr& a) {
  u8(static_cast<uint8_t>(a.family));
  raw(ByteView(a.ip.data(), a.is_v4() ? 4 : 16));
  u16(a.port);
}

namespace {
Err<DecodeError> fail(DecodeCode c) { return err(decode_error(c)); }
}  // namespace

Result<uint8_t, DecodeError> Reader::u8() {
  if (remaining() < 1) return fail(DecodeCode::Truncated);
  return in_[pos_++];
}

Result<uint16_t, DecodeError> Reader::u16() {
  if (remaining() < 2) return fail(DecodeCode::Truncated);
  uint16_t v = static_cast<uint16_t>((in_[pos_] << 8) | in_[pos_ + 1]);
  pos_ += 2;
  return v;
}

Result<uint32_t, DecodeError> Reader::u32() {
  if (remaining() < 4) return fail(DecodeCode::Truncated);
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v = (v << 8) | in_[pos_ + i];
  pos_ += 4;
  return v;
}

Result<uint64_t, DecodeError> Reader::u64() {
  if (remaining() < 8) return fail(DecodeCode::Truncated);
  uint64_t v = 0;
  for (size_t i = 0; i < 8; ++i) v = (v << 8) | in_[pos_ + i];
  pos_ += 8;
  return v;
}

Result<uint32_t, DecodeError> Reader::varint() {
  uint32_t v = 0;
  for (size_t i = 0; i < MAX_VARINT_LEN; ++i) {
    if (pos_ + i >= in_.size()) return fail(DecodeCode::Truncated);
    const uint8_t b = in_[pos_ + i];
    // The fifth byte carries the top 4 bits of a u32 and ends the varint.
    if (i == MAX_VARINT_LEN - 1 && b > 0x0F) return fail(DecodeCode::BadVarint);
    v |= static_cast<uint32_t>(b & 0x7F) << (7 * i);
    if ((b & 0x80) == 0) {
      // A zero final byte after the first means a longer form than needed: one value,
      // one encoding, so signatures and comparisons over encoded bytes stay meaningful.
      if (i > 0 && b == 0) return fail(DecodeCode::BadVarint);
      pos_ += i + 1;
      return v;
    }
  }
  return fail(DecodeCode::BadVarint);  // unreachable: the fifth byte is at most 0x0F
}

Result<bool, DecodeError> Reader::flag() {
  auto b = u8();
  if (!b) return err(b.error());
  if (*b > 1) return fail(DecodeCode::BadValue);
  return *b == 1;
}

Result<ByteView, DecodeError> Reader::raw(size_t n) {
  if (remaining() < n) return fail(DecodeCode::Truncated);
  ByteView v = in_.subspan(pos_, n);
  pos_ += n;
  return v;
}

Result<ByteView, DecodeError> Reader::bytes() {
  auto n = varint();
  if (!n) return err(n.error());
  return raw(*n);
}

Result<std::string, DecodeError> Reader::text() {
  auto b = bytes();
  if (!b) return err(b.error());
  if (!valid_utf8(*b)) return fail(DecodeCode::BadUtf8);
  return std::string(b->begin(), b->end());
}

Result<std::string, DecodeError> Reader::name() {
  auto n = varint();
  if (!n) return err(n.error());
  if (*n == 0 || *n > MAX_NAME_LEN) return fail(DecodeCode::BadName);
  auto b = raw(*n);
  if (!b) return err(b.error());
  if (!valid_utf8(*b)) return fail(DecodeCode::BadUtf8);
  return std::string(b->begin(), b->end());
}

Result<SocketAddr, DecodeError> Reader::addr() {
  auto fam = u8();
  if (!fam) return err(fam.error());
  SocketAddr a;
  size_t n = 0;
  if (*fam == 4) {
    a.family = SocketAddr::Family::V4;
    n = 4;
  } else if (*fam == 6) {
    a.family = SocketAddr::Family::V6;
    n = 16;
  } else {
    return fail(DecodeCode::BadAddress);
  }
  auto ip = raw(n);
  if (!ip) return err(ip.error());
  std::memcpy(a.ip.data(), ip->data(), n);
  auto port = u16();
  if (!port) return err(port.error());
  a.port = *port;
  return a;
}

bool valid_utf8(ByteView b) {
  size_t i = 0;
  const size_t n = b.size();
  while (i < n) {
    const uint8_t c = b[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint32_t min;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      len = 2, min = 0x80, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3, min = 0x800, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4, min = 0x10000, cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (size_t k = 1; k < len; ++k) {
      const uint8_t cc = b[i + k];
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, UTF-16 surrogates and values beyond Unicode are not UTF-8.
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

}  // namespace vennock::proto
