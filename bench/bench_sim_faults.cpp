// Random faults with clocks far apart, then every clock set right: how soon the cluster is
// whole again. Prints the runs not converged 500 s after the fix and those never within an
// hour, and the time to converge (median, p99, slowest); the figures back the clock sections
// of docs/protocol.md. Not run in CI.
//
//   bench_sim_faults [runs=1200] [clock_bound_h=30] [step_h=26] [first_seed=1]
//
// Each run: 3 to 8 plain-text members of the lan preset, each started with its clock off by up
// to clock_bound_h either way, joining through members 0 and 1 (its seeds; the runtime's rejoin
// through those not held live comes every minute, as it does). For 10 minutes, a fault every 5
// to 40 s: a running member's clock stepped by up to step_h either way (its clock kept within
// the bound), a member restarted (its clock stepped too, or not) and joining its seeds, or a
// member crashed (restarted at the quiet). Then a minute's quiet, every clock is set right at
// once, and the run goes on until every member holds every other alive at its own epoch. With
// TELL set in the environment, a run not converged within the hour prints what keeps it apart.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/table.hpp"
#include "sim_bench.hpp"

using namespace vennock;
using namespace vennock::bench;

namespace {

constexpr int64_t HOUR_MS = 3600 * 1000;

bool converged(Sim& sim) {
  for (size_t i = 0; i < sim.size(); ++i)
    for (size_t j = 0; j < sim.size(); ++j) {
      if (i == j) continue;
      const core::Member* e = sim.node(i).find(sim.name(j));
      if (!e || e->epoch != sim.node(j).local().epoch || e->state != core::MemberState::Alive) return false;
    }
  return true;
}

// The runtime's rejoin: the seeds (members 0 and 1) that node i does not hold live.
void rejoin(Sim& sim, size_t i) {
  std::vector<SocketAddr> seeds;
  for (size_t s : {size_t{0}, size_t{1}}) {
    if (s == i) continue;
    const core::Member* e = sim.node(i).find(sim.name(s));
    if (!e || !core::is_live(e->state)) seeds.push_back(Sim::addr_of(s));
  }
  if (!seeds.empty() && sim.node(i).local().state != core::MemberState::Left)
    sim.command(i, core::command::Join{seeds});
}

// A clock step for node i of up to `step` either way that keeps its offset within `bound`.
int64_t step_within(core::Rng& rng, Sim& sim, size_t i, int64_t bound, int64_t step) {
  const int64_t off = sim.clock_offset(i);
  const int64_t lo = std::max(-step, -bound - off), hi = std::min(step, bound - off);
  if (hi <= lo) return 0;
  return lo + static_cast<int64_t>(rng.below(static_cast<uint64_t>(hi - lo) + 1));
}

// What keeps a run from converging: each member some other does not hold alive at its own
// epoch, and what that one holds instead (epochs as milliseconds from the simulated start).
void tell(Sim& sim) {
  const uint64_t base = sim.wall_ms(0) - sim.now() / MS;
  auto rel = [&](uint64_t e) { return static_cast<long long>(e - base); };
  for (size_t i = 0; i < sim.size(); ++i)
    for (size_t j = 0; j < sim.size(); ++j) {
      if (i == j) continue;
      const core::Member* e = sim.node(i).find(sim.name(j));
      const core::Member& own = sim.node(j).local();
      if (e && e->epoch == own.epoch && e->state == core::MemberState::Alive) continue;
      std::printf("    %zu holds %zu: %s epoch %lld state %d; its own epoch %lld (inc %u)\n", i, j, e ? "" : "(none)",
                  e ? rel(e->epoch) : 0LL, e ? static_cast<int>(e->state) : -1, rel(own.epoch), own.incarnation);
    }
}

// Seconds from the fix until converged, at most `limit` (then limit + 1).
int one_run(uint64_t seed, int64_t bound, int64_t step, int limit) {
  core::Rng rng(seed * 0x9e3779b97f4a7c15ULL + 1);
  Sim sim(seed, NetParams{});
  const size_t n = 3 + rng.below(6);
  for (size_t i = 0; i < n; ++i) {
    sim.add(core::Config{}, member_name(i));
    sim.restart(i, -bound + static_cast<int64_t>(rng.below(static_cast<uint64_t>(2 * bound) + 1)));
  }
  for (size_t i = 0; i < n; ++i) {
    rejoin(sim, i);
    sim.run_for(2 * MS);
  }
  uint64_t next_fault = sim.now() + (5 + rng.below(36)) * SEC, next_rejoin = sim.now() + 60 * SEC;
  const uint64_t quiet = sim.now() + 600 * SEC;
  auto tick = [&] {
    sim.run_for(SEC);
    if (sim.now() >= next_rejoin) {
      next_rejoin += 60 * SEC;
      for (size_t i = 0; i < n; ++i)
        if (sim.up(i)) rejoin(sim, i);
    }
  };
  while (sim.now() < quiet) {
    tick();
    if (sim.now() < next_fault) continue;
    next_fault = sim.now() + (5 + rng.below(36)) * SEC;
    const size_t i = rng.below(n);
    const uint64_t kind = rng.below(20);
    if (!sim.up(i)) {
      sim.restart(i, step_within(rng, sim, i, bound, step));
      rejoin(sim, i);
    } else if (kind < 9) {
      sim.step_clock(i, step_within(rng, sim, i, bound, step));
    } else if (kind < 16) {
      sim.restart(i, kind < 12 ? 0 : step_within(rng, sim, i, bound, step));
      rejoin(sim, i);
    } else {
      sim.crash(i);
    }
  }
  for (size_t i = 0; i < n; ++i)
    if (!sim.up(i)) {
      sim.restart(i);
      rejoin(sim, i);
    }
  for (int s = 0; s < 60; ++s) tick();
  for (size_t i = 0; i < n; ++i) sim.step_clock(i, -sim.clock_offset(i));
  for (int s = 0; s <= limit; ++s) {
    if (converged(sim)) return s;
    tick();
  }
  if (std::getenv("TELL")) tell(sim);
  return limit + 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const uint64_t runs = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1200;
  const int64_t bound = (argc > 2 ? std::strtoll(argv[2], nullptr, 10) : 30) * HOUR_MS;
  const int64_t step = (argc > 3 ? std::strtoll(argv[3], nullptr, 10) : 26) * HOUR_MS;
  const uint64_t first = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 1;
  const int limit = 3600;
  std::vector<double> times;
  size_t late = 0, never = 0;
  for (uint64_t seed = first; seed < first + runs; ++seed) {
    const int s = one_run(seed, bound, step, limit);
    late += s > 500;
    never += s > limit;
    if (s > 500) std::printf("  seed %llu: %s%d s\n", static_cast<unsigned long long>(seed), s > limit ? "more than " : "", std::min(s, limit));
    times.push_back(static_cast<double>(s));
  }
  std::printf("clocks within +-%lld h, steps up to %lld h, %llu runs: not converged 500 s after the fix %zu, never "
              "within an hour %zu; converged after %.0f / %.0f / %.0f s (median / p99 / slowest)\n",
              static_cast<long long>(bound / HOUR_MS), static_cast<long long>(step / HOUR_MS),
              static_cast<unsigned long long>(runs), late, never, pct(times, 0.5), pct(times, 0.99), pct(times, 1.0));
  return 0;
}
