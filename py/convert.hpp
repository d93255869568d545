// Conversions between Python values and the runtime's: operation results, seconds, durations.
#pragma once

#include <Python.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/config.hpp"
#include "py/errors.hpp"
#include "py/ref.hpp"

namespace vennock::py {

// An awaitable's unit result is the empty tuple, a blocking call's is None.
enum class Form : uint8_t { Awaitable, Blocking };

inline Ref to_python(std::monostate, Form f) {
  return f == Form::Awaitable ? steal(PyTuple_New(0)) : borrow(Py_None);
}
inline Ref to_python(bool b, Form) { return borrow(b ? Py_True : Py_False); }
inline Ref to_python(size_t n, Form) { return steal(PyLong_FromSize_t(n)); }

// A number of seconds: an exact float as it is, anything else through the float conversion
// (`__float__`, else `__index__`). None with the error pending, noted with `param`.
std::optional<double> seconds_arg(PyObject* obj, const char* param);

// Seconds as a duration, rounded to the nearest nanosecond (halves to even). None for a
// negative value (negative zero is zero), NaN, an infinity, or 2^64 seconds or more.
std::optional<core::Duration> duration_of(double seconds);

// A time limit in seconds checked as every operation checks it: the duration, or the
// BadArgument ("timeout", "must be a non-negative number of seconds").
Reply<core::Duration> timeout_of(double seconds);

// A duration as float seconds.
double seconds_of(core::Duration d);
// A duration as nanoseconds, saturating (about 292 years: beyond what any deadline needs).
std::chrono::nanoseconds nanos_of(core::Duration d);

}  // namespace vennock::py

namespace vennock::py {

// `s` between double quotes with \\, \", \t, \r, \n and \0 escaped, and characters that are not
// printable or are combining marks written as \u{hex}. Attached (it may consult unicodedata).
std::string debug_quoted(std::string_view s);

// The UTF-8 text of a str; none (and no error pending) for anything else, or for a str that
// cannot be encoded (lone surrogates).
std::optional<std::string_view> utf8_of(PyObject* obj);

}  // namespace vennock::py

namespace vennock::py {

// ---- the argument phase shared by every method ----

// An optional `timeout` (None or omitted: no limit); false with the noted error pending.
bool optional_seconds(PyObject* obj, std::optional<double>& out);
// The limit check of a timeout already read as a number: false with the ValueError pending.
bool checked_limit(std::optional<double> secs, std::optional<core::Duration>& out);
bool checked_limit(double secs, core::Duration& out);
// "'<type>' object is not an instance of '<accepted>'" (or "'None' is not an instance of
// ..."), as a TypeError noted with `param`.
void not_instance(PyObject* obj, const char* accepted, const char* param);
// A str as UTF-8, copied; false with the error pending (noted with `param`).
bool text_arg(PyObject* obj, const char* param, std::string& out);

}  // namespace vennock::py
