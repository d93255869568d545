// Wall clocks put wrong and then right, in the simulator: how long a node is cut off, what it
// says meanwhile, and how soon it is a member again once its clock is right. Prints one line
// per scenario; the figures back the clock sections of docs/protocol.md. Not run in CI.
//
//   bench_sim_clocks [seeds=5] [section=all: day, wrong, restarts, stepped, served, forged, stamps]
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
// Stepped: a running member's clock stepped back 25 hours in clusters of 2 to 32, and put right
// 2 minutes later: whether it gave up its life. Served: the push-pulls that the refusals of a
// life a day ahead cost its node (32 members, one restarted a day ahead; 256 joining through
// member 0, all but it a day behind). Forged: one forged State per member naming a bystander's
// address. Stamps: a node restarted a day ahead and put right, with forged stamps 3 days ahead.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>

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


// How many members other than `m` hold it alive at its own epoch.
size_t holding(Sim& sim, size_t m) {
  size_t k = 0;
  for (size_t j = 0; j < sim.size(); ++j) {
    if (j == m || !sim.up(j)) continue;
    const core::Member* e = sim.node(j).find(sim.name(m));
    k += e && e->epoch == sim.node(m).local().epoch && e->state == core::MemberState::Alive;
  }
  return k;
}

// A running member's clock stepped back 25 hours (a wrong time source, a hand-set clock, an RTC
// reset), watched for 2 minutes, then put right and watched 2 minutes more: in how many seeds
// it gave up its life (its epoch changed, or a peer showed it leave, die or join again), and
// the longest some peer did not hold it alive at its own epoch.
void stepped_back_running(uint64_t seeds) {
  for (size_t n : {2, 3, 5, 8, 16, 32}) {
    size_t dropped = 0;
    double longest = 0;
    for (uint64_t seed = 1; seed <= seeds; ++seed) {
      Sim sim(seed, NetParams{});
      form_by_joins(sim, n, core::Config{});
      const size_t m = n - 1;
      const uint64_t epoch = sim.node(m).local().epoch;
      size_t events = 0;
      sim.on_event = [&](size_t i, const core::Event& ev) {
        if (i == m) return;
        std::visit(
            [&](const auto& e) {
              using E = std::decay_t<decltype(e)>;
              if constexpr (std::is_same_v<E, core::event::MemberLeft> || std::is_same_v<E, core::event::MemberDead> ||
                            std::is_same_v<E, core::event::MemberJoined>)
                events += e.member.name == sim.name(m);
            },
            ev);
      };
      uint64_t hidden = 0;
      for (int phase = 0; phase < 2; ++phase) {
        sim.step_clock(m, phase == 0 ? -25 * HOUR_MS : 25 * HOUR_MS);
        for (int t = 0; t < 1200; ++t) {
          sim.run_for(100 * MS);
          hidden += holding(sim, m) != n - 1;
        }
      }
      sim.on_event = nullptr;
      dropped += events > 0 || sim.node(m).local().epoch != epoch;
      longest = std::max(longest, static_cast<double>(hidden) / 10);
    }
    std::printf("plain text, %2zu members, a running member's clock stepped back 25 h for 2 min, then right: life "
                "given up in %zu of %llu seeds, hidden from some peer %.1f s at the most\n",
                n, dropped, static_cast<unsigned long long>(seeds), longest);
  }
}

// Push-pulls served by member `x` over `seconds`.
uint64_t served_over(Sim& sim, size_t x, int seconds) {
  const uint64_t before = sim.node(x).counters().push_pulls_served;
  sim.run_for(static_cast<uint64_t>(seconds) * SEC);
  return sim.node(x).counters().push_pulls_served - before;
}

// The push-pulls every member's refusals cost: 32 members, member 5 restarted with its clock a
// day ahead (every member refuses its life), served by it over 10 minutes, against the same
// restart with its clock right; then 256 members joining through member 0, all but it a day
// behind, so that they refuse its life: served by member 0 a minute, against all clocks right.
void refusals_served(uint64_t seeds) {
  for (int64_t step : {25 * HOUR_MS, int64_t{0}}) {
    uint64_t served = 0;
    for (uint64_t seed = 1; seed <= seeds; ++seed) {
      Sim sim(seed, NetParams{});
      form_by_joins(sim, 32, core::Config{});
      sim.restart(5, step);
      sim.command(5, core::command::Join{{Sim::addr_of(0)}});
      served += served_over(sim, 5, 600);
    }
    std::printf("32 members, one restarted with its clock %s: it serves %.1f push-pulls in 10 minutes\n",
                step ? "a day ahead" : "right", static_cast<double>(served) / seeds);
  }
  for (bool behind : {true, false}) {
    uint64_t served = 0, all = 0;
    const size_t n = 256;
    for (uint64_t seed = 1; seed <= std::min<uint64_t>(seeds, 2); ++seed) {
      Sim sim(seed, NetParams{});
      for (size_t i = 0; i < n; ++i) {
        sim.add(core::Config{}, member_name(i));
        if (i > 0 && behind) sim.restart(i, -25 * HOUR_MS);
      }
      for (size_t i = 1; i < n; ++i) {
        sim.command(i, core::command::Join{{Sim::addr_of(0)}});
        sim.run_for(2 * MS);
      }
      sim.run_for(120 * SEC);
      uint64_t before = 0;
      for (size_t i = 0; i < n; ++i) before += sim.node(i).counters().push_pulls_served;
      served += served_over(sim, 0, 300);
      for (size_t i = 0; i < n; ++i) all += sim.node(i).counters().push_pulls_served;
      all -= before;
    }
    const double runs = static_cast<double>(std::min<uint64_t>(seeds, 2));
    std::printf("256 members, %s: member 0 serves %.1f push-pulls a minute; the cluster %.1f a minute\n",
                behind ? "all but member 0 a day behind" : "every clock right", static_cast<double>(served) / runs / 5,
                static_cast<double>(all) / runs / 5);
  }
}

// One forged State to every member but member 3, headed by a made-up member at member 3's
// address whose life lies a day ahead: push-pulls served by member 3 a minute over the next 10
// minutes, against none forged.
void forged_state(uint64_t seeds) {
  for (size_t n : {8, 32}) {
    for (bool forged : {true, false}) {
      uint64_t served = 0;
      for (uint64_t seed = 1; seed <= seeds; ++seed) {
        Sim sim(seed, NetParams{});
        form_by_joins(sim, n, core::Config{});
        if (forged) {
          proto::State st;
          st.members.push_back(proto::MemberRecord{"ghost", Sim::addr_of(3), sim.wall_ms(0) + 25 * HOUR_MS, 0,
                                                   core::MemberState::Alive, {}});
          std::array<uint8_t, 32> nk{};
          proto::Codec codec(core::Config{}.cluster, std::nullopt, nk);
          proto::Bytes payload;
          proto::encode(st, payload);
          for (size_t i = 0; i < n; ++i)
            if (i != 3) sim.inject_frame(i, codec.seal(payload, sim.wall_ms(0)));
        }
        served += served_over(sim, 3, 600);
      }
      std::printf("%2zu members, %s: member 3 serves %.1f push-pulls a minute over 10 minutes\n", n,
                  forged ? "one forged State each naming its address" : "nothing forged",
                  static_cast<double>(served) / seeds / 10);
    }
  }
}

// Member 5 restarted with its clock 25 h ahead, its clock put right 10 minutes later; a forger
// sends it plain-text packets stamped 3 days ahead from member 2's address: none, once 7 s
// before the fix, once a minute or once a second (from a minute before the fix). Seconds from
// the fix until member 5 holds every member and every member holds it (at most 120).
void forged_stamps(uint64_t seeds) {
  const size_t n = 8, m = 5;
  std::array<uint8_t, 32> nk{};
  proto::Codec codec(core::Config{}.cluster, std::nullopt, nk);
  proto::Bytes payload;
  proto::encode(proto::Ack{7}, payload);
  for (int every : {0, -7, 60, 1}) {
    int worst = 0, back = 0;
    for (uint64_t seed = 1; seed <= seeds; ++seed) {
      Sim sim(seed, NetParams{});
      form_by_joins(sim, n, core::Config{});
      sim.restart(m, 25 * HOUR_MS);
      sim.command(m, core::command::Join{{Sim::addr_of(0)}});
      sim.run_for(540 * SEC);
      auto forge = [&] { sim.inject(m, Sim::addr_of(2), codec.seal(payload, sim.wall_ms(0) + 72 * HOUR_MS)); };
      for (int s = -60; s < 0; ++s) {
        if ((every > 0 && (s + 60) % every == 0) || s == every) forge();
        sim.run_for(SEC);
      }
      sim.step_clock(m, -25 * HOUR_MS);
      int s = 0;
      for (; s <= 120 && !member_again(sim, m); ++s) {
        if (every > 0 && s % every == 0) forge();
        sim.run_for(SEC);
      }
      back += s <= 120;
      worst = std::max(worst, s);
    }
    std::printf("a restart 25 h ahead put right, forged stamps 3 days ahead %-22s member again in %d of %llu seeds, "
                "the slowest after %s%d s\n",
                every == 0 ? "(none):" : every < 0 ? "(once, 7 s before):" : every == 60 ? "(one a minute):" : "(one a second):",
                back, static_cast<unsigned long long>(seeds), worst > 120 ? "more than " : "", std::min(worst, 120));
  }
}

}  // namespace

// Sections: all (the default), day, wrong, restarts, stepped, served, forged, stamps.
int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const uint64_t seeds = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 5;
  const std::string only = argc > 2 ? argv[2] : "all";
  auto on = [&](const char* s) { return only == "all" || only == s; };
  if (on("day")) {
    day_off(seeds, -25 * HOUR_MS);
    day_off(seeds, 25 * HOUR_MS);
  }
  if (on("wrong")) wrong_step(seeds);
  if (on("restarts")) restarts(seeds);
  if (on("stepped")) stepped_back_running(seeds);
  if (on("served")) refusals_served(seeds);
  if (on("forged")) forged_state(seeds);
  if (on("stamps")) forged_stamps(seeds);
  return 0;
}
