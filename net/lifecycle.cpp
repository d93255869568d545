#include "net/lifecycle.hpp"

#include <pthread.h>

#include <cstdio>
#include <cstdlib>

namespace vennock::net::lifecycle {

namespace {

// Room for every slot of the process: a handful of globals, a fixed number.
constexpr size_t kSlots = 32;

std::atomic<uint64_t> g_generation{1};
std::atomic<detail::Slot*> g_slots[kSlots]{};
std::atomic<size_t> g_taken{0};
// 0: not installed; 1: being installed; 2: installed.
std::atomic<int> g_installed{0};

// pthread_atfork's handler in the child, inside fork: the only thread there.
void in_child() {
  g_generation.store(g_generation.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  const size_t n = g_taken.load(std::memory_order_relaxed);
  for (size_t i = 0; i < n && i < kSlots; ++i) {
    // A place taken by a thread of the parent that had not yet written it holds nothing.
    if (detail::Slot* s = g_slots[i].load(std::memory_order_relaxed)) s->fresh_in_child();
  }
  // Being installed at the fork by a thread of the parent: it was, or will be, by its own call.
  if (g_installed.load(std::memory_order_relaxed) == 1) g_installed.store(2, std::memory_order_relaxed);
}

}  // namespace

uint64_t generation() noexcept { return g_generation.load(std::memory_order_relaxed); }

bool install() noexcept {
  for (;;) {
    int state = g_installed.load(std::memory_order_acquire);
    if (state == 2) return true;
    if (state == 0 && g_installed.compare_exchange_weak(state, 1, std::memory_order_acq_rel)) break;
    std::this_thread::yield();
  }
  const bool ok = pthread_atfork(nullptr, nullptr, in_child) == 0;
  g_installed.store(ok ? 2 : 0, std::memory_order_release);
  return ok;
}

namespace detail {

void enlist(Slot* s) noexcept {
  const size_t n = g_taken.load(std::memory_order_acquire);
  for (size_t i = 0; i < n && i < kSlots; ++i) {
    if (g_slots[i].load(std::memory_order_acquire) == s) return;
  }
  const size_t i = g_taken.fetch_add(1, std::memory_order_acq_rel);
  if (i >= kSlots) {
    // A fixed number of globals outgrew the room made for them: a fault of this library's
    // build, which its tests find, never of its input.
    std::fputs("vennock: more process-wide states than lifecycle::kSlots\n", stderr);
    std::abort();
  }
  g_slots[i].store(s, std::memory_order_release);
}

}  // namespace detail

}  // namespace vennock::net::lifecycle
