// Seed texts and their resolution.
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <map>
#include <mutex>

#include "helpers.hpp"
#include "net/seed.hpp"

using namespace vennock;
using namespace vennock::net;
using namespace vennock::net::seed;
using namespace vennock::net::testing;

namespace {
std::string shown(std::string_view text) {
  auto s = Seed::from_str(text);
  return s ? "ok " + s->to_string() : "refused " + s.error();
}
bool is_host(std::string_view text) {
  auto s = Seed::from_str(text);
  return s && !s->is_addr();
}
}  // namespace

TEST(Seed, Grammar) {
  EXPECT_EQ(shown("  10.0.0.1:7946 \t"), "ok 10.0.0.1:7946");
  EXPECT_FALSE(is_host("10.0.0.1:7946"));
  EXPECT_EQ(shown("[::1]:7946"), "ok [::1]:7946");
  EXPECT_EQ(shown("[fe80::1%3]:7946"), "ok [fe80::1%3]:7946");
  EXPECT_EQ(shown("::1:7946"), "refused ::1:7946");
  EXPECT_EQ(shown("node-a.:7946"), "ok node-a:7946");
  EXPECT_TRUE(is_host("node-a.:7946"));
  for (const char* bad : {"node-a..:7946", ".node-a:7946", "a..b:7946", "node-a:-1", "node-a:+", "node-a:",
                          "node-a:65536", "node-a:7946x", "node-a", "-a:1", "a-:1", ":80", "h\xc3\xa9:1"}) {
    EXPECT_TRUE(shown(bad).starts_with("refused")) << bad;
  }
  EXPECT_EQ(shown("node-a:+7946"), "ok node-a:7946");
  EXPECT_EQ(shown("node-a:0"), "ok node-a:0");
  EXPECT_EQ(shown("node-a:007946"), "ok node-a:7946");
  EXPECT_EQ(shown("_a_:1"), "ok _a_:1");
  EXPECT_EQ(shown("NODE-A:1"), "ok NODE-A:1");
  // IPv4 text that the address form refuses becomes a host seed.
  EXPECT_TRUE(is_host("1.2.3.4:+80"));
  EXPECT_TRUE(is_host("01.2.3.4:80"));
  // Lengths: labels up to 63, hosts up to 253 bytes (a dropped trailing dot not counted).
  std::string l63(63, 'a'), l64(64, 'a');
  EXPECT_TRUE(is_host(l63 + ":1"));
  EXPECT_FALSE(is_host(l64 + ":1"));
  std::string h253 = l63 + "." + l63 + "." + l63 + "." + std::string(61, 'b');
  ASSERT_EQ(h253.size(), 253u);
  EXPECT_TRUE(is_host(h253 + ":1"));
  EXPECT_TRUE(is_host(h253 + ".:1"));
  EXPECT_FALSE(is_host(h253 + "b:1"));
  EXPECT_EQ(shown("  bad seed  "), "refused bad seed");
}

namespace {
SocketAddr v4(uint8_t d, uint16_t port) {
  SocketAddr a;
  a.ip = {10, 0, 0, d};
  a.port = port;
  return a;
}
// Answers lookups from a table. Its state lives as long as the resolver function does:
// an abandoned lookup may still be running on a pool thread after the test has moved on.
struct FakeResolver {
  struct State {
    std::map<std::string, std::pair<std::vector<SocketAddr>, std::string>> answers;
    std::string held;  // a host whose lookups answer only once let go
    std::atomic<int> calls{0}, answered{0};
    std::mutex m;
    std::condition_variable cv;
    bool go = false;
    std::map<std::string, int> answered_by_host;  // under m
  };
  std::shared_ptr<State> st = std::make_shared<State>();
  std::map<std::string, std::pair<std::vector<SocketAddr>, std::string>>& answers = st->answers;
  std::string& held = st->held;
  std::atomic<int>& calls = st->calls;
  std::atomic<int>& answered = st->answered;
  void install() {
    set_system_lookup([st = st](const std::string& h, uint16_t) {
      ++st->calls;
      if (h == st->held) {
        std::unique_lock<std::mutex> g(st->m);
        st->cv.wait(g, [&] { return st->go; });
      }
      auto it = st->answers.find(h);
      auto out = it == st->answers.end() ? std::make_pair(std::vector<SocketAddr>{}, std::string("no such host"))
                                         : it->second;
      {
        std::lock_guard<std::mutex> g(st->m);
        ++st->answered_by_host[h];
      }
      ++st->answered;
      return out;
    });
  }
  int answered_for(const std::string& h) {
    std::lock_guard<std::mutex> g(st->m);
    return st->answered_by_host[h];
  }
  void let_go() {
    {
      std::lock_guard<std::mutex> g(st->m);
      st->go = true;
    }
    st->cv.notify_all();
  }
  ~FakeResolver() {
    let_go();
    set_system_lookup(nullptr);
  }
};
Resolved resolve_now(std::vector<Seed> seeds, std::chrono::milliseconds limit, bool rejoin) {
  return run(resolve(runtime(), std::move(seeds), limit, rejoin));
}
}  // namespace

TEST(Resolve, HostsKeepInputOrderAndFailuresAreCountedAndLogged) {
  Capture& cap = capture();
  FakeResolver fake;
  fake.answers["a"] = {{v4(1, 7), v4(2, 7)}, ""};
  fake.answers["b"] = {{v4(2, 7), v4(3, 7)}, ""};
  fake.answers["empty"] = {{}, ""};
  fake.install();
  size_t m = cap.mark();
  auto r = resolve_now({Seed::host("a", 7), Seed::addr(v4(3, 7)), Seed::host("b", 7), Seed::host("missing", 7),
                        Seed::host("empty", 7)},
                       1000ms, false);
  EXPECT_EQ(r.addrs, (std::vector<SocketAddr>{v4(1, 7), v4(2, 7), v4(3, 7)}));
  EXPECT_EQ(r.failures, 2u);
  EXPECT_EQ(cap.count(m, "seed did not resolve seed=missing:7 error=no such host", log::Level::Warn), 1u);
  EXPECT_EQ(cap.count(m, "seed did not resolve seed=empty:7 error=no address", log::Level::Warn), 1u);
  EXPECT_EQ(cap.count(m, "resolved seeds addrs=[10.0.0.1:7, 10.0.0.2:7, 10.0.0.3:7]", log::Level::Debug), 1u);
  // A rejoin logs the same failures at DEBUG.
  m = cap.mark();
  r = resolve_now({Seed::host("missing", 7)}, 1000ms, true);
  EXPECT_EQ(r.failures, 1u);
  EXPECT_EQ(cap.count(m, "seed did not resolve; trying again at the next rejoin seed=missing:7", log::Level::Debug), 1u);
  EXPECT_EQ(cap.count(m, "seed did not resolve seed", log::Level::Warn), 0u);
  // IPv4 text in a host seed is answered without the resolver.
  int before = fake.calls.load();
  r = resolve_now({*Seed::from_str("10.0.0.9:+80")}, 1000ms, false);
  EXPECT_EQ(r.addrs, (std::vector<SocketAddr>{v4(9, 80)}));
  EXPECT_EQ(fake.calls.load(), before);
  // Literals alone: in order, without duplicates, and nothing logged.
  m = cap.mark();
  r = resolve_now({Seed::addr(v4(2, 1)), Seed::addr(v4(1, 1)), Seed::addr(v4(2, 1))}, 1000ms, false);
  EXPECT_EQ(r.addrs, (std::vector<SocketAddr>{v4(2, 1), v4(1, 1)}));
  EXPECT_EQ(r.failures, 0u);
  EXPECT_TRUE(resolve_now({}, 1000ms, false).addrs.empty());
  EXPECT_TRUE(cap.since(m).empty());
}

TEST(Resolve, SlowLookupsAreBoundedAndTheirLateAnswersDropped) {
  Capture& cap = capture();
  FakeResolver fake;
  fake.answers["slow"] = {{v4(5, 1)}, ""};
  fake.answers["fast"] = {{v4(6, 1)}, ""};
  fake.held = "slow";  // answers only once let go
  fake.install();
  size_t m = cap.mark();
  auto r = resolve_now({Seed::host("slow", 1)}, 50ms, false);
  EXPECT_TRUE(r.addrs.empty());
  EXPECT_EQ(r.failures, 1u);
  EXPECT_EQ(fake.answered.load(), 0);  // did not wait for the resolver
  EXPECT_EQ(cap.count(m, "seed did not resolve seed=slow:1 error=lookup timed out"), 1u);
  // Abandoning the whole call (its task aborted) aborts the lookups; nothing is logged for them.
  m = cap.mark();
  auto j = runtime().spawn(resolve(runtime(), {Seed::host("slow", 1), Seed::host("fast", 1)}, 5000ms, false));
  ASSERT_TRUE(eventually([&] { return fake.answered_for("fast") == 1; }));  // under way: one answered, one not
  j.abort();
  EXPECT_EQ(j.wait().how, Ended::Aborted);
  fake.let_go();  // the resolver threads finish and find nobody
  ASSERT_TRUE(eventually([&] { return fake.answered.load() == fake.calls.load(); }));
  EXPECT_EQ(cap.count(m, "seed did not resolve"), 0u);
  EXPECT_EQ(cap.count(m, "resolved seeds"), 0u);
}

TEST(Resolve, AQueuedLookupThatTimedOutNeverAsksTheResolver) {
  // A runtime of its own, whose lookups (kAtOnce in the resolver at most) are all taken by
  // lookups that hang until released.
  struct Held {
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    int stuck = 0;
    std::atomic<int> late{0};
  };
  auto held = std::make_shared<Held>();  // the lookup threads outlive the runtime
  auto rt = Runtime::create(1).value();
  set_system_lookup([held](const std::string& h, uint16_t) {
    if (h == "late") {
      ++held->late;
      return std::make_pair(std::vector<SocketAddr>{}, std::string("no such host"));
    }
    std::unique_lock<std::mutex> g(held->m);
    ++held->stuck;
    held->cv.notify_all();
    held->cv.wait(g, [&] { return held->release; });
    return std::make_pair(std::vector<SocketAddr>{v4(1, 1)}, std::string());
  });
  auto let_go = [held] {
    {
      std::lock_guard<std::mutex> g(held->m);
      held->release = true;
    }
    held->cv.notify_all();
  };
  struct Always {
    std::function<void()> f;
    ~Always() {
      f();
      set_system_lookup(nullptr);
    }
  } on_exit{let_go};  // also when an assertion ends the test early
  const int n = static_cast<int>(Lookups::kAtOnce);
  std::vector<Seed> hung;
  for (int i = 0; i < n; ++i) hung.push_back(Seed::host("hung-" + std::to_string(i), 1));
  auto all = rt->spawn(resolve(*rt, hung, 10s, false));
  {
    std::unique_lock<std::mutex> g(held->m);
    ASSERT_TRUE(held->cv.wait_for(g, 10s, [&] { return held->stuck == n; }));
  }
  // This lookup waits for its turn past its limit: the turn goes with it.
  auto r = rt->block_on(resolve(*rt, {Seed::host("late", 1)}, 50ms, true));
  EXPECT_EQ(r.value().failures, 1u);
  EXPECT_EQ(rt->lookups().queued(), 0u);
  let_go();
  EXPECT_EQ(all.wait().value->addrs, (std::vector<SocketAddr>{v4(1, 1)}));
  ASSERT_TRUE(eventually([&] { return rt->lookups().running() == 0; }));
  EXPECT_EQ(held->late.load(), 0);
}
