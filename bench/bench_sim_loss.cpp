// False deaths under datagram loss: 64 members of the lan preset, 5 %, 10 % and 20 % of all
// datagrams lost, nobody crashed, so every death is a healthy member declared dead. Prints,
// per loss rate, the death events (one per member that saw it) and the episodes (members
// declared dead by anyone, counted once per life and incarnation) per cluster-hour, and the
// suspicion events. Not run in CI.
//
//   bench_sim_loss [cluster-hours=24] [wall seconds per row=300] [fallback=0] [loss %=5 10 20]
//
// Each row runs independent one-hour clusters until it has its cluster-hours or its wall time
// is spent, and says how many it ran. With fallback=1 the probes also try a stream ping,
// whose streams suffer the same loss (a stream stalls while its segments are resent).
#include <cstdio>
#include <cstdlib>
#include <set>
#include <tuple>

#include "sim_bench.hpp"

using namespace vennock;
using namespace vennock::bench;

namespace {

struct Row {
  double hours = 0;
  uint64_t deaths = 0, episodes = 0, suspicions = 0, missing_at_end = 0;
};

// One cluster-hour at `loss`; adds its figures to `row`.
void one_hour(double loss, bool fallback, uint64_t seed, Row& row) {
  const size_t n = 64;
  Sim sim(seed, NetParams{1 * MS, 2 * MS, 0.0});
  core::Config cfg;
  cfg.tcp_fallback_ping = fallback;
  form_by_joins(sim, n, cfg);
  sim.net().loss = loss;
  std::set<std::tuple<std::string, uint64_t, uint32_t>> episodes;
  sim.on_event = [&](size_t, const core::Event& e) {
    if (auto* d = std::get_if<core::event::MemberDead>(&e)) {
      ++row.deaths;
      episodes.insert({d->member.name, d->member.epoch, d->member.incarnation});
    } else if (std::holds_alternative<core::event::MemberSuspect>(e)) {
      ++row.suspicions;
    }
  };
  sim.run_for(3600 * SEC);
  row.episodes += episodes.size();
  row.hours += 1;
  for (size_t i = 0; i < n; ++i) row.missing_at_end += n - sim.node(i).members().size();
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const double want = argc > 1 ? std::atof(argv[1]) : 24.0;
  const double budget = argc > 2 ? std::atof(argv[2]) : 300.0;
  const bool fallback = argc > 3 && std::atoi(argv[3]) != 0;
  std::vector<double> rates;
  for (int k = 4; k < argc; ++k) rates.push_back(std::atof(argv[k]) / 100.0);
  if (rates.empty()) rates = {0.05, 0.10, 0.20};
  std::printf("64 members, lan preset, stream fallback %s; per cluster-hour\n", fallback ? "on" : "off");
  std::printf("%5s | %6s | %12s %12s %12s | %s\n", "loss", "hours", "death events", "episodes", "suspicions",
              "members missing at the end (sum over nodes)");
  for (double loss : rates) {
    Row row;
    auto t0 = std::chrono::steady_clock::now();
    for (uint64_t k = 0; row.hours < want && wall_since(t0) < budget; ++k) one_hour(loss, fallback, 7000 + k, row);
    double h = std::max(row.hours, 1.0);
    std::printf("%4.0f%% | %6.0f | %12.2f %12.2f %12.0f | %llu   (%llu death events, %llu episodes in all)\n",
                loss * 100, row.hours, static_cast<double>(row.deaths) / h, static_cast<double>(row.episodes) / h,
                static_cast<double>(row.suspicions) / h, (unsigned long long)row.missing_at_end,
                (unsigned long long)row.deaths, (unsigned long long)row.episodes);
  }
  return 0;
}
