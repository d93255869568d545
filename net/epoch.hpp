// The epochs of the lives this process starts, with one owner: a process-wide high-water mark,
// so that a later life never takes an epoch at or below an earlier one's. Epochs are wall-clock
// milliseconds, and a node closed and started again within one millisecond took its earlier
// life's epoch: its peers saw no restart (14 distinct epochs in 21 lives started back to back).
//
// The mark is an atomic that is always lock-free: it holds no lock that a fork could leave held
// (net/lifecycle.hpp), so it needs no fresh state in a child, which keeps its parent's mark as
// it keeps the rest of its memory. Two processes that start the same name within one
// millisecond can still take the same epoch: nothing is shared between them.
#pragma once

#include <cstdint>

#include "core/lib.hpp"

namespace vennock::net::epoch {

// The epoch a life starting at wall-clock reading `wall_ms` takes after lives up to `mark`.
// A mark as far past the clock as the engine's epoch lead came from a clock that ran a day fast,
// and a life past it would be refused by every member whose clock is right: the life takes the
// clock's reading instead.
constexpr uint64_t next(uint64_t wall_ms, uint64_t mark) {
  if (wall_ms > mark || mark - wall_ms >= core::EPOCH_LEAD_MS || mark == UINT64_MAX) return wall_ms;
  return mark + 1;
}

// The epoch of a life starting now, with the wall clock reading `wall_ms`; it becomes the mark.
uint64_t take(uint64_t wall_ms) noexcept;

// A life of this process holds epoch `e` (its engine moved past an earlier life of its own):
// later lives start after it.
void held(uint64_t e) noexcept;

}  // namespace vennock::net::epoch
