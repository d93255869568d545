#include "net/sync.hpp"

namespace vennock::net {

Notify::~Notify() {
  // Waiters must not outlive their notifier; detach any left so their destructors do nothing.
  std::lock_guard<std::mutex> g(m_);
  for (Waiter* w = head_; w;) {
    Waiter* n = w->next_;
    w->linked_ = false;
    w->prev_ = w->next_ = nullptr;
    w = n;
  }
  head_ = tail_ = nullptr;
}

void Notify::link(Waiter* w) {
  w->prev_ = tail_;
  w->next_ = nullptr;
  if (tail_) {
    tail_->next_ = w;
  } else {
    head_ = w;
  }
  tail_ = w;
  w->linked_ = true;
}

void Notify::unlink(Waiter* w) {
  if (!w->linked_) return;
  if (w->prev_) {
    w->prev_->next_ = w->next_;
  } else {
    head_ = w->next_;
  }
  if (w->next_) {
    w->next_->prev_ = w->prev_;
  } else {
    tail_ = w->prev_;
  }
  w->prev_ = w->next_ = nullptr;
  w->linked_ = false;
}

Waker Notify::notify_one_locked() {
  if (Waiter* w = head_) {
    unlink(w);
    w->got_ = Waiter::Got::One;
    return w->w_;
  }
  permit_ = true;
  return Waker();
}

void Notify::notify_one() {
  Waker w;
  {
    std::lock_guard<std::mutex> g(m_);
    w = notify_one_locked();
  }
  w.wake();
}

void Notify::notify_waiters() {
  std::vector<Waker> wake;
  {
    std::lock_guard<std::mutex> g(m_);
    while (Waiter* w = head_) {
      unlink(w);
      w->got_ = Waiter::Got::All;
      if (w->w_.valid()) wake.push_back(w->w_);
    }
  }
  for (auto& w : wake) w.wake();
}

Notify::Waiter::Waiter(Notify& n) : n_(n) {
  std::lock_guard<std::mutex> g(n_.m_);
  n_.link(this);
}

Notify::Waiter::~Waiter() {
  Waker pass;
  {
    std::lock_guard<std::mutex> g(n_.m_);
    n_.unlink(this);
    // A notify_one handed to a waiter that never took it goes to the next one.
    if (got_ == Got::One && !consumed_) pass = n_.notify_one_locked();
  }
  pass.wake();
}

bool Notify::Waiter::poll() {
  std::lock_guard<std::mutex> g(n_.m_);
  if (got_ != Got::Nothing) {
    consumed_ = true;
    return true;
  }
  if (n_.permit_) {
    n_.permit_ = false;
    n_.unlink(this);
    got_ = Got::One;
    consumed_ = true;
    return true;
  }
  w_ = this_task::waker();
  return false;
}

Task<void> Notify::notified() {
  Waiter w(*this);
  while (!w.poll()) co_await park();
}

// ---- AsyncMutex ---------------------------------------------------------------------------

// A place in the queue, from construction (granted at once when the lock is free) until it is
// taken or dropped.
class AsyncMutex::Wait {
 public:
  AsyncMutex& mutex() const { return m_; }
  explicit Wait(AsyncMutex& m) : m_(m) {
    std::lock_guard<std::mutex> g(m_.m_);
    if (!m_.locked_) {
      m_.locked_ = true;
      w_.granted = true;
      return;
    }
    if (m_.tail_) {
      m_.tail_->next = &w_;
    } else {
      m_.head_ = &w_;
    }
    m_.tail_ = &w_;
  }
  ~Wait() {
    bool pass_on = false;
    {
      std::lock_guard<std::mutex> g(m_.m_);
      // Not granted means still queued: a wait that was not queued was granted at once.
      if (!w_.granted) {
        unlink();
      } else {
        pass_on = !taken_;
      }
    }
    // Handed the lock but dropped before taking it: the next in line gets it.
    if (pass_on) m_.release();
  }
  Wait(const Wait&) = delete;
  Wait& operator=(const Wait&) = delete;

  // True once granted (the lock is then the caller's); otherwise records the running task's
  // waker for the hand-over.
  bool poll() {
    std::lock_guard<std::mutex> g(m_.m_);
    if (w_.granted) {
      taken_ = true;
      return true;
    }
    w_.w = this_task::waker();
    return false;
  }

 private:
  void unlink() {
    Waiter* prev = nullptr;
    for (Waiter* x = m_.head_; x; prev = x, x = x->next) {
      if (x != &w_) continue;
      (prev ? prev->next : m_.head_) = x->next;
      if (m_.tail_ == x) m_.tail_ = prev;
      return;
    }
  }

  AsyncMutex& m_;
  Waiter w_;
  bool taken_ = false;
};

std::optional<AsyncMutex::Guard> AsyncMutex::try_lock() {
  std::lock_guard<std::mutex> g(m_);
  if (locked_) return std::nullopt;
  locked_ = true;
  return Guard(this);
}

Task<AsyncMutex::Guard> AsyncMutex::lock() {
  Wait w(*this);
  while (!w.poll()) co_await park();
  co_return Guard(this);
}

AsyncMutex::Place::Place(AsyncMutex& m) : wait_(std::make_unique<Wait>(m)) {}
AsyncMutex::Place::Place(Place&& o) noexcept = default;
AsyncMutex::Place::~Place() = default;

Task<AsyncMutex::Guard> AsyncMutex::acquire(Place p) {
  while (!p.wait_->poll()) co_await park();
  co_return Guard(&p.wait_->mutex());
}

bool AsyncMutex::is_locked() {
  std::lock_guard<std::mutex> g(m_);
  return locked_;
}

void AsyncMutex::release() {
  Waker wake;
  {
    std::lock_guard<std::mutex> g(m_);
    Waiter* next = head_;
    if (!next) {
      locked_ = false;
      return;
    }
    head_ = next->next;
    if (!head_) tail_ = nullptr;
    next->next = nullptr;
    next->granted = true;  // stays locked: it is that waiter's now
    wake = next->w;
  }
  wake.wake();
}

}  // namespace vennock::net
