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

}  // namespace vennock::py
