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

}  // namespace vennock::net
