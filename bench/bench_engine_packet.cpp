// Engine work per packet on one engine (its table warm in cache), next to the cost of sealing
// and opening a packet. Google Benchmark; not run in CI.
#include <benchmark/benchmark.h>

#include <array>
#include <string>

#include "core/lib.hpp"
#include "proto/message.hpp"
#include "proto/packet.hpp"

using namespace vennock;

namespace {

constexpr uint64_t kWall = 1'700'000'000'000ULL;

proto::SocketAddr addr(size_t i) {
  return proto::SocketAddr::v4({10, static_cast<uint8_t>(i >> 16), static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)},
                               7946);
}

proto::Key key() {
  std::array<uint8_t, 32> k{};
  k.fill(3);
  return proto::Key::from_array(k);
}

struct Fixture {
  std::unique_ptr<core::Node> node;
  std::unique_ptr<proto::Codec> peer;  // seals what the engine receives
  std::vector<proto::Alive> alives;

  Fixture(size_t members, bool encrypted) {
    core::Config cfg;
    cfg.max_members = members + 16;
    cfg.max_new_members_per_packet = members + 16;
    if (encrypted) cfg.keys = std::vector<proto::Key>{key()};
    std::array<uint8_t, 32> nk{};
    core::Identity id{"self", {}, addr(0), kWall};
    node = std::make_unique<core::Node>(std::move(core::Node::create(cfg, id, 0, 1, nk).value()));
    nk[0] = 1;
    peer = std::make_unique<proto::Codec>(cfg.cluster,
                                          encrypted ? std::optional<std::vector<proto::Key>>(std::vector<proto::Key>{key()})
                                                    : std::nullopt,
                                          nk);
    proto::State st;
    for (size_t i = 1; i <= members; ++i) {
      proto::Alive a{"member-" + std::to_string(i), addr(i), kWall + i, 1, {}};
      alives.push_back(a);
      st.members.push_back(proto::MemberRecord{a.name, a.addr, a.epoch, a.incarnation, proto::MemberState::Alive, {}});
    }
    proto::Bytes payload;
    proto::encode(st, payload);
    proto::Bytes frame = peer->seal(payload, kWall, proto::Recipient{"self", std::nullopt});
    node->handle_stream(1, core::INBOUND_BIT | 1, core::StreamEvent{core::stream_event::Data{frame}});
    drain();
    settle();
  }
  // What the State left queued as gossip (news no member is sent about itself among it) goes
  // out on the answers to Pings from other members, so that the benchmarks time a node at rest.
  void settle() {
    for (size_t i = 2; i < 2 + 64 && i <= alives.size(); ++i) {
      proto::Bytes payload;
      proto::encode(proto::Ping{1, "self", alives[i - 1].name}, payload);
      proto::Bytes p = peer->seal(payload, kWall, proto::Recipient{"self", std::nullopt});
      node->handle_datagram(1, addr(i), p);
      drain();
    }
  }
  void drain() {
    while (node->poll_transmit()) {
    }
    while (node->poll_event()) {
    }
  }
};

// A Ping for this node: decode, answer with an Ack (sealed), piggyback nothing.
void BM_EnginePing(benchmark::State& state) {
  Fixture f(static_cast<size_t>(state.range(0)), state.range(1) != 0);
  proto::Bytes payload;
  proto::encode(proto::Ping{7, "self", "member-1"}, payload);
  // Encrypted packets must each carry a fresh nonce, or the replay window refuses them:
  // seal a pool of them beforehand.
  std::vector<proto::Bytes> pool(state.range(1) ? 1 << 18 : 1);
  for (auto& p : pool) p = f.peer->seal(payload, kWall, proto::Recipient{"self", std::nullopt});
  size_t k = 0;
  uint64_t now = 2;
  for (auto _ : state) {
    proto::Bytes& in = pool[k++ % pool.size()];
    proto::Bytes copy = in;  // opened in place
    f.node->handle_datagram(now, addr(1), copy);
    f.drain();
    now += 1000;
  }
}
BENCHMARK(BM_EnginePing)->Args({1000, 0})->Args({10000, 0});
BENCHMARK(BM_EnginePing)->Args({1000, 1})->Iterations(200000);  // within the pool: no replays

// A full datagram of gossip about members the engine already knows (the common case).
void BM_EngineGossip(benchmark::State& state) {
  Fixture f(static_cast<size_t>(state.range(0)), false);
  proto::Bytes payload;
  size_t i = 0, count = 0;
  while (true) {
    proto::Bytes one;
    proto::encode(f.alives[(i * 7919) % f.alives.size()], one);
    if (payload.size() + one.size() > 1400 - proto::PACKET_OVERHEAD) break;
    payload.insert(payload.end(), one.begin(), one.end());
    ++i;
    ++count;
  }
  proto::Bytes packet = f.peer->seal(payload, kWall, proto::Recipient{"self", std::nullopt});
  uint64_t now = 2;
  for (auto _ : state) {
    proto::Bytes in = packet;
    f.node->handle_datagram(now, addr(1), in);
    f.drain();
    now += 1000;
  }
  state.counters["messages"] = static_cast<double>(count);
}
BENCHMARK(BM_EngineGossip)->Arg(1000)->Arg(10000);

void BM_SealOpen(benchmark::State& state) {
  std::array<uint8_t, 32> nk{};
  proto::Codec c("default", std::vector<proto::Key>{key()}, nk);
  proto::Bytes payload(static_cast<size_t>(state.range(0)), 0x5a);
  proto::Bytes sealed;
  for (auto _ : state) {
    c.seal(payload, kWall, sealed);
    auto o = c.open(sealed);
    benchmark::DoNotOptimize(o);
  }
}
BENCHMARK(BM_SealOpen)->Arg(24)->Arg(1400 - static_cast<int>(proto::SEALED_OVERHEAD));

}  // namespace

BENCHMARK_MAIN();
