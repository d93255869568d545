// Owned and borrowed references to Python objects, and the small C-API helpers every module of
// the bindings uses.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <string_view>
#include <utility>

namespace vennock::py {

namespace nb = nanobind;

// Whether the calling thread is attached to the interpreter (holds the GIL where there is one).
inline bool attached() { return PyThreadState_GetUnchecked() != nullptr; }

// An owned reference. It is released only by a thread attached to the interpreter; one that
// dies on a thread that is not is forgotten instead (the object is leaked). That happens on
// purpose in two places: a runtime thread dropping a call after the exit began, and a thread
// that CPython 3.13 ends with pthread_exit while the interpreter finalises. CPython ends such
// a thread when it tries to attach again, and the unwinding runs our destructors on it,
// detached, while the finalising thread holds the interpreter: a release there would run
// deallocators concurrently with it.
class Ref : public nb::handle {
 public:
  Ref() = default;
  // Takes ownership of `p` (null stays null).
  explicit Ref(PyObject* p) noexcept : nb::handle(p) {}
  Ref(const Ref& o) noexcept : nb::handle(o) { Py_XINCREF(m_ptr); }
  Ref(Ref&& o) noexcept : nb::handle(std::exchange(o.m_ptr, nullptr)) {}
  Ref& operator=(const Ref& o) noexcept {
    Ref(o).swap(*this);
    return *this;
  }
  Ref& operator=(Ref&& o) noexcept {
    Ref(std::move(o)).swap(*this);
    return *this;
  }
  ~Ref() {
    if (m_ptr && attached()) Py_DECREF(m_ptr);
  }
  // Gives the reference up to the caller.
  nb::handle release() noexcept { return nb::handle(std::exchange(m_ptr, nullptr)); }

 private:
  void swap(Ref& o) noexcept { std::swap(m_ptr, o.m_ptr); }
};

// Takes ownership of a new reference (null stays null: the call that made it failed).
inline Ref steal(PyObject* p) { return Ref(p); }
inline Ref borrow(PyObject* p) {
  Py_XINCREF(p);
  return Ref(p);
}

inline Ref text(std::string_view s) {
  return steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// The per-object lock of a free-threaded interpreter (nothing under the GIL), held for a
// scope and let go on every way out of it (not by a thread unwound detached: see Ref).
class CriticalSection {
 public:
#ifdef Py_GIL_DISABLED
  explicit CriticalSection(PyObject* o) { PyCriticalSection_Begin(&cs_, o); }
  ~CriticalSection() {
    if (attached()) PyCriticalSection_End(&cs_);
  }
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
