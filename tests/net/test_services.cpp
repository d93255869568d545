// What the runtime offers callers that wait from outside it (the Python bindings): a leave
// bounded by its timeout, blocking waits in slices, and the runtime's teardown.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <future>

#include "fake_engine.hpp"
#include "helpers.hpp"
#include "net/seed.hpp"

using namespace vennock;
using namespace vennock::net;
using namespace vennock::net::testing;

namespace {

constexpr size_t kBroadcast = 7, kLeave = 1;  // indices in core::Command

// A node over a fake engine whose first broadcast holds the actor until `release` is set, so
// its request channel fills up.
struct StalledNode {
  std::atomic<bool> stalled{false}, release{false};
  std::mutex m;
  std::vector<size_t> commands;  // engine commands by kind, in order
  std::optional<Membership> node;

  StalledNode() {
    FakeEngine e;
    e.on_command = [this](FakeEngine& f, core::CommandId id, const core::Command& c) {
      {
        std::lock_guard<std::mutex> g(m);
        commands.push_back(c.index());
      }
      if (c.index() == kBroadcast && !stalled.exchange(true)) {
        while (!release.load()) std::this_thread::sleep_for(1ms);
      }
      f.events.push_back(core::event::Completed{id, core::outcome::Done{}});
    };
    node = Membership::launch(runtime(), std::move(e), actor::Options{}, actor::Clock{},
                              std::make_shared<FakeTransport>(), core::Duration::from_secs(1), 16);
  }
  ~StalledNode() {
    release = true;
    run(node->close());
  }
  size_t seen(size_t kind) {
    std::lock_guard<std::mutex> g(m);
    return static_cast<size_t>(std::count(commands.begin(), commands.end(), kind));
  }
};

}  // namespace

TEST(Leave, AFullRequestChannelCannotHoldTheCallPastItsTimeAndTheLeaveStillHappens) {
  StalledNode n;
  std::vector<JoinHandle<Result<void, Error>>> flood;
  flood.push_back(runtime().spawn(n.node->broadcast({1})));
  ASSERT_TRUE(eventually([&] { return n.stalled.load(); }));
  // 256 fill the channel while the actor is held; the rest wait for room.
  auto strand = runtime().strand();
  for (int i = 0; i < 300; ++i) flood.push_back(spawn(strand, n.node->broadcast({2})));
  settle(strand);
  auto leaving = runtime().spawn(n.node->leave(20ms));
  auto r = leaving.wait_for(5s);  // the actor is still held all this time
  ASSERT_TRUE(r.has_value()) << "the leave waited for room past its time";
  ASSERT_FALSE(r->value->ok());
  EXPECT_EQ(r->value->error().code(), ErrorCode::Timeout);
  EXPECT_EQ(n.seen(kLeave), 0u);
  // Timed out means under way: once there is room, the leave reaches the engine all the same.
  n.release = true;
  for (auto& f : flood) EXPECT_TRUE(f.wait().value->ok());
  EXPECT_TRUE(eventually([&] { return n.seen(kLeave) == 1; }));
  EXPECT_EQ(n.seen(kBroadcast), 301u);
}

namespace {

struct Held {
  static inline std::atomic<int> live{0};
  Held() { ++live; }
  ~Held() { --live; }
  Held(const Held&) = delete;
};

Task<int> answer() { co_return 42; }
Task<int> forever() {
  Held h;
  for (;;) co_await park();
}
Task<int> faulty() {
  std::vector<int> none;
  co_return none.at(1);  // a fault of the standard library: the task ends without a value
}
Task<Blocked> block_from_inside() {
  auto r = runtime().block_on(answer());
  co_return r ? Blocked::Stopped : r.error();
}

}  // namespace

TEST(BlockOn, WaitsInSlicesWhoseCheckCanCancelAndTellsWhyItGaveNoValue) {
  int calls = 0;
  auto count = [&] { return ++calls < 3; };
  // A value within the first slice: no check at all.
  auto r = runtime().block_on(answer(), std::nullopt, 10s, count);
  EXPECT_EQ(r.value(), 42);
  EXPECT_EQ(calls, 0);
  // The third check says stop: the task is aborted and what it held is released.
  auto c = runtime().block_on(forever(), std::nullopt, 5ms, count);
  ASSERT_FALSE(c.ok());
  EXPECT_EQ(c.error(), Blocked::Cancelled);
  EXPECT_EQ(calls, 3);
  EXPECT_TRUE(eventually([] { return Held::live.load() == 0; }));
  auto t = runtime().block_on(forever(), 20ms, 5ms, [] { return true; });
  ASSERT_FALSE(t.ok());
  EXPECT_EQ(t.error(), Blocked::TimedOut);
  auto f = runtime().block_on(faulty());
  ASSERT_FALSE(f.ok());
  EXPECT_EQ(f.error(), Blocked::Failed);
  EXPECT_EQ(Held::live.load(), 0);
}

TEST(BlockOn, IsRefusedOnTheRuntimesOwnThreads) {
  // From a task on a worker, and from a blocking-pool job: refused, never a wait.
  EXPECT_EQ(run(block_from_inside()), Blocked::OnRuntimeThread);
  std::promise<Blocked> from_pool;
  runtime().blocking([&] {
    auto r = runtime().block_on(answer());
    from_pool.set_value(r ? Blocked::Stopped : r.error());
  });
  EXPECT_EQ(from_pool.get_future().get(), Blocked::OnRuntimeThread);
}

namespace {
// The kernel ids of a runtime's worker and of one of its blocking-pool threads.
std::vector<pid_t> thread_ids(Runtime& rt) {
  auto tid = []() -> Task<pid_t> { co_return gettid(); };
  std::vector<pid_t> ids{rt.block_on(tid()).value()};
  std::promise<pid_t> pool;
  rt.blocking([&] { pool.set_value(gettid()); });
  ids.push_back(pool.get_future().get());
  return ids;
}
bool thread_alive(pid_t tid) { return ::access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) == 0; }
}  // namespace

TEST(Runtime, StopJoinsItsThreadsAndLaterCallsGiveUpAtOnce) {
  auto rt = std::move(Runtime::create(2).value());
  auto ids = thread_ids(*rt);
  std::atomic<bool> job_started{false}, job_done{false};
  rt->blocking([&] {
    job_started = true;
    std::this_thread::sleep_for(50ms);
    job_done = true;
  });
  ASSERT_TRUE(eventually([&] { return job_started.load(); }));
  std::promise<bool> refused;
  rt->blocking([&] { refused.set_value(!rt->stop().ok()); });
  EXPECT_TRUE(refused.get_future().get());  // not from one of its own threads
  ASSERT_TRUE(rt->stop().ok());
  EXPECT_TRUE(job_done.load());  // a running job is waited for
  for (pid_t t : ids) EXPECT_FALSE(thread_alive(t)) << t;
  EXPECT_TRUE(rt->stop().ok());  // again: nothing to do
  // Afterwards nothing waits: a spawned task is dropped unrun, a job too.
  auto j = rt->spawn(forever());
  EXPECT_EQ(j.wait().how, Ended::Aborted);
  auto r = rt->block_on(answer());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), Blocked::Stopped);
  auto held = std::make_shared<Held>();
  bool ran = false;
  rt->blocking([&ran, held] { ran = true; });
  held.reset();
  EXPECT_FALSE(ran);
  EXPECT_EQ(Held::live.load(), 0);
}

#if !defined(__SANITIZE_THREAD__)
TEST(Runtime, AChildAfterForkBuildsAFreshRuntimeAndStopProcessEndsOnlyThatOne) {
  Runtime* parent = &runtime();
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int code = 0;
    if (!Runtime::stop_process().ok() || parent->stopped()) code |= 1;  // the parent's: untouched
    // The parent's threads do not exist here: the child builds a runtime of its own.
    Runtime* mine = Runtime::get(1).value();
    if (mine == parent || mine->threads() != 1) code |= 32;
    if (mine->block_on(answer()).value() != 42) code |= 2;
    if (!Runtime::stop_process().ok() || !mine->stopped()) code |= 4;
    if (Runtime::get().value() != mine) code |= 8;  // no new runtime after the stop
    auto r = mine->block_on(answer());
    if (r.ok() || r.error() != Blocked::Stopped) code |= 16;
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(parent->stopped());
}
#endif

TEST(Runtime, JobsHandedOverTogetherEachGetAThreadWhileOneOfThemHangs) {
  // A pool with idle threads is handed a job that hangs (a name lookup whose resolver does not
  // answer) and, right after it, another: the second must not wait for the first, whichever
  // idle thread was told of which.
  for (int round = 0; round < 50; ++round) {
    auto rt = std::move(Runtime::create(1).value());
    std::promise<void> warmed;
    rt->blocking([&] { warmed.set_value(); });
    warmed.get_future().wait();
    ASSERT_TRUE(eventually([&] { return rt->blocking_threads() == 1; }));
    std::mutex m;
    std::condition_variable cv;
    bool let_go = false;
    std::atomic<bool> second{false};
    rt->blocking([&] {
      std::unique_lock<std::mutex> g(m);
      cv.wait(g, [&] { return let_go; });
    });
    rt->blocking([&] { second = true; });
    const bool ran = eventually([&] { return second.load(); });
    {
      std::lock_guard<std::mutex> g(m);
      let_go = true;
    }
    cv.notify_all();
    ASSERT_TRUE(rt->stop().ok());
    ASSERT_TRUE(ran) << "round " << round << ": the second job waited for the first";
  }
}

TEST(Runtime, AJobMadeAheadIsHandedOverOrComesBack) {
  auto rt = std::move(Runtime::create(1).value());
  std::promise<void> ran;
  auto queued = Runtime::job([&] { ran.set_value(); });
  EXPECT_EQ(rt->hand(queued), Runtime::Handed::Queued);
  EXPECT_FALSE(queued);
  ran.get_future().get();
  ASSERT_TRUE(rt->stop().ok());
  // Stopped: dropped unrun, what it held released on the spot.
  auto held = std::make_shared<Held>();
  bool stopped_ran = false;
  auto dropped = Runtime::job([&stopped_ran, held] { stopped_ran = true; });
  held.reset();
  EXPECT_EQ(rt->hand(dropped), Runtime::Handed::Stopped);
  EXPECT_FALSE(stopped_ran);
  EXPECT_EQ(Held::live.load(), 0);
}

namespace {
// A name lookup through the runtime's blocking pool; whether the name resolves does not matter.
bool lookup_ends(Runtime& rt) {
  return rt.block_on(seed::resolve(rt, {seed::Seed::host("localhost", 7946)}, 10s, false)).ok();
}
}  // namespace

TEST(Runtime, APoolThreadThatEndsIdleLeavesNothingToJoin) {
  // Never stopped nor destroyed: a pool thread that ended idle and still waited to be joined
  // would wait until the process exits, where the thread checker reports it as leaked.
  static Runtime* const kept = Runtime::create(1, 20ms).value().release();
  for (int i = 0; i < 30; ++i) {
    // Lookups that come as the previous one's thread is about to end, or ending: each is
    // answered all the same.
    ASSERT_TRUE(lookup_ends(*kept)) << i;
    std::this_thread::sleep_for(std::chrono::milliseconds(16 + i % 8));
  }
  EXPECT_TRUE(eventually([] { return kept->blocking_threads() == 0; }));
  // Stops that come as pool threads end idle: they join only the threads still running.
  for (int i = 0; i < 10; ++i) {
    auto rt = std::move(Runtime::create(1, 1ms).value());
    ASSERT_TRUE(lookup_ends(*rt)) << i;
    std::this_thread::sleep_for(std::chrono::microseconds(500 * (i % 4)));
    ASSERT_TRUE(rt->stop().ok()) << i;
    EXPECT_EQ(rt->blocking_threads(), 0u);
  }
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // (they reserve address space)
namespace {
// The process's address space in bytes.
size_t address_space() {
  FILE* f = std::fopen("/proc/self/status", "r");
  char line[256];
  size_t kib = 0;
  while (f && std::fgets(line, sizeof line, f))
    if (std::sscanf(line, "VmSize: %zu kB", &kib) == 1) break;
  if (f) std::fclose(f);
  return kib * 1024;
}
}  // namespace

TEST(Runtime, AJobNoPoolThreadCanRunComesBackToTheCaller) {
  // glibc reuses the stacks of threads that have ended, which no address-space limit refuses:
  // the test runs alone in a fresh process, where no thread has ended yet.
  if (!std::getenv("VENNOCK_TEST_ALONE")) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      setenv("VENNOCK_TEST_ALONE", "1", 1);
      execl("/proc/self/exe", "test_net", "--gtest_filter=Runtime.AJobNoPoolThreadCanRunComesBackToTheCaller",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    return;
  }
  auto rt = std::move(Runtime::create(1).value());
  ASSERT_EQ(rt->blocking_threads(), 0u);
  bool ran = false;
  auto job = Runtime::job([&] { ran = true; });
  // No room left for another thread's stack.
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_AS, &old), 0);
  rlimit tight = old;
  tight.rlim_cur = address_space() + (2u << 20);
  ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
  auto handed = rt->hand(job);
  setrlimit(RLIMIT_AS, &old);
  EXPECT_EQ(handed, Runtime::Handed::NoThread);
  ASSERT_TRUE(job);
  job.run();
  EXPECT_TRUE(ran);
  // With room again, a job handed over later starts a thread and runs there.
  std::promise<bool> later;
  auto next = Runtime::job([&] { later.set_value(Runtime::on_runtime_thread()); });
  EXPECT_EQ(rt->hand(next), Runtime::Handed::Queued);
  EXPECT_TRUE(later.get_future().get());
}
#endif
