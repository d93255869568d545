#include "py/runtime.hpp"

#include <atomic>

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

// The future's done callback: a cancelled future cancels the operation behind it.
PyObject* on_done(PyObject* capsule, PyObject* future) {
  auto* token = static_cast<net::CancelToken*>(PyCapsule_GetPointer(capsule, "vennock.cancel"));
  if (!token) return nullptr;
  Ref cancelled = steal(PyObject_CallMethod(future, "cancelled", nullptr));
  if (!cancelled) return nullptr;
  if (cancelled.ptr() == Py_True) token->cancel();
  Py_RETURN_NONE;
}
PyMethodDef on_done_def = {"_vennock_on_done", on_done, METH_O, nullptr};

void free_token(PyObject* capsule) {
  delete static_cast<net::CancelToken*>(PyCapsule_GetPointer(capsule, "vennock.cancel"));
}

void free_pending(PyObject* capsule) {
  delete static_cast<Pending*>(PyCapsule_GetPointer(capsule, "vennock.pending"));
}

// Runs on the loop's thread: sets the outcome unless the future was cancelled meanwhile, and
// settles what the result still owns whether it was set.
PyObject* complete(PyObject*, PyObject* const* args, Py_ssize_t n) {
  if (n != 4) {
    PyErr_SetString(PyExc_TypeError, "complete() takes 4 arguments");
    return nullptr;
  }
  PyObject *fut = args[0], *value = args[1], *keep = args[3];
  bool failed = args[2] == Py_True;
  Pending* p = keep != Py_None ? static_cast<Pending*>(PyCapsule_GetPointer(keep, "vennock.pending")) : nullptr;
  Ref cancelled = steal(PyObject_CallMethod(fut, "cancelled", nullptr));
  bool set = cancelled && cancelled.ptr() == Py_False && set_future(borrow(fut), borrow(value), failed);
  if (p) p->settle(set);
  if (PyErr_Occurred()) return nullptr;
  Py_RETURN_NONE;
}
PyMethodDef complete_def = {"_vennock_complete", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(complete)),
                            METH_FASTCALL, nullptr};

PyObject* complete_fn() {
  static std::atomic<PyObject*> cached{nullptr};
  if (PyObject* f = cached.load(std::memory_order_acquire)) return f;
  PyObject* f = PyCFunction_New(&complete_def, nullptr);
  if (!f) return nullptr;
  PyObject* expected = nullptr;
  if (!cached.compare_exchange_strong(expected, f, std::memory_order_acq_rel)) {
    Py_DECREF(f);
    return expected;
  }
  return f;
}

}  // namespace

Call::~Call() {
  if (PyGILState_Check()) return;  // the members release themselves, attached
  // Not attached (a job dropped by a runtime stopped at exit): leak rather than touch Python.
  loop.release();
  future.release();
  context.release();
}

const net::TaskLocal<std::shared_ptr<Call>>& task_locals() {
  static const auto* slot = new net::TaskLocal<std::shared_ptr<Call>>;
  return *slot;
}

namespace {

// The loop and context of a new call: those of the operation running this code, or the
// calling thread's running loop and a copy of its context.
bool find_locals(Call& call) {
  if (auto running = task_locals().get(); running && *running) {
    call.loop = (*running)->loop;
    call.context = (*running)->context;
    return true;
  }
  PyObject* get_loop = get_running_loop();
  if (!get_loop) return false;
  call.loop = steal(PyObject_CallNoArgs(get_loop));
  if (!call.loop) return false;
  call.context = steal(PyContext_CopyCurrent());
  return static_cast<bool>(call.context);
}

}  // namespace

std::shared_ptr<Call> make_call(const net::CancelToken& token) {
  auto call = std::make_shared<Call>();
  if (!find_locals(*call)) return nullptr;
  call->future = steal(PyObject_CallMethod(call->loop.ptr(), "create_future", nullptr));
  if (!call->future) return nullptr;
  auto* held = new net::CancelToken(token);
  Ref capsule = steal(PyCapsule_New(held, "vennock.cancel", free_token));
  if (!capsule) {
    delete held;
    return nullptr;
  }
  Ref cb = steal(PyCFunction_New(&on_done_def, capsule.ptr()));
  if (!cb) return nullptr;
  Ref r = steal(PyObject_CallMethod(call->future.ptr(), "add_done_callback", "O", cb.ptr()));
  if (!r) return nullptr;
  return call;
}

void deliver(Call& call, Delivery d, bool failed) {
  Ref cancelled = steal(PyObject_CallMethod(call.future.ptr(), "cancelled", nullptr));
  if (!cancelled || cancelled.ptr() == Py_True) {
    PyErr_Clear();
    return;
  }
  Ref keep = borrow(Py_None);
  if (d.pending) {
    keep = steal(PyCapsule_New(d.pending.get(), "vennock.pending", free_pending));
    if (keep) d.pending.release();  // the capsule owns it now
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
  Ref r = steal(PyObject_Call(method.ptr(), args.ptr(), kwargs.ptr()));
  // A loop that has closed cannot take it: the interpreter reports it, nothing else happens.
  if (!r) PyErr_WriteUnraisable(call.loop.ptr());
}

PyObject* raise_blocked(net::Blocked b) {
  switch (b) {
    case net::Blocked::TimedOut: return raise(kerror::Timeout{});
    case net::Blocked::Cancelled: return nullptr;  // the signal handler's exception is pending
    // A task that ended without its value did so on an internal fault: the same failure the
    // awaitable form reports.
    case net::Blocked::Failed: return raise(kerror::Failed{});
    case net::Blocked::Stopped: return raise(kerror::Closed{});
    case net::Blocked::OnRuntimeThread: break;
  }
  PyErr_SetString(PyExc_RuntimeError, net::blocked_text(b));
  return nullptr;
}

}  // namespace bridge

Ref running_loop() {
  static std::atomic<PyObject*> cached{nullptr};
  PyObject* f = bridge::asyncio_function(cached, "_get_running_loop");  // None rather than an error
  return f ? steal(PyObject_CallNoArgs(f)) : Ref();
}

Ref new_future() {
  bridge::Call call;
  if (!bridge::find_locals(call)) return Ref();
  return steal(PyObject_CallMethod(call.loop.ptr(), "create_future", nullptr));
}

bool set_future(const Ref& future, const Ref& value, bool failed) {
  if (!value) return false;
  Ref method = text(failed ? "set_exception" : "set_result");
  return method && steal(PyObject_CallMethodOneArg(future.ptr(), method.ptr(), value.ptr()));
}

namespace bridge {

void attached(net::Runtime& rt, std::function<void()> job) {
  rt.blocking([job = std::move(job)]() mutable {
    PyGILState_STATE s = PyGILState_Ensure();
    job();
    job = nullptr;
    PyGILState_Release(s);
  });
}

}  // namespace bridge

}  // namespace vennock::py

namespace vennock::py {

namespace {

// Stops the runtime's threads: registered with atexit, so it runs while the interpreter is
// still whole and no runtime thread attaches to it afterwards.
PyObject* stop_runtime(PyObject*, PyObject*) {
  Py_BEGIN_ALLOW_THREADS
  (void)net::Runtime::stop_process();  // refused only on a runtime thread, which never runs this
  Py_END_ALLOW_THREADS
  Py_RETURN_NONE;
}
PyMethodDef stop_def = {"_vennock_stop_runtime", stop_runtime, METH_NOARGS, nullptr};

}  // namespace

bool register_exit_hook() {
  static std::atomic<bool> done{false};
  if (done.exchange(true)) return true;
  Ref atexit = steal(PyImport_ImportModule("atexit"));
  Ref fn = steal(PyCFunction_New(&stop_def, nullptr));
  Ref r = atexit && fn ? steal(PyObject_CallMethod(atexit.ptr(), "register", "O", fn.ptr())) : Ref();
  if (!r) done.store(false);
  return static_cast<bool>(r);
}

}  // namespace vennock::py
