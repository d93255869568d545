// The node's actor: one task that owns the engine, the sockets, the streams and the callers
// waiting on commands, so the engine is only ever touched by one task.
//
// Each turn of the loop first hands the engine the wall clock (the engine's own time is a
// monotonic clock, which stops while the host sleeps), then gives every kind of input a
// bounded share, in a fixed order: datagrams, stream reports, connections to accept, requests from the handle, seed addresses
// resolved for a rejoin. Each input goes to the engine and its outputs are flushed. Every
// turn then ends the same way: the engine's timers run when due, a rejoin starts when due,
// and the counters are republished when they changed. A busy turn yields the thread before
// the next; an idle one sleeps until the engine's next deadline or an input.
//
// The actor is generic over its engine and its transport, so the flush and the stream
// bookkeeping can be driven by a scripted engine in tests.
#pragma once

#include <asio/post.hpp>

#include <algorithm>
#include <deque>
#include <exception>
#include <functional>
#include <string_view>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "net/addr.hpp"
#include "net/conn.hpp"
#include "net/epoch.hpp"
#include "net/log.hpp"
#include "net/runtime.hpp"
#include "net/seed.hpp"
#include "net/shared.hpp"

namespace vennock::net::actor {

using core::StreamId;

struct Options {
  std::vector<seed::Seed> seeds;
  core::Duration rejoin_interval = core::Duration::from_secs(60);
  uint64_t max_stream_frame = 8 * 1024 * 1024;
  core::Duration tcp_timeout = core::Duration::from_secs(10);
  core::Duration tcp_header_timeout = core::Duration::from_secs(1);
  uint64_t max_inbound_streams = 64;
  uint64_t max_inbound_streams_per_ip = 16;
  uint64_t max_inbound_bytes_per_ip = 8 * 1024 * 1024 + 4;
  // No honest sender's datagram is larger (the cluster shares the setting): a larger one is
  // refused by its length alone, without being copied in whole or authenticated.
  uint64_t udp_max_payload = 65536;

  // The receive buffer: the largest datagram taken, at most what UDP can carry.
  size_t datagram_buffer() const {
    return static_cast<size_t>(std::min<uint64_t>(std::max<uint64_t>(udp_max_payload, 1), 65536));
  }

  conn::StreamSettings streams() const {
    return conn::StreamSettings{max_stream_frame, std::chrono::nanoseconds(sat(tcp_timeout.as_nanos())),
                                std::chrono::nanoseconds(sat(tcp_header_timeout.as_nanos()))};
  }
  static int64_t sat(uint64_t ns) { return ns > uint64_t{INT64_MAX} ? INT64_MAX : static_cast<int64_t>(ns); }
};

// The actor's entry for one live stream.
struct Conn {
  Sender<conn::Write> tx;
  uint64_t task = 0;  // serial of the stream task this entry belongs to
  AbortHandle abort;
  bool ended = false;  // the engine has been told the stream closed or failed
  // Inbound streams: the address the connection arrived at (a joiner may address its first
  // frame to it).
  std::optional<SocketAddr> local;
};

using Accepted = std::deque<std::pair<StreamId, IpAddr>>;

// The inbound stream to drop so a new connection from `ip` can be admitted, if any: the
// oldest stream of `ip` when that address already has `per_ip` streams; otherwise, when the
// queue holds `total` streams, the oldest stream of the address with the most streams (ties
// go to the address whose oldest stream is oldest). Changes nothing.
std::optional<StreamId> evict_for(const Accepted& queue, const IpAddr& ip, size_t per_ip, size_t total);

// The rejoin resolve task: resolves the seeds and hands the addresses (possibly none) to the
// actor; dropped if the actor has gone.
Task<void> rejoin(Runtime& rt, std::vector<seed::Seed> seeds, Sender<std::vector<SocketAddr>> out);

// What one turn of the loop takes at most of each kind of input. Datagrams and stream
// reports also stop once they have had kSlice of the turn (a report may carry a frame of
// megabytes to open).
inline constexpr size_t kDatagramsPerTurn = 64;
inline constexpr size_t kReportsPerTurn = 64;
inline constexpr size_t kAcceptsPerTurn = 16;
inline constexpr size_t kRequestsPerTurn = 16;
inline constexpr auto kSlice = std::chrono::milliseconds(1);
inline constexpr auto kUdpPause = std::chrono::milliseconds(10);
inline constexpr auto kAcceptPause = std::chrono::milliseconds(100);
inline constexpr auto kNoDeadline = std::chrono::hours(24 * 365);

template <class Engine, class Transport>
class Actor {
 public:
  struct Parts {
    Runtime* rt = nullptr;
    Engine engine;
    std::optional<uint64_t> next_rejoin;
    Options options;
    Clock clock;
    std::shared_ptr<Transport> transport;
    std::shared_ptr<Shared> shared;
    Receiver<Request> requests;
    std::shared_ptr<conn::HeaderCell> header;
    // The stream byte budget; made from the options when none is given.
    std::shared_ptr<conn::Budget> budget;
  };

  explicit Actor(Parts p)
      : rt_(p.rt),
        engine_(std::move(p.engine)),
        next_rejoin_(p.next_rejoin),
        options_(std::move(p.options)),
        clock_(p.clock),
        transport_(std::move(p.transport)),
        shared_(std::move(p.shared)),
        requests_(std::move(p.requests)),
        header_(std::move(p.header)),
        budget_(p.budget ? std::move(p.budget)
                         : conn::Budget::for_frames(static_cast<size_t>(options_.max_stream_frame),
                                                    static_cast<size_t>(options_.max_inbound_bytes_per_ip))),
        udp_buf_(options_.datagram_buffer()) {
    auto [rtx, rrx] = unbounded_channel<conn::Tagged>();
    report_tx_ = std::move(rtx);
    report_rx_ = std::move(rrx);
    auto [stx, srx] = unbounded_channel<std::vector<SocketAddr>>();
    seed_tx_ = std::move(stx);
    seed_rx_ = std::move(srx);
    published_version_ = engine_->version();
    last_stats_ = Stats{engine_->counters(), engine_->local_health()};
  }
  ~Actor() { teardown(false); }
  Actor(const Actor&) = delete;
  Actor& operator=(const Actor&) = delete;

  // The loop. Ends on a close request (answered after the teardown) or when every handle's
  // request sender has gone; an abort of the task tears down the same way, answering nobody.
  static Task<void> run(std::unique_ptr<Actor> self);

  void flush(bool timers_ran);
  void transmit(core::Transmit t);
  void complete(Pending p, core::Outcome r);
  void report(conn::Tagged t);
  void rejoin_resolved(std::vector<SocketAddr> addrs);
  void request(Request r);  // every kind but Close
  void accept(transport::TcpStream s, const SocketAddr& from);
  void end_turn();
  void teardown(bool panicking);

  // For tests and the loop.
  Engine& engine() { return *engine_; }
  const Clock& clock() const { return clock_; }
  size_t conn_count() const { return conns_.size(); }
  const Conn* conn(StreamId id) const {
    auto it = conns_.find(id);
    return it == conns_.end() ? nullptr : &it->second;
  }
  const Accepted& accepted() const { return accepted_; }
  const std::shared_ptr<conn::Budget>& budget() const { return budget_; }
  // Evicted inbound streams whose task has not reported its end yet.
  size_t gone_count() const { return gone_.size(); }
  bool rejoining() const { return rejoining_; }
  size_t pending_count() const { return pending_.size(); }
  size_t task_count() const { return tasks_.size(); }
  Receiver<conn::Tagged>& report_receiver() { return report_rx_; }
  // Called at each step of every flush ("transmits", "events", "snapshot", "publish",
  // "answer"), after the step; for tests that check the order of what callers can see.
  void set_flush_observer(std::function<void(std::string_view)> f) { observer_ = std::move(f); }
  // Drains the reports waiting (as the end of a turn does).
  void take_reports() {
    for (size_t i = 0; i < kReportsPerTurn; ++i) {
      auto r = report_rx_.try_recv();
      if (!r) break;
      report(std::move(*r));
    }
  }

 private:
  void insert_pending(core::CommandId id, Pending p) { pending_.insert_or_assign(id, std::move(p)); }
  // What a turn found: inputs handled, nothing, or the end of the loop.
  enum class Input : uint8_t { Taken, None, Stop };
  // One turn: a bounded share of each kind of input, in a fixed order, then the timers.
  Input turn(std::optional<OneSender<Done>>& close_reply);
  // Up to `most` inputs taken by `one` (false: none was ready), or fewer once kSlice has gone.
  template <class One>
  bool some(size_t most, One&& one);
  bool report_one();
  Input request_one(std::optional<OneSender<Done>>& close_reply);
  bool seeds_one();
  bool receive_one();
  bool accept_one();
  void maybe_rejoin();
  void publish_stats();
  Instant wake_time();
  void spawn_stream(StreamId id, Task<void> t, Sender<conn::Write> tx, uint64_t task,
                    std::optional<SocketAddr> local = std::nullopt);
  // An inbound stream refused by the header check, by its decode error.
  void count_refused(proto::DecodeCode code) {
    if (code == proto::DecodeCode::UnknownKey || code == proto::DecodeCode::AuthFailed) {
      engine_->add_decrypt_failures(1);
    } else {
      engine_->add_decode_errors(1);
    }
  }
  static const char* target() { return "vennock_net::actor"; }

  Runtime* rt_;
  std::optional<Engine> engine_;
  std::optional<uint64_t> next_rejoin_;
  Options options_;
  Clock clock_;
  std::shared_ptr<Transport> transport_;
  std::shared_ptr<Shared> shared_;
  Receiver<Request> requests_;
  std::shared_ptr<conn::HeaderCell> header_;
  std::shared_ptr<conn::Budget> budget_;

  Sender<conn::Tagged> report_tx_;
  Receiver<conn::Tagged> report_rx_;
  Sender<std::vector<SocketAddr>> seed_tx_;
  Receiver<std::vector<SocketAddr>> seed_rx_;

  std::unordered_map<StreamId, Conn> conns_;
  Accepted accepted_;  // admitted inbound streams, oldest first
  // Inbound streams dropped by the actor: their task's late reports are ignored until its
  // Finished (which every inbound task sends, aborted or not) arrives.
  std::unordered_set<StreamId> gone_;
  uint64_t next_inbound_ = 0;
  uint64_t task_serial_ = 0;
  JoinSet<void> tasks_;  // stream tasks and rejoin resolve tasks
  std::unordered_map<core::CommandId, Pending> pending_;
  std::vector<events::Event> batch_;  // reused by every flush
  std::vector<std::pair<Pending, core::Outcome>> done_;
  uint64_t published_version_ = 0;
  uint64_t epoch_held_ = 0;  // the engine's epoch as last told to epoch::held
  bool rejoining_ = false;
  std::optional<AbortHandle> rejoin_lookup_;  // the rejoin's resolve task, while it runs
  Stats last_stats_;
  std::vector<uint8_t> udp_buf_;
  Instant udp_paused_until_{};
  Instant accept_paused_until_{};
  bool torn_down_ = false;
  std::function<void(std::string_view)> observer_;
};

// ---- the loop ---------------------------------------------------------------------------

template <class E, class T>
Task<void> Actor<E, T>::run(std::unique_ptr<Actor> self) {
  Actor& a = *self;
  // Runs the teardown also when the frame is destroyed by an abort, or unwound by a fault
  // (then the subscriptions learn that the node failed).
  struct Guard {
    Actor& a;
    ~Guard() { a.teardown(std::uncaught_exceptions() > 0); }
  } guard{a};
  std::optional<OneSender<Done>> close_reply;
  for (;;) {
    Input got = a.turn(close_reply);
    if (got == Input::Stop) break;
    if (got == Input::Taken) {
      // Busy: let the runtime's other tasks (stream tasks, other nodes) have the thread
      // before the next turn, or a flood would keep them waiting on a single worker.
      asio::post(a.rt_->io(), [w = this_task::waker()] { w.wake(); });
      co_await park();
      continue;
    }
    Instant wake = a.wake_time();
    if (now() < wake) co_await park(wake);
  }
  a.teardown(false);
  // The stream and rejoin tasks are aborted; wait until they are gone, so a closed node
  // leaves no task or socket behind.
  co_await a.tasks_.shutdown();
  if (close_reply) close_reply->send(Done{});
}

template <class E, class T>
typename Actor<E, T>::Input Actor<E, T>::turn(std::optional<OneSender<Done>>& close_reply) {
  // Each kind of input gets a bounded share of the turn, so none can hold the others (and
  // the timers above all) back: a flood of datagrams costs a request or a probe at most one
  // turn's wait. The wall clock first: after a suspend, the first packet must already be
  // judged by the clock as it reads now.
  engine_->set_wall_clock(clock_.now(), clock_.wall_ms());
  bool busy = false;
  if (now() >= udp_paused_until_) busy = some(kDatagramsPerTurn, [this] { return receive_one(); });
  busy |= some(kReportsPerTurn, [this] { return report_one(); });
  // Dropped streams keep their socket until their task has wound down on its own strand;
  // while as many as max_inbound_streams are still going, new connections wait in the
  // listener's backlog, so a flood cannot pile up descriptors faster than they are freed.
  if (now() >= accept_paused_until_) {
    for (size_t i = 0; i < kAcceptsPerTurn && gone_.size() < options_.max_inbound_streams; ++i) {
      if (!accept_one()) break;
      busy = true;
    }
  }
  for (size_t i = 0; i < kRequestsPerTurn; ++i) {
    Input r = request_one(close_reply);
    if (r == Input::Stop) return Input::Stop;
    if (r == Input::None) break;
    busy = true;
  }
  busy |= seeds_one();
  end_turn();
  return busy ? Input::Taken : Input::None;
}

template <class E, class T>
template <class One>
bool Actor<E, T>::some(size_t most, One&& one) {
  const Instant until = now() + kSlice;
  size_t n = 0;
  while (n < most && one()) {
    ++n;
    if (now() >= until) break;
  }
  return n != 0;
}

template <class E, class T>
bool Actor<E, T>::report_one() {
  std::optional<conn::Tagged> r;
  if (report_rx_.poll_recv(r) != Polled::Item) return false;
  report(std::move(*r));
  return true;
}

template <class E, class T>
typename Actor<E, T>::Input Actor<E, T>::request_one(std::optional<OneSender<Done>>& close_reply) {
  std::optional<Request> r;
  Polled p = requests_.poll_recv(r);
  if (p == Polled::Closed) return Input::Stop;  // every handle has gone
  if (p == Polled::Empty) return Input::None;
  if (auto* c = std::get_if<request::Close>(&*r)) {
    close_reply = std::move(c->reply);
    return Input::Stop;
  }
  request(std::move(*r));
  return Input::Taken;
}

template <class E, class T>
bool Actor<E, T>::seeds_one() {
  std::optional<std::vector<SocketAddr>> s;
  if (seed_rx_.poll_recv(s) != Polled::Item) return false;
  rejoin_resolved(std::move(*s));
  return true;
}

template <class E, class T>
Instant Actor<E, T>::wake_time() {
  Instant wake = now() + kNoDeadline;
  if (auto d = engine_->next_deadline()) wake = std::min(wake, clock_.instant(*d));
  if (next_rejoin_) wake = std::min(wake, clock_.instant(*next_rejoin_));
  auto n = now();
  if (udp_paused_until_ > n) wake = std::min(wake, udp_paused_until_);
  if (accept_paused_until_ > n) wake = std::min(wake, accept_paused_until_);
  return wake;
}

template <class E, class T>
bool Actor<E, T>::receive_one() {
  auto& udp = transport_->udp();
  while (udp.poll_readable()) {
    auto r = udp.try_recv_from(udp_buf_);
    if (r) {
      auto [n, from] = r.value();
      if (n > udp_buf_.size()) {
        // Larger than any honest sender's datagram (its length tells, the buffer took only
        // the start of it): refused before the engine, as cheaply as it can be.
        engine_->add_decode_errors(1);
        return true;
      }
      engine_->handle_datagram(clock_.now(), from, std::span<uint8_t>(udp_buf_.data(), n));
      flush(false);
      return true;
    }
    if (r.error().kind == IoKind::WouldBlock) {
      udp.clear_readable();
      continue;
    }
    std::string e = r.error().to_string();
    VN_LOG(Debug, target(), "datagram receive failed", log::field("error", e));
    udp_paused_until_ = now() + kUdpPause;
    return false;
  }
  return false;
}

template <class E, class T>
bool Actor<E, T>::accept_one() {
  auto& l = transport_->listener();
  while (l.poll_acceptable()) {
    auto r = l.try_accept();
    if (r) {
      accept(std::move(r.value().first), r.value().second);
      return true;
    }
    if (r.error().kind == IoKind::WouldBlock) {
      l.clear_acceptable();
      continue;
    }
    std::string e = r.error().to_string();
    VN_LOG(Debug, target(), "accept failed", log::field("error", e));
    accept_paused_until_ = now() + kAcceptPause;
    return false;
  }
  return false;
}

template <class E, class T>
void Actor<E, T>::end_turn() {
  if (auto d = engine_->next_deadline(); d && *d <= clock_.now()) {
    engine_->handle_timeout(clock_.now());
    flush(true);
  }
  maybe_rejoin();
  publish_stats();
}

template <class E, class T>
void Actor<E, T>::publish_stats() {
  Stats s{engine_->counters(), engine_->local_health()};
  if (s == last_stats_) return;
  last_stats_ = s;
  std::lock_guard<std::mutex> g(shared_->stats_m);
  shared_->stats = s;
}

template <class E, class T>
void Actor<E, T>::maybe_rejoin() {
  if (!next_rejoin_) return;
  uint64_t t = clock_.now();
  if (t < *next_rejoin_) return;
  uint64_t iv = options_.rejoin_interval.as_nanos();
  if (iv == 0) {
    next_rejoin_.reset();
  } else {
    // The next one a whole period later; periods that have already passed are skipped.
    uint64_t periods = (t - *next_rejoin_) / iv + 1;
    uint64_t step = periods > UINT64_MAX / iv ? UINT64_MAX : periods * iv;
    next_rejoin_ = *next_rejoin_ > UINT64_MAX - step ? UINT64_MAX : *next_rejoin_ + step;
  }
  if (rejoining_ || engine_->local().state == core::MemberState::Left) return;
  bool literal = std::all_of(options_.seeds.begin(), options_.seeds.end(), [](const seed::Seed& s) { return s.is_addr(); });
  if (literal) {
    std::vector<SocketAddr> addrs;
    for (const auto& s : options_.seeds) addrs.push_back(s.socket_addr());
    rejoin_resolved(std::move(addrs));
    return;
  }
  rejoining_ = true;
  rejoin_lookup_ = tasks_.spawn(rt_->strand(), rejoin(*rt_, options_.seeds, seed_tx_));
}

// ---- requests and accept -----------------------------------------------------------------

template <class E, class T>
void Actor<E, T>::request(Request r) {
  E& e = *engine_;
  uint64_t t = clock_.now();
  std::visit(
      [&](auto&& q) {
        using Q = std::decay_t<decltype(q)>;
        if constexpr (std::is_same_v<Q, request::Join>) {
          auto id = e.command(t, core::command::Join{std::move(q.addrs)});
          insert_pending(id, pending::Join{std::move(q.reply)});
        } else if constexpr (std::is_same_v<Q, request::Leave>) {
          // A node that has left rejoins nothing: names still being looked up for a rejoin
          // are given up.
          if (rejoin_lookup_) {
            rejoin_lookup_->abort();
            rejoin_lookup_.reset();
            rejoining_ = false;
          }
          auto id = e.command(t, core::command::Leave{});
          insert_pending(id, pending::Done{std::move(q.reply)});
        } else if constexpr (std::is_same_v<Q, request::SetMeta>) {
          auto id = e.command(t, core::command::UpdateMeta{std::move(q.meta)});
          insert_pending(id, pending::Done{std::move(q.reply)});
        } else if constexpr (std::is_same_v<Q, request::Send>) {
          auto id = e.command(t, core::command::Send{std::move(q.name), q.epoch, std::move(q.data)});
          insert_pending(id, pending::Done{std::move(q.reply)});
        } else if constexpr (std::is_same_v<Q, request::Broadcast>) {
          auto id = e.command(t, core::command::Broadcast{std::move(q.data)});
          insert_pending(id, pending::Done{std::move(q.reply)});
        } else if constexpr (std::is_same_v<Q, request::Key>) {
          auto [cmd, word, key] = std::move(q.change).command();
          auto id = e.command(t, std::move(cmd));
          insert_pending(id, pending::Key{std::move(q.reply), word, key});
          // Before the flush answers: a caller that has its answer sees the new keys.
          shared_->key_ids.store(std::make_shared<const std::vector<proto::KeyId>>(e.key_ids()));
          header_->store(e.header_check());
        } else {
          static_assert(std::is_same_v<Q, request::Close>);
          // Handled by the loop; never reaches here.
        }
      },
      std::move(r));
  flush(false);
}

template <class E, class T>
void Actor<E, T>::spawn_stream(StreamId id, Task<void> t, Sender<conn::Write> tx, uint64_t task,
                                std::optional<SocketAddr> local) {
  AbortHandle ab = tasks_.spawn(rt_->strand(), std::move(t));
  conns_.insert_or_assign(id, Conn{std::move(tx), task, ab, false, local});
}

template <class E, class T>
void Actor<E, T>::accept(transport::TcpStream s, const SocketAddr& from) {
  const IpAddr ip = IpAddr::of(from);
  auto victim = evict_for(accepted_, ip, static_cast<size_t>(options_.max_inbound_streams_per_ip),
                          static_cast<size_t>(options_.max_inbound_streams));
  if (victim) {
    StreamId v = *victim;
    std::erase_if(accepted_, [&](const auto& p) { return p.first == v; });
    auto it = conns_.find(v);
    if (it != conns_.end()) {
      // The aborted task reports nothing more but its Finished; the engine learns here that
      // the stream is gone (unless it already heard how it ended).
      bool told = it->second.ended;
      it->second.abort.abort();
      conns_.erase(it);
      gone_.insert(v);
      if (!told) {
        engine_->handle_stream(clock_.now(), v, core::stream_event::Failed{});
        flush(false);
      }
    }
    VN_LOG(Debug, target(), "too many inbound connections; dropped one", log::field("from", from));
  }
  StreamId id = core::INBOUND_BIT | next_inbound_++;
  auto [tx, rx] = unbounded_channel<conn::Write>();
  uint64_t task = ++task_serial_;
  std::optional<SocketAddr> local;
  if (auto l = s.local_addr()) local = l.value();
  conn::InboundStream st{conn::Context(id, task, report_tx_, options_.streams()), std::move(s),
                         conn::Inbound{header_, conn::Budget::open(budget_, task, ip)}, std::move(rx)};
  spawn_stream(id, conn::inbound(std::move(st)), std::move(tx), task, local);
  accepted_.emplace_back(id, ip);
}

// ---- flush --------------------------------------------------------------------------------

template <class E, class T>
void Actor<E, T>::transmit(core::Transmit t) {
  std::visit(
      [&](auto&& x) {
        using X = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<X, core::transmit::Datagram>) {
          auto r = transport_->send_datagram(x.to, x.packet);
          if (!r) {
            std::string e = r.error().to_string();
            VN_LOG(Trace, target(), "datagram not sent", log::field("to", x.to), log::field("error", e));
          }
        } else if constexpr (std::is_same_v<X, core::transmit::Open>) {
          auto [tx, rx] = unbounded_channel<conn::Write>();
          uint64_t task = ++task_serial_;
          // Replaces an entry still under this id: the old task's channel closes and its
          // later reports no longer touch this stream.
          // What the stream reads is paid for like an inbound stream's: whoever answers at
          // that address may send anything.
          conn::Held share = conn::Budget::open(budget_, task, IpAddr::of(x.to));
          spawn_stream(x.id,
                       conn::outbound(transport_, x.id, task, x.to, std::move(rx), report_tx_, options_.streams(),
                                      std::move(share)),
                       std::move(tx), task);
        } else if constexpr (std::is_same_v<X, core::transmit::Frame>) {
          auto it = conns_.find(x.id);
          if (it != conns_.end()) it->second.tx.try_send(conn::write::Frame{std::move(x.frame)});
        } else {
          auto it = conns_.find(x.id);
          if (it != conns_.end()) it->second.tx.try_send(conn::write::Close{});
        }
      },
      std::move(t));
}

template <class E, class T>
void Actor<E, T>::flush(bool timers_ran) {
  E& e = *engine_;
  // 1. Transmits: sockets and stream tasks first.
  while (auto t = e.poll_transmit()) transmit(std::move(*t));
  if (observer_) observer_("transmits");
  // 2. Events: completions set aside, the rest into the batch, in engine order.
  while (auto ev = e.poll_event()) {
    if (auto* c = std::get_if<core::event::Completed>(&*ev)) {
      auto it = pending_.find(c->id);
      if (it != pending_.end()) {
        done_.emplace_back(std::move(it->second), c->result);
        pending_.erase(it);
      }
      continue;
    }
    if (auto p = published(std::move(*ev))) batch_.push_back(std::move(*p));
  }
  // The engine cannot log: a peer whose clock is too far off is said here, once per peer and
  // a handful a minute at most, with the count of the reports left out before this one.
  while (auto c = e.poll_clock_skew()) {
    VN_LOG(Warn, target(), "peer clock differs from ours by more than the window allows", log::field("peer", c->peer),
           log::field("offset_ms", c->offset_ms), log::field("suppressed", c->suppressed));
  }
  if (observer_) observer_("events");
  // 3. The member snapshot, whenever anything visible may have changed: events, the own
  // record, the table's size after the timers, or any table change at all (the engine's
  // version grows on every change, with or without an event).
  auto cur = shared_->snapshot.load();
  uint64_t v = e.version();
  bool replace = !batch_.empty() || v != published_version_ || !(e.local() == cur->members.front()) ||
                 (timers_ran && cur->members.size() != e.table_size() + 1);
  if (replace) {
    // An epoch the engine moved to (past an earlier life of its own) is one a later life of
    // this process must start after.
    if (e.local().epoch != epoch_held_) epoch::held(epoch_held_ = e.local().epoch);
    shared_->snapshot.store(std::make_shared<const Snapshot>(Snapshot::of(e)));
    published_version_ = v;
  }
  cur.reset();
  if (observer_) observer_("snapshot");
  // 4. Publish.
  shared_->hub.publish(batch_);
  batch_.clear();
  if (observer_) observer_("publish");
  // 5. Answer the callers, in engine order.
  std::vector<std::pair<Pending, core::Outcome>> done;
  done.swap(done_);
  for (auto& [p, r] : done) complete(std::move(p), r);
  if (observer_) observer_("answer");
  done.clear();
  if (done_.empty()) done_.swap(done);  // keep the allocation
}

template <class E, class T>
void Actor<E, T>::complete(Pending p, core::Outcome r) {
  const core::CommandError* failed = std::get_if<core::CommandError>(&r);
  std::visit(
      [&](auto&& q) {
        using Q = std::decay_t<decltype(q)>;
        if constexpr (std::is_same_v<Q, pending::Join>) {
          if (failed) {
            q.reply.send(err(Error::from_command(*failed)));
          } else if (auto* c = std::get_if<core::outcome::Count>(&r)) {
            q.reply.send(static_cast<size_t>(c->n));
          } else {
            q.reply.send(size_t{0});
          }
        } else if constexpr (std::is_same_v<Q, pending::Done>) {
          if (failed) {
            q.reply.send(err(Error::from_command(*failed)));
          } else {
            q.reply.send(Done{});
          }
        } else if constexpr (std::is_same_v<Q, pending::Key>) {
          std::string key = q.key.hex();
          if (failed) {
            Error e = Error::from_command(*failed);
            std::string text = e.to_string();
            VN_LOG(Warn, target(), "keyring: change refused", log::field("key", key), log::field("error", text));
            q.reply.send(err(std::move(e)));
          } else {
            if (log::enabled(log::Level::Info)) {
              std::string msg = std::string("keyring: ") + q.word + " key";
              log::emit(log::Level::Info, target(), msg, {log::field("key", key)});
            }
            q.reply.send(Done{});
          }
        } else {
          rejoining_ = false;
          if (failed) {
            std::string text = Error::from_command(*failed).to_string();
            VN_LOG(Debug, target(), "rejoin failed; trying again later", log::field("error", text));
          } else if (q.alone) {
            VN_LOG(Info, target(), "rejoined the cluster through the seeds");
          } else {
            VN_LOG(Debug, target(), "push-pulled with seeds that were not live members");
          }
        }
      },
      std::move(p));
}

// ---- stream reports and rejoin --------------------------------------------------------------

template <class E, class T>
void Actor<E, T>::report(conn::Tagged t) {
  if (!gone_.empty() && gone_.count(t.id)) {
    // A stream the actor dropped: the engine has had its end already.
    if (auto* d = std::get_if<conn::report::Dropped>(&t.report)) {
      count_refused(d->error.code);
    } else if (std::holds_alternative<conn::report::Finished>(t.report)) {
      gone_.erase(t.id);
      tasks_.reap();
    }
    return;
  }
  auto it = conns_.find(t.id);
  // A report from a task whose id has since been given to a newer stream concerns a stream
  // the engine has already replaced: it must neither reach the engine nor remove the newer
  // stream's entry.
  bool stale = it != conns_.end() && it->second.task != t.task;
  std::visit(
      [&](auto&& r) {
        using R = std::decay_t<decltype(r)>;
        if constexpr (std::is_same_v<R, conn::report::Frame>) {
          if (stale) return;
          std::optional<SocketAddr> local = it != conns_.end() ? it->second.local : std::nullopt;
          engine_->handle_stream(clock_.now(), t.id, core::stream_event::Data{r.frame, local});
          flush(false);
          // The frame's bytes, its hold and its budget share go when this report does: only
          // now may the stream read on, and only now are the bytes free for others.
        } else if constexpr (std::is_same_v<R, conn::report::Dropped>) {
          count_refused(r.error.code);
        } else if constexpr (std::is_same_v<R, conn::report::Closed> || std::is_same_v<R, conn::report::Failed>) {
          if (stale) return;
          if (it != conns_.end()) it->second.ended = true;
          if constexpr (std::is_same_v<R, conn::report::Closed>) {
            engine_->handle_stream(clock_.now(), t.id, core::stream_event::Closed{});
          } else {
            engine_->handle_stream(clock_.now(), t.id, core::stream_event::Failed{});
          }
          flush(false);
        } else {
          if (it != conns_.end() && !stale) conns_.erase(it);
          if (core::is_inbound(t.id)) {
            std::erase_if(accepted_, [&](const auto& p) { return p.first == t.id; });
          }
          tasks_.reap();
        }
      },
      std::move(t.report));
}

template <class E, class T>
void Actor<E, T>::rejoin_resolved(std::vector<SocketAddr> addrs) {
  rejoining_ = false;
  rejoin_lookup_.reset();
  tasks_.reap();
  E& e = *engine_;
  if (e.local().state == core::MemberState::Left) return;
  std::set<SocketAddr> live;
  for (const auto& m : e.members()) live.insert(m.addr);
  std::vector<SocketAddr> keep;
  for (auto& a : addrs)
    if (!live.count(a)) keep.push_back(a);
  bool alone = live.size() == 1;
  if (keep.empty()) return;
  uint64_t n = keep.size();
  VN_LOG(Debug, target(), "rejoining seeds that are not live members", log::field("seeds", n),
         log::field("alone", alone));
  auto id = e.command(clock_.now(), core::command::Join{std::move(keep)});
  insert_pending(id, pending::Rejoin{alone});
  rejoining_ = true;
  flush(false);
}

// ---- teardown -----------------------------------------------------------------------------

template <class E, class T>
void Actor<E, T>::teardown(bool panicking) {
  if (torn_down_) return;
  torn_down_ = true;
  if (shared_) shared_->hub.close(panicking);
  engine_.reset();
  transport_.reset();
  shared_.reset();
  requests_.close();  // queued requests go; their callers see the node closed
  tasks_.abort_all();
  conns_.clear();
  accepted_.clear();
  gone_.clear();
  report_rx_.close();  // queued reports (and the holds they carry) go
  seed_rx_.close();
  pending_.clear();  // waiting callers see the node closed
  done_.clear();
}

}  // namespace vennock::net::actor
