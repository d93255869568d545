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
    next_probe = later(now_, interval);
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
  if (!e.used || e.gen != probe.gen || !is_live(e.m.state)) return;
  std::vector<uint32_t> helpers;
  pick_random(table.live(), cfg.indirect_checks, &probe.name, helpers);
  for (uint32_t h : helpers) {
    scratch_payload.clear();
    proto::encode(proto::IndirectPing{probe.seq, e.m.name, e.m.addr.on_wire(), self.name, cfg.nacks},
                  scratch_payload);
    ++counters.indirect_probes;
    send_packet(table.at(h).m.addr, table.at(h).m.name, scratch_payload, true);
  }
  if (cfg.nacks) probe.expected_nacks = static_cast<uint32_t>(helpers.size());
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

void Node::Impl::probe_end() {
  Probe p = std::move(probe);
  probe = Probe{};
  if (p.tcp && streams.count(p.tcp)) close_stream(p.tcp);
  settle_nacks();
  if (p.acked) return;
  ++counters.probes_failed;
  if (last_answer < p.started && silent_probes++ == 0) silent_since = p.started;
  // With nacks, a silent target whose helpers all answered says nothing about us; each
  // helper that stayed silent too points at our own link. Their Nacks are still on their way
  // (a helper waits its whole probe timeout first), so they are settled a period from now.
  if (p.expected_nacks > 0) {
    nack_tally = NackTally{p.seq, p.expected_nacks, p.nacks};
  } else {
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

void Node::Impl::on_ack(const proto::Ack& a, Ctx& ctx) {
  last_answer = now_;
  silent_probes = 0;
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

void Node::Impl::on_nack(const proto::Nack& n) {
  last_answer = now_;
  silent_probes = 0;
  if (probe.active && n.seq == probe.seq && probe.nacks < probe.expected_nacks) ++probe.nacks;
  if (nack_tally && n.seq == nack_tally->seq && nack_tally->got < nack_tally->expected) ++nack_tally->got;
}

void Node::Impl::settle_nacks() {
  if (!nack_tally) return;
  uint32_t missed = nack_tally->expected - nack_tally->got;
  nack_tally.reset();
  counters.missed_nacks += missed;
  adjust_health(static_cast<int>(missed));
}

void Node::Impl::gossip_targets(std::vector<uint32_t>& targets) {
  // Live members, and the recently dead so a member wrongly declared dead hears it and refutes.
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

void Node::Impl::gossip_tick() {
  next_gossip = later(now_, cfg.gossip_interval.as_nanos());
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
