#include <gtest/gtest.h>
#include <sodium.h>

#include <set>

#include "proto/packet.hpp"
#include "proto/stream.hpp"
#include "samples.hpp"

namespace vennock::proto {
namespace {

using samples::key_of;
using samples::nonce_key;
using samples::view;

std::string hex(ByteView b) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (uint8_t x : b) {
    s += d[x >> 4];
    s += d[x & 15];
  }
  return s;
}

// Opens a copy, so one sealed packet can be tried again and again.
Result<KeyId, DecodeError> open_copy(const Codec& c, Bytes b) {
  auto o = c.open(b);
  if (!o) return err(o.error());
  return o->key_id;
}

Codec plain(const std::string& label = "default") { return Codec(label, std::nullopt, nonce_key()); }
Codec sealed(std::vector<Key> keys, const std::string& label = "default", uint8_t nk = 0x5a) {
  return Codec(label, std::move(keys), nonce_key(nk));
}

// ---- hashing, key ids, keys

TEST(Blake3, KnownAnswers) {
  EXPECT_EQ(hex(blake3({})), "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262");
  EXPECT_EQ(hex(blake3(view("abc"))), "6437b3ac38465133ffb63b75273a8db548c558465d79db03fd359c6cd5bd9d85");
}

TEST(KeyId, ShownAsEightHexDigits) {
  // (How an id derives from its key is pinned by the known-answer packets.)
  EXPECT_EQ(KeyId{0x1a}.hex(), "0000001a");
  EXPECT_EQ(KeyId{0xFFFFFFFF}.hex(), "ffffffff");
  EXPECT_EQ((DecodeError{DecodeCode::UnknownKey, 0xab}).message(), "no key with id 000000ab");
}

TEST(Key, OnlyFromThirtyTwoBytesAndCopiesAreDeep) {
  EXPECT_FALSE(Key::from_bytes(Bytes(31, 1)).has_value());
  EXPECT_FALSE(Key::from_bytes(Bytes(33, 1)).has_value());
  EXPECT_FALSE(Key::from_bytes({}).has_value());
  auto k = Key::from_bytes(Bytes(32, 1));
  ASSERT_TRUE(k.has_value());
  Key copy = *k;
  EXPECT_EQ(copy, *k);
  EXPECT_NE(copy.bytes().data(), k->bytes().data());
  Key other = key_of(9);
  EXPECT_NE(other, *k);
  other = *k;
  EXPECT_EQ(other, *k);
  // A moved-from key holds nothing and equals no real key.
  Key moved = std::move(copy);
  EXPECT_EQ(moved, *k);
  EXPECT_FALSE(copy == *k);  // NOLINT(bugprone-use-after-move): checking the moved-from state
}

TEST(KeyText, KnownVectorsAndRoundTrip) {
  std::array<uint8_t, 32> seq;
  for (size_t i = 0; i < 32; ++i) seq[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(Key::from_array(seq).to_base64().str(), "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=");
  std::array<uint8_t, 32> ones;
  ones.fill(0xFF);
  EXPECT_EQ(Key::from_array(ones).to_base64().str(), "//////////////////////////////////////////8=");
  for (uint8_t fill : {0, 1, 77, 200}) {
    Key k = key_of(fill);
    SecretString t = k.to_base64();
    ASSERT_EQ(t.str().size(), 44u);
    auto back = Key::from_base64(t.str());
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(*back, k);
  }
}

TEST(KeyText, TrimmingAndPadding) {
  const std::string t = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8";  // 43 characters, unpadded
  std::array<uint8_t, 32> seq;
  for (size_t i = 0; i < 32; ++i) seq[i] = static_cast<uint8_t>(i);
  const Key want = Key::from_array(seq);
  const std::string accepted[] = {
      t,
      t + "=",
      t + "==",
      " \t\r\n" + t + "=\n",
      "\u00a0\u3000" + t + "=\u2028\u2029",
      "\u0085\u1680\u2000\u200a" + t + "\u202f\u205f\u000b\u000c",
  };
  for (const auto& s : accepted) {
    auto k = Key::from_base64(s);
    ASSERT_TRUE(k.ok()) << s;
    EXPECT_EQ(*k, want) << s;
  }
  const struct {
    std::string text;
    KeyTextError why;
  } refused[] = {
      {t + "===", KeyTextError::BadBase64},
      {t + " =", KeyTextError::BadBase64},            // white space inside
      {"AAEC AwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=", KeyTextError::BadBase64},
      {t.substr(0, 20) + "=" + t.substr(21) + "=", KeyTextError::BadBase64},  // "=" inside
      {"AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh-", KeyTextError::BadBase64},  // URL-safe alphabet
      {"AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh_", KeyTextError::BadBase64},
      {t.substr(0, 42) + "9", KeyTextError::BadBase64},  // stray bits: '9' is 61, low bits set
      {t.substr(0, 42) + "B", KeyTextError::BadBase64},  // 'B' = 1: the lowest stray bit
      {t + "\u200b", KeyTextError::BadBase64},          // zero-width space is not white space
      {t + "\xff", KeyTextError::BadBase64},
      {t + "A", KeyTextError::WrongLength},               // 44 characters: 33 bytes
      {t.substr(0, 40), KeyTextError::WrongLength},       // 30 bytes
      {"", KeyTextError::WrongLength},
      {"   ", KeyTextError::WrongLength},
      {t + "AA", KeyTextError::BadBase64},  // 45 characters decode to no whole byte count
      {"====", KeyTextError::BadBase64},
  };
  for (const auto& c : refused) {
    auto k = Key::from_base64(c.text);
    ASSERT_FALSE(k.ok()) << c.text;
    EXPECT_EQ(k.error(), c.why) << c.text;
  }
  // Only the two bits beyond the key are checked: the last character may be any of the
  // four values whose low two bits are zero.
  EXPECT_TRUE(Key::from_base64(t.substr(0, 42) + "w").ok());
}

TEST(SecretString, MovesKeepTheText) {
  SecretString a(std::string("short"));
  SecretString b(std::move(a));
  EXPECT_EQ(b.str(), "short");
  EXPECT_TRUE(a.str().empty());  // NOLINT(bugprone-use-after-move)
  SecretString c(std::string(100, 'k'));
  c = std::move(b);
  EXPECT_EQ(c.str(), "short");
}

// ---- packets

TEST(Codec, PacketsOpenToWhatWasSealed) {
  // (Their exact bytes are pinned by the known-answer packets.)
  const Bytes payload = samples::encode_all(samples::every_kind());
  for (bool enc : {false, true}) {
    Codec tx = enc ? sealed({key_of(1)}) : plain();
    Codec rx = enc ? sealed({key_of(1)}, "default", 0x11) : plain();
    for (size_t n : {size_t{0}, size_t{1}, payload.size()}) {
      Bytes pkt = tx.seal(ByteView(payload).first(n), 0x0102030405060708ULL);
      ASSERT_EQ(pkt.size(), (enc ? SEALED_OVERHEAD : PLAINTEXT_OVERHEAD) + n);
      const Bytes nonce = enc ? Bytes(pkt.begin() + 8, pkt.begin() + 32) : Bytes{};
      auto o = rx.open(pkt);
      ASSERT_TRUE(o.ok()) << o.error().message();
      EXPECT_EQ(o->encrypted, enc);
      EXPECT_EQ(o->stamp_ms, 0x0102030405060708ULL);
      EXPECT_EQ(Bytes(o->payload.begin(), o->payload.end()), Bytes(payload.begin(), payload.begin() + n));
      if (enc) {
        EXPECT_EQ(o->key_id, key_of(1).id());
        EXPECT_EQ(Bytes(o->nonce.begin(), o->nonce.end()), nonce);
      }
    }
  }
}

TEST(Codec, NoncesAreTheChaCha20KeystreamInOrder) {
  // The nonce of packet i is bytes [24i, 24i+24) of ChaCha20 (64-bit counter from 0, zero
  // nonce) under the nonce key; 1000 packets cross many refills.
  const auto nk = nonce_key(0x33);
  Codec tx("default", std::vector<Key>{key_of(2)}, nk);
  const size_t count = 1000;
  Bytes stream(count * NONCE_LEN);
  const uint8_t zero[crypto_stream_chacha20_NONCEBYTES] = {};
  crypto_stream_chacha20(stream.data(), stream.size(), zero, nk.data());
  std::set<Bytes> seen;
  Bytes pkt;
  for (size_t i = 0; i < count; ++i) {
    tx.seal({}, 1, pkt);
    Bytes nonce(pkt.begin() + 8, pkt.begin() + 32);
    ASSERT_EQ(nonce, Bytes(stream.begin() + i * 24, stream.begin() + i * 24 + 24)) << i;
    seen.insert(nonce);
  }
  EXPECT_EQ(seen.size(), count);
}

// Packets computed independently from the primitives as docs/wire.md describes them
// (BLAKE3 derive_key for the subkey, ChaCha20 keystream nonces, XChaCha20-Poly1305 over
// stamp ‖ payload with header ‖ recipient ‖ label authenticated), so the document and the
// code agree.
TEST(Codec, KnownAnswerPackets) {
  std::array<uint8_t, 32> k, nk;
  for (size_t i = 0; i < 32; ++i) {
    k[i] = static_cast<uint8_t>(i);
    nk[i] = static_cast<uint8_t>(0x80 + i);
  }
  const Bytes payload = samples::encode_all({Ping{1, "b", "a"}, Ack{1}});
  ASSERT_EQ(hex(payload), "00080000000101620161020400000001");
  const uint64_t stamp = 1767225600000;  // 2026-01-01T00:00:00Z

  Codec c("default", std::vector<Key>{Key::from_array(k)}, nk);
  EXPECT_EQ(Key::from_array(k).id().hex(), "e528e957");
  const Recipient to_b{"b", std::nullopt};
  EXPECT_EQ(hex(c.seal(payload, stamp, to_b)),
            "766e0101e528e957f4fa2fcdf72b1edecd98aeb7637caffb89eb57e2b2bf2d06a48d7e7b3d4501c27931afd0bb3091b3"
            "946d8f3d6df72c481923fe245ed53005768ab29d3482f523");
  EXPECT_EQ(hex(c.seal(payload, stamp + 1, to_b)),
            "766e0101e528e957ebabc0e58ab91e46df460e93034beeb1c56b14a9d4f9d1b0fdcfdf8afc0f70a0187185cfaba903b2"
            "701ccbed60ebea49c34376458c4276d84189d42ac0db7cd4");
  EXPECT_EQ(hex(c.seal(payload, stamp + 2, Recipient{{}, SocketAddr::v4({127, 0, 0, 1}, 7946)})),
            "766e0103e528e9577bd782431ec1cdf46f5a9b000d8c11512a5c1aad3e5aeecbb5777b5b295345889eaab4f42df986fc"
            "81f265935c30831ea05852bdaecea1a3c40d8ff026bf4405");
  const SocketAddr v6 = SocketAddr::v6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 7946);
  EXPECT_EQ(hex(c.seal(payload, stamp + 3, Recipient{{}, v6})),
            "766e0103e528e957cd3125ffa4ddad2a76c86ab9c37ac168a73252a613180b8b25606ef68abae2f230d64ad3d4d28083"
            "ef2b2079ad30c400e8ae2bf6def82b896b0d34cd8f2df03e");
  Codec p("default", std::nullopt, nk);
  EXPECT_EQ(hex(p.seal(payload, stamp)), "766e0100f78761cf0000019b76daa80000080000000101620161020400000001");
}

TEST(Codec, APacketOpensOnlyAtTheNodeItIsFor) {
  Codec tx = sealed({key_of(3)});
  Codec rx = sealed({key_of(3)});
  auto opens = [&](const Bytes& pkt, const Addressee& me) {
    Bytes copy = pkt;
    auto o = rx.open(copy, me);
    return o ? std::optional<bool>(o->by_address) : std::nullopt;
  };
  const SocketAddr seed = SocketAddr::v4({10, 0, 0, 1}, 7946), other = SocketAddr::v4({10, 0, 0, 2}, 7946);
  // By name: only the member it names, whatever addresses the others answer to.
  const Bytes to_b = tx.seal(Bytes{1}, 1, Recipient{"b", std::nullopt});
  EXPECT_EQ(opens(to_b, Addressee{"b", {}}), std::optional<bool>(false));
  EXPECT_EQ(opens(to_b, Addressee{"c", {}}), std::nullopt);
  EXPECT_EQ(opens(to_b, Addressee{"bb", {}}), std::nullopt);
  EXPECT_EQ(opens(to_b, Addressee{}), std::nullopt);
  // By address (flag 0x02): only a node that answers to that address, also among several,
  // and whose flow information and scope play no part.
  SocketAddr seed6 = SocketAddr::v6({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 7946, 5, 2);
  const Bytes to_seed = tx.seal(Bytes{1}, 1, Recipient{{}, seed});
  const Bytes to_seed6 = tx.seal(Bytes{1}, 1, Recipient{{}, seed6});
  EXPECT_EQ(to_seed[3], FLAG_ENCRYPTED | FLAG_BY_ADDRESS);
  const std::vector<SocketAddr> both{other, seed}, wrong{other};
  EXPECT_EQ(opens(to_seed, Addressee{"b", both}), std::optional<bool>(true));
  EXPECT_EQ(opens(to_seed, Addressee{"b", wrong}), std::nullopt);
  EXPECT_EQ(opens(to_seed, Addressee{"b", {}}), std::nullopt);  // such packets refused here
  const std::vector<SocketAddr> plain6{seed6.on_wire()};
  EXPECT_EQ(opens(to_seed6, Addressee{"b", plain6}), std::optional<bool>(true));
  // The header pre-check lets the flag through on encrypted packets only.
  EXPECT_TRUE(rx.header_check().check(to_seed).ok());
  Bytes plain_flagged = plain().seal({}, 1);
  plain_flagged[3] = FLAG_BY_ADDRESS;
  EXPECT_EQ(plain().header_check().check(plain_flagged).error().code, DecodeCode::BadFlags);
}

TEST(Codec, EveryFlippedBitOfASealedPacketIsRefused) {
  Codec tx = sealed({key_of(3)});
  Codec rx = sealed({key_of(3)});
  const Bytes pkt = tx.seal(samples::encode_all({Ping{1, "a", "b"}, Ack{2}}), 99);
  ASSERT_TRUE(open_copy(rx, pkt).ok());
  std::set<DecodeCode> codes;
  for (size_t bit = 0; bit < pkt.size() * 8; ++bit) {
    Bytes bad = pkt;
    bad[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    auto o = rx.open(bad);
    ASSERT_FALSE(o.ok()) << "bit " << bit;
    codes.insert(o.error().code);
    if (bit >= 64) {
      EXPECT_EQ(o.error().code, DecodeCode::AuthFailed) << bit;
    }
  }
  // Header bits give the header's own codes (flipping the encrypted flag makes it a
  // plaintext packet); every other bit fails authentication.
  EXPECT_EQ(codes, (std::set<DecodeCode>{DecodeCode::BadMagic, DecodeCode::BadVersion, DecodeCode::BadFlags,
                                         DecodeCode::PlaintextRefused, DecodeCode::UnknownKey,
                                         DecodeCode::AuthFailed}));
}

TEST(Codec, EveryTruncationIsRefused) {
  Codec tx = sealed({key_of(3)});
  Codec rx = sealed({key_of(3)});
  const Bytes pkt = tx.seal(samples::encode_all({Ack{7}}), 5);
  for (size_t n = 0; n < pkt.size(); ++n) {
    Bytes cut(pkt.begin(), pkt.begin() + n);
    auto o = rx.open(cut);
    ASSERT_FALSE(o.ok()) << n;
    const DecodeCode want = n < HEADER_LEN            ? DecodeCode::TooShort
                            : n < SEALED_OVERHEAD ? DecodeCode::Truncated
                                                  : DecodeCode::AuthFailed;
    EXPECT_EQ(o.error().code, want) << n;
  }
  Codec p = plain();
  const Bytes ppkt = p.seal({}, 5);
  EXPECT_EQ(open_copy(p, Bytes(ppkt.begin(), ppkt.begin() + 15)).error().code, DecodeCode::Truncated);
  EXPECT_TRUE(open_copy(p, ppkt).ok());
}

TEST(Codec, LabelIsAuthenticatedAndModesMustMatch) {
  Codec tx = sealed({key_of(4)}, "blue");
  Bytes pkt = tx.seal(Bytes{1, 2, 3}, 1);
  EXPECT_EQ(open_copy(sealed({key_of(4)}, "green"), pkt).error().code, DecodeCode::AuthFailed);
  EXPECT_TRUE(open_copy(sealed({key_of(4)}, "blue"), pkt).ok());
  // Labels longer than the inline buffer take the same path.
  const std::string long_label(1000, 'L');
  Bytes lp = sealed({key_of(4)}, long_label).seal({}, 1);
  EXPECT_TRUE(sealed({key_of(4)}, long_label).open(lp).ok());
  EXPECT_EQ(open_copy(plain(), pkt).error().code, DecodeCode::EncryptedRefused);
  EXPECT_EQ(open_copy(tx, plain().seal({}, 1)).error().code, DecodeCode::PlaintextRefused);
}

TEST(Codec, DatagramSizeLimitAndLargeFramePackets) {
  Codec c = sealed({key_of(5)});
  Bytes big = c.seal(Bytes(70000, 7), 1);  // larger than any datagram: a stream frame's packet
  EXPECT_EQ(c.open_datagram(big).error().code, DecodeCode::TooLarge);
  auto o = c.open(big);
  ASSERT_TRUE(o.ok());
  EXPECT_EQ(o->payload.size(), 70000u);
  Bytes fits = c.seal(Bytes(MAX_DATAGRAM_LEN - SEALED_OVERHEAD, 7), 1);
  EXPECT_TRUE(c.open_datagram(fits).ok());
}

TEST(Codec, TheLargestIpv4DatagramHoldsFewerMessagesThanReceiversTake) {
  // A receiver's bound on the messages of one payload must refuse no honest datagram: a probe
  // message with as much of the smallest gossip as the largest IPv4 UDP payload (65,507
  // bytes) holds, sealed for a one-byte name, must open and decode whole. The smallest gossip
  // is whichever kind encodes shortest with the shortest fields it can have.
  Bytes one;
  for (const Message& m : std::vector<Message>{Alive{"a", SocketAddr::v4({0, 0, 0, 0}, 0), 0, 0, {}},
                                               Suspect{"a", 0, 0, "b"}, Dead{"a", 0, 0, "a"},
                                               UserBroadcast{"a", 0, 0, {}}}) {
    Bytes b;
    encode(m, b);
    ASSERT_TRUE(decode_payload(b).ok()) << b.size();
    if (one.empty() || b.size() < one.size()) one = b;
  }
  for (bool encrypted : {false, true}) {
    Codec tx = encrypted ? sealed({key_of(5)}) : plain();
    Codec rx = encrypted ? sealed({key_of(5)}) : plain();
    Bytes payload;
    encode(Ack{1}, payload);
    size_t gossip = 0;
    for (; payload.size() + one.size() + tx.overhead() <= 65507; ++gossip)
      payload.insert(payload.end(), one.begin(), one.end());
    Bytes pkt = tx.seal(payload, 1, Recipient{"b", std::nullopt});
    ASSERT_LE(pkt.size(), 65507u);
    ASSERT_GT(pkt.size() + one.size(), 65507u) << "not the largest datagram";
    auto o = rx.open_datagram(pkt, Addressee{"b", {}});
    ASSERT_TRUE(o.ok()) << o.error().message();
    auto msgs = decode_payload(o->payload);
    ASSERT_TRUE(msgs.ok()) << (encrypted ? "encrypted: " : "plain: ") << gossip + 1 << " messages refused";
    EXPECT_EQ(msgs->size(), gossip + 1);
  }
}

TEST(Codec, KeysSharingAnIdBothOpen) {
  // Two keys whose 32-bit ids collide (found by search over little-endian counters).
  auto counter_key = [](uint64_t i) {
    std::array<uint8_t, KEY_LEN> a{};
    for (int b = 0; b < 8; ++b) a[b] = static_cast<uint8_t>(i >> (8 * b));
    return Key::from_array(a);
  };
  const Key k1 = counter_key(1171), k2 = counter_key(86056);
  ASSERT_EQ(k1.id(), k2.id());
  ASSERT_EQ(k1.id().hex(), "8d4b0ccd");
  ASSERT_NE(k1, k2);
  Codec rx = sealed({k1, k2});
  EXPECT_EQ(rx.key_ids().size(), 2u);
  for (const Key& k : {k1, k2}) {
    Bytes pkt = sealed({k}).seal(Bytes{9, 9}, 3);
    auto o = rx.open(pkt);
    ASSERT_TRUE(o.ok()) << o.error().message();
    EXPECT_EQ(Bytes(o->payload.begin(), o->payload.end()), (Bytes{9, 9}));
  }
  Bytes forged = sealed({k2}).seal(Bytes{9, 9}, 3);
  forged.back() ^= 1;
  EXPECT_EQ(open_copy(rx, forged).error().code, DecodeCode::AuthFailed);
}

// ---- the keyring

TEST(Keyring, RotationInstallUseRemove) {
  const Key k1 = key_of(10), k2 = key_of(20);
  Codec a = sealed({k1});
  Codec b = sealed({k1}, "default", 0x77);
  const Bytes old_pkt = a.seal(Bytes{0xAA}, 1);

  ASSERT_TRUE(a.install_key(k2).ok());
  ASSERT_TRUE(b.install_key(k2).ok());
  EXPECT_EQ(a.key_ids(), (std::vector<KeyId>{k1.id(), k2.id()}));
  // Installing is not using: still sealed under k1.
  EXPECT_EQ(a.seal({}, 1)[7], static_cast<uint8_t>(k1.id().value));

  ASSERT_TRUE(a.use_key(k2).ok());
  EXPECT_EQ(a.key_ids(), (std::vector<KeyId>{k2.id(), k1.id()}));
  Bytes new_pkt = a.seal(Bytes{0xBB}, 2);
  auto o = open_copy(b, new_pkt);
  ASSERT_TRUE(o.ok());
  EXPECT_EQ(*o, k2.id());
  // An old-key packet still opens while the old key is installed, here and at b.
  EXPECT_TRUE(open_copy(a, old_pkt).ok());
  EXPECT_TRUE(open_copy(b, old_pkt).ok());

  ASSERT_TRUE(b.use_key(k2).ok());
  ASSERT_TRUE(b.remove_key(k1).ok());
  EXPECT_EQ(b.key_ids(), std::vector<KeyId>{k2.id()});
  auto refused = open_copy(b, old_pkt);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().code, DecodeCode::UnknownKey);
  EXPECT_EQ(refused.error().number(), 8);
  EXPECT_EQ(refused.error().key_id, k1.id().value);
  EXPECT_EQ(refused.error().message(), "no key with id " + k1.id().hex());
  EXPECT_TRUE(b.open(new_pkt).ok());

  // The header check follows the ring.
  HeaderCheck hc = b.header_check();
  EXPECT_TRUE(hc.encrypted);
  EXPECT_EQ(hc.key_ids, b.key_ids());
  EXPECT_EQ(hc.check(old_pkt).error().code, DecodeCode::UnknownKey);
  EXPECT_TRUE(hc.check(new_pkt).ok());
}

TEST(Keyring, OperationsRefuseInTheirOrder) {
  const Key k1 = key_of(1), k2 = key_of(2), k3 = key_of(3);
  Codec p = plain();
  EXPECT_EQ(p.install_key(k1).error(), KeyError::NotEncrypted);
  EXPECT_EQ(p.use_key(k1).error(), KeyError::NotEncrypted);
  EXPECT_EQ(p.remove_key(k1).error(), KeyError::NotEncrypted);
  EXPECT_TRUE(p.key_ids().empty());
  EXPECT_FALSE(p.header_check().encrypted);

  Codec c = sealed({k1, k2, k1});  // a key listed twice is installed once
  EXPECT_EQ(c.key_ids(), (std::vector<KeyId>{k1.id(), k2.id()}));
  ASSERT_TRUE(c.install_key(Key(k2)).ok());  // equal key: no change
  EXPECT_EQ(c.key_ids(), (std::vector<KeyId>{k1.id(), k2.id()}));
  EXPECT_EQ(c.use_key(k3).error(), KeyError::NotInstalled);
  EXPECT_TRUE(c.remove_key(k3).ok());  // not installed: success, unchanged
  EXPECT_EQ(c.remove_key(k1).error(), KeyError::InUse);
  ASSERT_TRUE(c.use_key(k1).ok());  // already first: still fine
  ASSERT_TRUE(c.install_key(k3).ok());
  ASSERT_TRUE(c.use_key(k3).ok());  // moves to the front, the others keep their order
  EXPECT_EQ(c.key_ids(), (std::vector<KeyId>{k3.id(), k1.id(), k2.id()}));
  ASSERT_TRUE(c.remove_key(k1).ok());
  EXPECT_EQ(c.key_ids(), (std::vector<KeyId>{k3.id(), k2.id()}));
  ASSERT_TRUE(c.remove_key(k2).ok());
  // The only key is both last and in use: last-key is reported.
  EXPECT_EQ(c.remove_key(k3).error(), KeyError::LastKey);
  EXPECT_EQ(c.key_ids(), std::vector<KeyId>{k3.id()});
  // Sealing still works after all that.
  EXPECT_TRUE(open_copy(sealed({k3}), c.seal(Bytes{1}, 1)).ok());
}

TEST(Keyring, AnEmptyKeyListSealsNothingUnprotected) {
  Codec c("default", std::vector<Key>{}, nonce_key());
  EXPECT_TRUE(c.encrypted());
  EXPECT_TRUE(c.key_ids().empty());
  EXPECT_TRUE(c.seal(Bytes{1, 2, 3}, 1).empty());
  EXPECT_EQ(open_copy(c, sealed({key_of(1)}).seal({}, 1)).error().code, DecodeCode::UnknownKey);
  ASSERT_TRUE(c.install_key(key_of(1)).ok());
  EXPECT_TRUE(open_copy(sealed({key_of(1)}), c.seal(Bytes{1}, 1)).ok());
}

TEST(HeaderCheck, PlaintextAndMovedCodec) {
  Codec c = plain("x");
  HeaderCheck hc = c.header_check();
  EXPECT_FALSE(hc.encrypted);
  EXPECT_TRUE(hc.key_ids.empty());
  Bytes pkt = c.seal(Bytes(10, 1), 1);
  EXPECT_TRUE(hc.check(pkt).ok());
  EXPECT_TRUE(hc.check(ByteView(pkt).first(8)).ok());  // only the header is looked at
  EXPECT_EQ(hc.check(ByteView(pkt).first(7)).error().code, DecodeCode::TooShort);
  EXPECT_EQ(plain("y").header_check().check(pkt).error().code, DecodeCode::LabelMismatch);
  Codec moved = std::move(c);
  EXPECT_TRUE(moved.open(pkt).ok());
}

// ---- every decode error, reached from crafted input

TEST(DecodeError, EveryCodeIsReachableAndHasItsText) {
  Codec enc = sealed({key_of(1)});
  Codec pl = plain();
  const Bytes sealed_pkt = enc.seal(Bytes{2, 4, 0, 0, 0, 1}, 1);
  const Bytes plain_pkt = pl.seal({}, 1);
  auto with = [](Bytes b, size_t at, uint8_t v) {
    b[at] = v;
    return b;
  };
  auto open_code = [](const Codec& c, Bytes b) { return c.open(b).error().code; };
  auto payload_code = [](Bytes b) { return decode_payload(b).error().code; };
  auto tags_code = [](Bytes b) { return Tags::parse(b).error().code; };
  auto frame_code = [] {
    FrameCutter f(10);
    return f.push(samples::bytes_of({0, 0, 0, 11})).error().code;
  };
  Bytes huge = enc.seal(Bytes(MAX_DATAGRAM_LEN), 1);

  using samples::bytes_of;
  const struct {
    DecodeCode got;
    uint8_t number;
    const char* text;
  } table[] = {
      {open_code(pl, Bytes(plain_pkt.begin(), plain_pkt.begin() + 7)), 0, "packet shorter than its header"},
      {enc.open_datagram(huge).error().code, 1, "packet larger than the size limit"},
      {open_code(pl, with(plain_pkt, 0, 'V')), 2, "bad magic"},
      {open_code(pl, with(plain_pkt, 2, 2)), 3, "unsupported wire version"},
      {open_code(pl, with(plain_pkt, 3, 0x80)), 4, "unknown header flags"},
      {open_code(enc, plain_pkt), 5, "plaintext packet, but this node requires encryption"},
      {open_code(pl, sealed_pkt), 6, "encrypted packet, but this node runs without encryption"},
      {open_code(plain("other"), plain_pkt), 7, "cluster label mismatch"},
      {open_code(sealed({key_of(2)}), sealed_pkt), 8, nullptr},
      {open_code(enc, with(sealed_pkt, 40, sealed_pkt[40] ^ 1)), 9, "authentication failed"},
      {open_code(enc, Bytes(sealed_pkt.begin(), sealed_pkt.begin() + 30)), 10, "unexpected end of input"},
      {payload_code(bytes_of({2, 0x84, 0x00, 0, 0, 0, 1})), 11, "malformed varint"},
      {payload_code(bytes_of({10, 0})), 12, "unknown message kind"},
      {tags_code(bytes_of({1, 0xFF, 0})), 13, "text is not valid UTF-8"},
      {payload_code(bytes_of({1, 16, 0, 0, 0, 1, 1, 't', 9, 1, 2, 3, 4, 0, 1, 1, 'r', 0})), 14, "unknown address family"},
      {payload_code(bytes_of({2, 5, 0, 0, 0, 1, 0})), 15, "message length does not match its body"},
      {tags_code(bytes_of({0, 0})), 16, "empty metadata key"},
      {tags_code(bytes_of({1, 'a', 0, 1, 'a', 0})), 17, "duplicate metadata key"},
      {frame_code(), 18, "frame larger than max_stream_frame"},
      {payload_code(bytes_of({0, 7, 0, 0, 0, 1, 0, 1, 'b'})), 19, "member name must be 1 to 64 bytes"},
      {payload_code(bytes_of({1, 16, 0, 0, 0, 1, 1, 't', 4, 1, 2, 3, 4, 0, 1, 1, 'r', 2})), 20, "field value out of range"},
  };
  static_assert(std::size(table) == DECODE_CODES);
  for (const auto& row : table) {
    DecodeError e{row.got, 0};
    EXPECT_EQ(e.number(), row.number);
    if (row.text) {
      EXPECT_EQ(e.message(), row.text) << int(row.number);
    }
  }
  EXPECT_EQ(open_copy(sealed({key_of(2)}), sealed_pkt).error().message(), "no key with id " + key_of(1).id().hex());
}

}  // namespace
}  // namespace vennock::proto
