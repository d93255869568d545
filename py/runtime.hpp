// The process runtime as the bindings use it, and the two bridges that run an operation on it:
// as an asyncio awaitable, or as a blocking call that waits with the interpreter detached.
#pragma once

#include <Python.h>

#include <chrono>
#include <functional>
#include <memory>
#include <new>
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
// Whether the exit has begun and leaves the thread `ident` (the interpreter's id) behind:
// every thread but the one running it.
bool left_behind(unsigned long ident);

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

// What a call made on a thread the exit leaves behind gives, and what an awaitable of such a
// thread is given when the exit abandons it: `Closed` raises VennockClosed; `End` (a read) is
// the end of the subscription, None, so that a reader thread's loop ends as it would at a close.
enum class OnExit : uint8_t { Closed, End };

struct Call;

// Where a call's outcome stands. Kept under the exit's lock and changed only by the one
// function that decides it (runtime.cpp), so that each of its turns is decided once.
struct Fate {
  enum class Stage : uint8_t {
    Running,  // the operation has not ended
    Parked,   // the outcome waits for the loop's thread (the interpreter is closed to ours)
    Settled,  // the outcome is handed to the loop (by the one thread that was told to), or dropped
  };
  Stage stage = Stage::Running;
  // Nobody takes an outcome any more: the future is done (cancelled, set by anyone, failed by
  // the exit) or its loop will never set it (closed, or running on a thread the exit left).
  bool unwanted = false;
  std::shared_ptr<Call> parked;  // the call itself while Parked: kept until decided
};

// The Python side of an awaitable call: the caller's loop, its future and its context, and the
// operation's outcome until it is handed to the loop. Every call made before the exit began is
// known to the exit hook while it lives.
struct Call : std::enable_shared_from_this<Call> {
  Ref loop, future, context;
  // Ends the operation once its outcome is unwanted.
  net::CancelToken token;
  OnExit on_exit = OnExit::Closed;
  Fate fate;

  Call() = default;
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;
  virtual ~Call();

  // Converts the outcome, if there is one, and hands it to the loop. Attached.
  virtual void deliver_outcome() = 0;
  // Lets the outcome go where it is: nobody will take it (any thread).
  virtual void drop_outcome() = 0;
};

// Nobody will take the call's outcome (its future is done, or its loop will never set it):
// the operation ends at its next wait, and an outcome that came or comes is dropped where it
// is (a read gives its event and its place back). Idempotent: true the first time. Attached.
bool unwanted(const std::shared_ptr<Call>& call);

// An awaited read whose loop will not run again, given up by a later read: its outcome is
// unwanted, and should the loop run after all, its future ends rather than waits for ever
// (see end_given_up). Attached.
void given_up(const std::shared_ptr<Call>& call);

// What a result still owns until the loop's thread has set it on its future: settled there,
// told whether it was set, and let go at once (not whenever the loop drops the callback). A
// subscription read uses it to give its event back when the future was cancelled before the
// result could be set, and to release its reader lock before the awaiting task resumes; and
// a later read takes it back meanwhile when it finds the loop gone.
struct Pending {
  virtual ~Pending() = default;
  // The setter's turn, on the loop's thread, before it sets the value: false when what the
  // result owned was taken back meanwhile (the value must then not be set).
  virtual bool take() = 0;
  // After take(): whether the value was set.
  virtual void settle(bool delivered) = 0;
  // The result is about to be handed to `loop` (the future's). Attached.
  virtual void on_its_way(PyObject* loop) { (void)loop; }
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
// the future is left alone if it is done meanwhile (cancelled). A value that could not be
// made (null, its error pending) is handed over as that error. Attached.
void deliver(Call& call, Delivery d, bool failed);

// Converts `outcome` and delivers it; a failed allocation in the conversion is delivered as
// MemoryError. Attached.
template <class T>
void deliver_reply(Call& call, Reply<T>&& outcome) {
  try {
    if (outcome) {
      deliver(call, delivery(std::move(outcome.value())), false);
    } else {
      deliver(call, Delivery{exception_of(std::move(outcome.error())), nullptr}, true);
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    deliver(call, Delivery{}, true);
  }
}

// A call whose operation gives a Reply<T>.
template <class T>
struct CallOf final : Call {
  std::optional<Reply<T>> outcome;  // set once, by the end of the operation's task
  void deliver_outcome() override {
    if (!outcome) return;  // cancelled: nothing to hand over
    Reply<T> out = std::move(*outcome);
    outcome.reset();
    deliver_reply(*this, std::move(out));
  }
  void drop_outcome() override { outcome.reset(); }
};

// The call an operation runs for, while it runs: an awaitable made from inside one (by code the
// operation runs) lives on the same loop and context.
const net::TaskLocal<std::shared_ptr<Call>>& task_locals();

// Finds the caller's loop (the running operation's, else the thread's running loop) and
// context, makes the future there, and arranges for cancelling it to cancel the call's token.
// False with the Python error pending.
bool init_call(Call& call);

// The pool job that delivers the call's outcome, made at the call: handing it over when the
// operation ends then needs no memory. It attaches to the interpreter to deliver and releases
// the call there; once the interpreter is closed to the runtime's threads it parks the outcome
// for the loop's thread instead, and an unwanted outcome it drops.
net::Runtime::Job delivery_job(std::shared_ptr<Call> call);

// Makes the exit know a call that is whole (future made, job ready): it is recorded, unless
// the exit has begun, in which case the loop's thread collects the outcome itself. False with
// the Python error pending.
bool enlist(const std::shared_ptr<Call>& call);

// Hands the delivery job to the blocking pool; when the pool has no thread and can start none,
// runs it on the calling thread (the runtime's) rather than leave the caller waiting for ever.
void hand_over(net::Runtime& rt, net::Runtime::Job& job) noexcept;

// The operation's task: runs `bounded` (the operation under the call's token and task-local
// slot) and, whatever happens to it (completion, cancellation, a fault), hands the outcome over
// when its frame ends. Nothing here allocates: everything was made at the call.
template <class T>
net::Task<void> run_awaitable(net::Runtime* rt, CallOf<T>& call, net::Runtime::Job job,
                              net::Task<std::optional<Reply<T>>> bounded) {
  // `job` holds the call alive until it is handed over. Nothing else here may hold a reference
  // to the call past that point: once the job has run, such a reference could be the last one,
  // dropped on this runtime thread unattached, and the call's Python references (a started node
  // among them) would leak for the life of the process.
  struct Finish {
    net::Runtime* rt;
    CallOf<T>& call;
    net::Runtime::Job job;
    ~Finish() {
      // Ended without an outcome and not cancelled: an internal fault, which the caller hears
      // of rather than waiting for ever.
      if (!call.outcome && !call.token.cancelled()) call.outcome.emplace(err(kerror::Failed{}));
      hand_over(*rt, job);
    }
  } finish{rt, call, std::move(job)};
  // The operation (whose task-local slot shares the call) is a local made after `finish`, so it
  // is destroyed before the job is handed over, whether it ended or was dropped mid-way.
  auto operation = std::move(bounded);
  // A cancelled future ends the operation at its next wait, after one more step: what it has
  // begun (a request on its way to the node) it finishes; what it has not begun never happens.
  std::optional<Reply<T>> r = co_await std::move(operation);
  if (r) call.outcome.emplace(std::move(*r));
}

// What a blocking wait that gave no value means to the caller: the error is pending (or, for
// a wait the exit ended, what `on_exit` says is returned).
PyObject* raise_blocked(net::Blocked b, OnExit on_exit);
// What a call of a thread the exit leaves behind gives: null with VennockClosed pending, or None.
PyObject* left_by_exit(OnExit on_exit);

// Waits for `body` from a Python thread: detached from the interpreter for every 100 ms slice,
// attached between slices to run the pending signal handlers. A handler that raises aborts
// the task and its exception goes up unchanged. A zero `limit` starts nothing (TimeoutError).
template <class T>
PyObject* wait(net::Runtime& rt, net::Task<Reply<T>> body, std::optional<core::Duration> limit,
               OnExit on_exit = OnExit::Closed) {
  std::optional<std::chrono::nanoseconds> ns;
  if (limit) ns = nanos_of(*limit);
  BlockingWait known;
  if (known.refused()) return left_by_exit(on_exit);
  // No time at all: nothing is started. Started, the operation would run to its first wait,
  // which for most is the node's answer to a request it has handed over, and then be reported
  // as timed out while the node carries the request out.
  if (ns && ns->count() == 0) return raise(kerror::Timeout{});
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
  if (!*r) return raise_blocked(r->error(), on_exit);
  Reply<T>& reply = r->value();
  if (!reply) return raise(std::move(reply.error()));
  return to_python(std::move(reply.value()), Form::Blocking).release().ptr();
}

// A call on the caller's running loop (see init_call), its future made; null with the error
// pending.
template <class T>
std::shared_ptr<CallOf<T>> new_call(OnExit on_exit = OnExit::Closed) {
  auto call = std::make_shared<CallOf<T>>();
  call->on_exit = on_exit;
  if (!init_call(*call)) return nullptr;
  return call;
}

// Starts `body` as the operation of `call` and returns the call's future. Everything the
// delivery of the outcome needs is made here, where a failed allocation raises MemoryError
// with nothing started. Null with the error pending.
template <class T>
PyObject* start(net::Runtime& rt, std::shared_ptr<CallOf<T>> call, net::Task<Reply<T>> body) {
  net::Runtime::Job job = delivery_job(call);
  auto scoped = task_locals().scope(std::shared_ptr<Call>(call), std::move(body));
  auto bounded = net::with_cancel(call->token, std::move(scoped));
  auto task = run_awaitable<T>(&rt, *call, std::move(job), std::move(bounded));
  if (!enlist(call)) return nullptr;
  rt.spawn(std::move(task));
  return Ref(call->future).release().ptr();
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
  auto call = bridge::new_call<T>();
  return call ? bridge::start(rt, std::move(call), std::move(body)) : nullptr;
}

}  // namespace vennock::py
