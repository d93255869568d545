// Nodes on real loopback sockets in one process, against the same cluster in the engine's
// simulated network.
//
//   bench_runtime [--nodes 64] [--seconds 60] [--threads 2]
//
// Runtime: `nodes` nodes with the lan preset's timings (plaintext) join through the first;
// once every node sees all of them, the process's CPU time (getrusage) is measured over
// `seconds`, giving CPU per node per second. Then one node is closed (no leave) and the
// time until every other node has declared it dead is measured.
//
// Baseline, same run: the same cluster in the simulated network, engines only, with the time
// spent inside engine calls as its CPU figure and the same crash measured in virtual time.
// The figures are printed side by side with their ratios.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "net/lib.hpp"
#include "sim/sim.hpp"

using namespace vennock;
using namespace vennock::net;
using namespace std::chrono;
using namespace std::chrono_literals;

namespace {

double cpu_seconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  auto tv = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return tv(ru.ru_utime) + tv(ru.ru_stime);
}

// (A step that gives no value ends the program: value() finds none.)
template <class T>
Value<T> wait(Runtime& rt, Task<T> t) {
  return std::move(rt.block_on(std::move(t)).value());
}

struct Figures {
  double cpu_per_node_second = 0;  // seconds of CPU per node per second
  double detect_all = 0;           // seconds from the stop until every other node saw it dead
  double detect_first = 0;         // ... until the first one did
  bool ok = false;
};

Figures runtime_run(size_t n, double seconds, size_t threads) {
  Figures f;
  auto rt_got = Runtime::get(threads);
  if (!rt_got) {
    std::fprintf(stderr, "runtime: %s\n", rt_got.error().to_string().c_str());
    return f;
  }
  Runtime& rt = *rt_got.value();
  std::vector<std::optional<Membership>> nodes;
  auto t_start = steady_clock::now();
  for (size_t i = 0; i < n; ++i) {
    Settings s;  // the lan preset
    s.name = "n" + std::to_string(i);
    s.bind.ip = {127, 0, 0, 1};
    s.bind.port = 0;
    if (i > 0) s.seed_addrs = {nodes[0]->local_addr()};
    auto m = wait(rt, Membership::start(rt, std::move(s)));
    if (!m) {
      std::fprintf(stderr, "start n%zu: %s\n", i, m.error().to_string().c_str());
      return f;
    }
    nodes.emplace_back(std::move(m.value()));
  }
  auto converged = [&] {
    for (auto& m : nodes)
      if (m->members().size() != n) return false;
    return true;
  };
  while (!converged()) {
    if (steady_clock::now() - t_start > 120s) {
      std::fprintf(stderr, "the cluster did not converge in 120 s\n");
      return f;
    }
    std::this_thread::sleep_for(50ms);
  }
  std::printf("runtime: %zu nodes converged in %.2f s\n", n, duration<double>(steady_clock::now() - t_start).count());
  std::this_thread::sleep_for(2s);  // let the joins' push-pulls settle

  double c0 = cpu_seconds();
  auto w0 = steady_clock::now();
  std::this_thread::sleep_for(duration<double>(seconds));
  double wall = duration<double>(steady_clock::now() - w0).count();
  double cpu = cpu_seconds() - c0;
  f.cpu_per_node_second = cpu / static_cast<double>(n) / wall;
  std::printf("runtime: %.3f s CPU in %.1f s for %zu nodes\n", cpu, wall, n);

  // One node stops without a leave; how long until everyone else has declared it dead?
  std::string victim = "n" + std::to_string(n - 1);
  auto stopped = steady_clock::now();
  wait(rt, nodes[n - 1]->close());
  nodes[n - 1].reset();
  std::vector<bool> seen(n - 1, false);
  size_t left = n - 1;
  while (left > 0 && steady_clock::now() - stopped < 180s) {
    for (size_t i = 0; i + 1 < n; ++i) {
      if (seen[i]) continue;
      auto m = nodes[i]->member(victim);
      if (m && m->state == core::MemberState::Dead) {
        seen[i] = true;
        --left;
        double at = duration<double>(steady_clock::now() - stopped).count();
        if (f.detect_first == 0) f.detect_first = at;
        f.detect_all = at;
      }
    }
    std::this_thread::sleep_for(10ms);
  }
  f.ok = left == 0;
  for (auto& m : nodes)
    if (m) wait(rt, m->close());
  return f;
}

Figures sim_run(size_t n, double seconds) {
  Figures f;
  sim::Sim s(42, sim::NetParams{50'000, 50'000, 0.0});  // loopback-like: 50 µs one way
  for (size_t i = 0; i < n; ++i) s.add(core::Config{}, "n" + std::to_string(i));
  for (size_t i = 1; i < n; ++i) s.command(i, core::command::Join{{sim::Sim::addr_of(0)}});
  bool conv = s.run_until_pred(
      [&] {
        for (size_t i = 0; i < n; ++i)
          if (s.node(i).members().size() != n) return false;
        return true;
      },
      120 * sim::SEC);
  if (!conv) {
    std::fprintf(stderr, "sim: no convergence\n");
    return f;
  }
  s.run_for(2 * sim::SEC);
  s.measure = true;
  s.engine_time = nanoseconds(0);
  auto span = static_cast<uint64_t>(seconds * 1e9);
  s.run_for(span);
  s.measure = false;
  double cpu = duration<double>(s.engine_time).count();
  f.cpu_per_node_second = cpu / static_cast<double>(n) / seconds;
  std::printf("sim:     %.3f s in engine calls over %.1f virtual s for %zu nodes\n", cpu, seconds, n);

  size_t victim = n - 1;
  std::string name = s.name(victim);
  uint64_t stopped = s.now();
  s.crash(victim);
  std::vector<bool> seen(n - 1, false);
  size_t left = n - 1;
  s.run_until_pred(
      [&] {
        for (size_t i = 0; i + 1 < n; ++i) {
          if (seen[i]) continue;
          const core::Member* m = s.node(i).find(name);
          if (m && m->state == core::MemberState::Dead) {
            seen[i] = true;
            --left;
            double at = static_cast<double>(s.now() - stopped) / 1e9;
            if (f.detect_first == 0) f.detect_first = at;
            f.detect_all = at;
          }
        }
        return left == 0;
      },
      180 * sim::SEC, 10 * sim::MS);
  f.ok = left == 0;
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  size_t nodes = 64, threads = 2;
  double seconds = 60;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--nodes")) nodes = std::strtoul(argv[i + 1], nullptr, 10);
    if (!std::strcmp(argv[i], "--seconds")) seconds = std::strtod(argv[i + 1], nullptr);
    if (!std::strcmp(argv[i], "--threads")) threads = std::strtoul(argv[i + 1], nullptr, 10);
  }
  if (nodes < 2) nodes = 2;
  std::printf("%zu nodes, lan timings, plaintext, %.0f s measured, %zu runtime threads\n", nodes, seconds, threads);
  Figures sim = sim_run(nodes, seconds);
  Figures real = runtime_run(nodes, seconds, threads);
  if (!sim.ok || !real.ok) {
    std::printf("incomplete: sim %s, runtime %s\n", sim.ok ? "ok" : "failed", real.ok ? "ok" : "failed");
    return 1;
  }
  std::printf("\n%-40s %14s %14s %8s\n", "", "runtime", "engine (sim)", "ratio");
  std::printf("%-40s %11.1f µs %11.1f µs %7.1fx\n", "CPU per node per second", real.cpu_per_node_second * 1e6,
              sim.cpu_per_node_second * 1e6, real.cpu_per_node_second / sim.cpu_per_node_second);
  std::printf("%-40s %12.2f s %12.2f s %7.2fx\n", "stop -> first node declares it dead", real.detect_first,
              sim.detect_first, real.detect_first / sim.detect_first);
  std::printf("%-40s %12.2f s %12.2f s %7.2fx\n", "stop -> every other node declares it dead", real.detect_all,
              sim.detect_all, real.detect_all / sim.detect_all);
  return 0;
}
