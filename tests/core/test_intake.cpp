// Packet intake (sizes, keys, stamps, replays) and the answers to Ping and IndirectPing.
#include "core/harness.hpp"

namespace vennock::test {
namespace {

using proto::Ack;
using proto::Nack;
using proto::Ping;

TEST(Intake, RefusedPacketsAreCountedByCause) {
  Harness h(encrypted(7));
  h.deliver_raw(ip4(2), proto::Bytes{1, 2, 3});
  EXPECT_EQ(h.node->counters().decode_errors, 1u);
  // Larger than any honest sender's datagram: refused by its length.
  proto::Bytes large = h.seal({Ping{1, "self", "x"}});
  large.resize(h.cfg.udp_max_payload + 1);
  h.deliver_raw(ip4(2), large);
  EXPECT_EQ(h.node->counters().decode_errors, 2u);
  // Sealed under a key this node does not hold.
  std::array<uint8_t, 32> nk{};
  proto::Codec other("default", std::vector<proto::Key>{key_of(8)}, nk);
  proto::Bytes payload;
  proto::encode(Ping{1, "self", "x"}, payload);
  h.deliver_raw(ip4(2), other.seal(payload, h.wall()));
  EXPECT_EQ(h.node->counters().decrypt_failures, 1u);
  // A tampered packet fails authentication.
  proto::Bytes p = h.seal({Ping{1, "self", "x"}});
  p.back() ^= 1;
  h.deliver_raw(ip4(2), p);
  EXPECT_EQ(h.node->counters().decrypt_failures, 2u);
  // A sound packet whose payload does not decode.
  h.deliver_raw(ip4(2), h.peer->seal(proto::Bytes{99, 0}, h.wall(), proto::Recipient{"self", std::nullopt}));
  EXPECT_EQ(h.node->counters().decode_errors, 3u);
  // A sound packet announcing a member with more metadata than this node takes.
  h.deliver(ip4(2), {proto::Alive{"big", ip4(3), 1, 1, proto::Bytes(h.cfg.max_meta_bytes + 1, 'm')}});
  EXPECT_EQ(h.node->counters().decode_errors, 4u);
  EXPECT_EQ(h.node->find("big"), nullptr);
  EXPECT_EQ(h.node->counters().packets_received, 6u);
  EXPECT_TRUE(h.out.empty());
  h.node->add_decode_errors(1);
  h.node->add_decrypt_failures(3);
  EXPECT_EQ(h.node->counters().decode_errors, 5u);
  EXPECT_EQ(h.node->counters().decrypt_failures, 5u);
}

TEST(Intake, AnEncryptedPacketOpensOnlyAtTheNodeItNames) {
  Harness h(encrypted(7));
  auto sealed_for = [&](const proto::Recipient& to, const std::vector<proto::Message>& msgs) {
    proto::Bytes payload;
    for (const auto& m : msgs) proto::encode(m, payload);
    return h.peer->seal(payload, h.wall(), to);
  };
  const proto::State join{true, {proto::MemberRecord{"joiner", ip4(5), kEpoch, 0, MemberState::Alive, {}}}};
  // Sealed for another member (captured on its way there, say): refused like a forgery.
  h.deliver_raw(ip4(2), sealed_for({"other", std::nullopt}, {Ping{1, "self", "x"}}));
  EXPECT_EQ(h.node->counters().decrypt_failures, 1u);
  EXPECT_TRUE(h.out.empty());
  // Addressed by address: never as a datagram, nor as a later frame of a stream.
  const proto::Recipient to_us{{}, ip4(1)};
  h.deliver_raw(ip4(2), sealed_for(to_us, {join}));
  EXPECT_EQ(h.node->counters().decrypt_failures, 2u);
  const core::StreamId in = core::INBOUND_BIT | 1;
  h.frame(in, {});  // the stream's first frame, addressed by name
  proto::Bytes later = sealed_for(to_us, {join});
  h.node->handle_stream(h.now, in, core::StreamEvent{core::stream_event::Data{later}});
  h.pump();
  EXPECT_EQ(h.node->counters().decrypt_failures, 3u);
  EXPECT_EQ(h.node->find("joiner"), nullptr);
  // As the first frame of an inbound stream, to our address or the one the connection
  // arrived at, a join is taken and answered for the joiner by name; to any other address
  // it is refused, and so is anything but a join.
  auto first_frame = [&](core::StreamId id, const proto::Recipient& to, const std::vector<proto::Message>& msgs,
                         std::optional<SocketAddr> local) {
    proto::Bytes p = sealed_for(to, msgs);
    h.node->handle_stream(h.now, id, core::StreamEvent{core::stream_event::Data{p, local}});
    h.pump();
  };
  first_frame(in | 2, proto::Recipient{{}, ip4(9)}, {join}, std::nullopt);
  EXPECT_EQ(h.node->counters().decrypt_failures, 4u);
  first_frame(in | 3, to_us, {Ping{3, "self", "x"}}, std::nullopt);
  EXPECT_EQ(h.node->counters().decode_errors, 1u);
  h.clear();
  first_frame(in | 4, proto::Recipient{{}, ip4(9)}, {join}, ip4(9));
  ASSERT_NE(h.node->find("joiner"), nullptr);
  ASSERT_EQ(h.transmits<core::transmit::Frame>().size(), 1u);
  const proto::Bytes answer = h.transmits<core::transmit::Frame>()[0].frame;
  auto opens_as = [&](std::string_view name) {
    proto::Bytes p(answer.begin() + 4, answer.end());
    return h.peer->open(p, proto::Addressee{name, {}}).ok();
  };
  EXPECT_TRUE(opens_as("joiner"));
  EXPECT_FALSE(opens_as("other"));
}

TEST(Intake, AJoinTakesAnIpv4AddressAndItsMappedIpv6FormAsOne) {
  // A listener on the IPv6 wildcard sees an IPv4 connection arrive at ::ffff:a.b.c.d, while
  // the joiner names the IPv4 address it dialed: one endpoint, and the join is taken. The
  // other way round (the mapped form dialed, an IPv4 arrival) is no address of this node's.
  Harness h(encrypted(7));
  const proto::State join{true, {proto::MemberRecord{"joiner", ip4(5), kEpoch, 0, MemberState::Alive, {}}}};
  proto::Bytes payload;
  proto::encode(join, payload);
  const SocketAddr lo = SocketAddr::v4({127, 0, 0, 1}, 7946), lo2 = SocketAddr::v4({127, 0, 0, 2}, 7946);
  auto mapped = [](const SocketAddr& a) {
    return SocketAddr::v6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, a.ip[0], a.ip[1], a.ip[2], a.ip[3]}, a.port);
  };
  const struct {
    SocketAddr dialed, arrived;
    bool taken;
  } cases[] = {
      {lo, mapped(lo), true},
      {mapped(lo), mapped(lo), true},
      {mapped(lo), lo, false},
      {mapped(ip4(1)), ip4(9), false},  // our advertised address, mapped
      {lo2, mapped(lo), false},
      {mapped(lo2), lo, false},
  };
  core::StreamId id = core::INBOUND_BIT;
  for (const auto& c : cases) {
    h.clear();
    proto::Bytes p = h.peer->seal(payload, h.wall(), proto::Recipient{{}, c.dialed});
    h.node->handle_stream(h.now, ++id, core::StreamEvent{core::stream_event::Data{p, c.arrived}});
    h.pump();
    EXPECT_EQ(h.transmits<core::transmit::Frame>().size(), c.taken ? 1u : 0u) << c.dialed.to_string();
  }
  EXPECT_EQ(h.node->counters().decrypt_failures, 4u);
}

TEST(Intake, EachEncryptedPacketIsAcceptedOnceWithinTheWindow) {
  Harness h(encrypted(7));
  proto::Bytes p = h.seal({Ping{1, "self", "x"}});
  h.deliver_raw(ip4(2), p);
  EXPECT_EQ(h.transmits<core::transmit::Datagram>().size(), 1u);
  h.deliver_raw(ip4(2), p);
  EXPECT_EQ(h.node->counters().replays_dropped, 1u);
  EXPECT_EQ(h.transmits<core::transmit::Datagram>().size(), 1u);
  // Stamps too far in the past or the future.
  h.deliver_raw(ip4(2), h.seal({Ping{2, "self", "x"}}, h.wall() - core::REPLAY_WINDOW_MS - 1));
  h.deliver_raw(ip4(2), h.seal({Ping{3, "self", "x"}}, h.wall() + core::REPLAY_WINDOW_MS + 1));
  EXPECT_EQ(h.node->counters().replays_dropped, 3u);
  // At the edge of the window: accepted.
  h.deliver_raw(ip4(2), h.seal({Ping{4, "self", "x"}}, h.wall() - core::REPLAY_WINDOW_MS + 1));
  EXPECT_EQ(h.node->counters().replays_dropped, 3u);
  // Plaintext packets carry no nonce and are not replay-checked.
  Harness plain;
  proto::Bytes q = plain.seal({Ping{1, "self", "x"}});
  plain.deliver_raw(ip4(2), q);
  plain.deliver_raw(ip4(2), q);
  EXPECT_EQ(plain.node->counters().replays_dropped, 0u);
  EXPECT_EQ(plain.transmits<core::transmit::Datagram>().size(), 2u);
}

TEST(Intake, ReplayMemoryIsBoundedAndTightensInsteadOfForgetting) {
  core::ReplayWindow w(1000, 4);
  std::array<uint8_t, proto::NONCE_LEN> n{};
  auto nonce = [&](uint8_t b) {
    n.fill(b);
    return n;
  };
  const uint64_t wall = 10'000;
  EXPECT_EQ(w.check(wall, 9'500, nonce(1)), core::ReplayWindow::Verdict::Fresh);
  EXPECT_EQ(w.check(wall, 9'600, nonce(2)), core::ReplayWindow::Verdict::Fresh);
  EXPECT_EQ(w.check(wall, 9'700, nonce(3)), core::ReplayWindow::Verdict::Fresh);
  EXPECT_EQ(w.check(wall, 9'800, nonce(4)), core::ReplayWindow::Verdict::Fresh);
  EXPECT_EQ(w.check(wall, 9'800, nonce(4)), core::ReplayWindow::Verdict::Replayed);
  // Full: the oldest nonce is forgotten, and its stamp is refused from now on.
  EXPECT_EQ(w.check(wall, 9'900, nonce(5)), core::ReplayWindow::Verdict::Fresh);
  EXPECT_EQ(w.remembered(), 4u);
  EXPECT_EQ(w.check(wall, 9'500, nonce(1)), core::ReplayWindow::Verdict::Stale);
  EXPECT_EQ(w.check(wall, 9'600, nonce(2)), core::ReplayWindow::Verdict::Replayed);
  // Time moves on: old nonces expire with their window.
  EXPECT_EQ(w.check(20'000, 19'990, nonce(6)), core::ReplayWindow::Verdict::Fresh);
  EXPECT_EQ(w.remembered(), 1u);
}

TEST(Intake, PingIsAnsweredOnlyForThisName) {
  Harness h;
  h.deliver(ip4(2), {Ping{77, "self", "x"}});
  auto acks = h.sent<Ack>(ip4(2));
  ASSERT_EQ(acks.size(), 1u);
  EXPECT_EQ(acks[0].seq, 77u);
  h.clear();
  h.deliver(ip4(2), {Ping{78, "someone-else", "x"}});
  EXPECT_TRUE(h.out.empty());
  EXPECT_EQ(h.node->counters().misdirected, 1u);
}

TEST(Intake, OnlyOneProbeRequestOfEachKindPerPacketIsAnswered) {
  // One datagram stuffed with Pings (from a forged source, say) gets one answer, not thousands.
  core::Config big = lan();
  big.udp_max_payload = 65000;  // room for 500 of them
  Harness h(big);
  std::vector<proto::Message> pings, relays;
  for (uint32_t i = 0; i < 500; ++i) {
    pings.push_back(Ping{i, "self", "x"});
    relays.push_back(proto::IndirectPing{i, "t", ip4(static_cast<uint8_t>(10 + i % 200)), "req", true});
  }
  h.deliver(ip4(2), pings);
  EXPECT_EQ(h.transmits<core::transmit::Datagram>().size(), 1u);
  ASSERT_EQ(h.sent<Ack>(ip4(2)).size(), 1u);
  EXPECT_EQ(h.sent<Ack>(ip4(2))[0].seq, 0u);
  h.clear();
  h.deliver(ip4(2), relays);
  EXPECT_EQ(h.transmits<core::transmit::Datagram>().size(), 1u);
  // A well-formed probe packet (the buddy system's Suspect in front of one Ping) is answered.
  h.clear();
  h.deliver(ip4(2), {proto::Suspect{"self", kEpoch, 0, "x"}, Ping{9, "self", "x"}});
  EXPECT_EQ(h.sent<Ack>(ip4(2)).size(), 1u);
}

TEST(Intake, IndirectPingRelaysTheAckOrSendsANack) {
  Harness h;
  // The target answers: the requester gets an Ack with its own sequence number.
  h.deliver(ip4(2), {proto::IndirectPing{500, "t", ip4(3), "req", true}});
  auto pings = h.sent<Ping>(ip4(3));
  ASSERT_EQ(pings.size(), 1u);
  EXPECT_EQ(pings[0].target, "t");
  h.clear();
  h.deliver(ip4(3), {Ack{pings[0].seq}});
  auto acks = h.sent<Ack>(ip4(2));
  ASSERT_EQ(acks.size(), 1u);
  EXPECT_EQ(acks[0].seq, 500u);
  h.advance(h.cfg.probe_timeout.as_nanos() + 1);
  EXPECT_TRUE(h.sent<Nack>().empty());

  // The target stays silent: a Nack after probe_timeout, only when asked for one.
  h.clear();
  h.deliver(ip4(2), {proto::IndirectPing{600, "t", ip4(3), "req", true}});
  h.deliver(ip4(2), {proto::IndirectPing{601, "t", ip4(3), "req", false}});
  h.advance(h.cfg.probe_timeout.as_nanos() + 1);
  auto nacks = h.sent<Nack>(ip4(2));
  ASSERT_EQ(nacks.size(), 1u);
  EXPECT_EQ(nacks[0].seq, 600u);
  EXPECT_TRUE(h.sent<Ack>().empty());
}

TEST(Intake, ManyIndirectRequestsAreBounded) {
  Harness h;
  for (uint32_t i = 0; i < core::MAX_RELAYS + 100; ++i)
    h.deliver(ip4(2), {proto::IndirectPing{i, "t", ip4(3), "req", true}});
  EXPECT_EQ(h.sent<Ping>(ip4(3)).size(), core::MAX_RELAYS);
}

}  // namespace
}  // namespace vennock::test
