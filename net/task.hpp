// Tasks: lazily started C++20 coroutines run on an Asio strand, with real cancellation.
//
// A task waits in one way only: it parks (`co_await park(deadline)`) after registering its
// Waker with whatever it waits on (a channel, a notifier, a socket's readiness). Any of
// those wakes it; it then looks at all of them again. Nothing is ever consumed by a wait
// that did not return it, so choosing among several inputs cannot lose one.
//
// Aborting a task marks it; at its next suspension point (or at once when it is parked)
// the root coroutine frame is destroyed, which runs the destructors of every frame of the
// task, innermost first: whatever the task holds is released. Nothing is thrown.
//
// A task can also run part of itself under a deadline (`with_deadline`) or a cancel token
// (`with_cancel`): once the deadline has passed or the token is cancelled and that part
// parks, its frames are destroyed the same way and the task goes on after it. Task-local
// values (`TaskLocal`) ride on the same scopes.
#pragma once

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace vennock::net {

using Instant = std::chrono::steady_clock::time_point;
using Strand = asio::strand<asio::io_context::executor_type>;

inline Instant now() { return std::chrono::steady_clock::now(); }
// `t` + `d` (a span of at least 0), or the last instant the clock can hold when the sum would
// go past it: a timeout configured too long for the clock means no deadline, never one that
// wrapped around into the past.
inline Instant after(Instant t, std::chrono::nanoseconds d) {
  if (d.count() <= 0) return t;
  return d >= Instant::max() - t ? Instant::max() : t + d;
}
// `limit` from now, or none when that is past what the clock can hold (no deadline).
inline std::optional<Instant> deadline_in(std::chrono::nanoseconds limit) {
  Instant d = after(now(), limit);
  if (d == Instant::max()) return std::nullopt;
  return d;
}

// How a task ended.
enum class Ended : uint8_t { Completed, Aborted, Panicked };

template <class T>
class Task;

namespace detail {

class TaskState;
// The task running on this thread, or null.
TaskState* current_task();

// What a CancelToken shares with the scope it ends: the flag, and the task to wake.
struct CancelState {
  std::atomic<bool> cancelled{false};
  std::mutex m;
  std::weak_ptr<TaskState> task;
  void cancel();
  void watch(TaskState* t);
};

// One entry of a task's scope stack: a part of the task run under a deadline or a cancel
// token, or a task-local value. It lives in the frame of the coroutine that opened it and
// leaves the stack when that frame goes; everything pushed after it belongs to code running
// inside it.
struct Scope {
  // A bounded scope owning `inner`, the task it runs (destroyed with the scope); it ends at
  // `deadline` or once `cancel` is set.
  Scope(std::optional<Instant> d, std::shared_ptr<CancelState> c, std::coroutine_handle<> inner_task)
      : deadline(d), cancel(std::move(c)), inner(inner_task) {}
  // A task-local value: `value` points to a T for the TaskLocal<T> at `key`.
  Scope(const void* k, const void* v) : key(k), value(v) {}
  ~Scope();
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;
  bool is_bounded() const { return key == nullptr; }
  bool ended(Instant t) const {
    if (!is_bounded()) return false;
    return (deadline && *deadline <= t) || (cancel && cancel->cancelled.load(std::memory_order_acquire));
  }

  Scope* below = nullptr;
  TaskState* task = nullptr;  // while on a task's stack
  std::optional<Instant> deadline;
  std::shared_ptr<CancelState> cancel;
  std::coroutine_handle<> inner;
  std::coroutine_handle<> owner;  // the coroutine awaiting `inner`
  bool expired = false;
  const void* key = nullptr;
  const void* value = nullptr;
};
// The value of the innermost scope of `key` on the running task, or null.
const void* scoped_value(const void* key);

// Called once per task: with its root frame (not yet destroyed) when it completed, with none
// when it was aborted. It releases the frame, counts the task as ended, then tells joiners.
using Finisher = std::function<void(std::coroutine_handle<>, Ended)>;
void task_ended();

class TaskState : public std::enable_shared_from_this<TaskState> {
 public:
  explicit TaskState(Strand strand);
  ~TaskState();
  TaskState(const TaskState&) = delete;
  TaskState& operator=(const TaskState&) = delete;

  // Takes the root frame from `root` once the task is sure to run; on a failed allocation
  // `root` keeps it and nothing has changed.
  template <class T>
  void start(Task<T>& root, Finisher finish);
  void wake();
  void abort();

  // Called by the park awaiter on the task's strand. False: go on without suspending.
  bool park(std::coroutine_handle<> leaf, std::optional<Instant> deadline);
  bool timed_out() const { return timed_out_; }
  // Called from the root frame's final suspension.
  void root_finished(std::coroutine_handle<> root);

  // The scope stack; touched only by the task itself, on its strand.
  void push(Scope* s);
  // Takes `s` and everything pushed after it off the stack.
  void pop(Scope* s);
  Scope* top() const { return top_; }

  static size_t live();

 private:
  void start(std::coroutine_handle<> root, Finisher finish);
  void run();
  // The outermost bounded scope that has ended at `t` (deadline passed, or cancelled), if any.
  Scope* expired_scope(Instant t) const;
  // `deadline`, or an earlier one of the bounded scopes.
  std::optional<Instant> earliest(std::optional<Instant> deadline) const;
  // Destroys the inner task of the scope that ended and resumes the coroutine awaiting it.
  void unwind(Scope* s);
  void arm(Instant at);
  void disarm();
  void on_timer(uint64_t timer_gen);
  void post_run();

  Strand strand_;
  asio::steady_timer timer_;
  // Strand only:
  bool timer_armed_ = false;
  Instant armed_at_{};
  uint64_t timer_gen_ = 0;
  bool timed_out_ = false;
  std::optional<Instant> park_own_;  // what the parked code asked for; park_deadline_ may be a scope's
  Scope* top_ = nullptr;
  Scope* expiring_ = nullptr;  // set by park, unwound by run once the resume has returned
  std::optional<Instant> park_deadline_;

  std::mutex m_;
  std::coroutine_handle<> root_;
  std::coroutine_handle<> leaf_;
  Finisher finish_;
  bool notified_ = false;
  bool parked_ = false;
  bool scheduled_ = false;
  bool aborted_ = false;
  bool done_ = false;
};

}  // namespace detail

// Wakes one task; cheap to copy; callable from any thread, also after the task ended.
class Waker {
 public:
  Waker() = default;
  explicit Waker(std::shared_ptr<detail::TaskState> st) : st_(std::move(st)) {}
  void wake() const {
    if (st_) st_->wake();
  }
  bool valid() const { return st_ != nullptr; }
  bool same(const Waker& o) const { return st_ == o.st_; }

 private:
  std::shared_ptr<detail::TaskState> st_;
};

namespace this_task {
// The running task's waker; empty when called outside a task.
Waker waker();
inline bool inside() { return detail::current_task() != nullptr; }
}  // namespace this_task

// Suspends the running task until it is woken or `deadline` passes; returns true when it
// returned because of the deadline. A wake that came while the task was running makes it
// return at once.
struct ParkAwaiter {
  std::optional<Instant> deadline;
  bool await_ready() const noexcept { return false; }
  bool await_suspend(std::coroutine_handle<> h) { return detail::current_task()->park(h, deadline); }
  bool await_resume() const noexcept { return detail::current_task()->timed_out(); }
};
inline ParkAwaiter park(std::optional<Instant> deadline = std::nullopt) { return ParkAwaiter{deadline}; }

// ---- Task<T> ----------------------------------------------------------------------------

template <class T = void>
class Task;

namespace detail {

struct PromiseBase {
  std::coroutine_handle<> continuation;
  std::exception_ptr failure;

  std::suspend_always initial_suspend() noexcept { return {}; }
  struct FinalAwaiter {
    bool await_ready() const noexcept { return false; }
    template <class P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> h) noexcept {
      std::coroutine_handle<> next = h.promise().continuation;
      if (next) return next;
      // The root of a task: hand the result over; the frame is destroyed in there.
      current_task()->root_finished(h);
      return std::noop_coroutine();
    }
    void await_resume() const noexcept {}
  };
  FinalAwaiter final_suspend() noexcept { return {}; }
  // Only a fault of the standard library can get here (we throw nothing): it ends the task
  // as Panicked, unwinding every frame on its way.
  void unhandled_exception() noexcept { failure = std::current_exception(); }
};

template <class T>
struct Promise : PromiseBase {
  std::optional<T> value;
  Task<T> get_return_object();
  template <class U>
  void return_value(U&& v) {
    value.emplace(std::forward<U>(v));
  }
};

template <>
struct Promise<void> : PromiseBase {
  Task<void> get_return_object();
  void return_void() {}
};

}  // namespace detail

template <class T>
class [[nodiscard]] Task {
 public:
  using promise_type = detail::Promise<T>;
  using Handle = std::coroutine_handle<promise_type>;

  Task() = default;
  explicit Task(Handle h) : h_(h) {}
  Task(Task&& o) noexcept : h_(std::exchange(o.h_, {})) {}
  Task& operator=(Task&& o) noexcept {
    if (this != &o) {
      if (h_) h_.destroy();
      h_ = std::exchange(o.h_, {});
    }
    return *this;
  }
  ~Task() {
    if (h_) h_.destroy();
  }
  bool valid() const { return static_cast<bool>(h_); }
  Handle release() { return std::exchange(h_, {}); }

  struct Awaiter {
    Handle h;
    bool await_ready() const noexcept { return false; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> parent) noexcept {
      h.promise().continuation = parent;
      return h;
    }
    T await_resume() {
      if (h.promise().failure) std::rethrow_exception(h.promise().failure);
      if constexpr (!std::is_void_v<T>) return std::move(*h.promise().value);
    }
  };
  Awaiter operator co_await() && noexcept { return Awaiter{h_}; }

 private:
  Handle h_;
};

namespace detail {
template <class T>
Task<T> Promise<T>::get_return_object() {
  return Task<T>(std::coroutine_handle<Promise<T>>::from_promise(*this));
}
inline Task<void> Promise<void>::get_return_object() {
  return Task<void>(std::coroutine_handle<Promise<void>>::from_promise(*this));
}
template <class T>
void TaskState::start(Task<T>& root, Finisher finish) {
  auto h = root.release();
  try {
    start(h, std::move(finish));
  } catch (...) {
    root = Task<T>(h);
    throw;
  }
}
}  // namespace detail

// ---- joining ------------------------------------------------------------------------------

template <class T>
using Value = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

template <class T>
struct Joined {
  Ended how = Ended::Aborted;
  std::optional<Value<T>> value;
  bool completed() const { return how == Ended::Completed; }
};

namespace detail {

struct JoinBase {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  Ended how = Ended::Aborted;
  Waker joiner;

  void finish(Ended h) {
    Waker w;
    {
      std::lock_guard<std::mutex> g(m);
      done = true;
      how = h;
      w = std::move(joiner);
      joiner = Waker();
    }
    cv.notify_all();
    w.wake();
  }
  bool poll(const Waker& w) {
    std::lock_guard<std::mutex> g(m);
    if (done) return true;
    joiner = w;
    return false;
  }
  bool is_done() {
    std::lock_guard<std::mutex> g(m);
    return done;
  }
};

template <class T>
struct JoinState : JoinBase {
  std::optional<Value<T>> value;
};

}  // namespace detail

// Aborts a task without keeping it alive.
class AbortHandle {
 public:
  AbortHandle() = default;
  explicit AbortHandle(std::weak_ptr<detail::TaskState> t) : t_(std::move(t)) {}
  void abort() const {
    if (auto t = t_.lock()) t->abort();
  }

 private:
  std::weak_ptr<detail::TaskState> t_;
};

template <class T>
class JoinHandle {
 public:
  JoinHandle() = default;
  JoinHandle(std::shared_ptr<detail::JoinState<T>> j, std::shared_ptr<detail::TaskState> t)
      : j_(std::move(j)), t_(std::move(t)) {}

  // A handle for a task dropped without running (its runtime was stopped).
  static JoinHandle dropped(Task<T> t) {
    { auto gone = std::move(t); }
    auto j = std::make_shared<detail::JoinState<T>>();
    j->finish(Ended::Aborted);
    return JoinHandle(std::move(j), nullptr);
  }

  bool valid() const { return j_ != nullptr; }
  void abort() const {
    if (t_) t_->abort();
  }
  AbortHandle abort_handle() const { return AbortHandle(t_); }
  bool is_finished() const { return j_ && j_->is_done(); }
  // Registers the waker; true once the task has ended.
  bool poll(const Waker& w) const { return j_->poll(w); }

  // The outcome of a finished task (its value moved out).
  Joined<T> take() {
    std::lock_guard<std::mutex> g(j_->m);
    return Joined<T>{j_->how, std::move(j_->value)};
  }

  // Waits inside a task.
  Task<Joined<T>> join() const { return join_state(j_); }

  // Blocks the calling thread, which must not be a runtime worker.
  Joined<T> wait() {
    std::unique_lock<std::mutex> g(j_->m);
    j_->cv.wait(g, [&] { return j_->done; });
    return Joined<T>{j_->how, std::move(j_->value)};
  }
  // Waits at most `d`; none if the task has not ended by then.
  template <class Rep, class Period>
  std::optional<Joined<T>> wait_for(std::chrono::duration<Rep, Period> d) {
    std::unique_lock<std::mutex> g(j_->m);
    if (!j_->cv.wait_for(g, d, [&] { return j_->done; })) return std::nullopt;
    return Joined<T>{j_->how, std::move(j_->value)};
  }

 private:
  static Task<Joined<T>> join_state(std::shared_ptr<detail::JoinState<T>> j) {
    Waker w = this_task::waker();
    while (!j->poll(w)) co_await park();
    std::lock_guard<std::mutex> g(j->m);
    co_return Joined<T>{j->how, std::move(j->value)};
  }

  std::shared_ptr<detail::JoinState<T>> j_;
  std::shared_ptr<detail::TaskState> t_;
};

// Starts `task` on `strand`; it first runs from the strand, never inside this call.
// A failed allocation throws with nothing started: the task is destroyed unrun.
template <class T>
JoinHandle<T> spawn(Strand strand, Task<T> task) {
  using P = detail::Promise<T>;
  auto join = std::make_shared<detail::JoinState<T>>();
  auto st = std::make_shared<detail::TaskState>(strand);
  detail::Finisher finish([join](std::coroutine_handle<> raw, Ended how) {
    if (raw) {
      auto th = std::coroutine_handle<P>::from_address(raw.address());
      if (th.promise().failure) {
        how = Ended::Panicked;
      } else if constexpr (std::is_void_v<T>) {
        join->value.emplace();
      } else {
        join->value.emplace(std::move(*th.promise().value));
      }
      th.destroy();
    }
    detail::task_ended();
    join->finish(how);
  });
  st->start(task, std::move(finish));
  return JoinHandle<T>(std::move(join), std::move(st));
}

// Owns a set of tasks; aborts every one still running when it is dropped.
template <class T>
class JoinSet {
 public:
  JoinSet() = default;
  JoinSet(const JoinSet&) = delete;
  JoinSet& operator=(const JoinSet&) = delete;
  JoinSet(JoinSet&&) noexcept = default;
  JoinSet& operator=(JoinSet&& o) noexcept {
    abort_all();
    tasks_ = std::move(o.tasks_);
    return *this;
  }
  ~JoinSet() { abort_all(); }

  AbortHandle spawn(Strand strand, Task<T> task) {
    tasks_.push_back(net::spawn(strand, std::move(task)));
    return tasks_.back().abort_handle();
  }
  size_t size() const { return tasks_.size(); }
  bool empty() const { return tasks_.empty(); }
  void abort_all() {
    for (auto& t : tasks_) t.abort();
  }
  // Drops every task that has already ended, without waiting; returns how many.
  size_t reap() {
    size_t before = tasks_.size();
    std::erase_if(tasks_, [](const JoinHandle<T>& t) { return t.is_finished(); });
    return before - tasks_.size();
  }
  // Waits for the next task to end, in the order they end; none once the set is empty.
  // The set must outlive the wait.
  Task<std::optional<Joined<T>>> join_next() {
    Waker w = this_task::waker();
    for (;;) {
      if (tasks_.empty()) co_return std::nullopt;
      for (size_t i = 0; i < tasks_.size(); ++i) {
        if (tasks_[i].poll(w)) {
          auto r = tasks_[i].take();
          tasks_.erase(tasks_.begin() + static_cast<std::ptrdiff_t>(i));
          co_return r;
        }
      }
      co_await park();
    }
  }
  // Aborts every task and waits until all have ended.
  Task<void> shutdown() {
    abort_all();
    for (;;) {
      // (Never a co_await inside a condition: g++ 12 drops the awaited task there.)
      auto j = co_await join_next();
      if (!j) break;
    }
  }

 private:
  std::vector<JoinHandle<T>> tasks_;
};

// Sleeps the running task until `deadline`.
Task<void> sleep_until(Instant deadline);
Task<void> sleep_for(std::chrono::nanoseconds d);

// ---- deadlines, cancel tokens and task-local values ------------------------------------

namespace detail {
// Starts the inner task of a bounded scope, with the awaiting coroutine as its continuation.
template <class P>
struct EnterScope {
  Scope* s;
  std::coroutine_handle<P> inner;
  bool await_ready() const noexcept { return false; }
  std::coroutine_handle<> await_suspend(std::coroutine_handle<> owner) {
    inner.promise().continuation = owner;
    s->owner = owner;
    current_task()->push(s);
    if (s->cancel) s->cancel->watch(current_task());
    return inner;
  }
  void await_resume() const noexcept {
    if (s->task) s->task->pop(s);
  }
};

template <class T>
Task<std::optional<Value<T>>> run_bounded(std::optional<Instant> deadline, std::shared_ptr<CancelState> cancel,
                                          Task<T> task) {
  if (!deadline && !cancel) {
    if constexpr (std::is_void_v<T>) {
      co_await std::move(task);
      co_return std::monostate{};
    } else {
      co_return co_await std::move(task);
    }
  }
  auto inner = task.release();
  Scope scope(deadline, std::move(cancel), inner);
  EnterScope<Promise<T>> enter{&scope, inner};
  co_await enter;
  if (scope.expired) co_return std::nullopt;
  if (inner.promise().failure) std::rethrow_exception(inner.promise().failure);
  if constexpr (std::is_void_v<T>) {
    co_return std::monostate{};
  } else {
    co_return std::move(*inner.promise().value);
  }
}
}  // namespace detail

// Runs `task` (inside the running task) until `deadline`: its value, or none when the
// deadline passed first. The task is always advanced before the deadline is looked at: it
// runs until it first parks even when the deadline has already passed, and whenever it is
// woken it runs again before the deadline can end it, so a value it can give at that moment
// is given. Once the deadline has passed and it parks, its frames are destroyed (releasing
// what they hold) and none is the result. No deadline runs it to its end. Dropping the
// awaiting task drops `task` with it.
template <class T>
Task<std::optional<Value<T>>> with_deadline(std::optional<Instant> deadline, Task<T> task) {
  return detail::run_bounded(deadline, nullptr, std::move(task));
}

// The same with the deadline `limit` after the moment the returned task first runs (a limit
// too long for the clock means none).
template <class T>
Task<std::optional<Value<T>>> with_timeout(std::chrono::nanoseconds limit, Task<T> task) {
  auto bounded = with_deadline(deadline_in(limit), std::move(task));
  co_return co_await std::move(bounded);
}

// Ends, from any thread, the part of a task run under it (`with_cancel`).
class CancelToken {
 public:
  CancelToken() : st_(std::make_shared<detail::CancelState>()) {}
  // Sets the token and wakes the task running its scope; that part ends at its next park (it
  // runs once more first). Cancelling before the scope starts still lets it run to its first
  // park.
  void cancel() const { st_->cancel(); }
  bool cancelled() const { return st_->cancelled.load(std::memory_order_acquire); }
  const std::shared_ptr<detail::CancelState>& state() const { return st_; }

 private:
  std::shared_ptr<detail::CancelState> st_;
};

// Runs `task` until `token` is cancelled, as `with_deadline` runs it until a deadline: its
// value, or none when it was cancelled first.
template <class T>
Task<std::optional<Value<T>>> with_cancel(const CancelToken& token, Task<T> task) {
  return detail::run_bounded(std::nullopt, token.state(), std::move(task));
}

// A value attached to the task being run rather than to a thread: `scope` runs a task with
// the slot holding a value, and `get`, called from inside that task (or from whatever it
// awaits, on whatever thread it is resumed), gives a copy of it. Tasks spawned from inside do
// not inherit it. The slot must outlive its scopes.
template <class T>
class TaskLocal {
 public:
  TaskLocal() = default;
  TaskLocal(const TaskLocal&) = delete;
  TaskLocal& operator=(const TaskLocal&) = delete;

  template <class U>
  Task<U> scope(T value, Task<U> task) const {
    return scoped(this, std::move(value), std::move(task));
  }
  // The innermost scope's value; none outside every scope of this slot or outside any task.
  std::optional<T> get() const {
    if (const void* v = detail::scoped_value(this)) return *static_cast<const T*>(v);
    return std::nullopt;
  }

 private:
  template <class U>
  static Task<U> scoped(const void* key, T value, Task<U> task) {
    detail::Scope s(key, &value);
    detail::current_task()->push(&s);
    if constexpr (std::is_void_v<U>) {
      co_await std::move(task);
    } else {
      co_return co_await std::move(task);
    }
  }
};

}  // namespace vennock::net
