// Packets: the 8-byte header, sealing and opening with XChaCha20-Poly1305 under a keyring,
// the plaintext label check, and the cheap header pre-check.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "proto/wire.hpp"

namespace vennock::proto {

inline constexpr uint8_t WIRE_VERSION = 1;
inline constexpr size_t HEADER_LEN = 8;
inline constexpr size_t NONCE_LEN = 24;
inline constexpr size_t TAG_LEN = 16;
inline constexpr size_t STAMP_LEN = 8;
inline constexpr size_t KEY_LEN = 32;
inline constexpr uint8_t FLAG_ENCRYPTED = 0x01;
// Encrypted packets only: the packet names its receiver by the address the sender dialed,
// not by its name (a join through a seed whose name the joiner does not know yet).
inline constexpr uint8_t FLAG_BY_ADDRESS = 0x02;

// Bytes a packet adds around its payload.
inline constexpr size_t PLAINTEXT_OVERHEAD = HEADER_LEN + STAMP_LEN;
inline constexpr size_t SEALED_OVERHEAD = HEADER_LEN + NONCE_LEN + STAMP_LEN + TAG_LEN;
// The larger of the two: configuration checks use it so a config stays valid either way.
inline constexpr size_t PACKET_OVERHEAD = SEALED_OVERHEAD;

// The largest datagram a node accepts (its receive buffer); Codec::open_datagram refuses a
// larger one with TooLarge. Stream frames carry larger packets, bounded by max_stream_frame.
inline constexpr size_t MAX_DATAGRAM_LEN = 65536;

// Whether datagrams of `udp_max_payload` bytes and frames of `max_stream_frame` bytes leave
// room for any payload beside the packet overhead (either mode); false means no codec can
// work with these limits.
constexpr bool limits_hold_packet(uint64_t udp_max_payload, uint64_t max_stream_frame) {
  return udp_max_payload > PACKET_OVERHEAD && max_stream_frame > PACKET_OVERHEAD;
}

// BLAKE3 of the input (32 bytes).
std::array<uint8_t, 32> blake3(ByteView in);

// A std::string whose bytes are wiped before its memory is released.
class SecretString {
 public:
  SecretString() = default;
  explicit SecretString(std::string s) : s_(std::move(s)) {}
  SecretString(const SecretString&) = delete;
  SecretString& operator=(const SecretString&) = delete;
  SecretString(SecretString&& o) noexcept;
  SecretString& operator=(SecretString&& o) noexcept;
  ~SecretString();
  const std::string& str() const { return s_; }

 private:
  void wipe();
  std::string s_;
};

// The first 4 bytes of BLAKE3 of a key, big-endian.
struct KeyId {
  uint32_t value = 0;
  std::string hex() const;  // exactly 8 lower-case hex digits
  auto operator<=>(const KeyId&) const = default;
};

enum class KeyTextError : uint8_t { BadBase64, WrongLength };

// A 32-byte key in a heap block of its own, wiped when released. Copies are deep.
class Key {
 public:
  // Only from exactly 32 bytes.
  static std::optional<Key> from_bytes(ByteView b);
  static Key from_array(const std::array<uint8_t, KEY_LEN>& a);
  // Padded or unpadded standard base64 of 32 bytes, trimmed of white space; see docs/wire.md.
  static Result<Key, KeyTextError> from_base64(std::string_view text);

  Key(const Key& o);
  Key& operator=(const Key& o);
  Key(Key&& o) noexcept = default;
  Key& operator=(Key&& o) noexcept;
  ~Key();

  SecretString to_base64() const;  // always 44 characters
  KeyId id() const;
  // Not on a moved-from key, which holds no block.
  std::span<const uint8_t, KEY_LEN> bytes() const { return std::span<const uint8_t, KEY_LEN>(*block_); }
  // Constant-time comparison of all 32 bytes.
  bool operator==(const Key& o) const;

 private:
  Key();
  std::unique_ptr<std::array<uint8_t, KEY_LEN>> block_;
};

// Refusals of the keyring operations.
enum class KeyError : uint8_t { NotEncrypted, NotInstalled, InUse, LastKey };

// The cheap check of a packet's first 8 bytes, shared with the stream tasks: the installed
// key ids when encrypted, else the cluster label's hash. Immutable once built.
struct HeaderCheck {
  bool encrypted = false;
  std::vector<KeyId> key_ids;           // in ring order, the key in use first
  std::array<uint8_t, 4> label_hash{};  // first 4 bytes of BLAKE3(label)

  // Checks magic, version, flags, mode and key id (or label hash). `packet` may hold more
  // than the header; fewer than 8 bytes give TooShort.
  Result<void, DecodeError> check(ByteView packet) const;
};

// Whom an encrypted packet is for. Its authentication covers the receiver's name (or, with
// `addr` set, the address the sender dialed), so a packet captured on its way to one node
// does not open at any other. Plain-text packets carry no such binding.
struct Recipient {
  std::string_view name;
  std::optional<SocketAddr> addr;  // set: addressed by address (FLAG_BY_ADDRESS)
};

// Who this node is to the packets it opens: its name, and the addresses under which a packet
// addressed by address is for it (none: every such packet is refused).
struct Addressee {
  std::string_view name;
  std::span<const SocketAddr> addrs;
};

// An opened packet: the sender's stamp, the nonce (encrypted packets only) and the payload,
// which points into the buffer that was opened in place.
struct Opened {
  uint64_t stamp_ms = 0;
  bool encrypted = false;
  bool by_address = false;  // it named this node by an address, not by its name
  std::array<uint8_t, NONCE_LEN> nonce{};
  KeyId key_id;
  ByteView payload;
};

// The packet codec and keyring of one node.
class Codec {
 public:
  // keys: nullopt runs without encryption; otherwise at least one key (the first is used;
  // a key listed twice is installed once). Given an empty list, the codec is encrypted but
  // seals nothing (seal yields an empty packet) until a key is installed and used.
  // nonce_key seeds the nonce generator; it is copied, and the caller wipes its buffer.
  Codec(std::string label, std::optional<std::vector<Key>> keys, std::span<const uint8_t, 32> nonce_key);
  Codec(Codec&&) noexcept;
  Codec& operator=(Codec&&) noexcept;
  ~Codec();

  bool encrypted() const;
  size_t overhead() const { return encrypted() ? SEALED_OVERHEAD : PLAINTEXT_OVERHEAD; }

  // Appends a whole packet carrying `payload` and `stamp_ms` for `to` to `out` (cleared
  // first). The default recipient (no name) is no node's: only codec-level tests use it.
  void seal(ByteView payload, uint64_t stamp_ms, Bytes& out, const Recipient& to = {});
  Bytes seal(ByteView payload, uint64_t stamp_ms, const Recipient& to = {});
  // Checks and opens a packet in place, as `me` (an encrypted packet for anyone else fails
  // authentication). Never reads outside `packet`. A packet refused by authentication has
  // its body (past nonce) overwritten with zeros.
  Result<Opened, DecodeError> open(std::span<uint8_t> packet, const Addressee& me = {}) const;
  // As open, for a packet that came as a datagram: first refuses one larger than
  // MAX_DATAGRAM_LEN with TooLarge.
  Result<Opened, DecodeError> open_datagram(std::span<uint8_t> packet, const Addressee& me = {}) const;

  Result<void, KeyError> install_key(Key key);
  Result<void, KeyError> use_key(const Key& key);
  Result<void, KeyError> remove_key(const Key& key);
  std::vector<KeyId> key_ids() const;
  HeaderCheck header_check() const;
  const std::string& label() const;

 private:
  struct State;
  std::unique_ptr<State> s_;
};

}  // namespace vennock::proto
