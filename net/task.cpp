#include "net/task.hpp"

namespace vennock::net {

namespace detail {

namespace {
thread_local TaskState* t_current = nullptr;
std::atomic<size_t> g_live{0};

struct CurrentGuard {
  TaskState* prev;
  explicit CurrentGuard(TaskState* t) : prev(t_current) { t_current = t; }
  ~CurrentGuard() { t_current = prev; }
};
}  // namespace

TaskState* current_task() { return t_current; }

Scope::~Scope() {
  if (task) task->pop(this);
  if (inner) inner.destroy();
}

void CancelState::cancel() {
  cancelled.store(true, std::memory_order_release);
  std::shared_ptr<TaskState> t;
  {
    std::lock_guard<std::mutex> g(m);
    t = task.lock();
  }
  if (t) t->wake();
}

void CancelState::watch(TaskState* t) {
  std::lock_guard<std::mutex> g(m);
  task = t->weak_from_this();
}

const void* scoped_value(const void* key) {
  TaskState* t = current_task();
  for (Scope* s = t ? t->top() : nullptr; s; s = s->below)
    if (s->key == key) return s->value;
  return nullptr;
}

size_t TaskState::live() { return g_live.load(std::memory_order_acquire); }
void task_ended() { g_live.fetch_sub(1, std::memory_order_acq_rel); }

TaskState::TaskState(Strand strand) : strand_(strand), timer_(strand) {}

TaskState::~TaskState() {
  // Nobody can wake this task any more: release its frames so nothing it holds leaks.
  if (root_) {
    CurrentGuard g(this);
    auto r = std::exchange(root_, {});
    r.destroy();
  }
  if (finish_) {
    auto f = std::move(finish_);
    f(nullptr, Ended::Aborted);
  }
}

void TaskState::start(std::coroutine_handle<> root, Finisher finish) {
  {
    std::lock_guard<std::mutex> g(m_);
    root_ = root;
    finish_ = std::move(finish);
    scheduled_ = true;
  }
  g_live.fetch_add(1, std::memory_order_acq_rel);
  try {
    post_run();
  } catch (...) {  // a failed allocation: undone, and the caller keeps the frame
    {
      std::lock_guard<std::mutex> g(m_);
      root_ = {};
      finish_ = nullptr;
      scheduled_ = false;
    }
    g_live.fetch_sub(1, std::memory_order_acq_rel);
    throw;
  }
}

void TaskState::post_run() {
  asio::post(strand_, [self = shared_from_this()] { self->run(); });
}

void TaskState::wake() {
  std::unique_lock<std::mutex> g(m_);
  notified_ = true;
  if (parked_ && !scheduled_ && !done_) {
    scheduled_ = true;
    g.unlock();
    post_run();
  }
}

void TaskState::abort() {
  std::unique_lock<std::mutex> g(m_);
  if (done_) return;
  aborted_ = true;
  if (parked_ && !scheduled_) {
    scheduled_ = true;
    g.unlock();
    post_run();
  }
}

bool TaskState::park(std::coroutine_handle<> leaf, std::optional<Instant> deadline) {
  // (The clock is read only when something here has a deadline.)
  const Instant t = top_ || deadline ? std::chrono::steady_clock::now() : Instant{};
  // The scope stack is the task's own: read outside the lock.
  Scope* expired = expired_scope(t);
  const std::optional<Instant> due = earliest(deadline);
  std::unique_lock<std::mutex> g(m_);
  leaf_ = leaf;
  timed_out_ = false;
  if (aborted_) {
    parked_ = true;
    if (!scheduled_) {
      scheduled_ = true;
      g.unlock();
      post_run();
    }
    return true;
  }
  if (expired) {
    // Suspends without parking: run() unwinds it once this resume has returned, so no frame
    // is destroyed while it is still on the stack.
    expiring_ = expired;
    return true;
  }
  if (notified_) {
    notified_ = false;
    return false;
  }
  if (deadline && *deadline <= t) {
    timed_out_ = true;
    return false;
  }
  parked_ = true;
  park_own_ = deadline;
  park_deadline_ = due;
  g.unlock();
  // Still on the strand: run() cannot start before this returns. A timer already armed for
  // this deadline or an earlier one is kept (one that fires early arms again), so a task that
  // parks with the same deadline over and over costs no timer changes.
  if (due && (!timer_armed_ || *due < armed_at_)) arm(*due);
  return true;
}

Scope* TaskState::expired_scope(Instant t) const {
  Scope* out = nullptr;
  for (Scope* s = top_; s; s = s->below)
    if (s->ended(t)) out = s;
  return out;
}

std::optional<Instant> TaskState::earliest(std::optional<Instant> deadline) const {
  for (Scope* s = top_; s; s = s->below)
    if (s->is_bounded() && s->deadline && (!deadline || *s->deadline < *deadline)) deadline = s->deadline;
  return deadline;
}

void TaskState::push(Scope* s) {
  s->below = top_;
  s->task = this;
  top_ = s;
}

void TaskState::pop(Scope* s) {
  while (Scope* t = top_) {
    top_ = t->below;
    t->task = nullptr;
    if (t == s) break;
  }
}

void TaskState::unwind(Scope* s) {
  pop(s);
  s->expired = true;
  auto inner = std::exchange(s->inner, {});
  leaf_ = {};
  inner.destroy();
  s->owner.resume();
}

void TaskState::arm(Instant at) {
  timer_.expires_at(at);
  timer_armed_ = true;
  armed_at_ = at;
  uint64_t tg = ++timer_gen_;
  timer_.async_wait([self = shared_from_this(), tg](const asio::error_code& ec) {
    if (!ec) self->on_timer(tg);
  });
}

void TaskState::on_timer(uint64_t tg) {
  if (tg != timer_gen_) return;  // replaced by a later arm
  timer_armed_ = false;
  Instant due;
  bool fire = false, own = false;
  {
    std::lock_guard<std::mutex> g(m_);
    if (!parked_ || scheduled_ || done_ || !park_deadline_) return;
    due = *park_deadline_;
    const Instant t = std::chrono::steady_clock::now();
    if (t >= due) {
      scheduled_ = true;
      fire = true;
      own = park_own_ && t >= *park_own_;
    }
  }
  if (!fire) {
    arm(due);  // armed for an earlier park; this one waits longer
    return;
  }
  // A scope's deadline resumes the parked code without "timed out": it looks at its inputs
  // once more, and its next park ends the scope.
  timed_out_ = own;
  run();
}

void TaskState::disarm() {
  if (!timer_armed_) return;
  timer_armed_ = false;
  ++timer_gen_;
  timer_.cancel();
}

void TaskState::run() {
  std::unique_lock<std::mutex> g(m_);
  scheduled_ = false;
  if (done_) return;
  if (aborted_) {
    done_ = true;
    parked_ = false;
    auto root = std::exchange(root_, {});
    leaf_ = {};
    auto finish = std::move(finish_);
    finish_ = nullptr;
    g.unlock();
    disarm();
    {
      CurrentGuard cg(this);
      if (root) root.destroy();
    }
    if (finish) finish(nullptr, Ended::Aborted);
    return;
  }
  parked_ = false;
  notified_ = false;
  park_deadline_.reset();
  park_own_.reset();
  std::coroutine_handle<> h = leaf_ ? leaf_ : root_;
  g.unlock();
  CurrentGuard cg(this);
  h.resume();
  while (Scope* s = std::exchange(expiring_, nullptr)) unwind(s);
}

void TaskState::root_finished(std::coroutine_handle<> root) {
  Finisher finish;
  {
    std::lock_guard<std::mutex> g(m_);
    done_ = true;
    root_ = {};
    leaf_ = {};
    finish = std::move(finish_);
    finish_ = nullptr;
  }
  // Keeps this state alive while the finisher releases the last handles to it.
  auto self = shared_from_this();
  disarm();
  if (finish) finish(root, Ended::Completed);
}

}  // namespace detail

namespace this_task {
Waker waker() {
  auto* t = detail::current_task();
  if (!t) return Waker();
  // Empty while a task's frames are being released after its last owner went.
  return Waker(t->weak_from_this().lock());
}
}  // namespace this_task

Task<void> sleep_until(Instant deadline) {
  while (now() < deadline) co_await park(deadline);
}

Task<void> sleep_for(std::chrono::nanoseconds d) { co_await sleep_until(after(now(), d)); }

}  // namespace vennock::net
