#include "proto/packet.hpp"

#include <blake3.h>
#include <sodium.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace vennock::proto {

namespace {

// Fixed context for deriving the per-key packet subkey. Changing it changes the wire.
constexpr const char* kSubkeyContext = "vennock 2026-12 packet subkey v1";

void ensure_sodium() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Fails only when the system has no entropy source; the codec itself never draws
    // random bytes, and the cipher functions work with their portable code either way.
    if (sodium_init() < 0) return;
  });
}

// BLAKE3's C code picks its SIMD routines at its first hash and records the choice in a
// plain global: two threads hashing first at the same moment race on it. The process's first
// hash is made here, once; every hash of ours comes after it.
void ensure_blake3() {
  static std::once_flag once;
  std::call_once(once, [] {
    blake3_hasher h;
    blake3_hasher_init(&h);
    uint8_t out[BLAKE3_OUT_LEN];
    blake3_hasher_finalize(&h, out, sizeof out);
  });
}

void put_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
uint32_t get_be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
void put_be64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (56 - 8 * i));
}
uint64_t get_be64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
  return v;
}

// 32 secret bytes in a heap block of their own, so moving the owner never leaves copies
// behind; wiped before the block is freed.
class Secret32 {
 public:
  Secret32() : p_(new std::array<uint8_t, 32>{}) {}
  Secret32(Secret32&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Secret32& operator=(Secret32&& o) noexcept {
    if (this != &o) {
      release();
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  Secret32(const Secret32&) = delete;
  Secret32& operator=(const Secret32&) = delete;
  ~Secret32() { release(); }
  uint8_t* data() { return p_->data(); }
  const uint8_t* data() const { return p_->data(); }

 private:
  void release() {
    if (p_) {
      sodium_memzero(p_->data(), p_->size());
      delete p_;
      p_ = nullptr;
    }
  }
  std::array<uint8_t, 32>* p_;
};

Secret32 derive_subkey(std::span<const uint8_t, KEY_LEN> key) {
  ensure_blake3();
  Secret32 out;
  blake3_hasher h;
  blake3_hasher_init_derive_key(&h, kSubkeyContext);
  blake3_hasher_update(&h, key.data(), key.size());
  blake3_hasher_finalize(&h, out.data(), 32);
  sodium_memzero(&h, sizeof h);  // the hasher state holds the key's chaining values
  return out;
}

KeyId key_id_of(std::span<const uint8_t, KEY_LEN> key) {
  auto h = blake3(ByteView(key.data(), key.size()));
  return KeyId{get_be32(h.data())};
}

// Nonces are consecutive 24-byte pieces of one ChaCha20 keystream (the original variant:
// 64-bit block counter, fixed nonce) under a key drawn fresh at each start, so no nonce
// repeats within a life and lives do not collide except by chance on 256-bit keys.
class NonceSource {
 public:
  explicit NonceSource(std::span<const uint8_t, 32> key) { std::memcpy(key_.data(), key.data(), 32); }
  NonceSource(const NonceSource&) = delete;
  NonceSource& operator=(const NonceSource&) = delete;
  ~NonceSource() { sodium_memzero(buf_.data(), buf_.size()); }

  void next(uint8_t* out) {
    if (pos_ == buf_.size()) refill();
    std::memcpy(out, buf_.data() + pos_, NONCE_LEN);
    sodium_memzero(buf_.data() + pos_, NONCE_LEN);  // a used nonce need not stay in memory
    pos_ += NONCE_LEN;
  }

 private:
  // 32 nonces per refill: one call amortised over many packets, and 768 bytes is a whole
  // number of both 64-byte blocks and 24-byte nonces.
  static constexpr size_t kBlocks = 12;
  static constexpr size_t kBytes = kBlocks * 64;
  static_assert(kBytes % NONCE_LEN == 0);

  void refill() {
    static const uint8_t kFixedNonce[crypto_stream_chacha20_NONCEBYTES] = {};
    std::memset(buf_.data(), 0, buf_.size());
    crypto_stream_chacha20_xor_ic(buf_.data(), buf_.data(), buf_.size(), kFixedNonce, block_, key_.data());
    block_ += kBlocks;
    pos_ = 0;
  }

  Secret32 key_;
  std::array<uint8_t, kBytes> buf_{};
  size_t pos_ = kBytes;
  uint64_t block_ = 0;
};

// The receiver as the associated data names it: its name's length (one byte) and bytes, or
// an address (family, IP, port) when the packet is addressed by address. Either form tells
// its own length, so the label that follows cannot be confused with it.
constexpr size_t kMaxRecipient = 1 + 255;
size_t put_recipient(uint8_t* out, const Recipient& to) {
  if (to.addr) {
    const SocketAddr& a = *to.addr;
    const size_t ip = a.is_v4() ? 4 : 16;
    out[0] = static_cast<uint8_t>(a.family);
    std::memcpy(out + 1, a.ip.data(), ip);
    out[1 + ip] = static_cast<uint8_t>(a.port >> 8);
    out[2 + ip] = static_cast<uint8_t>(a.port);
    return 3 + ip;
  }
  const size_t n = std::min<size_t>(to.name.size(), 255);  // names are at most 64 bytes
  out[0] = static_cast<uint8_t>(n);
  if (n != 0) std::memcpy(out + 1, to.name.data(), n);
  return 1 + n;
}

// header ‖ recipient ‖ label, without a heap allocation for any label the configuration
// allows.
template <class F>
auto with_aad(const uint8_t* header, const Recipient& to, const std::string& label, F&& f) {
  constexpr size_t kInline = 256;
  auto fill = [&](uint8_t* aad) {
    std::memcpy(aad, header, HEADER_LEN);
    size_t r = put_recipient(aad + HEADER_LEN, to);
    std::memcpy(aad + HEADER_LEN + r, label.data(), label.size());
    return HEADER_LEN + r + label.size();
  };
  if (label.size() <= kInline) {
    std::array<uint8_t, HEADER_LEN + kMaxRecipient + kInline> aad;
    return f(aad.data(), fill(aad.data()));
  }
  Bytes aad(HEADER_LEN + kMaxRecipient + label.size());
  return f(aad.data(), fill(aad.data()));
}

Err<DecodeError> fail(DecodeCode c) { return err(decode_error(c)); }

// The checks of the first 8 bytes, in their fixed order; `has_key` tells whether an id
// names an installed key.
template <class HasKey>
Result<void, DecodeError> check_header(ByteView p, bool encrypted, const std::array<uint8_t, 4>& label_hash,
                                       HasKey&& has_key) {
  if (p.size() < HEADER_LEN) return fail(DecodeCode::TooShort);
  if (p[0] != 'v' || p[1] != 'n') return fail(DecodeCode::BadMagic);
  if (p[2] != WIRE_VERSION) return fail(DecodeCode::BadVersion);
  // Addressing by address is part of authentication: meaningless in plain text.
  if ((p[3] & ~(FLAG_ENCRYPTED | FLAG_BY_ADDRESS)) != 0 || p[3] == FLAG_BY_ADDRESS) return fail(DecodeCode::BadFlags);
  const bool sealed = (p[3] & FLAG_ENCRYPTED) != 0;
  if (encrypted && !sealed) return fail(DecodeCode::PlaintextRefused);
  if (!encrypted && sealed) return fail(DecodeCode::EncryptedRefused);
  if (sealed) {
    const uint32_t id = get_be32(p.data() + 4);
    if (!has_key(KeyId{id})) return err(DecodeError{DecodeCode::UnknownKey, id});
  } else if (std::memcmp(p.data() + 4, label_hash.data(), 4) != 0) {
    return fail(DecodeCode::LabelMismatch);
  }
  return {};
}

std::array<uint8_t, 4> label_hash_of(const std::string& label) {
  auto h = blake3(ByteView(reinterpret_cast<const uint8_t*>(label.data()), label.size()));
  return {h[0], h[1], h[2], h[3]};
}

}  // namespace

std::array<uint8_t, 32> blake3(ByteView in) {
  ensure_blake3();
  std::array<uint8_t, 32> out;
  blake3_hasher h;
  blake3_hasher_init(&h);
  blake3_hasher_update(&h, in.data(), in.size());
  blake3_hasher_finalize(&h, out.data(), out.size());
  return out;
}

// ---- SecretString

void SecretString::wipe() {
  sodium_memzero(s_.data(), s_.size());
  // Growing to the capacity zero-fills the rest of the buffer too (a short string's inline
  // buffer may still hold bytes of an earlier value after a move).
  s_.resize(s_.capacity());
  sodium_memzero(s_.data(), s_.size());
  s_.clear();
}

SecretString::SecretString(SecretString&& o) noexcept : s_(std::move(o.s_)) { o.wipe(); }

SecretString& SecretString::operator=(SecretString&& o) noexcept {
  if (this != &o) {
    wipe();
    s_ = std::move(o.s_);
    o.wipe();
  }
  return *this;
}

SecretString::~SecretString() { wipe(); }

// ---- KeyId

std::string KeyId::hex() const {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", value);
  return text;
}

// ---- Key

Key::Key() : block_(std::make_unique<std::array<uint8_t, KEY_LEN>>()) {}

Key::Key(const Key& o) : Key() {
  if (o.block_) std::memcpy(block_->data(), o.block_->data(), KEY_LEN);
}

Key& Key::operator=(const Key& o) {
  if (this != &o) {
    if (!o.block_) {
      if (block_) sodium_memzero(block_->data(), KEY_LEN);
      block_.reset();
    } else {
      if (!block_) block_ = std::make_unique<std::array<uint8_t, KEY_LEN>>();
      std::memcpy(block_->data(), o.block_->data(), KEY_LEN);
    }
  }
  return *this;
}

Key& Key::operator=(Key&& o) noexcept {
  if (this != &o) {
    if (block_) sodium_memzero(block_->data(), KEY_LEN);
    block_ = std::move(o.block_);
  }
  return *this;
}

Key::~Key() {
  if (block_) sodium_memzero(block_->data(), KEY_LEN);
}

std::optional<Key> Key::from_bytes(ByteView b) {
  if (b.size() != KEY_LEN) return std::nullopt;
  Key k;
  std::memcpy(k.block_->data(), b.data(), KEY_LEN);
  return k;
}

Key Key::from_array(const std::array<uint8_t, KEY_LEN>& a) {
  Key k;
  std::memcpy(k.block_->data(), a.data(), KEY_LEN);
  return k;
}

bool Key::operator==(const Key& o) const {
  if (!block_ || !o.block_) return !block_ && !o.block_;
  return sodium_memcmp(block_->data(), o.block_->data(), KEY_LEN) == 0;
}

KeyId Key::id() const { return key_id_of(bytes()); }

namespace {

constexpr char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of a standard-alphabet character, or -1. No table lookup indexed by the secret
// character, so decoding does not leak the key through the cache.
int b64_value(uint8_t c) {
  int v = -1;
  v += ((('A' - 1 - c) & (c - ('Z' + 1))) >> 8) & (c - 'A' + 1);
  v += ((('a' - 1 - c) & (c - ('z' + 1))) >> 8) & (c - 'a' + 27);
  v += ((('0' - 1 - c) & (c - ('9' + 1))) >> 8) & (c - '0' + 53);
  v += ((('+' - 1 - c) & (c - ('+' + 1))) >> 8) & 63;
  v += ((('/' - 1 - c) & (c - ('/' + 1))) >> 8) & 64;
  return v;
}

// Length of a white-space character (Unicode White_Space) starting at s[i], or 0.
size_t space_at(std::string_view s, size_t i) {
  const auto c = static_cast<uint8_t>(s[i]);
  if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
  auto rest = s.size() - i;
  auto at = [&](size_t k) { return static_cast<uint8_t>(s[i + k]); };
  if (c == 0xC2 && rest >= 2 && (at(1) == 0x85 || at(1) == 0xA0)) return 2;  // U+0085, U+00A0
  if (c == 0xE1 && rest >= 3 && at(1) == 0x9A && at(2) == 0x80) return 3;    // U+1680
  if (c == 0xE2 && rest >= 3) {
    const uint8_t b1 = at(1), b2 = at(2);
    if (b1 == 0x80 && (b2 <= 0x8A || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF)) return 3;  // U+2000..200A, 2028, 2029, 202F
    if (b1 == 0x81 && b2 == 0x9F) return 3;                                            // U+205F
  }
  if (c == 0xE3 && rest >= 3 && at(1) == 0x80 && at(2) == 0x80) return 3;  // U+3000
  return 0;
}

// Length of a white-space character that ends exactly at s[end-1], or 0.
size_t space_before(std::string_view s, size_t end) {
  for (size_t len = 1; len <= 3 && len <= end; ++len)
    if (space_at(s, end - len) == len) return len;
  return 0;
}

std::string_view trim_space(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e) {
    size_t n = space_at(s.substr(0, e), b);
    if (n == 0) break;
    b += n;
  }
  while (e > b) {
    size_t n = space_before(s.substr(b, e - b), e - b);
    if (n == 0) break;
    e -= n;
  }
  return s.substr(b, e - b);
}

}  // namespace

Result<Key, KeyTextError> Key::from_base64(std::string_view text) {
  std::string_view t = trim_space(text);
  for (int i = 0; i < 2 && !t.empty() && t.back() == '='; ++i) t.remove_suffix(1);
  if (!t.empty() && t.back() == '=') return err(KeyTextError::BadBase64);
  // Every character must belong to the alphabet, whatever the length.
  uint8_t bad = 0;
  for (char c : t) bad |= static_cast<uint8_t>(b64_value(static_cast<uint8_t>(c)) < 0);
  if (bad != 0 || t.size() % 4 == 1) return err(KeyTextError::BadBase64);
  // 32 bytes are 43 characters; any other count decodes to another length.
  if (t.size() * 6 / 8 != KEY_LEN) return err(KeyTextError::WrongLength);

  Key k;
  uint8_t* out = k.block_->data();
  uint32_t acc = 0;
  unsigned bits = 0;
  size_t n = 0;
  for (char c : t) {
    acc = (acc << 6) | static_cast<uint32_t>(b64_value(static_cast<uint8_t>(c)));
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out[n++] = static_cast<uint8_t>(acc >> bits);
      acc &= (1u << bits) - 1;
    }
  }
  // 43 characters carry 258 bits: the 2 beyond the key must be zero, or two texts would
  // name one key.
  const bool stray = acc != 0;
  sodium_memzero(&acc, sizeof acc);
  if (stray) return err(KeyTextError::BadBase64);  // k is wiped as it goes
  return k;
}

SecretString Key::to_base64() const {
  std::string s;
  s.reserve(44);  // exactly once, so no reallocation leaves a partial copy behind
  const uint8_t* in = block_->data();
  size_t i = 0;
  for (; i + 3 <= KEY_LEN; i += 3) {
    const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
    s.push_back(kB64[(v >> 18) & 63]);
    s.push_back(kB64[(v >> 12) & 63]);
    s.push_back(kB64[(v >> 6) & 63]);
    s.push_back(kB64[v & 63]);
  }
  // 32 = 10 * 3 + 2: two bytes left, three characters and one "=".
  const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8);
  s.push_back(kB64[(v >> 18) & 63]);
  s.push_back(kB64[(v >> 12) & 63]);
  s.push_back(kB64[(v >> 6) & 63]);
  s.push_back('=');
  return SecretString(std::move(s));
}

// ---- HeaderCheck

Result<void, DecodeError> HeaderCheck::check(ByteView packet) const {
  return check_header(packet, encrypted, label_hash, [&](KeyId id) {
    return std::find(key_ids.begin(), key_ids.end(), id) != key_ids.end();
  });
}

// ---- Codec

struct Codec::State {
  struct Entry {
    Key key;
    KeyId id;
    Secret32 subkey;
  };

  State(std::string l, std::span<const uint8_t, 32> nonce_key)
      : label(std::move(l)), label_hash(label_hash_of(label)), nonces(nonce_key) {}

  std::string label;
  std::array<uint8_t, 4> label_hash;
  bool encrypted = false;
  std::vector<Entry> ring;  // the key in use first
  NonceSource nonces;

  Entry* find(const Key& k) {
    for (auto& e : ring)
      if (e.key == k) return &e;
    return nullptr;
  }
  // Derived keys follow the ring: recomputed whenever it changes.
  void rederive() {
    for (auto& e : ring) e.subkey = derive_subkey(e.key.bytes());
  }
};

Codec::Codec(std::string label, std::optional<std::vector<Key>> keys, std::span<const uint8_t, 32> nonce_key) {
  ensure_sodium();
  s_ = std::make_unique<State>(std::move(label), nonce_key);
  if (keys) {
    s_->encrypted = true;
    for (auto& k : *keys) {
      if (s_->find(k)) continue;  // a key listed twice is installed once
      KeyId id = k.id();
      s_->ring.push_back(State::Entry{std::move(k), id, Secret32()});
    }
    s_->rederive();
    keys->clear();
  }
}

Codec::Codec(Codec&&) noexcept = default;
Codec& Codec::operator=(Codec&&) noexcept = default;
Codec::~Codec() = default;

bool Codec::encrypted() const { return s_->encrypted; }
const std::string& Codec::label() const { return s_->label; }

void Codec::seal(ByteView payload, uint64_t stamp_ms, Bytes& out, const Recipient& to) {
  State& s = *s_;
  out.clear();
  if (!s.encrypted) {
    out.resize(PLAINTEXT_OVERHEAD + payload.size());
    uint8_t* p = out.data();
    p[0] = 'v', p[1] = 'n', p[2] = WIRE_VERSION, p[3] = 0;
    std::memcpy(p + 4, s.label_hash.data(), 4);
    put_be64(p + HEADER_LEN, stamp_ms);
    if (!payload.empty()) std::memcpy(p + PLAINTEXT_OVERHEAD, payload.data(), payload.size());
    return;
  }
  // An encrypted codec holds a key unless it was built from an empty list (the last key
  // cannot be removed). Then it emits nothing, an empty packet every receiver refuses,
  // rather than anything unprotected.
  if (s.ring.empty()) return;
  const State::Entry& e = s.ring.front();
  const size_t body = STAMP_LEN + payload.size();
  out.resize(SEALED_OVERHEAD + payload.size());
  uint8_t* p = out.data();
  p[0] = 'v', p[1] = 'n', p[2] = WIRE_VERSION, p[3] = to.addr ? (FLAG_ENCRYPTED | FLAG_BY_ADDRESS) : FLAG_ENCRYPTED;
  put_be32(p + 4, e.id.value);
  uint8_t* nonce = p + HEADER_LEN;
  s.nonces.next(nonce);
  uint8_t* m = nonce + NONCE_LEN;
  put_be64(m, stamp_ms);
  if (!payload.empty()) std::memcpy(m + STAMP_LEN, payload.data(), payload.size());
  with_aad(p, to, s.label, [&](const uint8_t* aad, size_t aad_len) {
    crypto_aead_xchacha20poly1305_ietf_encrypt_detached(m, m + body, nullptr, m, body, aad, aad_len, nullptr, nonce,
                                                        e.subkey.data());
    return 0;
  });
}

Bytes Codec::seal(ByteView payload, uint64_t stamp_ms, const Recipient& to) {
  Bytes out;
  seal(payload, stamp_ms, out, to);
  return out;
}

Result<Opened, DecodeError> Codec::open(std::span<uint8_t> packet, const Addressee& me) const {
  const State& s = *s_;
  auto hc = check_header(packet, s.encrypted, s.label_hash, [&](KeyId id) {
    return std::any_of(s.ring.begin(), s.ring.end(), [&](const State::Entry& e) { return e.id == id; });
  });
  if (!hc) return err(hc.error());

  Opened o;
  uint8_t* p = packet.data();
  if (!s.encrypted) {
    if (packet.size() < PLAINTEXT_OVERHEAD) return fail(DecodeCode::Truncated);
    o.stamp_ms = get_be64(p + HEADER_LEN);
    o.payload = ByteView(p + PLAINTEXT_OVERHEAD, packet.size() - PLAINTEXT_OVERHEAD);
    return o;
  }
  if (packet.size() < SEALED_OVERHEAD) return fail(DecodeCode::Truncated);
  const KeyId id{get_be32(p + 4)};
  const uint8_t* nonce = p + HEADER_LEN;
  uint8_t* c = p + HEADER_LEN + NONCE_LEN;
  const size_t body = packet.size() - HEADER_LEN - NONCE_LEN - TAG_LEN;
  const uint8_t* tag = c + body;
  // The receivers the packet may name: this node's name, or each address under which this
  // node takes packets addressed by address (none: such a packet is for nobody here).
  const bool by_address = (p[3] & FLAG_BY_ADDRESS) != 0;
  const size_t names = by_address ? me.addrs.size() : 1;
  auto recipient = [&](size_t i) {
    return by_address ? Recipient{{}, me.addrs[i].on_wire()} : Recipient{me.name, std::nullopt};
  };
  // Two keys may share a 32-bit id by chance, and a node may answer to two addresses: each
  // is tried, and the tag tells which one sealed. A failed attempt wipes the body, so it is
  // restored before the next one.
  const auto candidates = std::count_if(s.ring.begin(), s.ring.end(), [&](const State::Entry& e) { return e.id == id; });
  Bytes backup;
  if (static_cast<size_t>(candidates) * names > 1) backup.assign(c, c + body);
  bool opened = false;
  for (const auto& e : s.ring) {
    if (e.id != id) continue;
    for (size_t i = 0; i < names; ++i) {
      if (!backup.empty()) std::memcpy(c, backup.data(), body);
      int rc = with_aad(p, recipient(i), s.label, [&](const uint8_t* aad, size_t aad_len) {
        return crypto_aead_xchacha20poly1305_ietf_decrypt_detached(c, nullptr, c, body, tag, aad, aad_len, nonce,
                                                                   e.subkey.data());
      });
      if (rc == 0) {
        opened = true;
        break;
      }
    }
    if (opened) break;
  }
  if (!opened) return fail(DecodeCode::AuthFailed);
  o.encrypted = true;
  o.by_address = by_address;
  o.key_id = id;
  std::memcpy(o.nonce.data(), nonce, NONCE_LEN);
  o.stamp_ms = get_be64(c);
  o.payload = ByteView(c + STAMP_LEN, body - STAMP_LEN);
  return o;
}

Result<Opened, DecodeError> Codec::open_datagram(std::span<uint8_t> packet, const Addressee& me) const {
  if (packet.size() > MAX_DATAGRAM_LEN) return fail(DecodeCode::TooLarge);
  return open(packet, me);
}

Result<void, KeyError> Codec::install_key(Key key) {
  State& s = *s_;
  if (!s.encrypted) return err(KeyError::NotEncrypted);  // `key` is wiped as it goes
  if (s.find(key)) return {};
  KeyId id = key.id();
  s.ring.push_back(State::Entry{std::move(key), id, Secret32()});
  s.rederive();
  return {};
}

Result<void, KeyError> Codec::use_key(const Key& key) {
  State& s = *s_;
  if (!s.encrypted) return err(KeyError::NotEncrypted);
  auto it = std::find_if(s.ring.begin(), s.ring.end(), [&](const State::Entry& e) { return e.key == key; });
  if (it == s.ring.end()) return err(KeyError::NotInstalled);
  std::rotate(s.ring.begin(), it, it + 1);
  s.rederive();
  return {};
}

Result<void, KeyError> Codec::remove_key(const Key& key) {
  State& s = *s_;
  if (!s.encrypted) return err(KeyError::NotEncrypted);
  auto it = std::find_if(s.ring.begin(), s.ring.end(), [&](const State::Entry& e) { return e.key == key; });
  if (it == s.ring.end()) return {};
  if (s.ring.size() == 1) return err(KeyError::LastKey);
  if (it == s.ring.begin()) return err(KeyError::InUse);
  s.ring.erase(it);  // the entry's key and subkey are wiped as it is destroyed
  s.rederive();
  return {};
}

std::vector<KeyId> Codec::key_ids() const {
  std::vector<KeyId> ids;
  if (!s_->encrypted) return ids;
  ids.reserve(s_->ring.size());
  for (const auto& e : s_->ring) ids.push_back(e.id);
  return ids;
}

HeaderCheck Codec::header_check() const {
  HeaderCheck h;
  h.encrypted = s_->encrypted;
  h.key_ids = key_ids();
  h.label_hash = s_->label_hash;
  return h;
}

}  // namespace vennock::proto
