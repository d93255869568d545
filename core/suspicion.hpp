// Suspicion of one member: who accused it and when its timer runs out.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace vennock::core {

struct Suspicion {
  uint64_t start = 0;
  uint64_t deadline = 0;
  uint64_t nudge = 0;    // when this node next checks the suspect itself (0: not planned)
  uint64_t checked = 0;  // when it last did (the start, before the first check)
  std::vector<std::string> accusers;  // independent accusers, the first one included
  // For a suspicion learned from a State, whose accuser is unknown: the member that passed it
  // on (named as the accuser when this node gossips it, but no confirmation here).
  std::string via;

  // The accuser this node names when it passes the suspicion on: the latest one it knows.
  const std::string& accuser() const { return accusers.empty() ? via : accusers.back(); }
};

// The suspicion timeout in nanoseconds. `min_ns` already grows with the log of the cluster
// size; the timeout starts at max_mult × min and shrinks toward min as `confirmations`
// independent accusers beyond the first arrive, `expected` of them bringing it to min.
inline uint64_t suspicion_timeout(uint64_t min_ns, uint32_t max_mult, uint32_t expected, size_t confirmations,
                                  bool dynamic) {
  if (!dynamic || expected == 0 || max_mult <= 1) return min_ns;
  double mn = static_cast<double>(min_ns);
  double mx = mn * max_mult;
  double frac = std::log(static_cast<double>(confirmations) + 1.0) / std::log(static_cast<double>(expected) + 1.0);
  double t = mx - (mx - mn) * frac;
  return static_cast<uint64_t>(std::max(mn, t));
}

}  // namespace vennock::core
