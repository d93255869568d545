// Streams: push-pull in both directions, joins, timeouts, and what strangers can do with them.
#include "core/harness.hpp"

namespace vennock::test {
namespace {

using proto::MemberRecord;
using proto::State;

State state_of(std::initializer_list<std::pair<std::string, uint8_t>> members) {
  State st;
  for (auto& [name, last] : members)
    st.members.push_back(MemberRecord{name, ip4(last), kEpoch + 5, 1, MemberState::Alive, {}});
  return st;
}

TEST(Streams, InboundStateIsMergedAndAnswered) {
  Harness h;
  h.add_member("a", 2);
  const core::StreamId in = core::INBOUND_BIT | 5;
  h.frame(in, {state_of({{"b", 3}, {"c", 4}})});
  EXPECT_NE(h.node->find("c"), nullptr);
  auto frames = h.transmits<core::transmit::Frame>();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].id, in);
  auto msgs = h.decode(core::Transmit{frames[0]});
  ASSERT_EQ(msgs.size(), 1u);
  auto& st = std::get<State>(msgs[0]);
  ASSERT_EQ(st.members.size(), 4u);
  EXPECT_EQ(st.members[0].name, "self");  // the sender's own record comes first
  EXPECT_EQ(h.transmits<core::transmit::Close>().size(), 1u);
  EXPECT_EQ(h.node->counters().push_pulls_served, 1u);
}

TEST(Streams, MembersLearnedFromAStateArePassedOnOnlyOnceGossipAboutThemArrives) {
  Harness h;
  h.frame(core::INBOUND_BIT | 1, {state_of({{"sender", 2}, {"b", 3}, {"c", 4}})});
  ASSERT_NE(h.node->find("c"), nullptr);
  auto gossiped = [&](const std::string& name) {
    h.clear();
    h.deliver(ip4(9), {proto::Ping{1, "self", "x"}});
    for (auto& a : h.sent<proto::Alive>())
      if (a.name == name) return true;
    return false;
  };
  EXPECT_TRUE(gossiped("sender"));  // the sender's own record is news for the cluster
  EXPECT_FALSE(gossiped("b"));      // the rest of its table is not
  h.deliver(ip4(3), {proto::Alive{"b", ip4(3), kEpoch + 5, 1, {}}});  // but it is circulating
  EXPECT_TRUE(gossiped("b"));
  EXPECT_FALSE(gossiped("c"));
}

TEST(Streams, RemoteDeadOnlyMakesAMemberSuspect) {
  Harness h;
  h.add_member("a", 2);
  State st = state_of({{"b", 3}});
  st.members.push_back(MemberRecord{"a", ip4(2), kEpoch + 5, 1, MemberState::Dead, {}});
  st.members.push_back(MemberRecord{"self", ip4(1), kEpoch, 0, MemberState::Dead, {}});
  h.frame(core::INBOUND_BIT | 1, {st});
  EXPECT_EQ(h.node->find("a")->state, MemberState::Suspect);
  EXPECT_EQ(h.node->local().state, MemberState::Alive);
  EXPECT_EQ(h.node->counters().refutations, 1u);
}

TEST(Streams, PushPullRunsOnItsTimerAndFailuresAreCounted) {
  auto cfg = lan();
  cfg.tcp_fallback_ping = false;
  Harness h(cfg);
  h.auto_ack = true;
  h.add_member("a", 2);
  h.clear();
  h.advance(2 * h.cfg.push_pull_interval.as_nanos());
  auto opens = h.transmits<core::transmit::Open>();
  ASSERT_GE(opens.size(), 1u);
  EXPECT_EQ(opens[0].to, ip4(2));
  // Outbound ids count up from 1, never with the top bit.
  EXPECT_FALSE(core::is_inbound(opens[0].id));
  // The peer never answered: the engine closed the stream at tcp_timeout and counted it.
  EXPECT_GE(h.node->counters().push_pull_failures, 1u);
  EXPECT_GE(h.transmits<core::transmit::Close>().size(), 1u);

  // An answered exchange.
  h.clear();
  for (int i = 0; i < 1000 && h.transmits<core::transmit::Open>().empty(); ++i) h.advance(100 * MS);
  opens = h.transmits<core::transmit::Open>();
  ASSERT_EQ(opens.size(), 1u);
  uint64_t before = h.node->counters().push_pulls;
  h.frame(opens.back().id, {state_of({{"a", 2}, {"z", 9}})});
  EXPECT_EQ(h.node->counters().push_pulls, before + 1);
  EXPECT_NE(h.node->find("z"), nullptr);
}

TEST(Streams, SilentAndGarbageStreamsCostNothingLasting) {
  Harness h;
  // A peer that opens and never writes: the engine never hears of it, so there is nothing to
  // check. A peer that writes garbage: counted, closed, forgotten.
  h.node->handle_stream(h.now, core::INBOUND_BIT | 9, core::StreamEvent{core::stream_event::Data{proto::Bytes{1, 2}}});
  h.pump();
  EXPECT_EQ(h.node->counters().decode_errors, 1u);
  ASSERT_EQ(h.transmits<core::transmit::Close>().size(), 1u);
  // A peer that writes something harmless and then nothing: closed at tcp_timeout.
  h.clear();
  h.frame(core::INBOUND_BIT | 10, {proto::Nack{1}});
  EXPECT_TRUE(h.transmits<core::transmit::Close>().empty());
  h.advance(h.cfg.tcp_timeout.as_nanos() + 1);
  auto closes = h.transmits<core::transmit::Close>();
  ASSERT_EQ(closes.size(), 1u);
  EXPECT_EQ(closes[0].id, core::INBOUND_BIT | 10);
  // Ends reported for streams the engine does not know are ignored.
  h.stream_end(core::INBOUND_BIT | 77, true);
  h.stream_end(12345, false);
}

TEST(Streams, AnswersOnAStreamNameTheFirstSenderItNamed) {
  // Answers on a stream a peer opened are sealed for the member its first message naming a
  // sender names, however many messages that name nobody come first.
  Harness h(encrypted(7));
  const core::StreamId in = core::INBOUND_BIT | 3;
  h.frame(in, {proto::Nack{4}});
  h.frame(in, {proto::Ack{9}, proto::Ping{1, "self", "x"}, proto::Ping{2, "self", "y"}});
  auto frames = h.transmits<core::transmit::Frame>();
  ASSERT_EQ(frames.size(), 1u);
  proto::Bytes p(frames[0].frame.begin() + 4, frames[0].frame.end());
  proto::Bytes copy = p;
  EXPECT_TRUE(h.peer->open(copy, proto::Addressee{"x", {}}).ok());
  EXPECT_FALSE(h.peer->open(p, proto::Addressee{"y", {}}).ok());
}

TEST(Streams, ManyInboundStreamsAreBounded) {
  Harness h;
  for (uint64_t i = 0; i < core::MAX_INBOUND_STREAMS + 10; ++i) h.frame(core::INBOUND_BIT | i, {proto::Nack{1}});
  // The ones beyond the bound were closed at once.
  EXPECT_EQ(h.transmits<core::transmit::Close>().size(), 10u);
}

TEST(Streams, StateTooLargeForAFrameIsRefused) {
  auto cfg = lan();
  cfg.max_user_message = 100;
  cfg.max_stream_frame = 600;
  Harness h(cfg);
  for (int i = 0; i < 40; ++i) h.add_member("member-" + std::to_string(i), static_cast<uint8_t>(10 + i));
  h.clear();
  h.frame(core::INBOUND_BIT | 1, {state_of({{"x", 200}})});
  EXPECT_EQ(h.node->counters().state_too_large, 1u);
  EXPECT_TRUE(h.transmits<core::transmit::Frame>().empty());
  EXPECT_EQ(h.transmits<core::transmit::Close>().size(), 1u);
  auto id = h.cmd(core::command::Join{{ip4(99)}});
  EXPECT_TRUE(is_error(h.outcome(id), core::CommandError::JoinFailed));
  EXPECT_EQ(h.node->counters().state_too_large, 2u);
}

TEST(Join, SeedsAreDeduplicatedAndThisNodeDropped) {
  Harness h;
  // Nothing to contact, while the node runs: a count of 0 at once.
  for (std::vector<SocketAddr> seeds : {std::vector<SocketAddr>{ip4(1), ip4(1)}, std::vector<SocketAddr>{}}) {
    auto o = h.outcome(h.cmd(core::command::Join{seeds}));
    ASSERT_TRUE(o);
    EXPECT_EQ(std::get<core::outcome::Count>(*o).n, 0u);
    EXPECT_TRUE(h.out.empty());
  }

  h.clear();
  // Same IPv6 address and port with another scope is another address.
  auto v6a = SocketAddr::v6({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 7946, 0, 1);
  auto v6b = SocketAddr::v6({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 7946, 0, 2);
  auto id = h.cmd(core::command::Join{{ip4(2), ip4(2), ip4(1), v6a, v6b, ip4(2, 7947)}});
  auto opens = h.transmits<core::transmit::Open>();
  ASSERT_EQ(opens.size(), 4u);
  auto silent = [&](const SocketAddr& a) { return a == opens[2].to || a == opens[3].to; };
  // Two answer, two stay silent through every retry.
  h.frame(opens[0].id, {state_of({{"a", 2}})});
  h.frame(opens[1].id, {state_of({{"b", 3}})});
  for (uint32_t attempt = 0; attempt < h.cfg.join_retries; ++attempt) {
    h.clear();
    h.stream_end(opens[2].id, true);
    h.stream_end(opens[3].id, false);
    EXPECT_EQ(h.outcome(id).has_value(), attempt + 1 == h.cfg.join_retries);
    h.advance(h.cfg.probe_interval.as_nanos() + 1);
    opens = {opens[0], opens[1]};
    for (auto& o2 : h.transmits<core::transmit::Open>())
      if (silent(o2.to)) opens.push_back(o2);
    if (attempt + 1 < h.cfg.join_retries) {
      ASSERT_EQ(opens.size(), 4u);
    }
  }
  auto out = h.outcome(id);
  ASSERT_TRUE(out);
  EXPECT_EQ(std::get<core::outcome::Count>(*out).n, 2u);
}

TEST(Join, AStrayPingOnOurOwnStreamsEndsNoExchange) {
  // A seed that writes a Ping on the join stream before its State: the join still completes
  // (answering and closing the stream left the join waiting forever).
  Harness h;
  h.add_member("a", 2);
  auto id = h.cmd(core::command::Join{{ip4(3)}});
  auto opens = h.transmits<core::transmit::Open>();
  ASSERT_EQ(opens.size(), 1u);
  h.clear();
  h.frame(opens[0].id, {proto::Ping{1, "self", "x"}});
  EXPECT_TRUE(h.out.empty());
  h.frame(opens[0].id, {state_of({{"b", 3}})});
  ASSERT_TRUE(h.outcome(id));
  EXPECT_EQ(std::get<core::outcome::Count>(*h.outcome(id)).n, 1u);

  // The same on a user stream: once it ends, the next large message gets a stream at once.
  const proto::Bytes big(h.cfg.udp_max_payload, 1);
  h.clear();
  h.cmd(core::command::Send{"a", 0, big});
  opens = h.transmits<core::transmit::Open>();
  ASSERT_EQ(opens.size(), 1u);
  h.frame(opens[0].id, {proto::Ping{2, "self", "x"}});
  h.stream_end(opens[0].id, false);
  h.clear();
  h.cmd(core::command::Send{"a", 0, big});
  EXPECT_EQ(h.transmits<core::transmit::Open>().size(), 1u);
  EXPECT_EQ(h.node->counters().user_messages_sent, 2u);
}

TEST(Join, NoSeedAnsweringFailsAndLeftRefuses) {
  auto cfg = lan();
  cfg.join_retries = 2;
  Harness h(cfg);
  auto id = h.cmd(core::command::Join{{ip4(2)}});
  // Each attempt times out at tcp_timeout; retried once after a pause.
  h.advance(2 * (h.cfg.tcp_timeout.as_nanos() + h.cfg.probe_interval.as_nanos()) + 1);
  EXPECT_EQ(h.transmits<core::transmit::Open>().size(), 2u);
  EXPECT_TRUE(is_error(h.outcome(id), core::CommandError::JoinFailed));

  // A node that leaves while a seed is still being retried contacts it no more.
  id = h.cmd(core::command::Join{{ip4(3)}});
  h.advance(h.cfg.tcp_timeout.as_nanos() + 1);
  auto leave = h.cmd(core::command::Leave{});
  EXPECT_TRUE(is_done(h.outcome(leave)));
  h.clear();
  h.advance(2 * (h.cfg.tcp_timeout.as_nanos() + h.cfg.probe_interval.as_nanos()));
  EXPECT_TRUE(h.transmits<core::transmit::Open>().empty());
  EXPECT_TRUE(is_error(h.outcome(id), core::CommandError::JoinFailed));
  // After leaving every join is refused, also one with nothing to contact (no seeds, or only
  // this node's own address), whose count of 0 would report a join that cannot happen as done.
  using Seeds = std::vector<SocketAddr>;
  for (const Seeds& seeds : {Seeds{ip4(2)}, Seeds{}, Seeds{ip4(1)}, Seeds{ip4(1), ip4(1)}}) {
    id = h.cmd(core::command::Join{seeds});
    EXPECT_TRUE(is_error(h.outcome(id), core::CommandError::Left)) << seeds.size() << " seeds";
  }
  EXPECT_TRUE(h.transmits<core::transmit::Open>().empty());
}

}  // namespace
}  // namespace vennock::test
