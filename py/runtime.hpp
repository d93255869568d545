// The process runtime as the bindings use it, and the two bridges that run an operation on it:
// as an asyncio awaitable, or as a blocking call that waits with the interpreter detached.
#pragma once

#include <Python.h>

#include <chrono>
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

// Stops the runtime's threads before the interpreter finalises (registered with atexit), so no
// runtime thread tries to attach to an interpreter that is going away.
bool register_exit_hook();

namespace bridge {

// The Python side of an awaitable call: the caller's loop, its future and its context. Released
// only with the thread attached; a holder dropped elsewhere (a runtime torn down at exit)
// leaks its references instead of touching the interpreter.
struct Call {
  Ref loop, future, context;
  Call() = default;
  Call(Call&&) = default;
  Call& operator=(Call&&) = default;
  ~Call();
};

// Makes the future on the caller's running loop and arranges for cancelling it to abort the
// task behind `abort` (set once the task exists). Null with the Python error pending.
std::unique_ptr<Call> make_call(std::shared_ptr<net::AbortHandle>& abort);

// Hands `value` (or, when `failed`, the exception `value`) to the future on its loop's thread;
// the future is left alone if it was cancelled meanwhile. Attached.
void deliver(Call& call, Ref value, bool failed);

// Runs `job` attached to the interpreter on a thread of the runtime's blocking pool, and
// releases what it holds there too.
void attached(net::Runtime& rt, std::function<void()> job);

template <class T>
net::Task<void> run_awaitable(net::Runtime* rt, std::unique_ptr<Call> call, net::Task<Reply<T>> body) {
  // Whatever happens to the task (completion, or cancellation that destroys this frame), the
  // Python references go back on an attached thread, with the outcome when there is one.
  struct Finish {
    net::Runtime* rt;
    std::unique_ptr<Call> call;
    std::optional<Reply<T>> outcome;
    ~Finish() {
      auto shared = std::make_shared<std::pair<std::unique_ptr<Call>, std::optional<Reply<T>>>>(
          std::move(call), std::move(outcome));
      attached(*rt, [shared] {
        auto& [c, out] = *shared;
        if (!out) return;
        if (out->ok()) {
          deliver(*c, to_python(std::move(out->value()), Form::Awaitable), false);
        } else {
          deliver(*c, exception_of(std::move(out->error())), true);
        }
      });
    }
  } finish{rt, std::move(call), std::nullopt};
  finish.outcome.emplace(co_await std::move(body));
}

// Runs `body` until `limit` (counted from when the task first runs) has passed, then drops it
// and gives Timeout. A limit too large for the clock is no limit.
template <class T>
net::Task<Reply<T>> limited(std::optional<core::Duration> limit, net::Task<Reply<T>> body) {
  if (!limit) co_return co_await std::move(body);
  auto bounded = net::with_timeout(nanos_of(*limit), std::move(body));
  std::optional<Reply<T>> r = co_await std::move(bounded);
  if (!r) co_return err(KError(kerror::Timeout{}));
  co_return std::move(*r);
}

// The blocking form's outcome: its value, or the error its ending means. A task that failed
// inside is the node's internal failure, as the awaitable form reports it too.
template <class T>
PyObject* outcome(net::Joined<Reply<T>>&& j) {
  if (j.how == net::Ended::Panicked) return raise(kerror::Failed{});
  if (!j.completed() || !j.value) return raise(kerror::Closed{});
  Reply<T>& r = *j.value;
  if (!r) return raise(std::move(r.error()));
  return to_python(std::move(r.value()), Form::Blocking).release().ptr();
}

// Waits for the task detached from the interpreter, 100 ms at a time, running the pending
// signal handlers between slices; a handler that raises aborts the task, and its exception
// goes up unchanged.
template <class T>
PyObject* wait(net::JoinHandle<Reply<T>>& h) {
  for (;;) {
    std::optional<net::Joined<Reply<T>>> j;
    Py_BEGIN_ALLOW_THREADS
    j = h.wait_for(std::chrono::milliseconds(100));
    Py_END_ALLOW_THREADS
    if (j) return outcome(std::move(*j));
    if (PyErr_CheckSignals() < 0) {
      h.abort();
      return nullptr;
    }
  }
}

}  // namespace bridge

// The blocking form: runs the operation as a task bounded by `limit` and waits for it with the
// interpreter detached. Null with the error pending.
template <class T>
PyObject* block_on(net::Runtime& rt, net::Task<Reply<T>> body, std::optional<core::Duration> limit = std::nullopt) {
  auto h = rt.spawn(bridge::limited<T>(limit, std::move(body)));
  return bridge::wait(h);
}

// The awaitable form: a future on the caller's running loop, the operation already started.
// Cancelling the future aborts the operation at its next step. Null with the error pending.
template <class T>
PyObject* awaitable(net::Runtime& rt, net::Task<Reply<T>> body) {
  auto abort = std::make_shared<net::AbortHandle>();
  std::unique_ptr<bridge::Call> call = bridge::make_call(abort);
  if (!call) return nullptr;
  PyObject* fut = Py_NewRef(call->future.ptr());
  auto handle = rt.spawn(bridge::run_awaitable<T>(&rt, std::move(call), std::move(body)));
  *abort = handle.abort_handle();
  return fut;
}

}  // namespace vennock::py
