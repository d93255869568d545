// Seeds: the addresses a node joins through, written "host:port", and their resolution.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <utility>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "net/addr.hpp"
#include "net/lookups.hpp"
#include "net/task.hpp"
#include "proto/result.hpp"

namespace vennock::net {
class Runtime;
}

namespace vennock::net::seed {

// A socket-address literal, or a DNS host name (1 to 253 bytes, no trailing dot, letters as
// written) with a port.
class Seed {
 public:
  static Seed addr(const SocketAddr& a) { return Seed(a); }
  static Seed host(std::string name, uint16_t port) { return Seed(std::move(name), port); }

  // Trims white space, then takes a socket-address literal, else "host:port" by the host
  // rules. The error is the trimmed text.
  static Result<Seed, std::string> from_str(std::string_view text);

  bool is_addr() const { return is_addr_; }
  const SocketAddr& socket_addr() const { return addr_; }
  const std::string& host_name() const { return host_; }
  uint16_t port() const { return is_addr_ ? addr_.port : port_; }

  // "host:port", or the address's standard text.
  std::string to_string() const;
  bool operator==(const Seed&) const = default;

 private:
  explicit Seed(const SocketAddr& a) : is_addr_(true), addr_(a) {}
  Seed(std::string h, uint16_t p) : is_addr_(false), host_(std::move(h)), port_(p) {}
  bool is_addr_ = true;
  SocketAddr addr_{};
  std::string host_;
  uint16_t port_ = 0;
};

// What one lookup task ends with: the addresses in the resolver's order, or a failure text.
struct Lookup {
  size_t index = 0;
  std::vector<SocketAddr> addrs;
  std::string failure;  // empty on success
};

// The resolver's step, replaced by tests (net/lookups.hpp).
using net::set_system_lookup;
using net::SystemLookup;

// Looks up (host, port) within `limit`, counted from when the task first runs: IPv4 address
// text is answered at once, any other name by the runtime's lookups (net/lookups.hpp), where it
// may wait for its turn. A lookup still waiting or running when the limit passes (or when the
// task is aborted) is given up ("lookup timed out"): its turn is dropped, or its late answer.
Task<Lookup> lookup(Runtime& rt, size_t index, std::string host, uint16_t port, std::chrono::nanoseconds limit);

struct Resolved {
  std::vector<SocketAddr> addrs;  // each address once, at its first position
  size_t failures = 0;            // host seeds that gave no address
};

// Literal seeds as they are, host seeds by concurrent lookups bounded by `limit` each. Never
// fails: a seed that does not resolve is counted, logged (WARN, or DEBUG for a rejoin) and
// left out. Abandoning the call aborts the lookups still running.
Task<Resolved> resolve(Runtime& rt, std::vector<Seed> seeds, std::chrono::nanoseconds limit, bool rejoin);

}  // namespace vennock::net::seed
