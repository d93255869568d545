// The owner of name lookups: a bounded number in the resolver, turns in order, turns given up,
// lookups abandoned, and nothing waited for at a stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>

#include "helpers.hpp"
#include "net/lookups.hpp"
#include "net/seed.hpp"

using namespace vennock;
using namespace vennock::net;
using namespace vennock::net::testing;

namespace {

// A resolver whose lookups wait in it until their name is let go, and that says which names
// came in, in order. Its state outlives every lookup thread (they hold it).
struct Gated {
  struct State {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> asked;
    std::map<std::string, bool> free;
    int answered = 0;
  };
  std::shared_ptr<State> st = std::make_shared<State>();

  SystemLookup resolver() const {
    return [st = st](const std::string& h, uint16_t) {
      std::unique_lock<std::mutex> g(st->m);
      st->asked.push_back(h);
      st->cv.notify_all();
      st->cv.wait(g, [&] { return st->free[h]; });
      ++st->answered;
      st->cv.notify_all();
      return std::make_pair(std::vector<SocketAddr>{SocketAddr::v4({10, 0, 0, 1}, 1)}, std::string());
    };
  }
  void let_go(const std::string& h) {
    std::lock_guard<std::mutex> g(st->m);
    st->free[h] = true;
    st->cv.notify_all();
  }
  // Waits (bounded) until `n` names came in, and gives them.
  std::vector<std::string> asked(size_t n) {
    std::unique_lock<std::mutex> g(st->m);
    st->cv.wait_for(g, 10s, [&] { return st->asked.size() >= n; });
    return st->asked;
  }
  bool answered(int n) {
    std::unique_lock<std::mutex> g(st->m);
    return st->cv.wait_for(g, 10s, [&] { return st->answered >= n; });
  }
  ~Gated() {
    std::lock_guard<std::mutex> g(st->m);
    for (const char* h : {"a", "b", "c", "d"}) st->free[h] = true;
    st->cv.notify_all();
  }
};

std::optional<Resolution> answer_of(Lookups::Ticket& t) {
  std::optional<Resolution> r;
  eventually([&] { return (r = t.take(Waker())).has_value(); });
  return r;
}

}  // namespace

TEST(Lookups, ABoundedNumberRunAtOnceAndTheRestTakeTheirTurnsInOrder) {
  Gated gated;
  Lookups lookups(2, gated.resolver());
  auto a = lookups.ask("a", 1), b = lookups.ask("b", 1), c = lookups.ask("c", 1), d = lookups.ask("d", 1);
  auto first = gated.asked(2);
  std::sort(first.begin(), first.end());
  EXPECT_EQ(first, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(lookups.running(), 2u);
  EXPECT_EQ(lookups.queued(), 2u);
  EXPECT_FALSE(c.take(Waker()));
  // A turn that comes free goes to the oldest waiting.
  gated.let_go("b");
  EXPECT_EQ(gated.asked(3).back(), "c");
  auto got = answer_of(b);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->addrs, (std::vector<SocketAddr>{SocketAddr::v4({10, 0, 0, 1}, 1)}));
  EXPECT_EQ(lookups.running(), 2u);
  EXPECT_EQ(lookups.queued(), 1u);
  for (const char* h : {"a", "c", "d"}) gated.let_go(h);
  EXPECT_TRUE(answer_of(a) && answer_of(c) && answer_of(d));
  EXPECT_TRUE(eventually([&] { return lookups.running() == 0; }));  // threads end with the queue
}

TEST(Lookups, AGivenUpTurnIsDroppedAndAnAbandonedLookupAnswersToNobody) {
  Gated gated;
  Lookups lookups(1, gated.resolver());
  auto a = std::make_optional(lookups.ask("a", 1));
  auto b = std::make_optional(lookups.ask("b", 1));
  ASSERT_EQ(gated.asked(1), (std::vector<std::string>{"a"}));
  b.reset();  // its turn goes: it will never reach the resolver
  EXPECT_EQ(lookups.queued(), 0u);
  a.reset();  // in the resolver: abandoned, and its turn held until the resolver returns
  auto c = lookups.ask("c", 1);
  EXPECT_EQ(lookups.running(), 1u);
  EXPECT_EQ(lookups.queued(), 1u);
  gated.let_go("a");
  gated.let_go("c");
  EXPECT_TRUE(answer_of(c));
  EXPECT_EQ(gated.asked(2), (std::vector<std::string>{"a", "c"}));
  EXPECT_TRUE(eventually([&] { return lookups.running() == 0; }));
}

TEST(Lookups, AStopWaitsForNoLookupAndLaterAnswersWakeNobody) {
  Gated gated;
  auto lookups = std::make_unique<Lookups>(1, gated.resolver());
  auto a = lookups->ask("a", 1), b = lookups->ask("b", 1);
  gated.asked(1);
  lookups->stop();  // with "a" in the resolver
  for (auto* t : {&a, &b}) {
    auto r = t->take(Waker());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->failure, "the runtime has been stopped");
  }
  auto later = lookups->ask("d", 1);
  ASSERT_TRUE(later.take(Waker()));
  lookups.reset();  // the owner goes; its thread still in the resolver keeps what it needs
  gated.let_go("a");
  EXPECT_TRUE(gated.answered(1));
  EXPECT_EQ(gated.asked(1), (std::vector<std::string>{"a"}));  // "b" was dropped with the queue
}

TEST(Lookups, ARuntimeStopsAndGoesWhileALookupNobodyWantsHangs) {
  // Through the process's seam, as a node's lookups go: a join given up (a node closed) leaves
  // its lookup in the resolver, and a stop (and the runtime's end) waits for none of it.
  Gated gated;
  set_system_lookup(gated.resolver());
  struct Restore {
    ~Restore() { set_system_lookup(nullptr); }
  } restore;
  auto rt = Runtime::create(1).value();
  {
    auto joining = rt->spawn(seed::resolve(*rt, {seed::Seed::host("a", 1)}, 3600s, false));
    gated.asked(1);
    joining.abort();
    EXPECT_EQ(joining.wait().how, Ended::Aborted);
  }  // (a handle must not outlive its runtime)
  auto stopped = std::async(std::launch::async, [&] { rt.reset(); });
  ASSERT_EQ(stopped.wait_for(20s), std::future_status::ready) << "the stop waited for a lookup";
  gated.let_go("a");
  EXPECT_TRUE(gated.answered(1));  // into a record nobody reads
}
