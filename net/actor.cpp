#include "net/actor.hpp"

namespace vennock::net::actor {

Task<void> rejoin(Runtime& rt, std::vector<seed::Seed> seeds, Sender<std::vector<SocketAddr>> out) {
  auto resolving = seed::resolve(rt, std::move(seeds), std::chrono::seconds(5), true);
  auto r = co_await std::move(resolving);
  out.try_send(std::move(r.addrs));
}

}  // namespace vennock::net::actor
