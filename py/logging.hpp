// The log router: the process-wide log dispatcher that sends records to standard error or to a
// bounded buffer that Python drains and waits on, and the module functions that steer it.
#pragma once

#include <Python.h>

#include <cstdint>

namespace vennock::py::logging {

// Sets the level from VENNOCK_LOG and installs the router unless another dispatcher is in
// place (it then stays, silently).
void init();

// The module functions (METH_* signatures of the C API).
PyObject* route_to_python(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* route_to_stderr(PyObject* module, PyObject* unused);
PyObject* drain_logs(PyObject* module, PyObject* unused);
PyObject* wait_logs(PyObject* module, PyObject* unused);
PyObject* wait_logs_blocking(PyObject* module, PyObject* args, PyObject* kwargs);

// Python's number for a record level: trace 5, debug 10, info 20, warn 30, error 40.
uint8_t python_level(uint8_t rank_of_record);
// The rank that Python level `level` selects (below 6 trace ... 51 and above off).
uint8_t rank_of_python_level(long long level);

}  // namespace vennock::py::logging
