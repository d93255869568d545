// Local-health refinements on and off, in the style of the local-health paper: 100 members,
// a few of them slow (stalled for D seconds at a time, repeatedly). Prints false suspicions
// and false deaths of healthy members per simulated hour, then the time to detect a member
// that truly crashed. Not run in CI: it prints figures.
//
//   bench_sim_health [hours=1] [seeds=3] [stall seconds=10]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "sim/sim.hpp"

using namespace vennock;
using namespace vennock::sim;

namespace {

// Which refinements are on: bit 0 local health, 1 nacks, 2 dynamic suspicion, 3 buddy system.
core::Config make_cfg(unsigned mask) {
  core::Config c;
  c.probe_interval = core::Duration::from_millis(1000);
  c.probe_timeout = core::Duration::from_millis(500);
  c.awareness_max = 8;
  c.expected_confirmations = 3;
  c.tcp_fallback_ping = false;  // the paper's protocol has none; keep it out of both arms
  c.local_health = mask & 1;
  c.nacks = mask & 2;
  c.dynamic_suspicion = mask & 4;
  c.buddy_system = mask & 8;
  c.max_new_members_per_packet = 4096;
  return c;
}

std::string nm(size_t i) { return "m" + std::to_string(i); }

void form(Sim& sim, size_t n, const core::Config& cfg) {
  for (size_t i = 0; i < n; ++i) sim.add(cfg, nm(i));
  for (size_t i = 1; i < n; ++i) {
    sim.command(i, core::command::Join{{Sim::addr_of(0)}});
    sim.run_for(2 * MS);
  }
  sim.run_for(20 * SEC);
}

struct Fp {
  double susp_healthy = 0, dead_healthy = 0, dead_slow = 0;
};

Fp false_positives(unsigned on, size_t slow, uint64_t stall, uint64_t duration, uint64_t seed) {
  Sim sim(seed, NetParams{1 * MS, 1 * MS, 0.0});
  const size_t n = 100;
  form(sim, n, make_cfg(on));
  std::set<std::string> slow_names;
  for (size_t k = 0; k < slow; ++k) {
    size_t i = 1 + k * (n / std::max<size_t>(slow, 1));
    slow_names.insert(nm(i));
    // Stalled `stall` out of every 2 × stall, starting at different times.
    sim.set_stall(i, Stall{sim.now() + k * 700 * MS, 2 * stall, stall});
  }
  Fp fp;
  sim.on_event = [&](size_t, const core::Event& e) {
    if (auto* s = std::get_if<core::event::MemberSuspect>(&e)) {
      if (!slow_names.count(s->member.name)) fp.susp_healthy += 1;
    } else if (auto* d = std::get_if<core::event::MemberDead>(&e)) {
      if (slow_names.count(d->member.name))
        fp.dead_slow += 1;
      else
        fp.dead_healthy += 1;
    }
  };
  sim.run_for(duration);
  double hours = static_cast<double>(duration) / (3600.0 * SEC);
  fp.susp_healthy /= hours;
  fp.dead_healthy /= hours;
  fp.dead_slow /= hours;
  return fp;
}

struct Det {
  std::vector<double> first, all;
};

void detect(unsigned on, size_t slow, uint64_t stall, uint64_t seed, Det& out) {
  Sim sim(seed, NetParams{1 * MS, 1 * MS, 0.0});
  const size_t n = 100;
  form(sim, n, make_cfg(on));
  for (size_t k = 0; k < slow; ++k) {
    size_t i = 1 + k * (n / std::max<size_t>(slow, 1));
    sim.set_stall(i, Stall{sim.now() + k * 700 * MS, 2 * stall, stall});
  }
  sim.run_for(10 * SEC);
  const size_t victim = 50;
  uint64_t t0 = sim.now(), first = 0;
  sim.on_event = [&](size_t, const core::Event& e) {
    if (auto* d = std::get_if<core::event::MemberDead>(&e); d && d->member.name == nm(victim) && !first)
      first = sim.now();
  };
  sim.crash(victim);
  sim.run_until_pred(
      [&] {
        for (size_t i = 0; i < n; ++i) {
          if (i == victim) continue;
          auto* m = sim.node(i).find(nm(victim));
          if (!m || m->state != core::MemberState::Dead) return false;
        }
        return true;
      },
      600 * SEC, 50 * MS);
  out.first.push_back(static_cast<double>(first - t0) / SEC);
  out.all.push_back(static_cast<double>(sim.now() - t0) / SEC);
}

double pct(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5));
  return v[i];
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  double hours = argc > 1 ? std::atof(argv[1]) : 1.0;
  int seeds = argc > 2 ? std::atoi(argv[2]) : 3;
  uint64_t duration = static_cast<uint64_t>(hours * 3600.0 * SEC);
  const uint64_t stall = static_cast<uint64_t>((argc > 3 ? std::atof(argv[3]) : 10.0) * SEC);
  std::printf("100 members, slow members stalled %.0f s of every %.0f s; per simulated hour, summed over %d seeds\n",
              static_cast<double>(stall) / SEC, 2.0 * static_cast<double>(stall) / SEC, seeds);
  std::printf("%5s | %28s | %28s\n", "slow", "refinements off: susp/dead/slow-dead", "refinements on: susp/dead/slow-dead");
  for (size_t slow : {1, 2, 4, 8, 16}) {
    Fp off{}, on{};
    for (int s = 0; s < seeds; ++s) {
      Fp a = false_positives(0, slow, stall, duration, 100 + s);
      Fp b = false_positives(15, slow, stall, duration, 100 + s);
      off.susp_healthy += a.susp_healthy, off.dead_healthy += a.dead_healthy, off.dead_slow += a.dead_slow;
      on.susp_healthy += b.susp_healthy, on.dead_healthy += b.dead_healthy, on.dead_slow += b.dead_slow;
    }
    std::printf("%5zu | %10.0f %8.0f %8.0f | %10.0f %8.0f %8.0f\n", slow, off.susp_healthy, off.dead_healthy,
                off.dead_slow, on.susp_healthy, on.dead_healthy, on.dead_slow);
  }
  Det off, on;
  for (int s = 0; s < 3 * seeds; ++s) {
    detect(0, 4, stall, 500 + s, off);
    detect(15, 4, stall, 500 + s, on);
  }
  std::printf("true crash (4 slow members), %zu runs: first dead median/p99, all dead median/p99\n", off.first.size());
  std::printf("  off: %.1f / %.1f s, %.1f / %.1f s\n", pct(off.first, 0.5), pct(off.first, 0.99), pct(off.all, 0.5),
              pct(off.all, 0.99));
  std::printf("  on:  %.1f / %.1f s, %.1f / %.1f s\n", pct(on.first, 0.5), pct(on.first, 0.99), pct(on.all, 0.5),
              pct(on.all, 0.99));
  // Each refinement alone: false deaths of healthy members per hour.
  std::printf("each refinement alone: false deaths of healthy members per simulated hour (susp in brackets)\n");
  std::printf("%5s | %16s %16s %16s %16s %16s %16s\n", "slow", "none", "local_health", "nacks", "dynamic", "buddy", "all");
  for (size_t slow : {1, 4, 16}) {
    std::printf("%5zu |", slow);
    for (unsigned mask : {0u, 1u, 2u, 4u, 8u, 15u}) {
      Fp sum{};
      for (int s = 0; s < seeds; ++s) {
        Fp a = false_positives(mask, slow, stall, duration, 100 + s);
        sum.susp_healthy += a.susp_healthy, sum.dead_healthy += a.dead_healthy;
      }
      std::printf(" %6.0f (%7.0f)", sum.dead_healthy, sum.susp_healthy);
    }
    std::printf("\n");
  }
  return 0;
}
