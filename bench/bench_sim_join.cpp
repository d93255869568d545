// How completely a join spreads: clusters of the lan preset formed through one seed, either
// one node after another (each started once the previous one's join completed) or all at
// once, with and without datagram loss. Prints, per size, order and loss rate, the share of
// starts in which some member still lacks another member 2 s (lossless) or 5 s (under loss)
// after the last join completed, and the datagrams and bytes each member sends per probe
// period during the joins (from the first join to that moment) and at rest (the 10 s from
// 20 s after it). Not run in CI.
//
//   bench_sim_join [starts=10000] [first seed=1] [sizes=3 5 8 16 64]
#include <cstdio>
#include <cstdlib>

#include "sim_bench.hpp"

using namespace vennock;
using namespace vennock::bench;

namespace {

enum class Order { OneByOne, AllAtOnce };

struct Load {
  uint64_t datagrams = 0, bytes = 0;
  double member_periods = 0;
  double datagrams_per() const { return member_periods > 0 ? static_cast<double>(datagrams) / member_periods : 0; }
  double bytes_per() const { return member_periods > 0 ? static_cast<double>(bytes) / member_periods : 0; }
};

struct Row {
  uint64_t starts = 0, incomplete = 0;
  Load joining, rest;
  std::vector<uint64_t> failed_seeds;
};

bool complete(Sim& sim, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (sim.node(i).members().size() != n) return false;
  return true;
}

// Starts n nodes through node 0 and returns when the last join has completed.
void start(Sim& sim, size_t n, Order order, const core::Config& cfg) {
  auto joined = [&](size_t i, CommandId id) { return [&sim, i, id] { return sim.outcome(i, id).has_value(); }; };
  if (order == Order::OneByOne) {
    sim.add(cfg, member_name(0));
    sim.run_for(1 * MS);
    for (size_t i = 1; i < n; ++i) {
      sim.add(cfg, member_name(i));
      CommandId id = sim.command(i, core::command::Join{{Sim::addr_of(0)}});
      sim.run_until_pred(joined(i, id), 60 * SEC, 1 * MS);
    }
    return;
  }
  for (size_t i = 0; i < n; ++i) sim.add(cfg, member_name(i));
  sim.run_for(1 * MS);
  std::vector<CommandId> ids(n);
  for (size_t i = 1; i < n; ++i) ids[i] = sim.command(i, core::command::Join{{Sim::addr_of(0)}});
  sim.run_until_pred(
      [&] {
        for (size_t i = 1; i < n; ++i)
          if (!sim.outcome(i, ids[i])) return false;
        return true;
      },
      60 * SEC, 1 * MS);
}

void one_start(size_t n, Order order, double loss, uint64_t seed, Row& row) {
  Sim sim(seed, NetParams{1 * MS, 1 * MS, loss});
  core::Config cfg;
  Load* counting = &row.joining;
  sim.drop_datagram = [&](size_t, size_t, const Bytes& packet) {
    if (counting) {
      ++counting->datagrams;
      counting->bytes += packet.size();
    }
    return false;
  };
  const uint64_t t0 = sim.now();
  start(sim, n, order, cfg);
  sim.run_for(loss > 0 ? 5 * SEC : 2 * SEC);
  const double period = static_cast<double>(cfg.probe_interval.as_nanos());
  row.joining.member_periods += static_cast<double>(n) * static_cast<double>(sim.now() - t0) / period;
  ++row.starts;
  if (!complete(sim, n)) {
    ++row.incomplete;
    if (row.failed_seeds.size() < 4) row.failed_seeds.push_back(seed);
  }
  counting = nullptr;
  sim.run_for(20 * SEC);
  counting = &row.rest;
  sim.run_for(10 * SEC);
  row.rest.member_periods += static_cast<double>(n) * 10 * SEC / period;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const uint64_t starts = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000;
  const uint64_t first_seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
  std::vector<size_t> sizes;
  for (int k = 3; k < argc; ++k) sizes.push_back(std::strtoull(argv[k], nullptr, 10));
  if (sizes.empty()) sizes = {3, 5, 8, 16, 64};
  std::printf("joins through one seed, lan preset; lacking: starts in which some member lacks another\n");
  std::printf("2 s (no loss) / 5 s (5%% loss) after the last join; load per member per probe period\n");
  std::printf("%4s | %-11s | %4s | %6s | %8s %9s | %14s %14s | %14s %14s | %s\n", "n", "order", "loss", "starts",
              "lacking", "share", "joins: dgrams", "bytes", "rest: dgrams", "bytes", "first lacking seeds");
  for (size_t n : sizes)
    for (Order order : {Order::OneByOne, Order::AllAtOnce})
      for (double loss : {0.0, 0.05}) {
        Row row;
        for (uint64_t k = 0; k < starts; ++k) one_start(n, order, loss, first_seed + k, row);
        std::string seeds;
        for (uint64_t s : row.failed_seeds) seeds += std::to_string(s) + " ";
        std::printf("%4zu | %-11s | %3.0f%% | %6llu | %8llu %9.5f | %14.2f %14.0f | %14.2f %14.0f | %s\n", n,
                    order == Order::OneByOne ? "one by one" : "all at once", loss * 100,
                    (unsigned long long)row.starts, (unsigned long long)row.incomplete,
                    static_cast<double>(row.incomplete) / static_cast<double>(std::max<uint64_t>(1, row.starts)),
                    row.joining.datagrams_per(), row.joining.bytes_per(), row.rest.datagrams_per(),
                    row.rest.bytes_per(), seeds.c_str());
      }
  return 0;
}
