// The runtime's task, channel and notifier primitives.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "helpers.hpp"
#include "net/runtime.hpp"
#include "net/sync.hpp"

using namespace vennock::net;
using vennock::net::testing::Capture;
using vennock::net::testing::capture;
using vennock::net::testing::eventually;
using vennock::net::testing::settle;
using namespace std::chrono_literals;

namespace {

Runtime& rt() {
  static std::unique_ptr<Runtime> r = std::move(Runtime::create(4).value());
  return *r;
}

// Counts live instances, so a test can see that an aborted task released what it held.
struct Held {
  static inline std::atomic<int> live{0};
  Held() { ++live; }
  ~Held() { --live; }
  Held(const Held&) = delete;
};

// Keeps a strand busy until released (or destroyed): its tasks cannot run meanwhile.
class StrandHold {
 public:
  explicit StrandHold(Strand s) {
    asio::post(s, [r = released_] {
      while (!r->load()) std::this_thread::yield();
    });
  }
  ~StrandHold() { release(); }
  void release() { released_->store(true); }

 private:
  std::shared_ptr<std::atomic<bool>> released_ = std::make_shared<std::atomic<bool>>(false);
};

Task<int> add(int a, int b) { co_return a + b; }
Task<int> nested(int depth) {
  if (depth == 0) co_return 1;
  int below = co_await nested(depth - 1);
  co_return below + 1;
}

}  // namespace

namespace {
Task<void> hold_and_wait(std::shared_ptr<Notify> n, std::atomic<bool>* reached, std::atomic<bool>* after) {
  Held h;
  reached->store(true);
  co_await n->notified();
  after->store(true);
}
Task<void> inner_holder(Receiver<int>* rx, std::atomic<bool>* reached) {
  Held h;
  reached->store(true);
  co_await rx->recv();
}
Task<void> outer_holder(Receiver<int>* rx, std::atomic<bool>* reached) {
  Held h;
  co_await inner_holder(rx, reached);
}
Task<void> spin_then_park(std::atomic<bool>* go, std::atomic<bool>* parked_once) {
  Held h;
  // Busy without suspending: an abort arriving now takes effect at the next suspension.
  while (!go->load()) std::this_thread::yield();
  parked_once->store(true);
  co_await park();
  ADD_FAILURE() << "resumed after abort";
}
}  // namespace

TEST(Task, AbortUnwindsEveryFrameAndReleasesWhatItHolds) {
  ASSERT_EQ(Held::live.load(), 0);
  {
    auto n = std::make_shared<Notify>();
    std::atomic<bool> reached{false}, after{false};
    auto j = rt().spawn(hold_and_wait(n, &reached, &after));
    ASSERT_TRUE(eventually([&] { return reached.load(); }));
    EXPECT_EQ(Held::live.load(), 1);
    j.abort();
    auto r = j.wait();
    EXPECT_EQ(r.how, Ended::Aborted);
    EXPECT_FALSE(after.load());
    EXPECT_EQ(Held::live.load(), 0);
  }
  {
    auto [tx, rx] = channel<int>(4);
    std::atomic<bool> reached{false};
    auto j = rt().spawn(outer_holder(&rx, &reached));
    ASSERT_TRUE(eventually([&] { return reached.load(); }));
    EXPECT_EQ(Held::live.load(), 2);
    j.abort();
    EXPECT_EQ(j.wait().how, Ended::Aborted);
    EXPECT_EQ(Held::live.load(), 0);
  }
  {
    std::atomic<bool> go{false}, parked{false};
    auto j = rt().spawn(spin_then_park(&go, &parked));
    ASSERT_TRUE(eventually([&] { return Held::live.load() == 1; }));
    j.abort();  // while it runs
    go.store(true);
    EXPECT_EQ(j.wait().how, Ended::Aborted);
    EXPECT_TRUE(parked.load());
    EXPECT_EQ(Held::live.load(), 0);
  }
  EXPECT_TRUE(eventually([] { return Runtime::live_tasks() == 0; }));
}

TEST(Task, AbortBeforeTheFirstRunNeverRunsIt) {
  std::atomic<bool> reached{false}, after{false};
  auto n = std::make_shared<Notify>();
  auto strand = rt().strand();
  // Keep the strand busy so the task cannot start before the abort.
  StrandHold hold(strand);
  auto j = spawn(strand, hold_and_wait(n, &reached, &after));
  j.abort();
  hold.release();
  EXPECT_EQ(j.wait().how, Ended::Aborted);
  EXPECT_FALSE(reached.load());
}

namespace {
Task<bool> sleeper(std::chrono::milliseconds d) {
  auto start = now();
  co_await sleep_for(d);
  co_return now() - start >= d;
}
Task<int> value_after(std::chrono::milliseconds d, int v) {
  co_await sleep_for(d);
  co_return v;
}
Task<int> park_with_deadline() {
  // Nothing wakes it: the deadline does, and park says so.
  bool timed_out = co_await park(now() + 20ms);
  co_return timed_out ? 1 : 0;
}
}  // namespace

TEST(Task, RunsNestedCoroutinesSleepsAndParksUntilADeadline) {
  EXPECT_EQ(rt().block_on(add(2, 3)).value(), 5);
  EXPECT_EQ(rt().block_on(nested(200)).value(), 201);
  EXPECT_TRUE(rt().block_on(sleeper(30ms)).value());
  EXPECT_EQ(rt().block_on(park_with_deadline()).value(), 1);
}

namespace {
// Parks until its own, distant deadline; 1 if park ever says that deadline passed.
Task<int> park_long() {
  Held h;
  for (;;) {
    bool timed_out = co_await park(now() + 10s);
    if (timed_out) co_return 1;
  }
}
Task<int> bounded(std::optional<Instant> deadline, Task<int> t) {
  auto r = co_await with_deadline(deadline, std::move(t));
  co_return r.value_or(-1);
}
// An outer deadline around an inner one: the inner expiring lets the outer part go on (to 5).
Task<std::pair<int, int>> nested_deadlines(std::chrono::milliseconds inner_limit, std::chrono::milliseconds outer_limit) {
  int inner = -2;
  auto body = [&]() -> Task<int> {
    inner = co_await bounded(now() + inner_limit, park_long());
    co_return 5;
  };
  auto run_body = body();
  auto outer = co_await with_deadline(now() + outer_limit, std::move(run_body));
  co_return std::make_pair(inner, outer.value_or(-1));
}
Task<int> wait_value(OneReceiver<int>* rx) {
  auto v = co_await rx->recv();
  co_return v.value_or(-3);
}
}  // namespace

TEST(Deadline, DropsTheTaskWhenItParksPastItAndKeepsWhatItGivesInTime) {
  // Finished in time: its value. No deadline: runs to its end.
  EXPECT_EQ(rt().block_on(bounded(now() + 5s, add(2, 3))).value(), 5);
  EXPECT_EQ(rt().block_on(bounded(std::nullopt, nested(3))).value(), 4);
  // Already past but done without parking: the task is advanced before the deadline counts.
  EXPECT_EQ(rt().block_on(bounded(now() - 1s, add(1, 1))).value(), 2);
  // Parked past it: dropped with what it held, and its own park never said "timed out".
  EXPECT_EQ(rt().block_on(bounded(now() + 20ms, park_long())).value(), -1);
  EXPECT_EQ(Held::live.load(), 0);
  // Nested: the inner expiry ends only the inner part, and the outer part goes on.
  EXPECT_EQ(rt().block_on(nested_deadlines(10ms, 60s)).value(), std::make_pair(-1, 5));
  // The outer deadline first: the inner scope goes with it.
  EXPECT_EQ(rt().block_on(nested_deadlines(5s, 20ms)).value(), std::make_pair(-2, -1));
  EXPECT_EQ(Held::live.load(), 0);
}

TEST(Deadline, AValueThatIsReadyWhenTheTaskRunsAfterTheDeadlineIsStillGiven) {
  auto strand = rt().strand();
  // The task must park before its deadline; on a machine too busy for that, again with more time.
  for (auto limit = 20ms;; limit *= 2) {
    auto [tx, rx] = oneshot<int>();
    const Instant deadline = now() + limit;
    auto j = spawn(strand, bounded(deadline, wait_value(&rx)));
    settle(strand);  // parked on the receiver
    if (now() >= deadline) {
      tx.send(0);
      j.wait();
      ASSERT_LT(limit, 10s);
      continue;
    }
    // Hold its strand past the deadline; the value arrives meanwhile.
    StrandHold hold(strand);
    std::this_thread::sleep_until(deadline + 1ms);
    tx.send(7);
    hold.release();
    EXPECT_EQ(*j.wait().value, 7);
    return;
  }
}

TEST(Deadline, TheLimitCountsFromTheFirstRunAndAbortingTheOuterTaskDropsTheInner) {
  // The inner tasks park once: a limit already spent (or one that overflowed into the past)
  // would end them there.
  auto late = with_timeout(1s, value_after(1ms, 8));
  std::this_thread::sleep_for(1100ms);  // made long ago, but not yet run
  EXPECT_EQ(rt().block_on(std::move(late)).value(), 8);
  // A limit too long for the clock is no limit.
  EXPECT_EQ(rt().block_on(with_timeout(std::chrono::nanoseconds::max(), value_after(1ms, 3))).value(), 3);

  auto j = rt().spawn(with_timeout(10s, park_long()));
  ASSERT_TRUE(eventually([] { return Held::live.load() == 1; }));
  j.abort();
  EXPECT_EQ(j.wait().how, Ended::Aborted);
  EXPECT_EQ(Held::live.load(), 0);
}

namespace {
Task<int> step_then_park(std::atomic<int>* steps) {
  ++*steps;
  co_return co_await park_long();
}
Task<int> cancellable(CancelToken token, Task<int> t) {
  auto r = co_await with_cancel(token, std::move(t));
  co_return r.value_or(-1);
}
}  // namespace

TEST(Deadline, ACancelTokenEndsThePartItBoundsAfterOneMoreStep) {
  // Cancelled before it started: it still runs to its first park, then ends.
  CancelToken early;
  early.cancel();
  std::atomic<int> steps{0};
  EXPECT_EQ(rt().block_on(cancellable(early, step_then_park(&steps))).value(), -1);
  EXPECT_EQ(steps.load(), 1);
  // Cancelled from another thread while it waits: woken and ended, what it held released.
  CancelToken later;
  auto j = rt().spawn(cancellable(later, park_long()));
  ASSERT_TRUE(eventually([] { return Held::live.load() == 1; }));
  later.cancel();
  EXPECT_EQ(*j.wait().value, -1);
  EXPECT_EQ(Held::live.load(), 0);
  // Never cancelled: its value.
  EXPECT_EQ(rt().block_on(cancellable(CancelToken(), add(3, 4))).value(), 7);
}

namespace {
TaskLocal<std::string> tag;

Task<std::string> read_tag_after(std::chrono::milliseconds d) {
  co_await sleep_for(d);  // resumed later, perhaps on another thread
  co_return tag.get().value_or("<none>");
}
Task<std::vector<std::string>> tag_reads() {
  std::vector<std::string> seen;
  seen.push_back(tag.get().value_or("<none>"));
  seen.push_back(co_await tag.scope("outer", read_tag_after(1ms)));
  auto nested = [&]() -> Task<void> {
    seen.push_back(co_await tag.scope("inner", read_tag_after(1ms)));
    seen.push_back(tag.get().value_or("<none>"));
    // A task spawned from inside does not inherit it.
    auto child = rt().spawn(read_tag_after(1ms));
    auto c = co_await child.join();
    seen.push_back(*c.value);
  };
  auto n = nested();
  co_await tag.scope("outer", std::move(n));
  seen.push_back(tag.get().value_or("<none>"));
  co_return seen;
}
}  // namespace

TEST(TaskLocal, BelongsToTheTaskAndItsScopeNotToTheThread) {
  EXPECT_EQ(rt().block_on(tag_reads()).value(),
            (std::vector<std::string>{"<none>", "outer", "inner", "outer", "<none>", "<none>"}));
  EXPECT_FALSE(tag.get().has_value());  // outside any task
  // Two tasks sharing one strand (so one thread at a time) each read their own value.
  auto strand = rt().strand();
  std::vector<JoinHandle<std::string>> tasks;
  for (int i = 0; i < 8; ++i) tasks.push_back(spawn(strand, tag.scope(std::to_string(i), read_tag_after(5ms))));
  for (int i = 0; i < 8; ++i) EXPECT_EQ(*tasks[static_cast<size_t>(i)].wait().value, std::to_string(i));
}

namespace {
Task<std::vector<int>> drain(Receiver<int> rx) {
  std::vector<int> got;
  for (;;) {
    auto v = co_await rx.recv();
    if (!v) break;
    got.push_back(*v);
  }
  co_return got;
}
Task<void> produce(Sender<int> tx, int from, int n) {
  for (int i = 0; i < n; ++i) co_await tx.send(from + i);
}
}  // namespace

TEST(Channel, BoundedSendersWaitForRoomAndNothingIsLost) {
  auto [tx, rx] = channel<int>(2);
  auto consumer = rt().spawn(drain(std::move(rx)));
  std::vector<JoinHandle<void>> producers;
  for (int p = 0; p < 4; ++p) producers.push_back(rt().spawn(produce(tx, p * 1000, 500)));
  tx = Sender<int>();  // only the producers' copies remain
  for (auto& p : producers) EXPECT_EQ(p.wait().how, Ended::Completed);
  auto got = consumer.wait();
  ASSERT_TRUE(got.completed());
  ASSERT_EQ(got.value->size(), 2000u);
  // Each producer's values arrive in its own order.
  std::vector<int> last(4, -1);
  for (int v : *got.value) {
    int p = v / 1000;
    EXPECT_GT(v % 1000, last[p]);
    last[p] = v % 1000;
  }
}

TEST(Channel, TrySendReportsFullAndClosed) {
  auto [tx, rx] = channel<int>(1);
  EXPECT_EQ(tx.try_send(1), TrySend::Sent);
  std::optional<int> back;
  EXPECT_EQ(tx.try_send(2, &back), TrySend::Full);
  EXPECT_EQ(back, 2);
  EXPECT_EQ(rx.try_recv(), 1);
  EXPECT_FALSE(rx.try_recv().has_value());
  EXPECT_FALSE(tx.is_closed());
  rx.close();
  EXPECT_TRUE(tx.is_closed());
  EXPECT_EQ(tx.try_send(3), TrySend::Closed);
}

namespace {
Task<bool> send_one(Sender<std::shared_ptr<Held>> tx) { co_return co_await tx.send(std::make_shared<Held>()); }
}  // namespace

TEST(Channel, ClosingTheReceiverDropsQueuedValuesAndReleasesWaitingSenders) {
  auto [tx, rx] = channel<std::shared_ptr<Held>>(1);
  ASSERT_EQ(tx.try_send(std::make_shared<Held>()), TrySend::Sent);
  auto strand = rt().strand();
  auto waiting = spawn(strand, send_one(tx));  // finds the channel full and waits
  settle(strand);
  EXPECT_FALSE(waiting.is_finished());
  EXPECT_EQ(Held::live.load(), 2);
  rx.close();
  auto r = waiting.wait();
  ASSERT_TRUE(r.completed());
  EXPECT_FALSE(*r.value);
  EXPECT_EQ(Held::live.load(), 0);
}

TEST(Channel, ReceiverSeesTheEndWhenTheLastSenderGoes) {
  auto [tx, rx] = unbounded_channel<int>();
  for (int i = 0; i < 10000; ++i) ASSERT_EQ(tx.try_send(i), TrySend::Sent);
  auto tx2 = tx;
  tx = Sender<int>();
  auto strand = rt().strand();
  auto consumer = spawn(strand, drain(std::move(rx)));
  settle(strand);                        // it has taken every value and waits for more
  EXPECT_FALSE(consumer.is_finished());  // a copy is still alive
  tx2 = Sender<int>();
  auto got = consumer.wait();
  ASSERT_EQ(got.value->size(), 10000u);
  for (int i = 0; i < 10000; ++i) ASSERT_EQ((*got.value)[static_cast<size_t>(i)], i);
}

namespace {
Task<std::optional<int>> take_one(OneReceiver<int> rx) { co_return co_await rx.recv(); }
}  // namespace

TEST(OneShot, DeliversOnceOrReportsTheSenderGone) {
  {
    auto [tx, rx] = oneshot<int>();
    auto strand = rt().strand();
    auto j = spawn(strand, take_one(std::move(rx)));
    settle(strand);  // waiting for it
    EXPECT_TRUE(tx.send(7));
    EXPECT_EQ(j.wait().value->value_or(-1), 7);
  }
  {
    auto [tx, rx] = oneshot<int>();
    auto j = rt().spawn(take_one(std::move(rx)));
    { auto gone = std::move(tx); }
    EXPECT_FALSE(j.wait().value->has_value());
  }
  {
    auto [tx, rx] = oneshot<int>();
    { auto gone = std::move(rx); }
    EXPECT_TRUE(tx.is_closed());
    EXPECT_FALSE(tx.send(1));
  }
  {
    auto [tx, rx] = oneshot<int>();
    std::thread t([tx = std::move(tx)]() mutable {
      std::this_thread::sleep_for(5ms);  // mostly lets the wait block first; either order gives 9
      tx.send(9);
    });
    EXPECT_EQ(rx.wait(), 9);
    t.join();
  }
}

namespace {
Task<void> wait_notified(Notify* n, std::atomic<int>* woke) {
  co_await n->notified();
  ++*woke;
}
Task<bool> armed_then_notify_waiters(Notify* n) {
  Notify::Waiter w(*n);
  // Notified between arming and the first poll: still seen.
  n->notify_waiters();
  co_return w.poll();
}
}  // namespace

TEST(Notify, PermitIsStoredOnceAndNotifyWaitersStoresNothing) {
  Notify n;
  n.notify_one();
  n.notify_one();  // a single permit, not two
  std::atomic<int> woke{0};
  auto strand = rt().strand();
  auto a = spawn(strand, wait_notified(&n, &woke));
  EXPECT_EQ(a.wait().how, Ended::Completed);
  auto b = spawn(strand, wait_notified(&n, &woke));
  settle(strand);
  EXPECT_FALSE(b.is_finished());
  n.notify_one();
  EXPECT_EQ(b.wait().how, Ended::Completed);
  EXPECT_EQ(woke.load(), 2);

  n.notify_waiters();  // nobody waits: nothing stored
  auto c = spawn(strand, wait_notified(&n, &woke));
  settle(strand);
  EXPECT_FALSE(c.is_finished());
  auto d = spawn(strand, wait_notified(&n, &woke));
  settle(strand);  // both wait now
  n.notify_waiters();
  EXPECT_EQ(c.wait().how, Ended::Completed);
  EXPECT_EQ(d.wait().how, Ended::Completed);
  EXPECT_EQ(woke.load(), 4);

  EXPECT_TRUE(rt().block_on(armed_then_notify_waiters(&n)).value());
}

TEST(Notify, AnAbortedWaiterPassesItsNotificationOn) {
  Notify n;
  std::atomic<int> woke{0};
  auto strand = rt().strand(), other = rt().strand();
  auto first = spawn(strand, wait_notified(&n, &woke));
  settle(strand);
  auto second = spawn(other, wait_notified(&n, &woke));
  settle(other);
  // Hold the first waiter's strand: it is handed the notification and aborted before it can
  // run again, so only its release can pass the notification on.
  StrandHold hold(strand);
  n.notify_one();
  first.abort();
  settle(other);  // a wake handed to the second would have run by now
  EXPECT_FALSE(second.is_finished());
  hold.release();
  EXPECT_EQ(first.wait().how, Ended::Aborted);
  EXPECT_EQ(second.wait().how, Ended::Completed);
  EXPECT_EQ(woke.load(), 1);
}

namespace {
// Takes the lock, records its turn, holds the lock a moment.
Task<void> take_turn(AsyncMutex* m, int id, std::vector<int>* order) {
  auto g = co_await m->lock();
  order->push_back(id);
  co_await sleep_for(1ms);
}
Task<bool> lock_within(AsyncMutex* m, std::chrono::milliseconds limit) {
  auto g = co_await with_timeout(limit, m->lock());
  co_return g.has_value() && g->holds();
}
}  // namespace

TEST(AsyncMutex, ServesWaitersInArrivalOrderAndNobodyOvertakesTheQueue) {
  AsyncMutex m;
  auto held = m.try_lock();
  ASSERT_TRUE(held.has_value());
  EXPECT_FALSE(m.try_lock().has_value());
  std::vector<int> order;  // written under the lock only
  std::vector<JoinHandle<void>> tasks;
  // Each on a strand of its own, queued in this order (each has parked before the next starts).
  std::vector<Strand> strands;
  for (int i = 0; i < 5; ++i) {
    strands.push_back(rt().strand());
    tasks.push_back(spawn(strands.back(), take_turn(&m, i, &order)));
    settle(strands.back());
  }
  {
    StrandHold first(strands[0]);
    held->unlock();
    // Handed to the first waiter, which has not run yet: still locked for anyone else.
    EXPECT_FALSE(m.try_lock().has_value());
  }
  for (auto& t : tasks) EXPECT_EQ(t.wait().how, Ended::Completed);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_FALSE(m.is_locked());
  // A wait bounded by a deadline gives up and leaves the queue.
  held = m.try_lock();
  EXPECT_FALSE(rt().block_on(lock_within(&m, 20ms)).value());
  held.reset();
  EXPECT_FALSE(m.is_locked());
  EXPECT_TRUE(rt().block_on(lock_within(&m, 20ms)).value());
}

TEST(AsyncMutex, AWaiterDroppedInTheQueueOrAfterTheHandOverPassesTheLockOn) {
  AsyncMutex m;
  std::vector<int> order;
  auto held = m.try_lock();
  auto strand = rt().strand(), other = rt().strand();
  auto dropped = spawn(strand, take_turn(&m, 1, &order));
  settle(strand);
  auto next = spawn(other, take_turn(&m, 2, &order));
  settle(other);
  dropped.abort();  // while queued
  EXPECT_EQ(dropped.wait().how, Ended::Aborted);
  held.reset();
  EXPECT_EQ(next.wait().how, Ended::Completed);
  EXPECT_EQ(order, (std::vector<int>{2}));

  // Handed the lock while its strand is busy, then aborted before it could take it.
  held = m.try_lock();
  auto first = spawn(strand, take_turn(&m, 3, &order));
  settle(strand);
  auto second = spawn(other, take_turn(&m, 4, &order));
  settle(other);
  StrandHold hold(strand);
  held.reset();
  first.abort();
  hold.release();
  EXPECT_EQ(first.wait().how, Ended::Aborted);
  EXPECT_EQ(second.wait().how, Ended::Completed);
  EXPECT_EQ(order, (std::vector<int>{2, 4}));
  EXPECT_FALSE(m.is_locked());
}

namespace {
Task<void> turn_at(AsyncMutex::Place place, int id, std::vector<int>* order) {
  auto g = co_await AsyncMutex::acquire(std::move(place));
  order->push_back(id);
}
}  // namespace

TEST(AsyncMutex, PlacesTakenOnTheCallingThreadKeepTheirOrderWhateverRunsFirst) {
  AsyncMutex m;
  std::vector<int> order;
  auto held = m.try_lock();
  std::vector<AsyncMutex::Place> places;
  for (int i = 0; i < 4; ++i) places.push_back(m.enqueue());
  // The tasks start in the opposite order of their places, each parked before the next starts.
  std::vector<JoinHandle<void>> tasks;
  for (int i = 3; i >= 0; --i) {
    auto strand = rt().strand();
    tasks.push_back(spawn(strand, turn_at(std::move(places[static_cast<size_t>(i)]), i, &order)));
    settle(strand);
  }
  held.reset();
  for (auto& t : tasks) EXPECT_EQ(t.wait().how, Ended::Completed);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_FALSE(m.is_locked());

  // A place granted at once and one still queued, both dropped unused: the lock goes on.
  {
    auto granted = m.enqueue();
    auto queued = m.enqueue();
    EXPECT_TRUE(m.is_locked());
    auto later = m.enqueue();
    auto strand = rt().strand();
    auto task = spawn(strand, turn_at(std::move(later), 9, &order));
    settle(strand);
    { auto gone = std::move(queued); }
    { auto gone = std::move(granted); }
    EXPECT_EQ(task.wait().how, Ended::Completed);
  }
  EXPECT_EQ(order.back(), 9);
  EXPECT_FALSE(m.is_locked());
}

namespace {
Task<int> value_when(OneReceiver<int> rx) {
  auto v = co_await rx.recv();
  co_return v.value_or(-1);
}
// Joins the tasks that give what `rxs` receive, in the order they end, counting them in `joined`.
Task<std::vector<int>> join_in_order(std::vector<OneReceiver<int>> rxs, std::atomic<size_t>* joined) {
  JoinSet<int> set;
  for (auto& rx : rxs) set.spawn(rt().strand(), value_when(std::move(rx)));
  std::vector<int> order;
  for (;;) {
    auto j = co_await set.join_next();
    if (!j) break;
    order.push_back(*j->value);
    ++*joined;
  }
  co_return order;
}
}  // namespace

TEST(JoinSet, JoinsInFinishingOrderAndAbortsWhatIsLeftWhenDropped) {
  // Three tasks, started in the order 3, 1, 2, end in the order 1, 2, 3: each is let go once
  // the one before it has been joined.
  std::vector<OneSender<int>> txs;
  std::vector<OneReceiver<int>> rxs;
  for (int i = 0; i < 3; ++i) {
    auto [tx, rx] = oneshot<int>();
    txs.push_back(std::move(tx));
    rxs.push_back(std::move(rx));
  }
  std::atomic<size_t> joined{0};
  auto collector = rt().spawn(join_in_order(std::move(rxs), &joined));
  const std::pair<size_t, int> ends[] = {{1, 1}, {2, 2}, {0, 3}};
  for (size_t k = 0; k < 3; ++k) {
    txs[ends[k].first].send(ends[k].second);
    ASSERT_TRUE(eventually([&] { return joined.load() == k + 1; }));
  }
  EXPECT_EQ(*collector.wait().value, (std::vector<int>{1, 2, 3}));

  auto n = std::make_shared<Notify>();
  std::atomic<bool> reached{false}, after{false};
  {
    JoinSet<void> set;
    for (int i = 0; i < 3; ++i) set.spawn(rt().strand(), hold_and_wait(n, &reached, &after));
    ASSERT_TRUE(eventually([&] { return Held::live.load() == 3; }));
    EXPECT_EQ(set.reap(), 0u);
  }
  EXPECT_TRUE(eventually([] { return Held::live.load() == 0; }));
  EXPECT_FALSE(after.load());
}

namespace {
std::vector<std::string> thread_names() {
  std::vector<std::string> out;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::string path = std::string("/proc/self/task/") + e->d_name + "/comm";
      if (FILE* f = std::fopen(path.c_str(), "r")) {
        char buf[32] = {};
        if (std::fgets(buf, sizeof buf, f)) out.emplace_back(buf);
        std::fclose(f);
      }
    }
    closedir(d);
  }
  return out;
}
}  // namespace

TEST(Runtime, ThreadsAreNamedAndTheProcessRuntimeIsBuiltOnce) {
  auto before = thread_names();
  auto r = Runtime::create(3);
  ASSERT_TRUE(r.ok());
  std::atomic<bool> ran{false};
  r.value()->blocking([&] { ran = true; });
  ASSERT_TRUE(eventually([&] { return ran.load(); }));
  // Each thread names itself once it runs, which may be a little after create() returns.
  size_t named_before = std::count(before.begin(), before.end(), std::string("vennock-io\n"));
  std::vector<std::string> after;
  auto named_after = [&] {
    after = thread_names();
    return static_cast<size_t>(std::count(after.begin(), after.end(), std::string("vennock-io\n")));
  };
  // three workers and one blocking-pool thread
  EXPECT_TRUE(eventually([&] { return named_after() - named_before == 4u; }));
  EXPECT_EQ(after.size() - before.size(), 4u);
  // The process runtime: one, whatever later callers ask for; a different count is logged
  // under the bindings' target, since the bindings' start is what asks for it.
  Capture& cap = capture();
  Runtime* a = Runtime::get(2).value();
  size_t m = cap.mark();
  Runtime* b = Runtime::get().value();
  Runtime* c = Runtime::get(5).value();
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, c);
  EXPECT_EQ(a->threads(), 2u);
  std::vector<std::string> warned;
  for (const auto& l : cap.since(m))
    if (l.text.starts_with("runtime_threads")) warned.push_back(l.target + ": " + l.text);
  EXPECT_EQ(warned, std::vector<std::string>{"_vennock::runtime: runtime_threads is set once per process; keeping the "
                                             "running value requested=5 running=2"});
}
