// What membership costs each member per protocol period (1 s): the datagrams it sends and
// their bytes, the push-pulls it opens and serves (joins among them), and the bytes of stream
// frames, in clusters of the lan preset on a lossless network, at rest and while members leave,
// join or run with a clock a day off. Prints one line per scenario and size as `key=value`
// fields; scripts/cost_table.sh builds it against two engines, runs both on the same seeds and
// sets the lines side by side. Not run in CI.
//
//   bench_sim_cost [--only=rest,quarter,half,churn,ahead,behind,one] [--first=1] [seeds=3]
//                  [seconds=30] [clock seconds=600] [sizes=16 64 256]
//
// Every cluster starts out knowing itself (one State each) and runs a minute before the
// measure. Datagrams a member sends to its own address (its check of itself) never leave the
// host and are not counted.
// - rest: the next `seconds`.
// - quarter, half (one: a single member, not run unless asked for): that share of the members
//   leave at once and keep running; the `seconds`
//   after, over the members still in. Also: the share of their datagrams that went to the
//   departed, the datagrams each departed node got (and how many of them came once its leave
//   had completed), when each leave completed, and when every member still in held each
//   leaver left.
// - churn: every 0.5 s for `seconds`, a leave (a random member that is in) or a join (a new
//   member, through a random one that is in), over the members in at each moment. Also when
//   each leave completed and when every member that held the leaver, and is still in, held
//   it left.
// - ahead, behind: one member restarts with its clock 25 hours ahead or behind and joins
//   through member 0; the `clock seconds` after, over all members. Also the push-pulls the odd
//   member opened and served itself.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim_bench.hpp"

using namespace vennock;
using namespace vennock::bench;

namespace {

constexpr int64_t DAY_AND_HOUR_MS = 25LL * 3600 * 1000;

struct Args {
  std::vector<std::string> only{"rest", "quarter", "half", "churn", "ahead", "behind"};
  uint64_t first = 1, seeds = 3, seconds = 30, clock_seconds = 600;
  std::vector<size_t> sizes;
};

// What the members counted sent, over the member-periods they were counted.
struct Tally {
  uint64_t datagrams = 0, bytes = 0, to_departed = 0, departed_got = 0, got_after = 0, departed = 0;
  uint64_t pp_sent = 0, pp_served = 0, frame_bytes = 0, odd_sent = 0, odd_served = 0;
  double member_periods = 0;
  std::vector<double> leave_done, known_all;
  double per(uint64_t x) const { return member_periods > 0 ? static_cast<double>(x) / member_periods : 0; }
};

uint64_t opened(const core::Counters& c) { return c.push_pulls + c.push_pull_failures; }

// One cluster: which nodes count as members in (sending) and which have left, and the
// counters of each counted node when its count began.
struct Cluster {
  Sim sim;
  core::Config cfg;
  Tally& t;
  // Members in (counted), that left, and whose leave completed.
  std::vector<char> in, departed, done;
  std::vector<core::Counters> base;
  bool measuring = false;
  uint64_t frames0 = 0;

  Cluster(uint64_t seed, size_t n, Tally& tally) : sim(seed, NetParams{1 * MS, 1 * MS, 0.0}), t(tally) {
    cfg.max_new_members_per_packet = n + 16;
    form_by_state(sim, n, cfg);
    in.assign(n, 1);
    departed.assign(n, 0);
    done.assign(n, 0);
    base.assign(n, core::Counters{});
    sim.drop_datagram = [this](size_t from, size_t to, const Bytes& packet) {
      if (!measuring || from == to) return false;
      if (departed[to]) ++t.departed_got;
      if (done[to]) ++t.got_after;
      if (!in[from]) return false;
      ++t.datagrams;
      t.bytes += packet.size();
      t.to_departed += departed[to];
      return false;
    };
    sim.run_for(60 * SEC);
  }
  size_t size() const { return in.size(); }
  size_t in_count() const { return static_cast<size_t>(std::count(in.begin(), in.end(), 1)); }
  void begin() {
    measuring = true;
    frames0 = sim.frame_bytes;
    for (size_t i = 0; i < size(); ++i) base[i] = sim.node(i).counters();
  }
  // What node i opened and served since its count began.
  void settle(size_t i) {
    const core::Counters& c = sim.node(i).counters();
    if (!measuring) return;
    t.pp_sent += opened(c) - opened(base[i]);
    t.pp_served += c.push_pulls_served - base[i].push_pulls_served;
  }
  // Node i no longer counts (it left).
  void stop(size_t i) {
    settle(i);
    in[i] = 0;
  }
  // Node i counts from now, as a new life (its counters start at zero).
  void start_new(size_t i) {
    in.resize(std::max(in.size(), i + 1), 0);
    departed.resize(in.size(), 0);
    done.resize(in.size(), 0);
    base.resize(in.size());
    in[i] = 1;
    base[i] = core::Counters{};
  }
  void end(double member_periods) {
    for (size_t i = 0; i < size(); ++i)
      if (in[i]) settle(i);
    t.frame_bytes += sim.frame_bytes - frames0;
    t.member_periods += member_periods;
    t.departed += static_cast<uint64_t>(std::count(departed.begin(), departed.end(), 1));
    measuring = false;
  }
};

// Leaves under way: when each was asked, its command, and whom it must reach.
struct Leaves {
  struct One {
    size_t node;
    uint64_t at;
    CommandId id;
    std::vector<size_t> holders;
    bool done = false, known = false;
  };
  std::vector<One> all;

  void ask(Cluster& c, size_t j) {
    One o{j, c.sim.now(), c.sim.command(j, core::command::Leave{}), {}};
    for (size_t i = 0; i < c.size(); ++i) {
      if (i == j || !c.in[i]) continue;
      const core::Member* m = c.sim.node(i).find(c.sim.name(j));
      if (m && (m->state == core::MemberState::Alive || m->state == core::MemberState::Suspect)) o.holders.push_back(i);
    }
    all.push_back(std::move(o));
    c.stop(j);
    c.departed[j] = 1;
  }
  // Notes what completed by now; true when nothing is left under way.
  bool check(Cluster& c, Tally& t) {
    bool settled = true;
    for (One& o : all) {
      const double since = static_cast<double>(c.sim.now() - o.at) / SEC;
      if (!o.done && c.sim.outcome(o.node, o.id)) {
        o.done = true;
        c.done[o.node] = 1;
        t.leave_done.push_back(since);
      }
      if (!o.known && known(c, o)) {
        o.known = true;
        t.known_all.push_back(since);
      }
      settled &= o.done && o.known;
    }
    return settled;
  }
  static bool known(Cluster& c, const One& o) {
    for (size_t i : o.holders) {
      if (!c.in[i]) continue;
      const core::Member* m = c.sim.node(i).find(c.sim.name(o.node));
      if (!m || m->state != core::MemberState::Left) return false;
    }
    return true;
  }
};

void at_rest(uint64_t seed, size_t n, const Args& a, Tally& t) {
  Cluster c(seed, n, t);
  c.begin();
  c.sim.run_for(a.seconds * SEC);
  c.end(static_cast<double>(n * a.seconds));
}

void mass_leave(uint64_t seed, size_t n, size_t leaving, const Args& a, Tally& t) {
  Cluster c(seed, n, t);
  core::Rng pick(seed * 0x9e3779b97f4a7c15ULL + n);
  std::vector<size_t> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = i;
  pick.shuffle(order);
  c.begin();
  const uint64_t t0 = c.sim.now();
  Leaves leaves;
  for (size_t k = 0; k < leaving; ++k) leaves.ask(c, order[k]);
  while (!leaves.check(c, t) && c.sim.now() - t0 < a.seconds * SEC) c.sim.run_for(10 * MS);
  c.sim.run_until(t0 + a.seconds * SEC);
  c.end(static_cast<double>((n - leaving) * a.seconds));
}

// A member that is in, drawn at random (none: the size of the cluster).
size_t random_in(Cluster& c, core::Rng& rng) {
  std::vector<size_t> ins;
  for (size_t i = 0; i < c.size(); ++i)
    if (c.in[i]) ins.push_back(i);
  return ins.empty() ? c.size() : ins[rng.below(ins.size())];
}

void churn(uint64_t seed, size_t n, const Args& a, Tally& t) {
  Cluster c(seed, n, t);
  core::Rng rng(seed * 0x9e3779b97f4a7c15ULL + 7 * n);
  c.begin();
  Leaves leaves;
  double member_periods = 0;
  const uint64_t steps = 2 * a.seconds;
  for (uint64_t s = 0; s < steps; ++s) {
    const size_t members = c.in_count();
    const bool join = members <= n / 2 || (members < 2 * n && rng.below(2) == 0);
    if (join) {
      const size_t via = random_in(c, rng);
      const size_t j = c.sim.add(c.cfg, member_name(c.size()));
      c.start_new(j);
      c.sim.command(j, core::command::Join{{Sim::addr_of(via)}});
    } else {
      leaves.ask(c, random_in(c, rng));
    }
    for (int k = 0; k < 50; ++k) {
      member_periods += static_cast<double>(c.in_count()) / 100;
      c.sim.run_for(10 * MS);
      leaves.check(c, t);
    }
  }
  c.end(member_periods);
  // The last leaves spread after the measure.
  for (int k = 0; k < 1000 && !leaves.check(c, t); ++k) c.sim.run_for(10 * MS);
}

void odd_clock(uint64_t seed, size_t n, int64_t step_ms, const Args& a, Tally& t) {
  Cluster c(seed, n, t);
  const size_t odd = n - 1;
  c.begin();
  c.sim.restart(odd, step_ms);
  c.start_new(odd);
  c.sim.command(odd, core::command::Join{{Sim::addr_of(0)}});
  c.sim.run_for(a.clock_seconds * SEC);
  const core::Counters& oc = c.sim.node(odd).counters();
  t.odd_sent += opened(oc);
  t.odd_served += oc.push_pulls_served;
  c.end(static_cast<double>(n * a.clock_seconds));
}

void run_row(const std::string& scenario, size_t n, const Args& a) {
  Tally t;
  auto w0 = std::chrono::steady_clock::now();
  for (uint64_t seed = a.first; seed < a.first + a.seeds; ++seed) {
    if (scenario == "rest") at_rest(seed, n, a, t);
    else if (scenario == "quarter") mass_leave(seed, n, n / 4, a, t);
    else if (scenario == "half") mass_leave(seed, n, n / 2, a, t);
    else if (scenario == "one") mass_leave(seed, n, 1, a, t);
    else if (scenario == "churn") churn(seed, n, a, t);
    else if (scenario == "ahead") odd_clock(seed, n, DAY_AND_HOUR_MS, a, t);
    else if (scenario == "behind") odd_clock(seed, n, -DAY_AND_HOUR_MS, a, t);
  }
  const double periods = scenario == "ahead" || scenario == "behind" ? static_cast<double>(a.clock_seconds)
                                                                     : static_cast<double>(a.seconds);
  const double odd_periods = static_cast<double>(a.seeds) * periods;
  std::printf(
      "row scenario=%s n=%zu seeds=%llu seconds=%.0f datagrams=%.3f bytes=%.1f pp_sent=%.4f pp_served=%.4f "
      "stream_bytes=%.1f to_departed=%.4f departed_got=%.2f got_after=%.2f leave_done_med=%.2f leave_done_max=%.2f "
      "known_med=%.2f known_p99=%.2f known_max=%.2f leaves=%zu odd_sent=%.4f odd_served=%.4f wall=%.1f\n",
      scenario.c_str(), n, static_cast<unsigned long long>(a.seeds), periods, t.per(t.datagrams), t.per(t.bytes),
      t.per(t.pp_sent), t.per(t.pp_served), t.per(t.frame_bytes),
      t.datagrams ? static_cast<double>(t.to_departed) / static_cast<double>(t.datagrams) : 0.0,
      t.departed ? static_cast<double>(t.departed_got) / static_cast<double>(t.departed) : 0.0,
      t.departed ? static_cast<double>(t.got_after) / static_cast<double>(t.departed) : 0.0, pct(t.leave_done, 0.5),
      pct(t.leave_done, 1.0), pct(t.known_all, 0.5), pct(t.known_all, 0.99), pct(t.known_all, 1.0),
      t.known_all.size(), static_cast<double>(t.odd_sent) / odd_periods, static_cast<double>(t.odd_served) / odd_periods,
      wall_since(w0));
}

bool parse(int argc, char** argv, Args& a) {
  int pos = 0;
  for (int k = 1; k < argc; ++k) {
    std::string s = argv[k];
    if (s.rfind("--only=", 0) == 0) {
      a.only.clear();
      for (size_t at = 7; at <= s.size();) {
        size_t comma = s.find(',', at);
        if (comma == std::string::npos) comma = s.size();
        a.only.push_back(s.substr(at, comma - at));
        at = comma + 1;
      }
    } else if (s.rfind("--first=", 0) == 0) {
      a.first = std::strtoull(s.c_str() + 8, nullptr, 10);
    } else if (s.rfind("--", 0) == 0) {
      return false;
    } else if (pos == 0 && ++pos) {
      a.seeds = std::strtoull(s.c_str(), nullptr, 10);
    } else if (pos == 1 && ++pos) {
      a.seconds = std::strtoull(s.c_str(), nullptr, 10);
    } else if (pos == 2 && ++pos) {
      a.clock_seconds = std::strtoull(s.c_str(), nullptr, 10);
    } else {
      a.sizes.push_back(std::strtoull(s.c_str(), nullptr, 10));
    }
  }
  if (a.sizes.empty()) a.sizes = {16, 64, 256};
  for (const std::string& o : a.only)
    if (o != "rest" && o != "quarter" && o != "half" && o != "churn" && o != "ahead" && o != "behind" && o != "one")
      return false;
  return a.seeds > 0 && a.seconds > 0 && a.clock_seconds > 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Args a;
  if (!parse(argc, argv, a)) {
    std::fprintf(stderr, "usage: bench_sim_cost [--only=rest,quarter,half,churn,ahead,behind,one] [--first=1] "
                         "[seeds=3] [seconds=30] [clock seconds=600] [sizes=16 64 256]\n");
    return 2;
  }
  std::printf("# cost per member per period (1 s), lan preset, no loss; seeds %llu to %llu\n",
              static_cast<unsigned long long>(a.first), static_cast<unsigned long long>(a.first + a.seeds - 1));
  for (size_t n : a.sizes)
    for (const std::string& s : a.only) run_row(s, n, a);
  return 0;
}
