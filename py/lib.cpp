// The extension module vennock._vennock: its definition (multi-phase, declared free of the
// global interpreter lock) and its execution step.
#include <Python.h>

#include "net/lib.hpp"
#include "proto/packet.hpp"
#include "py/config.hpp"
#include "py/errors.hpp"
#include "py/logging.hpp"
#include "py/node.hpp"
#include "py/runtime.hpp"

namespace vennock::py {

namespace {

PyObject* wire_version(PyObject*, PyObject*) { return PyLong_FromLong(proto::WIRE_VERSION); }

PyObject* generate_key(PyObject*, PyObject*) {
  auto k = net::generate_key();
  if (!k) return raise(KError::from_net(net::Error::io(k.error())));
  proto::SecretString text = k.value().to_base64();
  return PyUnicode_FromStringAndSize(text.str().data(), static_cast<Py_ssize_t>(text.str().size()));
}

PyMethodDef kFunctions[] = {
    {"wire_version", entry<wire_version>(), METH_NOARGS,
     "wire_version()\n--\n\nWire format version spoken by this build."},
    {"generate_key", entry<generate_key>(), METH_NOARGS,
     "generate_key()\n--\n\nA new random 32-byte key from the OS's secure random source, as padded base64. This\n"
     "module zeroes its own copies; the returned str cannot be wiped by Python and is the caller's to drop."},
    {"route_to_python", entry<logging::route_to_python>(), METH_VARARGS | METH_KEYWORDS,
     "route_to_python(level)\n--\n\nSends logs at `level` and above to the buffer instead of stderr."},
    {"route_to_stderr", entry<logging::route_to_stderr>(), METH_NOARGS,
     "route_to_stderr()\n--\n\nSends logs back to stderr at the `VENNOCK_LOG` level."},
    {"drain_logs", entry<logging::drain_logs>(), METH_NOARGS,
     "drain_logs()\n--\n\nTakes every buffered record as `(level, target, message)`, and how many were dropped "
     "since\nthe last call because the buffer was full."},
    {"wait_logs", entry<logging::wait_logs>(), METH_NOARGS, "wait_logs()\n--\n\nResolves once a record is buffered."},
    {"wait_logs_blocking", entry<logging::wait_logs_blocking>(), METH_VARARGS | METH_KEYWORDS,
     "wait_logs_blocking(timeout)\n--\n\nBlocks up to `timeout` seconds, with the GIL released, until a record is "
     "buffered; `True`\nif one is."},
    {nullptr, nullptr, 0, nullptr},
};

int add_class(PyObject* module, const char* name, PyObject* cls) {
  if (!cls) return -1;
  return PyModule_AddObjectRef(module, name, cls);
}

int exec(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "vennock._vennock must be executed on a module");
    return -1;
  }
  // The runtime, its exit hooks and the exception classes serve the whole process and belong
  // to the main interpreter: a subinterpreter's teardown would take them with it. Refused in
  // a legacy subinterpreter as CPython refuses it in an isolated one, with the same words.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError, "module vennock._vennock does not support loading in subinterpreters");
    return -1;
  }
  logging::init();
  if (add_class(module, "Config", config::type()) < 0 || add_class(module, "Node", node::node_type()) < 0 ||
      add_class(module, "EventSub", node::event_sub_type()) < 0)
    return -1;
  if (PyModule_AddFunctions(module, kFunctions) < 0) return -1;
  if (!register_exit_hook()) return -1;
  return PyModule_AddStringConstant(module, "__version__", "0.4.0");
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, entry_slot<exec>()},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_vennock", "", 0, nullptr, kSlots, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace vennock::py

extern "C" PyMODINIT_FUNC PyInit__vennock() { return PyModuleDef_Init(&vennock::py::kModule); }
