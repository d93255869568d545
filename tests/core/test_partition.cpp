// Partitions: the halves declare each other dead, and find each other again after healing.
#include "core/helpers.hpp"

namespace vennock::test {
namespace {

TEST(Partition, HalvesMergeAfterHealing) {
  Sim sim(21, NetParams{});
  const size_t n = 24;
  ASSERT_TRUE(form_cluster(sim, n, lan()));
  std::vector<size_t> a, b;
  for (size_t i = 0; i < n; ++i) (i % 2 ? a : b).push_back(i);
  sim.partition(a, b);
  // Long enough for every member to declare the other half dead.
  bool split = sim.run_until_pred(
      [&] {
        for (size_t i : a)
          for (size_t j : b)
            if (state_at(sim, i, node_name(j)) != MemberState::Dead || state_at(sim, j, node_name(i)) != MemberState::Dead)
              return false;
        return true;
      },
      300 * SEC, SEC);
  ASSERT_TRUE(split);
  sim.run_for(60 * SEC);
  uint64_t healed_at = sim.now();
  sim.heal();
  bool merged = sim.run_until_pred([&] {
    for (size_t i = 0; i < n; ++i)
      if (sim.node(i).members().size() != n) return false;
    return true;
  }, 300 * SEC, SEC);
  std::printf("merged after %.1f s\n", static_cast<double>(sim.now() - healed_at) / SEC);
  ASSERT_TRUE(merged);
}

}  // namespace
}  // namespace vennock::test
