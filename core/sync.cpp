// Streams as the engine sees them: push-pull, reconnects, joins, and the stream timers.
#include <algorithm>
#include <array>
#include <cmath>
#include <span>
#include <string_view>

#include "core/impl.hpp"

namespace vennock::core {

namespace {

// Push-pull slows down as the cluster grows, so the total state exchanged per second stays
// roughly linear in the cluster size rather than quadratic.
uint64_t push_pull_scale(uint64_t interval, size_t n) {
  constexpr double kBase = 32;
  if (n <= kBase) return interval;
  double mult = std::ceil(std::log2(static_cast<double>(n)) - std::log2(kBase)) + 1.0;
  double v = static_cast<double>(interval) * mult;
  return v >= 1.8e19 ? UINT64_MAX / 2 : static_cast<uint64_t>(v);
}

}  // namespace

bool Node::Impl::start_push_pull(const proto::SocketAddr& to, std::string peer, StreamKind kind, CommandId join,
                                 uint32_t seed) {
  scratch_payload.clear();
  proto::encode(full_state(kind == StreamKind::Join), scratch_payload);
  if (scratch_payload.size() + codec.overhead() > cfg.max_stream_frame) {
    ++counters.state_too_large;
    return false;
  }
  StreamId id = open_stream(to, kind, std::move(peer));
  Stream& s = streams[id];
  s.join = join;
  s.seed = seed;
  send_frame(id, scratch_payload);
  return true;
}

void Node::Impl::push_pull_tick() {
  // An interval of zero turns push-pull off.
  if (cfg.push_pull_interval.is_zero()) {
    next_push_pull = 0;
    return;
  }
  uint64_t interval = push_pull_scale(cfg.push_pull_interval.as_nanos(), table.live_count() + 1);
  next_push_pull = later(now_, interval);
  if (!push_pull_spread && interval > cfg.push_pull_interval.as_nanos()) {
    // The first exchange comes within the plain interval, so a new member soon repairs what
    // gossip missed while it joined; but the stretch is unknown until the node knows the
    // cluster, and members started together would go on exchanging within one plain interval
    // of every stretched one (at 512 members, a 30 s band every 150 s). The first exchange
    // under the stretch comes at a random point of the stretched interval, which spreads them
    // over all of it.
    push_pull_spread = true;
    next_push_pull = later(now_, 1 + rng.below(interval));
  }
  if (self.state == MemberState::Left || table.live_count() == 0) return;
  uint32_t slot = table.live()[rng.below(table.live_count())];
  const Entry& e = table.at(slot);
  if (!start_push_pull(e.m.addr, e.m.name, StreamKind::PushPull, 0, 0)) ++counters.push_pull_failures;
}

void Node::Impl::reconnect_tick() {
  // An interval of zero turns reconnects off.
  next_reconnect = cfg.reconnect_interval.is_zero() ? 0 : later(now_, cfg.reconnect_interval.as_nanos());
  if (self.state == MemberState::Left || table.gone_count() == 0) return;
  // A member we believe dead may only be on the other side of a partition: exchange state
  // with one, so both sides learn the other is alive once the network heals.
  for (int tries = 0; tries < 8; ++tries) {
    uint32_t slot = table.gone()[rng.below(table.gone_count())];
    const Entry& e = table.at(slot);
    if (e.m.state != MemberState::Dead) continue;
    if (!start_push_pull(e.m.addr, e.m.name, StreamKind::PushPull, 0, 0)) ++counters.push_pull_failures;
    return;
  }
}

namespace {

// The member that sent a message, when the message names it: a State's first record, a
// Ping's source, an IndirectPing's requester, a UserMessage's sender.
std::string_view sender_of(const proto::Message& m) {
  if (auto* st = std::get_if<proto::State>(&m)) {
    if (st->members.empty()) return {};
    return st->members.front().name;
  }
  if (auto* p = std::get_if<proto::Ping>(&m)) return p->source;
  if (auto* u = std::get_if<proto::UserMessage>(&m)) return u->from;
  if (auto* i = std::get_if<proto::IndirectPing>(&m)) return i->requester;
  return "";
}

}  // namespace

size_t Node::Impl::join_addresses(const std::optional<proto::SocketAddr>& local,
                                  std::array<proto::SocketAddr, 4>& out) const {
  // A joiner that does not know our name yet addresses its first frame to the address it
  // dialed: ours as we advertise it, or the one the connection arrived at. A listener on the
  // IPv6 wildcard sees an IPv4 connection arrive at the IPv4-mapped form, which the joiner
  // did not dial: a mapped address is tried as the IPv4 address it stands for as well. Only
  // in that direction: every address tried costs a junk join frame one more tag check, and
  // one that dialed the mapped form of an IPv4 address arrives at it on such a listener.
  size_t n = 0;
  auto add = [&](const proto::SocketAddr& a) {
    if (std::find(out.begin(), out.begin() + n, a) == out.begin() + n) out[n++] = a;
  };
  for (const proto::SocketAddr& a : {self.addr.on_wire(), local ? local->on_wire() : self.addr.on_wire()}) {
    add(a);
    if (auto v4 = a.unmapped()) add(*v4);
  }
  return n;
}

bool Node::Impl::admit_inbound(StreamId id) {
  if (!is_inbound(id)) {
    // A frame on an outbound stream we already let go of.
    ++counters.packets_received;
    return false;
  }
  if (inbound_streams >= MAX_INBOUND_STREAMS) {
    ++counters.packets_received;
    transmits.push_back(transmit::Close{id});
    return false;
  }
  Stream s;
  s.kind = StreamKind::Inbound;
  streams.emplace(id, std::move(s));
  ++inbound_streams;
  set_stream_deadline(id, later(now_, cfg.tcp_timeout.as_nanos()));
  return true;
}

void Node::Impl::stream_data(StreamId id, std::span<const uint8_t> frame,
                             const std::optional<proto::SocketAddr>& local) {
  auto it = streams.find(id);
  const bool first = it == streams.end();
  if (first) {
    if (!admit_inbound(id)) return;
    it = streams.find(id);
  }
  // The frame is lent; opening works in place, so take a copy.
  std::vector<uint8_t> buf(frame.begin(), frame.end());
  std::vector<proto::Message> msgs;
  std::array<proto::SocketAddr, 4> addrs;
  std::span<const proto::SocketAddr> join_addrs;
  if (first) join_addrs = std::span<const proto::SocketAddr>(addrs.data(), join_addresses(local, addrs));
  // A frame on a stream we opened comes from where we dialed: its clock is that peer's (the
  // answer to a join is all a node whose clock is off by a day may ever hear).
  const proto::SocketAddr* remote = it->second.remote ? &*it->second.remote : nullptr;
  if (!intake(buf, false, msgs, join_addrs, remote)) {
    // A peer that cannot talk to us gets nothing more from this stream.
    transmits.push_back(transmit::Close{id});
    stream_end(id, true);
    return;
  }
  // What this stream sends back is for whoever sent this: the first message on it that names
  // its sender names the peer. (What is answered, a State or a Ping, names its sender itself,
  // so no answer is ever for nobody.)
  for (size_t k = 0; it->second.peer.empty() && k < msgs.size(); ++k) it->second.peer = sender_of(msgs[k]);
  last_heard = now_;
  Ctx ctx;
  ctx.stream = id;
  ctx.join_answer = it->second.kind == StreamKind::Join;
  // State needs the stream's own handling: answered on inbound streams, completing the
  // exchange on outbound ones.
  for (auto& m : msgs) {
    auto* st = std::get_if<proto::State>(&m);
    if (!st) continue;
    stream_state(id, *st, ctx);
    ctx.stream.reset();
    break;
  }
  std::erase_if(msgs, [](const proto::Message& m) { return std::holds_alternative<proto::State>(m); });
  if (!msgs.empty()) {
    if (!streams.count(id)) ctx.stream.reset();
    dispatch(msgs, ctx);
  }
}

void Node::Impl::stream_state(StreamId id, const proto::State& st, Ctx& ctx) {
  merge_state(st, ctx);
  note_refusals(st, ctx.refused_ahead);
  auto sit = streams.find(id);
  if (sit == streams.end()) return;
  Stream& s = sit->second;
  // A member a join linked us to lately passes its table on to us (see pass_table_on): what
  // it taught us, the others linked to us lack too.
  const std::string sender = st.members.empty() ? std::string() : st.members.front().name;
  const bool pass_on = ctx.learned_quietly && !thin() && linked(sender);
  if (s.kind == StreamKind::Inbound) {
    if (st.join && !st.members.empty()) {
      // A member that knows nobody yet (its State holds only itself) learns the cluster from us.
      if (st.members.size() == 1) link_joiner(st.members.front());
      if (defer_answer(id, st.members.front())) return;
    }
    answer_state(id);  // (s is gone)
  } else if (s.kind == StreamKind::PushPull || s.kind == StreamKind::Join) {
    ++counters.push_pulls;
    CommandId join = s.join;
    uint32_t seed = s.seed;
    bool is_join = s.kind == StreamKind::Join;
    close_stream(id);
    if (is_join) {
      // We know what the seed knew now: the news we held back goes to the cluster, and the
      // joins we held get their answers.
      if (!joined && !st.members.empty()) joined_via = st.members.front().name;
      const bool first = !joined;
      if (first) joined_at = now_;
      joined = true;
      if (first && thin_lapsed) respread_joiners();
      settle_thin();
      join_settle(join, seed, true);
    }
  }
  if (pass_on) pass_table_on(sender, false);
}

bool Node::Impl::linked(const std::string& name) const {
  if (name.empty()) return false;
  if (name == joined_via) return true;
  for (const Joiner& j : joiners)
    if (j.name == name && recent(j)) return true;
  return false;
}

void Node::Impl::answer_state(StreamId id) {
  scratch_payload.clear();
  proto::encode(full_state(false), scratch_payload);
  if (send_frame(id, scratch_payload)) {
    ++counters.push_pulls_served;
  } else {
    ++counters.state_too_large;
  }
  close_stream(id);
}

bool Node::Impl::defer_answer(StreamId id, const proto::MemberRecord& joiner) {
  // While our own first join is under way we know little beyond ourselves: answered now, the
  // joiner would learn nothing of the cluster but what gossip brings it, and nobody gossips a
  // member settled long ago, nor one that was only ever a seed. It gets its answer once we
  // know what our seed knew, or at the latest a protocol period from now: members started
  // together, each joining through the next in a ring, would each wait for the other until
  // then (those answered early get our table once our join is answered). Not a member we
  // are joining through: the two would wait for each other.
  if (!thin()) {
    // Answered with little while our join is still under way: it gets our table once our
    // join is answered.
    if (joining()) mark_answered_thin(joiner.name);
    return false;
  }
  for (const auto& [cid, op] : joins)
    for (const auto& seed : op.seeds)
      if (seed.on_wire() == joiner.addr.on_wire()) return false;
  Stream& s = streams[id];
  s.deferred = true;
  set_stream_deadline(id, std::min(s.deadline, later(now_, cfg.probe_interval.as_nanos())));
  return true;
}

void Node::Impl::thin_timeout() {
  if (!thin_until || now_ < thin_until) return;
  thin_until = 0;
  if (!joining()) return;
  thin_lapsed = true;
  settle_thin();
}

void Node::Impl::respread_joiners() {
  for (const Joiner& j : joiners) {
    if (!recent(j)) continue;
    Entry* e = table.find(j.name);
    if (e && e->m.state == MemberState::Alive && e->m.epoch == j.epoch) gossip_member(*e);
  }
}

void Node::Impl::settle_thin() {
  if (thin()) return;
  gossip.release();
  std::vector<StreamId> ids;
  for (const auto& [id, s] : streams)
    if (s.deferred) ids.push_back(id);
  for (StreamId id : ids) answer_state(id);
  if (joined) pass_table_on({}, true);
}

void Node::Impl::pass_table_on(std::string_view except, bool only_thin) {
  // A member that joined through us learned the cluster from our answer, and from gossip,
  // which brings it the members that joined lately but not one settled long ago, nor one that
  // was only ever a seed: nobody gossips those. If we answered before our own join was, it
  // got nothing of the cluster; and if our seed answered us so, our table grows when that
  // seed passes its table on to us, and theirs must too. The other way round, the members that
  // joined through us while we were joining are known on our seed's side only from our gossip,
  // which a lost packet or two keeps from a small side: when we answered some of them before
  // our own join was answered, our seed gets our table too, and passes it on to the others
  // that joined through it. And what the table of a member that joined through us teaches us
  // goes up to our seed as well while our join is recent: the members that joined below us
  // while our side was apart from our seed's (each answered early, under loss) are known up
  // there only from gossip, whose copies were spent on our side before it knew theirs.
  std::vector<std::string> to;
  bool early = false;
  for (Joiner& j : joiners) {
    if (j.name == except || !recent(j) || (only_thin && !j.answered_thin)) continue;
    early = early || j.answered_thin;
    j.answered_thin = false;
    to.push_back(j.name);
  }
  const bool from_below =
      !only_thin && except != joined_via && now_ - joined_at < cfg.push_pull_interval.as_nanos();
  if (!joined_via.empty() && ((only_thin && early) || from_below)) to.push_back(joined_via);
  for (const std::string& name : to) {
    const Entry* e = table.find(name);
    if (!e || !is_live(e->m.state)) continue;
    if (!start_push_pull(e->m.addr, e->m.name, StreamKind::PushPull, 0, 0)) ++counters.push_pull_failures;
  }
}

void Node::Impl::link_joiner(const proto::MemberRecord& joiner) {
  std::erase_if(joiners, [&](const Joiner& j) { return !recent(j); });
  for (const Joiner& j : joiners)
    if (j.name == joiner.name) return;
  if (joiners.size() < MAX_JOINERS) joiners.push_back(Joiner{joiner.name, joiner.epoch, now_});
}

void Node::Impl::tell_joiners(const Entry& newcomer) {
  // News of a member that started before a member joined through us may still have been on
  // its way when we answered that join, and the members that spent their copies of it before
  // they knew of the joiner will not send it one: our next gossip round goes to the joiner.
  for (Joiner& j : joiners)
    if (newcomer.m.epoch < j.epoch && recent(j)) j.tell = true;
}

void Node::Impl::tell_targets(std::vector<uint32_t>& targets, size_t k) {
  for (Joiner& j : joiners) {
    if (!j.tell || targets.size() >= k) continue;
    j.tell = false;
    const Entry* e = table.find(j.name);
    if (!e || !is_live(e->m.state)) continue;
    targets.push_back(table.slot_of(*e));
  }
}

void Node::Impl::stream_end(StreamId id, bool failed) {
  auto it = streams.find(id);
  if (it == streams.end()) return;
  Stream s = std::move(it->second);
  forget_stream(id);
  switch (s.kind) {
    case StreamKind::Inbound:
    case StreamKind::TcpPing:
      break;
    case StreamKind::PushPull:
      ++counters.push_pull_failures;
      break;
    case StreamKind::Join:
      ++counters.push_pull_failures;
      join_settle(s.join, s.seed, false);
      break;
    case StreamKind::User: {
      // We cannot tell which of its messages arrived before a failure: count them all.
      if (failed) counters.user_messages_dropped += s.user_msgs;
      auto q = user_queues.find(s.member);
      if (q != user_queues.end() && q->second.active == id) {
        q->second.active = 0;
        user_stream_next(s.member);
      }
      break;
    }
  }
}

void Node::Impl::stream_timeouts() {
  while (!stream_deadlines.empty() && stream_deadlines.begin()->first <= now_) {
    StreamId id = stream_deadlines.begin()->second;
    auto it = streams.find(id);
    if (it == streams.end()) {
      stream_deadlines.erase(stream_deadlines.begin());
      continue;
    }
    if (it->second.deferred) {
      // A join we held for our own, which is taking long: it gets what we know now, and our
      // table once our join is answered (settle_thin).
      mark_answered_thin(it->second.peer);
      answer_state(id);
      continue;
    }
    // Every stream ends within tcp_timeout, whatever the peer does.
    transmits.push_back(transmit::Close{id});
    // A user stream that outlived its time had its frames written long ago; the others failed.
    stream_end(id, it->second.kind != StreamKind::User);
  }
}

void Node::Impl::command_join(CommandId id, command::Join j) {
  // Left first: a count of 0 after leaving would report a join that cannot happen as done.
  if (self.state == MemberState::Left) {
    complete(id, CommandError::Left);
    return;
  }
  std::vector<proto::SocketAddr> seeds;
  for (const auto& a : j.seeds) {
    if (a == self.addr) continue;
    if (std::find(seeds.begin(), seeds.end(), a) != seeds.end()) continue;
    seeds.push_back(a);
  }
  if (seeds.empty()) {
    complete(id, outcome::Count{0});
    return;
  }
  JoinOp op;
  op.seeds = std::move(seeds);
  op.attempts.assign(op.seeds.size(), 0);
  op.settled.assign(op.seeds.size(), 0);
  op.open = op.seeds.size();
  size_t n = op.seeds.size();
  if (!joining()) thin_until = later(now_, thin_span());
  joins.emplace(id, std::move(op));
  for (uint32_t i = 0; i < n; ++i) join_attempt(id, i);
}

void Node::Impl::join_attempt(CommandId id, uint32_t seed) {
  auto it = joins.find(id);
  if (it == joins.end()) return;
  ++it->second.attempts[seed];
  // A node that left contacts no one; and when our state cannot be sent at all, trying again
  // would not help either.
  if (self.state == MemberState::Left ||
      !start_push_pull(it->second.seeds[seed], {}, StreamKind::Join, id, seed)) {
    it->second.attempts[seed] = cfg.join_retries;
    join_settle(id, seed, false);
  }
}

void Node::Impl::join_settle(CommandId id, uint32_t seed, bool answered) {
  auto it = joins.find(id);
  if (it == joins.end()) return;
  JoinOp& op = it->second;
  if (seed >= op.seeds.size() || op.settled[seed] != 0) return;
  if (!answered && op.attempts[seed] < cfg.join_retries) {
    // Try a silent seed again after a short pause (join_attempt gives up if we left meanwhile).
    join_retries.insert({later(now_, cfg.probe_interval.as_nanos()), id, seed});
    return;
  }
  op.settled[seed] = answered ? 1 : 2;
  if (answered) ++op.answered;
  if (--op.open == 0) {
    uint64_t n = op.answered;
    joins.erase(it);
    // Joined or given up: either way, what we know is all we will know for now.
    settle_thin();
    if (n > 0)
      complete(id, outcome::Count{n});
    else
      complete(id, CommandError::JoinFailed);
  }
}

void Node::Impl::join_retry_timeouts() {
  while (!join_retries.empty() && std::get<0>(*join_retries.begin()) <= now_) {
    auto [t, id, seed] = *join_retries.begin();
    join_retries.erase(join_retries.begin());
    (void)t;
    join_attempt(id, seed);
  }
}

}  // namespace vennock::core
