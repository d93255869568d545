// Forged news about a live member that never reaches the member itself: a departure sent to
// everyone else, a later life of it at another address, and later lives at its own address
// forged again and again.
#include "core/helpers.hpp"

namespace vennock::test {
namespace {

using proto::Alive;

// Whether every other node that is up holds member `m` alive at the epoch it holds itself.
bool held_by_all(Sim& sim, size_t m) {
  const core::Member& me = sim.node(m).local();
  for (size_t i = 0; i < sim.size(); ++i) {
    if (i == m || !sim.up(i)) continue;
    const core::Member* e = sim.node(i).find(me.name);
    if (!e || e->epoch != me.epoch || e->state != MemberState::Alive) return false;
  }
  return true;
}

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
    EXPECT_TRUE(sim.run_until_pred([&] { return held_by_all(sim, m); }, SEC, 10 * MS));
  }
}

}  // namespace
}  // namespace vennock::test
