// Channels and notifiers between tasks (and plain threads), built on task wakers.
//
// Every wait follows one pattern: register the running task's waker, test the condition
// under the primitive's lock, park when it does not hold. Producers change the state under
// the lock and wake after releasing it, so no wake-up is lost.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "net/task.hpp"

namespace vennock::net {

// ---- Notify -----------------------------------------------------------------------------

// A notifier with two kinds of notification:
//  - notify_one wakes one registered waiter, or stores a single permit for the next one;
//  - notify_waiters wakes every waiter registered at that moment and stores nothing.
// A Waiter is registered ("armed") from its construction, so a notify_waiters that happens
// between arming and parking is still seen.
class Notify {
 public:
  Notify() = default;
  Notify(const Notify&) = delete;
  Notify& operator=(const Notify&) = delete;
  ~Notify();

  void notify_one();
  void notify_waiters();

  class Waiter {
   public:
    explicit Waiter(Notify& n);
    ~Waiter();
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;
    // True once notified (a permit is taken if one is stored); otherwise records the running
    // task's waker for the wake-up.
    bool poll();

   private:
    friend class Notify;
    enum class Got : uint8_t { Nothing, One, All };
    Notify& n_;
    Waiter* prev_ = nullptr;
    Waiter* next_ = nullptr;
    bool linked_ = false;
    bool consumed_ = false;
    Got got_ = Got::Nothing;
    Waker w_;
  };

  // Waits for a notification. The notifier must outlive the wait.
  Task<void> notified();

 private:
  void link(Waiter* w);
  void unlink(Waiter* w);
  // Under the lock: hands one notification to the oldest waiter, or stores the permit.
  Waker notify_one_locked();

  std::mutex m_;
  bool permit_ = false;
  Waiter* head_ = nullptr;
  Waiter* tail_ = nullptr;
};

// ---- AsyncMutex -------------------------------------------------------------------------

// A lock for tasks, granted first come first served: `lock` waits (parked, never blocking a
// thread) in a queue; an unlock hands the lock straight to the oldest waiter, so a newcomer
// never overtakes the queue and `try_lock` fails while anyone waits. A wait dropped while
// queued leaves the queue; one dropped after the lock was handed to it, before it took it,
// passes it on. Bound a wait with `with_deadline`. The mutex must outlive its guards and its
// waits; guards may be released on any thread.
class AsyncMutex {
 public:
  AsyncMutex() = default;
  AsyncMutex(const AsyncMutex&) = delete;
  AsyncMutex& operator=(const AsyncMutex&) = delete;

  // Holds the lock until it is dropped (or `unlock`ed).
  class Guard {
   public:
    Guard() = default;
    Guard(Guard&& o) noexcept : m_(std::exchange(o.m_, nullptr)) {}
    Guard& operator=(Guard&& o) noexcept {
      if (this != &o) {
        unlock();
        m_ = std::exchange(o.m_, nullptr);
      }
      return *this;
    }
    ~Guard() { unlock(); }
    bool holds() const { return m_ != nullptr; }
    void unlock() {
      if (auto* m = std::exchange(m_, nullptr)) m->release();
    }

   private:
    friend class AsyncMutex;
    explicit Guard(AsyncMutex* m) : m_(m) {}
    AsyncMutex* m_ = nullptr;
  };

  // One place in the queue (sync.cpp).
  class Wait;

  // A place in the queue taken at once, on the calling thread (granted there and then when the
  // lock is free and nobody is queued): the lock goes round in the order the places were
  // made, not in the order their tasks first run. `acquire` waits for the turn; a place
  // dropped instead leaves the queue, or passes the lock on when it had been handed it. The
  // mutex must outlive it.
  class Place {
   public:
    Place(Place&&) noexcept;
    Place& operator=(Place&&) = delete;
    ~Place();

   private:
    friend class AsyncMutex;
    explicit Place(AsyncMutex& m);
    std::unique_ptr<Wait> wait_;
  };

  // Never waits: the lock when it is free and nobody is queued.
  std::optional<Guard> try_lock();
  // Queues when the returned task first runs.
  Task<Guard> lock();
  Place enqueue() { return Place(*this); }
  static Task<Guard> acquire(Place p);
  bool is_locked();

 private:
  // One queued `lock` or Place.
  struct Waiter {
    Waiter* next = nullptr;
    Waker w;
    bool granted = false;
  };
  void release();

  std::mutex m_;
  bool locked_ = false;
  Waiter* head_ = nullptr;
  Waiter* tail_ = nullptr;
};

// ---- Swapped ----------------------------------------------------------------------------

// A value that one side replaces whole and any thread copies out: what the actor publishes to
// readers that must never wait for it (the member snapshot, the key ids, the header check).
// The lock is held only to copy or swap the pointer, never across other work, and a replaced
// value is released outside it.
//
// (Not std::atomic<std::shared_ptr>: libstdc++ 12 unlocks it with relaxed order after a load,
// so a load and a later store are not ordered, a race that TSan reports and that weakly
// ordered processors could act on.)
template <class T>
class Swapped {
 public:
  explicit Swapped(std::shared_ptr<const T> v) : v_(std::move(v)) {}
  Swapped(const Swapped&) = delete;
  Swapped& operator=(const Swapped&) = delete;

  std::shared_ptr<const T> load() const {
    std::lock_guard<std::mutex> g(m_);
    return v_;
  }
  void store(std::shared_ptr<const T> v) {
    {
      std::lock_guard<std::mutex> g(m_);
      v_.swap(v);
    }
    // `v` now holds the replaced value: released here, outside the lock.
  }

 private:
  mutable std::mutex m_;
  std::shared_ptr<const T> v_;
};

// ---- channels ---------------------------------------------------------------------------

namespace detail {
template <class T>
struct Chan {
  explicit Chan(size_t c) : cap(c) {}
  std::mutex m;
  std::deque<T> q;
  size_t cap;
  size_t senders = 1;
  bool rx_closed = false;
  std::atomic<bool> closed_flag{false};
  Waker rx;
  Notify room;  // senders waiting for room
};
}  // namespace detail

enum class TrySend : uint8_t { Sent, Full, Closed };
enum class Polled : uint8_t { Item, Empty, Closed };

template <class T>
class Sender {
 public:
  Sender() = default;
  explicit Sender(std::shared_ptr<detail::Chan<T>> c) : c_(std::move(c)) {}
  Sender(const Sender& o) : c_(o.c_) {
    if (c_) {
      std::lock_guard<std::mutex> g(c_->m);
      ++c_->senders;
    }
  }
  Sender& operator=(const Sender& o) {
    if (this != &o) {
      Sender tmp(o);
      std::swap(c_, tmp.c_);
    }
    return *this;
  }
  Sender(Sender&& o) noexcept = default;
  Sender& operator=(Sender&& o) noexcept {
    if (this != &o) {
      release();
      c_ = std::move(o.c_);
    }
    return *this;
  }
  ~Sender() { release(); }

  bool valid() const { return c_ != nullptr; }
  // The receiver has gone (closed or dropped).
  bool is_closed() const { return !c_ || c_->closed_flag.load(std::memory_order_acquire); }

  // Never waits. On Full or Closed the value is dropped, or handed back through `back`.
  TrySend try_send(T v, std::optional<T>* back = nullptr) {
    if (!c_) return TrySend::Closed;
    Waker w;
    {
      std::lock_guard<std::mutex> g(c_->m);
      if (c_->rx_closed || c_->q.size() >= c_->cap) {
        TrySend r = c_->rx_closed ? TrySend::Closed : TrySend::Full;
        if (back) back->emplace(std::move(v));
        return r;
      }
      c_->q.push_back(std::move(v));
      w = c_->rx;
    }
    w.wake();
    return TrySend::Sent;
  }

  // Waits while the channel is full; false (the value dropped) when the receiver is gone.
  // Dropping the wait before the value is queued sends nothing.
  Task<bool> send(T v) const { return send_owned(c_, std::move(v)); }
  // The same for the value in `slot`, which is emptied once it is queued: a wait dropped
  // before that (a deadline that passed) leaves the value there for the caller.
  Task<bool> send_from(std::optional<T>& slot) const { return send_slot(c_, &slot); }
  // Waits until the receiver has gone (closed or dropped).
  Task<void> closed() const { return wait_closed(c_); }

 private:
  static Task<void> wait_closed(std::shared_ptr<detail::Chan<T>> c) {
    if (!c) co_return;
    for (;;) {
      Notify::Waiter room(c->room);  // the receiver's close wakes every waiter for room
      if (c->closed_flag.load(std::memory_order_acquire)) co_return;
      while (!room.poll()) co_await park();
    }
  }
  static Task<bool> send_owned(std::shared_ptr<detail::Chan<T>> c, T v) {
    std::optional<T> slot(std::move(v));
    co_return co_await send_slot(std::move(c), &slot);
  }
  static Task<bool> send_slot(std::shared_ptr<detail::Chan<T>> c, std::optional<T>* slot) {
    if (!c) co_return false;
    for (;;) {
      Notify::Waiter room(c->room);  // armed before the test: no lost wake-up
      Waker rx;
      bool queued = false;
      {
        std::lock_guard<std::mutex> g(c->m);
        if (c->rx_closed) co_return false;
        if (c->q.size() < c->cap) {
          c->q.push_back(std::move(**slot));
          slot->reset();
          rx = c->rx;
          queued = true;
        }
      }
      if (queued) {
        rx.wake();
        co_return true;
      }
      while (!room.poll()) co_await park();
    }
  }

  void release() {
    if (!c_) return;
    Waker w;
    {
      std::lock_guard<std::mutex> g(c_->m);
      if (--c_->senders == 0) w = c_->rx;
    }
    w.wake();
    c_.reset();
  }
  std::shared_ptr<detail::Chan<T>> c_;
};

template <class T>
class Receiver {
 public:
  Receiver() = default;
  explicit Receiver(std::shared_ptr<detail::Chan<T>> c) : c_(std::move(c)) {}
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver&& o) noexcept {
    if (this != &o) {
      close();
      c_ = std::move(o.c_);
    }
    return *this;
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver() { close(); }

  bool valid() const { return c_ != nullptr; }

  // Takes the oldest value without registering anything.
  std::optional<T> try_recv() {
    if (!c_) return std::nullopt;
    std::optional<T> out;
    {
      std::lock_guard<std::mutex> g(c_->m);
      if (c_->q.empty()) return std::nullopt;
      out.emplace(std::move(c_->q.front()));
      c_->q.pop_front();
    }
    c_->room.notify_waiters();
    return out;
  }

  // Item: `out` holds the oldest value. Empty: the running task's waker is recorded and will
  // be woken by the next send or by the last sender's release. Closed: every sender has gone
  // and nothing is queued.
  Polled poll_recv(std::optional<T>& out) {
    if (!c_) return Polled::Closed;
    {
      std::lock_guard<std::mutex> g(c_->m);
      if (c_->q.empty()) {
        if (c_->senders == 0) return Polled::Closed;
        c_->rx = this_task::waker();
        return Polled::Empty;
      }
      out.emplace(std::move(c_->q.front()));
      c_->q.pop_front();
    }
    c_->room.notify_waiters();
    return Polled::Item;
  }

  // The next value, or none once every sender has gone and the queue is empty. The receiver
  // must outlive the wait.
  Task<std::optional<T>> recv() {
    for (;;) {
      std::optional<T> v;
      Polled p = poll_recv(v);
      if (p == Polled::Item) co_return v;
      if (p == Polled::Closed) co_return std::nullopt;
      co_await park();
    }
  }

  size_t size() const {
    std::lock_guard<std::mutex> g(c_->m);
    return c_->q.size();
  }

  // Refuses every later send and drops what is queued (outside the lock).
  void close() {
    if (!c_) return;
    std::deque<T> dropped;
    {
      std::lock_guard<std::mutex> g(c_->m);
      if (c_->rx_closed) return;
      c_->rx_closed = true;
      c_->closed_flag.store(true, std::memory_order_release);
      dropped.swap(c_->q);
      c_->rx = Waker();
    }
    c_->room.notify_waiters();
  }

 private:
  std::shared_ptr<detail::Chan<T>> c_;
};

// A channel holding at most `cap` values (senders wait for room), or without bound.
template <class T>
std::pair<Sender<T>, Receiver<T>> channel(size_t cap) {
  auto c = std::make_shared<detail::Chan<T>>(cap == 0 ? 1 : cap);
  return {Sender<T>(c), Receiver<T>(c)};
}
template <class T>
std::pair<Sender<T>, Receiver<T>> unbounded_channel() {
  auto c = std::make_shared<detail::Chan<T>>(std::numeric_limits<size_t>::max());
  return {Sender<T>(c), Receiver<T>(c)};
}

// ---- one-shot ---------------------------------------------------------------------------

namespace detail {
template <class T>
struct OneCore {
  std::mutex m;
  std::condition_variable cv;
  std::optional<T> v;
  bool tx_gone = false;
  bool rx_gone = false;
  Waker w;
};
}  // namespace detail

template <class T>
class OneSender {
 public:
  OneSender() = default;
  explicit OneSender(std::shared_ptr<detail::OneCore<T>> c) : c_(std::move(c)) {}
  OneSender(OneSender&&) noexcept = default;
  OneSender& operator=(OneSender&& o) noexcept {
    if (this != &o) {
      release();
      c_ = std::move(o.c_);
    }
    return *this;
  }
  ~OneSender() { release(); }

  bool valid() const { return c_ != nullptr; }
  // The receiver has gone: an answer would be dropped.
  bool is_closed() const {
    if (!c_) return true;
    std::lock_guard<std::mutex> g(c_->m);
    return c_->rx_gone;
  }
  // Delivers the value; false (the value dropped) when the receiver has gone.
  bool send(T v) {
    if (!c_) return false;
    auto c = std::move(c_);
    Waker w;
    {
      std::unique_lock<std::mutex> g(c->m);
      c->tx_gone = true;
      if (c->rx_gone) {
        g.unlock();
        return false;  // v is released here, outside the lock
      }
      c->v.emplace(std::move(v));
      w = std::move(c->w);
    }
    c->cv.notify_all();
    w.wake();
    return true;
  }

 private:
  void release() {
    if (!c_) return;
    Waker w;
    {
      std::lock_guard<std::mutex> g(c_->m);
      c_->tx_gone = true;
      w = std::move(c_->w);
    }
    c_->cv.notify_all();
    w.wake();
    c_.reset();
  }
  std::shared_ptr<detail::OneCore<T>> c_;
};

template <class T>
class OneReceiver {
 public:
  OneReceiver() = default;
  explicit OneReceiver(std::shared_ptr<detail::OneCore<T>> c) : c_(std::move(c)) {}
  OneReceiver(OneReceiver&&) noexcept = default;
  OneReceiver& operator=(OneReceiver&& o) noexcept {
    if (this != &o) {
      release();
      c_ = std::move(o.c_);
    }
    return *this;
  }
  ~OneReceiver() { release(); }

  // Item: `out` holds the value. Closed: the sender went without a value. Empty: the
  // running task's waker is recorded.
  Polled poll(std::optional<T>& out) {
    std::lock_guard<std::mutex> g(c_->m);
    if (c_->v) {
      out = std::move(c_->v);
      c_->v.reset();
      return Polled::Item;
    }
    if (c_->tx_gone) return Polled::Closed;
    c_->w = this_task::waker();
    return Polled::Empty;
  }

  // The value, or none when the sender went without one. The receiver must outlive the wait.
  Task<std::optional<T>> recv() {
    for (;;) {
      std::optional<T> v;
      Polled p = poll(v);
      if (p == Polled::Item) co_return v;
      if (p == Polled::Closed) co_return std::nullopt;
      co_await park();
    }
  }

  // Blocks a thread that is not a runtime worker.
  std::optional<T> wait() {
    std::unique_lock<std::mutex> g(c_->m);
    c_->cv.wait(g, [&] { return c_->v.has_value() || c_->tx_gone; });
    std::optional<T> out = std::move(c_->v);
    c_->v.reset();
    return out;
  }

 private:
  void release() {
    if (!c_) return;
    std::optional<T> dropped;
    {
      std::lock_guard<std::mutex> g(c_->m);
      c_->rx_gone = true;
      dropped = std::move(c_->v);
      c_->v.reset();
      c_->w = Waker();
    }
    c_.reset();
  }
  std::shared_ptr<detail::OneCore<T>> c_;
};

template <class T>
std::pair<OneSender<T>, OneReceiver<T>> oneshot() {
  auto c = std::make_shared<detail::OneCore<T>>();
  return {OneSender<T>(c), OneReceiver<T>(c)};
}

}  // namespace vennock::net
