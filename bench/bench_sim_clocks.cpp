// Wall clocks put wrong and then right, in the simulator: how long a node is cut off, what it
// says meanwhile, and how soon it is a member again once its clock is right. Prints one line
// per scenario; the figures back the clock sections of docs/protocol.md. Not run in CI.
//
//   bench_sim_clocks [seeds=5]
//
// A day off: plain text, 8 members of the lan preset; member 5 restarts within the detection
// time with its clock 25 hours behind (or ahead) and joins through member 0 (no rejoin: the
// runtime's comes every minute, when it has seeds); 10 minutes later its clock is put right.
// Prints the seconds from then until it holds every member and every member holds it (at most
// 600), and the clock-skew reports it made while its clock was off.
// A wrong step: encrypted, 8 members; member 5's clock steps 5 minutes ahead for 2 minutes,
// then back. Prints the death events of healthy members, the reports, and the seconds from
// the step back until member 5 is held by all and holds all again.
// Restarts: clusters of 2 and 3, the last member restarted with its clock stepped (0, 30 s
// back, 1 h back, 23 h back, 30 s ahead), at once or 20 s after it crashed: how long until
// every other member holds the new life, and whether any declared it dead or held it left.
#include <cstdio>
#include <cstdlib>

#include "sim_bench.hpp"

using namespace vennock;
using namespace vennock::bench;

namespace {

constexpr int64_t HOUR_MS = 3600 * 1000;

// Whether node m holds every other member alive at its own epoch, and is held so by each.
bool member_again(Sim& sim, size_t m) {
  for (size_t j = 0; j < sim.size(); ++j) {
    if (j == m) continue;
    const core::Member* here = sim.node(m).find(sim.name(j));
    const core::Member* there = sim.node(j).find(sim.name(m));
    if (!here || here->epoch != sim.node(j).local().epoch || here->state != core::MemberState::Alive) return false;
    if (!there || there->epoch != sim.node(m).local().epoch || there->state != core::MemberState::Alive) return false;
  }
  return true;
}

// Seconds until member_again(m), at most `limit` (then limit + 1).
int until_member(Sim& sim, size_t m, int limit) {
  for (int s = 0; s <= limit; ++s) {
    if (member_again(sim, m)) return s;
    sim.run_for(SEC);
  }
  return limit + 1;
}

void day_off(uint64_t seeds, int64_t step_ms) {
  const size_t n = 8, m = 5;
  int worst = 0, recovered = 0;
  uint64_t reports = 0;
  for (uint64_t seed = 1; seed <= seeds; ++seed) {
    Sim sim(seed, NetParams{});
    form_by_joins(sim, n, core::Config{});
    sim.on_clock_skew = [&](size_t i, const core::ClockSkew&) { reports += i == m; };
    sim.restart(m, step_ms);
    sim.command(m, core::command::Join{{Sim::addr_of(0)}});
    sim.run_for(600 * SEC);
    sim.on_clock_skew = nullptr;
    sim.step_clock(m, -step_ms);
    const int s = until_member(sim, m, 600);
    recovered += s <= 600;
    worst = std::max(worst, s);
  }
  std::printf("plain text, a restart with the clock 25 h %s, put right 10 min later: member again in %d of %llu "
              "seeds, the slowest after %s%d s; clock skews it reported while off: %.1f a seed\n",
              step_ms < 0 ? "behind" : "ahead", recovered, static_cast<unsigned long long>(seeds),
              worst > 600 ? "more than " : "", std::min(worst, 600), static_cast<double>(reports) / seeds);
}

void wrong_step(uint64_t seeds) {
  const size_t n = 8, m = 5;
  int worst = 0;
  uint64_t deaths = 0, reports = 0;
  for (uint64_t seed = 1; seed <= seeds; ++seed) {
    Sim sim(seed, NetParams{});
    core::Config cfg;
    std::array<uint8_t, 32> k{};
    k.fill(7);
    cfg.keys = std::vector<proto::Key>{proto::Key::from_array(k)};
    form_by_joins(sim, n, cfg);
    sim.on_event = [&](size_t, const core::Event& ev) { deaths += std::holds_alternative<core::event::MemberDead>(ev); };
    sim.on_clock_skew = [&](size_t, const core::ClockSkew&) { ++reports; };
    sim.step_clock(m, 5 * 60 * 1000);
    sim.run_for(120 * SEC);
    sim.step_clock(m, -5 * 60 * 1000);
    worst = std::max(worst, until_member(sim, m, 600));
  }
  std::printf("encrypted, a running member's clock 5 min ahead for 2 min: death events %.1f a seed, clock skews "
              "reported %.1f a seed (all members), member again %s%d s after its clock was put right (slowest)\n",
              static_cast<double>(deaths) / seeds, static_cast<double>(reports) / seeds, worst > 600 ? "more than " : "",
              std::min(worst, 600));
}

// Restarts in clusters of 2 and 3, the clock stepped by `step_ms` at the restart, at once or
// 20 s after the crash: the slowest time until every other member holds the new life, and the
// MemberDead and MemberLeft events of the name after the restart (neither should come: the new
// life is alive, and disowning it would be a departure).
void restarts(uint64_t seeds) {
  for (size_t n : {2, 3}) {
    for (int64_t step : {int64_t{0}, int64_t{-30'000}, -HOUR_MS, -23 * HOUR_MS, int64_t{30'000}}) {
      double slowest = 0;
      uint64_t dead = 0, left = 0, never = 0;
      for (uint64_t seed = 1; seed <= seeds; ++seed) {
        for (uint64_t delay : {uint64_t{0}, 20 * SEC}) {
          Sim sim(seed, NetParams{});
          form_by_joins(sim, n, core::Config{});
          const size_t m = n - 1;
          sim.crash(m);
          sim.run_for(delay);
          sim.restart(m, step);
          sim.on_event = [&](size_t i, const core::Event& ev) {
            if (i == m) return;
            if (auto* d = std::get_if<core::event::MemberDead>(&ev); d && d->member.name == sim.name(m)) ++dead;
            if (auto* l = std::get_if<core::event::MemberLeft>(&ev); l && l->member.name == sim.name(m)) ++left;
          };
          sim.command(m, core::command::Join{{Sim::addr_of(0)}});
          const uint64_t t0 = sim.now();
          auto held = [&] {
            for (size_t j = 0; j + 1 < n; ++j) {
              const core::Member* e = sim.node(j).find(sim.name(m));
              if (!e || e->epoch != sim.node(m).local().epoch || e->state != core::MemberState::Alive) return false;
            }
            return true;
          };
          if (!sim.run_until_pred(held, 120 * SEC, 10 * MS)) ++never;
          slowest = std::max(slowest, static_cast<double>(sim.now() - t0) / SEC);
          sim.run_for(120 * SEC);
        }
      }
      std::printf("a restart in a cluster of %zu, clock stepped %+lld s: held by all after %.2f s at the slowest "
                  "(%llu of %llu never within 120 s); MemberDead %llu, MemberLeft %llu of the name after it\n",
                  n, static_cast<long long>(step / 1000), slowest, static_cast<unsigned long long>(never),
                  static_cast<unsigned long long>(2 * seeds), static_cast<unsigned long long>(dead),
                  static_cast<unsigned long long>(left));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const uint64_t seeds = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 5;
  day_off(seeds, -25 * HOUR_MS);
  day_off(seeds, 25 * HOUR_MS);
  wrong_step(seeds);
  restarts(seeds);
  return 0;
}
