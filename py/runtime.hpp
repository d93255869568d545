// The process runtime as the bindings use it, and the two bridges that run an operation on it:
// as an asyncio awaitable, or as a blocking call that waits with the interpreter detached.
#pragma once

#include <Python.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "net/runtime.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"

namespace vennock::py {

// The process-wide runtime, built with `threads` workers on first use (1 when none is given).
// Only a node start passes a count; a later start asking for another one logs a warning.
Reply<net::Runtime*> runtime(std::optional<size_t> threads = std::nullopt);
// The same, with the failure raised (null returned).
net::Runtime* runtime_or_raise(std::optional<size_t> threads = std::nullopt);

// The exit, in two steps. An atexit hook (registered at import, so it runs before the cleanups
// registered earlier) closes the interpreter to the runtime's threads: from then on none of
// them attaches to it, while the nodes and the runtime go on working, so a later cleanup can
// still close a node or shut it down (a blocking call needs no runtime thread attached; an
// awaitable's result is then collected by its own loop's thread). The runtime's threads are
// stopped and joined only once the interpreter has finalised (Py_AtExit).
bool register_exit_hook();

// Whether the calling thread may still use the runtime: once the exit has begun, only the
// thread running it may (a call from any other ends at once with VennockClosed). Attached.
bool may_use_runtime();

// One blocking wait of the calling thread, as the exit sees it: the exit asks the waits of
// other threads to end and waits until they have (each ends attached again), so that no thread
// is left detached in a wait when the interpreter finalises. Made and ended attached.
class BlockingWait {
 public:
  BlockingWait();
  ~BlockingWait();
  BlockingWait(const BlockingWait&) = delete;
  BlockingWait& operator=(const BlockingWait&) = delete;
  // The exit has begun on another thread: the wait must not start (VennockClosed).
  bool refused() const { return refused_; }
  // Between two slices of the wait, attached: false once the exit asks it to end (at once
  // for a refused wait).
  bool go_on() const;

 private:
  bool refused_ = false;
  bool counted_ = false;
};

namespace bridge {

// The Python side of an awaitable call: the caller's loop, its future and its context. Released
// only with the thread attached; a holder dropped elsewhere (a runtime torn down at exit)
// leaks its references instead of touching the interpreter. Every call is known to the exit
// hook while it lives.
struct Call : std::enable_shared_from_this<Call> {
  Ref loop, future, context;
  Call();
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;
  ~Call();

  // Once the interpreter is closed to the runtime's threads, the work that would have set the
  // outcome on an attached runtime thread waits here for the loop's thread to run it. Guarded
  // by the exit's lock.
  std::function<void()> parked;
};

// The call an operation runs for, while it runs: an awaitable made from inside one (by code the
// operation runs) lives on the same loop and context. Copies share the call; its references
// are only ever released by the operation's end, attached.
const net::TaskLocal<std::shared_ptr<Call>>& task_locals();

// Makes the future on the caller's loop (the running task's, else the thread's running loop)
// and arranges for cancelling it to cancel `token`. Null with the Python error pending.
std::shared_ptr<Call> make_call(const net::CancelToken& token);

// What a result still owns until the loop's thread has set it on its future: settled there,
// told whether it was set, and let go at once (not whenever the loop drops the callback). A
// subscription read uses it to give its event back when the future was cancelled before the
// result could be set, and to release its reader lock before the awaiting task resumes.
struct Pending {
  virtual ~Pending() = default;
  virtual void settle(bool delivered) = 0;
};

// A result on its way to a future: the value, and what it still owns (may be none).
struct Delivery {
  Ref value;
  std::unique_ptr<Pending> pending;
};
template <class T>
Delivery delivery(T&& v) {
  return Delivery{to_python(std::forward<T>(v), Form::Awaitable), nullptr};
}

// Hands `value` (or, when `failed`, the exception `value`) to the future on its loop's thread;
// the future is left alone if it was cancelled meanwhile. Attached.
void deliver(Call& call, Delivery d, bool failed);

// Runs `job` for `call` attached to the interpreter on a thread of the runtime's blocking
// pool, and releases what it holds there too; once the interpreter is closed to the runtime's
// threads, parks it in `call` instead.
void attached(net::Runtime& rt, std::shared_ptr<Call> call, std::function<void()> job);

template <class T>
net::Task<void> run_awaitable(net::Runtime* rt, std::shared_ptr<Call> call, net::CancelToken token,
                              net::Task<Reply<T>> body) {
  // Whatever happens to the task (completion, or cancellation that destroys this frame), the
  // Python references go back on an attached thread, with the outcome when there is one.
  struct Finish {
    net::Runtime* rt;
    std::shared_ptr<Call> call;
    net::CancelToken token;
    std::optional<Reply<T>> outcome;
    ~Finish() {
      // Ended without an outcome and not cancelled: the operation failed inside, and the
      // caller hears of it rather than waiting for ever.
      if (!outcome && !token.cancelled()) outcome.emplace(err(KError(kerror::Failed{})));
      // The job owns the only other reference to the call: one kept here could be the last,
      // dropped on this runtime thread after the job ran, and the call's Python references leak.
      auto shared = std::make_shared<std::pair<std::shared_ptr<Call>, std::optional<Reply<T>>>>(
          call, std::move(outcome));
      attached(*rt, std::move(call), [shared = std::move(shared)] {
        auto& [c, out] = *shared;
        if (!out) return;
        if (out->ok()) {
          deliver(*c, delivery(std::move(out->value())), false);
        } else {
          deliver(*c, Delivery{exception_of(std::move(out->error())), nullptr}, true);
        }
      });
    }
  } finish{rt, call, token, std::nullopt};
  // A cancelled future ends the operation at its next wait, after one more step: what it has
  // begun (a request on its way to the node) it finishes; what it has not begun never happens.
  auto scoped = task_locals().scope(std::move(call), std::move(body));
  auto bounded = net::with_cancel(token, std::move(scoped));
  std::optional<Reply<T>> r = co_await std::move(bounded);
  if (r) finish.outcome.emplace(std::move(*r));
}

// What a blocking wait that gave no value means to the caller: the error is pending.
PyObject* raise_blocked(net::Blocked b);

// Waits for `body` from a Python thread: detached from the interpreter for every 100 ms slice,
// attached between slices to run the pending signal handlers. A handler that raises aborts
// the task and its exception goes up unchanged.
template <class T>
PyObject* wait(net::Runtime& rt, net::Task<Reply<T>> body, std::optional<core::Duration> limit) {
  std::optional<std::chrono::nanoseconds> ns;
  if (limit) ns = nanos_of(*limit);
  BlockingWait known;
  if (known.refused()) return raise(kerror::Closed{});
  PyThreadState* ts = PyEval_SaveThread();
  std::optional<Result<Reply<T>, net::Blocked>> r;
  try {
    r.emplace(rt.block_on(std::move(body), ns, std::chrono::milliseconds(100), [&ts, &known] {
      PyEval_RestoreThread(ts);
      bool go_on = PyErr_CheckSignals() == 0 && known.go_on();
      ts = PyEval_SaveThread();
      return go_on;
    }));
  } catch (const std::bad_alloc&) {
    PyEval_RestoreThread(ts);  // the entry point raises MemoryError, attached
    throw;
  }
  PyEval_RestoreThread(ts);
  if (!*r) return raise_blocked(r->error());
  Reply<T>& reply = r->value();
  if (!reply) return raise(std::move(reply.error()));
  return to_python(std::move(reply.value()), Form::Blocking).release().ptr();
}

}  // namespace bridge

// The blocking form: runs the operation as a task bounded by `limit` and waits for it with the
// interpreter detached. Null with the error pending.
template <class T>
PyObject* block_on(net::Runtime& rt, net::Task<Reply<T>> body, std::optional<core::Duration> limit = std::nullopt) {
  return bridge::wait(rt, std::move(body), limit);
}

// The event loop running on the calling thread, or None; null with the error pending.
Ref running_loop();

// A new future on the caller's running loop, for an operation that may finish at the call,
// and that loop in `loop` when given. Null with the error pending (no running loop).
Ref new_future(Ref* loop = nullptr);
// Sets `value` (or, when `failed`, the exception `value`) on a future just made; false with
// the error pending.
bool set_future(const Ref& future, const Ref& value, bool failed);
// A future already failed with the closed error: for a runtime that has stopped (after the
// interpreter's end), or a thread the exit has left behind. Null with the error pending.
PyObject* closed_future();

// The awaitable form: a future on the caller's running loop, the operation already started.
// Cancelling the future ends the operation at its next wait. Null with the error pending.
template <class T>
PyObject* awaitable(net::Runtime& rt, net::Task<Reply<T>> body) {
  if (rt.stopped() || !may_use_runtime()) return closed_future();
  net::CancelToken token;
  std::shared_ptr<bridge::Call> call = bridge::make_call(token);
  if (!call) return nullptr;
  PyObject* fut = Py_NewRef(call->future.ptr());
  rt.spawn(bridge::run_awaitable<T>(&rt, std::move(call), std::move(token), std::move(body)));
  return fut;
}

}  // namespace vennock::py
