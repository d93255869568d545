#include "net/seed.hpp"

#include <optional>

#include "net/log.hpp"
#include "net/runtime.hpp"

namespace vennock::net::seed {

namespace {

std::optional<uint16_t> parse_port(std::string_view p) {
  if (!p.empty() && p[0] == '+') p.remove_prefix(1);
  if (p.empty()) return std::nullopt;
  uint32_t v = 0;
  for (char c : p) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint32_t>(c - '0');
    if (v > 65535) return std::nullopt;
  }
  return static_cast<uint16_t>(v);
}

bool valid_label(std::string_view l) {
  if (l.empty() || l.size() > 63) return false;
  if (l.front() == '-' || l.back() == '-') return false;
  for (char c : l) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

Result<Seed, std::string> Seed::from_str(std::string_view text) {
  std::string_view t = trim_space(text);
  if (auto a = parse_socket_addr(t)) return Seed::addr(*a);
  size_t colon = t.rfind(':');
  if (colon == std::string_view::npos) return err(std::string(t));
  auto port = parse_port(t.substr(colon + 1));
  if (!port) return err(std::string(t));
  std::string_view host = t.substr(0, colon);
  if (host.empty()) return err(std::string(t));
  if (host.back() == '.') host.remove_suffix(1);
  if (host.empty() || host.size() > 253) return err(std::string(t));
  std::string_view rest = host;
  for (;;) {
    size_t dot = rest.find('.');
    if (!valid_label(rest.substr(0, dot))) return err(std::string(t));
    if (dot == std::string_view::npos) break;
    rest.remove_prefix(dot + 1);
  }
  return Seed::host(std::string(host), *port);
}

std::string Seed::to_string() const {
  if (is_addr_) return addr_text(addr_);
  return host_ + ":" + std::to_string(port_);
}

Task<Lookup> lookup(Runtime& rt, size_t index, std::string host, uint16_t port, std::chrono::nanoseconds limit) {
  Lookup out;
  out.index = index;
  std::optional<Instant> deadline;
  Instant start = now();
  if (limit.count() >= 0 && limit < Instant::max() - start) deadline = start + limit;
  if (auto a = parse_ipv4(host, port)) {
    out.addrs.push_back(*a);
    co_return out;
  }
  // Dropped however this task ends (answered, timed out, aborted): a turn not yet taken goes
  // from the queue, and a lookup in the resolver answers to nobody.
  Lookups::Ticket ticket = rt.lookups().ask(std::move(host), port);
  for (;;) {
    if (auto r = ticket.take(this_task::waker())) {
      out.addrs = std::move(r->addrs);
      out.failure = std::move(r->failure);
      co_return out;
    }
    if (deadline && now() >= *deadline) {
      out.failure = "lookup timed out";
      co_return out;
    }
    co_await park(deadline);
  }
}

Task<Resolved> resolve(Runtime& rt, std::vector<Seed> seeds, std::chrono::nanoseconds limit, bool rejoin) {
  Resolved out;
  JoinSet<Lookup> set;
  bool any_host = false;
  for (size_t i = 0; i < seeds.size(); ++i) {
    if (seeds[i].is_addr()) continue;
    any_host = true;
    set.spawn(rt.strand(), lookup(rt, i, seeds[i].host_name(), seeds[i].port(), limit));
  }
  std::vector<std::vector<SocketAddr>> slots(seeds.size());
  for (;;) {
    // (A co_await is never written inside a condition: g++ 12 miscompiles that.)
    auto j = co_await set.join_next();
    if (!j) break;
    if (!j->completed()) {
      ++out.failures;
      continue;
    }
    Lookup& l = *j->value;
    if (l.failure.empty() && !l.addrs.empty()) {
      slots[l.index] = std::move(l.addrs);
      continue;
    }
    std::string error = l.failure.empty() ? std::string("no address") : l.failure;
    std::string shown = seeds[l.index].to_string();
    ++out.failures;
    if (rejoin) {
      VN_LOG(Debug, "vennock_net::seed", "seed did not resolve; trying again at the next rejoin",
             log::field("seed", shown), log::field("error", error));
    } else {
      VN_LOG(Warn, "vennock_net::seed", "seed did not resolve", log::field("seed", shown), log::field("error", error));
    }
  }
  auto offer = [&](const SocketAddr& a) {
    for (const auto& have : out.addrs)
      if (have == a) return;
    out.addrs.push_back(a);
  };
  for (size_t i = 0; i < seeds.size(); ++i) {
    if (seeds[i].is_addr()) {
      offer(seeds[i].socket_addr());
    } else {
      for (const auto& a : slots[i]) offer(a);
    }
  }
  if (!out.addrs.empty() && any_host) {
    std::string list = addr_list_text(out.addrs);
    VN_LOG(Debug, "vennock_net::seed", "resolved seeds", log::field("addrs", list));
  }
  co_return out;
}

}  // namespace vennock::net::seed
