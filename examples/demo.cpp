// The packet codec at work: two nodes share a keyring, seal and open a packet of several
// messages, then rotate to a new key while old packets stay readable until the old key goes.
#include <sodium.h>

#include <cstdio>
#include <string>

#include "proto/message.hpp"
#include "proto/packet.hpp"
#include "proto/tags.hpp"

using namespace vennock::proto;

namespace {

Key random_key() {
  std::array<uint8_t, KEY_LEN> a;
  randombytes_buf(a.data(), a.size());
  Key k = Key::from_array(a);
  sodium_memzero(a.data(), a.size());
  return k;
}

Codec node(const Key& k) {
  std::array<uint8_t, 32> nonce_key;
  randombytes_buf(nonce_key.data(), nonce_key.size());
  Codec c("demo", std::vector<Key>{k}, nonce_key);
  sodium_memzero(nonce_key.data(), nonce_key.size());
  return c;
}

std::string ids(const Codec& c) {
  std::string s;
  for (const auto& id : c.key_ids()) s += (s.empty() ? "" : ", ") + id.hex();
  return "[" + s + "]";
}
std::string describe(const Message& m) {
  switch (kind_of(m)) {
    case MessageKind::Ping: return "Ping to " + std::get<Ping>(m).target;
    case MessageKind::Ack: return "Ack of probe " + std::to_string(std::get<Ack>(m).seq);
    case MessageKind::Alive: {
      const auto& a = std::get<Alive>(m);
      std::string meta;
      for (const auto& [k, v] : tag_pairs(a.meta)) meta += " " + k + "=" + v;
      return "Alive " + a.name + " at " + a.addr.to_string() + meta;
    }
    case MessageKind::UserBroadcast: {
      const auto& b = std::get<UserBroadcast>(m);
      return "UserBroadcast from " + b.origin + ": \"" + std::string(b.data.begin(), b.data.end()) + "\"";
    }
    default: return "message of kind " + std::to_string(static_cast<int>(kind_of(m)));
  }
}

// Opens a copy of the packet at `c`, the node named `who`, and reports what came out.
void deliver(const char* who, const Codec& c, const Bytes& packet) {
  Bytes buf = packet;
  auto opened = c.open(buf, Addressee{who, {}});
  if (!opened) {
    std::printf("  %s refuses it: %s (code %u)\n", who, opened.error().message().c_str(), opened.error().number());
    return;
  }
  auto msgs = decode_payload(opened->payload);
  std::printf("  %s opens it (key %s, stamp %llu ms): %zu message(s)\n", who, opened->key_id.hex().c_str(),
              static_cast<unsigned long long>(opened->stamp_ms), msgs ? msgs->size() : 0);
  if (msgs)
    for (const auto& m : *msgs) std::printf("    - %s\n", describe(m).c_str());
}

}  // namespace

int main() {
  if (sodium_init() < 0) return 1;
  std::printf("vennock wire version %u; packet overhead %zu bytes sealed, %zu in plain text\n",
              static_cast<unsigned>(WIRE_VERSION), SEALED_OVERHEAD, PLAINTEXT_OVERHEAD);

  const Key k1 = random_key();
  std::printf("\nkey 1: id %s, text %s\n", k1.id().hex().c_str(), k1.to_base64().str().c_str());
  Codec alice = node(k1), bob = node(k1);

  Bytes payload;
  encode(Ping{1, "bob", "alice"}, payload);
  encode(Alive{"alice", SocketAddr::v4({192, 168, 1, 10}, 7946), 1767225600000, 3,
               encode_tags({{"role", "web"}, {"zone", "eu-1"}})},
         payload);
  encode(UserBroadcast{"alice", 1767225600000, 1, Bytes{'h', 'e', 'l', 'l', 'o'}}, payload);
  const Recipient to_bob{"bob", std::nullopt};
  const Bytes old_packet = alice.seal(payload, 1767225601000, to_bob);
  std::printf("alice seals %zu payload bytes for bob into a %zu-byte packet\n", payload.size(), old_packet.size());
  deliver("bob", bob, old_packet);
  std::printf("the same packet replayed to carol, who holds the same key:\n");
  deliver("carol", node(k1), old_packet);

  Bytes tampered = old_packet;
  tampered[40] ^= 0x01;
  std::printf("one bit flipped in transit:\n");
  deliver("bob", bob, tampered);

  const Key k2 = random_key();
  std::printf("\nrotating to key 2 (id %s)\n", k2.id().hex().c_str());
  for (Codec* c : {&alice, &bob}) (void)c->install_key(k2);
  std::printf("  both installed it: key ids %s\n", ids(bob).c_str());
  for (Codec* c : {&alice, &bob}) (void)c->use_key(k2);
  std::printf("  both use it:       key ids %s\n", ids(bob).c_str());
  Bytes ack;
  encode(Ack{1}, ack);
  deliver("bob", bob, alice.seal(ack, 1767225602000, to_bob));
  std::printf("a packet sealed under key 1 before the rotation:\n");
  deliver("bob", bob, old_packet);

  auto refused = bob.remove_key(k2);
  std::printf("\nbob removes key 2 (in use): %s\n", refused ? "removed" : "refused, it is in use");
  (void)bob.remove_key(k1);
  std::printf("bob removes key 1: key ids %s\n", ids(bob).c_str());
  std::printf("the old packet again:\n");
  deliver("bob", bob, old_packet);

  auto last = bob.remove_key(k2);
  std::printf("bob removes its last key: %s\n", last ? "removed" : "refused, a ring keeps one key");
  auto back = Key::from_base64("  " + k2.to_base64().str() + "\n");
  std::printf("key 2 read back from its text: %s\n", back && *back == k2 ? "same key" : "different");
  return 0;
}
