// Forged news about a live member that never reaches the member itself: a departure sent to
// everyone else, a later life of it at another address, and later lives at its own address
// forged again and again.
#include "core/helpers.hpp"
#include "core/impl.hpp"

namespace vennock::test {
namespace {

using proto::Alive;

TEST(Forgeries, ADepartureSentAroundItsSubjectIsRefutedWithinASecond) {
  // Every member but member 5 hears that it left. They stop probing it, so it must hear of
  // the departure from their gossip, refute it, and be held alive by all again within a
  // second (before, only its next push-pull told it, 5 to 35 s later).
  for (uint64_t seed : {71, 72, 73}) {
    SCOPED_TRACE(seed);
    Sim sim(seed, NetParams{});
    const size_t n = 8, m = 5;
    ASSERT_TRUE(form_cluster(sim, n, lan()));
    const core::Member me = sim.node(m).local();
    for (size_t i = 0; i < n; ++i)
      if (i != m) inject(sim, i, 2, {proto::Dead{me.name, me.epoch, me.incarnation, me.name}});
    sim.run_for(10 * MS);
    ASSERT_EQ(state_at(sim, 0, me.name), MemberState::Left);
    EXPECT_TRUE(sim.run_until_pred([&] { return visible(sim, m); }, SEC, 10 * MS));
  }
}

TEST(Forgeries, ADepartureSentAroundItsSubjectReachesItFromItsFewTellers) {
  // Members held left are no gossip targets: a forged departure reaches its subject on the
  // answers to its probes, and from the few members ranked to tell it. With its probes lost
  // (so nothing answers them), the tellers alone must tell it, in a cluster of 64 as of 8.
  for (size_t n : {8, 64}) {
    SCOPED_TRACE(n);
    Sim sim(74, NetParams{});
    const size_t m = 5;
    ASSERT_TRUE(form_cluster(sim, n, lan()));
    sim.run_for(5 * SEC);
    const core::Member me = sim.node(m).local();
    sim.drop_datagram = [&](size_t from, size_t, const Bytes& packet) {
      if (from != m) return false;
      for (const auto& msg : plain_messages(packet))
        if (std::holds_alternative<proto::Ping>(msg)) return true;
      return false;
    };
    for (size_t i = 0; i < n; ++i)
      if (i != m) inject(sim, i, 2, {proto::Dead{me.name, me.epoch, me.incarnation, me.name}});
    sim.run_for(10 * MS);
    ASSERT_EQ(state_at(sim, 0, me.name), MemberState::Left);
    EXPECT_TRUE(sim.run_until_pred([&] { return visible(sim, m); }, 2 * SEC, 10 * MS));
  }
}

// A plaintext frame on a new inbound stream of node `to`, as a stranger would open one.
void inject_state(Sim& sim, size_t to, const proto::State& st) { sim.inject_frame(to, plain_packet({st})); }

TEST(Forgeries, ALaterLifeAtAnotherAddressIsReportedWhicheverMessageCarriesIt) {
  // Every member but member 5 hears of a later life of it at an address where nobody answers:
  // in an Alive, in a push-pull State among another member's records, or as the record that
  // heads a join. They take it as a restart, whichever brought it. Member 5 must hear of the
  // claim and report it (before, it did only when some packet it got happened to carry the
  // news), and be held again once that life has died and been gone for dead_reclaim.
  const SocketAddr nowhere = SocketAddr::v4({10, 200, 0, 1}, 7946);
  for (int carrier = 0; carrier < 3; ++carrier) {
    SCOPED_TRACE(carrier);
    Sim sim(76, NetParams{});
    const size_t n = 8, m = 5;
    ASSERT_TRUE(form_cluster(sim, n, lan()));
    const core::Member me = sim.node(m).local(), two = sim.node(2).local();
    const proto::MemberRecord claim{me.name, nowhere, me.epoch + 1, 0, MemberState::Alive, {}};
    proto::State st{carrier == 2, {}};
    if (carrier == 1) st.members.push_back({two.name, two.addr, two.epoch, two.incarnation, two.state, two.meta});
    st.members.push_back(claim);
    size_t reported = 0;
    sim.on_event = [&](size_t i, const Event& ev) {
      auto* c = std::get_if<core::event::NameConflict>(&ev);
      reported += i == m && c && c->other == nowhere;
    };
    for (size_t i = 0; i < n; ++i) {
      if (i == m) continue;
      if (carrier == 0)
        inject(sim, i, 2, {Alive{claim.name, claim.addr, claim.epoch, 0, {}}});
      else
        inject_state(sim, i, st);
    }
    sim.run_for(SEC);
    EXPECT_EQ(state_at(sim, 0, me.name), MemberState::Alive);
    EXPECT_EQ(sim.node(0).find(me.name)->epoch, claim.epoch);
    EXPECT_EQ(reported, 1u);
    const uint64_t bound =
        bounds(lan(), n).detect_all + lan().dead_reclaim.as_nanos() + lan().push_pull_interval.as_nanos();
    EXPECT_TRUE(sim.run_until_pred([&] { return visible(sim, m); }, bound));
    sim.on_event = nullptr;
  }
}

TEST(Forgeries, LaterLivesForgedEverySecondDoNotMakeTheMemberLeaveAndComeBack) {
  // For 40 s, every member hears each second of a later life of member 5 at its own address,
  // each later than the last. Member 5 may disown one; had it disowned each, every member
  // would take each forged life and then its departure, showing member 5 joined and left every
  // second and holding it left much of the time. Once the forger stops, the cluster must hold
  // member 5's own life again within the wait before a further disowning and the reclaim.
  Sim sim(74, NetParams{});
  const size_t n = 8, m = 5;
  ASSERT_TRUE(form_cluster(sim, n, lan()));
  const core::Member first = sim.node(m).local();
  size_t departures = 0, seconds_left = 0;
  sim.on_event = [&](size_t i, const Event& ev) {
    auto* l = std::get_if<core::event::MemberLeft>(&ev);
    departures += i != m && l && l->member.name == first.name;
  };
  for (uint64_t s = 0; s < 40; ++s) {
    for (size_t i = 0; i < n; ++i)
      inject(sim, i, 2, {Alive{first.name, first.addr.on_wire(), first.epoch + 1000 + 2 * s, 0, {}}});
    for (int k = 0; k < 10; ++k) {
      sim.run_for(100 * MS);
      bool left = false;
      for (size_t i = 0; i < n; ++i) left = left || (i != m && state_at(sim, i, first.name) == MemberState::Left);
      seconds_left += left;
    }
  }
  sim.on_event = nullptr;
  std::printf("departures at the peers %zu, tenths of a second held left by some %zu\n", departures, seconds_left);
  EXPECT_LE(departures, n - 1);
  EXPECT_LE(seconds_left, 20u);
  const uint64_t end = sim.now();
  const uint64_t bound = core::DISOWN_WAIT_NS + lan().dead_reclaim.as_nanos() + bounds(lan(), n).detect_all;
  EXPECT_TRUE(sim.run_until_pred([&] { return visible(sim, m); }, bound));
  std::printf("held by all %.1f s after the last forgery\n", static_cast<double>(sim.now() - end) / SEC);
}

}  // namespace
}  // namespace vennock::test
