#include "sim/sim.hpp"

#include <algorithm>
#include <array>

namespace vennock::sim {

namespace {
constexpr uint64_t kWallBase = 1'700'000'000'000ULL;  // the simulated wall clock at time 0, in ms
constexpr uint64_t kLoopbackDelay = 20'000;           // a datagram to the node itself, in ns
}

Sim::Sim(uint64_t seed, NetParams net) : rng_(seed), stream_rng_(seed ^ 0x5157'0000'0000'0001ULL), net_(net) {}

Sim::~Sim() {
  while (!queue_.empty()) {
    delete queue_.top();
    queue_.pop();
  }
}

SocketAddr Sim::addr_of(size_t i) {
  return SocketAddr::v4({10, static_cast<uint8_t>(i >> 16), static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)},
                        7946);
}

SocketAddr Sim::loopback() { return SocketAddr::v4({127, 0, 0, 1}, 7946); }

std::optional<size_t> Sim::index_of(const SocketAddr& a) const {
  if (!a.is_v4() || a.ip[0] != 10 || a.port != 7946) return std::nullopt;
  size_t i = (static_cast<size_t>(a.ip[1]) << 16) | (static_cast<size_t>(a.ip[2]) << 8) | a.ip[3];
  if (i >= nodes_.size()) return std::nullopt;
  return i;
}

std::unique_ptr<Node> Sim::make_engine(SimNode& n) {
  core::Identity id;
  id.name = n.name;
  id.meta = n.meta;
  id.addr = n.advertise ? *n.advertise : addr_of(static_cast<size_t>(&n - nodes_.data()));
  id.loopback = loopback();
  const size_t i = static_cast<size_t>(&n - nodes_.data());
  // Each life starts at a later wall-clock millisecond than the one before, unless the node's
  // clock was stepped back.
  id.epoch = wall_ms(i) + n.life;
  std::array<uint8_t, 32> nonce_key{};
  uint64_t r = rng_.next();
  for (int k = 0; k < 8; ++k) nonce_key[k] = static_cast<uint8_t>(r >> (8 * k));
  auto made = Node::create(n.cfg, std::move(id), mono(i), rng_.next(), nonce_key);
  if (!made) return nullptr;
  return std::make_unique<Node>(std::move(made.value()));
}

uint64_t Sim::wall_ms(size_t i) const {
  return static_cast<uint64_t>(static_cast<int64_t>(kWallBase + now_ / MS) + nodes_[i].clock_ms);
}

uint64_t Sim::clock_in(size_t i) {
  const uint64_t t = mono(i);
  nodes_[i].engine->set_wall_clock(t, wall_ms(i));
  return t;
}

void Sim::suspend(size_t i, uint64_t d) {
  SimNode& n = nodes_[i];
  if (!n.up) return;
  if (now_ >= n.asleep_until) {
    // A new sleep: the one before is over, and its whole length stood still.
    n.lag = slept(n, now_);
    n.asleep_from = now_;
  }
  // The monotonic clock stands still until the node wakes: its deadlines come that much later.
  n.asleep_until = std::max(n.asleep_until, now_ + d);
  after_call(i);
}

size_t Sim::add(core::Config cfg, std::string name, Bytes meta, std::optional<SocketAddr> advertise) {
  nodes_.emplace_back();
  SimNode& n = nodes_.back();
  n.name = std::move(name);
  n.cfg = std::move(cfg);
  n.meta = std::move(meta);
  n.advertise = advertise;
  n.engine = make_engine(n);
  size_t i = nodes_.size() - 1;
  after_call(i);
  return i;
}

CommandId Sim::command(size_t i, Command c) {
  const uint64_t t = clock_in(i);
  CommandId id = nodes_[i].engine->command(t, std::move(c));
  after_call(i);
  return id;
}

std::optional<core::Outcome> Sim::outcome(size_t i, CommandId id) const {
  auto it = nodes_[i].outcomes.find(id);
  if (it == nodes_[i].outcomes.end()) return std::nullopt;
  return it->second;
}

void Sim::partition(const std::vector<size_t>& a, const std::vector<size_t>& b) {
  for (size_t x : a)
    for (size_t y : b) {
      block(x, y);
      block(y, x);
    }
}

void Sim::fail_conns(size_t i) {
  for (auto& c : conns_) {
    if (!c.open || (c.a != i && c.b != i)) continue;
    c.open = false;
    uint32_t other = c.a == i ? c.b : c.a;
    uint64_t other_id = c.a == i ? c.b_id : c.a_id;
    uint64_t other_life = c.a == i ? c.b_life : c.a_life;
    auto* it = new Item{now_ + net_.latency, 0, Kind::StreamFailed, other, other_life, other_id, {}, {}};
    push(it);
  }
}

void Sim::crash(size_t i) {
  SimNode& n = nodes_[i];
  if (!n.up) return;
  n.up = false;
  ++n.timer_gen;
  fail_conns(i);
}

void Sim::restart(size_t i, int64_t clock_step_ms) {
  SimNode& n = nodes_[i];
  if (n.up) crash(i);
  ++n.life;
  n.clock_ms += clock_step_ms;
  n.up = true;
  // A restart wakes the host: only the time it slept so far stood still.
  n.asleep_until = std::min(n.asleep_until, now_);
  // A new life numbers its commands from 1 again: what earlier lives' commands came to is
  // no answer to its own.
  n.outcomes.clear();
  n.engine = make_engine(n);
  n.timer_at = 0;
  after_call(i);
}

void Sim::push(Item* it) {
  it->seq = seq_++;
  queue_.push(it);
}

uint64_t Sim::stalled_until(const SimNode& n, uint64_t t) const {
  const Stall& s = n.stall;
  if (s.period == 0 || s.length == 0 || t < s.first) return 0;
  uint64_t in = (t - s.first) % s.period;
  if (in < s.length) return t - in + s.length;
  return 0;
}

void Sim::after_call(size_t i) {
  flush(i);
  SimNode& n = nodes_[i];
  if (!n.up) return;
  auto d = n.engine->next_deadline();
  // Deadlines are in the node's monotonic time, which lags by the time it slept, the whole
  // of a sleep under way included (it runs again only once the node wakes).
  const uint64_t lag = slept(n, n.asleep_until);
  uint64_t at = d ? std::max(*d > UINT64_MAX - lag ? UINT64_MAX : *d + lag, now_) : 0;
  if (at == n.timer_at && at != 0) return;
  ++n.timer_gen;
  n.timer_at = at;
  if (at) push(new Item{at, 0, Kind::Timer, static_cast<uint32_t>(i), n.timer_gen, 0, {}, {}});
}

void Sim::flush(size_t i) {
  SimNode& n = nodes_[i];
  Node& e = *n.engine;
  while (auto ev = e.poll_event()) {
    if (auto* c = std::get_if<core::event::Completed>(&*ev)) n.outcomes[c->id] = c->result;
    if (on_event) on_event(i, *ev);
  }
  while (auto c = e.poll_clock_skew())
    if (on_clock_skew) on_clock_skew(i, *c);
  while (auto t = e.poll_transmit()) {
    if (auto* d = std::get_if<core::transmit::Datagram>(&*t)) flush_datagram(i, *d);
    else if (auto* o = std::get_if<core::transmit::Open>(&*t)) flush_open(i, *o);
    else if (auto* f = std::get_if<core::transmit::Frame>(&*t)) flush_frame(i, *f);
    else if (auto* c = std::get_if<core::transmit::Close>(&*t)) flush_close(i, *c);
  }
}

void Sim::flush_datagram(size_t i, core::transmit::Datagram& d) {
  if (d.to.on_wire() == loopback()) {
    // The host's own way back: no loss, no cut, no jitter, but it waits for a stalled node.
    if (drop_datagram && drop_datagram(i, i, d.packet)) return;
    push(new Item{now_ + kLoopbackDelay, 0, Kind::Datagram, static_cast<uint32_t>(i), nodes_[i].life, 0, loopback(),
                  std::move(d.packet)});
    return;
  }
  auto to = index_of(d.to);
  if (!to) return;
  if (*to == i && !nodes_[i].hairpin) return;
  if (blocked_.count(pair_key(i, *to))) return;
  if (drop_datagram && drop_datagram(i, *to, d.packet)) return;
  if (net_.loss > 0 && rng_.unit() < net_.loss) return;
  uint64_t delay = net_.latency + (net_.jitter ? rng_.below(net_.jitter + 1) : 0);
  push(new Item{now_ + delay, 0, Kind::Datagram, static_cast<uint32_t>(*to), nodes_[*to].life, 0, addr_of(i),
                std::move(d.packet)});
}

uint64_t Sim::retransmit_delay(size_t bytes, uint64_t rto) {
  if (net_.loss <= 0) return 0;
  // Segments are resent independently; the frame is complete when its slowest one arrives.
  // After 8 losses in a row a stream is as good as stalled: every timeout has run out by then.
  constexpr size_t kSegment = 1400;
  uint64_t worst = 0;
  for (size_t seg = 0; seg < std::max<size_t>(1, (bytes + kSegment - 1) / kSegment); ++seg) {
    uint64_t d = 0, wait = rto;
    for (int tries = 0; tries < 8 && stream_rng_.unit() < net_.loss; ++tries, wait *= 2) d += wait;
    worst = std::max(worst, d);
  }
  return worst;
}

void Sim::flush_open(size_t i, const core::transmit::Open& o) {
  SimNode& n = nodes_[i];
  auto to = index_of(o.to);
  Conn c{};
  c.a = static_cast<uint32_t>(i);
  c.a_id = o.id;
  c.a_life = n.life;
  if (!to || !nodes_[*to].up) {
    // Refused (the host answers with a reset): the opener hears of it after a round trip.
    push(new Item{now_ + 2 * net_.latency, 0, Kind::StreamFailed, c.a, c.a_life, c.a_id, {}, {}});
    return;
  }
  SimNode& peer = nodes_[*to];
  c.b = static_cast<uint32_t>(*to);
  c.b_id = core::INBOUND_BIT | peer.next_inbound++;
  c.b_life = peer.life;
  // A cut link swallows the handshake: nothing ever gets through, and the stream ends only on
  // its owner's timeout. Otherwise the handshake takes a round trip, plus a resend after 1 s
  // (doubling) for each lost SYN or SYN-ACK.
  if (blocked_.count(pair_key(i, *to)) || blocked_.count(pair_key(*to, i))) c.stalled = {true, true};
  c.ready_at = now_ + 2 * net_.latency + retransmit_delay(1, 1000 * MS) + retransmit_delay(1, 1000 * MS);
  conn_index_[{c.a, c.a_id}] = conns_.size();
  conn_index_[{c.b, c.b_id}] = conns_.size();
  conns_.push_back(c);
}

void Sim::flush_frame(size_t i, core::transmit::Frame& f) {
  SimNode& n = nodes_[i];
  auto ci = conn_index_.find({static_cast<uint32_t>(i), f.id});
  if (ci == conn_index_.end()) return;
  Conn& c = conns_[ci->second];
  if (!c.open) return;
  const bool from_a = c.a == i && c.a_id == f.id;
  const size_t dir = from_a ? 0 : 1;
  const uint32_t to = from_a ? c.b : c.a;
  if (!nodes_[to].up) {
    // The peer's host resets the stream.
    c.open = false;
    push(new Item{now_ + net_.latency, 0, Kind::StreamFailed, static_cast<uint32_t>(i), n.life, f.id, {}, {}});
    return;
  }
  if (blocked_.count(pair_key(i, to))) c.stalled[dir] = true;
  if (c.stalled[dir]) return;
  uint64_t sent = from_a ? std::max(now_, c.ready_at) : now_;
  // Both draw from stream_rng_: one statement each, so the order of the draws (and with it
  // every run) does not hang on the compiler's choice of operand order.
  uint64_t at = sent + net_.latency + (net_.jitter ? stream_rng_.below(net_.jitter + 1) : 0);
  at += retransmit_delay(f.frame.size(), 200 * MS);
  at = std::max(at, c.last_at[dir]);
  c.last_at[dir] = at;
  Bytes body(f.frame.begin() + std::min<size_t>(4, f.frame.size()), f.frame.end());
  push(new Item{at, 0, Kind::StreamData, to, from_a ? c.b_life : c.a_life, from_a ? c.b_id : c.a_id, {},
                std::move(body)});
}

void Sim::flush_close(size_t i, const core::transmit::Close& cl) {
  SimNode& n = nodes_[i];
  auto ci = conn_index_.find({static_cast<uint32_t>(i), cl.id});
  if (ci == conn_index_.end()) return;
  Conn& c = conns_[ci->second];
  if (!c.open) return;
  c.open = false;
  const bool from_a = c.a == i && c.a_id == cl.id;
  const size_t dir = from_a ? 0 : 1;
  const uint32_t to = from_a ? c.b : c.a;
  push(new Item{now_ + 2 * net_.latency, 0, Kind::StreamClosed, static_cast<uint32_t>(i), n.life, cl.id, {}, {}});
  // The close follows the frames before it; across a cut it never arrives.
  if (blocked_.count(pair_key(i, to))) c.stalled[dir] = true;
  if (c.stalled[dir]) return;
  uint64_t sent = from_a ? std::max(now_, c.ready_at) : now_;
  uint64_t at = std::max(sent + net_.latency + retransmit_delay(1, 200 * MS), c.last_at[dir]);
  c.last_at[dir] = at;
  push(new Item{at, 0, Kind::StreamClosed, to, from_a ? c.b_life : c.a_life, from_a ? c.b_id : c.a_id, {}, {}});
}

void Sim::inject(size_t to, const SocketAddr& from, Bytes packet) {
  push(new Item{now_ + net_.latency, 0, Kind::Datagram, static_cast<uint32_t>(to), nodes_[to].life, 0, from,
                std::move(packet)});
}

void Sim::inject_frame(size_t to, Bytes packet) {
  SimNode& n = nodes_[to];
  push(new Item{now_ + net_.latency, 0, Kind::StreamData, static_cast<uint32_t>(to), n.life,
                core::INBOUND_BIT | n.next_inbound++, {}, std::move(packet)});
}

void Sim::handle(Item* it) {
  SimNode& n = nodes_[it->node];
  if (it->kind == Kind::Timer) {
    if (!n.up || it->gen != n.timer_gen) return;
  } else if (!n.up || it->gen != n.life) {
    return;  // the node (or that life of it) is gone
  }
  if (now_ < n.asleep_until && it->kind != Kind::Timer) {
    // Asleep: a datagram is lost, stream data waits in the network (TCP resends it).
    if (it->kind == Kind::Datagram) return;
    auto* again = new Item(std::move(*it));
    again->at = n.asleep_until;
    push(again);
    return;
  }
  uint64_t until = stalled_until(n, it->at);
  if (until && it->kind != Kind::Timer) {
    // A stalled node handles the inputs that piled up meanwhile when it wakes, in arrival order.
    auto* again = new Item(std::move(*it));
    again->at = until;
    push(again);
    return;
  }
  Node& e = *n.engine;
  auto t0 = measure ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
  ++engine_calls;
  const uint64_t t = clock_in(it->node);
  switch (it->kind) {
    case Kind::Timer:
      n.timer_at = 0;
      e.handle_timeout(t);
      break;
    case Kind::Datagram:
      ++datagrams_delivered;
      e.handle_datagram(t, it->from, it->bytes);
      break;
    case Kind::StreamData:
      ++frames_delivered;
      frame_bytes += it->bytes.size();
      e.handle_stream(t, it->stream, core::StreamEvent{core::stream_event::Data{it->bytes}});
      break;
    case Kind::StreamClosed:
      e.handle_stream(t, it->stream, core::StreamEvent{core::stream_event::Closed{}});
      break;
    case Kind::StreamFailed:
      e.handle_stream(t, it->stream, core::StreamEvent{core::stream_event::Failed{}});
      break;
  }
  if (measure) {
    auto d = std::chrono::steady_clock::now() - t0;
    engine_time += d;
    if (it->kind == Kind::Timer)
      timer_time += d;
    else if (it->kind == Kind::Datagram)
      datagram_time += d;
    else
      stream_time += d;
  }
  after_call(it->node);
}

void Sim::run_until(uint64_t t) {
  while (!queue_.empty() && queue_.top()->at <= t) {
    Item* it = queue_.top();
    queue_.pop();
    now_ = std::max(now_, it->at);
    handle(it);
    delete it;
  }
  now_ = std::max(now_, t);
}

bool Sim::run_until_pred(const std::function<bool()>& pred, uint64_t limit, uint64_t step) {
  uint64_t end = now_ + limit;
  while (now_ < end) {
    if (pred()) return true;
    run_until(std::min(end, now_ + step));
  }
  return pred();
}

}  // namespace vennock::sim
