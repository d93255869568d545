// Suspicion in simulated clusters: what a holder of a suspicion does with news of a newer
// incarnation, how long it keeps checking the suspect, whose word shortens its timer, and who
// may declare a death.
#include <set>

#include "core/helpers.hpp"

namespace vennock::test {
namespace {

using proto::Alive;
using proto::Suspect;

core::Config quiet_lan() {
  auto cfg = lan();
  cfg.tcp_fallback_ping = false;
  cfg.push_pull_interval = core::Duration{};  // no States: the suspect's news comes by datagram only
  return cfg;
}

TEST(Suspicion, ASuspicionAtANewerIncarnationStartsAfresh) {
  // Node 1 holds a suspicion of node 5 and misses every copy of its refutation. 20 s later it
  // hears node 5 suspected again, at the refuted incarnation: that is a new suspicion, with its
  // own start and its own accusers, not the old one with a deadline long past.
  Sim sim(41, NetParams{});
  const size_t n = 8, x = 1, m = 5;
  auto cfg = quiet_lan();
  cfg.buddy_system = false;  // node 1's checks of node 5 would go unanswered here, and confirm
  ASSERT_TRUE(form_cluster(sim, n, cfg));
  const uint64_t epoch = sim.node(m).local().epoch;
  sim.drop_datagram = [&](size_t, size_t to, const Bytes& p) { return to == x && carries_alive_after(p, node_name(m), 0); };
  inject(sim, x, 3, {Suspect{node_name(m), epoch, 0, node_name(3)}});
  sim.run_for(20 * SEC);
  ASSERT_EQ(state_at(sim, x, node_name(m)), MemberState::Suspect);
  ASSERT_EQ(state_at(sim, 0, node_name(m)), MemberState::Alive);
  inject(sim, x, 4, {Suspect{node_name(m), epoch, 1, node_name(4)}});
  sim.run_for(bounds(cfg, n).suspicion_min - 100 * MS);
  EXPECT_EQ(state_at(sim, x, node_name(m)), MemberState::Suspect);
}

TEST(Suspicion, HoldersKeepCheckingTheSuspectForTheWholeSuspicion) {
  // Node 1 misses every gossiped copy of node 5's refutation, and the answers to its first
  // direct checks of node 5 are lost too. It must keep checking for as long as it suspects:
  // with one accuser (the longest timeout) and with enough confirmations to bring the timeout
  // down to its shortest.
  struct Case {
    size_t accusers, answers_lost;
  };
  for (Case c : {Case{1, 3}, Case{4, 2}}) {
    Sim sim(42, NetParams{});
    const size_t n = 64, x = 1, m = 5;
    ASSERT_TRUE(form_cluster(sim, n, quiet_lan()));
    const std::string name = node_name(m);
    std::set<uint32_t> checks;  // sequence numbers of node 1's Pings to node 5
    size_t answers = 0;
    sim.drop_datagram = [&](size_t from, size_t to, const Bytes& p) {
      auto msgs = plain_messages(p);
      if (from == x && to == m)
        for (const auto& msg : msgs)
          if (auto* ping = std::get_if<proto::Ping>(&msg)) checks.insert(ping->seq);
      if (to != x || !carries_alive_after(p, name, 0)) return false;
      for (const auto& msg : msgs)
        if (auto* ack = std::get_if<proto::Ack>(&msg); ack && from == m && checks.count(ack->seq))
          return ++answers <= c.answers_lost;
      return true;
    };
    const uint64_t epoch = sim.node(m).local().epoch;
    for (size_t k = 0; k < c.accusers; ++k) inject(sim, x, 10 + k, {Suspect{name, epoch, 0, node_name(10 + k)}});
    sim.run_for(6 * bounds(quiet_lan(), n).suspicion_min + 2 * SEC);
    EXPECT_EQ(state_at(sim, x, name), MemberState::Alive) << c.accusers;
    EXPECT_GT(answers, c.answers_lost) << c.accusers;
  }
}

TEST(Suspicion, ANodeThatHearsNobodyKillsNobody) {
  // Node 3's outbound link is cut for two minutes: it hears everyone (until they hold it
  // dead), nobody hears it. Its probes all fail, with its local health saturated; the others
  // are right to declare it dead. But it must not declare the others dead, neither while cut
  // off nor once its verdicts can travel again.
  for (uint64_t seed : {61, 62}) {
    Sim sim(seed, NetParams{});
    const size_t n = 16, x = 3;
    ASSERT_TRUE(form_cluster(sim, n, lan()));
    size_t deaths = 0;
    sim.on_event = [&](size_t, const Event& e) {
      if (auto* d = std::get_if<core::event::MemberDead>(&e); d && d->member.name != node_name(x)) ++deaths;
    };
    for (size_t j = 0; j < n; ++j) sim.block(x, j);
    sim.run_for(120 * SEC);
    EXPECT_GT(sim.node(x).local_health(), 0u);
    sim.heal();
    ASSERT_TRUE(sim.run_until_pred([&] { return all_know(sim, n); }, 120 * SEC));
    EXPECT_EQ(deaths, 0u) << seed;
  }
  // Silence because the others are gone is another matter: survivors of a crash of most of the
  // cluster (their probes failing, their helpers' Nacks missing) declare the crashed dead.
  Sim sim(63, NetParams{});
  const size_t n = 8;
  ASSERT_TRUE(form_cluster(sim, n, lan()));
  for (size_t i = 2; i < n; ++i) sim.crash(i);
  EXPECT_TRUE(sim.run_until_pred([&] { return sim.node(0).members().size() == 2 && sim.node(1).members().size() == 2; },
                                 120 * SEC));
}

TEST(Suspicion, ADeadEntryTakesANewerDeathSoAStaleAliveCannotRaiseIt) {
  // Node 5 refuted at incarnation 1 and was then declared dead at it; node 1 still held it
  // dead at incarnation 0 when it heard that. A stale Alive at incarnation 1 (the refutation,
  // still travelling) must not bring back a member known dead at incarnation 1.
  Sim sim(43, NetParams{});
  const size_t n = 6, x = 1, m = 5;
  ASSERT_TRUE(form_cluster(sim, n, quiet_lan()));
  const core::Member mm = sim.node(m).local();
  sim.crash(m);
  ASSERT_TRUE(sim.run_until_pred([&] { return state_at(sim, x, mm.name) == MemberState::Dead; }, 60 * SEC));
  ASSERT_EQ(sim.node(x).find(mm.name)->incarnation, 0u);
  inject(sim, x, 2, {proto::Dead{mm.name, mm.epoch, 1, node_name(2)}});
  sim.run_for(SEC);
  inject(sim, x, 3, {Alive{mm.name, mm.addr.on_wire(), mm.epoch, 1, {}}});
  sim.run_for(SEC);
  EXPECT_EQ(state_at(sim, x, mm.name), MemberState::Dead);
}

TEST(Suspicion, PushPullPartnersAreNoAccusers) {
  // Node 1 suspects node 5 on one accuser's word and misses the refutation. Three partners
  // whose States list node 5 as suspect are passing on a suspicion, not accusing: the timer
  // must not shrink toward its shortest because of them.
  Sim sim(44, NetParams{});
  const size_t n = 8, x = 1, m = 5;
  ASSERT_TRUE(form_cluster(sim, n, quiet_lan()));
  const core::Member mm = sim.node(m).local();
  sim.drop_datagram = [&](size_t, size_t to, const Bytes& p) { return to == x && carries_alive_after(p, mm.name, 0); };
  inject(sim, x, 2, {Suspect{mm.name, mm.epoch, 0, node_name(2)}});
  for (size_t p : {3, 4, 6}) {
    const core::Member& partner = sim.node(p).local();
    proto::State st;
    st.members.push_back({partner.name, partner.addr.on_wire(), partner.epoch, partner.incarnation,
                          MemberState::Alive, {}});
    st.members.push_back({mm.name, mm.addr.on_wire(), mm.epoch, 0, MemberState::Suspect, {}});
    sim.inject_frame(x, plain_packet({st}));
  }
  // With the partners counted the timeout came down to Min; one confirmation (this node's
  // own failed probe of the suspect) brings it to 3.5 Min.
  sim.run_for(3 * bounds(quiet_lan(), n).suspicion_min);
  EXPECT_EQ(state_at(sim, x, mm.name), MemberState::Suspect);
}

}  // namespace
}  // namespace vennock::test
