// A lone survivor over real loopback sockets: an observer, and peers that join it and stop
// without leaving, one after another. Each must be declared dead, the later ones too.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <map>

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

// A UDP port mapping without hairpinning, as a NAT or a container's userland proxy makes one:
// datagrams to its address from anyone but the node behind it reach the node (from a port of
// the mapping's own, one per sender, so that the node's answers find their way back); those the
// node sends to that address itself are lost.
class PortMapping {
 public:
  explicit PortMapping(SocketAddr inside) : inside_(inside) {
    outside_ = bound_socket();
    thread_ = std::thread([this] { loop(); });
  }
  ~PortMapping() {
    stop_ = true;
    thread_.join();
    for (auto& [peer, fd] : mapped_) ::close(fd);
    ::close(outside_);
  }
  SocketAddr addr() const { return addr_of(outside_); }
  size_t forwarded() const { return forwarded_; }

 private:
  static int bound_socket() {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in lo{};
    lo.sin_family = AF_INET;
    lo.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&lo), sizeof lo), 0);
    return fd;
  }
  static SocketAddr addr_of(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
    return *from_sockaddr(reinterpret_cast<sockaddr*>(&ss), len);
  }
  static void send_to(int fd, const uint8_t* p, size_t n, const SocketAddr& to) {
    sockaddr_storage ss;
    socklen_t len = to_sockaddr(to, ss);
    ::sendto(fd, p, n, 0, reinterpret_cast<sockaddr*>(&ss), len);
  }
  // One datagram waiting on `fd`, if any, and where it came from.
  static std::optional<SocketAddr> take(int fd, std::vector<uint8_t>& buf, size_t& n) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    ssize_t r = ::recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&ss), &len);
    if (r < 0) return std::nullopt;
    n = static_cast<size_t>(r);
    return from_sockaddr(reinterpret_cast<sockaddr*>(&ss), len);
  }
  void loop() {
    std::vector<uint8_t> buf(65536);
    while (!stop_) {
      std::vector<pollfd> fds{{outside_, POLLIN, 0}};
      std::vector<SocketAddr> peers;
      for (auto& [peer, fd] : mapped_) {
        fds.push_back({fd, POLLIN, 0});
        peers.push_back(peer);
      }
      if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
      size_t n = 0;
      if (fds[0].revents & POLLIN) {
        if (auto from = take(outside_, buf, n)) {
          if (*from != inside_) {  // no hairpin
            auto [it, fresh] = mapped_.try_emplace(*from, -1);
            if (fresh) it->second = bound_socket();
            send_to(it->second, buf.data(), n, inside_);
            ++forwarded_;
          }
        }
      }
      for (size_t k = 1; k < fds.size(); ++k)
        if ((fds[k].revents & POLLIN) && take(fds[k].fd, buf, n)) send_to(outside_, buf.data(), n, peers[k - 1]);
    }
  }

  SocketAddr inside_;
  int outside_ = -1;
  std::map<SocketAddr, int> mapped_;  // by sender outside
  std::atomic<bool> stop_{false};
  std::atomic<size_t> forwarded_{0};
  std::thread thread_;
};

// A member of the local preset on loopback, joining through `seed` when there is one.
Settings local_member(std::string name, std::optional<SocketAddr> seed) {
  Settings s = Settings::local();
  s.name = std::move(name);
  s.bind.port = 0;
  if (seed) s.seed_addrs = {*seed};
  return s;
}

// n formed members (every one seeing all n); then every member but node 0 stops without
// leaving. Whether node 0 lists none of them
// within the bound (11 probe intervals, a gossip spread, the longest suspicion timeout).
void lone_survivor_of(std::vector<Membership>& nodes, size_t n) {
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
  // own socket with each request and answered there, shows the silence is theirs.
  const size_t n = 8;
  std::vector<Membership> nodes;
  for (size_t i = 0; i < n; ++i) {
    std::optional<SocketAddr> seed;
    if (i > 0) seed = nodes[0].local_addr();
    nodes.push_back(start(local_member("survivor-" + std::to_string(i), seed)));
  }
  lone_survivor_of(nodes, n);
}

TEST(Survivor, ALoneSurvivorAdvertisingAnAddressItCannotReachDeclaresTheOthersDead) {
  // The survivor advertises a port mapping that does not hairpin: the others reach it there,
  // it never reaches itself there. Its check of itself, sent to that address, never came back,
  // and it charged itself for every silent helper as if its own inputs were late.
  const size_t n = 8;
  Settings s = local_member("behind-nat", std::nullopt);
  auto bound = transport::AsioTransport::bind(runtime().io(), s.bind);
  ASSERT_TRUE(bound.ok());
  PortMapping mapping(bound.value()->local_addr());
  s.advertise = mapping.addr();
  std::vector<Membership> outside;
  for (size_t i = 1; i < n; ++i) {
    std::optional<SocketAddr> seed;
    if (i > 1) seed = outside[0].local_addr();
    outside.push_back(start(local_member("outside-" + std::to_string(i), seed)));
  }
  s.seed_addrs = {outside[0].local_addr()};
  auto started = run(Membership::start(runtime(), std::move(s), std::move(bound.value())));
  ASSERT_TRUE(started.ok()) << started.error().to_string();
  std::vector<Membership> nodes;
  nodes.push_back(std::move(started.value()));
  for (auto& m : outside) nodes.push_back(std::move(m));
  // The others reach it through the mapping before they stop: a cluster can form by joins and
  // gossip before any of them has sent it a datagram.
  ASSERT_TRUE(eventually([&] { return mapping.forwarded() > 0; }));
  lone_survivor_of(nodes, n);
}
