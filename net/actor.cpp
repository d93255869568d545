#include "net/actor.hpp"

namespace vennock::net::actor {

std::optional<StreamId> evict_for(const Accepted& queue, const IpAddr& ip, size_t per_ip, size_t total) {
  size_t mine = 0;
  for (const auto& [id, a] : queue)
    if (a == ip) ++mine;
  if (mine >= per_ip) {
    for (const auto& [id, a] : queue)
      if (a == ip) return id;
  }
  if (queue.size() < total) return std::nullopt;
  // Addresses in the order they are first met, so the earliest wins a tie.
  std::unordered_map<IpAddr, size_t, conn::IpHash> slot;
  std::vector<std::pair<IpAddr, size_t>> tally;
  for (const auto& [id, a] : queue) {
    auto [it, fresh] = slot.try_emplace(a, tally.size());
    if (fresh) tally.emplace_back(a, 0);
    ++tally[it->second].second;
  }
  const std::pair<IpAddr, size_t>* busiest = nullptr;
  for (const auto& t : tally)
    if (!busiest || t.second > busiest->second) busiest = &t;
  if (!busiest) return std::nullopt;
  for (const auto& [id, a] : queue)
    if (a == busiest->first) return id;
  return std::nullopt;
}

Task<void> rejoin(Runtime& rt, std::vector<seed::Seed> seeds, Sender<std::vector<SocketAddr>> out) {
  auto resolving = seed::resolve(rt, std::move(seeds), std::chrono::seconds(5), true);
  auto r = co_await std::move(resolving);
  out.try_send(std::move(r.addrs));
}

}  // namespace vennock::net::actor
