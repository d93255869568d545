#include "net/log.hpp"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "net/addr.hpp"
#include "net/lifecycle.hpp"

namespace vennock::log {

std::atomic<uint8_t> g_rank{env_rank()};

namespace {

// Never destroyed: worker threads may still log while the process exits. The locks are the
// process's own: a thread of the parent may hold one at a fork (writing a line to a slowly read
// pipe), and the child's first record would wait for it for good.
std::atomic<Dispatcher*> g_dispatcher{nullptr};
constinit net::lifecycle::PerProcess<std::mutex> g_install_lock;
constinit net::lifecycle::PerProcess<std::mutex> g_stderr_lock;

}  // namespace

const char* level_name(Level l) {
  switch (l) {
    case Level::Error: return "ERROR";
    case Level::Warn: return "WARN";
    case Level::Info: return "INFO";
    case Level::Debug: return "DEBUG";
    case Level::Trace: return "TRACE";
  }
  return "?";
}

uint8_t parse_rank(std::string_view text) {
  // Text that is not UTF-8 counts as empty; white space is Unicode's, not only ASCII's.
  const bool utf8 = proto::valid_utf8(proto::ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  std::string s(utf8 ? net::trim_space(text) : std::string_view());
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (s == "off") return 0;
  if (s == "error") return 1;
  if (s == "info") return 3;
  if (s == "debug") return 4;
  if (s == "trace") return 5;
  return 2;
}

uint8_t env_rank() {
  const char* v = std::getenv("VENNOCK_LOG");
  return parse_rank(v ? std::string_view(v) : std::string_view());
}

uint8_t rank() { return g_rank.load(std::memory_order_relaxed); }
void set_rank(uint8_t r) { g_rank.store(r > 5 ? 5 : r, std::memory_order_relaxed); }

bool set_dispatcher(std::shared_ptr<Dispatcher> d) {
  std::lock_guard<std::mutex> g(g_install_lock.get());
  if (g_dispatcher.load(std::memory_order_acquire) != nullptr) return false;
  // Kept for the life of the process: threads may log until it ends.
  static std::shared_ptr<Dispatcher>* keep = nullptr;
  keep = new std::shared_ptr<Dispatcher>(std::move(d));
  g_dispatcher.store(keep->get(), std::memory_order_release);
  return true;
}

std::string render_text(const Record& r) {
  std::string out(r.message);
  for (const Field& f : r.fields) {
    out += ' ';
    out += f.name;
    out += '=';
    f.render(f.value, out);
  }
  return out;
}

std::string render_line(const Record& r) {
  std::string out = "vennock ";
  const char* name = level_name(r.level);
  for (size_t n = std::char_traits<char>::length(name); n < 5; ++n) out += ' ';
  out += name;
  out += ' ';
  out += r.target;
  out += ": ";
  out += render_text(r);
  out += '\n';
  return out;
}

void dispatch(const Record& r) {
  if (Dispatcher* d = g_dispatcher.load(std::memory_order_acquire)) {
    d->event(r);
    return;
  }
  write_stderr(r);
}

void write_stderr(const Record& r) {
  std::string line = render_line(r);
  std::lock_guard<std::mutex> g(g_stderr_lock.get());
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

namespace detail {

void render_text(const void* v, std::string& out) { out += *static_cast<const std::string*>(v); }
void render_cstr(const void* v, std::string& out) { out += *static_cast<const char* const*>(v); }
void render_signed(const void* v, std::string& out) { out += std::to_string(*static_cast<const int64_t*>(v)); }
void render_unsigned(const void* v, std::string& out) { out += std::to_string(*static_cast<const uint64_t*>(v)); }
void render_bool(const void* v, std::string& out) { out += *static_cast<const bool*>(v) ? "true" : "false"; }

void render_double(const void* v, std::string& out) {
  double d = *static_cast<const double*>(v);
  if (std::isnan(d)) {
    out += "NaN";
    return;
  }
  if (std::isinf(d)) {
    out += d < 0 ? "-inf" : "inf";
    return;
  }
  // The shortest text that reads back to the same value.
  char buf[40];
  for (int prec = 1; prec <= 17; ++prec) {
    std::snprintf(buf, sizeof buf, "%.*g", prec, d);
    if (std::strtod(buf, nullptr) == d) break;
  }
  std::string s(buf);
  // Exponents without a plus sign or leading zeros ("1e-7", "1e20").
  if (size_t e = s.find('e'); e != std::string::npos) {
    std::string mant = s.substr(0, e), exp = s.substr(e + 1);
    bool neg = !exp.empty() && exp[0] == '-';
    if (!exp.empty() && (exp[0] == '-' || exp[0] == '+')) exp.erase(0, 1);
    while (exp.size() > 1 && exp[0] == '0') exp.erase(0, 1);
    s = mant + "e" + (neg ? "-" : "") + exp;
  } else if (s.find_first_of(".n") == std::string::npos) {
    s += ".0";
  }
  out += s;
}

void render_bytes(const void* v, std::string& out) {
  static const char* hex = "0123456789abcdef";
  const auto& b = *static_cast<const proto::Bytes*>(v);
  out += '[';
  for (size_t i = 0; i < b.size(); ++i) {
    if (i) out += ' ';
    out += hex[b[i] >> 4];
    out += hex[b[i] & 15];
  }
  out += ']';
}

void render_addr(const void* v, std::string& out) { out += net::addr_text(*static_cast<const proto::SocketAddr*>(v)); }

void render_duration(const void* v, std::string& out) {
  auto ns = static_cast<const std::chrono::nanoseconds*>(v)->count();
  char buf[48];
  if (ns % 1'000'000'000 == 0) {
    std::snprintf(buf, sizeof buf, "%llds", static_cast<long long>(ns / 1'000'000'000));
  } else if (ns >= 1'000'000'000) {
    std::snprintf(buf, sizeof buf, "%gs", static_cast<double>(ns) / 1e9);
  } else if (ns % 1'000'000 == 0) {
    std::snprintf(buf, sizeof buf, "%lldms", static_cast<long long>(ns / 1'000'000));
  } else if (ns >= 1'000'000) {
    std::snprintf(buf, sizeof buf, "%gms", static_cast<double>(ns) / 1e6);
  } else {
    std::snprintf(buf, sizeof buf, "%lldns", static_cast<long long>(ns));
  }
  out += buf;
}

}  // namespace detail

}  // namespace vennock::log
