// Probing (direct, indirect with nacks, and over a stream), local health, and the gossip timer.
#include <algorithm>

#include "core/impl.hpp"

namespace vennock::core {

void Node::Impl::adjust_health(int delta) {
  if (!cfg.local_health) return;
  int64_t v = static_cast<int64_t>(lhm) + delta;
  v = std::clamp<int64_t>(v, 0, cfg.awareness_max);
  lhm = static_cast<uint32_t>(v);
}

void Node::Impl::pick_random(const std::vector<uint32_t>& from, size_t k, const std::string* exclude,
                             std::vector<uint32_t>& out) {
  out.clear();
  if (from.empty() || k == 0) return;
  // Rejection sampling: O(k) expected, since the exclusions are at most one member plus
  // those already picked.
  size_t want = std::min(k, from.size());
  size_t tries = 0;
  while (out.size() < want && tries < 4 * k + 16) {
    ++tries;
    uint32_t slot = from[rng.below(from.size())];
    if (exclude && table.at(slot).m.name == *exclude) continue;
    if (std::find(out.begin(), out.end(), slot) != out.end()) continue;
    out.push_back(slot);
  }
}

bool Node::Impl::next_target(uint32_t& slot) {
  for (int round = 0; round < 2; ++round) {
    while (probe_idx < probe_order.size()) {
      auto [s, g] = probe_order[probe_idx++];
      const Entry& e = table.at(s);
      if (e.used && e.gen == g && is_live(e.m.state)) {
        slot = s;
        return true;
      }
    }
    // End of a round: start a new one over the live members in a fresh random order.
    probe_order.clear();
    for (uint32_t s : table.live()) probe_order.emplace_back(s, table.at(s).gen);
    rng.shuffle(probe_order);
    probe_idx = 0;
    if (probe_order.empty()) return false;
  }
  return false;
}

void Node::Impl::probe_tick() {
  next_probe = 0;
  if (self.state == MemberState::Left) return;
  uint64_t interval = scaled(cfg.probe_interval);
  uint32_t slot;
  if (!next_target(slot)) {
    // Nobody to probe: no measure of our own health either, and what was charged for probes of
    // members now gone would stretch the probing of whoever joins next.
    lhm = 0;
    next_probe = later(now_, cfg.probe_interval.as_nanos());
    return;
  }
  Entry& e = table.at(slot);
  uint32_t s = ++seq;
  scratch_payload.clear();
  if (cfg.buddy_system && e.m.state == MemberState::Suspect) {
    // Tell the suspect first, so it can refute at once.
    std::string from = e.susp ? e.susp->accuser() : self.name;
    proto::encode(proto::Suspect{e.m.name, e.m.epoch, e.m.incarnation, from}, scratch_payload);
  }
  proto::encode(proto::Ping{s, e.m.name, self.name}, scratch_payload);
  probe = Probe{};
  probe.active = true;
  probe.slot = slot;
  probe.gen = e.gen;
  probe.name = e.m.name;
  probe.epoch = e.m.epoch;
  probe.seq = s;
  probe.started = now_;
  probe.timeout_at = later(now_, scaled(cfg.probe_timeout));
  probe.end_at = later(now_, interval);
  ++counters.probes_sent;
  send_packet(e.m.addr, e.m.name, scratch_payload, true);
  // With the buddy system this was a check of a suspect too.
  if (cfg.buddy_system) checked_suspect(slot);
  next_probe = probe.end_at;
}

void Node::Impl::probe_timeout_phase() {
  probe.indirect = true;
  const Entry& e = table.at(probe.slot);
  if (!e.used || e.gen != probe.gen || !is_live(e.m.state)) {
    // Declared dead (or gone) meanwhile: that explains its silence, which says nothing of ours.
    probe.gone = true;
    return;
  }
  ask_helpers(e);
  if (cfg.tcp_fallback_ping) {
    // A stream gets through where datagrams are filtered or dropped.
    StreamId id = open_stream(e.m.addr, StreamKind::TcpPing, e.m.name);
    streams[id].ping_seq = probe.seq;
    scratch_payload.clear();
    proto::encode(proto::Ping{probe.seq, e.m.name, self.name}, scratch_payload);
    send_frame(id, scratch_payload);
    set_stream_deadline(id, std::min(probe.end_at, later(now_, cfg.tcp_timeout.as_nanos())));
    probe.tcp = id;
    ++counters.tcp_pings;
  }
}

void Node::Impl::ask_helpers(const Entry& target) {
  std::vector<uint32_t> helpers;
  pick_random(table.live(), cfg.indirect_checks, &probe.name, helpers);
  for (uint32_t h : helpers) {
    const Entry& he = table.at(h);
    scratch_payload.clear();
    proto::encode(proto::IndirectPing{probe.seq, target.m.name, target.m.addr.on_wire(), self.name, cfg.nacks},
                  scratch_payload);
    ++counters.indirect_probes;
    if (cfg.nacks) probe.helpers.push_back(Helper{he.m.addr.on_wire(), he.m.name, he.m.epoch});
    send_packet(he.m.addr, he.m.name, scratch_payload, true);
  }
  probe.alone = helpers.empty() && cfg.indirect_checks > 0;
  if (!cfg.nacks || helpers.empty()) return;
  probe.expected_nacks = static_cast<uint32_t>(helpers.size());
  probe.asked_at = now_;
  // Should the helpers stay silent, our own check tells whether our inputs are handled in
  // time (see charge_helpers).
  check_self();
}

void Node::Impl::check_self() {
  self_seq = ++seq;
  self_sent = now_;
  // Unstretched: a round trip through our own socket takes microseconds when our inputs are
  // read at all.
  self_due = later(now_, cfg.probe_timeout.as_nanos());
  scratch_payload.clear();
  proto::encode(proto::Ping{self_seq, self.name, self.name}, scratch_payload);
  // To our socket by the host's own way when the runtime told us one: through the advertised
  // address, behind a NAT that does not hairpin, it never came back, and every silent helper
  // was charged as if our inputs were late.
  send_packet(check_addr, self.name, scratch_payload, false);
}

bool Node::Impl::self_answer(const proto::Ack& a, const Ctx& ctx) {
  if (!ctx.from || !from_self(*ctx.from)) return false;
  if (self_seq && a.seq == self_seq && now_ <= self_due) self_ok_at = self_sent;
  if (a.seq == self_seq) self_seq = 0;
  return true;
}

void Node::Impl::probe_end() {
  Probe p = std::move(probe);
  probe = Probe{};
  if (p.tcp && streams.count(p.tcp)) close_stream(p.tcp);
  settle_nacks();
  if (p.acked) return;
  ++counters.probes_failed;
  if (last_answer < p.started) silent_probes = std::min(silent_probes, UINT32_MAX - 1) + 1;
  // With nacks, a silent target whose helpers all answered says nothing about us; a helper
  // that stayed silent too may point at our own link (charge_helpers). Their Nacks are still on
  // their way (a helper waits its whole probe timeout first), so they are settled a period
  // from now. With no member but the target to ask, nothing tells its silence from ours, and
  // nothing would take the charge back: a member left alone with a peer that crashed fails
  // every probe of it, and a survivor whose peers came and crashed one after another ran at
  // the longest period for good. That probe charges nothing, nor does one whose target was
  // declared dead before it timed out.
  if (p.expected_nacks > 0) {
    nack_tally = NackTally{p.seq, p.expected_nacks, p.nacks, p.asked_at, std::move(p.helpers)};
  } else if (!p.alone && !p.gone) {
    adjust_health(1);
  }
  Entry* e = table.find(p.name);
  // A failed probe of a member already suspect is an independent confirmation of it; unless
  // nobody hears this node, whose silence then says nothing about the target.
  if (!e || e->gen != p.gen || e->m.epoch != p.epoch || !is_live(e->m.state) || unheard()) return;
  on_suspect(proto::Suspect{e->m.name, e->m.epoch, e->m.incarnation, self.name});
}

void Node::Impl::on_ping(const proto::Ping& p, Ctx& ctx) {
  if (ctx.pinged) return;
  ctx.pinged = true;
  if (p.target != self.name) {
    ++counters.misdirected;
    return;
  }
  // Over a stream, only a stream a peer opened to probe us is answered (and closed): the ones
  // this node opened carry its own exchanges, which a stray Ping must not end unaccounted.
  if (ctx.stream && !is_inbound(*ctx.stream)) return;
  scratch_payload.clear();
  proto::encode(proto::Ack{p.seq}, scratch_payload);
  if (p.source == self.name && !ctx.stream) {
    // Our check of ourselves (or a twin's at our address): no gossip rides along, its copies
    // are for others.
    if (ctx.from) send_packet(*ctx.from, p.source, scratch_payload, false);
    return;
  }
  if (ctx.stream) {
    send_frame(*ctx.stream, scratch_payload);
    close_stream(*ctx.stream);
    ctx.stream.reset();
    return;
  }
  if (ctx.from) send_packet(*ctx.from, p.source, scratch_payload, true);
}

void Node::Impl::on_indirect(const proto::IndirectPing& p, Ctx& ctx) {
  if (!ctx.from || ctx.relayed || relays.size() >= MAX_RELAYS) return;
  ctx.relayed = true;
  uint32_t s = ++seq;
  Relay r;
  r.requester = *ctx.from;
  r.requester_name = p.requester;
  r.requester_seq = p.seq;
  r.nack = p.nack;
  r.deadline = later(now_, cfg.probe_timeout.as_nanos());
  relays[s] = r;
  relay_deadlines.emplace_back(r.deadline, s);
  scratch_payload.clear();
  proto::encode(proto::Ping{s, p.target, self.name}, scratch_payload);
  send_packet(p.target_addr, p.target, scratch_payload, true);
}

void Node::Impl::relay_timeouts() {
  while (!relay_deadlines.empty() && relay_deadlines.front().first <= now_) {
    uint32_t s = relay_deadlines.front().second;
    relay_deadlines.pop_front();
    auto it = relays.find(s);
    if (it == relays.end()) continue;
    Relay r = it->second;
    relays.erase(it);
    if (r.nack) {
      scratch_payload.clear();
      proto::encode(proto::Nack{r.requester_seq}, scratch_payload);
      send_packet(r.requester, r.requester_name, scratch_payload, true);
    }
  }
}

void Node::Impl::answered() {
  // Heard again after a silence longer than loss explains: each suspect it holds gets the
  // shortest timeout from now to answer a check and refute. Its timer may have been set again
  // while this node was unheard, or set by a probe that failed only because of that, and
  // would otherwise run out just after, the suspect never checked over a working link.
  if (silent_probes >= 3 && unheard()) respite_suspects();
  last_answer = now_;
  silent_probes = 0;
  accused_until = 0;
}

void Node::Impl::on_ack(const proto::Ack& a, Ctx& ctx) {
  if (self_answer(a, ctx)) return;  // nobody else heard us
  answered();
  if (probe.active && a.seq == probe.seq) {
    if (ctx.stream && *ctx.stream == probe.tcp) ++counters.tcp_ping_acks;
    if (!probe.acked) {
      probe.acked = true;
      adjust_health(-1);
    }
    if (probe.tcp && streams.count(probe.tcp)) close_stream(probe.tcp);
    probe.tcp = 0;
    if (ctx.stream) ctx.stream.reset();
    return;
  }
  checks.erase(a.seq);  // a check of a suspect, answered
  auto it = relays.find(a.seq);
  if (it == relays.end()) return;
  Relay r = it->second;
  relays.erase(it);  // its deadline entry is skipped when it comes due
  scratch_payload.clear();
  proto::encode(proto::Ack{r.requester_seq}, scratch_payload);
  send_packet(r.requester, r.requester_name, scratch_payload, true);
}

void Node::Impl::on_nack(const proto::Nack& n, const Ctx& ctx) {
  answered();
  // Which helper it came from, when its address tells (a Nack from elsewhere still counts).
  auto mark = [&](std::vector<Helper>& helpers) {
    if (!ctx.from) return;
    const proto::SocketAddr a = ctx.from->on_wire();
    for (Helper& h : helpers) {
      if (h.addr == a && !h.nacked) {
        h.nacked = true;
        return;
      }
    }
  };
  if (probe.active && n.seq == probe.seq && probe.nacks < probe.expected_nacks) {
    ++probe.nacks;
    mark(probe.helpers);
  }
  if (nack_tally && n.seq == nack_tally->seq && nack_tally->got < nack_tally->expected) {
    ++nack_tally->got;
    mark(nack_tally->helpers);
  }
}

void Node::Impl::heard_from(const proto::SocketAddr& from) {
  const proto::SocketAddr a = from.on_wire();
  // Only once its Nack was due: a helper that spoke before, then crashed, says nothing of us.
  const uint64_t due = cfg.probe_timeout.as_nanos();
  for (Helper& h : probe.helpers) h.heard |= h.addr == a && now_ - probe.asked_at >= due;
  if (nack_tally)
    for (Helper& h : nack_tally->helpers) h.heard |= h.addr == a && now_ - nack_tally->asked_at >= due;
  if (debts.empty()) return;
  auto it = debts.find(a);
  if (it == debts.end()) return;
  const Debt d = std::move(it->second);
  debts.erase(it);
  const Entry* e = table.find(d.name);
  if (now_ > d.until || !e || e->m.epoch != d.epoch) return;
  adjust_health(static_cast<int>(d.count));
  // The charge was due when the Nacks were settled, at the start of the period under way,
  // which it would have stretched: it does now. (Charged a round trip or more later, a member
  // under 20% loss ran at the shorter period that much more, and suspected 3.6% more often.)
  if (probe.active) {
    const uint64_t end = later(probe.started, scaled(cfg.probe_interval));
    if (end > probe.end_at) probe.end_at = next_probe = end;
  }
}

void Node::Impl::settle_nacks() {
  std::erase_if(debts, [&](const auto& kv) { return kv.second.until < now_; });
  if (!nack_tally) return;
  const NackTally t = std::move(*nack_tally);
  nack_tally.reset();
  const uint32_t missed = t.expected - t.got;
  counters.missed_nacks += missed;
  if (missed > 0) charge_helpers(t, missed);
}

void Node::Impl::charge_helpers(const NackTally& t, uint32_t missed) {
  // Lifeguard takes a missing Nack for our own link's fault: the helper, a live member, would
  // have answered. But a helper may have crashed, and then its silence is its own: a survivor
  // of a crash of most of a cluster, asking crashed members for help, charged itself to the
  // longest period and took minutes to declare them dead. So a silent helper charges us at
  // once when it was heard from after its Nack was due (it lives), or when our own Ping, sent
  // with the request, did not come back in time either (a stalled process's inputs wait
  // unread, that Ping among them, and it must slow down while stalled, not after). While our
  // own Ping comes back, the charge waits until that life of the helper is heard from again,
  // for as long as a suspicion of it could last; one that crashed never charges. The period
  // under way is stretched then (heard_from), as it would have been by a charge made now.
  const bool timely = self_ok_at >= t.asked_at;
  const uint64_t window = suspicion_max_ns();
  int charged = 0;
  for (const Helper& h : t.helpers) {
    if (missed == 0) break;
    if (h.nacked) continue;
    --missed;
    if (h.heard || !timely) {
      ++charged;
      continue;
    }
    Debt& d = debts[h.addr];
    if (d.name != h.name || d.epoch != h.epoch) d = Debt{h.name, h.epoch, 0, 0};
    d.count = std::min(d.count + 1, cfg.awareness_max);
    d.until = later(now_, window);
    // Ask it directly whether it lives (a Ping nobody waits for, nothing riding along): its
    // Ack settles the question at once, where its other packets may take many periods.
    scratch_payload.clear();
    proto::encode(proto::Ping{++seq, h.name, self.name}, scratch_payload);
    send_packet(h.addr, h.name, scratch_payload, false);
  }
  adjust_health(charged);
}

uint64_t Node::Impl::own_suspicion_start() const {
  // Nothing from any other node for the shortest suspicion timeout, while our own Ping, sent
  // since, came back in time: silence both ways that is not our own (a survivor of a crash of
  // most of the cluster, or a node cut off from it). Every member has been as silent as the
  // one suspected now, and the suspicion counts from when that began: a lone survivor probes
  // one member a period, and the last of fifteen, suspected fifteen periods after the crash,
  // would otherwise be declared dead after the bound. A stalled node's Ping waits with its
  // other inputs, so its silences start no suspicion early.
  const uint64_t min = suspicion_min_ns();
  if (last_heard == 0 || now_ - last_heard < min || self_ok_at <= last_heard) return now_;
  return last_heard;
}

void Node::Impl::gossip_targets(std::vector<uint32_t>& targets) {
  // Live members, and the recently dead so a member wrongly declared dead hears it and
  // refutes. Not the members held left: the only news one of them needs is its own departure
  // (tell_departed). Drawn as targets like the dead, they took 27 to 30% of the gossip
  // timer's packets, each filled with all the news, for 30 s after half a cluster of 64 left.
  // Drawn at random, but a member the next item to go has reached already is passed over while
  // draws are left for that: in a small cluster, where an item reaches every member, random
  // targets would leave the last few waiting for many ticks.
  targets.clear();
  const size_t k = cfg.gossip_nodes;
  tell_targets(targets, k);
  const uint64_t dead_window = cfg.gossip_to_the_dead.as_nanos();
  const size_t live = table.live_count(), gone = table.gone_count();
  const size_t choosy = 2 * live + 2 * k, budget = choosy + 4 * k + 16;
  const uint32_t limit = retransmit_limit();
  for (size_t tries = 1; targets.size() < k && tries <= budget && live + gone > 0; ++tries) {
    uint64_t r = rng.below(live + gone);
    uint32_t slot;
    if (r < live) {
      slot = table.live()[r];
    } else {
      slot = table.gone()[r - live];
      const Entry& e = table.at(slot);
      if (e.m.state != MemberState::Dead || now_ - e.since >= dead_window) continue;
    }
    if (std::find(targets.begin(), targets.end(), slot) != targets.end()) continue;
    if (tries <= choosy && !gossip.next_wants(recipient(slot), live, limit)) continue;
    targets.push_back(slot);
  }
}

namespace {

// Ranks the members for telling `subject` of its departure: every node computes the same
// value of a pair of names, so all of them agree on who is first.
uint64_t tell_rank(std::string_view subject, std::string_view member) {
  uint64_t h = 0xcbf29ce484222325ULL;  // FNV-1a over both names, the first's length between
  auto mix = [&](uint8_t b) { h = (h ^ b) * 0x100000001b3ULL; };
  for (unsigned char c : subject) mix(c);
  for (size_t n = subject.size(), k = 0; k < 8; ++k) mix(static_cast<uint8_t>(n >> (8 * k)));
  for (unsigned char c : member) mix(c);
  // FNV leaves names that differ in their last byte close together: a 64-bit finaliser
  // spreads them.
  h = (h ^ (h >> 30)) * 0xbf58476d1ce4e5b9ULL;
  h = (h ^ (h >> 27)) * 0x94d049bb133111ebULL;
  return h ^ (h >> 31);
}

}  // namespace

bool Node::Impl::tells(const Entry& subject) const {
  const uint64_t mine = tell_rank(subject.m.name, self.name);
  size_t before = 0;
  for (uint32_t s : table.live())
    if (tell_rank(subject.m.name, table.at(s).m.name) < mine && ++before >= DEPARTURE_TELLERS) return false;
  return true;
}

void Node::Impl::tell_departed() {
  // The subject of a departure is the one member held left that needs it: if it did not leave
  // (a forged departure, sent to every member but it), it hears it and refutes. It gets it on
  // the packets sent to it anyway (send_packet), and from a few members: the first
  // DEPARTURE_TELLERS by tell_rank among those this node holds live, itself included, each
  // sending one copy. A member that is not among them now may be by a later tick (those ranked
  // before it may leave too), while the news is queued. A node that did leave gets those few
  // copies, where it got a share of every member's gossip for 30 s.
  if (departed.empty() || thin()) return;
  const size_t budget = payload_budget();
  std::erase_if(departed, [&](const std::pair<uint32_t, uint32_t>& d) {
    const Entry& e = table.at(d.first);
    if (!e.used || e.gen != d.second || e.m.state != MemberState::Left) return true;
    const std::string key = member_key(e.m.name);
    if (!gossip.contains(key)) return true;
    if (!tells(e)) return false;
    scratch_payload.clear();
    if (gossip.copy(key, scratch_payload, budget)) send_packet(e.m.addr, e.m.name, scratch_payload, false);
    return true;
  });
}

void Node::Impl::gossip_tick() {
  next_gossip = later(now_, cfg.gossip_interval.as_nanos());
  tell_departed();
  if (gossip.size() == 0) return;
  std::vector<uint32_t> targets;
  gossip_targets(targets);
  size_t budget = payload_budget();
  for (uint32_t slot : targets) {
    const Entry& e = table.at(slot);
    scratch_payload.clear();
    gossip.fill(scratch_payload, budget, budget, retransmit_limit(), dest_to(slot), counters.gossip_too_large);
    if (scratch_payload.empty()) continue;
    send_packet(e.m.addr, e.m.name, scratch_payload, false);
  }
  check_leave_done();
}

}  // namespace vennock::core
