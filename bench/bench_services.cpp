// What the waits the Python bindings use cost next to the plain ones:
//  - block_on with a limit and 100 ms slices (the blocking bridge) against plain block_on, for
//    a task that is ready at once (the per-call overhead of a blocking Python call);
//  - a ready task awaited under a deadline scope against awaiting it plainly (what bounding
//    an operation costs inside a task);
//  - taking and releasing an uncontended AsyncMutex against awaiting a ready task (the
//    metadata and reader locks).
// Each pair is timed in alternating rounds (the blocking calls call by call), so both sides
// see the same machine load; the program prints the median over the rounds of each ratio,
// and the baselines' times.
//   bench_services [rounds]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "net/runtime.hpp"
#include "net/sync.hpp"

using namespace vennock::net;
using namespace std::chrono_literals;

namespace {

constexpr int kCalls = 2000;  // blocking calls per round
constexpr int kAwaits = 2000;  // awaits per task

Task<int> ready(int v) { co_return v; }

Task<int> plain_awaits() {
  int sum = 0;
  for (int i = 0; i < kAwaits; ++i) sum += co_await ready(i);
  co_return sum;
}
Task<int> bounded_awaits() {
  int sum = 0;
  const Instant far = now() + 1h;
  for (int i = 0; i < kAwaits; ++i) {
    auto r = co_await with_deadline(far, ready(i));
    sum += *r;
  }
  co_return sum;
}
Task<int> locked_turns(AsyncMutex* m) {
  int sum = 0;
  for (int i = 0; i < kAwaits; ++i) {
    auto g = co_await m->lock();
    sum += i;
  }
  co_return sum;
}

double seconds(const std::function<void()>& f) {
  auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 21;
  auto rt = std::move(Runtime::create(1).value());
  const std::function<bool()> between = [] { return true; };
  AsyncMutex m;
  long sink = 0;
  std::vector<double> plain_call, sliced, plain_await, deadline, mutex;
  for (int r = 0; r < rounds; ++r) {
    // Call by call in turn: a blocking call is mostly a thread wake-up, which the machine's
    // load moves a lot.
    double p = 0, q = 0;
    for (int i = 0; i < kCalls; ++i) {
      p += seconds([&] { sink += rt->block_on(ready(i)).value(); });
      q += seconds([&] { sink += rt->block_on(ready(i), 10s, 100ms, between).value(); });
    }
    plain_call.push_back(p);
    sliced.push_back(q);
    plain_await.push_back(seconds([&] { sink += rt->block_on(plain_awaits()).value(); }));
    deadline.push_back(seconds([&] { sink += rt->block_on(bounded_awaits()).value(); }));
    mutex.push_back(seconds([&] { sink += rt->block_on(locked_turns(&m)).value(); }));
  }
  auto ratios = [&](const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> q;
    for (size_t i = 0; i < a.size(); ++i) q.push_back(a[i] / b[i]);
    return median(q);
  };
  std::printf("baselines (median of %d rounds): block_on %.2f us/call, await %.1f ns/await\n", rounds,
              median(plain_call) / kCalls * 1e6, median(plain_await) / kAwaits * 1e9);
  std::printf("block_on with a limit and 100 ms slices / plain block_on: %.2fx\n", ratios(sliced, plain_call));
  std::printf("await under a deadline scope / plain await:              %.2fx\n", ratios(deadline, plain_await));
  std::printf("uncontended AsyncMutex lock and unlock / plain await:     %.2fx\n", ratios(mutex, plain_await));
  return sink == 42 ? 1 : 0;
}
