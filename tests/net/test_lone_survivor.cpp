// A lone survivor over real loopback sockets: an observer, and peers that join it and stop
// without leaving, one after another. Each must be declared dead, the later ones too.
#include <gtest/gtest.h>

#include "helpers.hpp"

using namespace vennock;
using namespace vennock::net;
using namespace vennock::net::testing;
using core::MemberState;

namespace {

// The lan preset's engine settings on loopback (the runtime's default binds every interface).
Settings lan_on_loopback() {
  Settings s = Settings::local();
  s.config = core::Config{};
  return s;
}

// How long a member of a two-member cluster may take to declare its peer dead: 11 probe
// intervals, a gossip spread and the longest suspicion timeout (docs/protocol.md, Bounds).
std::chrono::milliseconds two_member_bound(const core::Config& c) {
  const uint64_t t = c.probe_interval.as_nanos();
  const uint64_t min = c.suspicion_mult * t;  // max(1, log10 2) = 1
  const uint64_t spread = c.retransmit_mult * c.gossip_interval.as_nanos();  // copies at two members
  const uint64_t ns = 11 * t + spread + c.suspicion_max_mult * min;
  return std::chrono::milliseconds(ns / 1'000'000);
}

std::string state_text(const std::optional<Member>& m) {
  if (!m) return "unknown";
  static const char* const names[] = {"alive", "suspect", "dead", "left"};
  return names[static_cast<int>(m->state) & 3];
}

Membership start_observer(const char* preset, Settings (*make)()) {
  Settings s = make();
  s.name = std::string(preset) + "-observer";
  s.bind.port = 0;
  return start(std::move(s));
}

// `peers` peers of the observer's preset, one after another.
void observe_peers(Membership& observer, const char* preset, Settings (*make)(), int peers) {
  const auto bound = two_member_bound(make().config);
  for (int k = 0; k < peers; ++k) {
    const std::string name = std::string(preset) + "-peer-" + std::to_string(k);
    Settings ps = make();
    ps.name = name;
    ps.bind.port = 0;
    ps.seed_addrs = {observer.local_addr()};
    Membership peer = start(std::move(ps));
    EXPECT_TRUE(eventually([&] {
      auto m = observer.member(name);
      return m && m->state == MemberState::Alive;
    })) << name;
    std::this_thread::sleep_for(500ms);
    run(peer.close());  // no leave: to the observer it crashed
    EXPECT_TRUE(eventually(
        [&] {
          auto m = observer.member(name);
          return m && m->state == MemberState::Dead;
        },
        bound))
        << name << " is " << state_text(observer.member(name)) << ", observer's local health "
        << observer.stats().local_health;
  }
  run(observer.close());
}

}  // namespace

TEST(Survivor, AnObserverDeclaresEveryPeerStoppedWithoutLeavingDead) {
  // The first peer was declared dead; the next ones were never even suspected, or only much
  // later, as the observer's probing slowed with every crash it had seen. Both presets at
  // once: the lan preset's shortest suspicion alone takes 4 s.
  Membership lan_observer = start_observer("lan", &lan_on_loopback);
  Membership local_observer = start_observer("local", &Settings::local);
  std::thread lan([&] { observe_peers(lan_observer, "lan", &lan_on_loopback, 2); });
  observe_peers(local_observer, "local", &Settings::local, 6);
  lan.join();
}

TEST(Survivor, TheLoneSurvivorOfEightDeclaresTheSevenStoppedDead) {
  // Seven of eight members stop at once, without leaving. The survivor asks stopped members to
  // help with its probes; their Nacks never come. Charged for each, it probed at its longest
  // period and took far longer than the bound to declare them dead. Its own Ping, sent to its
  // own address with each request and answered by its own socket, shows the silence is theirs.
  const size_t n = 8;
  std::vector<Membership> nodes;
  for (size_t i = 0; i < n; ++i) {
    Settings s = Settings::local();
    s.name = "survivor-" + std::to_string(i);
    s.bind.port = 0;
    if (i > 0) s.seed_addrs = {nodes[0].local_addr()};
    nodes.push_back(start(std::move(s)));
  }
  ASSERT_TRUE(eventually([&] {
    for (auto& m : nodes)
      if (m.members().size() != n) return false;
    return true;
  }));
  const core::Config c = Settings::local().config;
  const uint64_t t = c.probe_interval.as_nanos(), min = c.suspicion_mult * t;  // log10 8 < 1
  const uint64_t bound = 11 * t + (n - 1) * c.gossip_interval.as_nanos() + c.suspicion_max_mult * min;
  for (size_t i = 1; i < n; ++i) run(nodes[i].close());
  EXPECT_TRUE(eventually([&] { return nodes[0].members().size() == 1; }, std::chrono::milliseconds(bound / 1'000'000)))
      << nodes[0].members().size() - 1 << " still listed, local health " << nodes[0].stats().local_health;
  run(nodes[0].close());
}
