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

}  // namespace

int main(int argc, char** argv) {
  size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000;
  uint64_t span = (argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 600) * SEC;
  uint64_t seed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1;
  uint64_t warm = (argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 60) * SEC;
  if (warm > span) warm = span;

  core::Config cfg;
  cfg.max_members = n + 16;
  cfg.max_new_members_per_packet = n + 16;  // so the start-up state below loads in one exchange

  uint64_t rss0 = rss_bytes();
  auto t0 = Clock::now();
  Sim sim(seed, NetParams{1 * MS, 1 * MS, 0.0});
  for (size_t i = 0; i < n; ++i) sim.add(cfg, "member-" + std::to_string(i));
  uint64_t rss_nodes = rss_bytes();

  // Start-up: every member receives the whole membership in one push-pull frame, as if it
  // had just exchanged state with a member that knows everybody.
  bench::load_membership(sim, cfg);
  uint64_t rss_loaded = rss_bytes();
  auto t_loaded = Clock::now();
  std::printf("%zu members: start-up %.1f s wall; memory %.0f MiB (%.0f B per table entry, %.0f KiB per member)\n", n,
              secs(t_loaded - t0), static_cast<double>(rss_loaded - rss0) / (1 << 20),
              static_cast<double>(rss_loaded - rss_nodes) / (static_cast<double>(n) * static_cast<double>(n)),
              static_cast<double>(rss_loaded - rss0) / static_cast<double>(n) / 1024.0);

  uint64_t deaths = 0, suspects = 0;
  sim.on_event = [&](size_t, const core::Event& e) {
    deaths += std::holds_alternative<core::event::MemberDead>(e);
    suspects += std::holds_alternative<core::event::MemberSuspect>(e);
  };
  sim.measure = true;
  auto t1 = Clock::now();
  sim.run_for(warm);
  auto tw = Clock::now();
  uint64_t warm_packets = sim.datagrams_delivered + sim.frames_delivered;
  uint64_t warm_dgrams = sim.datagrams_delivered;
  uint64_t warm_frame_bytes = sim.frame_bytes;
  double warm_ns = static_cast<double>(sim.engine_time.count());
  double warm_dgram_ns = static_cast<double>(sim.datagram_time.count());
  double warm_stream_ns = static_cast<double>(sim.stream_time.count());
  double warm_timer_ns = static_cast<double>(sim.timer_time.count());
  uint64_t rss_warm = rss_bytes();
  sim.run_for(span - warm);
  auto t2 = Clock::now();

  uint64_t packets = sim.datagrams_delivered + sim.frames_delivered - warm_packets;
  double engine_ns = static_cast<double>(sim.engine_time.count()) - warm_ns;
  double per_packet = packets ? engine_ns / static_cast<double>(packets) : 0;
  double warm_per_packet = warm_packets ? warm_ns / static_cast<double>(warm_packets) : 0;
  uint64_t bytes = 0, received = 0;
  for (size_t i = 0; i < n; ++i) received += sim.node(i).counters().packets_received;
  (void)bytes;

  // The crypto a packet costs: seal + open of a full-size encrypted packet, measured now.
  std::array<uint8_t, 32> nk{};
  nk[0] = 1;
  std::array<uint8_t, 32> kb{};
  kb.fill(9);
  proto::Codec enc(cfg.cluster, std::vector<proto::Key>{proto::Key::from_array(kb)}, nk);
  proto::Bytes payload(cfg.udp_max_payload - enc.overhead(), 0x5a);
  proto::Bytes sealed;
  const int reps = 200000;
  auto c0 = Clock::now();
  size_t sink = 0;
  for (int r = 0; r < reps; ++r) {
    enc.seal(payload, 1'700'000'000'000ULL, sealed);
    auto o = enc.open(sealed);
    sink += o ? o->payload.size() : 0;
  }
  double crypto_ns = std::chrono::duration<double, std::nano>(Clock::now() - c0).count() / reps;
  // And of a small one (a Ping or an Ack with nothing piggybacked).
  proto::Bytes small(24, 0x5a);
  c0 = Clock::now();
  for (int r = 0; r < reps; ++r) {
    enc.seal(small, 1'700'000'000'000ULL, sealed);
    auto o = enc.open(sealed);
    sink += o ? o->payload.size() : 0;
  }
  double crypto_small_ns = std::chrono::duration<double, std::nano>(Clock::now() - c0).count() / reps;

  std::printf("simulated %.0f s in %.1f s wall (%.1fx real time); warm-up %.0f s took %.1f s wall, %llu packets, "
              "%.0f ns engine CPU per packet; memory after warm-up %.0f MiB\n",
              static_cast<double>(span) / SEC, secs(t2 - t1), static_cast<double>(span) / SEC / secs(t2 - t1),
              static_cast<double>(warm) / SEC, secs(tw - t1), (unsigned long long)warm_packets, warm_per_packet,
              static_cast<double>(rss_warm - rss0) / (1 << 20));
  std::printf("after warm-up: %llu packets in %.1f s wall\n", (unsigned long long)packets, secs(t2 - tw));
  std::printf("datagrams %llu, frames %llu, engine calls %llu (packets received by engines %llu)\n",
              (unsigned long long)sim.datagrams_delivered, (unsigned long long)sim.frames_delivered,
              (unsigned long long)sim.engine_calls, (unsigned long long)received);
  std::printf("per member per second after warm-up: %.2f packets received\n",
              static_cast<double>(packets) / static_cast<double>(n) / (static_cast<double>(span - warm) / SEC));
  std::printf("engine CPU per packet after warm-up (all engine work, timers included, divided by packets): %.0f ns\n",
              per_packet);
  std::printf("seal+open per packet: %.0f ns for %llu bytes, %.0f ns for a small one (sink %zu)\n", crypto_ns,
              (unsigned long long)cfg.udp_max_payload, crypto_small_ns, sink % 7);
  std::printf("ratio engine/crypto: %.2f (full-size), %.2f (small)\n", per_packet / crypto_ns,
              per_packet / crypto_small_ns);
  double dg = static_cast<double>(sim.datagram_time.count()) - warm_dgram_ns;
  uint64_t dgrams = sim.datagrams_delivered - warm_dgrams;
  std::printf("after warm-up, split: datagram handling %.0f ns per datagram (ratio to small seal+open %.2f); "
              "stream events %.2f s in all (push-pull merges of the whole table); timers %.2f s in all\n",
              dgrams ? dg / static_cast<double>(dgrams) : 0.0,
              dgrams ? dg / static_cast<double>(dgrams) / crypto_small_ns : 0.0,
              (static_cast<double>(sim.stream_time.count()) - warm_stream_ns) / 1e9,
              (static_cast<double>(sim.timer_time.count()) - warm_timer_ns) / 1e9);
  std::printf("stream bytes (push-pull States) received per member per second after warm-up: %.0f\n",
              static_cast<double>(sim.frame_bytes - warm_frame_bytes) / static_cast<double>(n) /
                  (static_cast<double>(span - warm) / SEC));
  std::printf("suspect events %llu, dead events %llu\n", (unsigned long long)suspects, (unsigned long long)deaths);
  return 0;
}
