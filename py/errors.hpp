// The bindings' one error type and the one place where it becomes a Python exception.
#pragma once

#include <Python.h>

#include <new>
#include <string>
#include <type_traits>
#include <variant>

#include "net/error.hpp"
#include "py/ref.hpp"

namespace vennock::py {

namespace kerror {
struct Net {
  net::Error error;
};
struct Timeout {};
struct Forked {};
struct Failed {};
struct Closed {};
struct BadArgument {
  const char* field;
  const char* reason;
};
// An exception raised by Python code during the call. Made and released only while the
// thread is attached to the interpreter.
struct Py {
  Ref exception;
};
// A failed allocation in an operation's body, on a runtime thread: MemoryError, as at the call.
struct NoMemory {};
}  // namespace kerror

// The variant order is the order of the debug names.
class KError {
 public:
  using V = std::variant<kerror::Net, kerror::Timeout, kerror::Forked, kerror::Failed, kerror::Closed,
                         kerror::NoMemory, kerror::BadArgument, kerror::Py>;

  template <class T, class = std::enable_if_t<std::is_constructible_v<V, T&&>>>
  KError(T&& v) : v_(std::forward<T>(v)) {}  // every alternative is a KError
  // Timeout and Closed of the network runtime become ours; every other error is carried.
  static KError from_net(net::Error e);
  // The exception pending on this thread (taken from it).
  static KError fetch();

  const V& get() const { return v_; }
  V& get() { return v_; }
  template <class T>
  bool is() const {
    return std::holds_alternative<T>(v_);
  }
  // "Timeout", "Net(Config(...))", "BadArgument(\"timeout\", \"...\")".
  std::string debug() const;

 private:
  V v_;
};

template <class T>
using Reply = Result<T, KError>;

// The exception object for `e` (an instance, ready to raise or to set on a future); when the
// exception class cannot be looked up, the lookup's own exception instead. Attached only.
Ref exception_of(KError e);
// Sets the exception for `e` as the pending one; returns null for the caller to hand back.
PyObject* raise(KError e);

// The ConfigError for a refused field: message "<field> <reason>", arguments (message, field).
Ref config_error(const char* field, const char* reason);
PyObject* raise_config_error(const char* field, const char* reason);

// A class of vennock._errors by name (a new reference), or null with the lookup's exception
// pending: the import's error, an AttributeError, or a TypeError when it is not a class.
PyObject* error_class(const char* name);

// Adds the note "while processing '<param>'" to the pending exception.
void note_processing(const char* param);

// Sets `exc` (an exception instance) as the pending exception.
void set_pending(Ref exc);

// Every entry point from Python (a method, a function, a type slot) runs through `Entry<F>`.
// The one C++ exception that can reach it is the standard library's failed allocation (a copy
// of an argument too large for the memory left): it becomes the interpreter's MemoryError
// rather than ending the process. What detaches from the interpreter or holds a critical
// section undoes that on the way out, so the exception finds the thread attached. (Not
// noexcept: a thread that CPython 3.13 ends as it finalises is unwound through here.)
template <auto F>
struct Entry;
template <class R, class... A, R (*F)(A...)>
struct Entry<F> {
  static R call(A... a) {
    try {
      return F(a...);
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      if constexpr (std::is_pointer_v<R>) {
        return nullptr;
      } else {
        return R(-1);
      }
    }
  }
};
// `F` as a method table's function, or as a type slot.
template <auto F>
PyCFunction entry() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Entry<F>::call));
}
template <auto F>
void* entry_slot() {
  return reinterpret_cast<void*>(&Entry<F>::call);
}

}  // namespace vennock::py
