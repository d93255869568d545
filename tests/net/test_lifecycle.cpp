// The fork rule: what a child made by fork gets fresh, and what it never waits for.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "net/lifecycle.hpp"
#include "net/log.hpp"
#include "net/runtime.hpp"

#include "helpers.hpp"

using namespace vennock;
using namespace vennock::net;
using namespace std::chrono_literals;
using vennock::net::testing::syscall_of;

#if !defined(__SANITIZE_THREAD__)  // (the thread checker does not follow a multi-threaded fork)

namespace {

// Runs `child` in a child made by fork and gives its exit code, or -1 when it has not ended
// within `limit` (it is then killed): a child waiting for a lock held by a thread it does not
// have never ends.
template <class F>
int in_child(F child, std::chrono::milliseconds limit = 20s) {
  int done[2];
  if (pipe(done) != 0) return -2;
  pid_t pid = fork();
  if (pid < 0) return -2;
  if (pid == 0) {
    close(done[0]);
    int code = child();
    char c = 1;
    (void)!write(done[1], &c, 1);
    _exit(code);
  }
  close(done[1]);
  pollfd p{done[0], POLLIN, 0};
  bool ended = poll(&p, 1, static_cast<int>(limit.count())) == 1;
  close(done[0]);
  if (!ended) kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!ended) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -3;
}

struct Counted {
  std::mutex m;
  int n = 0;
};
constinit lifecycle::PerProcess<Counted> g_counted;

}  // namespace

TEST(Lifecycle, AChildGetsEveryStateFreshAndCountsOneMoreGeneration) {
  Counted& mine = g_counted.get();
  mine.n = 5;
  const uint64_t gen = lifecycle::generation();
  // Another thread holds the lock at the fork, as a thread of the runtime may.
  std::promise<void> held, let_go;
  std::thread holder([&] {
    std::lock_guard<std::mutex> g(mine.m);
    held.set_value();
    let_go.get_future().wait();
  });
  held.get_future().wait();
  int code = in_child([&] {
    Counted& fresh = g_counted.get();
    if (&fresh == &mine || fresh.n != 0 || !fresh.m.try_lock()) return 1;
    fresh.n = 7;
    fresh.m.unlock();
    if (lifecycle::generation() != gen + 1) return 2;
    // A grandchild, while the child's state is held: the place the parent's took is made again.
    std::lock_guard<std::mutex> g(fresh.m);
    return in_child([&] {
      Counted& again = g_counted.get();
      bool ok = &again != &fresh && again.n == 0 && again.m.try_lock() && lifecycle::generation() == gen + 2;
      return ok ? 0 : 3;
    });
  });
  let_go.set_value();
  holder.join();
  EXPECT_EQ(code, 0);
  // The parent's own is untouched.
  EXPECT_EQ(&g_counted.get(), &mine);
  EXPECT_EQ(mine.n, 5);
  EXPECT_EQ(lifecycle::generation(), gen);
}

namespace {

Task<int> answer() { co_return 42; }

}  // namespace

TEST(Lifecycle, AChildNeverWaitsForTheLogOrRuntimeLockAParentThreadHeldAtTheFork) {
  // Alone in a fresh process: no log dispatcher of the other tests, and a runtime this test
  // builds itself.
  if (!std::getenv("VENNOCK_TEST_ALONE")) {
    EXPECT_EQ(in_child(
                  [] {
                    setenv("VENNOCK_TEST_ALONE", "1", 1);
                    execl("/proc/self/exe", "test_net",
                          "--gtest_filter=Lifecycle.AChildNeverWaitsForTheLogOrRuntimeLockAParentThreadHeldAtTheFork",
                          static_cast<char*>(nullptr));
                    return 127;
                  },
                  60s),
              0);
    return;
  }
  ASSERT_TRUE(Runtime::get(1).ok());
  // Standard error becomes a pipe nobody reads, full: a record written there waits in write(),
  // with the standard-error lock held.
  int err[2];
  ASSERT_EQ(pipe(err), 0);
  const int saved = dup(2);
  ASSERT_EQ(dup2(err[1], 2), 2);
  fcntl(2, F_SETFL, fcntl(2, F_GETFL) | O_NONBLOCK);
  char junk[4096] = {};
  while (write(2, junk, sizeof junk) > 0) {
  }
  fcntl(2, F_SETFL, fcntl(2, F_GETFL) & ~O_NONBLOCK);
  // Asking for another worker count logs a warning with the runtime's record locked.
  std::atomic<pid_t> writer{0};
  std::thread asker([&] {
    writer = static_cast<pid_t>(::syscall(SYS_gettid));
    (void)Runtime::get(2);
  });
  while (writer == 0) std::this_thread::yield();
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (syscall_of(writer) != std::pair<long, long>{SYS_write, 2} && std::chrono::steady_clock::now() < until)
    std::this_thread::yield();
  const bool writing = syscall_of(writer) == std::pair<long, long>{SYS_write, 2};
  int code = writing ? in_child([] {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    auto rt = Runtime::get();  // the runtime's record
    if (!rt || rt.value()->block_on(answer()).value() != 42) return 1;
    log::Record r{log::Level::Warn, "test", "the child's own record", {}};
    log::write_stderr(r);  // the standard-error lock
    return 0;
  })
                     : -4;
  // Room in the pipe again: the warning is written and the asker ends.
  dup2(saved, 2);
  close(err[1]);
  char buf[65536];
  (void)!read(err[0], buf, sizeof buf);
  asker.join();
  close(err[0]);
  close(saved);
  ASSERT_TRUE(writing) << "the asker never wrote its warning";
  EXPECT_EQ(code, 0) << "the child waited for a lock of its parent (-1: hung)";
}

#endif
