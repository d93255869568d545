#include "py/runtime.hpp"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <new>
#include <unordered_set>
#include <vector>

#include "net/lifecycle.hpp"

namespace vennock::py {

Reply<net::Runtime*> runtime(std::optional<size_t> threads) {
  auto r = net::Runtime::get(threads);
  if (!r) return err(KError::from_net(r.error()));
  return r.value();
}

net::Runtime* runtime_or_raise(std::optional<size_t> threads) {
  auto r = runtime(threads);
  if (!r) {
    raise(std::move(r.error()));
    return nullptr;
  }
  return r.value();
}

namespace bridge {

// The exit's side of a call (below): the collection of a call's outcome by its loop's thread.
bool collect_on_loop(const std::shared_ptr<Call>& call);
// Whether the call's outcome is unwanted by now (below, with the rest of its fate).
bool unwanted_now(Call& call);

namespace {

// A function of asyncio, looked up once and kept for the life of the process.
PyObject* asyncio_function(std::atomic<PyObject*>& cached, const char* name) {
  if (PyObject* f = cached.load(std::memory_order_acquire)) return f;
  Ref asyncio = steal(PyImport_ImportModule("asyncio"));
  if (!asyncio) return nullptr;
  PyObject* f = PyObject_GetAttrString(asyncio.ptr(), name);
  if (!f) return nullptr;
  PyObject* expected = nullptr;
  if (!cached.compare_exchange_strong(expected, f, std::memory_order_acq_rel)) {
    Py_DECREF(f);  // another thread was first
    return expected;
  }
  return f;
}

PyObject* get_running_loop() {
  static std::atomic<PyObject*> cached{nullptr};
  return asyncio_function(cached, "get_running_loop");
}

// A capsule owning `p` that remembers the process that made it. In a child made by fork, what
// it holds belongs to the parent's runtime (whose locks the parent's threads may have held at
// the fork): there it is neither used nor freed.
Ref process_capsule(void* p, const char* name, PyCapsule_Destructor free) {
  Ref c = steal(PyCapsule_New(p, name, free));
  if (c) PyCapsule_SetContext(c.ptr(), reinterpret_cast<void*>(static_cast<uintptr_t>(net::lifecycle::generation())));
  return c;
}
bool made_here(PyObject* capsule) {
  return reinterpret_cast<uintptr_t>(PyCapsule_GetContext(capsule)) == net::lifecycle::generation();
}

// The future's done callback: once the future is done (cancelled, or set by anyone), nobody
// takes an outcome from the call any more. The capsule holds the call weakly: a delivered call
// is gone by then, and a future pending for ever must not keep its call alive.
PyObject* on_done(PyObject* capsule, PyObject*) {
  auto* held = static_cast<std::weak_ptr<Call>*>(PyCapsule_GetPointer(capsule, "vennock.done"));
  if (!held) return nullptr;
  if (!made_here(capsule)) Py_RETURN_NONE;
  if (std::shared_ptr<Call> call = held->lock()) unwanted(call);
  Py_RETURN_NONE;
}
PyMethodDef on_done_def = {"_vennock_on_done", entry<on_done>(), METH_O, nullptr};

void free_done(PyObject* capsule) {
  if (made_here(capsule)) delete static_cast<std::weak_ptr<Call>*>(PyCapsule_GetPointer(capsule, "vennock.done"));
}

void free_pending(PyObject* capsule) {
  if (made_here(capsule)) delete static_cast<Pending*>(PyCapsule_GetPointer(capsule, "vennock.pending"));
}

// On the loop's thread, for an awaited read given up by a later read that found its loop gone,
// should the loop run after all: the future is cancelled rather than left to wait for ever; a
// thread the exit leaves behind sees the end of the subscription, None, as the exit gives every
// awaited read of such a thread. A future already done is left alone.
PyObject* end_given_up(PyObject*, PyObject* fut) {
  Ref done = steal(PyObject_CallMethod(fut, "done", nullptr));
  if (!done) return nullptr;
  if (done.ptr() == Py_True) Py_RETURN_NONE;
  if (!may_use_runtime()) {
    if (!set_future(borrow(fut), borrow(Py_None), false)) return nullptr;
    Py_RETURN_NONE;
  }
  return PyObject_CallMethod(fut, "cancel", nullptr);
}
PyMethodDef end_given_up_def = {"_vennock_end_given_up", entry<end_given_up>(), METH_O, nullptr};

// Runs on the loop's thread: sets the outcome unless the future is done meanwhile (cancelled,
// or failed by the exit), and settles what the result still owns whether it was set. What a
// later read took back meanwhile (its loop was thought gone) is not set at all.
PyObject* complete(PyObject* self, PyObject* const* args, Py_ssize_t n) {
  if (n != 4) {
    PyErr_SetString(PyExc_TypeError, "complete() takes 4 arguments");
    return nullptr;
  }
  PyObject *fut = args[0], *value = args[1], *keep = args[3];
  bool failed = args[2] == Py_True;
  Pending* p = nullptr;
  if (keep != Py_None) {
    p = static_cast<Pending*>(PyCapsule_GetPointer(keep, "vennock.pending"));
    if (!p) return nullptr;
    if (!made_here(keep)) p = nullptr;
  }
  if (p && !p->take()) return end_given_up(self, fut);
  Ref done = steal(PyObject_CallMethod(fut, "done", nullptr));
  bool set = done && done.ptr() == Py_False && set_future(borrow(fut), borrow(value), failed);
  if (p) p->settle(set);
  if (PyErr_Occurred()) return nullptr;
  Py_RETURN_NONE;
}
PyMethodDef complete_def = {"_vennock_complete", entry<complete>(), METH_FASTCALL, nullptr};

// A function of ours, made once and kept for the life of the process.
PyObject* cached_function(std::atomic<PyObject*>& cached, PyMethodDef* def) {
  if (PyObject* f = cached.load(std::memory_order_acquire)) return f;
  PyObject* f = PyCFunction_New(def, nullptr);
  if (!f) return nullptr;
  PyObject* expected = nullptr;
  if (!cached.compare_exchange_strong(expected, f, std::memory_order_acq_rel)) {
    Py_DECREF(f);
    return expected;
  }
  return f;
}

PyObject* complete_fn() {
  static std::atomic<PyObject*> cached{nullptr};
  return cached_function(cached, &complete_def);
}

PyObject* end_given_up_fn() {
  static std::atomic<PyObject*> cached{nullptr};
  return cached_function(cached, &end_given_up_def);
}

}  // namespace

const net::TaskLocal<std::shared_ptr<Call>>& task_locals() {
  static const auto* slot = new net::TaskLocal<std::shared_ptr<Call>>;
  return *slot;
}

namespace {

// The call of the operation running this code, if any.
std::shared_ptr<Call> running_call() {
  auto running = task_locals().get();
  return running ? std::move(*running) : nullptr;
}

// The loop of a new call: the running operation's, or the calling thread's running loop.
Ref find_loop() {
  if (auto running = running_call()) return running->loop;
  PyObject* get_loop = get_running_loop();
  return get_loop ? steal(PyObject_CallNoArgs(get_loop)) : Ref();
}

// The loop and context of a new call: those of the operation running this code, or the
// calling thread's running loop and a copy of its context.
bool find_locals(Call& call) {
  call.loop = find_loop();
  if (!call.loop) return false;
  auto running = running_call();
  call.context = running ? running->context : steal(PyContext_CopyCurrent());
  return static_cast<bool>(call.context);
}

}  // namespace

bool init_call(Call& call) {
  if (!find_locals(call)) return false;
  call.future = steal(PyObject_CallMethod(call.loop.ptr(), "create_future", nullptr));
  if (!call.future) return false;
  auto* held = new std::weak_ptr<Call>(call.weak_from_this());
  Ref capsule = process_capsule(held, "vennock.done", free_done);
  if (!capsule) {
    delete held;
    return false;
  }
  Ref cb = steal(PyCFunction_New(&on_done_def, capsule.ptr()));
  return cb && steal(PyObject_CallMethod(call.future.ptr(), "add_done_callback", "O", cb.ptr()));
}

void deliver(Call& call, Delivery d, bool failed) {
  if (!d.value) {
    // The value could not be made (a failed allocation): its error goes instead, and what
    // the result owned is let go (an event goes back).
    d.pending.reset();
    d.value = steal(PyErr_GetRaisedException());
    failed = true;
    if (!d.value) d.value = exception_of(kerror::Failed{});
  }
  // A future already done takes nothing: the outcome goes here (an event back to its
  // subscription) rather than wait on a loop that may never run again.
  Ref done = steal(PyObject_CallMethod(call.future.ptr(), "done", nullptr));
  if (!done || done.ptr() == Py_True) {
    PyErr_Clear();
    return;
  }
  Ref keep = borrow(Py_None);
  if (d.pending) {
    d.pending->on_its_way(call.loop.ptr());
    keep = process_capsule(d.pending.get(), "vennock.pending", free_pending);
    if (keep) d.pending.release();  // the capsule owns it now
    // A later read that finds the loop gone gives the call up, then looks for what is on its
    // way: it finds what on_its_way made known, or the call is seen unwanted here and what it
    // owns goes back with `keep` (or `d`).
    if (unwanted_now(call)) return;
  }
  PyObject* fn = complete_fn();
  Ref method = steal(PyObject_GetAttrString(call.loop.ptr(), "call_soon_threadsafe"));
  Ref args = fn && method && d.value && keep
                 ? steal(PyTuple_Pack(5, fn, call.future.ptr(), d.value.ptr(), failed ? Py_True : Py_False, keep.ptr()))
                 : Ref();
  Ref kwargs = steal(PyDict_New());
  if (!args || !kwargs || PyDict_SetItemString(kwargs.ptr(), "context", call.context.ptr()) < 0) {
    PyErr_WriteUnraisable(call.loop.ptr());
    return;
  }
  if (steal(PyObject_Call(method.ptr(), args.ptr(), kwargs.ptr()))) return;
  // A loop that has closed will never run the future's callbacks, nor can anyone await it: the
  // outcome goes quietly (a read's event back to its subscription). Any other failure is
  // reported.
  Ref failure = steal(PyErr_GetRaisedException());
  Ref closed = steal(PyObject_CallMethod(call.loop.ptr(), "is_closed", nullptr));
  PyErr_Clear();
  if (closed.ptr() == Py_True) return;
  PyErr_SetRaisedException(failure.release().ptr());
  PyErr_WriteUnraisable(call.loop.ptr());
}

PyObject* left_by_exit(OnExit on_exit) {
  if (on_exit == OnExit::End) Py_RETURN_NONE;
  return raise(kerror::Closed{});
}

PyObject* raise_blocked(net::Blocked b, OnExit on_exit) {
  switch (b) {
    case net::Blocked::TimedOut: return raise(kerror::Timeout{});
    // A signal handler's exception is pending; without one, the exit ended the wait.
    case net::Blocked::Cancelled: return PyErr_Occurred() ? nullptr : left_by_exit(on_exit);
    // A task that ended without its value did so on an internal fault: the same failure the
    // awaitable form reports.
    case net::Blocked::Failed: return raise(kerror::Failed{});
    case net::Blocked::Stopped: return raise(kerror::Closed{});
    case net::Blocked::OnRuntimeThread: break;
  }
  PyErr_SetString(PyExc_RuntimeError, net::blocked_text(b));
  return nullptr;
}

void hand_over(net::Runtime& rt, net::Runtime::Job& job) noexcept {
  // With no pool thread at all (none could be started) the job runs here, on the runtime's
  // thread that ended the operation: slower for that thread, but the caller gets its answer.
  if (rt.hand(job) == net::Runtime::Handed::NoThread) job.run();
}

}  // namespace bridge

Ref running_loop() {
  static std::atomic<PyObject*> cached{nullptr};
  PyObject* f = bridge::asyncio_function(cached, "_get_running_loop");  // None rather than an error
  return f ? steal(PyObject_CallNoArgs(f)) : Ref();
}

Ref new_future(Ref* loop) {
  Ref found = bridge::find_loop();
  if (!found) return Ref();
  Ref future = steal(PyObject_CallMethod(found.ptr(), "create_future", nullptr));
  if (future && loop) *loop = std::move(found);
  return future;
}

bool set_future(const Ref& future, const Ref& value, bool failed) {
  if (!value) return false;
  Ref method = text(failed ? "set_exception" : "set_result");
  return method && steal(PyObject_CallMethodOneArg(future.ptr(), method.ptr(), value.ptr()));
}

PyObject* closed_future() {
  Ref fut = new_future();
  if (!fut || !set_future(fut, exception_of(kerror::Closed{}), true)) return nullptr;
  return fut.release().ptr();
}

}  // namespace vennock::py

// ---- the exit ------------------------------------------------------------------------------

namespace vennock::py {

namespace {

// What the exit hook changes, and what it waits for.
struct Exit {
  std::mutex m;
  std::condition_variable changed;
  std::atomic<bool> begun{false};  // set under `m`; read without it to let calls made before pass
  unsigned long thread = 0;  // the thread running the exit (and the cleanups after the hook)
  // What the exit waits for: runtime threads attached to the interpreter, and blocking waits
  // begun before it.
  size_t inside = 0;
  // Every awaitable call made (whole) before the exit began and still alive.
  std::unordered_set<bridge::Call*> calls;

  // True when a thread other than the exit's is refused from now on. Locked.
  bool refuses(unsigned long t) const { return begun && t != thread; }
  // Counts one more inside, unless the exit has begun. Locked.
  bool enter() {
    if (begun) return false;
    ++inside;
    return true;
  }
  // The end of what enter() counted.
  void leave() {
    std::lock_guard<std::mutex> g(m);
    if (--inside == 0) changed.notify_all();
  }
};

// This process's exit state, never destroyed. A child made by fork starts from a fresh one (the
// fork rule, net/lifecycle.hpp): the inherited one counts waits and calls of the parent's
// threads, which do not exist in the child, and those threads may have held its lock or waited
// on its condition at the fork.
constinit net::lifecycle::PerProcess<Exit> g_exit;
Exit& exit_state() { return g_exit.get(); }

// Attached to the interpreter for a scope, from a thread of the runtime.
class Attach {
 public:
  Attach() : s_(PyGILState_Ensure()) {}
  ~Attach() { PyGILState_Release(s_); }
  Attach(const Attach&) = delete;
  Attach& operator=(const Attach&) = delete;

 private:
  PyGILState_STATE s_;
};

}  // namespace

bool may_use_runtime() {
  Exit& e = exit_state();
  if (!e.begun.load(std::memory_order_acquire)) return true;
  std::lock_guard<std::mutex> g(e.m);
  return !e.refuses(PyThread_get_thread_ident());
}

bool left_behind(unsigned long ident) {
  Exit& e = exit_state();
  if (!e.begun.load(std::memory_order_acquire)) return false;
  std::lock_guard<std::mutex> g(e.m);
  return e.refuses(ident);
}

BlockingWait::BlockingWait() {
  Exit& e = exit_state();
  std::lock_guard<std::mutex> g(e.m);
  refused_ = e.refuses(PyThread_get_thread_ident());
  counted_ = e.enter();  // the thread running the exit is neither refused nor waited for
}

BlockingWait::~BlockingWait() {
  if (counted_) exit_state().leave();
}

bool BlockingWait::go_on() const { return !refused_ && (!counted_ || may_use_runtime()); }

namespace bridge {

Call::~Call() {
  Exit& e = exit_state();
  std::lock_guard<std::mutex> g(e.m);
  e.calls.erase(this);
}

bool enlist(const std::shared_ptr<Call>& call) {
  Exit& e = exit_state();
  {
    std::lock_guard<std::mutex> g(e.m);
    if (!e.begun) {
      e.calls.insert(call.get());
      return true;
    }
  }
  // Made after the interpreter was closed to the runtime's threads (in a late exit cleanup):
  // the loop's thread collects the outcome itself.
  return collect_on_loop(call);
}

namespace {

// What happens to a call: the operation's task ended (its delivery job runs), nobody takes the
// outcome any more, the loop's thread looks for a parked outcome.
enum class Turn : uint8_t { Ended, Unwanted, Collecting };

// What the one who brought the turn does next, outside the exit's lock.
struct Decided {
  enum class Act : uint8_t { None, Deliver, Drop, Again } act = Act::None;
  bool attach = false;  // counted by the exit: the act is done attached, and the count let go after
  bool cancel = false;  // the operation ends at its next wait
  bool fresh = false;   // Unwanted: this turn made the outcome unwanted
  std::shared_ptr<Call> unparked;  // the parked call, taken out: released by the caller, unlocked
};

// The one place a call's fate changes. A call whose outcome is unwanted never delivers, and
// drops its outcome wherever it is (parked, or when it comes); an outcome that comes once the
// interpreter is closed to the runtime's threads is parked for the loop's thread; otherwise
// the thread that brought it (or that collects it) delivers it, as the one thread that will. `self` (Ended only) is the job's own reference,
// parked with the outcome.
Decided decide(Call& c, Turn t, std::shared_ptr<Call>* self = nullptr) {
  using Stage = Fate::Stage;
  using Act = Decided::Act;
  Exit& e = exit_state();
  std::lock_guard<std::mutex> g(e.m);
  Fate& f = c.fate;
  Decided d;
  switch (t) {
    case Turn::Ended:
      if (f.unwanted) {
        f.stage = Stage::Settled;
        d.act = Act::Drop;
        d.attach = e.enter();  // the call's references go attached unless the exit has begun
      } else if (e.enter()) {
        f.stage = Stage::Settled;
        d.act = Act::Deliver;
        d.attach = true;
      } else {
        f.stage = Stage::Parked;
        f.parked = std::move(*self);
      }
      break;
    case Turn::Unwanted:
      d.fresh = !f.unwanted;
      f.unwanted = true;
      d.cancel = true;
      if (f.stage == Stage::Parked) {
        f.stage = Stage::Settled;
        d.act = Act::Drop;
        d.unparked = std::move(f.parked);
      }
      break;
    case Turn::Collecting:
      if (f.stage == Stage::Parked) {
        f.stage = Stage::Settled;
        d.act = Act::Deliver;
        d.unparked = std::move(f.parked);
      } else if (f.stage == Stage::Running && !f.unwanted) {
        d.act = Act::Again;
      }
      break;
  }
  return d;
}

// The delivery job's body, on a thread of the blocking pool (or the runtime thread that ended
// the operation, when the pool has none).
void run_delivery(std::shared_ptr<Call>& call) {
  Decided d = decide(*call, Turn::Ended, &call);
  if (!call) return;  // parked, for the loop's thread (collect_on_loop)
  if (!d.attach) {
    // Unwanted once the interpreter is closed to us: dropped without touching it (the call's
    // references are forgotten).
    call->drop_outcome();
    call.reset();
    return;
  }
  struct Left {
    ~Left() { exit_state().leave(); }
  } left;
  Attach attached;
  if (d.act == Decided::Act::Deliver) {
    call->deliver_outcome();
  } else {
    call->drop_outcome();
  }
  call.reset();
}

constexpr double kCollectEvery = 0.002;  // seconds

PyObject* collect(PyObject* capsule, PyObject*);
PyMethodDef collect_def = {"_vennock_collect", entry<collect>(), METH_NOARGS, nullptr};

// On the loop's thread: delivers the call's parked outcome, if it has come, or looks again
// shortly, until the outcome is delivered or unwanted.
PyObject* collect(PyObject* capsule, PyObject*) {
  auto* held = static_cast<std::shared_ptr<Call>*>(PyCapsule_GetPointer(capsule, "vennock.call"));
  if (!held) return nullptr;
  if (!made_here(capsule)) Py_RETURN_NONE;  // the parent's call, in a child made by fork
  std::shared_ptr<Call> call = *held;
  Decided d = decide(*call, Turn::Collecting);
  if (d.act == Decided::Act::Deliver) {
    call->deliver_outcome();  // hands the outcome to the loop as a runtime thread would have
    Py_RETURN_NONE;
  }
  if (d.act != Decided::Act::Again) Py_RETURN_NONE;
  Ref again = steal(PyCFunction_New(&collect_def, capsule));
  if (!again) return nullptr;
  return PyObject_CallMethod(call->loop.ptr(), "call_later", "dO", kCollectEvery, again.ptr());
}

// The collector's capsule goes when collecting ends, and also with a loop that closed or went
// before it ran again: nobody takes the outcome then.
void free_call(PyObject* capsule) {
  if (!made_here(capsule)) return;
  auto* held = static_cast<std::shared_ptr<Call>*>(PyCapsule_GetPointer(capsule, "vennock.call"));
  std::shared_ptr<Call> call = std::move(*held);
  delete held;
  unwanted(call);
}

}  // namespace

bool unwanted(const std::shared_ptr<Call>& call) {
  Decided d = decide(*call, Turn::Unwanted);
  if (d.cancel) call->token.cancel();
  if (d.act == Decided::Act::Drop) call->drop_outcome();
  return d.fresh;
}

bool unwanted_now(Call& call) {
  std::lock_guard<std::mutex> g(exit_state().m);
  return call.fate.unwanted;
}

void given_up(const std::shared_ptr<Call>& call) {
  // Already unwanted: its future is done, or was seen to already.
  if (!unwanted(call)) return;
  PyObject* fn = end_given_up_fn();
  bool queued = fn && steal(PyObject_CallMethod(call->loop.ptr(), "call_soon_threadsafe", "OO", fn, call->future.ptr()));
  if (!queued) PyErr_Clear();  // a loop that has closed: nothing can await the future
}

net::Runtime::Job delivery_job(std::shared_ptr<Call> call) {
  return net::Runtime::job([call = std::move(call)]() mutable { run_delivery(call); });
}

bool collect_on_loop(const std::shared_ptr<Call>& call) {
  auto* held = new std::shared_ptr<Call>(call);
  Ref capsule = process_capsule(held, "vennock.call", free_call);
  if (!capsule) {
    delete held;
    return false;
  }
  Ref fn = steal(PyCFunction_New(&collect_def, capsule.ptr()));
  return fn && steal(PyObject_CallMethod(call->loop.ptr(), "call_soon_threadsafe", "O", fn.ptr()));
}

}  // namespace bridge

namespace {

// Whether the stop waits for the interpreter's end (Py_AtExit had room for it).
std::atomic<bool> g_stop_at_end{false};

// A call whose loop runs at the exit, on a thread the exit leaves behind: its future is set at
// once (VennockClosed, or None for a read), and its outcome is unwanted, so that what it holds
// (a read's place in line, an event it has taken) is given back rather than kept where nothing
// will ever collect it.
void abandon(const std::shared_ptr<bridge::Call>& c) {
  bridge::unwanted(c);
  PyObject* fn = bridge::complete_fn();
  bool end = c->on_exit == bridge::OnExit::End;
  Ref value = end ? borrow(Py_None) : exception_of(kerror::Closed{});
  bool ok = fn && value &&
            steal(PyObject_CallMethod(c->loop.ptr(), "call_soon_threadsafe", "OOOOO", fn, c->future.ptr(),
                                      value.ptr(), end ? Py_False : Py_True, Py_None));
  if (!ok) PyErr_Clear();  // a loop that has closed meanwhile: nothing will wait on it
}

// What the exit makes of a call it knows: one whose future is done, or whose loop has closed,
// is unwanted; one on a loop that runs now (another thread's) is abandoned; one on a loop that
// is not running is collected by the loop's thread if that loop ever runs again (a later
// cleanup).
void settle_waiting(const std::shared_ptr<bridge::Call>& c) {
  Ref done = steal(PyObject_CallMethod(c->future.ptr(), "done", nullptr));
  Ref closed = steal(PyObject_CallMethod(c->loop.ptr(), "is_closed", nullptr));
  Ref running = steal(PyObject_CallMethod(c->loop.ptr(), "is_running", nullptr));
  if (!done || !closed || !running) return PyErr_Clear();
  if (done.ptr() == Py_True || closed.ptr() == Py_True) {
    bridge::unwanted(c);
    return;
  }
  if (running.ptr() == Py_True) return abandon(c);
  if (!bridge::collect_on_loop(c)) PyErr_Clear();
}

void settle_waiting_calls() {
  std::vector<std::shared_ptr<bridge::Call>> calls;
  {
    Exit& e = exit_state();
    std::lock_guard<std::mutex> g(e.m);
    calls.reserve(e.calls.size());
    for (bridge::Call* c : e.calls) {
      if (auto sp = c->weak_from_this().lock()) calls.push_back(std::move(sp));
    }
  }
  for (const auto& c : calls) settle_waiting(c);
}

// The atexit hook. From here on no runtime thread attaches to the interpreter, and only this
// thread uses the runtime: the blocking waits of other threads end (VennockClosed) and are
// waited for, so that none of them is detached when the interpreter finalises.
PyObject* begin_exit(PyObject*, PyObject*) {
  Exit& e = exit_state();
  unsigned long me = PyThread_get_thread_ident();
  Py_BEGIN_ALLOW_THREADS
  {
    std::unique_lock<std::mutex> g(e.m);
    e.begun = true;
    e.thread = me;
    e.changed.wait(g, [&] { return e.inside == 0; });
  }
  if (!g_stop_at_end.load()) (void)net::Runtime::stop_process();
  Py_END_ALLOW_THREADS
  settle_waiting_calls();
  Py_RETURN_NONE;
}
PyMethodDef begin_exit_def = {"_vennock_begin_exit", entry<begin_exit>(), METH_NOARGS, nullptr};

// After the interpreter's end: the runtime's threads are stopped and joined before the
// process's own exit (static destructors) can pull anything from under them.
void stop_at_end() { (void)net::Runtime::stop_process(); }

}  // namespace

bool register_exit_hook() {
  static std::atomic<bool> done{false};
  if (done.exchange(true)) return true;
  if (!net::lifecycle::install()) {
    done.store(false);
    PyErr_NoMemory();  // the one failure pthread_atfork has
    return false;
  }
  g_stop_at_end.store(Py_AtExit(stop_at_end) == 0);
  Ref atexit = steal(PyImport_ImportModule("atexit"));
  Ref fn = steal(PyCFunction_New(&begin_exit_def, nullptr));
  Ref r = atexit && fn ? steal(PyObject_CallMethod(atexit.ptr(), "register", "O", fn.ptr())) : Ref();
  if (!r) done.store(false);
  return static_cast<bool>(r);
}

}  // namespace vennock::py
