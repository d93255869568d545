// The merge rules on incarnation and epoch, name conflicts, reclaim and the bounds on strangers.
#include "core/harness.hpp"
#include "proto/tags.hpp"

namespace vennock::test {
namespace {

using proto::Alive;
using proto::Dead;
using proto::Suspect;

TEST(Merge, IncarnationsCompareWithWrapAround) {
  EXPECT_TRUE(core::inc_newer(1, 0));
  EXPECT_TRUE(core::inc_newer(0, 0xFFFFFFFFu));
  EXPECT_TRUE(core::inc_newer(5, 0xFFFFFFF0u));
  EXPECT_FALSE(core::inc_newer(0xFFFFFFFFu, 0));
  EXPECT_FALSE(core::inc_newer(7, 7));

  Harness h;
  h.add_member("a", 2, 0xFFFFFFFFu);
  h.deliver(ip4(2), {Suspect{"a", kEpoch + 5, 0xFFFFFFFFu, "x"}});
  ASSERT_EQ(h.node->find("a")->state, MemberState::Suspect);
  // Incarnation 0 comes after 0xFFFFFFFF: it refutes.
  h.deliver(ip4(2), {Alive{"a", ip4(2), kEpoch + 5, 0, {}}});
  EXPECT_EQ(h.node->find("a")->state, MemberState::Alive);
  EXPECT_EQ(h.node->find("a")->incarnation, 0u);
}

TEST(Merge, LifeCycleOfAMemberRaisesEachEventOnce) {
  Harness h;
  uint64_t v0 = h.node->version();
  h.add_member("a", 2);
  EXPECT_EQ(h.events_of<core::event::MemberJoined>().size(), 1u);
  EXPECT_GT(h.node->version(), v0);
  uint64_t v1 = h.node->version();
  h.add_member("a", 2);  // old news
  EXPECT_EQ(h.events_of<core::event::MemberJoined>().size(), 1u);
  EXPECT_EQ(h.node->version(), v1);

  h.deliver(ip4(3), {Suspect{"a", kEpoch + 5, 1, "b"}});
  EXPECT_EQ(h.events_of<core::event::MemberSuspect>().size(), 1u);
  EXPECT_EQ(h.node->counters().suspicions, 1u);
  h.deliver(ip4(3), {Suspect{"a", kEpoch + 5, 0, "c"}});  // stale
  h.deliver(ip4(2), {Alive{"a", ip4(2), kEpoch + 5, 1, {}}});  // same incarnation: no refutation
  EXPECT_EQ(h.node->find("a")->state, MemberState::Suspect);
  h.deliver(ip4(2), {Alive{"a", ip4(2), kEpoch + 5, 2, {}}});
  EXPECT_EQ(h.events_of<core::event::MemberRecovered>().size(), 1u);

  h.deliver(ip4(3), {Dead{"a", kEpoch + 5, 2, "b"}});
  ASSERT_EQ(h.events_of<core::event::MemberDead>().size(), 1u);
  EXPECT_EQ(h.node->find("a")->state, MemberState::Dead);
  h.deliver(ip4(3), {Suspect{"a", kEpoch + 5, 2, "b"}});  // a suspicion does not revive the dead
  EXPECT_EQ(h.node->find("a")->state, MemberState::Dead);
  // A higher incarnation brings a dead member back (a healed partition).
  h.deliver(ip4(2), {Alive{"a", ip4(2), kEpoch + 5, 3, {}}});
  EXPECT_EQ(h.events_of<core::event::MemberRecovered>().size(), 2u);
  EXPECT_EQ(h.node->members().size(), 2u);
}

TEST(Merge, LeaveIsFinalForThatLifeAndARestartIsANewOne) {
  Harness h;
  h.add_member("a", 2, 4);
  h.deliver(ip4(2), {Dead{"a", kEpoch + 5, 4, "a"}});
  ASSERT_EQ(h.events_of<core::event::MemberLeft>().size(), 1u);
  EXPECT_TRUE(h.events_of<core::event::MemberDead>().empty());
  EXPECT_EQ(h.node->find("a")->state, MemberState::Left);
  h.deliver(ip4(2), {Alive{"a", ip4(2), kEpoch + 5, 4, {}}});  // the same life cannot come back
  EXPECT_EQ(h.node->find("a")->state, MemberState::Left);
  h.deliver(ip4(2), {Dead{"a", kEpoch + 5, 9, "b"}});  // nor die after leaving
  EXPECT_TRUE(h.events_of<core::event::MemberDead>().empty());

  h.deliver(ip4(7), {Alive{"a", ip4(7), kEpoch + 99, 0, {}}});  // restarted, even elsewhere
  EXPECT_EQ(h.node->find("a")->state, MemberState::Alive);
  EXPECT_EQ(h.node->find("a")->epoch, kEpoch + 99);
  EXPECT_EQ(h.node->counters().restarts, 1u);
  EXPECT_EQ(h.events_of<core::event::MemberJoined>().size(), 2u);
  // News of the earlier life is ignored from now on.
  h.deliver(ip4(3), {Dead{"a", kEpoch + 5, 100, "b"}});
  h.deliver(ip4(3), {Alive{"a", ip4(2), kEpoch + 5, 100, {}}});
  EXPECT_EQ(h.node->find("a")->state, MemberState::Alive);
  EXPECT_EQ(h.node->find("a")->epoch, kEpoch + 99);
}

TEST(Merge, ADepartureTheMemberNeverAnnouncedIsRefuted) {
  // A forged "left" record about "a": "a" hears it and refutes it with a newer incarnation,
  // which brings it back here rather than leaving it hidden while the entry is kept.
  Harness h;
  h.add_member("a", 2, 4);
  h.deliver(ip4(9), {Dead{"a", kEpoch + 5, 4, "a"}});
  ASSERT_EQ(h.node->find("a")->state, MemberState::Left);
  h.deliver(ip4(2), {Alive{"a", ip4(2), kEpoch + 5, 5, {}}});
  EXPECT_EQ(h.node->find("a")->state, MemberState::Alive);
  EXPECT_EQ(h.events_of<core::event::MemberRecovered>().size(), 1u);
  // And this node refutes such a record about itself.
  h.deliver(ip4(9), {Dead{"self", kEpoch, 0, "self"}});
  EXPECT_EQ(h.node->local().state, MemberState::Alive);
  EXPECT_EQ(h.node->local().incarnation, 1u);
}

TEST(Merge, SameLifeAtAnotherAddressIsANameConflict) {
  Harness h;
  h.add_member("a", 2);
  h.deliver(ip4(3), {Alive{"a", ip4(3), kEpoch + 5, 7, {}}});
  h.deliver(ip4(3), {Alive{"a", ip4(3), kEpoch + 5, 8, {}}});  // reported once
  auto c = h.events_of<core::event::NameConflict>();
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].other, ip4(3));
  EXPECT_EQ(c[0].member.addr, ip4(2));
  EXPECT_EQ(h.node->counters().name_conflicts, 1u);
  EXPECT_EQ(h.node->find("a")->addr, ip4(2));
  EXPECT_EQ(h.node->find("a")->incarnation, 1u);

  // Our own name claimed from elsewhere.
  h.deliver(ip4(4), {Alive{"self", ip4(4), kEpoch, 3, {}}});
  c = h.events_of<core::event::NameConflict>();
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(c[1].member.name, "self");
  EXPECT_EQ(h.node->local().addr, ip4(1));
}

TEST(Merge, EpochsFurtherAheadThanAnyClockAreNoLife) {
  // A day past this node's wall clock is the last epoch it takes as a life; a later life of
  // its own must end at most there too, so its own next life can out-bid it. One further ahead
  // is disowned: its departure goes out, so the members holding it take this life back.
  Harness h;
  h.advance(3 * SEC);
  const uint64_t limit = h.wall() + core::EPOCH_LEAD_MS;
  h.deliver(ip4(2), {Alive{"a", ip4(2), limit + 1, 0, {}}, Alive{"b", ip4(3), limit, 0, {}}});
  EXPECT_EQ(h.node->find("a"), nullptr);
  ASSERT_NE(h.node->find("b"), nullptr);
  h.deliver(ip4(3), {Alive{"b", ip4(3), limit + 1, 0, {}}});
  EXPECT_EQ(h.node->find("b")->epoch, limit);
  EXPECT_EQ(h.node->counters().members_refused, 2u);

  // It answers at its address (a Ping for it came): a later life there is an earlier one of
  // its own, or a forgery.
  h.deliver(ip4(2), {proto::Ping{1, "self", "a"}});
  h.deliver(ip4(2), {Alive{"self", ip4(1), limit, 4, {}}});
  EXPECT_EQ(h.node->local().epoch, kEpoch);
  ASSERT_EQ(h.events_of<core::event::NameConflict>().size(), 1u);
  h.advance(SEC);
  const auto dead = h.sent<proto::Dead>();
  EXPECT_TRUE(std::count(dead.begin(), dead.end(), proto::Dead{"self", limit, 4, "self"}) > 0);
  h.deliver(ip4(2), {Alive{"self", ip4(1), limit - 1, 0, {}}});
  EXPECT_EQ(h.node->local().epoch, limit);
}

TEST(Merge, DeadNameIsReclaimedOnlyAfterDeadReclaim) {
  Harness h;
  h.add_member("a", 2);
  h.deliver(ip4(3), {Dead{"a", kEpoch + 5, 1, "b"}});
  h.advance(h.cfg.dead_reclaim.as_nanos() / 2);
  h.deliver(ip4(3), {Alive{"a", ip4(3), kEpoch + 5, 2, {}}});
  EXPECT_EQ(h.events_of<core::event::NameConflict>().size(), 1u);
  EXPECT_EQ(h.node->find("a")->state, MemberState::Dead);
  h.advance(h.cfg.dead_reclaim.as_nanos() / 2 + 1);
  h.deliver(ip4(3), {Alive{"a", ip4(3), kEpoch + 5, 2, {}}});
  EXPECT_EQ(h.node->find("a")->state, MemberState::Alive);
  EXPECT_EQ(h.node->find("a")->addr, ip4(3));

  // A new holder whose epoch is earlier (its host's clock lags) waits for dead_reclaim too,
  // then takes the name; the old life's own echoes never bring it back.
  h.add_member("b", 4, 1, kEpoch + 50);
  h.deliver(ip4(4), {Dead{"b", kEpoch + 50, 1, "b"}});
  h.clear();
  h.deliver(ip4(5), {Alive{"b", ip4(5), kEpoch + 40, 0, {}}});
  EXPECT_EQ(h.node->find("b")->state, MemberState::Left);
  h.advance(h.cfg.dead_reclaim.as_nanos());
  h.deliver(ip4(4), {Alive{"b", ip4(4), kEpoch + 50, 1, {}}});
  EXPECT_EQ(h.node->find("b")->state, MemberState::Left);
  h.deliver(ip4(5), {Alive{"b", ip4(5), kEpoch + 40, 0, {}}});
  EXPECT_EQ(h.node->find("b")->state, MemberState::Alive);
  EXPECT_EQ(h.node->find("b")->epoch, kEpoch + 40);
  EXPECT_EQ(h.events_of<core::event::MemberJoined>().size(), 1u);
  EXPECT_TRUE(h.events_of<core::event::NameConflict>().empty());
}

TEST(Merge, UpdatedOnlyWhenMetadataBytesChange) {
  Harness h;
  proto::Bytes m1 = proto::encode_tags({{"role", "db"}});
  proto::Bytes m2 = proto::encode_tags({{"role", "web"}});
  h.deliver(ip4(2), {Alive{"a", ip4(2), kEpoch + 5, 1, m1}});
  h.deliver(ip4(2), {Alive{"a", ip4(2), kEpoch + 5, 2, m1}});
  EXPECT_TRUE(h.events_of<core::event::MemberUpdated>().empty());
  h.deliver(ip4(2), {Alive{"a", ip4(2), kEpoch + 5, 3, m2}});
  auto u = h.events_of<core::event::MemberUpdated>();
  ASSERT_EQ(u.size(), 1u);
  EXPECT_EQ(u[0].member.meta, m2);
  EXPECT_EQ(u[0].old_meta, m1);
  // Metadata travels opaque: bytes that are no valid tags encoding still carry the
  // membership news (the application sees no pairs in them).
  proto::Bytes bad = {3, 'a', 'b'};
  h.deliver(ip4(2), {Alive{"a", ip4(2), kEpoch + 5, 4, bad}});
  EXPECT_EQ(h.node->find("a")->incarnation, 4u);
  EXPECT_EQ(h.events_of<core::event::MemberUpdated>().size(), 2u);
}

TEST(Merge, SuspicionOfThisNodeIsRefuted) {
  Harness h;
  h.add_member("a", 2);
  h.clear();
  h.deliver(ip4(2), {Suspect{"self", kEpoch, 0, "a"}});
  EXPECT_EQ(h.node->local().incarnation, 1u);
  EXPECT_EQ(h.node->counters().refutations, 1u);
  EXPECT_EQ(h.node->local_health(), 1u);
  // A death sentence at a higher incarnation is out-bid too.
  h.deliver(ip4(2), {Dead{"self", kEpoch, 5, "a"}});
  EXPECT_EQ(h.node->local().incarnation, 6u);
  EXPECT_EQ(h.node->local().state, MemberState::Alive);
  // Accusations of another life of ours are not ours to answer.
  h.deliver(ip4(2), {Suspect{"self", kEpoch - 1, 50, "a"}});
  EXPECT_EQ(h.node->local().incarnation, 6u);
  // The refutation rides on the next packet.
  h.clear();
  h.deliver(ip4(2), {proto::Ping{1, "self", "a"}});
  bool refuted = false;
  for (auto& a : h.sent<Alive>())
    if (a.name == "self" && a.incarnation == 6) refuted = true;
  EXPECT_TRUE(refuted);
  // An accusation exactly half the range ahead is neither older nor newer than ours; the
  // refutation must still be newer than it, or every holder of it would declare us dead.
  const uint32_t far = h.node->local().incarnation + 0x80000000u;
  h.deliver(ip4(2), {Suspect{"self", kEpoch, far, "a"}});
  EXPECT_TRUE(core::inc_newer(h.node->local().incarnation, far));
}

TEST(Merge, StrangersAreBoundedPerPacketAndInTotal) {
  auto cfg = lan();
  cfg.max_new_members_per_packet = 3;
  cfg.max_members = 5;
  Harness h(cfg);
  std::vector<proto::Message> msgs;
  for (int i = 0; i < 5; ++i) msgs.push_back(Alive{"n" + std::to_string(i), ip4(10 + i), kEpoch, 1, {}});
  h.deliver(ip4(10), msgs);
  EXPECT_EQ(h.node->table_size(), 3u);
  EXPECT_EQ(h.node->counters().members_refused, 2u);
  h.deliver(ip4(10), msgs);
  // max_members counts this node too.
  EXPECT_EQ(h.node->table_size(), 4u);
  EXPECT_EQ(h.node->members().size(), 5u);
  EXPECT_EQ(h.node->counters().members_refused, 3u);
  msgs = {Alive{"late", ip4(30), kEpoch, 1, {}}};
  h.deliver(ip4(30), msgs);
  EXPECT_EQ(h.node->members().size(), 5u);
  EXPECT_EQ(h.node->counters().members_refused, 4u);
  // A gone entry makes room for a live newcomer.
  h.deliver(ip4(10), {Dead{"n0", kEpoch, 1, "x"}});
  h.deliver(ip4(30), msgs);
  EXPECT_NE(h.node->find("late"), nullptr);
  EXPECT_EQ(h.node->find("n0"), nullptr);
}

TEST(Merge, TableIsWalkedInByteOrderOfNames) {
  Harness h;
  const std::vector<std::string> names = {"zeta", "Alpha", "alpha", "b", "a-1", "a", "\xc3\xa9t\xc3\xa9"};
  uint8_t last = 2;
  for (const auto& n : names) h.add_member(n, last++);
  h.deliver(ip4(2), {Dead{"b", kEpoch + 5, 1, "b"}});  // all states are listed
  std::vector<std::string> walked;
  h.node->for_each_member([&](const core::Member& m) { walked.push_back(m.name); });
  std::vector<std::string> sorted = names;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(walked, sorted);
  auto live = h.node->members();
  ASSERT_EQ(live.size(), names.size());  // this node first, then the live entries
  EXPECT_EQ(live[0].name, "self");
}

TEST(Merge, GoneEntriesLeaveTheTableInTime) {
  Harness h;
  h.add_member("a", 2);
  h.add_member("b", 3);
  h.deliver(ip4(2), {Dead{"a", kEpoch + 5, 1, "a"}});
  h.deliver(ip4(3), {Dead{"b", kEpoch + 5, 1, "x"}});
  uint64_t v = h.node->version();
  h.advance(core::DEAD_RETENTION_NS - 1);
  EXPECT_NE(h.node->find("a"), nullptr);
  EXPECT_NE(h.node->find("b"), nullptr);
  EXPECT_EQ(h.node->version(), v);
  h.advance(2);
  EXPECT_EQ(h.node->find("a"), nullptr);
  EXPECT_EQ(h.node->find("b"), nullptr);
  EXPECT_GT(h.node->version(), v);
}

TEST(Merge, AStaleRecordDoesNotBringBackAMemberThatLeft) {
  // "b" missed the departure of "a" and still holds it alive; its push-pull, well after the
  // departure's gossip is over, must not make "a" a member again.
  Harness h;
  h.add_member("a", 2, 4, kEpoch + 5);
  h.add_member("b", 3);
  h.deliver(ip4(2), {Dead{"a", kEpoch + 5, 4, "a"}});
  h.advance(120 * SEC);
  h.clear();
  proto::State st;
  st.members.push_back({"b", ip4(3), kEpoch + 5, 1, MemberState::Alive, {}});
  st.members.push_back({"a", ip4(2), kEpoch + 5, 4, MemberState::Alive, {}});
  h.frame(core::INBOUND_BIT | 1, {st});
  EXPECT_EQ(h.node->find("a")->state, MemberState::Left);
  EXPECT_TRUE(h.events_of<core::event::MemberJoined>().empty());
  // The answer carries no metadata for members that are gone.
  h.deliver(ip4(3), {Alive{"b", ip4(3), kEpoch + 5, 2, proto::encode_tags({{"k", "v"}})}});
  h.deliver(ip4(3), {Dead{"b", kEpoch + 5, 2, "x"}});
  auto frames = h.transmits<core::transmit::Frame>();
  ASSERT_EQ(frames.size(), 1u);
  h.clear();
  h.frame(core::INBOUND_BIT | 2, {st});
  frames = h.transmits<core::transmit::Frame>();
  ASSERT_EQ(frames.size(), 1u);
  auto msgs = h.decode(core::Transmit{frames[0]});
  ASSERT_EQ(msgs.size(), 1u);
  for (const auto& r : std::get<proto::State>(msgs[0]).members)
    if (r.name == "b") {
      EXPECT_EQ(r.state, MemberState::Dead);
      EXPECT_TRUE(r.meta.empty());
    }
}

}  // namespace
}  // namespace vennock::test
