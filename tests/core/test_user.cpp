// User messages, broadcasts, metadata, leave and keys: the commands' checks and outcomes in
// one engine, then the traffic across simulated clusters.
#include <map>

#include "core/harness.hpp"
#include "proto/tags.hpp"

namespace vennock::test {
namespace {

using core::CommandError;
using namespace core::command;

TEST(Commands, SendChecksInOrder) {
  Harness h;
  h.add_member("a", 2);
  h.add_member("gone", 3);
  h.deliver(ip4(3), {proto::Dead{"gone", kEpoch + 5, 1, "x"}});
  const size_t max = h.cfg.max_user_message;
  // Too large comes before the target check, and is counted.
  auto id = h.cmd(Send{"nobody", 0, Bytes(max + 1, 1)});
  EXPECT_TRUE(is_error(h.outcome(id), CommandError::TooLarge));
  EXPECT_EQ(h.node->counters().user_messages_too_large, 1u);
  for (const auto& [name, epoch] : std::vector<std::pair<std::string, uint64_t>>{
           {"nobody", 0}, {"self", 0}, {"", 0}, {"gone", 0}, {"a", kEpoch + 6}}) {
    id = h.cmd(Send{name, epoch, Bytes{1}});
    EXPECT_TRUE(is_error(h.outcome(id), CommandError::NotAMember)) << name;
  }
  EXPECT_EQ(h.node->counters().user_messages_sent, 0u);
  // Exactly the limit passes; epoch 0 or the member's own epoch both reach it.
  id = h.cmd(Send{"a", 0, Bytes(max, 1)});
  EXPECT_TRUE(is_done(h.outcome(id)));
  id = h.cmd(Send{"a", kEpoch + 5, Bytes{1, 2, 3}});
  EXPECT_TRUE(is_done(h.outcome(id)));
  EXPECT_EQ(h.node->counters().user_messages_sent, 2u);
  // A member that announced epoch 0 has no life to tell apart: any epoch reaches it.
  h.add_member("zero", 4, 1, 0);
  EXPECT_TRUE(is_done(h.outcome(h.cmd(Send{"zero", kEpoch, Bytes{1}}))));
  // Left comes first of all.
  h.cmd(Leave{});
  id = h.cmd(Send{"a", 0, Bytes(max + 1, 1)});
  EXPECT_TRUE(is_error(h.outcome(id), CommandError::Left));
  EXPECT_EQ(h.node->counters().user_messages_too_large, 1u);
}

TEST(Commands, SmallMessageGoesAsOneDatagramLargeOneOverAStream) {
  Harness h;
  h.add_member("a", 2);
  h.clear();
  h.cmd(Send{"a", 0, Bytes{7, 7}});
  auto um = h.sent<proto::UserMessage>(ip4(2));
  ASSERT_EQ(um.size(), 1u);
  EXPECT_EQ(um[0].to, "a");
  EXPECT_EQ(um[0].to_epoch, kEpoch + 5);
  EXPECT_EQ(um[0].from, "self");
  EXPECT_TRUE(h.transmits<core::transmit::Open>().empty());

  h.clear();
  h.cmd(Send{"a", 0, Bytes(5000, 1)});
  auto opens = h.transmits<core::transmit::Open>();
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].to, ip4(2));
  auto frames = h.transmits<core::transmit::Frame>();
  ASSERT_EQ(frames.size(), 1u);
  auto msgs = h.decode(core::Transmit{frames[0]});
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(std::get<proto::UserMessage>(msgs[0]).data.size(), 5000u);
  EXPECT_EQ(h.transmits<core::transmit::Close>().size(), 1u);  // closed behind its last frame
}

TEST(Commands, MessagesWaitingForAStreamAreBoundedAndDropsCounted) {
  auto cfg = lan();
  cfg.max_user_message = 3000;
  cfg.max_stream_frame = 8000;
  Harness h(cfg);
  h.add_member("a", 2);
  h.clear();
  std::vector<CommandId> ids;
  for (int i = 0; i < 5; ++i) ids.push_back(h.cmd(Send{"a", 0, Bytes(3000, static_cast<uint8_t>(i))}));
  for (auto id : ids) EXPECT_TRUE(is_done(h.outcome(id)));  // every send completes at once
  // The first went out at once; two wait (6 KB of 8 KB); the last two did not fit.
  EXPECT_EQ(h.node->counters().user_messages_sent, 1u);
  EXPECT_EQ(h.node->counters().user_queue_overflow, 2u);
  auto first = h.transmits<core::transmit::Open>();
  ASSERT_EQ(first.size(), 1u);
  // When that stream ends the waiting ones go out together on the next.
  h.clear();
  h.stream_end(first[0].id, false);
  EXPECT_EQ(h.transmits<core::transmit::Open>().size(), 1u);
  EXPECT_EQ(h.transmits<core::transmit::Frame>().size(), 2u);
  EXPECT_EQ(h.node->counters().user_messages_sent, 3u);
  // A stream that fails takes its messages with it: counted, not silent.
  auto second = h.transmits<core::transmit::Open>();
  h.stream_end(second[0].id, true);
  EXPECT_EQ(h.node->counters().user_messages_dropped, 2u);
}

TEST(Commands, ReceivedMessagesAreDeliveredOnlyWhenAddressedHere) {
  Harness h;
  h.add_member("a", 2);
  h.deliver(ip4(2), {proto::UserMessage{"a", kEpoch + 5, "self", kEpoch, Bytes{1}},
                     proto::UserMessage{"a", kEpoch + 5, "self", 0, Bytes{2}},
                     proto::UserMessage{"a", kEpoch + 5, "self", kEpoch - 1, Bytes{3}},
                     proto::UserMessage{"a", kEpoch + 5, "other", 0, Bytes{4}}});
  auto got = h.events_of<core::event::UserMessage>();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].from.name, "a");
  EXPECT_EQ(got[0].from.addr, ip4(2));
  EXPECT_FALSE(got[0].broadcast);
  EXPECT_EQ(h.node->counters().user_messages_received, 2u);
  EXPECT_EQ(h.node->counters().user_messages_dropped, 2u);
}

TEST(Commands, BroadcastChecksQueueAndDeliversOnce) {
  auto cfg = lan();
  cfg.user_broadcast_queue = 2;
  Harness h(cfg);
  auto id = h.cmd(Broadcast{Bytes(h.cfg.max_user_broadcast + 1, 0)});
  EXPECT_TRUE(is_error(h.outcome(id), CommandError::TooLarge));
  EXPECT_EQ(h.node->counters().user_messages_too_large, 1u);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(is_done(h.outcome(h.cmd(Broadcast{Bytes(h.cfg.max_user_broadcast, 1)}))));
  // Alone, it still counts; the queue holds two, so one was dropped and counted.
  EXPECT_EQ(h.node->counters().user_messages_sent, 3u);
  EXPECT_EQ(h.node->counters().user_queue_overflow, 1u);
  EXPECT_TRUE(h.out.empty());  // nothing is sent by the command itself

  proto::UserBroadcast b{"a", kEpoch + 5, 1, Bytes{9}};
  h.deliver(ip4(2), {b, b});
  h.deliver(ip4(3), {b});
  auto got = h.events_of<core::event::UserMessage>();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(got[0].broadcast);
  // A later life's broadcasts start over; an earlier life's are over.
  h.deliver(ip4(2), {proto::UserBroadcast{"a", kEpoch + 6, 1, Bytes{9}}});
  h.deliver(ip4(2), {proto::UserBroadcast{"a", kEpoch + 5, 2, Bytes{9}}});
  EXPECT_EQ(h.events_of<core::event::UserMessage>().size(), 2u);
  h.cmd(Leave{});
  EXPECT_TRUE(is_error(h.outcome(h.cmd(Broadcast{Bytes{1}})), CommandError::Left));
}

TEST(Commands, BroadcastsAreRememberedPerOriginWhateverMaxMembers) {
  // The origins remembered are bounded by max_members plus a margin; a bound that wrapped
  // around would forget them at once and deliver repeats.
  auto cfg = lan();
  cfg.max_members = UINT64_MAX;
  Harness h(cfg);
  for (int i = 0; i < 100; ++i)
    h.deliver(ip4(2), {proto::UserBroadcast{"o" + std::to_string(i), kEpoch, 1, Bytes{1}}});
  h.deliver(ip4(2), {proto::UserBroadcast{"o0", kEpoch, 1, Bytes{1}}});
  EXPECT_EQ(h.node->counters().user_messages_received, 100u);
}

TEST(Commands, UpdateMetaRaisesTheIncarnationEvenWhenUnchanged) {
  Harness h;
  proto::Bytes meta = proto::encode_tags({{"zone", "b"}});
  auto id = h.cmd(UpdateMeta{Bytes(h.cfg.max_meta_bytes + 1, 0)});
  EXPECT_TRUE(is_error(h.outcome(id), CommandError::MetaTooLarge));
  uint64_t v = h.node->version();
  EXPECT_TRUE(is_done(h.outcome(h.cmd(UpdateMeta{meta}))));
  EXPECT_EQ(h.node->local().incarnation, 1u);
  EXPECT_EQ(h.node->local().meta, meta);
  EXPECT_TRUE(is_done(h.outcome(h.cmd(UpdateMeta{meta}))));
  EXPECT_EQ(h.node->local().incarnation, 2u);
  EXPECT_GT(h.node->version(), v);
  h.cmd(Leave{});
  EXPECT_TRUE(is_error(h.outcome(h.cmd(UpdateMeta{meta})), CommandError::Left));
}

TEST(Commands, LeaveWhenAloneCompletesAtOnceAndTwice) {
  Harness h;
  auto a = h.cmd(Leave{});
  EXPECT_TRUE(is_done(h.outcome(a)));
  EXPECT_EQ(h.node->local().state, MemberState::Left);
  EXPECT_TRUE(h.node->members().empty());
  auto b = h.cmd(Leave{});
  EXPECT_TRUE(is_done(h.outcome(b)));
  // No more probing once left.
  h.add_member("a", 2);
  h.clear();
  h.advance(5 * SEC);
  EXPECT_TRUE(h.sent<proto::Ping>().empty());
}

TEST(Commands, LeavesWhileTheDepartureIsGossipedCompleteTogetherWithTheFirst) {
  Harness h;
  h.add_member("a", 2);
  auto first = h.cmd(Leave{});
  auto second = h.cmd(Leave{});
  // The news has not left the queue yet: neither may say the departure is complete.
  EXPECT_FALSE(h.outcome(first).has_value());
  EXPECT_FALSE(h.outcome(second).has_value());
  h.advance(30 * SEC);
  ASSERT_TRUE(is_done(h.outcome(first)));
  ASSERT_TRUE(is_done(h.outcome(second)));
  auto completed = h.events_of<core::event::Completed>();
  auto at = [&](CommandId id) {
    return std::find_if(completed.begin(), completed.end(), [&](const auto& c) { return c.id == id; }) -
           completed.begin();
  };
  EXPECT_EQ(at(second), at(first) + 1);  // together, in arrival order
  // Once the departure is complete, a leave answers at once.
  EXPECT_TRUE(is_done(h.outcome(h.cmd(Leave{}))));
}

TEST(Commands, KeyCommandsFollowTheKeyring) {
  Harness plain;
  EXPECT_TRUE(is_error(plain.outcome(plain.cmd(InstallKey{key_of(1)})), CommandError::NotEncrypted));
  EXPECT_TRUE(is_error(plain.outcome(plain.cmd(UseKey{key_of(1)})), CommandError::NotEncrypted));
  EXPECT_TRUE(is_error(plain.outcome(plain.cmd(RemoveKey{key_of(1)})), CommandError::NotEncrypted));
  EXPECT_TRUE(plain.node->key_ids().empty());
  EXPECT_FALSE(plain.node->header_check().encrypted);

  Harness h(encrypted(1));
  EXPECT_TRUE(is_error(h.outcome(h.cmd(RemoveKey{key_of(1)})), CommandError::LastKey));
  EXPECT_TRUE(is_error(h.outcome(h.cmd(UseKey{key_of(2)})), CommandError::KeyNotInstalled));
  EXPECT_TRUE(is_done(h.outcome(h.cmd(RemoveKey{key_of(2)}))));  // not installed: nothing to do
  EXPECT_TRUE(is_done(h.outcome(h.cmd(InstallKey{key_of(2)}))));
  EXPECT_TRUE(is_error(h.outcome(h.cmd(RemoveKey{key_of(1)})), CommandError::KeyInUse));
  ASSERT_EQ(h.node->key_ids().size(), 2u);
  EXPECT_EQ(h.node->key_ids()[0], key_of(1).id());
  EXPECT_TRUE(is_done(h.outcome(h.cmd(UseKey{key_of(2)}))));
  EXPECT_EQ(h.node->key_ids()[0], key_of(2).id());
  EXPECT_EQ(h.node->header_check().key_ids[0], key_of(2).id());
  // Packets under the old key still open; new ones go out under the new key.
  h.deliver(ip4(2), {proto::Ping{5, "self", "x"}});
  ASSERT_EQ(h.transmits<core::transmit::Datagram>().size(), 1u);
  proto::HeaderCheck only_new{true, {key_of(2).id()}, {}};
  EXPECT_TRUE(only_new.check(h.transmits<core::transmit::Datagram>()[0].packet).ok());
  EXPECT_TRUE(is_done(h.outcome(h.cmd(RemoveKey{key_of(1)}))));
  EXPECT_EQ(h.node->key_ids().size(), 1u);
  h.deliver(ip4(2), {proto::Ping{6, "self", "x"}});  // the peer still seals with key 1
  EXPECT_EQ(h.node->counters().decrypt_failures, 1u);
}

// ---------------------------------------------------------------- across clusters

TEST(UserTraffic, BroadcastReachesAllHundredExactlyOnceUnderLoss) {
  Sim sim(31, NetParams{1 * MS, 2 * MS, 0.0});
  const size_t n = 100;
  ASSERT_TRUE(form_cluster(sim, n, lan()));
  sim.net().loss = 0.05;
  std::map<std::pair<size_t, std::string>, int> got;
  sim.on_event = [&](size_t i, const Event& e) {
    if (auto* u = std::get_if<core::event::UserMessage>(&e)) {
      EXPECT_TRUE(u->broadcast);
      ++got[{i, std::string(u->data.begin(), u->data.end())}];
    }
  };
  const int kCasts = 5;
  for (int b = 0; b < kCasts; ++b) {
    std::string text = "cast-" + std::to_string(b);
    sim.command(static_cast<size_t>(b * 17), Broadcast{Bytes(text.begin(), text.end())});
    sim.run_for(100 * MS);
  }
  uint64_t t0 = sim.now();
  bool all = sim.run_until_pred([&] { return got.size() == (n - 1) * kCasts; }, 30 * SEC, 50 * MS);
  std::printf("5 broadcasts reached all %zu members in %.2f s\n", n, static_cast<double>(sim.now() - t0) / SEC);
  sim.run_for(10 * SEC);
  EXPECT_TRUE(all);
  EXPECT_EQ(got.size(), (n - 1) * kCasts);
  for (const auto& [k, count] : got) EXPECT_EQ(count, 1) << k.first << " " << k.second;
}

TEST(UserTraffic, LeaveIsSeenAsLeftByAllAndARestartIsANewLife) {
  Sim sim(34, NetParams{1 * MS, 1 * MS, 0.0});
  const size_t n = 16;
  ASSERT_TRUE(form_cluster(sim, n, lan()));
  int left_events = 0, dead_events = 0;
  sim.on_event = [&](size_t, const Event& e) {
    if (auto* l = std::get_if<core::event::MemberLeft>(&e); l && l->member.name == node_name(5)) ++left_events;
    if (auto* d = std::get_if<core::event::MemberDead>(&e); d && d->member.name == node_name(5)) ++dead_events;
  };
  uint64_t t0 = sim.now();
  auto id = sim.command(5, Leave{});
  ASSERT_TRUE(sim.run_until_pred([&] { return sim.outcome(5, id).has_value(); }, 30 * SEC, 10 * MS));
  EXPECT_TRUE(is_done(sim.outcome(5, id)));
  std::printf("leave completed after %.2f s\n", static_cast<double>(sim.now() - t0) / SEC);
  sim.run_for(5 * SEC);
  EXPECT_TRUE(all_hold(sim, node_name(5), MemberState::Left));
  EXPECT_EQ(left_events, static_cast<int>(n - 1));
  // The node stays up after leaving; closing it (a crash, as far as peers can tell) changes nothing.
  sim.crash(5);
  sim.run_for(20 * SEC);  // within the time a left record is kept
  EXPECT_EQ(dead_events, 0);
  EXPECT_TRUE(all_hold(sim, node_name(5), MemberState::Left));
  sim.restart(5);
  sim.command(5, Join{{Sim::addr_of(0)}});
  EXPECT_TRUE(sim.run_until_pred([&] { return all_know(sim, n); }, 30 * SEC));
}

TEST(UserTraffic, KeyRotationAcrossARunningClusterLosesNoProbe) {
  Sim sim(35, NetParams{1 * MS, 1 * MS, 0.0});
  const size_t n = 20;
  ASSERT_TRUE(form_cluster(sim, n, encrypted(1)));
  sim.run_for(5 * SEC);
  int suspects = 0, deaths = 0;
  sim.on_event = [&](size_t, const Event& e) {
    suspects += std::holds_alternative<core::event::MemberSuspect>(e);
    deaths += std::holds_alternative<core::event::MemberDead>(e);
  };
  uint64_t failed0 = 0, dec0 = 0, sent0 = 0;
  for (size_t i = 0; i < n; ++i) {
    failed0 += sim.node(i).counters().probes_failed;
    dec0 += sim.node(i).counters().decrypt_failures;
    sent0 += sim.node(i).counters().probes_sent;
  }
  auto each = [&](auto make) {
    for (size_t i = 0; i < n; ++i) {
      auto id = sim.command(i, make());
      EXPECT_TRUE(is_done(sim.outcome(i, id))) << i;
      sim.run_for(150 * MS);  // one node after the other, as an operator would roll it out
    }
    sim.run_for(3 * SEC);
  };
  each([] { return Command{InstallKey{key_of(2)}}; });
  each([] { return Command{UseKey{key_of(2)}}; });
  each([] { return Command{RemoveKey{key_of(1)}}; });
  sim.run_for(20 * SEC);
  uint64_t failed = 0, dec = 0, sent = 0;
  for (size_t i = 0; i < n; ++i) {
    failed += sim.node(i).counters().probes_failed;
    dec += sim.node(i).counters().decrypt_failures;
    sent += sim.node(i).counters().probes_sent;
    EXPECT_EQ(sim.node(i).key_ids(), std::vector<proto::KeyId>{key_of(2).id()});
    EXPECT_EQ(sim.node(i).members().size(), n);
  }
  std::printf("rotation: %llu probes during it, %llu failed, %llu decrypt failures\n",
              (unsigned long long)(sent - sent0), (unsigned long long)(failed - failed0),
              (unsigned long long)(dec - dec0));
  EXPECT_EQ(failed, failed0);
  EXPECT_EQ(dec, dec0);
  EXPECT_EQ(suspects, 0);
  EXPECT_EQ(deaths, 0);
}

}  // namespace
}  // namespace vennock::test
