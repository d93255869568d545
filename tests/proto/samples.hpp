// Sample values shared by the proto tests.
#pragma once

#include <string>
#include <vector>

#include "proto/message.hpp"
#include "proto/packet.hpp"
#include "proto/tags.hpp"

namespace vennock::proto::samples {

inline ByteView view(const std::string& s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }
inline Bytes bytes_of(std::initializer_list<int> v) {
  Bytes b;
  for (int x : v) b.push_back(static_cast<uint8_t>(x));
  return b;
}

inline SocketAddr addr4() { return SocketAddr::v4({10, 0, 0, 7}, 7946); }
inline SocketAddr addr6() {
  return SocketAddr::v6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xbe, 0xef}, 65535);
}

inline Key key_of(uint8_t fill) {
  std::array<uint8_t, KEY_LEN> a;
  for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<uint8_t>(fill + i * 7);
  return Key::from_array(a);
}

inline std::array<uint8_t, 32> nonce_key(uint8_t fill = 0x5a) {
  std::array<uint8_t, 32> a;
  a.fill(fill);
  return a;
}

// One message of every kind, with fields that differ from their defaults.
inline std::vector<Message> every_kind() {
  Bytes meta = encode_tags({{"role", "db"}, {"zone", "eu-1"}, {"empty", ""}});
  State state;
  state.join = true;
  state.members.push_back(MemberRecord{"alpha", addr4(), 1700000000000, 3, MemberState::Alive, meta});
  state.members.push_back(MemberRecord{"béta", addr6(), 1, 0xFFFFFFFF, MemberState::Suspect, {}});
  state.members.push_back(MemberRecord{"gamma", addr4(), 2, 9, MemberState::Dead, {}});
  state.members.push_back(MemberRecord{"delta", addr6(), 3, 1, MemberState::Left, {}});
  return {
      Ping{0xDEADBEEF, "target-node", "source-node"},
      IndirectPing{42, "t", addr6(), "requester", true},
      Ack{0},
      Nack{0xFFFFFFFF},
      Alive{"alpha", addr4(), UINT64_MAX, 7, meta},
      Suspect{"alpha", 5, 8, "beta"},
      Dead{"alpha", 5, 9, "alpha"},
      state,
      UserMessage{"from", 11, "to", 0, Bytes(300, 0xAB)},
      UserBroadcast{"origin", 12, 0x0102030405060708ULL, Bytes{1, 2, 3}},
  };
}

inline Bytes encode_all(const std::vector<Message>& ms) {
  Bytes out;
  for (const auto& m : ms) encode(m, out);
  return out;
}

}  // namespace vennock::proto::samples
