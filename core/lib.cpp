#include "core/lib.hpp"

#include <algorithm>
#include <cmath>

#include "core/impl.hpp"
#include "proto/tags.hpp"

namespace vennock::core {

std::array<uint64_t, 26> counter_values(const Counters& c) {
  return {c.packets_received, c.decode_errors,     c.decrypt_failures,  c.replays_dropped,
          c.probes_sent,      c.probes_failed,     c.indirect_probes,   c.missed_nacks,
          c.suspicions,       c.refutations,       c.misdirected,       c.name_conflicts,
          c.restarts,         c.members_refused,   c.push_pulls,        c.push_pull_failures,
          c.push_pulls_served, c.state_too_large,  c.gossip_too_large,  c.tcp_pings,
          c.tcp_ping_acks,    c.user_messages_sent, c.user_messages_received, c.user_messages_dropped,
          c.user_messages_too_large, c.user_queue_overflow};
}

// ---------------------------------------------------------------- construction

Node::Impl::Impl(Config c, Identity id, uint64_t now, uint64_t seed, std::span<const uint8_t, 32> nonce_key)
    : cfg(std::move(c)), codec(cfg.cluster, std::move(cfg.keys), nonce_key), rng(seed) {
  // The keyring lives in the codec alone; the configuration keeps no copy that could go stale.
  cfg.keys.reset();
  self.name = std::move(id.name);
  self.meta = std::move(id.meta);
  self.addr = id.addr;
  check_addr = id.loopback ? *id.loopback : id.addr;
  self.epoch = id.epoch;
  start_epoch = id.epoch;
  self.incarnation = 0;
  self.state = MemberState::Alive;
  now_ = now;
  wall_read_ms = id.epoch;
  wall_read_at = now;
  last_answer = now;
  // Spread the first ticks so nodes started together do not probe in lockstep.
  auto jitter = [&](uint64_t base, uint64_t spread) {
    return later(later(now, base), spread ? rng.below(spread) : 0);
  };
  next_probe = jitter(1, cfg.probe_interval.as_nanos());
  next_gossip = jitter(1, cfg.gossip_interval.as_nanos());
  // Zero intervals turn push-pull and reconnects off.
  uint64_t pp = cfg.push_pull_interval.as_nanos(), rc = cfg.reconnect_interval.as_nanos();
  next_push_pull = pp ? jitter(pp / 2, pp) : 0;
  next_reconnect = rc ? jitter(rc, rc) : 0;
}

Result<Node, ConfigError> Node::create(Config config, Identity identity, uint64_t now, uint64_t seed,
                                       std::span<const uint8_t, 32> nonce_key) {
  auto ok = config.validate();
  if (!ok) return err(ok.error());
  return Node(std::make_unique<Impl>(std::move(config), std::move(identity), now, seed, nonce_key));
}

Node::Node(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Node::Node(Node&&) noexcept = default;
Node& Node::operator=(Node&&) noexcept = default;
Node::~Node() = default;

// ---------------------------------------------------------------- helpers

uint64_t Node::Impl::wall_ms() const {
  uint64_t since = (now_ - wall_read_at) / 1'000'000;
  return wall_read_ms > UINT64_MAX - since ? UINT64_MAX : wall_read_ms + since;
}

uint64_t Node::Impl::epoch_limit() const { return plus_lead(wall_ms()); }

uint64_t Node::Impl::scaled(const Duration& d) const {
  uint64_t ns = d.as_nanos();
  if (!cfg.local_health) return ns;
  uint64_t m = static_cast<uint64_t>(lhm) + 1;
  return ns > UINT64_MAX / m ? UINT64_MAX : ns * m;
}

size_t Node::Impl::payload_budget() const { return static_cast<size_t>(cfg.udp_max_payload) - codec.overhead(); }

uint32_t Node::Impl::retransmit_limit() const {
  const uint64_t others = table.live_count();
  double n = static_cast<double>(others + 1);
  uint64_t lg = static_cast<uint64_t>(std::ceil(std::log10(n + 1)));
  // Saturating: a product that wrapped would send news zero times.
  uint64_t limit = uint64_t{cfg.retransmit_mult} * std::max<uint64_t>(1, lg);
  // News reaches at least 4 × retransmit_mult members, or every member of a smaller cluster.
  // Its copies go to members it has not reached, so a member misses an item only when no
  // member that had it picked it (about e^-limit of the time): at 8 copies in a cluster of 64,
  // one start in ten left a member unaware of a joiner until the next push-pull; at 4 copies
  // in a cluster of 8, one in six.
  limit = std::max(limit, std::min(others, uint64_t{4} * cfg.retransmit_mult));
  return static_cast<uint32_t>(std::min<uint64_t>(limit, UINT32_MAX));
}

GossipQueue::Recipient Node::Impl::recipient(uint32_t slot) const {
  return ((uint64_t{table.at(slot).gen} << 32) | slot) + 1;
}

GossipQueue::Dest Node::Impl::dest_to(uint32_t slot) const {
  // A copy to a member held dead (the gossip timer sends to the recently dead, so that one
  // wrongly held dead hears it and refutes) is one that no live member gets: counted, it took
  // the place of a live member's copy, and in a cluster a few of whose members just died the
  // news missed a survivor in up to 8% of cases. It goes on top, unless nobody live is left.
  const size_t live = table.live_count();
  return GossipQueue::Dest{recipient(slot), live, is_live(table.at(slot).m.state) || live == 0, false};
}

GossipQueue::Dest Node::Impl::dest_of(const proto::SocketAddr& to, std::string_view to_name) const {
  // Only the member we know under that name at that address: another claimant of the name
  // is nobody the queue has sent anything to.
  if (const Entry* e = table.find(to_name); e && e->m.addr.on_wire() == to.on_wire()) {
    GossipQueue::Dest d = dest_to(table.slot_of(*e));
    d.sent_anyway = true;
    return d;
  }
  return GossipQueue::Dest{0, table.live_count(), true, true};
}

const Entry* Node::Impl::held_left(std::string_view to_name) const {
  const Entry* e = table.find(to_name);
  return e && e->m.state == MemberState::Left ? e : nullptr;
}

void Node::Impl::send_packet(const proto::SocketAddr& to, std::string_view to_name, proto::Bytes& payload,
                             bool piggyback) {
  size_t budget = payload_budget();
  if (piggyback && payload.size() < budget) {
    // Most packets find the queue empty (it is, at rest): they need not look up whom they go to.
    if (gossip.size() > 0) {
      if (const Entry* e = held_left(to_name))
        gossip.copy(member_key(e->m.name), payload, budget);  // what concerns it alone
      else
        gossip.fill(payload, budget, budget, retransmit_limit(), dest_of(to, to_name), counters.gossip_too_large);
    }
    check_leave_done();
  }
  proto::Bytes packet;
  codec.seal(payload, wall_ms(), packet, proto::Recipient{to_name, std::nullopt});
  transmits.push_back(transmit::Datagram{std::move(packet), to});
}

bool Node::Impl::send_frame(StreamId id, const proto::Bytes& payload) {
  if (payload.size() + codec.overhead() > cfg.max_stream_frame) return false;
  auto it = streams.find(id);
  proto::Recipient to;
  if (it != streams.end()) {
    to.name = it->second.peer;
    if (it->second.peer.empty()) to.addr = it->second.dialed;
  }
  codec.seal(payload, wall_ms(), scratch_packet, to);
  transmits.push_back(transmit::Frame{proto::encode_frame(scratch_packet), id});
  return true;
}

StreamId Node::Impl::open_stream(const proto::SocketAddr& to, StreamKind kind, std::string peer) {
  StreamId id = next_stream++;
  if (next_stream & INBOUND_BIT) next_stream = 1;  // never within a lifetime, but never the top bit
  transmits.push_back(transmit::Open{to, id});
  Stream s;
  s.kind = kind;
  s.remote = to.on_wire();
  if (peer.empty()) s.dialed = to.on_wire();
  s.peer = std::move(peer);
  streams.emplace(id, std::move(s));
  set_stream_deadline(id, later(now_, cfg.tcp_timeout.as_nanos()));
  return id;
}

void Node::Impl::set_stream_deadline(StreamId id, uint64_t deadline) {
  auto it = streams.find(id);
  if (it == streams.end()) return;
  if (it->second.deadline) stream_deadlines.erase({it->second.deadline, id});
  it->second.deadline = deadline;
  stream_deadlines.insert({deadline, id});
}

void Node::Impl::close_stream(StreamId id) {
  transmits.push_back(transmit::Close{id});
  forget_stream(id);
}

void Node::Impl::forget_stream(StreamId id) {
  auto it = streams.find(id);
  if (it == streams.end()) return;
  if (it->second.deadline) stream_deadlines.erase({it->second.deadline, id});
  if (it->second.kind == StreamKind::Inbound) --inbound_streams;
  streams.erase(it);
}

void Node::Impl::check_leave_done() {
  if (leave_pending.empty()) return;
  if (table.live_count() == 0 || !gossip.contains(member_key(self.name))) {
    for (CommandId id : leave_pending) complete(id, outcome::Done{});
    leave_pending.clear();
  }
}

// ---------------------------------------------------------------- intake

namespace {

size_t skew_place(const proto::SocketAddr& a) {
  uint64_t h = 0xcbf29ce484222325ULL;  // FNV-1a
  auto mix = [&](uint8_t b) { h = (h ^ b) * 0x100000001b3ULL; };
  for (uint8_t b : a.ip) mix(b);
  mix(static_cast<uint8_t>(a.port));
  mix(static_cast<uint8_t>(a.port >> 8));
  return static_cast<size_t>(h % SKEW_PEERS);
}

}  // namespace

void Node::Impl::note_skew(uint64_t stamp_ms, bool encrypted, const proto::SocketAddr& from) {
  const uint64_t wall = wall_ms();
  const uint64_t gap = stamp_ms > wall ? stamp_ms - wall : wall - stamp_ms;
  // Further off than the replay window, an encrypted peer's packets are refused (by the
  // window); in plain text nothing is refused by its stamp, but a clock more than the epoch
  // lead off makes lives look too far ahead (or this node's look so to the peer).
  const bool within = gap <= (encrypted ? REPLAY_WINDOW_MS : EPOCH_LEAD_MS);
  if (within && skewed_count == 0) return;
  std::optional<Skewed>& place = skewed[skew_place(from)];
  const bool known = place && place->addr == from;
  if (within) {
    if (known) {
      place.reset();
      --skewed_count;
    }
    return;
  }
  // Reported while it lasts, and again every few minutes: a node whose clock is off says so
  // for as long as it is.
  if (known && now_ - place->at < SKEW_AGAIN_NS) return;
  if (!place) ++skewed_count;
  place = Skewed{from, now_};
  const int64_t off = gap > uint64_t{INT64_MAX} ? INT64_MAX : static_cast<int64_t>(gap);
  report_skew(ClockSkew{from, stamp_ms > wall ? off : -off});
}

void Node::Impl::report_skew(ClockSkew c) {
  // A forger can send from as many addresses as it likes (a peer is an address and a port),
  // or alternate a stamp far off with a fresh one: a report each made a record each in the
  // runtime's log, a hundred thousand a second at full rate, and the node read half the
  // packets it did. A handful a minute says as much, with the count of the rest.
  if (skew_ration_at() > now_ || skews.size() >= SKEW_PEERS) {  // (nobody polls them)
    ++skews_left_out;
    skew_left = c;
    return;
  }
  skew_tat = later(std::max(skew_tat, now_), SKEW_EVERY_NS);
  c.suppressed = skews_left_out;
  skews_left_out = 0;
  skews.push_back(c);
}

void Node::Impl::skew_timeout() {
  if (skews_left_out == 0 || skew_ration_at() > now_) return;
  ClockSkew c = skew_left;
  --skews_left_out;
  report_skew(c);
}

bool Node::Impl::intake(std::span<uint8_t> packet, bool datagram, std::vector<proto::Message>& out,
                        std::span<const proto::SocketAddr> join_addrs, const proto::SocketAddr* from) {
  ++counters.packets_received;
  // No honest datagram is larger than udp_max_payload (the cluster shares it), nor a frame
  // than max_stream_frame: a larger one is refused by its length, before the work of
  // opening it.
  if (packet.size() > (datagram ? cfg.udp_max_payload : cfg.max_stream_frame)) {
    ++counters.decode_errors;
    return false;
  }
  // Open before looking at the stamp or the nonce: neither can be trusted until the packet
  // has authenticated, and a forged packet must not fill the nonce memory.
  // Opened as addressed to this node: a packet sealed for another (a capture replayed to
  // us) fails authentication like a forgery.
  const proto::Addressee me{self.name, join_addrs};
  auto opened = datagram ? codec.open_datagram(packet, me) : codec.open(packet, me);
  if (!opened) {
    auto code = opened.error().code;
    if (code == proto::DecodeCode::UnknownKey || code == proto::DecodeCode::AuthFailed)
      ++counters.decrypt_failures;
    else
      ++counters.decode_errors;
    return false;
  }
  if (from) note_skew(opened->stamp_ms, opened->encrypted, *from);
  if (opened->encrypted) {
    if (replay.check(wall_ms(), opened->stamp_ms, opened->nonce) != ReplayWindow::Verdict::Fresh) {
      ++counters.replays_dropped;
      return false;
    }
  }
  // Only a packet taken says what its sender's clock reads: in an encrypted cluster, one
  // refused by the window may be an old capture sent again.
  if (from) note_clock(*from, opened->stamp_ms);
  // Metadata above our own limit is refused like malformed input: the table keeps what it
  // takes, and max_meta_bytes is what bounds that.
  auto msgs = proto::decode_payload(opened->payload,
                                    proto::DecodeLimits{proto::MAX_MESSAGES, static_cast<size_t>(cfg.max_meta_bytes)});
  if (!msgs) {
    ++counters.decode_errors;
    return false;
  }
  // A packet addressed by address may only ask to join: whoever dialed this address may
  // have meant another node, so it can carry nothing that news from a member could.
  if (opened->by_address &&
      !std::all_of(msgs->begin(), msgs->end(), [](const proto::Message& m) {
        auto* st = std::get_if<proto::State>(&m);
        return st && st->join;
      })) {
    ++counters.decode_errors;
    return false;
  }
  out = std::move(msgs.value());
  return true;
}

void Node::Impl::dispatch(std::vector<proto::Message>& msgs, Ctx& ctx) {
  for (auto& msg : msgs) {
    std::visit(
        [&](auto& m) {
          using T = std::decay_t<decltype(m)>;
          if constexpr (std::is_same_v<T, proto::Ping>) {
            if (!probed && m.target == self.name && m.source != self.name) probed_here();
            on_ping(m, ctx);
          }
          else if constexpr (std::is_same_v<T, proto::IndirectPing>) on_indirect(m, ctx);
          else if constexpr (std::is_same_v<T, proto::Ack>) on_ack(m, ctx);
          else if constexpr (std::is_same_v<T, proto::Nack>) on_nack(m, ctx);
          else if constexpr (std::is_same_v<T, proto::Alive>) on_alive(m, ctx);
          else if constexpr (std::is_same_v<T, proto::Suspect>) on_suspect(m);
          else if constexpr (std::is_same_v<T, proto::Dead>) on_dead(m);
          else if constexpr (std::is_same_v<T, proto::State>) merge_state(m, ctx);
          else if constexpr (std::is_same_v<T, proto::UserMessage>) on_user_message(m, ctx);
          else if constexpr (std::is_same_v<T, proto::UserBroadcast>) on_user_broadcast(m);
        },
        msg);
  }
}

// ---------------------------------------------------------------- entry points

void Node::handle_datagram(uint64_t now, const SocketAddr& from, std::span<uint8_t> packet) {
  Impl& s = *impl_;
  s.now_ = std::max(s.now_, now);
  std::vector<proto::Message> msgs;
  if (!s.intake(packet, true, msgs, {}, &from)) return;
  // Our check of ourselves comes from our own socket; it is no other node heard.
  const bool other = !s.from_self(from);
  if (other) s.last_heard = s.now_;
  Impl::Ctx ctx;
  ctx.from = from;
  s.dispatch(msgs, ctx);
  // After the packet was taken: a new life announcing itself does not pay for its predecessor.
  if (other) s.heard_from(from);
}

void Node::handle_stream(uint64_t now, StreamId id, const StreamEvent& ev) {
  Impl& s = *impl_;
  s.now_ = std::max(s.now_, now);
  if (auto* d = std::get_if<stream_event::Data>(&ev)) {
    s.stream_data(id, d->frame, d->local);
  } else {
    s.stream_end(id, std::holds_alternative<stream_event::Failed>(ev));
  }
}

void Node::handle_timeout(uint64_t now) {
  Impl& s = *impl_;
  s.now_ = std::max(s.now_, now);
  now = s.now_;
  if (s.probe.active && !s.probe.acked && !s.probe.indirect && s.probe.timeout_at <= now) s.probe_timeout_phase();
  if (s.probe.active && s.probe.end_at <= now) s.probe_end();
  if (s.next_probe && s.next_probe <= now) s.probe_tick();
  s.relay_timeouts();
  s.unanswered_checks();
  s.suspicion_timeouts();
  while (!s.nudge_timers.empty() && s.nudge_timers.begin()->first <= now) {
    uint32_t slot = s.nudge_timers.begin()->second;
    s.nudge_timers.erase(s.nudge_timers.begin());
    s.nudge(slot);
  }
  s.stream_timeouts();
  s.join_retry_timeouts();
  s.thin_timeout();
  s.expire_entries();
  s.lives_timeouts();
  s.skew_timeout();
  s.clock_timeouts();
  if (s.next_gossip && s.next_gossip <= now) s.gossip_tick();
  if (s.next_push_pull && s.next_push_pull <= now) s.push_pull_tick();
  if (s.next_reconnect && s.next_reconnect <= now) s.reconnect_tick();
  s.check_leave_done();
}

CommandId Node::command(uint64_t now, Command cmd) {
  Impl& s = *impl_;
  s.now_ = std::max(s.now_, now);
  CommandId id = s.next_command++;
  std::visit(
      [&](auto& c) {
        using T = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<T, command::Join>) s.command_join(id, std::move(c));
        else if constexpr (std::is_same_v<T, command::Leave>) s.command_leave(id);
        else if constexpr (std::is_same_v<T, command::UpdateMeta>) s.command_update_meta(id, std::move(c));
        else if constexpr (std::is_same_v<T, command::Send>) s.command_send(id, std::move(c));
        else if constexpr (std::is_same_v<T, command::Broadcast>) s.command_broadcast(id, std::move(c));
        else {
          Result<void, proto::KeyError> r;
          if constexpr (std::is_same_v<T, command::InstallKey>) r = s.codec.install_key(std::move(c.key));
          else if constexpr (std::is_same_v<T, command::UseKey>) r = s.codec.use_key(c.key);
          else r = s.codec.remove_key(c.key);
          if (r) {
            s.complete(id, outcome::Done{});
          } else {
            CommandError e = CommandError::NotEncrypted;
            switch (r.error()) {
              case proto::KeyError::NotEncrypted: e = CommandError::NotEncrypted; break;
              case proto::KeyError::NotInstalled: e = CommandError::KeyNotInstalled; break;
              case proto::KeyError::InUse: e = CommandError::KeyInUse; break;
              case proto::KeyError::LastKey: e = CommandError::LastKey; break;
            }
            s.complete(id, e);
          }
        }
      },
      cmd);
  return id;
}

void Node::set_wall_clock(uint64_t now, uint64_t wall_ms) {
  Impl& s = *impl_;
  s.now_ = std::max(s.now_, now);
  const uint64_t was = s.wall_ms();
  s.wall_read_ms = wall_ms;
  s.wall_read_at = s.now_;
  if ((wall_ms > was ? wall_ms - was : was - wall_ms) > 1000) s.clock_stepped();
}

std::optional<ClockSkew> Node::poll_clock_skew() {
  auto& q = impl_->skews;
  if (q.empty()) return std::nullopt;
  ClockSkew c = q.front();
  q.pop_front();
  return c;
}

std::optional<Transmit> Node::poll_transmit() {
  auto& q = impl_->transmits;
  if (q.empty()) return std::nullopt;
  Transmit t = std::move(q.front());
  q.pop_front();
  return t;
}

std::optional<Event> Node::poll_event() {
  auto& q = impl_->events;
  if (q.empty()) return std::nullopt;
  Event e = std::move(q.front());
  q.pop_front();
  return e;
}

std::optional<uint64_t> Node::next_deadline() const {
  const Impl& s = *impl_;
  uint64_t best = UINT64_MAX;
  auto take = [&](uint64_t t) {
    if (t && t < best) best = t;
  };
  if (s.probe.active) {
    if (!s.probe.acked && !s.probe.indirect) take(s.probe.timeout_at);
    take(s.probe.end_at);
  }
  take(s.next_probe);
  if (!s.relay_deadlines.empty()) take(s.relay_deadlines.front().first);
  if (!s.susp_timers.empty()) take(s.susp_timers.begin()->first);
  if (!s.nudge_timers.empty()) take(s.nudge_timers.begin()->first);
  if (!s.check_deadlines.empty()) take(s.check_deadlines.front().first);
  if (!s.stream_deadlines.empty()) take(s.stream_deadlines.begin()->first);
  if (!s.join_retries.empty()) take(std::get<0>(*s.join_retries.begin()));
  if (s.thin()) take(s.thin_until);
  if (!s.expiries.empty()) take(s.expiries.begin()->first);
  take(s.pending_report);
  take(s.reassert_at);
  if (s.skews_left_out) take(std::max<uint64_t>(s.skew_ration_at(), 1));
  take(s.clocks.next_due());
  if (s.owed_epoch) take(s.disown_again);
  take(s.next_gossip);
  take(s.next_push_pull);
  take(s.next_reconnect);
  if (best == UINT64_MAX) return std::nullopt;
  return best;
}

const Member& Node::local() const { return impl_->self; }

void Node::for_each_member(const std::function<void(const Member&)>& f) const {
  impl_->table.for_each([&](const Entry& e) { f(e.m); });
}

size_t Node::table_size() const { return impl_->table.size(); }

const Member* Node::find(std::string_view name) const {
  const Entry* e = impl_->table.find(name);
  return e ? &e->m : nullptr;
}

std::vector<Member> Node::members() const {
  std::vector<Member> out;
  const Impl& s = *impl_;
  if (is_live(s.self.state)) out.push_back(s.self);
  s.table.for_each([&](const Entry& e) {
    if (is_live(e.m.state)) out.push_back(e.m);
  });
  return out;
}

uint64_t Node::version() const { return impl_->version; }
std::vector<proto::KeyId> Node::key_ids() const { return impl_->codec.key_ids(); }
proto::HeaderCheck Node::header_check() const { return impl_->codec.header_check(); }
const Counters& Node::counters() const { return impl_->counters; }
uint32_t Node::local_health() const { return impl_->lhm; }
void Node::add_decode_errors(uint64_t n) { impl_->counters.decode_errors += n; }
void Node::add_decrypt_failures(uint64_t n) { impl_->counters.decrypt_failures += n; }
const Config& Node::config() const { return impl_->cfg; }

}  // namespace vennock::core
