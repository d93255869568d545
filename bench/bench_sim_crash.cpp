// Detection of a crash: how long until the first member declares a crashed member dead, and
// until every member knows, at 16, 128 and 512 members of the lan preset on a lossless
// network. Each run is a fresh cluster whose members start out knowing each other. Not run
// in CI.
//
//   bench_sim_crash [runs per size=100] [wall seconds per size=300] [sizes=16 128 512]
#include <cstdio>
#include <cstdlib>

#include "sim_bench.hpp"

using namespace vennock;
using namespace vennock::bench;

namespace {

// One crash in a cluster of n; false when it was not detected by everyone within 10 minutes.
bool one_run(size_t n, uint64_t seed, std::vector<double>& first, std::vector<double>& all) {
  Sim sim(seed, NetParams{1 * MS, 1 * MS, 0.0});
  core::Config cfg;
  cfg.max_new_members_per_packet = n + 16;
  form_by_state(sim, n, cfg);
  sim.run_for(30 * SEC);
  const size_t victim = n / 2;
  const std::string name = member_name(victim);
  uint64_t t0 = sim.now(), first_at = 0;
  sim.on_event = [&](size_t, const core::Event& e) {
    if (auto* d = std::get_if<core::event::MemberDead>(&e); d && d->member.name == name && !first_at)
      first_at = sim.now();
  };
  sim.crash(victim);
  bool done = sim.run_until_pred(
      [&] {
        for (size_t i = 0; i < n; ++i) {
          if (i == victim) continue;
          auto* m = sim.node(i).find(name);
          if (!m || m->state != core::MemberState::Dead) return false;
        }
        return true;
      },
      600 * SEC, 10 * MS);
  if (!done || !first_at) return false;
  first.push_back(static_cast<double>(first_at - t0) / SEC);
  all.push_back(static_cast<double>(sim.now() - t0) / SEC);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const int runs = argc > 1 ? std::atoi(argv[1]) : 100;
  const double budget = argc > 2 ? std::atof(argv[2]) : 300.0;
  std::vector<size_t> sizes;
  for (int k = 3; k < argc; ++k) sizes.push_back(std::strtoull(argv[k], nullptr, 10));
  if (sizes.empty()) sizes = {16, 128, 512};
  std::printf("crash of one member, lan preset, no loss: seconds after the crash\n");
  std::printf("%7s | %4s | %18s | %18s | %s\n", "members", "runs", "first dead med/p99", "all know med/p99",
              "undetected");
  for (size_t n : sizes) {
    std::vector<double> first, all;
    int missed = 0, done = 0;
    auto t0 = std::chrono::steady_clock::now();
    for (; done < runs && wall_since(t0) < budget; ++done)
      if (!one_run(n, 9000 + static_cast<uint64_t>(done), first, all)) ++missed;
    std::printf("%7zu | %4d | %8.2f %8.2f | %8.2f %8.2f | %d\n", n, done, pct(first, 0.5), pct(first, 0.99),
                pct(all, 0.5), pct(all, 0.99), missed);
  }
  return 0;
}
