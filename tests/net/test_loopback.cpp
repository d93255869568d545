// Real nodes over loopback sockets in one process.
#include <gtest/gtest.h>

#include "helpers.hpp"

using namespace vennock;
using namespace vennock::net;
using namespace vennock::net::testing;
using core::MemberState;

namespace {

Settings joining(const std::string& name, const Membership& seed) {
  Settings s = fast_settings(name);
  s.seed_addrs = {seed.local_addr()};
  return s;
}

// Starts n nodes n0..n(n-1), all joining through the first, and waits until every one sees
// all of them.
std::vector<Membership> cluster(size_t n, const std::function<void(Settings&)>& tweak = {}) {
  std::vector<Membership> nodes;
  for (size_t i = 0; i < n; ++i) {
    Settings s = i == 0 ? fast_settings("n0") : joining("n" + std::to_string(i), nodes[0]);
    if (tweak) tweak(s);
    nodes.push_back(start(std::move(s)));
  }
  for (auto& m : nodes) {
    EXPECT_TRUE(eventually([&] { return m.members().size() == n; }))
        << m.local().name << " sees " << m.members().size();
  }
  return nodes;
}

void close_all(std::vector<Membership>& nodes) {
  for (auto& m : nodes) run(m.close());
}

std::string kind_and_name(const events::Event& e) {
  std::string k = events::kind_name(e);
  std::visit(
      [&](const auto& x) {
        using X = std::decay_t<decltype(x)>;
        if constexpr (requires { x.member; }) k += " " + x.member.name;
        if constexpr (std::is_same_v<X, events::event::UserMessage>) k += " " + x.from.name;
      },
      e);
  return k;
}

// Every event a subscription holds right now.
std::vector<std::string> drain(events::Events& s) {
  std::vector<std::string> out;
  for (;;) {
    auto r = s.next();
    if (r.kind != events::Received::Kind::Item) return out;
    out.push_back(kind_and_name(*r.event));
  }
}

}  // namespace

TEST(Loopback, CloseLeavesNoThreadSocketOrTaskBehind) {
  warm_up();
  size_t tasks = settled_tasks(), threads = thread_count(), fds = fd_count();
  {
    auto nodes = cluster(3);
    for (auto& m : nodes) {
      EXPECT_EQ(m.members().front().name, m.local().name);  // this node first
      EXPECT_EQ(m.local().addr, m.local_addr());  // bound to a specific IP: advertised as bound
      EXPECT_NE(m.local_addr().port, 0);          // both sockets share the port the node reports
    }
    // Let streams come and go (push-pulls every 2 s, joins at the start).
    auto st = nodes[1].stats();
    EXPECT_GT(st.counters.push_pulls, 0u);
    EXPECT_GT(fd_count(), fds);
    EXPECT_GT(Runtime::live_tasks(), tasks);
    close_all(nodes);
    // Everything the nodes had is gone once close returns.
    EXPECT_EQ(Runtime::live_tasks(), tasks);
    EXPECT_EQ(fd_count(), fds);
    EXPECT_TRUE(nodes[0].is_closed());
    // Reads keep answering from the last published state.
    EXPECT_EQ(nodes[0].members().size(), 3u);
    // Requests after the close are refused.
    auto r = run(nodes[0].broadcast(proto::Bytes{1}));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code(), ErrorCode::Closed);
    run(nodes[0].close());  // a second close returns at once
  }
  EXPECT_EQ(thread_count(), threads);
  EXPECT_EQ(fd_count(), fds);
}

TEST(Loopback, DroppingTheLastHandleWithoutCloseWarnsAndStopsTheNode) {
  Capture& cap = capture();
  settled_tasks();
  Membership a = start(fast_settings("a"));
  events::Events s1 = a.events(), s2 = a.events();
  size_t tasks = Runtime::live_tasks(), fds = fd_count();
  std::optional<Membership> b = start(joining("b", a));
  ASSERT_TRUE(eventually([&] { return a.members().size() == 2; }));
  events::Events bs = b->events();
  Membership copy = *b;
  size_t m = cap.mark();
  b.reset();  // a copy is still alive: nothing happens
  EXPECT_EQ(cap.count(m, "node dropped"), 0u);
  { Membership gone = std::move(copy); }
  EXPECT_EQ(cap.count(m, "node dropped without leave() or close(); peers will see a crash", log::Level::Warn), 1u);
  EXPECT_TRUE(eventually([&] { return bs.next().kind == events::Received::Kind::Closed; }));
  EXPECT_TRUE(eventually([&] { return Runtime::live_tasks() == tasks; })) << Runtime::live_tasks() << " " << tasks;
  EXPECT_TRUE(eventually([&] { return fd_count() == fds; })) << fd_count() << " " << fds;
  // Nothing was sent: the other node finds out by failure detection.
  EXPECT_TRUE(eventually([&] {
    auto r = a.member("b");
    return r && r->state == MemberState::Dead;
  }));
  EXPECT_FALSE(find(a.members(), "b").has_value());
  // After a leave, dropping the handle stops the node without the warning.
  std::optional<Membership> c = start(joining("c", a));
  ASSERT_TRUE(eventually([&] { return c->members().size() == 2; }));
  ASSERT_TRUE(run(c->leave(5s)).ok());
  EXPECT_EQ(c->local().state, MemberState::Left);
  EXPECT_FALSE(find(c->members(), "c").has_value());
  EXPECT_EQ(c->member("c")->state, MemberState::Left);
  m = cap.mark();
  c.reset();
  EXPECT_EQ(cap.count(m, "node dropped"), 0u);
  EXPECT_TRUE(eventually([&] {
    auto r = a.member("c");
    return r && r->state == MemberState::Left;
  }));
  // After a close, dropping logs nothing either.
  m = cap.mark();
  run(a.close());
  { Membership gone = std::move(a); }
  EXPECT_EQ(cap.count(m, "node dropped"), 0u);
  // Every subscription saw the same events in the same order, then the end.
  auto e1 = drain(s1), e2 = drain(s2);
  EXPECT_EQ(e1, e2);
  auto pos = [&](const std::string& what) { return std::find(e1.begin(), e1.end(), what) - e1.begin(); };
  EXPECT_LT(pos("MemberJoined b"), pos("MemberDead b"));
  EXPECT_LT(pos("MemberDead b"), pos("MemberJoined c"));
  EXPECT_LT(pos("MemberJoined c"), pos("MemberLeft c"));
  EXPECT_LT(pos("MemberLeft c"), static_cast<long>(e1.size())) << ::testing::PrintToString(e1);
  EXPECT_EQ(s1.next().kind, events::Received::Kind::Closed);
  EXPECT_FALSE(s1.failed());
}

TEST(Loopback, ANodeItsCallerGaveUpOnStopsWithoutTheWarning) {
  Capture& cap = capture();
  size_t m = cap.mark();
  // A close whose caller stopped waiting once it was queued: the node closes all the same.
  for (int i = 0; i < 20; ++i) {
    Membership a = start(fast_settings("a"));
    auto r = runtime().block_on(a.close(), std::chrono::nanoseconds(0), 100ms, nullptr);
    (void)r;
    events::Events s = a.events();
    { Membership gone = std::move(a); }
    EXPECT_TRUE(eventually([&] { return s.next().kind == events::Received::Kind::Closed; }));
  }
  // A start given up while it joins: nobody ever held the node.
  Settings stuck = fast_settings("stuck");
  stuck.seed_hosts = {Seed::from_str("nowhere.invalid:1").value()};
  stuck.resolve_timeout = core::Duration::from_secs(30);
  auto r = runtime().block_on(Membership::start(runtime(), std::move(stuck)), 200ms, 100ms, nullptr);
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(cap.count(m, "node dropped"), 0u);
}

TEST(Loopback, ALeaveThatRanOutOfTimeGoesOnAndLaterLeavesWaitForItsEnd) {
  auto nodes = cluster(3);
  Membership& c = nodes[2];
  // No time at all: the request is queued, the answer not awaited; the departure goes on.
  auto r = run(c.leave(0ns));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code(), ErrorCode::Timeout);
  EXPECT_TRUE(eventually([&] { return c.local().state == MemberState::Left; }));
  // Two more while it is gossiped: both are answered with its end, never before.
  auto second = runtime().spawn(c.leave(5s));
  auto third = runtime().spawn(c.leave(5s));
  auto r2 = second.wait(), r3 = third.wait();
  EXPECT_TRUE(r2.value->ok());
  EXPECT_TRUE(r3.value->ok());
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_TRUE(eventually([&] {
      auto m = nodes[i].member("n2");
      return m && m->state == MemberState::Left;
    })) << i;
  }
  // Once it is complete, a leave answers at once with success.
  EXPECT_TRUE(run(c.leave(5s)).ok());
  close_all(nodes);
  // A closed node's leave says so.
  auto closed = run(c.leave(5s));
  ASSERT_FALSE(closed.ok());
  EXPECT_EQ(closed.error().code(), ErrorCode::Closed);
}

TEST(Loopback, SeedsThatNeverResolveFailTheStartAndStopTheNode) {
  Capture& cap = capture();
  seed::set_system_lookup([](const std::string&, uint16_t) {
    return std::make_pair(std::vector<SocketAddr>{}, std::string("failed to lookup address information: no such host"));
  });
  warm_up();
  size_t tasks = settled_tasks(), fds = fd_count();
  Settings s = fast_settings("lonely");
  s.seed_hosts = {Seed::host("nowhere.invalid", 7946)};
  s.resolve_timeout = core::Duration::from_millis(600);
  size_t m = cap.mark();
  auto start_at = std::chrono::steady_clock::now();
  auto r = run(Membership::start(runtime(), std::move(s)));
  auto took = std::chrono::steady_clock::now() - start_at;
  seed::set_system_lookup(nullptr);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code(), ErrorCode::Unresolved);
  EXPECT_EQ(r.error().to_string(), "no seed resolved to an address");
  EXPECT_GE(took, 550ms);  // it looked up again until resolve_timeout, not a moment less
  EXPECT_LT(took, 20s);    // and then gave up, however slowly a loaded machine got there
  EXPECT_EQ(cap.count(m, "no seed resolved; stopping", log::Level::Error), 1u);
  EXPECT_GE(cap.count(m, "no seed resolved; looking up again retry_in=", log::Level::Info), 1u);
  EXPECT_GE(cap.count(m, "seed did not resolve seed=nowhere.invalid:7946", log::Level::Warn), 1u);
  EXPECT_EQ(cap.count(m, "node dropped"), 0u);
  EXPECT_EQ(fd_count(), fds);
  EXPECT_EQ(Runtime::live_tasks(), tasks);
}

namespace {
// Ends a node's join while its one name is in the resolver (a lookup that answers only when
// let go) with `end`, and gives what the join ended with.
Result<size_t, Error> join_ended_by(const std::function<void(Membership&)>& end) {
  HeldLookup held({{}, "no such host"});
  Settings s = fast_settings("ending");
  s.resolve_timeout = core::Duration::from_secs(3600);
  Membership node = start(std::move(s));
  auto joining = runtime().spawn(node.join_seeds({Seed::host("never", 7946)}));
  EXPECT_TRUE(held.begun());
  end(node);
  // Ends without its lookup's answer, and says why.
  auto joined = joining.wait_for(20s);
  run(node.close());
  if (!joined || !joined->completed()) {
    ADD_FAILURE() << "the join went on looking up";
    return err(Error(ErrorCode::Timeout));
  }
  return std::move(*joined->value);
}
}  // namespace

TEST(Loopback, CloseEndsAJoinStillLookingUpItsSeeds) {
  auto joined = join_ended_by([](Membership& node) { run(node.close()); });
  ASSERT_FALSE(joined.ok());
  EXPECT_EQ(joined.error().code(), ErrorCode::Closed);
}

TEST(Loopback, LeaveEndsAJoinStillLookingUpItsSeeds) {
  // As after the leave: the node has left and joins nothing.
  auto joined = join_ended_by([](Membership& node) { EXPECT_TRUE(run(node.leave(5s)).ok()); });
  ASSERT_FALSE(joined.ok());
  EXPECT_EQ(joined.error().code(), ErrorCode::Left);
}

TEST(Loopback, AnIpv4JoinReachesAnEncryptedSeedOnTheIpv6Wildcard) {
  // A seed bound to [::] takes IPv4 connections too; they arrive at ::ffff:127.0.0.1, while
  // the joiner's first frame names 127.0.0.1, the address it dialed: one endpoint.
  auto keyed = [](const std::string& name) {
    Settings s = fast_settings(name);
    std::array<uint8_t, 32> k{};
    k.fill(0x42);
    s.config.keys = std::vector<proto::Key>{proto::Key::from_array(k)};
    return s;
  };
  Settings sa = keyed("a");
  sa.bind = SocketAddr::v6({}, 0);
  auto started = run(Membership::start(runtime(), std::move(sa)));
  if (!started.ok()) GTEST_SKIP() << "no IPv6 wildcard here: " << started.error().to_string();
  Membership a = std::move(started.value());
  const SocketAddr dial = SocketAddr::v4({127, 0, 0, 1}, a.local_addr().port);
  const int probe = connect_from(1, dial);
  if (probe < 0) {
    run(a.close());
    GTEST_SKIP() << "the IPv6 wildcard takes no IPv4 connections here";
  }
  ::close(probe);
  Membership b = start(keyed("b"));
  auto joined = run(b.join_seeds({Seed::addr(dial)}));
  EXPECT_TRUE(joined.ok() && joined.value() == 1u) << (joined.ok() ? "" : joined.error().to_string());
  run(b.close());
  run(a.close());
}

TEST(Loopback, StartRefusesBadSettings) {
  auto refused = [](const std::function<void(Settings&)>& f) {
    Settings s = fast_settings("x");
    f(s);
    auto r = run(Membership::start(runtime(), std::move(s)));
    return r.ok() ? std::string("started") : r.error().to_string();
  };
  warm_up();
  size_t fds = fd_count();
  EXPECT_EQ(refused([](Settings& s) { s.max_inbound_streams = 0; }),
            "invalid config: max_inbound_streams must be at least 1");
  EXPECT_EQ(refused([](Settings& s) { s.max_inbound_streams_per_ip = 0; }),
            "invalid config: max_inbound_streams_per_ip must be at least 1");
  EXPECT_EQ(refused([](Settings& s) { s.max_inbound_bytes_per_ip = s.config.max_stream_frame + 3; }),
            "invalid config: max_inbound_bytes_per_ip must hold one max_stream_frame frame and its 4-byte length "
            "prefix");
  EXPECT_EQ(refused([](Settings& s) { s.tcp_header_timeout = core::Duration{}; }),
            "invalid config: tcp_header_timeout must be positive");
  EXPECT_EQ(refused([](Settings& s) { s.event_buffer = 0; }), "invalid config: event_buffer must be at least 1");
  EXPECT_EQ(refused([](Settings& s) { s.name = std::string(65, 'n'); }),
            "invalid config: name must be 1 to 64 bytes");
  EXPECT_EQ(fd_count(), fds);  // the sockets bound for a refused start are closed
  // Exactly one largest frame and its prefix is enough; 64 bytes of multi-byte text is a name.
  Settings ok = fast_settings(std::string(16, 'x') + "\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac" +
                              std::string(36, 'y'));
  ASSERT_EQ(ok.name.size(), 64u);
  ok.max_inbound_bytes_per_ip = ok.config.max_stream_frame + 4;
  Membership m = start(std::move(ok));
  run(m.close());
}

TEST(Loopback, KeyChangesOnANodeWithoutEncryptionAreRefused) {
  Capture& cap = capture();
  Membership a = start(fast_settings("plain"));
  EXPECT_TRUE(a.keyring().key_ids().empty());
  proto::Key k = generate_key().value();
  size_t m = cap.mark();
  auto r = run(a.keyring().install(k));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code(), ErrorCode::NotEncrypted);
  EXPECT_EQ(cap.count(m, "keyring: change refused key=" + k.id().hex() +
                             " error=this node runs without encryption and has no keys",
                      log::Level::Warn),
            1u);
  EXPECT_TRUE(a.keyring().key_ids().empty());
  run(a.close());
}

TEST(Loopback, ANodeWhoseSeedWasDownRejoinsThroughItLater) {
  Capture& cap = capture();
  // Find a free port, then leave it unused for a while.
  SocketAddr later;
  {
    auto t = transport::AsioTransport::bind(runtime().io(), fast_settings("x").bind);
    ASSERT_TRUE(t.ok());
    later = (*t)->local_addr();
  }
  Settings sb = fast_settings("b");
  sb.seed_addrs = {later};
  sb.config.rejoin_interval = core::Duration::from_millis(300);
  size_t m = cap.mark();
  Membership b = start(std::move(sb));  // no seed answers: the start still succeeds
  EXPECT_EQ(cap.count(m, "startup join failed; retrying in the background error=no seed answered", log::Level::Warn),
            1u);
  EXPECT_EQ(b.members().size(), 1u);
  Settings sa = fast_settings("a");
  sa.bind = later;
  Membership a = start(std::move(sa));
  // b's periodic rejoin finds its seed up and joins through it.
  EXPECT_TRUE(eventually([&] { return b.members().size() == 2 && a.members().size() == 2; }, 5s));
  EXPECT_TRUE(eventually([&] { return cap.count(m, "rejoined the cluster through the seeds", log::Level::Info) == 1; }));
  EXPECT_GE(cap.count(m, "rejoining seeds that are not live members seeds=1 alone=true"), 1u);
  run(a.close());
  run(b.close());
  EXPECT_EQ(a.events().next().kind, events::Received::Kind::Closed);  // born closed
}

TEST(Loopback, StartsClosesAbortsAndDropsRacingEachOtherLeaveNothingBehind) {
  capture();
  warm_up();
  size_t tasks = settled_tasks(), fds = fd_count();
  // Few records: the capture's lock would otherwise order the threads for the sanitizer.
  uint8_t rank = log::rank();
  log::set_rank(1);
  {
    Membership seed = start(fast_settings("seed"));
    for (int round = 0; round < 6; ++round) {
      // Six starts at once through the seed; two are abandoned while they start or join.
      std::vector<JoinHandle<Result<Membership, Error>>> starts;
      for (int i = 0; i < 6; ++i) {
        std::string name = "r" + std::to_string(round) + "-" + std::to_string(i);
        starts.push_back(runtime().spawn(Membership::start(runtime(), joining(name, seed))));
      }
      if (round % 2) std::this_thread::sleep_for(std::chrono::milliseconds(round));
      starts[0].abort();
      starts[1].abort();
      std::vector<Membership> up;
      for (auto& s : starts) {
        auto j = s.wait();
        if (j.completed() && j.value->ok()) up.push_back(std::move(j.value->value()));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20 * (round % 3)));
      // Two closes of one node at once, a single close, or the last handle dropped.
      std::vector<std::thread> closers;
      for (size_t k = 0; k < up.size(); ++k) {
        Membership m = up[k];
        if (k % 3 == 0) closers.emplace_back([m] { run(m.close()); });
        if (k % 3 != 2) closers.emplace_back([m] { run(m.close()); });
      }
      up.clear();
      for (auto& t : closers) t.join();
    }
    run(seed.close());
  }
  log::set_rank(rank);
  EXPECT_TRUE(eventually([&] { return Runtime::live_tasks() == tasks; })) << Runtime::live_tasks() << " " << tasks;
  EXPECT_TRUE(eventually([&] { return fd_count() == fds; })) << fd_count() << " " << fds;
}

namespace {

// A wall clock the test can step: the system's, plus an offset.
std::atomic<int64_t> g_wall_offset{0};
uint64_t stepped_wall() { return static_cast<uint64_t>(static_cast<int64_t>(actor::system_wall_ms()) + g_wall_offset.load()); }

// A node like start(fast_settings(name)) with keys, whose actor reads the steppable clock.
Membership start_stepped(const std::string& name, const Settings& like) {
  auto t = transport::AsioTransport::bind(runtime().io(), like.bind);
  EXPECT_TRUE(t.ok());
  actor::Clock clock;
  clock.wall = stepped_wall;
  std::array<uint8_t, 32> nk{};
  nk[0] = 3;
  core::Identity id{name, {}, t.value()->local_addr(), stepped_wall()};
  auto engine = core::Node::create(like.config, std::move(id), clock.now(), 5, nk);
  EXPECT_TRUE(engine.ok());
  return Membership::launch(runtime(), std::move(engine.value()), actor::Options{}, clock, std::move(t.value()),
                            core::Duration::from_secs(2), 64);
}

// The offset_ms field of a log line's text.
int64_t offset_in(const std::string& text) {
  auto at = text.find("offset_ms=");
  return at == std::string::npos ? 0 : std::stoll(text.substr(at + 10));
}

}  // namespace

TEST(Loopback, TheEngineJudgesStampsByTheWallClockAsItReadsNow) {
  // An encrypted pair; node "w" reads a wall clock that the test steps 10 minutes ahead and
  // back (as a clock set wrong and put right, or a host that slept: what the engine counts
  // from its start no longer says the time). While it is off, each side refuses the other's
  // packets, counts them and says so once, with the offset; once it is right, they hear each
  // other again.
  Capture& cap = capture();
  Settings s = fast_settings("plain");
  std::array<uint8_t, 32> k{};
  k.fill(4);
  s.config.keys = std::vector<proto::Key>{proto::Key::from_array(k)};
  s.config.reconnect_interval = core::Duration::from_millis(500);  // to find each other again soon
  Membership w = start_stepped("w", s);
  Settings sv = s;
  sv.name = "v";
  sv.seed_addrs = {w.local_addr()};
  Membership v = start(sv);
  ASSERT_TRUE(eventually([&] { return w.members().size() == 2 && v.members().size() == 2; }));
  size_t mark = cap.mark();
  uint64_t dropped = v.stats().counters.replays_dropped;
  g_wall_offset = 600'000;
  const char* said = "peer clock differs from ours by more than the window allows";
  ASSERT_TRUE(eventually([&] { return cap.count(mark, said) >= 2; }));
  std::this_thread::sleep_for(500ms);  // many more packets each way: still said once per side
  auto lines = cap.since(mark);
  std::vector<int64_t> offsets;
  for (const auto& l : lines)
    if (l.text.starts_with(said)) {
      EXPECT_EQ(l.level, log::Level::Warn);
      offsets.push_back(offset_in(l.text));
    }
  ASSERT_EQ(offsets.size(), 2u);
  std::sort(offsets.begin(), offsets.end());
  EXPECT_NEAR(static_cast<double>(offsets[0]), -600'000.0, 5'000.0);
  EXPECT_NEAR(static_cast<double>(offsets[1]), 600'000.0, 5'000.0);
  EXPECT_GT(v.stats().counters.replays_dropped, dropped + 3);
  g_wall_offset = 0;
  EXPECT_TRUE(eventually([&] {
    auto a = v.member("w");
    auto b = w.member("v");
    return a && b && a->state == MemberState::Alive && b->state == MemberState::Alive;
  }));
  run(v.close());
  run(w.close());
}

TEST(Loopback, AMembersClockSteppedBackADayKeepsItsLife) {
  // Plain text. Node "w" reads a wall clock that the test steps 25 hours back, as a wrong time
  // source or a hand-set clock would: the others' clocks now run a day ahead of its own, and
  // its life lies a day past its clock. It must keep the life the cluster holds. It judged the
  // others' clocks by stamps measured before the step, gave its life up at its next turn and
  // took one at its wrong clock: every peer showed it leave, and hold it gone half a minute.
  Capture& cap = capture();
  const char* said = "peer clock differs from ours by more than the window allows";
  struct PutRight {
    ~PutRight() { g_wall_offset = 0; }
  } put_right;
  for (size_t n : {3, 8}) {
    SCOPED_TRACE(n);
    Membership w = start_stepped("w", fast_settings("w"));
    std::vector<Membership> peers;
    std::vector<events::Events> subs;
    for (size_t i = 1; i < n; ++i) {
      Settings s = fast_settings("p" + std::to_string(i));
      s.seed_addrs = {w.local_addr()};
      peers.push_back(start(std::move(s)));
      subs.push_back(peers.back().events());
    }
    ASSERT_TRUE(eventually([&] {
      for (auto& p : peers)
        if (p.members().size() != n) return false;
      return w.members().size() == n;
    }));
    for (auto& sub : subs) drain(sub);
    const uint64_t epoch = w.local().epoch;
    const size_t mark = cap.mark();
    const uint64_t exchanged = w.stats().counters.push_pulls;
    g_wall_offset = -25LL * 3600 * 1000;
    // Once it has heard its peers since the step (it says their clocks run a day ahead of its
    // own; the reports are rationed to 5 at once) and exchanged states twice since.
    ASSERT_TRUE(eventually([&] {
      size_t ahead = 0;
      for (const auto& l : cap.since(mark)) ahead += l.text.starts_with(said) && offset_in(l.text) > 0;
      return ahead >= std::min<size_t>(n - 1, 5) && w.stats().counters.push_pulls >= exchanged + 2;
    }, 30s));
    EXPECT_EQ(w.local().epoch, epoch);
    for (size_t k = 0; k < peers.size(); ++k) {
      auto m = peers[k].member("w");
      ASSERT_TRUE(m.has_value());
      EXPECT_EQ(m->epoch, epoch);
      EXPECT_EQ(m->state, MemberState::Alive);
      for (const std::string& e : drain(subs[k])) EXPECT_FALSE(e.ends_with(" w")) << e;
    }
    g_wall_offset = 0;
    for (auto& p : peers) run(p.close());
    run(w.close());
  }
}
