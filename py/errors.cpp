#include "py/errors.hpp"

#include <atomic>
#include <cstring>
#include <mutex>

#include "net/lifecycle.hpp"

namespace vennock::py {

namespace {

// vennock._errors once imported; a failed import leaves it empty so that a later lookup tries
// again. Never released: the classes must outlive every thread that may still raise them.
std::atomic<PyObject*> g_errors{nullptr};

// The process's own: a thread of the parent may be importing at a fork.
constinit net::lifecycle::PerProcess<std::mutex> g_import_lock;

PyObject* errors_module() {
  if (PyObject* m = g_errors.load(std::memory_order_acquire)) return m;
  // Wait for another importer detached: the import may itself need other threads.
  std::unique_lock<std::mutex> g(g_import_lock.get(), std::defer_lock);
  Py_BEGIN_ALLOW_THREADS
  g.lock();
  Py_END_ALLOW_THREADS
  if (PyObject* m = g_errors.load(std::memory_order_acquire)) return m;
  PyObject* m = PyImport_ImportModule("vennock._errors");
  if (m) g_errors.store(m, std::memory_order_release);
  return m;
}

// The built-in OSError family by the kind of an I/O error.
PyObject* os_error_class(net::IoKind k) {
  using net::IoKind;
  switch (k) {
    case IoKind::BrokenPipe: return PyExc_BrokenPipeError;
    case IoKind::ConnectionRefused: return PyExc_ConnectionRefusedError;
    case IoKind::ConnectionAborted: return PyExc_ConnectionAbortedError;
    case IoKind::ConnectionReset: return PyExc_ConnectionResetError;
    case IoKind::Interrupted: return PyExc_InterruptedError;
    case IoKind::NotFound: return PyExc_FileNotFoundError;
    case IoKind::PermissionDenied: return PyExc_PermissionError;
    case IoKind::AlreadyExists: return PyExc_FileExistsError;
    case IoKind::WouldBlock: return PyExc_BlockingIOError;
    case IoKind::TimedOut: return PyExc_TimeoutError;
    case IoKind::IsADirectory: return PyExc_IsADirectoryError;
    case IoKind::NotADirectory: return PyExc_NotADirectoryError;
    default: return PyExc_OSError;
  }
}

// An instance of `cls` called with one message argument; the call's own exception when it fails.
Ref instance(PyObject* cls, std::string_view message) {
  Ref msg = text(message);
  if (!msg) return steal(PyErr_GetRaisedException());
  Ref e = steal(PyObject_CallOneArg(cls, msg.ptr()));
  if (!e) return steal(PyErr_GetRaisedException());
  return e;
}

Ref named(const char* cls_name, std::string_view message) {
  Ref cls = steal(error_class(cls_name));
  if (!cls) return steal(PyErr_GetRaisedException());
  return instance(cls.ptr(), message);
}

// The OSError family's instance for an I/O error: one argument, the error's text; an error of
// the operating system also gives `errno` and `strerror`, as OSError(errno, strerror) would, so
// that `e.errno == errno.EADDRINUSE` holds.
Ref os_exception(const net::IoError& io) {
  Ref e = instance(os_error_class(io.kind), io.to_string());
  if (!io.is_os() || !PyObject_TypeCheck(e.ptr(), reinterpret_cast<PyTypeObject*>(PyExc_OSError))) return e;
  Ref code = steal(PyLong_FromLong(io.os_code));
  Ref why = text(std::strerror(io.os_code));
  if (!code || !why || PyObject_SetAttrString(e.ptr(), "errno", code.ptr()) < 0 ||
      PyObject_SetAttrString(e.ptr(), "strerror", why.ptr()) < 0)
    return steal(PyErr_GetRaisedException());
  return e;
}

Ref net_exception(const net::Error& e) {
  using net::ErrorCode;
  switch (e.code()) {
    case ErrorCode::Config: return config_error(e.config_error().field, e.config_error().reason);
    case ErrorCode::Io: return os_exception(e.io_error());
    case ErrorCode::JoinFailed:
    case ErrorCode::Unresolved: return named("JoinError", e.to_string());
    case ErrorCode::MetaTooLarge: return named("MetaTooLarge", "encoded metadata is larger than max_meta_bytes");
    case ErrorCode::MessageTooLarge:
      return named("MessageTooLarge", "message larger than max_user_message, or broadcast than max_user_broadcast");
    case ErrorCode::NotAMember:
      return named("NotAMember", "not a live member at that epoch: unknown, dead, left, restarted or this node");
    case ErrorCode::Left: return named("VennockClosed", e.to_string());
    case ErrorCode::NotEncrypted:
    case ErrorCode::KeyNotInstalled:
    case ErrorCode::KeyInUse:
    case ErrorCode::LastKey: return named("KeyringError", e.to_string());
    case ErrorCode::Timeout:
    case ErrorCode::Closed: return named("VennockError", e.to_string());
  }
  return named("VennockError", e.to_string());
}

struct ExceptionOf {
  Ref operator()(kerror::Net& n) const { return net_exception(n.error); }
  Ref operator()(kerror::Timeout&) const { return instance(PyExc_TimeoutError, "timed out"); }
  Ref operator()(kerror::Forked&) const {
    return named("VennockClosed",
                 "this cluster was created in another process; create clusters after os.fork(), never before");
  }
  Ref operator()(kerror::Failed&) const { return named("VennockClosed", "the node stopped on an internal error"); }
  Ref operator()(kerror::Closed&) const { return named("VennockClosed", "the cluster is closed"); }
  Ref operator()(kerror::BadArgument& b) const {
    return instance(PyExc_ValueError, std::string(b.field) + " " + b.reason);
  }
  Ref operator()(kerror::Py& p) const { return std::move(p.exception); }
  Ref operator()(kerror::NoMemory&) const {
    PyErr_NoMemory();
    return steal(PyErr_GetRaisedException());
  }
};

struct DebugOf {
  std::string operator()(const kerror::Net& n) const { return "Net(" + n.error.debug() + ")"; }
  std::string operator()(const kerror::Timeout&) const { return "Timeout"; }
  std::string operator()(const kerror::Forked&) const { return "Forked"; }
  std::string operator()(const kerror::Failed&) const { return "Failed"; }
  std::string operator()(const kerror::Closed&) const { return "Closed"; }
  std::string operator()(const kerror::BadArgument& b) const {
    return std::string("BadArgument(\"") + b.field + "\", \"" + b.reason + "\")";
  }
  std::string operator()(const kerror::Py& p) const {
    return std::string("Py(") + (p.exception ? Py_TYPE(p.exception.ptr())->tp_name : "None") + ")";
  }
  std::string operator()(const kerror::NoMemory&) const { return "NoMemory"; }
};

}  // namespace

KError KError::from_net(net::Error e) {
  if (e.code() == net::ErrorCode::Timeout) return kerror::Timeout{};
  if (e.code() == net::ErrorCode::Closed) return kerror::Closed{};
  return kerror::Net{std::move(e)};
}

KError KError::fetch() { return kerror::Py{steal(PyErr_GetRaisedException())}; }

std::string KError::debug() const { return std::visit(DebugOf{}, v_); }

PyObject* error_class(const char* name) {
  PyObject* m = errors_module();
  if (!m) return nullptr;
  PyObject* cls = PyObject_GetAttrString(m, name);
  if (!cls) return nullptr;
  if (!PyType_Check(cls)) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not an instance of 'type'", Py_TYPE(cls)->tp_name);
    Py_DECREF(cls);
    return nullptr;
  }
  return cls;
}

Ref exception_of(KError e) { return std::visit(ExceptionOf{}, e.get()); }

void set_pending(Ref exc) { PyErr_SetRaisedException(exc.release().ptr()); }

PyObject* raise(KError e) {
  set_pending(exception_of(std::move(e)));
  return nullptr;
}

Ref config_error(const char* field, const char* reason) {
  Ref cls = steal(error_class("ConfigError"));
  if (!cls) return steal(PyErr_GetRaisedException());
  Ref msg = text(std::string(field) + " " + reason);
  Ref fld = text(field);
  if (!msg || !fld) return steal(PyErr_GetRaisedException());
  Ref e = steal(PyObject_CallFunctionObjArgs(cls.ptr(), msg.ptr(), fld.ptr(), nullptr));
  if (!e) return steal(PyErr_GetRaisedException());
  return e;
}

PyObject* raise_config_error(const char* field, const char* reason) {
  set_pending(config_error(field, reason));
  return nullptr;
}

void note_processing(const char* param) {
  Ref exc = steal(PyErr_GetRaisedException());
  if (!exc) return;
  std::string note = std::string("while processing '") + param + "'";
  Ref r = steal(PyObject_CallMethod(exc.ptr(), "add_note", "s", note.c_str()));
  if (!r) PyErr_Clear();  // an exception that takes no notes keeps its own text
  set_pending(std::move(exc));
}

}  // namespace vennock::py
