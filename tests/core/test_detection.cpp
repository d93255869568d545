// Failure detection and dissemination at the scale the lan preset is made for.
#include <cmath>

#include "core/helpers.hpp"

namespace vennock::test {
namespace {

TEST(Detection, CrashedMemberOf128IsDeclaredDeadByAll) {
  Sim sim(11, NetParams{});
  const size_t n = 128;
  ASSERT_TRUE(form_cluster(sim, n, lan()));
  sim.run_for(5 * SEC);
  uint64_t first_dead = 0;
  const size_t victim = 77;
  sim.on_event = [&](size_t, const Event& e) {
    if (auto* d = std::get_if<core::event::MemberDead>(&e); d && d->member.name == node_name(victim) && !first_dead)
      first_dead = sim.now();
  };
  uint64_t crash_at = sim.now();
  sim.crash(victim);
  bool all = sim.run_until_pred(
      [&] {
        for (size_t i = 0; i < n; ++i)
          if (i != victim && state_at(sim, i, node_name(victim)) != MemberState::Dead) return false;
        return true;
      },
      120 * SEC);
  ASSERT_TRUE(all);
  double first = static_cast<double>(first_dead - crash_at) / SEC;
  double every = static_cast<double>(sim.now() - crash_at) / SEC;
  std::printf("first dead after %.1f s, all after %.1f s\n", first, every);
}

}  // namespace
}  // namespace vennock::test

namespace vennock::test {
namespace {

TEST(Detection, JoinThroughOneSeedReachesAll) {
  Sim sim(12, NetParams{});
  const size_t n = 128;
  ASSERT_TRUE(form_cluster(sim, n, lan()));
  sim.run_for(5 * SEC);
  size_t j = sim.add(lan(), "newcomer");
  uint64_t t0 = sim.now();
  sim.command(j, core::command::Join{{Sim::addr_of(5)}});
  bool all = sim.run_until_pred(
      [&] {
        for (size_t i = 0; i < n; ++i)
          if (state_at(sim, i, "newcomer") != MemberState::Alive) return false;
        return sim.node(j).members().size() == n + 1;
      },
      60 * SEC, 10 * MS);
  ASSERT_TRUE(all);
  std::printf("join known to all after %.2f s\n", static_cast<double>(sim.now() - t0) / SEC);
}

TEST(Detection, NoFalseDeathUnderFivePercentLoss) {
  Sim sim(13, NetParams{1 * MS, 2 * MS, 0.0});
  const size_t n = 48;
  auto cfg = lan();
  cfg.tcp_fallback_ping = false;  // datagrams only, so the loss reaches the suspicion machinery
  ASSERT_TRUE(form_cluster(sim, n, cfg));
  sim.net().loss = 0.05;
  uint64_t deaths = 0, suspicions = 0;
  sim.on_event = [&](size_t, const Event& e) {
    deaths += std::holds_alternative<core::event::MemberDead>(e);
    suspicions += std::holds_alternative<core::event::MemberSuspect>(e);
  };
  sim.run_for(1800 * SEC);
  std::printf("suspicions %llu deaths %llu calls %llu dgrams %llu now %llu\n", (unsigned long long)suspicions, (unsigned long long)deaths, (unsigned long long)sim.engine_calls, (unsigned long long)sim.datagrams_delivered, (unsigned long long)sim.now());
  EXPECT_EQ(deaths, 0u);
  for (size_t i = 0; i < n; ++i) EXPECT_EQ(sim.node(i).members().size(), n);
}

}  // namespace
}  // namespace vennock::test
