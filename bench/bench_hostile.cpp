// A node with the lan preset's limits (8 MiB frames, 64 inbound streams, 16 per address,
// the default per-address byte allowance) in an encrypted cluster under hostile peers on
// loopback, against the same node at rest measured in the same run.
//
//   bench_hostile [--seconds 15] [--threads 2] [--only idle,udp,...]
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
//   udp         64 KiB datagrams whose header names the cluster's key (any captured packet
//               shows it) and whose tag is wrong, as fast as one sender can
//   stamps      small datagrams that authenticate at the victim but are stamped an hour back
//               (old captures replayed: their stamps lie outside the window), from 4,096
//               source ports, as fast as three senders can; each is a clock skew of its sender
//   replay      64 connections on 4 addresses, each opening with a frame that authenticates
//               at the victim (the worst an on-path attacker can replay: a frame captured on
//               its way to the victim and kept from it), then an 8 MiB frame of junk, over
//               and over
// Besides the resident figures, the heap in use (mallinfo2) is sampled: what the node holds,
// without what the allocator keeps for later.
// Throughout, a fresh node joins through the victim once a second (a push-pull over TCP from
// 127.0.0.1); the joins that succeeded and the slowest one are printed with the figures. A
// request goes through the victim's actor every 100 ms (a broadcast, answered once the
// engine has queued it): its latency, the probes the victim sent per second (it probes
// every 100 ms here) and the packets it read per second are compared with the idle phase's.
// The node's log records are rendered as a text log would write them, and counted.
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "net/lib.hpp"
#include "proto/message.hpp"
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
enum Attack : int { Idle = 0, Udp, Stamps, Flood, Silent, Garbage, Slow, Replay, Quit };
const char* const kNames[] = {"idle", "udp", "stamps", "flood", "silent", "garbage", "slow", "replay"};

// The cluster's key: bytes 0..31.
proto::Key cluster_key() {
  std::array<uint8_t, 32> k{};
  for (size_t i = 0; i < k.size(); ++i) k[i] = static_cast<uint8_t>(i);
  return proto::Key::from_array(k);
}

uint64_t wall_ms() {
  return static_cast<uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

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

// One attacking connection: its socket, its address, what it still has to send of its own,
// and then of a frame all connections share.
struct Conn {
  int fd = -1;
  uint8_t from = 0;
  std::vector<uint8_t> out;
  size_t off = 0;
  size_t shared_off = 0;
};

// 64 KiB datagrams with a valid header and a wrong tag, from one socket as fast as it goes.
uint64_t udp_flood(const Command& c, proto::Codec& codec, steady_clock::time_point end) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in src{}, dst{};
  src.sin_family = dst.sin_family = AF_INET;
  src.sin_addr.s_addr = htonl(0x7f000002u);
  dst.sin_addr.s_addr = htonl(0x7f000001u);
  dst.sin_port = htons(c.port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&dst), sizeof dst) != 0) {
    ::close(fd);
    return 0;
  }
  proto::Bytes d = codec.seal(proto::Bytes(65507 - proto::SEALED_OVERHEAD, 0x33), wall_ms());
  d.back() ^= 1;  // the tag no longer verifies
  uint64_t sent = 0;
  while (steady_clock::now() < end) {
    for (int i = 0; i < 256; ++i)
      if (::send(fd, d.data(), d.size(), 0) > 0) ++sent;
  }
  ::close(fd);
  return sent;
}

// Authentic datagrams for the victim stamped an hour back, from 4,096 sockets on 127.0.0.2 in
// turn, as fast as three senders can (more than the victim reads).
uint64_t stamp_flood(const Command& c, proto::Codec& codec, steady_clock::time_point end) {
  sockaddr_in src{}, dst{};
  src.sin_family = dst.sin_family = AF_INET;
  src.sin_addr.s_addr = htonl(0x7f000002u);
  dst.sin_addr.s_addr = htonl(0x7f000001u);
  dst.sin_port = htons(c.port);
  std::vector<int> fds;
  for (int i = 0; i < 4096; ++i) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) break;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&dst), sizeof dst) != 0) {
      ::close(fd);
      break;
    }
    fds.push_back(fd);
  }
  proto::Bytes payload;
  proto::encode(proto::Ack{1}, payload);
  const proto::Bytes d = codec.seal(payload, wall_ms() - 3'600'000, proto::Recipient{"victim", std::nullopt});
  std::atomic<uint64_t> sent{0};
  auto sender = [&](size_t first) {
    uint64_t n = 0;
    while (steady_clock::now() < end) {
      for (size_t k = first; k < fds.size(); k += 3)
        if (::send(fds[k], d.data(), d.size(), 0) > 0) ++n;
    }
    sent += n;
  };
  std::thread a(sender, 0), b(sender, 1);
  sender(2);
  a.join();
  b.join();
  for (int fd : fds) ::close(fd);
  return sent;
}

// The replay attack's second frame, the same for every connection: 8 MiB of junk.
const std::vector<uint8_t>& junk_frame() {
  static const std::vector<uint8_t> junk = [] {
    std::vector<uint8_t> f(4 + kFrame, 0x6b);
    f[0] = static_cast<uint8_t>(kFrame >> 24), f[1] = static_cast<uint8_t>(kFrame >> 16);
    f[2] = static_cast<uint8_t>(kFrame >> 8), f[3] = static_cast<uint8_t>(kFrame);
    return f;
  }();
  return junk;
}

// What a connection of the attack sends when it opens.
std::vector<uint8_t> opening(int attack, proto::Codec& codec, std::mt19937& rng) {
  if (attack == Slow) {
    // A largest frame whose header passes the check; all but its last 64 KiB.
    static std::vector<uint8_t> most = [&] {
      proto::Bytes f = proto::encode_frame(codec.seal(proto::Bytes(kFrame - codec.overhead(), 0x5a), 1));
      f.resize(f.size() - 64 * 1024);
      return f;
    }();
    return most;
  }
  if (attack == Garbage) {
    size_t len = 64 + rng() % (1024 * 1024);
    proto::Bytes p = codec.seal(proto::Bytes(len, 0), 1);
    for (size_t k = proto::HEADER_LEN; k < p.size(); ++k) p[k] = static_cast<uint8_t>(rng());
    return proto::encode_frame(p);
  }
  if (attack == Replay)
    return proto::encode_frame(codec.seal(proto::Bytes{}, wall_ms(), proto::Recipient{"victim", std::nullopt}));
  return {};
}

// The connections of one attack, each opened again as soon as the node ends it.
class Swarm {
 public:
  Swarm(const Command& c, proto::Codec& codec) : c_(c), codec_(codec) {
    if (c.attack == Replay) shared_ = &junk_frame();
    int addrs = 1, per = 1000;
    if (c.attack == Replay) addrs = 4, per = 16;
    if (c.attack == Slow) addrs = 48, per = 1;
    if (c.attack == Garbage) addrs = 8, per = 4;
    if (c.attack == Silent) addrs = 10, per = 30;
    for (int a = 0; a < addrs; ++a)
      for (int i = 0; i < per; ++i) conns_.push_back(Conn{-1, static_cast<uint8_t>(2 + a), {}, 0});
    for (auto& k : conns_) reopen(k);
  }
  Swarm(const Swarm&) = delete;
  Swarm& operator=(const Swarm&) = delete;
  ~Swarm() {
    for (auto& k : conns_)
      if (k.fd >= 0) ::close(k.fd);
  }

  void run_until(steady_clock::time_point end) {
    while (steady_clock::now() < end) {
      pfds_.clear();
      for (auto& k : conns_) {
        short ev = POLLIN;
        if (unsent(k)) ev |= POLLOUT;
        pfds_.push_back(pollfd{k.fd, ev, 0});
      }
      ::poll(pfds_.data(), pfds_.size(), 10);
      for (size_t i = 0; i < conns_.size(); ++i) serve(conns_[i], pfds_[i].revents);
    }
  }

 private:
  void reopen(Conn& k) {
    if (k.fd >= 0) ::close(k.fd);
    k.fd = open_from(k.from, c_.port);
    k.out = opening(c_.attack, codec_, rng_);
    k.off = 0;
    k.shared_off = 0;
  }
  bool unsent(const Conn& k) const {
    return k.off < k.out.size() || (shared_ && k.shared_off < shared_->size());
  }
  // Reads what the node sent (and comes back when it ended the connection), then writes on.
  void serve(Conn& k, short re) {
    if (k.fd < 0) {
      reopen(k);
      return;
    }
    if (re & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t n = ::recv(k.fd, sink_.data(), sink_.size(), MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
        reopen(k);  // the node ended it: come back
        return;
      }
    }
    if ((re & POLLOUT) && k.off < k.out.size()) {
      ssize_t n = ::send(k.fd, k.out.data() + k.off, k.out.size() - k.off, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) k.off += static_cast<size_t>(n);
    } else if ((re & POLLOUT) && unsent(k)) {
      ssize_t n = ::send(k.fd, shared_->data() + k.shared_off, shared_->size() - k.shared_off,
                         MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) k.shared_off += static_cast<size_t>(n);
    }
  }

  const Command& c_;
  proto::Codec& codec_;
  std::mt19937 rng_{42};
  const std::vector<uint8_t>* shared_ = nullptr;  // sent by every connection after its own bytes
  std::vector<Conn> conns_;
  std::vector<pollfd> pfds_;
  std::vector<uint8_t> sink_ = std::vector<uint8_t>(65536);
};

// Runs one attack until the deadline; every connection the node ends is opened again.
// Returns the datagrams sent (udp), else 0.
uint64_t attack(const Command& c) {
  const auto end = steady_clock::now() + seconds(c.seconds);
  std::array<uint8_t, 32> nk{};
  nk[0] = 0xa7;  // another nonce stream than any node's
  proto::Codec codec("default", std::vector<proto::Key>{cluster_key()}, std::span<const uint8_t, 32>(nk));
  if (c.attack == Udp) return udp_flood(c, codec, end);
  if (c.attack == Stamps) return stamp_flood(c, codec, end);
  if (c.attack == Idle) {
    while (steady_clock::now() < end) std::this_thread::sleep_for(10ms);
    return 0;
  }
  Swarm swarm(c, codec);
  swarm.run_until(end);
  return 0;
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
    uint64_t n = attack(c);
    if (::write(done, &n, sizeof n) != static_cast<ssize_t>(sizeof n)) _exit(1);
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

// Counts the node's records by message, each rendered as a text log writes it.
class Counter : public log::Dispatcher {
 public:
  void event(const log::Record& r) override {
    const std::string line = log::render_line(r);
    std::lock_guard<std::mutex> g(m_);
    ++n_[std::string(r.message)];
    bytes_ += line.size();
  }
  std::map<std::string, size_t> take() {
    std::lock_guard<std::mutex> g(m_);
    return std::exchange(n_, {});
  }

 private:
  std::mutex m_;
  std::map<std::string, size_t> n_;
  size_t bytes_ = 0;  // (kept, so the rendering is not optimised away)
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
  uint64_t decode_errors = 0, decrypt_failures = 0, served = 0, datagrams = 0, read = 0, replays = 0;
  std::vector<double> latencies;  // of the requests through the actor, in seconds
  int requests = 0;               // issued during the phase
  double probes_per_s = 0;
};

// The lan preset's limits in an encrypted cluster; the victim probes every 100 ms so its
// probe rate is measured over many probes.
Settings lan(const std::string& name, bool fast_probes = false) {
  Settings s;
  s.name = name;
  s.bind = SocketAddr::v4({127, 0, 0, 1}, 0);
  s.config.keys = std::vector<proto::Key>{cluster_key()};
  if (fast_probes) {
    s.config.probe_interval = core::Duration::from_millis(100);
    s.config.probe_timeout = core::Duration::from_millis(50);
    s.config.gossip_interval = core::Duration::from_millis(50);
  }
  return s;
}

double quantile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
}

struct Options {
  int secs = 15;
  size_t threads = 2;
  std::string only;

  Options(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
      if (!std::strcmp(argv[i], "--seconds")) secs = std::atoi(argv[i + 1]);
      if (!std::strcmp(argv[i], "--threads")) threads = static_cast<size_t>(std::atoi(argv[i + 1]));
      if (!std::strcmp(argv[i], "--only")) only = argv[i + 1];
    }
  }
  // The idle phase is the baseline of every ratio: always measured.
  bool wanted(int a) const {
    if (a == Idle || only.empty()) return true;
    std::string list = "," + only + ",";
    return list.find("," + std::string(kNames[a]) + ",") != std::string::npos;
  }
};

// The attacking child and the pipes to it: commands one way, each attack's end the other.
struct Child {
  pid_t pid = -1;
  int cmd = -1;
  int done = -1;
};

// Forks the attackers; to be called before any thread exists.
std::optional<Child> fork_attackers() {
  int cmd[2], done[2];
  if (::pipe(cmd) != 0 || ::pipe(done) != 0) return std::nullopt;
  pid_t child = ::fork();
  if (child < 0) return std::nullopt;
  if (child == 0) {
    ::close(cmd[1]);
    ::close(done[0]);
    child_main(cmd[0], done[1]);
  }
  ::close(cmd[0]);
  ::close(done[1]);
  return Child{child, cmd[1], done[0]};
}

// Fresh nodes join through the victim, one a second, until the child says the attack is over.
void join_until_done(Runtime& rt, Membership& victim, Phase& ph, int done) {
  pollfd pf{done, POLLIN, 0};
  for (;;) {
    auto t0 = steady_clock::now();
    Membership fresh = std::move(wait(rt, Membership::start(rt, lan("fresh-" + std::to_string(ph.joins)))).value());
    auto r = wait(rt, fresh.join_seeds({Seed::addr(victim.local_addr())}));
    double took = duration<double>(steady_clock::now() - t0).count();
    ++ph.joins;
    if (r && r.value() == 1) ++ph.joined;
    ph.slowest_join = std::max(ph.slowest_join, took);
    // Gone by leaving: a crashed one would leave the victim probing a dead member.
    (void)wait(rt, fresh.leave(std::chrono::seconds(5)));
    wait(rt, fresh.close());
    if (::poll(&pf, 1, 1000) > 0) return;  // the attack is over
  }
}

// One phase: the attack runs in the child while this process joins, sends requests through
// the victim's actor and samples its own memory and descriptors. None when the child fails.
std::optional<Phase> run_phase(Runtime& rt, Membership& victim, Counter& counter, const Child& child, int a,
                               int secs) {
  Phase ph;
  ph.name = kNames[a];
  counter.take();
  malloc_trim(0);  // what the last phase freed goes back to the system
  { std::ofstream("/proc/self/clear_refs") << "5"; }  // restart the resident peak
  const core::Counters c0 = victim.stats().counters;
  const auto phase_start = steady_clock::now();
  std::atomic<bool> stop{false};
  // A request through the actor every 100 ms, one at a time.
  std::thread requester([&] {
    while (!stop) {
      auto s0 = steady_clock::now();
      ++ph.requests;
      auto r = wait(rt, victim.broadcast(proto::Bytes{1}));
      if (r) ph.latencies.push_back(duration<double>(steady_clock::now() - s0).count());
      std::this_thread::sleep_until(s0 + 100ms);
    }
  });
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
  bool ok = ::write(child.cmd, &c, sizeof c) == static_cast<ssize_t>(sizeof c);
  if (ok) join_until_done(rt, victim, ph, child.done);
  ok = ok && ::read(child.done, &ph.datagrams, sizeof ph.datagrams) == static_cast<ssize_t>(sizeof ph.datagrams);
  const core::Counters c1 = victim.stats().counters;
  const double took = duration<double>(steady_clock::now() - phase_start).count();
  ph.probes_per_s = static_cast<double>(c1.probes_sent - c0.probes_sent) / took;
  ph.read = c1.packets_received - c0.packets_received;
  ph.replays = c1.replays_dropped - c0.replays_dropped;
  stop = true;
  sampler.join();
  requester.join();
  if (!ok) return std::nullopt;
  ph.hwm_kib = status_kib("VmHWM:");
  std::this_thread::sleep_for(3s);  // what the attack left open winds down
  ph.fds_after = fd_count();
  ph.records = counter.take();
  ph.decode_errors = victim.stats().counters.decode_errors - c0.decode_errors;
  ph.decrypt_failures = victim.stats().counters.decrypt_failures - c0.decrypt_failures;
  ph.served = victim.stats().counters.push_pulls_served - c0.push_pulls_served;
  return ph;
}

void print_figures(const std::vector<Phase>& phases, int secs) {
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
  const double idle_p50 = quantile(idle.latencies, 0.5), idle_max = quantile(idle.latencies, 1.0);
  std::printf("\n%-8s %12s %7s %12s %7s %10s %10s %7s %12s %10s\n", "phase", "request p50", "x idle", "request max",
              "x idle", "answered", "probes/s", "x idle", "datagrams/s", "read/s");
  for (const auto& p : phases) {
    double p50 = quantile(p.latencies, 0.5), mx = quantile(p.latencies, 1.0);
    std::printf("%-8s %9.3f ms %6.2fx %9.3f ms %6.2fx %5zu/%-4d %10.2f %6.2fx %12.0f %10.0f\n", p.name.c_str(),
                p50 * 1e3, p50 / idle_p50, mx * 1e3, mx / idle_max, p.latencies.size(), p.requests, p.probes_per_s,
                p.probes_per_s / idle.probes_per_s, static_cast<double>(p.datagrams) / secs,
                static_cast<double>(p.read) / secs);
  }
}

void print_records(const std::vector<Phase>& phases) {
  std::printf("\nwhat the victim dropped and said (its records), and counted:\n");
  const char* shown[] = {"too many inbound connections; dropped one",
                         "no room in the inbound buffer for this address; dropping connection",
                         "evicted to make room for another address's frame", "first frame refused; dropping connection",
                         "no valid header in time; dropping connection", "stream timed out",
                         "peer clock differs from ours by more than the window allows"};
  for (const auto& p : phases) {
    std::printf("  %-8s push-pulls served %llu, decode_errors %llu, decrypt_failures %llu, replays_dropped %llu\n",
                p.name.c_str(), static_cast<unsigned long long>(p.served),
                static_cast<unsigned long long>(p.decode_errors), static_cast<unsigned long long>(p.decrypt_failures),
                static_cast<unsigned long long>(p.replays));
    for (const char* s : shown) {
      auto it = p.records.find(s);
      if (it != p.records.end()) std::printf("           %7zu  \"%s\"\n", it->second, s);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Options opt(argc, argv);
  // The attackers first, before any thread exists.
  std::optional<Child> child = fork_attackers();
  if (!child) return 1;

  auto counter = std::make_shared<Counter>();
  log::set_dispatcher(counter);
  log::set_rank(4);
  auto rt_got = Runtime::get(opt.threads);
  if (!rt_got) return 1;
  Runtime& rt = *rt_got.value();

  auto victim_r = wait(rt, Membership::start(rt, lan("victim", true)));
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
              victim.local_addr().to_string().c_str(), static_cast<unsigned long long>(kFrame), 64ull, 16ull,
              opt.threads);

  std::vector<Phase> phases;
  for (int a = Idle; a < Quit; ++a) {
    if (!opt.wanted(a)) continue;
    std::optional<Phase> ph = run_phase(rt, victim, *counter, *child, a, opt.secs);
    if (!ph) return 1;
    phases.push_back(std::move(*ph));
    std::printf("  %s done\n", kNames[a]);
    std::fflush(stdout);
  }
  Command q{Quit, 0, 0};
  if (::write(child->cmd, &q, sizeof q) < 0) return 1;
  ::waitpid(child->pid, nullptr, 0);

  print_figures(phases, opt.secs);
  print_records(phases);
  wait(rt, honest.close());
  wait(rt, victim.close());
  return 0;
}
