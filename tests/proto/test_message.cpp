#include <gtest/gtest.h>

#include "proto/message.hpp"
#include "samples.hpp"

namespace vennock::proto {
namespace {

using samples::bytes_of;

DecodeCode decode_code(const Bytes& payload) {
  auto r = decode_payload(payload);
  EXPECT_FALSE(r.ok());
  return r.ok() ? DecodeCode::TooShort : r.error().code;
}

// kind ‖ varint(len) ‖ body, with the length taken from the body as given.
Bytes framed(MessageKind k, const Bytes& body) {
  Bytes out{static_cast<uint8_t>(k)};
  put_varint(out, static_cast<uint32_t>(body.size()));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

TEST(Message, EveryKindRoundTripsAloneAndTogether) {
  const auto all = samples::every_kind();
  ASSERT_EQ(all.size(), 10u);
  for (size_t i = 0; i < all.size(); ++i) {
    const Message& m = all[i];
    EXPECT_EQ(static_cast<size_t>(kind_of(m)), i);
    Bytes out;
    encode(m, out);
    EXPECT_EQ(out.size(), encoded_size(m)) << i;
    EXPECT_EQ(out[0], i);
    auto back = decode_payload(out);
    ASSERT_TRUE(back.ok()) << i << ": " << back.error().message();
    ASSERT_EQ(back->size(), 1u);
    EXPECT_EQ(back->front(), m) << i;
  }
  auto back = decode_payload(samples::encode_all(all));
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(*back, all);
  auto none = decode_payload({});
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none->empty());
}

TEST(Message, BodyLayoutIsFieldsInOrder) {
  Bytes ack;
  encode(Ack{0x01020304}, ack);
  EXPECT_EQ(ack, bytes_of({2, 4, 1, 2, 3, 4}));

  Bytes ping;
  encode(Ping{7, "ab", "c"}, ping);
  EXPECT_EQ(ping, bytes_of({0, 9, 0, 0, 0, 7, 2, 'a', 'b', 1, 'c'}));

  Bytes dead;
  encode(Dead{"n", 1, 2, "n"}, dead);
  EXPECT_EQ(dead, bytes_of({6, 16, 1, 'n', 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 2, 1, 'n'}));
  EXPECT_TRUE((Dead{"n", 1, 2, "n"}).left());
  EXPECT_FALSE((Dead{"n", 1, 2, "m"}).left());
}

TEST(Message, MalformedMessagesRefuseTheWholePayload) {
  Bytes good;
  encode(Ack{1}, good);
  auto with_good = [&](Bytes bad) {
    Bytes p = good;
    p.insert(p.end(), bad.begin(), bad.end());
    return p;
  };
  Bytes ping_body = bytes_of({0, 0, 0, 1, 1, 'a', 1, 'b'});

  const struct {
    const char* what;
    Bytes payload;
    DecodeCode code;
  } cases[] = {
      {"kind 10", bytes_of({10, 0}), DecodeCode::UnknownKind},
      {"kind 255 after a good message", with_good(bytes_of({255, 0})), DecodeCode::UnknownKind},
      {"length missing", bytes_of({2}), DecodeCode::Truncated},
      {"length past the end", bytes_of({2, 5, 0, 0, 0, 1}), DecodeCode::Truncated},
      {"longer length varint", bytes_of({2, 0x84, 0x00, 0, 0, 0, 1}), DecodeCode::BadVarint},
      {"body longer than its fields", framed(MessageKind::Ack, bytes_of({0, 0, 0, 1, 9})), DecodeCode::BadLength},
      {"body shorter than its fields", with_good(framed(MessageKind::Ack, bytes_of({0, 0, 1}))), DecodeCode::BadLength},
      {"inner length past the body",
       framed(MessageKind::UserBroadcast, bytes_of({1, 'o', 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 50, 1})),
       DecodeCode::BadLength},
      {"empty name", framed(MessageKind::Ping, bytes_of({0, 0, 0, 1, 0, 1, 'b'})), DecodeCode::BadName},
      {"65-byte name", [] { Bytes b; encode(Ping{1, std::string(65, 'x'), "s"}, b); return b; }(), DecodeCode::BadName},
      {"name not UTF-8", framed(MessageKind::Ping, bytes_of({0, 0, 0, 1, 1, 0xFF, 1, 'b'})), DecodeCode::BadUtf8},
      {"address family 5",
       framed(MessageKind::IndirectPing, bytes_of({0, 0, 0, 1, 1, 't', 5, 1, 2, 3, 4, 0, 1, 1, 'r', 0})),
       DecodeCode::BadAddress},
      {"nack flag 2",
       framed(MessageKind::IndirectPing, bytes_of({0, 0, 0, 1, 1, 't', 4, 1, 2, 3, 4, 0, 1, 1, 'r', 2})),
       DecodeCode::BadValue},
      {"join flag 7", framed(MessageKind::State, bytes_of({7, 0})), DecodeCode::BadValue},
      {"member state 4",
       framed(MessageKind::State, bytes_of({0, 1, 1, 'm', 4, 1, 2, 3, 4, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 4, 0})),
       DecodeCode::BadValue},
      {"member count beyond the body", framed(MessageKind::State, bytes_of({0, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F})),
       DecodeCode::BadLength},
  };
  for (const auto& c : cases) EXPECT_EQ(decode_code(c.payload), c.code) << c.what;
  EXPECT_TRUE(decode_payload(framed(MessageKind::Ping, ping_body)).ok());  // the base the cases bend
}

TEST(Message, ReceiverLimitsBoundMessagesAndMetadata) {
  // As many messages as allowed decode; one more refuses the payload, however small each is.
  Bytes acks;
  for (size_t i = 0; i < MAX_MESSAGES; ++i) encode(Ack{static_cast<uint32_t>(i)}, acks);
  auto all = decode_payload(acks);
  ASSERT_TRUE(all.ok());
  EXPECT_EQ(all->size(), MAX_MESSAGES);
  encode(Ack{0}, acks);
  EXPECT_EQ(decode_code(acks), DecodeCode::TooLarge);
  // Metadata up to the limit passes, in an Alive and in a State record alike; a byte more
  // refuses the payload.
  const DecodeLimits lim{MAX_MESSAGES, 4};
  for (size_t n : {4u, 5u}) {
    Bytes meta(n, 'm');
    Bytes alive, state;
    encode(Alive{"n", samples::addr4(), 1, 1, meta}, alive);
    encode(State{false, {MemberRecord{"n", samples::addr4(), 1, 1, MemberState::Alive, meta}}}, state);
    for (const Bytes& p : {alive, state}) {
      auto r = decode_payload(p, lim);
      EXPECT_EQ(r.ok(), n == 4) << n;
      if (!r.ok()) {
        EXPECT_EQ(r.error().code, DecodeCode::TooLarge);
      }
    }
  }
  // The limit is checked as the length is read: a length over it is TooLarge even when its
  // bytes are missing from the body; a length within it whose bytes are missing is BadLength.
  const Bytes head = bytes_of({1, 'n', 4, 10, 0, 0, 7, 0x1F, 0x0A, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1});
  for (uint8_t len : {5, 4}) {
    Bytes body = head;
    body.push_back(len);
    auto r = decode_payload(framed(MessageKind::Alive, body), lim);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code, len == 5 ? DecodeCode::TooLarge : DecodeCode::BadLength);
  }
}

TEST(Message, AppendingToOneBufferGrowsItGeometrically) {
  // 40,000 messages appended one by one: a buffer grown to each message's exact size would
  // be reallocated (and copied whole) 40,000 times.
  Bytes out;
  size_t reallocations = 0;
  for (uint32_t i = 0; i < 40000; ++i) {
    const size_t cap = out.capacity();
    encode(Suspect{"member", 1, i, "accuser"}, out);
    if (out.capacity() != cap) ++reallocations;
  }
  EXPECT_LE(reallocations, 32u);
  auto back = decode_payload(ByteView(out).subspan(0, encoded_size(Suspect{"member", 1, 0, "accuser"}) * 3));
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(std::get<Suspect>((*back)[2]).incarnation, 2u);
}

TEST(Message, SizeBoundsAreExactForTheLargestMessages) {
  const std::string name(MAX_NAME_LEN, 'n');
  const SocketAddr v6 = samples::addr6();
  EXPECT_EQ(max_ping_size(), encoded_size(Ping{UINT32_MAX, name, name}));
  for (size_t n : {0u, 1u, 127u, 128u, 512u, 16383u, 16384u, 70000u}) {
    Bytes data(n, 0x61);
    EXPECT_EQ(max_alive_size(n), encoded_size(Alive{name, v6, UINT64_MAX, UINT32_MAX, data})) << n;
    EXPECT_EQ(max_user_broadcast_size(n), encoded_size(UserBroadcast{name, UINT64_MAX, UINT64_MAX, data})) << n;
    EXPECT_EQ(max_user_message_size(n), encoded_size(UserMessage{name, UINT64_MAX, name, UINT64_MAX, data})) << n;
    // They bound every smaller message too.
    EXPECT_GE(max_alive_size(n), encoded_size(Alive{"a", samples::addr4(), 1, 1, data}));
  }
  // The boundary where the body length varint grows by a byte.
  for (size_t n = 0; n < 300; ++n) {
    Bytes data(n, 0);
    ASSERT_EQ(max_alive_size(n), encoded_size(Alive{name, v6, 0, 0, data})) << n;
  }
  // Sizes that cannot be encoded at all saturate, so limit checks fail safely.
  EXPECT_EQ(max_user_message_size(size_t{1} << 33), SIZE_MAX);
  EXPECT_EQ(max_alive_size(SIZE_MAX), SIZE_MAX);
}

}  // namespace
}  // namespace vennock::proto
