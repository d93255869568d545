#include "py/convert.hpp"

#include <cmath>
#include <cstdio>

namespace vennock::py {

std::optional<double> seconds_arg(PyObject* obj, const char* param) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  double d = PyFloat_AsDouble(obj);
  if (d == -1.0 && PyErr_Occurred()) {
    note_processing(param);
    return std::nullopt;
  }
  return d;
}

std::optional<core::Duration> duration_of(double seconds) {
  constexpr double kTwo64 = 18446744073709551616.0;
  if (std::isnan(seconds) || seconds < 0 || seconds >= kTwo64) return std::nullopt;
  double whole = std::floor(seconds);
  // The fraction is exact in a double; its nanoseconds are rounded in extended precision,
  // where the default rounding mode sends halves to the even neighbour.
  long double ns = std::nearbyint(static_cast<long double>(seconds - whole) * 1e9L);
  auto secs = static_cast<uint64_t>(whole);
  if (ns >= 1e9L) {
    if (secs == UINT64_MAX) return std::nullopt;
    return core::Duration{secs + 1, 0};
  }
  return core::Duration{secs, static_cast<uint32_t>(ns)};
}

Reply<core::Duration> timeout_of(double seconds) {
  if (auto d = duration_of(seconds)) return *d;
  return err(KError(kerror::BadArgument{"timeout", "must be a non-negative number of seconds"}));
}

std::chrono::nanoseconds nanos_of(core::Duration d) {
  uint64_t ns = d.as_nanos();
  return std::chrono::nanoseconds(ns > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(ns));
}

double seconds_of(core::Duration d) { return static_cast<double>(d.secs) + static_cast<double>(d.nanos) / 1e9; }

}  // namespace vennock::py

namespace vennock::py {

namespace {

// Decodes one code point of valid UTF-8 at `i` and advances past it.
uint32_t next_code_point(std::string_view s, size_t& i) {
  auto b = static_cast<uint8_t>(s[i++]);
  if (b < 0x80) return b;
  int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : 1;
  uint32_t cp = b & (0x3F >> extra);
  for (int k = 0; k < extra && i < s.size(); ++k) cp = (cp << 6) | (static_cast<uint8_t>(s[i++]) & 0x3F);
  return cp;
}

bool combining(uint32_t cp) {
  if (cp < 0x300) return false;
  Ref ud = steal(PyImport_ImportModule("unicodedata"));
  Ref ch = ud ? steal(PyUnicode_FromOrdinal(static_cast<int>(cp))) : Ref();
  Ref cat = ch ? steal(PyObject_CallMethod(ud.ptr(), "category", "O", ch.ptr())) : Ref();
  if (!cat) {
    PyErr_Clear();
    return false;
  }
  const char* c = PyUnicode_AsUTF8(cat.ptr());
  return c && c[0] == 'M' && (c[1] == 'n' || c[1] == 'e');
}

}  // namespace

std::string debug_quoted(std::string_view s) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size();) {
    size_t start = i;
    uint32_t cp = next_code_point(s, i);
    switch (cp) {
      case '\\': out += "\\\\"; continue;
      case '"': out += "\\\""; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      case 0: out += "\\0"; continue;
      default: break;
    }
    if (cp == ' ' || (Py_UNICODE_ISPRINTABLE(cp) && !combining(cp))) {
      out.append(s.substr(start, i - start));
    } else {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", cp);
      out += buf;
    }
  }
  out += '"';
  return out;
}

std::optional<std::string_view> utf8_of(PyObject* obj) {
  if (!PyUnicode_Check(obj)) return std::nullopt;
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(obj, &n);
  if (!p) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string_view(p, static_cast<size_t>(n));
}

}  // namespace vennock::py

namespace vennock::py {

bool optional_seconds(PyObject* obj, std::optional<double>& out) {
  if (!obj || obj == Py_None) {
    out.reset();
    return true;
  }
  out = seconds_arg(obj, "timeout");
  return out.has_value();
}

bool checked_limit(double secs, core::Duration& out) {
  auto d = timeout_of(secs);
  if (!d) {
    raise(std::move(d.error()));
    return false;
  }
  out = d.value();
  return true;
}

bool checked_limit(std::optional<double> secs, std::optional<core::Duration>& out) {
  if (!secs) {
    out.reset();
    return true;
  }
  core::Duration d;
  if (!checked_limit(*secs, d)) return false;
  out = d;
  return true;
}

void not_instance(PyObject* obj, const char* accepted, const char* param) {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", accepted);
  } else {
    Ref name = steal(PyType_GetQualName(Py_TYPE(obj)));
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.ptr(), accepted);
  }
  note_processing(param);
}

bool text_arg(PyObject* obj, const char* param, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    not_instance(obj, "str", param);
    return false;
  }
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(obj, &n);
  if (!p) {
    note_processing(param);
    return false;
  }
  out.assign(p, static_cast<size_t>(n));
  return true;
}

}  // namespace vennock::py
