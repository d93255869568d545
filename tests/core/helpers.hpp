// Shared set-up for the engine tests: configurations and clusters in the simulated network.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/table.hpp"
#include "proto/message.hpp"
#include "proto/packet.hpp"
#include "sim/sim.hpp"

namespace vennock::test {

using namespace vennock::sim;
using core::MemberState;

inline core::Config lan() { return core::Config{}; }

inline proto::Key key_of(uint8_t b) {
  std::array<uint8_t, 32> k{};
  k.fill(b);
  return proto::Key::from_array(k);
}

inline core::Config encrypted(uint8_t key_byte = 7) {
  core::Config c;
  c.keys = std::vector<proto::Key>{key_of(key_byte)};
  return c;
}

inline std::string node_name(size_t i) { return "node-" + std::to_string(i); }

// n nodes; every node after the first joins through node 0, and the run goes on until every
// node knows every other as alive (or `limit` passes).
inline bool form_cluster(Sim& sim, size_t n, const core::Config& cfg, uint64_t limit = 60 * SEC) {
  size_t first = sim.size();
  for (size_t i = 0; i < n; ++i) sim.add(cfg, node_name(first + i));
  for (size_t i = 1; i < n; ++i) {
    sim.command(first + i, core::command::Join{{Sim::addr_of(first)}});
    sim.run_for(2 * MS);
  }
  return sim.run_until_pred(
      [&] {
        for (size_t i = first; i < first + n; ++i) {
          if (!sim.up(i)) continue;
          if (sim.node(i).members().size() != n) return false;
        }
        return true;
      },
      limit);
}

// The bounds of docs/protocol.md for a cluster of n under configuration c, in nanoseconds.
struct Bounds {
  uint64_t suspicion_min, suspicion_max, spread, detect_all, join_all;
};

inline Bounds bounds(const core::Config& c, size_t n) {
  Bounds b{};
  double T = static_cast<double>(c.probe_interval.as_nanos());
  double smin = c.suspicion_mult * std::max(1.0, std::log10(static_cast<double>(n))) * T;
  b.suspicion_min = static_cast<uint64_t>(smin);
  b.suspicion_max = static_cast<uint64_t>(smin * c.suspicion_max_mult);
  uint32_t limit = c.retransmit_mult * static_cast<uint32_t>(std::ceil(std::log10(static_cast<double>(n) + 1)));
  limit = std::max(limit, std::min(static_cast<uint32_t>(n - 1), 4 * c.retransmit_mult));
  b.spread = limit * c.gossip_interval.as_nanos();
  // Probed by someone within 10 periods (all but e^-10 of the time), failed by the end of
  // that period, the suspicion spread, and every holder's own timer run out.
  b.detect_all = 11 * c.probe_interval.as_nanos() + b.spread + b.suspicion_max;
  // The seed learns of the joiner within a round trip, then gossips it.
  b.join_all = b.spread + 100 * MS;
  return b;
}

// The state node `i` holds of the member named `name` (none when it is not in the table).
inline std::optional<MemberState> state_at(Sim& sim, size_t i, const std::string& name) {
  const core::Member* m = sim.node(i).find(name);
  if (!m) return std::nullopt;
  return m->state;
}
// Whether every node that is up knows `n` live members.
inline bool all_know(Sim& sim, size_t n) {
  for (size_t i = 0; i < sim.size(); ++i)
    if (sim.up(i) && sim.node(i).members().size() != n) return false;
  return true;
}
// Whether every node that is up, the member itself aside, holds `name` in state `s`.
inline bool all_hold(Sim& sim, const std::string& name, MemberState s) {
  for (size_t i = 0; i < sim.size(); ++i)
    if (sim.up(i) && sim.name(i) != name && state_at(sim, i, name) != s) return false;
  return true;
}

// Whether every other node that is up holds member `m` alive at the epoch it holds itself.
inline bool visible(Sim& sim, size_t m) {
  const core::Member& me = sim.node(m).local();
  for (size_t i = 0; i < sim.size(); ++i) {
    if (i == m || !sim.up(i) || sim.name(i) == me.name) continue;
    const core::Member* e = sim.node(i).find(me.name);
    if (!e || e->epoch != me.epoch || e->state != MemberState::Alive) return false;
  }
  return true;
}

// Packets of a plaintext cluster (the lan preset without keys), built and read by the tests.
inline Bytes plain_packet(const std::vector<proto::Message>& msgs, uint64_t stamp_ms = 1'700'000'000'000ULL) {
  std::array<uint8_t, 32> nk{};
  proto::Codec codec(lan().cluster, std::nullopt, nk);
  Bytes payload;
  for (const auto& m : msgs) proto::encode(m, payload);
  return codec.seal(payload, stamp_ms);
}
inline std::vector<proto::Message> plain_messages(Bytes packet) {
  std::array<uint8_t, 32> nk{};
  proto::Codec codec(lan().cluster, std::nullopt, nk);
  auto opened = codec.open(packet);
  if (!opened) return {};
  auto msgs = proto::decode_payload(opened->payload);
  return msgs ? std::move(msgs.value()) : std::vector<proto::Message>{};
}
// Whether a packet carries an Alive of `name` newer than incarnation `inc`.
inline bool carries_alive_after(const Bytes& packet, const std::string& name, uint32_t inc) {
  for (const auto& m : plain_messages(packet))
    if (auto* a = std::get_if<proto::Alive>(&m); a && a->name == name && core::inc_newer(a->incarnation, inc))
      return true;
  return false;
}
// Hands node `to` a plaintext datagram as if node `from` had sent it.
inline void inject(Sim& sim, size_t to, size_t from, const std::vector<proto::Message>& msgs) {
  sim.inject(to, Sim::addr_of(from), plain_packet(msgs));
}

}  // namespace vennock::test
