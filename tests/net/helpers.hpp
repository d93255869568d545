// Shared helpers of the runtime tests: short timings, loopback nodes, waiting for a
// condition with a bound, and counting threads and descriptors of the process.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "net/lib.hpp"
#include "net/log.hpp"
#include "net/lookups.hpp"

namespace vennock::net::testing {

using namespace std::chrono_literals;

// Every record of the test program, kept for the tests to look at (installed once; records
// are also printed when VENNOCK_TEST_LOG is set).
struct LogLine {
  log::Level level;
  std::string target;
  std::string text;  // message and fields
};
class Capture : public log::Dispatcher {
 public:
  void event(const log::Record& r) override {
    std::string text = log::render_text(r);
    if (print_) {
      std::string line = log::render_line(r);
      std::fwrite(line.data(), 1, line.size(), stderr);
    }
    std::lock_guard<std::mutex> g(m_);
    lines_.push_back(LogLine{r.level, std::string(r.target), std::move(text)});
  }
  size_t mark() {
    std::lock_guard<std::mutex> g(m_);
    return lines_.size();
  }
  // Room for n more records, so keeping them allocates little while a test measures memory.
  void reserve(size_t n) {
    std::lock_guard<std::mutex> g(m_);
    lines_.reserve(lines_.size() + n);
  }
  std::vector<LogLine> since(size_t mark) {
    std::lock_guard<std::mutex> g(m_);
    return std::vector<LogLine>(lines_.begin() + static_cast<std::ptrdiff_t>(mark), lines_.end());
  }
  // Records since `mark` whose text starts with `prefix`.
  size_t count(size_t mark, std::string_view prefix, std::optional<log::Level> level = std::nullopt) {
    size_t n = 0;
    for (const auto& l : since(mark))
      if (l.text.starts_with(prefix) && (!level || l.level == *level)) ++n;
    return n;
  }
  bool print_ = std::getenv("VENNOCK_TEST_LOG") != nullptr;

 private:
  std::mutex m_;
  std::vector<LogLine> lines_;
};

inline Capture& capture() {
  static Capture* c = [] {
    auto cap = std::make_shared<Capture>();
    Capture* raw = cap.get();
    log::set_dispatcher(cap);
    log::set_rank(5);
    return raw;
  }();
  return *c;
}

// The process runtime the loopback tests share.
inline Runtime& runtime() {
  static Runtime* rt = Runtime::get(2).value();
  return *rt;
}

// Loopback, port 0, timings short enough for a test to see failure detection in a second.
inline Settings fast_settings(const std::string& name) {
  Settings s = Settings::local();
  s.name = name;
  s.bind.port = 0;
  s.config.probe_interval = core::Duration::from_millis(100);
  s.config.probe_timeout = core::Duration::from_millis(50);
  s.config.gossip_interval = core::Duration::from_millis(50);
  s.config.push_pull_interval = core::Duration::from_secs(2);
  s.config.suspicion_mult = 2;
  s.config.dead_reclaim = core::Duration::from_secs(30);
  s.config.tcp_timeout = core::Duration::from_secs(2);
  s.resolve_timeout = core::Duration::from_secs(2);
  return s;
}

// Runs a task on the shared runtime and waits for its value; a task that gives none ends the
// test program (there is no value to go on with).
template <class T>
Value<T> run(Task<T> t) {
  auto r = runtime().block_on(std::move(t));
  if (!r) {
    ADD_FAILURE() << blocked_text(r.error());
    std::abort();
  }
  return std::move(r.value());
}

inline Membership start(Settings s) {
  auto r = run(Membership::start(runtime(), std::move(s)));
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().to_string());
  return std::move(r.value());
}

inline Seed seed_of(const Membership& m) { return Seed::addr(m.local_addr()); }

// Starts and closes a node once per process, so that the reactor's own descriptors exist
// before a test takes its count of descriptors.
inline void warm_up() {
  static const bool done = [] {
    Membership m = start(fast_settings("warm"));
    run(m.close());
    return true;
  }();
  (void)done;
}

namespace detail {
inline Task<int> nothing() { co_return 0; }
}  // namespace detail

// Returns once every handler posted to `s` before the call has run: a task spawned there has
// made its first run (and, when it waits, parked), since a strand runs handlers in the order
// they were posted. Orders a test by the runtime's own steps, where a pause would only guess.
inline void settle(Strand s) { spawn(s, detail::nothing()).wait(); }

// The system call that the thread `tid` of this process is in (Linux: /proc/<tid>/syscall),
// and its first argument; -1 when it is running or gone.
inline std::pair<long, long> syscall_of(pid_t tid) {
  std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
  FILE* f = std::fopen(path.c_str(), "r");
  long nr = -1;
  unsigned long arg = 0;
  int got = f ? std::fscanf(f, "%ld %lx", &nr, &arg) : 0;
  if (f) std::fclose(f);
  return {got >= 1 ? nr : -1, got == 2 ? static_cast<long>(arg) : -1};
}

inline bool eventually(const std::function<bool()>& f, std::chrono::milliseconds limit = 10s) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (f()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return f();
}

// The codec of a peer in a plaintext cluster with this label.
inline proto::Codec plain_codec(const std::string& label = "default") {
  std::array<uint8_t, 32> nk{};
  return proto::Codec(label, std::nullopt, std::span<const uint8_t, 32>(nk));
}

// A TCP listener on 127.0.0.1 with a port of the system's choosing.
inline transport::TcpListener loopback_listener() {
  SocketAddr lo;
  lo.ip = {127, 0, 0, 1};
  auto l = transport::tcp_listener(runtime().io(), lo);
  EXPECT_TRUE(l.ok());
  return std::move(l.value());
}

// The next connection a listener has, waiting for it up to a bound.
inline std::optional<std::pair<transport::TcpStream, SocketAddr>> accept_one(transport::TcpListener& l) {
  std::optional<std::pair<transport::TcpStream, SocketAddr>> got;
  EXPECT_TRUE(eventually([&] {
    auto r = l.try_accept();
    if (r) got.emplace(std::move(r.value()));
    return got.has_value();
  }));
  return got;
}

inline size_t count_dir(const char* path) {
  size_t n = 0;
  if (DIR* d = opendir(path)) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}
inline size_t thread_count() { return count_dir("/proc/self/task"); }
inline size_t fd_count() { return count_dir("/proc/self/fd"); }

// A plain TCP socket bound to 127.0.0.`from` (a port of the system's choice) and connected to
// `to`: how a test plays peers at several addresses on loopback. -1 when it failed. With
// `nonblocking`, the connect is started and not waited for.
inline int connect_from(uint8_t from, const SocketAddr& to, bool nonblocking = false) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0), 0);
  if (fd < 0) return -1;
  sockaddr_in src{};
  src.sin_family = AF_INET;
  src.sin_addr.s_addr = htonl(0x7f000000u | from);
  sockaddr_storage ss;
  socklen_t len = to_sockaddr(to, ss);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0 ||
      (::connect(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 && errno != EINPROGRESS)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Waits until the tasks of earlier tests (aborted nodes wind down in the background) are gone.
inline size_t settled_tasks() {
  eventually([] { return Runtime::live_tasks() == 0; }, 5s);
  return Runtime::live_tasks();
}

inline std::optional<core::Member> find(const std::vector<core::Member>& v, const std::string& name) {
  for (const auto& m : v)
    if (m.name == name) return m;
  return std::nullopt;
}

// Stands in for the process's resolver while it lives: every lookup waits in it until the
// helper goes, then answers `answer`. `begun()` waits (bounded) for the first to come in.
class HeldLookup {
 public:
  explicit HeldLookup(std::pair<std::vector<SocketAddr>, std::string> answer) {
    set_system_lookup([st = st_, answer = std::move(answer)](const std::string&, uint16_t) {
      std::unique_lock<std::mutex> g(st->m);
      st->begun = true;
      st->cv.notify_all();
      st->cv.wait(g, [&] { return st->let_go; });
      return answer;
    });
  }
  ~HeldLookup() {
    {
      std::lock_guard<std::mutex> g(st_->m);
      st_->let_go = true;
    }
    st_->cv.notify_all();
    set_system_lookup(nullptr);
  }
  HeldLookup(const HeldLookup&) = delete;
  HeldLookup& operator=(const HeldLookup&) = delete;
  bool begun() {
    std::unique_lock<std::mutex> g(st_->m);
    return st_->cv.wait_for(g, 10s, [&] { return st_->begun; });
  }

 private:
  // Shared with the lookup threads, which may outlive the helper.
  struct State {
    std::mutex m;
    std::condition_variable cv;
    bool begun = false, let_go = false;
  };
  std::shared_ptr<State> st_ = std::make_shared<State>();
};

}  // namespace vennock::net::testing
