// The process's lifecycle: what a child made by fork may keep of its parent, and the one rule
// it follows.
//
// A child made by fork runs one thread, the one that called fork. A process-wide lock that
// another thread of the parent held at that moment stays held in the child for good, what it
// guarded may be half-changed, and a condition variable may list waiters that do not exist
// there. So every process-wide lock, with the state it guards, lives in a `PerProcess` slot:
// one handler, run in the child inside fork, gives every slot a fresh state in storage made
// ahead and abandons the inherited one as it stands (never locked, never destroyed). The
// handler allocates nothing and takes no lock: until it execs, the child of a multi-threaded
// parent may only do what is async-signal-safe. Settings (a level, a route) are not state of
// this kind: the child keeps them, as it keeps the rest of its parent's memory.
//
// Objects that belong to the process that made them (a node, a subscription, the native parts
// of an awaitable call) record the generation they were made in and compare it with the
// current one: every fork counts one more in the child, so the two are equal only in the
// process that made the object.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <thread>
#include <type_traits>

namespace vennock::net::lifecycle {

// The process's generation: 1 where the library was loaded, one more than its parent's in a
// child made by fork.
uint64_t generation() noexcept;

// Registers the handler with the C library (pthread_atfork), once per process. False when it
// could not be (no memory left): the next call tries again. Every slot does it on first use;
// callers that can report the failure (the runtime, the module's import) call it themselves.
bool install() noexcept;

namespace detail {

// A slot as the handler sees it.
class Slot {
 public:
  // In the child, inside fork: a fresh state, without allocating or locking.
  virtual void fresh_in_child() noexcept = 0;

 protected:
  constexpr Slot() = default;
  ~Slot() = default;
};

// Known to the handler from its first use on. A process has a few slots, all of them globals;
// enlisting one that is already known changes nothing.
void enlist(Slot* s) noexcept;

}  // namespace detail

// A process-wide `T` that a child made by fork gets fresh. Meant for globals (constant-
// initialised, never destroyed: threads may use the state until the process ends). `T` must be
// made without allocating and without throwing (locks, condition variables, counters, empty
// containers that allocate on first use).
template <class T>
class PerProcess final : detail::Slot {
  static_assert(std::is_nothrow_default_constructible_v<T>);

 public:
  constexpr PerProcess() = default;
  PerProcess(const PerProcess&) = delete;
  PerProcess& operator=(const PerProcess&) = delete;

  // This process's `T`, made on first use.
  T& get() noexcept {
    if (T* t = current_.load(std::memory_order_acquire)) return *t;
    return first();
  }

 private:
  enum : uint8_t { kNone, kMaking, kMade };

  T* slot(int i) noexcept { return reinterpret_cast<T*>(storage_[i]); }

  T& first() noexcept {
    uint8_t none = kNone;
    if (made_.compare_exchange_strong(none, kMaking, std::memory_order_acq_rel)) {
      // Known to the handler before it is made: a fork meanwhile makes it again in the child.
      (void)install();
      detail::enlist(this);
      T* t = new (slot(0)) T;
      current_.store(t, std::memory_order_release);
      made_.store(kMade, std::memory_order_release);
      return *t;
    }
    T* t = nullptr;
    while (!(t = current_.load(std::memory_order_acquire))) std::this_thread::yield();
    return *t;
  }

  void fresh_in_child() noexcept override {
    T* was = current_.load(std::memory_order_relaxed);
    if (!was) {
      // Being made by a thread of the parent at the fork: made again at the first use here.
      made_.store(kNone, std::memory_order_relaxed);
      return;
    }
    T* fresh = new (slot(was == slot(0) ? 1 : 0)) T;
    current_.store(fresh, std::memory_order_release);
  }

  // Two places: the state in use, and the one the next fork makes fresh (the inherited one is
  // left where it is; the place it took is used again by a later fork).
  alignas(T) unsigned char storage_[2][sizeof(T)]{};
  std::atomic<T*> current_{nullptr};
  std::atomic<uint8_t> made_{kNone};
};

}  // namespace vennock::net::lifecycle
