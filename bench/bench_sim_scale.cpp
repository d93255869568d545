// Scale: N members for a simulated span, plaintext, no loss. Prints wall time, packets
// handled, engine CPU per packet next to the cost of sealing and opening one packet of the
// same size (measured in the same run), and memory per member-table entry.
// Not run in CI.
//
//   bench_sim_scale [members=1000] [simulated seconds=600] [seed=1] [warm-up seconds=60]
//
// The first (warm-up) span is measured apart: right after start-up every member re-gossips
// the whole membership it just learned, which is a storm no steady cluster sees.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "proto/message.hpp"
#include "proto/packet.hpp"
#include "proto/stream.hpp"
#include "sim_bench.hpp"

using namespace vennock;
using namespace vennock::sim;
using Clock = std::chrono::steady_clock;

namespace {

uint64_t rss_bytes() {
  std::ifstream f("/proc/self/statm");
  uint64_t size = 0, resident = 0;
  f >> size >> resident;
  return resident * 4096;
}

double secs(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

struct Args {
  size_t n;
  uint64_t span, seed, warm;
};

Args parse(int argc, char** argv) {
  Args a;
  a.n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000;
  a.span = (argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 600) * SEC;
  a.seed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1;
  a.warm = (argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 60) * SEC;
  if (a.warm > a.span) a.warm = a.span;
  return a;
}

// Adds the n members and gives every one the whole membership in one push-pull frame, as if
// it had just exchanged state with a member that knows everybody; prints what that cost.
void start_up(Sim& sim, const core::Config& cfg, size_t n, uint64_t rss0, Clock::time_point t0) {
  for (size_t i = 0; i < n; ++i) sim.add(cfg, "member-" + std::to_string(i));
  uint64_t rss_nodes = rss_bytes();
  bench::load_membership(sim, cfg);
  uint64_t rss_loaded = rss_bytes();
  auto t_loaded = Clock::now();
  std::printf("%zu members: start-up %.1f s wall; memory %.0f MiB (%.0f B per table entry, %.0f KiB per member)\n", n,
              secs(t_loaded - t0), static_cast<double>(rss_loaded - rss0) / (1 << 20),
              static_cast<double>(rss_loaded - rss_nodes) / (static_cast<double>(n) * static_cast<double>(n)),
              static_cast<double>(rss_loaded - rss0) / static_cast<double>(n) / 1024.0);
}

// The simulator's totals at the end of the warm-up, taken off the totals after it.
struct Warm {
  Clock::time_point at;
  uint64_t packets, dgrams, frame_bytes;
  double ns, dgram_ns, stream_ns, timer_ns;
  uint64_t rss;
};

Warm at_warm_up(const Sim& sim) {
  Warm w;
  w.at = Clock::now();
  w.packets = sim.datagrams_delivered + sim.frames_delivered;
  w.dgrams = sim.datagrams_delivered;
  w.frame_bytes = sim.frame_bytes;
  w.ns = static_cast<double>(sim.engine_time.count());
  w.dgram_ns = static_cast<double>(sim.datagram_time.count());
  w.stream_ns = static_cast<double>(sim.stream_time.count());
  w.timer_ns = static_cast<double>(sim.timer_time.count());
  w.rss = rss_bytes();
  return w;
}

// The measured run: its start and end on the wall clock, the warm-up, and the events seen.
struct Run {
  Clock::time_point t1, t2;
  Warm warm;
  uint64_t deaths = 0, suspects = 0;
};

// The crypto a packet costs: seal + open of a full-size encrypted packet and of a small one
// (a Ping or an Ack with nothing piggybacked), in ns each.
struct Crypto {
  double full_ns, small_ns;
  size_t sink;
};

Crypto measure_crypto(const core::Config& cfg) {
  std::array<uint8_t, 32> nk{};
  nk[0] = 1;
  std::array<uint8_t, 32> kb{};
  kb.fill(9);
  proto::Codec enc(cfg.cluster, std::vector<proto::Key>{proto::Key::from_array(kb)}, nk);
  proto::Bytes sealed;
  const int reps = 200000;
  Crypto c{0, 0, 0};
  auto seal_open_ns = [&](const proto::Bytes& payload) {
    auto c0 = Clock::now();
    for (int r = 0; r < reps; ++r) {
      enc.seal(payload, 1'700'000'000'000ULL, sealed);
      auto o = enc.open(sealed);
      c.sink += o ? o->payload.size() : 0;
    }
    return std::chrono::duration<double, std::nano>(Clock::now() - c0).count() / reps;
  };
  c.full_ns = seal_open_ns(proto::Bytes(cfg.udp_max_payload - enc.overhead(), 0x5a));
  c.small_ns = seal_open_ns(proto::Bytes(24, 0x5a));
  return c;
}

void report(const Sim& sim, const Args& a, const core::Config& cfg, uint64_t rss0, const Run& run, const Crypto& cr) {
  const Warm& w = run.warm;
  const double steady_s = static_cast<double>(a.span - a.warm) / SEC;
  uint64_t packets = sim.datagrams_delivered + sim.frames_delivered - w.packets;
  double engine_ns = static_cast<double>(sim.engine_time.count()) - w.ns;
  double per_packet = packets ? engine_ns / static_cast<double>(packets) : 0;
  double warm_per_packet = w.packets ? w.ns / static_cast<double>(w.packets) : 0;
  uint64_t received = 0;
  for (size_t i = 0; i < a.n; ++i) received += sim.node(i).counters().packets_received;

  std::printf("simulated %.0f s in %.1f s wall (%.1fx real time); warm-up %.0f s took %.1f s wall, %llu packets, "
              "%.0f ns engine CPU per packet; memory after warm-up %.0f MiB\n",
              static_cast<double>(a.span) / SEC, secs(run.t2 - run.t1),
              static_cast<double>(a.span) / SEC / secs(run.t2 - run.t1), static_cast<double>(a.warm) / SEC,
              secs(w.at - run.t1), (unsigned long long)w.packets, warm_per_packet,
              static_cast<double>(w.rss - rss0) / (1 << 20));
  std::printf("after warm-up: %llu packets in %.1f s wall\n", (unsigned long long)packets, secs(run.t2 - w.at));
  std::printf("datagrams %llu, frames %llu, engine calls %llu (packets received by engines %llu)\n",
              (unsigned long long)sim.datagrams_delivered, (unsigned long long)sim.frames_delivered,
              (unsigned long long)sim.engine_calls, (unsigned long long)received);
  std::printf("per member per second after warm-up: %.2f packets received\n",
              static_cast<double>(packets) / static_cast<double>(a.n) / steady_s);
  std::printf("engine CPU per packet after warm-up (all engine work, timers included, divided by packets): %.0f ns\n",
              per_packet);
  std::printf("seal+open per packet: %.0f ns for %llu bytes, %.0f ns for a small one (sink %zu)\n", cr.full_ns,
              (unsigned long long)cfg.udp_max_payload, cr.small_ns, cr.sink % 7);
  std::printf("ratio engine/crypto: %.2f (full-size), %.2f (small)\n", per_packet / cr.full_ns,
              per_packet / cr.small_ns);
  double dg = static_cast<double>(sim.datagram_time.count()) - w.dgram_ns;
  uint64_t dgrams = sim.datagrams_delivered - w.dgrams;
  std::printf("after warm-up, split: datagram handling %.0f ns per datagram (ratio to small seal+open %.2f); "
              "stream events %.2f s in all (push-pull merges of the whole table); timers %.2f s in all\n",
              dgrams ? dg / static_cast<double>(dgrams) : 0.0,
              dgrams ? dg / static_cast<double>(dgrams) / cr.small_ns : 0.0,
              (static_cast<double>(sim.stream_time.count()) - w.stream_ns) / 1e9,
              (static_cast<double>(sim.timer_time.count()) - w.timer_ns) / 1e9);
  std::printf("stream bytes (push-pull States) received per member per second after warm-up: %.0f\n",
              static_cast<double>(sim.frame_bytes - w.frame_bytes) / static_cast<double>(a.n) / steady_s);
  std::printf("suspect events %llu, dead events %llu\n", (unsigned long long)run.suspects,
              (unsigned long long)run.deaths);
}

}  // namespace

int main(int argc, char** argv) {
  const Args a = parse(argc, argv);
  core::Config cfg;
  cfg.max_members = a.n + 16;
  cfg.max_new_members_per_packet = a.n + 16;  // so the start-up state loads in one exchange

  uint64_t rss0 = rss_bytes();
  auto t0 = Clock::now();
  Sim sim(a.seed, NetParams{1 * MS, 1 * MS, 0.0});
  start_up(sim, cfg, a.n, rss0, t0);

  Run run;
  sim.on_event = [&](size_t, const core::Event& e) {
    run.deaths += std::holds_alternative<core::event::MemberDead>(e);
    run.suspects += std::holds_alternative<core::event::MemberSuspect>(e);
  };
  sim.measure = true;
  run.t1 = Clock::now();
  sim.run_for(a.warm);
  run.warm = at_warm_up(sim);
  sim.run_for(a.span - a.warm);
  run.t2 = Clock::now();
  report(sim, a, cfg, rss0, run, measure_crypto(cfg));
  return 0;
}
