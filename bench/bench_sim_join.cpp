// How completely a join spreads: clusters of the lan preset formed through one seed (node 0)
// or each node through a random member started before it (as with a registry or a DNS seed
// list), either one node after another (each started once the previous one's join
// completed), all at once, or (through a random member only) started at random over 2 s,
// with and without datagram loss. Prints, per row, the share of starts in which some member
// still lacks another member 2 s (lossless) or 5 s (under loss) after the last join
// completed, and the datagrams and bytes each member sends per probe period during the joins
// (from the first join to that moment) and at rest (the 10 s from 20 s after it), and the bytes
// of stream frames (joins and push-pulls) in the same spans. Not run in CI.
//
//   bench_sim_join [--through=one|random] [--order=one|all|spread] [--loss=0|5]
//                  [starts=10000] [first seed=1] [sizes=3 5 8 16 64]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim_bench.hpp"

using namespace vennock;
using namespace vennock::bench;

namespace {

enum class Through { OneSeed, RandomEarlier };
enum class Order { OneByOne, AllAtOnce, Spread };

const char* through_name(Through t) { return t == Through::OneSeed ? "one seed" : "random"; }
const char* order_name(Order o) {
  switch (o) {
    case Order::OneByOne:
      return "one by one";
    case Order::AllAtOnce:
      return "all at once";
    case Order::Spread:
      return "over 2 s";
  }
  return "";
}

struct Load {
  // Datagrams a member sends to its own address (the self-check of a prober that asks
  // helpers) never reach the network: they are counted apart.
  uint64_t datagrams = 0, bytes = 0, stream_bytes = 0, to_self = 0;
  double member_periods = 0;
  double per(uint64_t x) const { return member_periods > 0 ? static_cast<double>(x) / member_periods : 0; }
  double datagrams_per() const { return per(datagrams); }
  double bytes_per() const { return per(bytes); }
  double stream_bytes_per() const { return per(stream_bytes); }
  double to_self_per() const { return per(to_self); }
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

// The member node i joins through: node 0, or one started before it, drawn from the start's seed.
struct SeedChoice {
  Through through;
  core::Rng rng;
  size_t of(size_t i) { return through == Through::OneSeed ? 0 : static_cast<size_t>(rng.below(i)); }
};

// Starts n nodes and returns when the last join has completed.
void start(Sim& sim, size_t n, Order order, SeedChoice& seeds, const core::Config& cfg) {
  std::vector<CommandId> ids(n);
  auto joined = [&](size_t from, size_t to) {
    return [&sim, &ids, from, to] {
      for (size_t i = from; i < to; ++i)
        if (!sim.outcome(i, ids[i])) return false;
      return true;
    };
  };
  auto join = [&](size_t i) { ids[i] = sim.command(i, core::command::Join{{Sim::addr_of(seeds.of(i))}}); };
  switch (order) {
    case Order::OneByOne:
      sim.add(cfg, member_name(0));
      sim.run_for(1 * MS);
      for (size_t i = 1; i < n; ++i) {
        sim.add(cfg, member_name(i));
        join(i);
        sim.run_until_pred(joined(i, i + 1), 60 * SEC, 1 * MS);
      }
      return;
    case Order::AllAtOnce:
      for (size_t i = 0; i < n; ++i) sim.add(cfg, member_name(i));
      sim.run_for(1 * MS);
      for (size_t i = 1; i < n; ++i) join(i);
      break;
    case Order::Spread: {
      // Each node starts (and joins at once) at a random moment of 2 s.
      std::vector<uint64_t> at(n, 0);
      for (size_t i = 1; i < n; ++i) at[i] = 1 * MS + seeds.rng.below(2 * SEC);
      std::sort(at.begin(), at.end());
      const uint64_t t0 = sim.now();
      sim.add(cfg, member_name(0));
      for (size_t i = 1; i < n; ++i) {
        sim.run_until(t0 + at[i]);
        sim.add(cfg, member_name(i));
        join(i);
      }
      break;
    }
  }
  sim.run_until_pred(joined(1, n), 60 * SEC, 1 * MS);
}

void one_start(size_t n, Through through, Order order, double loss, uint64_t seed, Row& row) {
  Sim sim(seed, NetParams{1 * MS, 1 * MS, loss});
  core::Config cfg;
  SeedChoice seeds{through, core::Rng(seed * 0x9e3779b97f4a7c15ULL + 17)};
  Load* counting = &row.joining;
  sim.drop_datagram = [&](size_t from, size_t to, const Bytes& packet) {
    if (counting && from == to) {
      ++counting->to_self;
    } else if (counting) {
      ++counting->datagrams;
      counting->bytes += packet.size();
    }
    return false;
  };
  const uint64_t t0 = sim.now();
  start(sim, n, order, seeds, cfg);
  sim.run_for(loss > 0 ? 5 * SEC : 2 * SEC);
  const double period = static_cast<double>(cfg.probe_interval.as_nanos());
  row.joining.member_periods += static_cast<double>(n) * static_cast<double>(sim.now() - t0) / period;
  row.joining.stream_bytes += sim.frame_bytes;
  ++row.starts;
  if (!complete(sim, n)) {
    ++row.incomplete;
    if (row.failed_seeds.size() < 4) row.failed_seeds.push_back(seed);
  }
  counting = nullptr;
  sim.run_for(20 * SEC);
  counting = &row.rest;
  const uint64_t frames_before = sim.frame_bytes;
  sim.run_for(10 * SEC);
  row.rest.stream_bytes += sim.frame_bytes - frames_before;
  row.rest.member_periods += static_cast<double>(n) * 10 * SEC / period;
}

struct Options {
  std::vector<Through> through{Through::OneSeed, Through::RandomEarlier};
  std::vector<Order> orders{Order::OneByOne, Order::AllAtOnce, Order::Spread};
  std::vector<double> losses{0.0, 0.05};
  uint64_t starts = 10000, first_seed = 1;
  std::vector<size_t> sizes;
};

// "--name=value" options first, then the positional arguments.
bool parse(int argc, char** argv, Options& o) {
  int pos = 0;
  for (int k = 1; k < argc; ++k) {
    std::string a = argv[k];
    if (a == "--through=one") o.through = {Through::OneSeed};
    else if (a == "--through=random") o.through = {Through::RandomEarlier};
    else if (a == "--order=one") o.orders = {Order::OneByOne};
    else if (a == "--order=all") o.orders = {Order::AllAtOnce};
    else if (a == "--order=spread") o.orders = {Order::Spread};
    else if (a == "--loss=0") o.losses = {0.0};
    else if (a == "--loss=5") o.losses = {0.05};
    else if (a.rfind("--", 0) == 0) return false;
    else if (pos == 0 && ++pos) o.starts = std::strtoull(a.c_str(), nullptr, 10);
    else if (pos == 1 && ++pos) o.first_seed = std::strtoull(a.c_str(), nullptr, 10);
    else o.sizes.push_back(std::strtoull(a.c_str(), nullptr, 10));
  }
  if (o.sizes.empty()) o.sizes = {3, 5, 8, 16, 64};
  return true;
}

void run_row(const Options& o, size_t n, Through through, Order order, double loss) {
  Row row;
  auto t0 = std::chrono::steady_clock::now();
  for (uint64_t k = 0; k < o.starts; ++k) one_start(n, through, order, loss, o.first_seed + k, row);
  std::string seeds;
  for (uint64_t s : row.failed_seeds) seeds += std::to_string(s) + " ";
  std::printf("%4zu | %-8s | %-11s | %3.0f%% | %6llu | %8llu %9.5f | %8.2f %8.0f %8.0f %5.2f | %8.2f %8.0f %8.0f %5.2f | %7.1f | %s\n",
              n, through_name(through), order_name(order), loss * 100, (unsigned long long)row.starts,
              (unsigned long long)row.incomplete,
              static_cast<double>(row.incomplete) / static_cast<double>(std::max<uint64_t>(1, row.starts)),
              row.joining.datagrams_per(), row.joining.bytes_per(), row.joining.stream_bytes_per(),
              row.joining.to_self_per(), row.rest.datagrams_per(), row.rest.bytes_per(), row.rest.stream_bytes_per(),
              row.rest.to_self_per(), wall_since(t0),
              seeds.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Options o;
  if (!parse(argc, argv, o)) {
    std::fprintf(stderr, "usage: bench_sim_join [--through=one|random] [--order=one|all|spread] [--loss=0|5] "
                         "[starts] [first seed] [sizes...]\n");
    return 2;
  }
  std::printf("joins through one seed or a random member started earlier, lan preset; lacking: starts in which\n");
  std::printf("some member lacks another 2 s (no loss) / 5 s (5%% loss) after the last join; load per member per\n");
  std::printf("probe period (datagrams, their bytes, the bytes of stream frames, and datagrams to its own address,\n");
  std::printf("which never reach the network); wall: seconds this row took\n");
  std::printf("%4s | %-8s | %-11s | %4s | %6s | %8s %9s | %32s | %32s | %7s | %s\n", "n", "through", "order", "loss",
              "starts", "lacking", "share", "joining: dgrams bytes strm self", "at rest: dgrams bytes strm self", "wall",
              "first lacking seeds");
  for (size_t n : o.sizes)
    for (Through through : o.through)
      for (Order order : o.orders) {
        // Through one seed, nodes started at random moments join as one by one does.
        if (through == Through::OneSeed && order == Order::Spread) continue;
        for (double loss : o.losses) run_row(o, n, through, order, loss);
      }
  return 0;
}
