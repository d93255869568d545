// Whole clusters: forming, restarts, and how their members spread their exchanges.
#include <array>

#include "core/helpers.hpp"

namespace vennock::test {
namespace {

TEST(Cluster, ARestartWhoseClockSteppedBackBecomesVisibleWithinTheDetectionBound) {
  // Node 5 restarts after its wall clock stepped back 30 s, so its new life starts at an
  // earlier epoch than the one the cluster knows: at once (the old entry still alive
  // everywhere) or 20 s later (suspected or dead by then). It must become a visible member,
  // and stale news of the old life must not bring that one back. In a cluster of eight, and of
  // two (where a single member's probes tell the new life that it answers at its address).
  struct Case {
    size_t n, m;
    uint64_t delay;
  };
  for (Case c : {Case{8, 5, 0}, Case{8, 5, 20 * SEC}, Case{2, 1, 0}, Case{2, 1, 20 * SEC}}) {
    const uint64_t delay = c.delay;
    SCOPED_TRACE(c.n);
    Sim sim(51, NetParams{});
    const size_t n = c.n, m = c.m;
    ASSERT_TRUE(form_cluster(sim, n, lan()));
    const std::string name = node_name(m);
    const core::Member old = sim.node(m).local();
    sim.crash(m);
    sim.run_for(delay);
    sim.restart(m, -30'000);
    ASSERT_LT(sim.node(m).local().epoch, old.epoch);
    sim.command(m, core::command::Join{{Sim::addr_of(0)}});
    // Probe round, suspicion spread, longest suspicion timeout.
    const uint64_t bound = bounds(lan(), n).detect_all;
    auto visible = [&] {
      const uint64_t epoch = sim.node(m).local().epoch;
      for (size_t i = 0; i < n; ++i) {
        if (i == m) continue;
        auto* e = sim.node(i).find(name);
        if (!e || e->epoch != epoch || e->state != MemberState::Alive) return false;
      }
      return epoch > old.epoch;
    };
    ASSERT_TRUE(sim.run_until_pred(visible, bound)) << delay;
    inject(sim, n > 2 ? 2 : 0, n > 2 ? 3 : 0, {proto::Alive{name, old.addr.on_wire(), old.epoch, old.incarnation + 9, {}},
                       proto::Dead{name, old.epoch, old.incarnation + 9, node_name(3)}});
    sim.run_for(5 * SEC);
    EXPECT_TRUE(visible()) << delay;
    // A message to the life the cluster now knows arrives.
    size_t got = 0;
    sim.on_event = [&](size_t i, const Event& e) { got += i == m && std::holds_alternative<core::event::UserMessage>(e); };
    const size_t from = m == 1 ? 0 : 1;
    sim.command(from, core::command::Send{name, sim.node(from).find(name)->epoch, Bytes{1}});
    sim.run_for(SEC);
    EXPECT_EQ(got, 1u) << delay;
  }
}

TEST(Cluster, PushPullsOfMembersStartedTogetherSpreadOverTheStretchedInterval) {
  // 100 members started together: push-pull runs every 3 intervals. If each member's first
  // exchange fell within the first (unstretched) interval, all of them would crowd into one
  // third of every stretched period.
  Sim sim(52, NetParams{});
  const size_t n = 100;
  auto cfg = lan();
  cfg.push_pull_interval = core::Duration::from_secs(2);
  const uint64_t period = 6 * SEC;
  ASSERT_TRUE(form_cluster(sim, n, cfg));
  auto exchanges = [&] {
    uint64_t k = 0;
    for (size_t i = 0; i < n; ++i) k += sim.node(i).counters().push_pulls;
    return k;
  };
  sim.run_until(3 * period);
  std::array<uint64_t, 6> bins{};
  uint64_t last = exchanges(), total = 0;
  while (sim.now() < 13 * period) {
    sim.run_for(100 * MS);
    uint64_t k = exchanges();
    bins[(sim.now() - 1) % period * bins.size() / period] += k - last;
    total += k - last;
    last = k;
  }
  ASSERT_GT(total, 8 * n);
  // Spread at random, each sixth of the period holds about a sixth of the members' phases
  // (16.7 of 100, give or take 4); crowded into one plain interval, four sixths hold none.
  for (uint64_t b : bins) {
    EXPECT_GT(b, total / 20);
    EXPECT_LT(b, total / 3);
  }
}

}  // namespace
}  // namespace vennock::test
