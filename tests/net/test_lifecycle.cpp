// The fork rule: what a child made by fork gets fresh.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "net/lifecycle.hpp"

using namespace vennock;
using namespace vennock::net;
using namespace std::chrono_literals;

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

#endif
