// Survivors, lan preset, no loss: how long the members left take to declare their crashed
// peers dead, against the detection bound of docs/protocol.md. Not run in CI.
//
//   bench_sim_survivor [runs per row=20] [observer hours=1]
//
// Mass crash: n members formed by joins; all but one (or half of them) crash at once. Prints,
// per row, the seconds until every survivor holds every crashed member dead (median and
// slowest run), the runs over the bound, and the highest local health a survivor reached.
// Then the lone survivor of 2, 8 and 32 members, with its own address reachable from itself
// and not (behind a NAT that does not hairpin).
// Observer: one member; peers come one after another, 0 to 15 s apart, each joining it,
// running half a second and crashing. Prints the crashes it had not declared dead within the
// bound for the members it then listed.
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "sim_bench.hpp"

using namespace vennock;
using namespace vennock::bench;

namespace {

// The bound of docs/protocol.md (11 T + G + Max) for n members.
uint64_t detect_bound(const core::Config& c, size_t n) {
  double T = static_cast<double>(c.probe_interval.as_nanos());
  double smin = c.suspicion_mult * std::max(1.0, std::log10(static_cast<double>(n))) * T;
  uint32_t limit = c.retransmit_mult * static_cast<uint32_t>(std::ceil(std::log10(static_cast<double>(n) + 1)));
  limit = std::max(limit, std::min(static_cast<uint32_t>(n - 1), 4 * c.retransmit_mult));
  return 11 * c.probe_interval.as_nanos() + limit * c.gossip_interval.as_nanos() +
         static_cast<uint64_t>(smin * c.suspicion_max_mult);
}

bool holds_dead(Sim& sim, size_t i, const std::string& name) {
  const core::Member* m = sim.node(i).find(name);
  return m && m->state == core::MemberState::Dead;
}

struct Crash {
  double seconds = 0;
  uint32_t max_health = 0;
};

// n members; `crashed` of them (never the survivor picked by the seed) crash at once. Without
// `hairpin`, what the survivors send to their own addresses never comes back to them (a NAT or
// a port mapping that does not hairpin).
Crash mass_crash(size_t n, size_t crashed, uint64_t seed, bool hairpin = true) {
  Sim sim(seed, NetParams{1 * MS, 1 * MS, 0.0});
  core::Config cfg;
  form_by_joins(sim, n, cfg);
  sim.run_for(10 * SEC + seed % 1000 * MS);
  const size_t first = seed % n;
  for (size_t i = 0; i < n; ++i) sim.set_hairpin(i, hairpin);
  std::vector<bool> down(n, false);
  for (size_t k = 1; k <= crashed; ++k) {
    const size_t i = (first + k) % n;
    down[i] = true;
    sim.crash(i);
  }
  const uint64_t t0 = sim.now();
  Crash c;
  sim.run_until_pred(
      [&] {
        bool done = true;
        for (size_t s = 0; s < n; ++s) {
          if (down[s]) continue;
          c.max_health = std::max(c.max_health, sim.node(s).local_health());
          for (size_t i = 0; i < n && done; ++i)
            if (down[i] && !holds_dead(sim, s, member_name(i))) done = false;
        }
        return done;
      },
      600 * SEC, 10 * MS);
  c.seconds = static_cast<double>(sim.now() - t0) / SEC;
  return c;
}

struct Observed {
  int crashes = 0, late = 0, never = 0;
  uint32_t max_health = 0;
};

Observed observer(double hours, uint64_t seed) {
  Sim sim(seed, NetParams{1 * MS, 1 * MS, 0.0});
  core::Config cfg;
  sim.add(cfg, "observer");
  core::Rng rng(seed);
  struct Pending {
    std::string name;
    uint64_t due;
  };
  std::vector<Pending> pending;
  Observed o;
  const uint64_t end = static_cast<uint64_t>(hours * 3600.0 * SEC);
  // Settles the crashes declared dead, and those whose bound passed by `now`.
  auto settle = [&](uint64_t now) {
    std::erase_if(pending, [&](const Pending& p) {
      if (holds_dead(sim, 0, p.name)) return true;
      if (p.due > now) return false;
      ++o.late;
      return true;
    });
  };
  for (int k = 0; sim.now() < end; ++k) {
    const size_t j = sim.add(cfg, "peer-" + std::to_string(k));
    sim.command(j, core::command::Join{{Sim::addr_of(0)}});
    sim.run_for(500 * MS);
    const size_t listed = sim.node(0).members().size() + 1;
    sim.crash(j);
    ++o.crashes;
    pending.push_back({sim.name(j), sim.now() + detect_bound(cfg, listed)});
    const uint64_t next = sim.now() + rng.below(15'000) * MS;
    while (sim.now() < next) {
      sim.run_for(std::min<uint64_t>(100 * MS, next - sim.now()));
      o.max_health = std::max(o.max_health, sim.node(0).local_health());
      settle(sim.now());
    }
  }
  sim.run_for(600 * SEC);
  for (const Pending& p : pending) o.never += !holds_dead(sim, 0, p.name);
  settle(UINT64_MAX);
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const int runs = argc > 1 ? std::atoi(argv[1]) : 20;
  const double hours = argc > 2 ? std::atof(argv[2]) : 1.0;
  core::Config cfg;
  std::printf("mass crash, lan preset: seconds until every survivor holds every crashed member dead\n");
  std::printf("%7s %7s | %4s | %8s %8s | %8s | %s\n", "members", "crashed", "runs", "median", "slowest", "bound",
              "over bound, highest local health");
  auto row = [&](size_t n, size_t crashed, bool hairpin) {
    std::vector<double> t;
    int over = 0;
    uint32_t health = 0;
    const double bound = static_cast<double>(detect_bound(cfg, n)) / SEC;
    for (int r = 0; r < runs; ++r) {
      Crash c = mass_crash(n, crashed, 3100 + static_cast<uint64_t>(r), hairpin);
      t.push_back(c.seconds);
      over += c.seconds > bound;
      health = std::max(health, c.max_health);
    }
    std::printf("%7zu %7zu | %4d | %8.1f %8.1f | %8.1f | %d, %u\n", n, crashed, runs, pct(t, 0.5), pct(t, 1.0), bound,
                over, health);
  };
  const std::pair<size_t, size_t> rows[] = {{8, 7}, {16, 15}, {16, 8}, {32, 31}};
  for (auto [n, crashed] : rows) row(n, crashed, true);
  std::printf("the lone survivor, its own address reachable and not (no hairpinning)\n");
  for (bool hairpin : {true, false}) {
    std::printf("%s\n", hairpin ? "reachable:" : "unreachable:");
    for (size_t n : {2, 8, 32}) row(n, n - 1, hairpin);
  }
  if (hours > 0) {
    Observed o = observer(hours, 3300);
    std::printf("observer, peers 0-15 s apart living 0.5 s, %.1f h: %d crashes, %d not declared dead within the bound "
                "(%d still not 10 minutes after the last), highest local health %u\n",
                hours, o.crashes, o.late, o.never, o.max_health);
  }
  return 0;
}
