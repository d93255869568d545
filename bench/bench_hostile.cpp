// A node with the lan preset's limits (8 MiB frames, 64 inbound streams, 16 per address,
// the default per-address byte allowance) under hostile peers on loopback, against the same
// node at rest measured in the same run.
//
//   bench_hostile [--seconds 15] [--threads 2]
//
// The attackers run in a child process forked before anything else starts, so the figures
// (resident memory from /proc/self/status, open descriptors from /proc/self/fd, sampled every
// 10 ms) are the node's own. Each phase lasts `seconds`; the attacks are kept up for the
// whole phase (dropped connections are opened again):
//   idle        no attacker
//   flood       one address (127.0.0.2) keeping 1,000 connections open
//   silent      300 connections on 10 addresses that never send a byte
//   garbage     32 connections on 8 addresses sending a valid header and then up to 1 MiB of
//               random bytes, over and over
//   slow        48 writers on 48 addresses (within the connection limits, so only the byte
//               budget stands in their way), each sending all but 64 KiB of a largest frame
//               (8 MiB) and then stalling
// Besides the resident figures, the heap in use (mallinfo2) is sampled: what the node holds,
// without what the allocator keeps for later.
// Throughout, a fresh node joins through the victim once a second (a push-pull over TCP from
// 127.0.0.1); the joins that succeeded and the slowest one are printed with the figures.
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "net/lib.hpp"
#include "proto/packet.hpp"
#include "proto/stream.hpp"

using namespace vennock;
using namespace vennock::net;
using namespace std::chrono;
using namespace std::chrono_literals;

namespace {

constexpr size_t kFrame = 8 * 1024 * 1024;

// ---- the attacking child ------------------------------------------------------------------

// In rising order of what they cost, so memory the allocator keeps after one phase does not
// show up as the next one's.
enum Attack : int { Idle = 0, Flood, Silent, Garbage, Slow, Quit };
const char* const kNames[] = {"idle", "flood", "silent", "garbage", "slow"};

struct Command {
  int attack;
  int seconds;
  uint16_t port;  // the victim's, on 127.0.0.1
};

int open_from(uint8_t from, uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  sockaddr_in src{}, dst{};
  src.sin_family = dst.sin_family = AF_INET;
  src.sin_addr.s_addr = htonl(0x7f000000u | from);
  dst.sin_addr.s_addr = htonl(0x7f000001u);
  dst.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0 ||
      (::connect(fd, reinterpret_cast<sockaddr*>(&dst), sizeof dst) != 0 && errno != EINPROGRESS)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// One attacking connection: its socket, its address, and what it still has to send.
struct Conn {
  int fd = -1;
  uint8_t from = 0;
  std::vector<uint8_t> out;
  size_t off = 0;
};

// Runs one attack until the deadline; every connection the node ends is opened again.
void attack(const Command& c) {
  const auto end = steady_clock::now() + seconds(c.seconds);
  std::array<uint8_t, 32> nk{};
  proto::Codec codec("default", std::nullopt, std::span<const uint8_t, 32>(nk));
  std::mt19937 rng(42);
  // What each kind of connection sends when it opens.
  auto payload = [&]() -> std::vector<uint8_t> {
    if (c.attack == Slow) {
      // A largest frame whose header passes the check; all but its last 64 KiB.
      static std::vector<uint8_t> most = [&] {
        proto::Bytes f = proto::encode_frame(codec.seal(proto::Bytes(kFrame - codec.overhead(), 0x5a), 1));
        f.resize(f.size() - 64 * 1024);
        return f;
      }();
      return most;
    }
    if (c.attack == Garbage) {
      size_t len = 64 + rng() % (1024 * 1024);
      proto::Bytes p = codec.seal(proto::Bytes(len, 0), 1);
      for (size_t k = proto::HEADER_LEN; k < p.size(); ++k) p[k] = static_cast<uint8_t>(rng());
      return proto::encode_frame(p);
    }
    return {};
  };
  int addrs = 1, per = 1000;
  if (c.attack == Slow) addrs = 48, per = 1;
  if (c.attack == Garbage) addrs = 8, per = 4;
  if (c.attack == Silent) addrs = 10, per = 30;
  std::vector<Conn> conns;
  for (int a = 0; a < addrs; ++a)
    for (int i = 0; i < per; ++i) conns.push_back(Conn{-1, static_cast<uint8_t>(2 + a), {}, 0});
  auto reopen = [&](Conn& k) {
    if (k.fd >= 0) ::close(k.fd);
    k.fd = open_from(k.from, c.port);
    k.out = payload();
    k.off = 0;
  };
  if (c.attack != Idle)
    for (auto& k : conns) reopen(k);
  std::vector<pollfd> pfds;
  std::vector<uint8_t> sink(65536);
  while (steady_clock::now() < end) {
    if (c.attack == Idle) {
      std::this_thread::sleep_for(10ms);
      continue;
    }
    pfds.clear();
    for (auto& k : conns) {
      short ev = POLLIN;
      if (k.off < k.out.size()) ev |= POLLOUT;
      pfds.push_back(pollfd{k.fd, ev, 0});
    }
    ::poll(pfds.data(), pfds.size(), 10);
    for (size_t i = 0; i < conns.size(); ++i) {
      Conn& k = conns[i];
      if (k.fd < 0) {
        reopen(k);
        continue;
      }
      short re = pfds[i].revents;
      if (re & (POLLIN | POLLHUP | POLLERR)) {
        ssize_t n = ::recv(k.fd, sink.data(), sink.size(), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
          reopen(k);  // the node ended it: come back
          continue;
        }
      }
      if ((re & POLLOUT) && k.off < k.out.size()) {
        ssize_t n = ::send(k.fd, k.out.data() + k.off, k.out.size() - k.off, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) k.off += static_cast<size_t>(n);
      }
    }
  }
  for (auto& k : conns)
    if (k.fd >= 0) ::close(k.fd);
}

[[noreturn]] void child_main(int cmd, int done) {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  for (;;) {
    Command c{};
    if (::read(cmd, &c, sizeof c) != static_cast<ssize_t>(sizeof c) || c.attack == Quit) _exit(0);
    attack(c);
    char b = 1;
    if (::write(done, &b, 1) != 1) _exit(1);
  }
}

// ---- the node's side --------------------------------------------------------------------------

size_t status_kib(const char* key) {
  std::ifstream f("/proc/self/status");
  std::string line;
  size_t klen = std::strlen(key);
  while (std::getline(f, line))
    if (line.compare(0, klen, key) == 0) return std::strtoull(line.c_str() + klen + 1, nullptr, 10);
  return 0;
}
size_t fd_count() {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n > 0 ? n - 1 : 0;  // the listing's own
}

// Counts the node's records by message.
class Counter : public log::Dispatcher {
 public:
  void event(const log::Record& r) override {
    std::lock_guard<std::mutex> g(m_);
    ++n_[std::string(r.message)];
  }
  std::map<std::string, size_t> take() {
    std::lock_guard<std::mutex> g(m_);
    return std::exchange(n_, {});
  }

 private:
  std::mutex m_;
  std::map<std::string, size_t> n_;
};

// (A step that gives no value ends the program: value() finds none.)
template <class T>
Value<T> wait(Runtime& rt, Task<T> t) {
  return std::move(rt.block_on(std::move(t)).value());
}

struct Phase {
  std::string name;
  size_t rss_peak_kib = 0, hwm_kib = 0, heap_peak_kib = 0, fds_peak = 0, fds_after = 0;
  int joins = 0, joined = 0;
  double slowest_join = 0;
  std::map<std::string, size_t> records;
  uint64_t decode_errors = 0, served = 0;
};

Settings lan(const std::string& name) {
  Settings s;  // the lan preset
  s.name = name;
  s.bind = SocketAddr::v4({127, 0, 0, 1}, 0);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  int secs = 15;
  size_t threads = 2;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--seconds")) secs = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--threads")) threads = static_cast<size_t>(std::atoi(argv[i + 1]));
  }
  // The attackers first, before any thread exists.
  int cmd[2], done[2];
  if (::pipe(cmd) != 0 || ::pipe(done) != 0) return 1;
  pid_t child = ::fork();
  if (child < 0) return 1;
  if (child == 0) {
    ::close(cmd[1]);
    ::close(done[0]);
    child_main(cmd[0], done[1]);
  }
  ::close(cmd[0]);
  ::close(done[1]);

  auto counter = std::make_shared<Counter>();
  log::set_dispatcher(counter);
  log::set_rank(4);
  auto rt_got = Runtime::get(threads);
  if (!rt_got) return 1;
  Runtime& rt = *rt_got.value();

  auto victim_r = wait(rt, Membership::start(rt, lan("victim")));
  if (!victim_r) {
    std::fprintf(stderr, "start: %s\n", victim_r.error().to_string().c_str());
    return 1;
  }
  Membership victim = std::move(victim_r.value());
  Settings hs = lan("honest");
  hs.seed_addrs = {victim.local_addr()};
  Membership honest = std::move(wait(rt, Membership::start(rt, std::move(hs))).value());
  std::this_thread::sleep_for(1s);
  std::printf("victim on %s; lan limits: %llu B frames, %llu inbound streams, %llu per address; %zu threads\n",
              victim.local_addr().to_string().c_str(), static_cast<unsigned long long>(kFrame), 64ull, 16ull, threads);

  std::vector<Phase> phases;
  for (int a = Idle; a < Quit; ++a) {
    Phase ph;
    ph.name = kNames[a];
    counter->take();
    malloc_trim(0);  // what the last phase freed goes back to the system
    { std::ofstream("/proc/self/clear_refs") << "5"; }  // restart the resident peak
    uint64_t errors0 = victim.stats().counters.decode_errors;
    uint64_t served0 = victim.stats().counters.push_pulls_served;
    std::atomic<bool> stop{false};
    std::thread sampler([&] {
      while (!stop) {
        ph.rss_peak_kib = std::max(ph.rss_peak_kib, status_kib("VmRSS:"));
        struct mallinfo2 mi = mallinfo2();
        ph.heap_peak_kib = std::max(ph.heap_peak_kib, (mi.uordblks + mi.hblkhd) / 1024);
        ph.fds_peak = std::max(ph.fds_peak, fd_count());
        std::this_thread::sleep_for(10ms);
      }
    });
    Command c{a, secs, victim.local_addr().port};
    if (::write(cmd[1], &c, sizeof c) != static_cast<ssize_t>(sizeof c)) return 1;
    // Fresh joins through the victim while the attack runs.
    pollfd pf{done[0], POLLIN, 0};
    for (;;) {
      auto t0 = steady_clock::now();
      Membership fresh = std::move(wait(rt, Membership::start(rt, lan("fresh-" + std::to_string(ph.joins)))).value());
      auto r = wait(rt, fresh.join_seeds({Seed::addr(victim.local_addr())}));
      double took = duration<double>(steady_clock::now() - t0).count();
      ++ph.joins;
      if (r && r.value() == 1) ++ph.joined;
      ph.slowest_join = std::max(ph.slowest_join, took);
      wait(rt, fresh.close());
      if (::poll(&pf, 1, 1000) > 0) break;  // the attack is over
    }
    char b;
    if (::read(done[0], &b, 1) != 1) return 1;
    stop = true;
    sampler.join();
    ph.hwm_kib = status_kib("VmHWM:");
    std::this_thread::sleep_for(3s);  // what the attack left open winds down
    ph.fds_after = fd_count();
    ph.records = counter->take();
    ph.decode_errors = victim.stats().counters.decode_errors - errors0;
    ph.served = victim.stats().counters.push_pulls_served - served0;
    phases.push_back(std::move(ph));
    std::printf("  %s done\n", kNames[a]);
    std::fflush(stdout);
  }
  Command q{Quit, 0, 0};
  if (::write(cmd[1], &q, sizeof q) < 0) return 1;
  ::waitpid(child, nullptr, 0);

  const Phase& idle = phases[0];
  auto mib = [](size_t kib) { return static_cast<double>(kib) / 1024; };
  auto ratio = [](size_t a, size_t b) { return static_cast<double>(a) / static_cast<double>(b ? b : 1); };
  std::printf("\n%-8s %10s %7s %10s %7s %10s %7s %8s %7s %9s %8s %12s\n", "phase", "peak RSS", "x idle", "VmHWM",
              "x idle", "peak heap", "x idle", "peak fds", "x idle", "fds after", "joins", "slowest join");
  for (const auto& p : phases) {
    std::printf("%-8s %6.1f MiB %6.2fx %6.1f MiB %6.2fx %6.1f MiB %6.2fx %8zu %6.2fx %9zu %4d/%-3d %10.3f s\n",
                p.name.c_str(), mib(p.rss_peak_kib), ratio(p.rss_peak_kib, idle.rss_peak_kib), mib(p.hwm_kib),
                ratio(p.hwm_kib, idle.hwm_kib), mib(p.heap_peak_kib), ratio(p.heap_peak_kib, idle.heap_peak_kib),
                p.fds_peak, ratio(p.fds_peak, idle.fds_peak), p.fds_after, p.joined, p.joins, p.slowest_join);
  }
  std::printf("\nwhat the victim dropped (DEBUG records) and counted:\n");
  const char* shown[] = {"too many inbound connections; dropped one",
                         "no room in the inbound buffer for this address; dropping connection",
                         "evicted to make room for another address's frame", "first frame refused; dropping connection",
                         "no valid header in time; dropping connection", "stream timed out"};
  for (const auto& p : phases) {
    std::printf("  %-8s push-pulls served %llu, decode_errors %llu\n", p.name.c_str(),
                static_cast<unsigned long long>(p.served), static_cast<unsigned long long>(p.decode_errors));
    for (const char* s : shown) {
      auto it = p.records.find(s);
      if (it != p.records.end()) std::printf("           %7zu  \"%s\"\n", it->second, s);
    }
  }
  wait(rt, honest.close());
  wait(rt, victim.close());
  return 0;
}
