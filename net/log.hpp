// Structured log records: a level, a target, a fixed message and named fields.
//
// Records go to one process-wide dispatcher, set once (the first set wins); until one is set
// they go to standard error. A record below the process-wide level costs one relaxed atomic
// load: fields are captured by reference and rendered only when the record passes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "proto/wire.hpp"

namespace vennock::log {

// Numbered as the level rank: a record passes when its number is at most the rank.
enum class Level : uint8_t { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

// "ERROR", "WARN", "INFO", "DEBUG", "TRACE".
const char* level_name(Level l);

// How a field's value is rendered.
enum class Kind : uint8_t { Text, Signed, Unsigned, Float, Bool, Bytes, Display };

// One named field. It refers to a value that lives until the record has been dispatched.
struct Field {
  const char* name;
  Kind kind;
  const void* value;
  void (*render)(const void* value, std::string& out);
};

struct Record {
  Level level;
  std::string_view target;
  std::string_view message;
  std::span<const Field> fields;
};

// Receives every record that passes the level. Called on any thread, concurrently.
class Dispatcher {
 public:
  virtual ~Dispatcher() = default;
  virtual void event(const Record& r) = 0;
};

// Level rank 0 (off) to 5 (trace). Starts at env_rank() of VENNOCK_LOG.
uint8_t rank();
void set_rank(uint8_t r);
// VENNOCK_LOG trimmed of Unicode white space and lower-cased (ASCII letters): "off" 0,
// "error" 1, "info" 3, "debug" 4, "trace" 5; anything else (unset, or not UTF-8) 2.
uint8_t env_rank();
uint8_t parse_rank(std::string_view text);

inline bool enabled(Level l) {
  extern std::atomic<uint8_t> g_rank;
  return static_cast<uint8_t>(l) <= g_rank.load(std::memory_order_relaxed);
}

// Installs the process-wide dispatcher; false when one was installed before (it stays).
bool set_dispatcher(std::shared_ptr<Dispatcher> d);

// The message, then " name=value" for each field.
std::string render_text(const Record& r);
// One standard-error line: "vennock", the level right-aligned in 5 columns, the target,
// ": ", the text, and a line feed.
std::string render_line(const Record& r);

// Dispatches a record whose level has already been checked.
void dispatch(const Record& r);
// Writes the record's standard-error line whole, under the process's standard-error lock, so
// lines of concurrent records never interleave. A failed write loses the record.
void write_stderr(const Record& r);

// ---- fields ----------------------------------------------------------------------------

namespace detail {
void render_text(const void* v, std::string& out);
void render_cstr(const void* v, std::string& out);
void render_signed(const void* v, std::string& out);
void render_unsigned(const void* v, std::string& out);
void render_double(const void* v, std::string& out);
void render_bool(const void* v, std::string& out);
void render_bytes(const void* v, std::string& out);
void render_addr(const void* v, std::string& out);
void render_duration(const void* v, std::string& out);
}  // namespace detail

// A value that renders through its own display function.
template <class T>
struct Shown {
  const T& value;
};

inline Field field(const char* name, const std::string& v) { return {name, Kind::Text, &v, detail::render_text}; }
inline Field field(const char* name, const std::string_view& v) {
  return {name, Kind::Text, &v, [](const void* p, std::string& out) { out += *static_cast<const std::string_view*>(p); }};
}
inline Field field(const char* name, const char* const& v) { return {name, Kind::Text, &v, detail::render_cstr}; }
inline Field field(const char* name, const bool& v) { return {name, Kind::Bool, &v, detail::render_bool}; }
inline Field field(const char* name, const double& v) { return {name, Kind::Float, &v, detail::render_double}; }
inline Field field(const char* name, const proto::Bytes& v) { return {name, Kind::Bytes, &v, detail::render_bytes}; }
inline Field field(const char* name, const proto::SocketAddr& v) {
  return {name, Kind::Display, &v, detail::render_addr};
}
inline Field field(const char* name, const std::chrono::nanoseconds& v) {
  return {name, Kind::Display, &v, detail::render_duration};
}
template <class T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
Field field(const char* name, const T& v) {
  if constexpr (std::is_signed_v<T>) {
    return {name, Kind::Signed, &v, [](const void* p, std::string& out) {
              int64_t x = *static_cast<const T*>(p);
              detail::render_signed(&x, out);
            }};
  } else {
    return {name, Kind::Unsigned, &v, [](const void* p, std::string& out) {
              uint64_t x = *static_cast<const T*>(p);
              detail::render_unsigned(&x, out);
            }};
  }
}
// Anything with a `std::string to_string() const` (or a free `to_string(const T&)`).
template <class T>
Field field(const char* name, const Shown<T>& v) {
  return {name, Kind::Display, &v.value, [](const void* p, std::string& out) {
            const T& t = *static_cast<const T*>(p);
            if constexpr (requires { t.to_string(); }) {
              out += t.to_string();
            } else {
              out += to_string(t);
            }
          }};
}
template <class T>
Shown<T> shown(const T& v) {
  return Shown<T>{v};
}

inline void emit(Level l, std::string_view target, std::string_view message, std::initializer_list<Field> fields = {}) {
  dispatch(Record{l, target, message, std::span<const Field>(fields.begin(), fields.size())});
}

}  // namespace vennock::log

// The fields are built only when the level passes. Usage:
//   VN_LOG(Debug, "vennock_net::conn", "message", vennock::log::field("conn", id));
#define VN_LOG(level, target, message, ...)                                                  \
  do {                                                                                       \
    if (::vennock::log::enabled(::vennock::log::Level::level)) {                             \
      ::vennock::log::emit(::vennock::log::Level::level, target, message, {__VA_ARGS__});    \
    }                                                                                        \
  } while (0)
