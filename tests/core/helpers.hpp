// Shared set-up for the engine tests: configurations and clusters in the simulated network.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// The state node `i` holds of the member named `name` (none when it is not in the table).
inline std::optional<MemberState> state_at(Sim& sim, size_t i, const std::string& name) {
  const core::Member* m = sim.node(i).find(name);
  if (!m) return std::nullopt;
  return m->state;
}

}  // namespace vennock::test
