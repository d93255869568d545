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
  bool merged = sim.run_until_pred([&] { return all_know(sim, n); }, 300 * SEC, SEC);
  std::printf("merged after %.1f s\n", static_cast<double>(sim.now() - healed_at) / SEC);
  ASSERT_TRUE(merged);
}

TEST(Partition, StreamsStallAcrossACutAndArriveLateButInOrderUnderLoss) {
  // A stream meets what a datagram meets: across a cut it stalls and ends only on the
  // engine's own timeout (not at once, as a refused connection would), and under loss its
  // frames come late, in order.
  Sim sim(22, NetParams{});
  const auto cfg = lan();
  sim.add(cfg, "a");
  sim.add(cfg, "b");
  sim.block(1, 0);
  auto join = sim.command(0, core::command::Join{{Sim::addr_of(1)}});
  sim.run_for(cfg.tcp_timeout.as_nanos() - SEC);
  EXPECT_FALSE(sim.outcome(0, join).has_value());
  sim.run_for(cfg.join_retries * (cfg.tcp_timeout.as_nanos() + cfg.probe_interval.as_nanos()));
  auto failed = sim.outcome(0, join);
  ASSERT_TRUE(failed.has_value());
  EXPECT_TRUE(std::holds_alternative<core::CommandError>(*failed));

  sim.heal();
  sim.net().loss = 0.3;
  sim.command(0, core::command::Join{{Sim::addr_of(1)}});
  ASSERT_TRUE(sim.run_until_pred([&] { return sim.node(0).members().size() == 2; }, 60 * SEC));
  std::vector<uint8_t> got;
  sim.on_event = [&](size_t i, const Event& e) {
    if (auto* m = std::get_if<core::event::UserMessage>(&e); m && i == 1) got.push_back(m->data.front());
  };
  // The first message takes a stream of its own; the other 19 wait for it to end and share
  // the next one, on which they must keep their order.
  for (uint8_t k = 0; k < 20; ++k) sim.command(0, core::command::Send{"b", 0, Bytes(4000, k)});
  sim.run_for(30 * SEC);
  ASSERT_EQ(got.size(), 20u);
  std::erase(got, 0);
  for (uint8_t k = 0; k < 19; ++k) EXPECT_EQ(got[k], k + 1);
}

}  // namespace
}  // namespace vennock::test
