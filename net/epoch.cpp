#include "net/epoch.hpp"

#include <atomic>

namespace vennock::net::epoch {

namespace {
static_assert(std::atomic<uint64_t>::is_always_lock_free, "a fork must find no lock held in the mark");
constinit std::atomic<uint64_t> g_mark{0};
}  // namespace

uint64_t take(uint64_t wall_ms) noexcept {
  uint64_t mark = g_mark.load(std::memory_order_relaxed);
  for (;;) {
    const uint64_t e = next(wall_ms, mark);
    if (g_mark.compare_exchange_weak(mark, e, std::memory_order_relaxed)) return e;
  }
}

void held(uint64_t e) noexcept {
  uint64_t mark = g_mark.load(std::memory_order_relaxed);
  while (mark < e && !g_mark.compare_exchange_weak(mark, e, std::memory_order_relaxed)) {
  }
}

}  // namespace vennock::net::epoch
