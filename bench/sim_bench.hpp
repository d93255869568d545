// Shared set-up for the simulator benchmarks: forming a cluster, percentiles, a wall clock.
#pragma once

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "proto/message.hpp"
#include "proto/packet.hpp"
#include "sim/sim.hpp"

namespace vennock::bench {

using namespace vennock::sim;

inline std::string member_name(size_t i) { return "m" + std::to_string(i); }

// n members, each joining through member 0, then `settle` of quiet running.
inline void form_by_joins(Sim& sim, size_t n, const core::Config& cfg, uint64_t settle = 20 * SEC) {
  for (size_t i = 0; i < n; ++i) sim.add(cfg, member_name(i));
  for (size_t i = 1; i < n; ++i) {
    sim.command(i, core::command::Join{{Sim::addr_of(0)}});
    sim.run_for(2 * MS);
  }
  sim.run_for(settle);
}

// Every member receives the whole membership in one State, as after a push-pull with a
// member that knows everybody (fast at any size).
inline void load_membership(Sim& sim, const core::Config& cfg) {
  proto::State st;
  for (size_t i = 0; i < sim.size(); ++i) {
    const auto& m = sim.node(i).local();
    st.members.push_back(proto::MemberRecord{m.name, m.addr, m.epoch, m.incarnation, m.state, m.meta});
  }
  proto::Bytes payload;
  proto::encode(st, payload);
  std::array<uint8_t, 32> nk{};
  proto::Codec plain(cfg.cluster, std::nullopt, nk);
  proto::Bytes packet = plain.seal(payload, 1'700'000'000'000ULL);
  for (size_t i = 0; i < sim.size(); ++i) {
    proto::Bytes copy = packet;
    sim.node(i).handle_stream(sim.now(), core::INBOUND_BIT | (1ULL << 40),
                              core::StreamEvent{core::stream_event::Data{copy}});
    while (sim.node(i).poll_event()) {
    }
    while (sim.node(i).poll_transmit()) {
    }
  }
}

// n members that start out knowing each other.
inline void form_by_state(Sim& sim, size_t n, const core::Config& cfg) {
  for (size_t i = 0; i < n; ++i) sim.add(cfg, member_name(i));
  load_membership(sim, cfg);
}

// The p-quantile (0..1) of v, nearest rank.
inline double pct(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5));
  return v[i];
}

inline double wall_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace vennock::bench
