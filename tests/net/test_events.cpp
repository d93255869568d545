// The event hub: bounds, lost counts, closing, subscriptions that come and go; and the other
// state the actor publishes for readers.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "helpers.hpp"
#include "net/events.hpp"
#include "net/shared.hpp"

using namespace vennock;
using namespace vennock::net;
using namespace vennock::net::events;
using namespace vennock::net::testing;

namespace {
Event joined(const std::string& name) {
  core::Member m;
  m.name = name;
  return Event{event::MemberJoined{m}};
}
// Publishes one batch of a joined member of each name.
void publish(Hub& hub, std::initializer_list<std::string> names) {
  std::vector<Event> batch;
  for (const auto& n : names) batch.push_back(joined(n));
  hub.publish(batch);
}
std::string name_of(const Received& r) {
  if (r.kind != Received::Kind::Item) return "<none>";
  if (auto* j = std::get_if<event::MemberJoined>(&*r.event)) return j->member.name;
  if (auto* l = std::get_if<event::EventsLost>(&*r.event)) return "lost:" + std::to_string(l->count);
  return "?";
}
}  // namespace

TEST(Hub, FullQueuesDropTheOldestAndReportTheCountFirst) {
  Hub hub(1);
  Events s = hub.subscribe();
  publish(hub, {"a", "b", "c"});
  EXPECT_EQ(name_of(s.next()), "lost:2");
  EXPECT_EQ(name_of(s.next()), "c");
  EXPECT_EQ(s.next().kind, Received::Kind::Empty);

  Hub two(2);
  Events t = two.subscribe();
  for (const char* n : {"1", "2", "3", "4", "5"}) publish(two, {n});
  EXPECT_EQ(name_of(t.next()), "lost:3");
  EXPECT_EQ(name_of(t.next()), "4");
  // The count starts again from 0 after a report.
  publish(two, {"6"});
  publish(two, {"7"});
  EXPECT_EQ(name_of(t.next()), "lost:1");
  EXPECT_EQ(name_of(t.next()), "6");
  EXPECT_EQ(name_of(t.next()), "7");
}

TEST(Hub, SubscriptionsSeeOnlyLaterBatchesAndGoWhenDropped) {
  Hub hub(8);
  Events first = hub.subscribe();
  publish(hub, {"a"});
  Events second = hub.subscribe();
  {
    Events gone = hub.subscribe();
    EXPECT_EQ(hub.subscribers(), 3u);
  }
  publish(hub, {"b"});
  EXPECT_EQ(hub.subscribers(), 2u);
  EXPECT_EQ(name_of(first.next()), "a");
  EXPECT_EQ(name_of(first.next()), "b");
  EXPECT_EQ(name_of(second.next()), "b");
  EXPECT_EQ(second.next().kind, Received::Kind::Empty);
  // An empty batch changes nothing.
  hub.publish({});
  EXPECT_EQ(first.next().kind, Received::Kind::Empty);
}

TEST(Hub, CloseKeepsQueuedEventsThenEndsAndCarriesTheFailure) {
  Hub hub(4);
  Events s = hub.subscribe();
  publish(hub, {"a", "b", "c", "d", "e"});
  hub.close(false);
  EXPECT_EQ(name_of(s.next()), "lost:1");
  EXPECT_EQ(name_of(s.next()), "b");
  EXPECT_EQ(name_of(s.next()), "c");
  EXPECT_EQ(name_of(s.next()), "d");
  EXPECT_EQ(name_of(s.next()), "e");
  EXPECT_EQ(s.next().kind, Received::Kind::Closed);
  EXPECT_EQ(s.next().kind, Received::Kind::Closed);
  EXPECT_FALSE(s.failed());
  Events late = hub.subscribe();
  EXPECT_EQ(late.next().kind, Received::Kind::Closed);
  EXPECT_FALSE(late.failed());

  Hub broken(4);
  Events t = broken.subscribe();
  broken.close(true);
  EXPECT_EQ(t.next().kind, Received::Kind::Closed);
  EXPECT_TRUE(t.failed());
  EXPECT_TRUE(broken.subscribe().failed());
}

namespace {
Task<std::vector<std::string>> read_all(Events s) {
  std::vector<std::string> got;
  for (;;) {
    auto e = co_await s.recv();
    if (!e) break;
    got.push_back(std::get<event::MemberJoined>(*e).member.name);
  }
  co_return got;
}
}  // namespace

TEST(Hub, WaitingReadersWakeForPublishesAndForTheClose) {
  Hub hub(1024);
  std::vector<JoinHandle<std::vector<std::string>>> readers;
  std::vector<Strand> strands;
  for (int i = 0; i < 3; ++i) {
    strands.push_back(runtime().strand());
    readers.push_back(spawn(strands.back(), read_all(hub.subscribe())));
  }
  auto all_waiting = [&] {
    for (auto& s : strands) settle(s);
  };
  all_waiting();
  for (int i = 0; i < 200; ++i) {
    publish(hub, {std::to_string(i)});
    if (i % 50 == 0) all_waiting();  // woken, read all there was, and waiting again
  }
  hub.close(false);
  for (auto& r : readers) {
    auto got = r.wait();
    ASSERT_TRUE(got.completed());
    ASSERT_EQ(got.value->size(), 200u);
    for (size_t i = 0; i < 200; ++i) EXPECT_EQ((*got.value)[i], std::to_string(i));
  }
}

namespace {
Task<std::string> read_until(Events s, std::optional<Instant> deadline) {
  auto r = co_await s.recv_until(deadline);
  if (r.kind == Received::Kind::Closed) co_return "<closed>";
  if (r.kind == Received::Kind::Empty) co_return "<timed out>";
  co_return name_of(r);
}
}  // namespace

TEST(Hub, ATimedReadLooksAtTheQueueBeforeItsDeadline) {
  Hub hub(8);
  Events s = hub.subscribe();
  publish(hub, {"a"});
  // Queued: given even though the deadline has passed.
  EXPECT_EQ(runtime().block_on(read_until(s, now() - 1s)).value(), "a");
  EXPECT_EQ(runtime().block_on(read_until(s, now() + 20ms)).value(), "<timed out>");
  // A publish during the wait wakes it.
  auto strand = runtime().strand();
  auto waiting = spawn(strand, read_until(s, now() + 10s));
  settle(strand);
  publish(hub, {"b"});
  EXPECT_EQ(*waiting.wait().value, "b");
  hub.close(false);
  EXPECT_EQ(runtime().block_on(read_until(s, std::nullopt)).value(), "<closed>");
}

TEST(Hub, AnEventPutBackIsReadBeforeTheReportOfLaterLossesAndWakesAWaitingReader) {
  Hub hub(2);
  Events s = hub.subscribe();
  publish(hub, {"a", "b"});
  Received taken = s.next();
  publish(hub, {"c", "d"});  // b dropped for d
  s.put_back(std::move(*taken.event));
  // a is older than b, which was lost after it was taken: a reader that rebuilds its view on
  // the report must not apply a afterwards.
  EXPECT_EQ(name_of(s.next()), "a");
  EXPECT_EQ(name_of(s.next()), "lost:1");
  // A lost count given back is reported again, after an event taken before it and given back.
  Received c = s.next();
  ASSERT_EQ(name_of(c), "c");
  publish(hub, {"e"});
  publish(hub, {"e"});  // c's place taken: d dropped
  Received l = s.next();
  ASSERT_EQ(name_of(l), "lost:1");
  s.put_back(std::move(*l.event));
  s.put_back(std::move(*c.event));
  EXPECT_EQ(name_of(s.next()), "c");
  EXPECT_EQ(name_of(s.next()), "lost:1");
  // One over the bound: the next publish drops the event given back first, and counts it.
  Received e = s.next();
  ASSERT_EQ(name_of(e), "e");
  publish(hub, {"f"});
  s.put_back(std::move(*e.event));
  publish(hub, {"g"});
  EXPECT_EQ(name_of(s.next()), "lost:2");  // the one given back, and the other e
  EXPECT_EQ(name_of(s.next()), "f");
  EXPECT_EQ(name_of(s.next()), "g");
  EXPECT_EQ(s.next().kind, Received::Kind::Empty);

  auto strand = runtime().strand();
  auto waiting = spawn(strand, read_until(s, std::nullopt));
  settle(strand);
  s.put_back(joined("g"));
  EXPECT_EQ(*waiting.wait().value, "g");
}

TEST(Published, ReadersRacingTheActorSeeWholeSnapshotsAndKeyIds) {
  // Nothing of the test's own orders the two threads, so a race in how the values are
  // published shows under the thread sanitizer.
  auto snapshot = [](uint32_t inc) {
    actor::Snapshot s;
    for (int i = 0; i < 3; ++i) {
      core::Member m;
      m.name = "n" + std::to_string(i);
      m.incarnation = inc;
      s.members.push_back(m);
    }
    return std::make_shared<const actor::Snapshot>(std::move(s));
  };
  actor::Shared shared(*snapshot(0), {proto::KeyId{0}}, 4);
  constexpr uint32_t kStores = 20000;
  std::atomic<bool> stop{false};
  std::atomic<size_t> torn{0};
  std::thread reader([&] {
    while (!stop.load(std::memory_order_relaxed)) {
      auto s = shared.snapshot.load();
      for (const auto& m : s->members)
        if (m.incarnation != s->members.front().incarnation) ++torn;
      auto k = shared.key_ids.load();
      for (const auto& id : *k)
        if (id != k->front()) ++torn;
    }
  });
  for (uint32_t i = 1; i <= kStores; ++i) {
    shared.snapshot.store(snapshot(i));
    shared.key_ids.store(std::make_shared<const std::vector<proto::KeyId>>(1 + i % 3, proto::KeyId{i}));
  }
  stop = true;
  reader.join();
  EXPECT_EQ(torn.load(), 0u);
  EXPECT_EQ(shared.snapshot.load()->members.front().incarnation, kStores);
}
