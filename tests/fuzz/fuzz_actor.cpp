// The runtime's input side: a node's actor, with the real engine, over a scripted transport.
// An input is a script of datagrams (arbitrary or sealed for the node), accepted connections
// carrying arbitrary bytes (or a sealed first frame, then anything), requests through the
// handle, and pauses that let the timers run. Every connection is a socket pair whose far
// end the script writes, so the stream tasks, the byte budget and the actor's scheduling
// run as they do on a network. Checks that nothing crashes, that the node answers its
// requests and closes, and that no task of it outlives the close.
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "net/lib.hpp"
#include "proto/stream.hpp"

using namespace vennock;
using namespace vennock::net;
using namespace std::chrono_literals;

namespace {

const SocketAddr kSelf = SocketAddr::v4({127, 0, 0, 1}, 7946);

// Up to `max` bytes of the input, as many as its next two bytes say.
proto::Bytes take(FuzzedDataProvider& in, size_t max) {
  return in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, max));
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

// What the script hands the actor: datagrams to receive and connections to accept, taken
// in order; nothing arrives after the actor has started, so readiness is just "not empty".
struct FuzzTransport {
  std::mutex m;
  std::deque<std::pair<proto::Bytes, SocketAddr>> datagrams;
  std::deque<std::pair<int, SocketAddr>> connections;  // the node's end of each pair
  asio::io_context* io = nullptr;

  size_t waiting() {
    std::lock_guard<std::mutex> g(m);
    return datagrams.size() + connections.size();
  }
  Result<size_t, IoError> send_datagram(const SocketAddr&, proto::ByteView b) { return b.size(); }
  const SocketAddr& local_addr() const { return kSelf; }

  struct Udp {
    FuzzTransport* t;
    bool poll_readable() { return t->waiting_datagram(); }
    void clear_readable() {}
    Result<std::pair<size_t, SocketAddr>, IoError> try_recv_from(std::span<uint8_t> buf) {
      std::lock_guard<std::mutex> g(t->m);
      if (t->datagrams.empty()) return err(IoError::os(EAGAIN));
      auto [d, from] = std::move(t->datagrams.front());
      t->datagrams.pop_front();
      // As recvfrom with MSG_TRUNC: the whole length, the start of it in the buffer.
      std::copy_n(d.begin(), std::min(d.size(), buf.size()), buf.begin());
      return std::make_pair(d.size(), from);
    }
  } udp_{this};
  struct Listener {
    FuzzTransport* t;
    bool poll_acceptable() { return t->waiting_connection(); }
    void clear_acceptable() {}
    Result<std::pair<transport::TcpStream, SocketAddr>, IoError> try_accept() {
      std::lock_guard<std::mutex> g(t->m);
      if (t->connections.empty()) return err(IoError::os(EAGAIN));
      auto [fd, from] = t->connections.front();
      t->connections.pop_front();
      auto s = transport::TcpStream::adopt(*t->io, fd, false);
      if (!s) return err(s.error());
      return std::make_pair(std::move(s.value()), from);
    }
  } listener_{this};
  Udp& udp() { return udp_; }
  Listener& listener() { return listener_; }
  bool waiting_datagram() {
    std::lock_guard<std::mutex> g(m);
    return !datagrams.empty();
  }
  bool waiting_connection() {
    std::lock_guard<std::mutex> g(m);
    return !connections.empty();
  }
  // Nobody is ever reachable: outbound streams fail at once.
  Task<Result<transport::TcpStream, IoError>> connect(SocketAddr, Instant) { co_return err(IoError::os(ECONNREFUSED)); }
};

Runtime& runtime() {
  static Runtime* rt = Runtime::get(2).value();
  return *rt;
}

proto::Key fuzz_key() {
  std::array<uint8_t, 32> k{};
  k.fill(9);
  return proto::Key::from_array(k);
}

core::Config fast_config(bool encrypted) {
  core::Config c;
  c.probe_interval = core::Duration::from_millis(2);
  c.probe_timeout = core::Duration::from_millis(1);
  c.gossip_interval = core::Duration::from_millis(1);
  c.push_pull_interval = core::Duration::from_millis(5);
  c.reconnect_interval = core::Duration::from_millis(5);
  c.tcp_timeout = core::Duration::from_millis(20);
  c.suspicion_mult = 1;
  c.max_stream_frame = 64 * 1024;
  c.max_user_message = 16 * 1024;
  c.max_members = 64;
  if (encrypted) c.keys = std::vector<proto::Key>{fuzz_key()};
  return c;
}

uint64_t wall_ms() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
}

enum Req : uint8_t { Join, Leave, SetMeta, Send, Broadcast, Key };

// What one input asks for: the transport's datagrams and connections, the script's ends of
// those connections, and the requests to make through the handle.
struct Script {
  std::shared_ptr<FuzzTransport> t = std::make_shared<FuzzTransport>();
  std::vector<int> peers;
  std::vector<std::pair<Req, proto::Bytes>> requests;
};

// A socket pair whose far end has already written `out`; none when no pair could be made.
std::optional<std::array<int, 2>> written_pair(const proto::Bytes& out) {
  std::array<int, 2> fds{};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds.data()) != 0) return std::nullopt;
  size_t off = 0;
  while (off < out.size()) {
    ssize_t w = ::send(fds[1], out.data() + off, out.size() - off, MSG_NOSIGNAL);
    if (w <= 0) break;
    off += static_cast<size_t>(w);
  }
  return fds;
}

Script read_script(FuzzedDataProvider& in, proto::Codec& peer) {
  auto sealed = [&](const proto::Bytes& payload, bool by_address) {
    proto::Recipient to{"fuzz", std::nullopt};
    if (by_address) to = proto::Recipient{{}, kSelf};
    return peer.seal(payload, wall_ms(), to);
  };
  auto from = [&] { return SocketAddr::v4({127, 0, 0, in.ConsumeIntegralInRange<uint8_t>(2, 5)}, 7946); };
  Script sc;
  int ops = 0;
  while (in.remaining_bytes() > 0 && ops++ < 64) {
    const uint8_t op = in.ConsumeIntegralInRange<uint8_t>(0, 5);
    if (op == 0) {  // an arbitrary datagram, up to larger than any the node takes
      proto::Bytes b = take(in, 70000);
      sc.t->datagrams.emplace_back(std::move(b), from());
    } else if (op == 1) {  // a sealed datagram with an arbitrary payload
      proto::Bytes payload = take(in, 1500);
      sc.t->datagrams.emplace_back(sealed(payload, false), from());
    } else if (op == 2 || op == 3) {
      // A connection carrying arbitrary bytes, or one opening with a sealed frame (by name,
      // or by address as a join), then anything.
      proto::Bytes out;
      if (op == 3) {
        proto::Bytes payload = take(in, 2000);
        out = proto::encode_frame(sealed(payload, in.ConsumeBool()));
      }
      proto::Bytes rest = take(in, 20000);
      out.insert(out.end(), rest.begin(), rest.end());
      auto fds = written_pair(out);
      if (!fds) continue;
      if (in.ConsumeBool()) ::shutdown((*fds)[1], SHUT_WR);  // the peer ends its side
      sc.peers.push_back((*fds)[1]);
      sc.t->connections.emplace_back((*fds)[0], from());
    } else if (op == 4) {
      Req r = static_cast<Req>(in.ConsumeIntegralInRange<uint8_t>(0, 5));
      sc.requests.emplace_back(r, take(in, 300));
    }
  }
  return sc;
}

actor::Options fuzz_options(const core::Config& cfg) {
  actor::Options options;
  options.max_stream_frame = cfg.max_stream_frame;
  options.tcp_timeout = cfg.tcp_timeout;
  options.tcp_header_timeout = core::Duration::from_millis(10);
  options.max_inbound_streams = 8;
  options.max_inbound_streams_per_ip = 3;
  options.max_inbound_bytes_per_ip = cfg.max_stream_frame + 4;
  options.udp_max_payload = cfg.udp_max_payload;
  options.rejoin_interval = core::Duration::from_millis(3);
  options.seeds = {Seed::addr(SocketAddr::v4({127, 0, 0, 9}, 7946))};
  return options;
}

// Requests through the handle, each answered (whatever the answer) while the script's input
// comes in.
void make_requests(Membership& node, const std::vector<std::pair<Req, proto::Bytes>>& requests) {
  auto answered = [](auto handle) { check(handle.wait().completed(), "a request answered"); };
  const proto::Key fallback = fuzz_key();
  for (auto& [r, b] : requests) {
    switch (r) {
      case Join: answered(runtime().spawn(node.join_seeds({Seed::addr(SocketAddr::v4({127, 0, 0, 9}, 7946))}))); break;
      case Leave: answered(runtime().spawn(node.leave(std::chrono::seconds(1)))); break;
      case SetMeta: answered(runtime().spawn(node.set_meta(b))); break;
      case Send: answered(runtime().spawn(node.send("fuzz", 0, b))); break;
      case Broadcast: answered(runtime().spawn(node.broadcast(b))); break;
      case Key: {
        auto k = b.size() >= 32 ? proto::Key::from_bytes(proto::ByteView(b).first(32)) : std::optional(fallback);
        answered(runtime().spawn(node.keyring().install(*k)));
        break;
      }
    }
  }
}

// Waits until the script's datagrams and connections are taken, and a little longer for the
// timers and the streams; then closes the node and checks that nothing of it is left running
// (the close waited for its tasks; the handle's own calls wind down a moment after answering).
void close_and_check(Membership& node, Script& sc, size_t tasks_before) {
  auto end = std::chrono::steady_clock::now() + 200ms;
  while (sc.t->waiting() != 0 && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(100us);
  check(sc.t->waiting() == 0, "every input taken within 200 ms");
  std::this_thread::sleep_for(2ms);
  check(runtime().spawn(node.close()).wait().completed(), "close");
  for (int fd : sc.peers) ::close(fd);
  end = std::chrono::steady_clock::now() + 1s;
  while (Runtime::live_tasks() > tasks_before && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(100us);
  check(Runtime::live_tasks() <= tasks_before, "no task outlives the close");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const bool encrypted = in.ConsumeBool();
  core::Config cfg = fast_config(encrypted);
  std::array<uint8_t, 32> nk{};
  nk[0] = 3;
  proto::Codec peer(cfg.cluster, cfg.keys, nk);
  Script sc = read_script(in, peer);
  sc.t->io = &runtime().io();

  actor::Options options = fuzz_options(cfg);
  const size_t tasks_before = Runtime::live_tasks();
  actor::Clock clock;
  auto made = core::Node::create(std::move(cfg), core::Identity{"fuzz", {}, kSelf, wall_ms()}, clock.now(), 5, nk);
  check(made.ok(), "the fuzz configuration");
  Membership node = Membership::launch(runtime(), std::move(made.value()), std::move(options), clock, sc.t,
                                       core::Duration::from_millis(10), 16);
  make_requests(node, sc.requests);
  close_and_check(node, sc, tasks_before);
  return 0;
}
