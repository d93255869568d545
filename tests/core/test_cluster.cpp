#include "core/helpers.hpp"

namespace vennock::test {
namespace {

TEST(Cluster, FiveNodesFormThroughOneSeed) {
  Sim sim(1, NetParams{});
  ASSERT_TRUE(form_cluster(sim, 5, lan()));
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(sim.node(i).members().size(), 5u);
}

}  // namespace
}  // namespace vennock::test
