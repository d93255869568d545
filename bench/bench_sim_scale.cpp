// Scale: N members for a simulated span, plaintext, no loss. Prints wall time, packets
// handled, engine CPU per packet next to the cost of sealing and opening one packet of the
// same size (measured in the same run), and memory per member-table entry.
// Not run in CI.
//
//   bench_sim_scale [members=1000] [simulated seconds=600] [seed=1]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "proto/message.hpp"
#include "proto/packet.hpp"
#include "proto/stream.hpp"
#include "sim/sim.hpp"

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
  {
    proto::State st;
    for (size_t i = 0; i < n; ++i) {
      const auto& m = sim.node(i).local();
      st.members.push_back(proto::MemberRecord{m.name, m.addr, m.epoch, m.incarnation, m.state, m.meta});
    }
    proto::Bytes payload;
    proto::encode(st, payload);
    std::array<uint8_t, 32> nk{};
    proto::Codec plain(cfg.cluster, std::nullopt, nk);
    proto::Bytes packet = plain.seal(payload, 1'700'000'000'000ULL);
    for (size_t i = 0; i < n; ++i) {
      proto::Bytes copy = packet;
      sim.node(i).handle_stream(0, core::INBOUND_BIT | (1ULL << 40), core::StreamEvent{core::stream_event::Data{copy}});
      while (sim.node(i).poll_event()) {
      }
      while (sim.node(i).poll_transmit()) {
      }
    }
  }
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
  sim.run_for(span);
  auto t2 = Clock::now();

  uint64_t packets = sim.datagrams_delivered + sim.frames_delivered;
  double engine_ns = static_cast<double>(sim.engine_time.count());
  double per_packet = engine_ns / static_cast<double>(packets);
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

  std::printf("simulated %.0f s in %.1f s wall (%.1fx real time)\n", static_cast<double>(span) / SEC, secs(t2 - t1),
              static_cast<double>(span) / SEC / secs(t2 - t1));
  std::printf("datagrams %llu, frames %llu, engine calls %llu (packets received by engines %llu)\n",
              (unsigned long long)sim.datagrams_delivered, (unsigned long long)sim.frames_delivered,
              (unsigned long long)sim.engine_calls, (unsigned long long)received);
  std::printf("per member per second: %.2f packets received\n",
              static_cast<double>(packets) / static_cast<double>(n) / (static_cast<double>(span) / SEC));
  std::printf("engine CPU per packet (all engine work, timers included, divided by packets): %.0f ns\n", per_packet);
  std::printf("seal+open per packet: %.0f ns for %llu bytes, %.0f ns for a small one (sink %zu)\n", crypto_ns,
              (unsigned long long)cfg.udp_max_payload, crypto_small_ns, sink % 7);
  std::printf("ratio engine/crypto: %.2f (full-size), %.2f (small)\n", per_packet / crypto_ns,
              per_packet / crypto_small_ns);
  std::printf("suspect events %llu, dead events %llu\n", (unsigned long long)suspects, (unsigned long long)deaths);
  return 0;
}
