// Owned and borrowed references to Python objects, and the small C-API helpers every module of
// the bindings uses. A Ref is released with the calling thread attached to the interpreter:
// never let one die on a runtime thread that is not.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <string_view>

namespace vennock::py {

namespace nb = nanobind;

using Ref = nb::object;

// Takes ownership of a new reference (null stays null: the call that made it failed).
inline Ref steal(PyObject* p) { return nb::steal(p); }
inline Ref borrow(PyObject* p) { return nb::borrow(p); }

inline Ref text(std::string_view s) {
  return steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// The per-object lock of a free-threaded interpreter (nothing under the GIL), held for a
// scope and let go on every way out of it.
class CriticalSection {
 public:
#ifdef Py_GIL_DISABLED
  explicit CriticalSection(PyObject* o) { PyCriticalSection_Begin(&cs_, o); }
  ~CriticalSection() { PyCriticalSection_End(&cs_); }
#else
  explicit CriticalSection(PyObject*) {}
#endif
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

#ifdef Py_GIL_DISABLED
 private:
  PyCriticalSection cs_;
#endif
};

}  // namespace vennock::py
