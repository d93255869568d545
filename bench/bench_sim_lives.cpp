// Lives, clocks and forged packets in the simulator: how long one forged packet hides a
// member, what a host that slept or a stepped clock costs, and what two nodes with one name
// do to the cluster. Prints one line per scenario; the figures back the trust model and the
// clock sections of docs/protocol.md. Not run in CI.
//
//   bench_sim_lives [seed=1] [skew|rising]: every scenario, or one
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <variant>

#include "sim_bench.hpp"

using namespace vennock;
using namespace vennock::bench;

namespace {

constexpr uint64_t HOUR = 3600 * SEC;
constexpr int64_t HOUR_MS = 3600 * 1000;

// A plaintext datagram as if from member `from`.
void forge(Sim& sim, size_t to, size_t from, const std::vector<proto::Message>& msgs) {
  std::array<uint8_t, 32> nk{};
  proto::Codec codec(core::Config{}.cluster, std::nullopt, nk);
  proto::Bytes payload;
  for (const auto& m : msgs) proto::encode(m, payload);
  sim.inject(to, Sim::addr_of(from), codec.seal(payload, sim.wall_ms(from)));
}

// How many of the other members that are up hold member `m` alive at its own epoch.
size_t holding(Sim& sim, size_t m) {
  const core::Member& me = sim.node(m).local();
  size_t k = 0;
  for (size_t i = 0; i < sim.size(); ++i) {
    if (i == m || !sim.up(i) || sim.name(i) == me.name) continue;
    const core::Member* e = sim.node(i).find(me.name);
    k += e && e->epoch == me.epoch && e->state == core::MemberState::Alive;
  }
  return k;
}
// How many members node `i` holds alive at their own epochs.
size_t held_by(Sim& sim, size_t i) {
  size_t k = 0;
  for (size_t j = 0; j < sim.size(); ++j) {
    if (j == i || !sim.up(j)) continue;
    const core::Member* e = sim.node(i).find(sim.name(j));
    k += e && e->epoch == sim.node(j).local().epoch && e->state == core::MemberState::Alive;
  }
  return k;
}

// Runs `seconds`, one message a second from member 1 to member `m` (at the epoch member 1
// holds) and a metadata change of `m` at the middle. Prints the seconds every other member
// held m's own life, the messages delivered and the members that saw the change.
void watch(Sim& sim, size_t m, int seconds, const char* what) {
  const size_t others = sim.size() - 1;
  size_t got = 0, held = 0;
  sim.on_event = [&](size_t i, const core::Event& ev) {
    got += i == m && std::holds_alternative<core::event::UserMessage>(ev);
  };
  for (int s = 0; s < seconds; ++s) {
    if (s == seconds / 2) sim.command(m, core::command::UpdateMeta{proto::Bytes{7}});
    if (const core::Member* e = sim.node(1).find(sim.name(m)))
      sim.command(1, core::command::Send{e->name, e->epoch, proto::Bytes{1}});
    sim.run_for(SEC);
    held += holding(sim, m) == others;
  }
  sim.on_event = nullptr;
  size_t meta = 0;
  for (size_t i = 0; i < sim.size(); ++i) {
    const core::Member* e = i == m ? nullptr : sim.node(i).find(sim.name(m));
    meta += e && e->meta == proto::Bytes{7};
  }
  std::printf("%-58s held at its own life %3zu of %d s, messages %3zu of %d, metadata seen by %zu of %zu\n", what,
              held, seconds, got, seconds, meta, others);
}

void form(Sim& sim, size_t n, const core::Config& cfg = core::Config{}) { form_by_joins(sim, n, cfg, 10 * SEC); }

void forged_pair(uint64_t seed) {
  Sim sim(seed, NetParams{});
  const size_t n = 16, m = 5;
  form(sim, n);
  const core::Member me = sim.node(m).local();
  for (size_t i = 0; i < n; ++i)
    forge(sim, i, 2, {proto::Alive{me.name, me.addr, me.epoch + (i == m ? 1 : 3), me.incarnation, {}}});
  watch(sim, m, 119, "forged Alives: epoch + 1 to the victim, + 3 to the others");
  watch(sim, m, 119, "  the 119 s after that");
}

void forged_far_ahead(uint64_t seed) {
  Sim sim(seed, NetParams{});
  const size_t n = 8, m = 5;
  for (size_t i = 0; i < n; ++i) {
    sim.add(core::Config{}, member_name(i));
    if (i >= 6) sim.restart(i, -2 * HOUR_MS);  // a life started with its clock behind
  }
  for (size_t i = 1; i < n; ++i) sim.command(i, core::command::Join{{Sim::addr_of(0)}});
  sim.run_for(10 * SEC);
  const core::Member me = sim.node(m).local();
  for (size_t i = 0; i < n; ++i)
    forge(sim, i, 2, {proto::Alive{me.name, me.addr, sim.wall_ms(m) + 23 * HOUR_MS, 0, {}}});
  watch(sim, m, 119, "forged Alive at the wall clock + 23 h (2 members 2 h behind)");
  sim.run_for(600 * SEC);
  watch(sim, m, 119, "  ten minutes later");
}

void forged_broadcasts(uint64_t seed, uint64_t lead) {
  Sim sim(seed, NetParams{});
  const size_t n = 16, m = 5;
  form(sim, n);
  const core::Member me = sim.node(m).local();
  for (size_t i = 0; i < n; ++i)
    if (i != m) forge(sim, i, 2, {proto::UserBroadcast{me.name, lead ? me.epoch + lead : UINT64_MAX, 1, {9}}});
  sim.run_for(SEC);
  size_t got = 0;
  sim.on_event = [&](size_t i, const core::Event& ev) {
    auto* u = std::get_if<core::event::UserMessage>(&ev);
    got += i != m && u && u->broadcast && u->data == proto::Bytes{1};
  };
  auto round = [&] {
    got = 0;
    for (int s = 0; s < 290; ++s) {
      sim.command(m, core::command::Broadcast{proto::Bytes{1}});
      sim.run_for(SEC);
    }
    sim.run_for(5 * SEC);
    return got;
  };
  size_t first = round();
  sim.restart(m);
  sim.command(m, core::command::Join{{Sim::addr_of(0)}});
  sim.run_for(5 * SEC);
  size_t next = round();
  sim.on_event = nullptr;
  std::printf("forged broadcast of the origin at %-24s delivered %zu of %zu in its life, %zu of %zu in the next\n",
              lead ? "its epoch + 1:" : "epoch 2^64 - 1:", first, 290 * (n - 1), next, 290 * (n - 1));
}

// The victim's epoch changes and the MemberJoined events at its peers over an hour of forged
// Alives every second (`each` forges them).
void flapping(uint64_t seed, const char* what, const std::function<void(Sim&, size_t)>& each) {
  Sim sim(seed, NetParams{});
  const size_t n = 8, m = 5;
  form(sim, n);
  size_t joined = 0, changes = 0;
  uint64_t epoch = sim.node(m).local().epoch;
  sim.on_event = [&](size_t i, const core::Event& ev) {
    auto* j = std::get_if<core::event::MemberJoined>(&ev);
    joined += i != m && j && j->member.name == sim.name(m);
  };
  for (int s = 0; s < 3600; ++s) {
    each(sim, m);
    sim.run_for(SEC);
    changes += sim.node(m).local().epoch != epoch;
    epoch = sim.node(m).local().epoch;
  }
  sim.on_event = nullptr;
  std::printf("%-58s epoch changes %zu, MemberJoined at the %zu peers %zu, held by %zu of %zu at the end\n", what,
              changes, n - 1, joined, holding(sim, m), n - 1);
}

void twins(uint64_t seed, bool shared) {
  Sim sim(seed, NetParams{});
  const size_t n = 8, m = 3;
  form(sim, n);
  std::vector<size_t> conflicts(n + 1);
  const size_t twin = shared ? sim.add(core::Config{}, member_name(m), {}, Sim::addr_of(m))
                             : sim.add(core::Config{}, member_name(m));
  sim.on_event = [&](size_t i, const core::Event& ev) {
    if (std::holds_alternative<core::event::NameConflict>(ev)) ++conflicts[i];
  };
  uint64_t e1 = sim.node(m).local().epoch, e2 = sim.node(twin).local().epoch;
  sim.command(twin, core::command::Join{{Sim::addr_of(0)}});
  sim.run_for(10 * SEC);
  size_t changes = (sim.node(m).local().epoch != e1) + (sim.node(twin).local().epoch != e2), got = 0;
  e1 = sim.node(m).local().epoch;
  e2 = sim.node(twin).local().epoch;
  sim.on_event = [&](size_t i, const core::Event& ev) {
    if (std::holds_alternative<core::event::NameConflict>(ev)) ++conflicts[i];
    got += (i == m || i == twin) && std::holds_alternative<core::event::UserMessage>(ev);
  };
  for (int s = 0; s < 600; ++s) {
    if (const core::Member* e = sim.node(1).find(member_name(m)))
      sim.command(1, core::command::Send{e->name, e->epoch, proto::Bytes{1}});
    sim.run_for(SEC);
    changes += (sim.node(m).local().epoch != e1) + (sim.node(twin).local().epoch != e2);
    e1 = sim.node(m).local().epoch;
    e2 = sim.node(twin).local().epoch;
  }
  sim.on_event = nullptr;
  size_t reporters = 0;
  for (size_t i = 0; i < n; ++i) reporters += i != m && conflicts[i] > 0;
  std::printf("two nodes named %s, %-21s over 610 s: messages delivered %zu of 600, epoch changes %zu, "
              "NameConflict at the two %zu/%zu, other members reporting %zu of %zu\n",
              member_name(m).c_str(), shared ? "one address:" : "their own addresses:", got, changes, conflicts[m],
              conflicts[twin], reporters, n - 1);
}

void asleep_a_day(uint64_t seed) {
  Sim sim(seed, NetParams{});
  const size_t n = 3;
  form(sim, n);
  sim.suspend(2, 25 * HOUR);
  sim.run_for(25 * HOUR + SEC);
  sim.run_for(60 * SEC);
  sim.restart(1);
  sim.command(1, core::command::Join{{Sim::addr_of(0)}});
  const size_t late = sim.add(core::Config{}, "late");
  sim.command(late, core::command::Join{{Sim::addr_of(0)}});
  sim.run_for(60 * SEC);
  std::printf("plain text, a member asleep 25 h, then a restart and a new member: it holds %zu of %zu, "
              "held by %zu, lives refused %llu\n",
              held_by(sim, 2), sim.size() - 1, holding(sim, 2),
              static_cast<unsigned long long>(sim.node(2).counters().members_refused));
}

void paused(uint64_t seed) {
  Sim sim(seed, NetParams{});
  const size_t n = 8, m = 5;
  core::Config cfg;
  std::array<uint8_t, 32> k{};
  k.fill(7);
  cfg.keys = std::vector<proto::Key>{proto::Key::from_array(k)};
  form(sim, n, cfg);
  sim.suspend(m, 180 * SEC);
  sim.run_for(180 * SEC);
  uint64_t dropped = sim.node(m).counters().replays_dropped;
  sim.run_for(60 * SEC);
  std::printf("encrypted, a member paused 3 min, 60 s after it woke: it holds %zu of %zu, held by %zu, "
              "its replays dropped since waking %llu\n",
              held_by(sim, m), n - 1, holding(sim, m),
              static_cast<unsigned long long>(sim.node(m).counters().replays_dropped - dropped));
}

void stepped_back(uint64_t seed, int64_t hours) {
  Sim sim(seed, NetParams{});
  const size_t n = 8, m = 5;
  form(sim, n);
  size_t skews = 0;
  sim.on_clock_skew = [&](size_t, const core::ClockSkew&) { ++skews; };
  sim.restart(m, -hours * HOUR_MS);
  sim.command(m, core::command::Join{{Sim::addr_of(0)}});
  uint64_t seen_after = 0;
  for (int s = 1; s <= 180 && !seen_after; ++s) {
    // The runtime's rejoin through its seeds, every rejoin_interval (60 s).
    if (s % 60 == 0) sim.command(m, core::command::Join{{Sim::addr_of(0)}});
    sim.run_for(SEC);
    if (holding(sim, m) == n - 1) seen_after = static_cast<uint64_t>(s);
  }
  std::printf("plain text, a restart with the clock %2lld h back (rejoining every 60 s): held by all after %s%llu s; "
              "then it holds %zu of %zu, held by %zu; lives refused %llu, clock skews reported %zu\n",
              static_cast<long long>(hours), seen_after ? "" : "(not within 180) ",
              static_cast<unsigned long long>(seen_after), held_by(sim, m), n - 1, holding(sim, m),
              static_cast<unsigned long long>(sim.node(m).counters().members_refused), skews);
}

// How long after now some other member last failed to hold member `m` alive at its own epoch,
// watched for 600 s in steps of 10 ms.
double hidden_for(Sim& sim, size_t m) {
  const uint64_t start = sim.now();
  uint64_t last = 0;
  for (int s = 0; s < 60'000; ++s) {
    sim.run_for(10 * MS);
    if (holding(sim, m) != sim.size() - 1) last = sim.now() - start;
  }
  return static_cast<double>(last) / SEC;
}

// The trust model's other rows: how long one forged packet of each kind hides a live member.
void one_packet(uint64_t seed, const char* what, const std::function<proto::Message(const core::Member&)>& msg,
                bool to_victim_too) {
  Sim sim(seed, NetParams{});
  const size_t n = 8, m = 5;
  form(sim, n);
  const core::Member me = sim.node(m).local();
  for (size_t i = 0; i < n; ++i)
    if (i != m || to_victim_too) forge(sim, i, 2, {msg(me)});
  std::printf("%-58s hidden from some member for %.2f s of 600\n", what, hidden_for(sim, m));
}

// A forged State (a push-pull from member 2: its own record, then a later life of member 5 at
// an address where nobody answers), on a new stream to each member. How long it hides member
// 5, and whether member 5 reports the claim of its name.
void one_state(uint64_t seed, bool to_victim_too) {
  Sim sim(seed, NetParams{});
  const size_t n = 8, m = 5;
  form(sim, n);
  const core::Member me = sim.node(m).local(), two = sim.node(2).local();
  proto::State st;
  st.members.push_back(proto::MemberRecord{two.name, two.addr, two.epoch, two.incarnation, two.state, two.meta});
  const SocketAddr nowhere = SocketAddr::v4({10, 200, 0, 1}, 7946);
  st.members.push_back(proto::MemberRecord{me.name, nowhere, me.epoch + 1, 0, core::MemberState::Alive, {}});
  std::array<uint8_t, 32> nk{};
  proto::Codec codec(core::Config{}.cluster, std::nullopt, nk);
  proto::Bytes payload;
  proto::encode(st, payload);
  for (size_t i = 0; i < n; ++i)
    if (i != m || to_victim_too) sim.inject_frame(i, codec.seal(payload, sim.wall_ms(2)));
  const double hidden = hidden_for(sim, m);
  std::printf("%-58s hidden from some member for %.2f s of 600, NameConflict at it %llu\n",
              to_victim_too ? "one forged State: a later life of it elsewhere, to all"
                            : "one forged State: a later life of it elsewhere, all but it",
              hidden, static_cast<unsigned long long>(sim.node(m).counters().name_conflicts));
}

// Member 5's later lives at its own address, forged anew each second for 40 s (each later
// than the last) and sent to every member: the membership events about it at its peers, how
// long some member held it left during the attack and in the ten minutes after it (and when),
// and when every member held its own life again after the last.
void rising(uint64_t seed) {
  Sim sim(seed, NetParams{});
  const size_t n = 8, m = 5;
  form(sim, n);
  const core::Member first = sim.node(m).local();
  size_t events = 0, left_tenths = 0;
  sim.on_event = [&](size_t i, const core::Event& ev) {
    std::visit(
        [&](const auto& e) {
          if constexpr (requires { e.member; }) events += i != m && e.member.name == first.name;
        },
        ev);
  };
  auto held_left = [&] {
    for (size_t i = 0; i < n; ++i) {
      const core::Member* e = i == m ? nullptr : sim.node(i).find(first.name);
      if (e && e->state == core::MemberState::Left) return true;
    }
    return false;
  };
  for (uint64_t s = 0; s < 40; ++s) {
    for (size_t i = 0; i < n; ++i)
      forge(sim, i, 2, {proto::Alive{first.name, first.addr, first.epoch + 1000 + 2 * s, 0, {}}});
    for (int k = 0; k < 10; ++k) {
      sim.run_for(100 * MS);
      left_tenths += held_left();
    }
  }
  sim.on_event = nullptr;
  const uint64_t end = sim.now();
  uint64_t back = 0, left_after = 0, left_from = 0, left_to = 0;
  while (sim.now() - end < 600 * SEC) {
    sim.run_for(100 * MS);
    const uint64_t t = sim.now() - end;
    if (holding(sim, m) != n - 1) back = t;
    if (held_left()) {
      left_after += 100 * MS;
      if (left_from == 0) left_from = t;
      left_to = t;
    }
  }
  auto secs = [](uint64_t d) { return static_cast<double>(d) / SEC; };
  std::printf("later lives at its address forged every second for 40 s, to all: events about it at the %zu peers %zu, "
              "held left by some %.1f s; after the last, held left by some %.1f s (from %.1f to %.1f s), its own "
              "life held by all %.1f s after the last\n",
              n - 1, events, static_cast<double>(left_tenths) / 10, secs(left_after), secs(left_from), secs(left_to),
              secs(back));
}

// A real peer (member 5) whose clock steps 10 minutes ahead a minute in, in an encrypted
// cluster: each of its packets is refused, and the clock-skew records are all that say why.
// Meanwhile old captures are replayed to member 0, `rate` a second, each from a source address
// of its own (no key needed: a capture authenticates, and its stamp lies outside the window).
// Over 30 minutes: member 0's records, how many name the real peer, and the reports they say
// were left out.
void skew_hidden(uint64_t seed, int rate) {
  Sim sim(seed, NetParams{});
  const size_t n = 8, m = 5;
  std::array<uint8_t, 32> kb{};
  kb.fill(7);
  core::Config cfg;
  cfg.keys = std::vector<proto::Key>{proto::Key::from_array(kb)};
  form(sim, n, cfg);
  std::array<uint8_t, 32> nk{};
  proto::Codec codec(cfg.cluster, cfg.keys, nk);
  proto::Bytes payload;
  proto::encode(proto::Message{proto::Ack{7}}, payload);
  size_t records = 0, real = 0;
  uint64_t left_out = 0;
  sim.on_clock_skew = [&](size_t i, const core::ClockSkew& c) {
    if (i != 0) return;
    ++records;
    real += c.peer == Sim::addr_of(m);
    left_out += c.suppressed;
  };
  uint32_t k = 0;
  for (int s = 0; s < 1800; ++s) {
    if (s == 60) sim.step_clock(m, 600'000);
    for (int j = 0; j < rate; ++j, ++k) {
      const SocketAddr from =
          SocketAddr::v4({172, 16, static_cast<uint8_t>(k >> 8), static_cast<uint8_t>(k)}, 7946);
      sim.inject(0, from, codec.seal(payload, sim.wall_ms(0) - HOUR_MS, proto::Recipient{sim.name(0), std::nullopt}));
      sim.run_for(SEC / static_cast<uint64_t>(rate));
    }
    if (rate == 0) sim.run_for(SEC);
  }
  sim.on_clock_skew = nullptr;
  std::printf("a peer's clock 10 min ahead (encrypted), %2d replays a second to member 0 for 30 min: %zu records, "
              "%zu name the real peer, %llu reports left out\n",
              rate, records, real, static_cast<unsigned long long>(left_out));
}

// A plain-text flood of names nobody holds, at addresses where nobody answers, from one forged
// source to member 0 (or to every member of 8): as many names as the table takes. What a
// member lists; then a new member joins and a real one crashes: how long until every member
// holds the newcomer, no longer holds the crashed one alive, and lists none of the names.
void flood(uint64_t seed, bool to_all) {
  Sim sim(seed, NetParams{});
  const size_t n = 8;
  const core::Config cfg;
  form(sim, n, cfg);
  for (size_t i = 0; i < (to_all ? n : 1); ++i)
    for (size_t k = 0; k < cfg.max_members;) {
      std::vector<proto::Message> names;
      for (; names.size() < 30 && k < cfg.max_members; ++k) {
        const std::array<uint8_t, 4> ip{10, 100, static_cast<uint8_t>(k >> 8), static_cast<uint8_t>(k)};
        names.push_back(proto::Alive{"x" + std::to_string(k), SocketAddr::v4(ip, 7946), sim.wall_ms(2), 0, {}});
      }
      forge(sim, i, 2, names);
    }
  sim.run_for(10 * SEC);
  const size_t listed = sim.node(0).members().size();
  const size_t late = sim.add(cfg, "late"), crashed = 7;
  sim.command(late, core::command::Join{{Sim::addr_of(0)}});
  sim.crash(crashed);
  const uint64_t t0 = sim.now();
  double joined = -1, dead = -1, clean = -1;
  while ((joined < 0 || dead < 0 || clean < 0) && sim.now() - t0 < 4 * HOUR) {
    sim.run_for(10 * SEC);
    bool all_joined = true, all_dead = true, all_clean = true;
    for (size_t i = 0; i < sim.size(); ++i) {
      if (i == crashed) continue;
      const core::Member* j = sim.node(i).find("late");
      const core::Member* d = sim.node(i).find(member_name(crashed));
      all_joined = all_joined && (i == late || (j && j->state == core::MemberState::Alive));
      // A full table gives up its gone entries first.
      all_dead = all_dead && (!d || d->state == core::MemberState::Dead || d->state == core::MemberState::Left);
      all_clean = all_clean && sim.node(i).members().size() <= n;
    }
    const double t = static_cast<double>(sim.now() - t0) / SEC;
    if (all_joined && joined < 0) joined = t;
    if (all_dead && dead < 0) dead = t;
    if (all_clean && clean < 0) clean = t;
  }
  std::printf("a flood of %llu unknown names to %-10s member 0 lists %zu; then a new member held by all after %.0f s, "
              "a crash known to all after %.0f s, no name listed after %.0f s (-1: not within 4 h)\n",
              static_cast<unsigned long long>(cfg.max_members), to_all ? "each of 8:" : "one of 8:", listed, joined,
              dead, clean);
}

// Member 1 of a cluster of `n` restarted 20 times each way, rejoining through member 0: a
// plain restart, two restarts 100 ms apart, a restart with the clock stepped back 30 s. The
// slowest time until every other member held the new life, and the deaths and departures of
// it its peers saw.
void restarts(uint64_t seed, size_t n) {
  Sim sim(seed, NetParams{});
  const size_t m = 1;
  form(sim, n);
  size_t dead = 0, left = 0;
  sim.on_event = [&](size_t i, const core::Event& ev) {
    auto* d = std::get_if<core::event::MemberDead>(&ev);
    auto* l = std::get_if<core::event::MemberLeft>(&ev);
    dead += i != m && d && d->member.name == member_name(m);
    left += i != m && l && l->member.name == member_name(m);
  };
  std::array<double, 3> slowest{};
  for (int r = 0; r < 20; ++r)
    for (size_t kind = 0; kind < 3; ++kind) {
      if (kind == 1) {
        sim.restart(m);
        sim.command(m, core::command::Join{{Sim::addr_of(0)}});
        sim.run_for(100 * MS);
      }
      sim.restart(m, kind == 2 ? -30'000 : 0);
      const uint64_t t0 = sim.now();
      sim.command(m, core::command::Join{{Sim::addr_of(0)}});
      while (holding(sim, m) != n - 1 && sim.now() - t0 < 60 * SEC) sim.run_for(10 * MS);
      slowest[kind] = std::max(slowest[kind], static_cast<double>(sim.now() - t0) / SEC);
      sim.run_for(20 * SEC);
    }
  sim.on_event = nullptr;
  std::printf("restarts in a cluster of %zu, slowest until held by all: plain %.2f s, twice 100 ms apart %.2f s, "
              "clock 30 s back %.2f s; deaths of it %zu, departures of it %zu\n",
              n, slowest[0], slowest[1], slowest[2], dead, left);
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t seed = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1;
  // bench_sim_lives SEED skew|rising: that scenario alone.
  const std::string only = argc > 2 ? argv[2] : "";
  if (only == "skew") {
    skew_hidden(seed, 0);
    skew_hidden(seed, 10);
    return 0;
  }
  if (only == "rising") {
    rising(seed);
    return 0;
  }
  forged_pair(seed);
  forged_far_ahead(seed);
  forged_broadcasts(seed, 1);
  forged_broadcasts(seed, 0);
  flapping(seed, "an hour of forged Alives at epoch + 1 to the victim", [](Sim& sim, size_t m) {
    const core::Member me = sim.node(m).local();
    forge(sim, m, 2, {proto::Alive{me.name, me.addr, me.epoch + 1, me.incarnation, {}}});
  });
  flapping(seed, "an hour of forged pairs (+ 1 to it, + 3 to the others)", [](Sim& sim, size_t m) {
    const core::Member me = sim.node(m).local();
    const core::Member* held = sim.node(0).find(me.name);
    for (size_t i = 0; i < sim.size(); ++i)
      forge(sim, i, 2, {proto::Alive{me.name, me.addr, (i == m || !held ? me.epoch : held->epoch) + (i == m ? 1 : 3),
                                     me.incarnation, {}}});
  });
  twins(seed, false);
  twins(seed, true);
  asleep_a_day(seed);
  paused(seed);
  stepped_back(seed, 1);
  stepped_back(seed, 23);
  stepped_back(seed, 25);
  one_packet(seed, "one forged Suspect of it", [](const core::Member& me) -> proto::Message {
    return proto::Suspect{me.name, me.epoch, me.incarnation, "m2"};
  }, true);
  one_packet(seed, "one forged Dead of it", [](const core::Member& me) -> proto::Message {
    return proto::Dead{me.name, me.epoch, me.incarnation, "m2"};
  }, true);
  one_packet(seed, "one forged departure of it", [](const core::Member& me) -> proto::Message {
    return proto::Dead{me.name, me.epoch, me.incarnation, me.name};
  }, true);
  one_packet(seed, "one forged departure of it, to all but it", [](const core::Member& me) -> proto::Message {
    return proto::Dead{me.name, me.epoch, me.incarnation, me.name};
  }, false);
  one_state(seed, true);
  one_state(seed, false);
  rising(seed);
  skew_hidden(seed, 0);
  skew_hidden(seed, 10);
  flood(seed, false);
  flood(seed, true);
  restarts(seed, 2);
  restarts(seed, 3);
  one_packet(seed, "one forged later life of it at another address", [](const core::Member& me) -> proto::Message {
    return proto::Alive{me.name, SocketAddr::v4({10, 200, 0, 1}, 7946), me.epoch + 1, 0, {}};
  }, true);
  one_packet(seed, "one forged later life of it at its address, to all", [](const core::Member& me) -> proto::Message {
    return proto::Alive{me.name, me.addr, me.epoch + 1, 0, {}};
  }, true);
  one_packet(seed, "one forged later life at its address, to all but it", [](const core::Member& me) -> proto::Message {
    return proto::Alive{me.name, me.addr, me.epoch + 1, 0, {}};
  }, false);
  one_packet(seed, "one forged life 23 h ahead at its address, to all", [](const core::Member& me) -> proto::Message {
    return proto::Alive{me.name, me.addr, me.epoch + 23 * HOUR_MS, 0, {}};
  }, true);
  return 0;
}
