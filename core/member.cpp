// The merge rules: how Alive, Suspect, Dead and whole States change the member table.
#include <algorithm>
#include <cmath>

#include "core/impl.hpp"

namespace vennock::core {

uint64_t Node::Impl::suspicion_min_ns() const {
  double n = static_cast<double>(table.live_count() + 1);
  double scale = std::max(1.0, std::log10(n));
  double ns = static_cast<double>(cfg.suspicion_mult) * scale * static_cast<double>(cfg.probe_interval.as_nanos());
  return ns >= 1.8e19 ? UINT64_MAX / 8 : static_cast<uint64_t>(ns);
}

uint64_t Node::Impl::suspicion_max_ns() const {
  const uint64_t min = suspicion_min_ns(), mult = std::max<uint32_t>(1, cfg.suspicion_max_mult);
  return min > UINT64_MAX / mult ? UINT64_MAX : min * mult;
}

uint64_t Node::Impl::spread_ns() const {
  const uint64_t g = cfg.gossip_interval.as_nanos(), n = retransmit_limit();
  return g > UINT64_MAX / n ? UINT64_MAX : g * n;
}

void Node::Impl::gossip_member(Entry& e, bool withhold) {
  e.quiet = false;
  proto::Bytes b;
  switch (e.m.state) {
    case MemberState::Alive:
      proto::encode(proto::Alive{e.m.name, e.m.addr.on_wire(), e.m.epoch, e.m.incarnation, e.m.meta}, b);
      break;
    case MemberState::Suspect: {
      std::string from = e.susp ? e.susp->accuser() : self.name;
      proto::encode(proto::Suspect{e.m.name, e.m.epoch, e.m.incarnation, from}, b);
      break;
    }
    case MemberState::Dead:
    case MemberState::Left: {
      std::string from = e.m.state == MemberState::Left ? e.m.name : self.name;
      proto::encode(proto::Dead{e.m.name, e.m.epoch, e.m.incarnation, from}, b);
      break;
    }
  }
  // A member has no use for news that it is alive; it must hear that it is suspected, held
  // dead or gone, to refute. (A departure it did announce it ignores; one it did not, sent to
  // every member but it, hid it until its next push-pull, up to half a minute.) A member held
  // left gets its departure alone, and from a few members (tell_departed).
  bool useless = withhold && e.m.state == MemberState::Alive;
  GossipQueue::Options o;
  if (useless) o.withheld = recipient(table.slot_of(e));
  o.withheld_live = is_live(e.m.state);
  // Learned while this node's first join is under way, when it knows few members: it waits
  // until the join is answered (see thin()).
  o.held = thin();
  o.spares_ride = e.m.state == MemberState::Alive;
  gossip.push(GossipQueue::Kind::Member, member_key(e.m.name), std::move(b), o);
}

void Node::Impl::gossip_alive_self() {
  proto::Bytes b;
  proto::encode(proto::Alive{self.name, self.addr.on_wire(), self.epoch, self.incarnation, self.meta}, b);
  gossip.push(GossipQueue::Kind::Member, member_key(self.name), std::move(b));
}

void Node::Impl::resend_news(Entry& e) {
  if (e.m.state == MemberState::Alive && !gossip.contains(member_key(e.m.name))) gossip_member(e);
}

void Node::Impl::remind_alive() {
  if (!gossip.contains(member_key(self.name))) gossip_alive_self();
}

void Node::Impl::refute(uint32_t inc) {
  // Raise our incarnation past the accusation and tell everyone. Only a strictly older
  // accusation leaves ours as the base: one exactly half the range away is neither older nor
  // newer, and out-bidding our own value would leave it "not newer" than the accusation.
  self.incarnation = (inc_newer(self.incarnation, inc) ? self.incarnation : inc) + 1;
  ++counters.refutations;
  adjust_health(1);
  gossip_alive_self();
  changed();
}

void Node::Impl::report_conflict(const std::string& name, const proto::SocketAddr& other, const Member& mine) {
  // One report per name and claimant, or a conflicting pair would flood the events.
  auto it = conflicts.find(name);
  if (it != conflicts.end() && it->second == other) return;
  if (conflicts.size() >= 1024) conflicts.clear();
  conflicts[name] = other;
  ++counters.name_conflicts;
  emit(event::NameConflict{other, mine});
}

bool Node::Impl::make_room() {
  // max_members counts this node's own record too.
  if (table.size() + 1 < cfg.max_members) return true;
  // A full table gives up its oldest gone entry for a live newcomer.
  if (!expiries.empty()) {
    uint32_t slot = expiries.begin()->second;
    expiries.erase(expiries.begin());
    table.remove(slot);
    changed();
    return true;
  }
  return false;
}

void Node::Impl::schedule_suspicion(uint32_t slot) {
  Entry& e = table.at(slot);
  if (!e.susp) return;
  if (e.susp->deadline) susp_timers.erase({e.susp->deadline, slot});
  size_t live = table.live_count() + 1;
  // Only members that could have probed it can confirm: not itself, not us.
  uint32_t expected = cfg.expected_confirmations;
  if (live >= 2 && live - 2 < expected) expected = static_cast<uint32_t>(live - 2);
  size_t confirmations = e.susp->accusers.empty() ? 0 : e.susp->accusers.size() - 1;
  uint64_t t = suspicion_timeout(suspicion_min_ns(), cfg.suspicion_max_mult, expected, confirmations,
                                 cfg.dynamic_suspicion);
  uint64_t deadline = e.susp->start + t;
  if (deadline <= e.susp->start) deadline = UINT64_MAX - 1;
  e.susp->deadline = std::max(deadline, now_);
  susp_timers.insert({e.susp->deadline, slot});
  // A shorter timeout may leave no check of the suspect before it runs out.
  plan_nudge(slot);
}

void Node::Impl::start_suspicion(uint32_t slot, const std::string& accuser, bool hearsay) {
  Entry& e = table.at(slot);
  e.susp = std::make_unique<Suspicion>();
  e.susp->start = !hearsay && accuser == self.name ? own_suspicion_start() : now_;
  e.susp->checked = now_;
  if (hearsay)
    e.susp->via = accuser;
  else
    e.susp->accusers.push_back(accuser);
  schedule_suspicion(slot);
}

void Node::Impl::plan_nudge(uint32_t slot) {
  // With the buddy system, every holder of a suspicion checks the suspect itself, every
  // quarter of the shortest timeout for as long as the suspicion lasts, and once more a probe
  // timeout before its timer runs out. The suspect's refutation spreads by gossip, which
  // reaches each member with high probability but not surely (under loss a member can miss
  // every copy); these checks give every holder its own chances to hear the refutation, and
  // the last one comes in time for the answer to arrive however much confirmations shortened
  // the timer.
  Suspicion& s = *table.at(slot).susp;
  if (s.nudge) nudge_timers.erase({s.nudge, slot});
  s.nudge = 0;
  if (!cfg.buddy_system) return;
  uint64_t timeout = cfg.probe_timeout.as_nanos();
  uint64_t last = s.deadline > timeout ? s.deadline - timeout : 0;
  // Within a probe timeout of the deadline, a check already on its way is the last one.
  if (last <= s.checked) return;
  // (At least a nanosecond apart, so absurdly short timeouts cannot make checks spin.)
  uint64_t every = std::max<uint64_t>(1, suspicion_min_ns() / 4);
  uint64_t next = std::max(std::min(later(s.checked, every), last), now_);
  if (next >= s.deadline) return;
  s.nudge = next;
  nudge_timers.insert({next, slot});
}

void Node::Impl::checked_suspect(uint32_t slot) {
  Entry& e = table.at(slot);
  if (!e.susp) return;
  e.susp->checked = now_;
  plan_nudge(slot);
}

void Node::Impl::nudge(uint32_t slot) {
  Entry& e = table.at(slot);
  if (!e.used || e.m.state != MemberState::Suspect || !e.susp) return;
  e.susp->nudge = 0;
  scratch_payload.clear();
  proto::encode(proto::Suspect{e.m.name, e.m.epoch, e.m.incarnation, e.susp->accuser()}, scratch_payload);
  // A Ping nobody waits for: its Ack carries the suspect's Alive piggybacked, which is all
  // that matters here. Nothing rides along: each gossip item is sent a fixed number of times,
  // and those sent to a member that may well be dead would be lost to the others.
  proto::encode(proto::Ping{++seq, e.m.name, self.name}, scratch_payload);
  send_packet(e.m.addr, e.m.name, scratch_payload, false);
  checks[seq] = Check{slot, e.gen, e.m.incarnation};
  check_deadlines.emplace_back(later(now_, cfg.probe_timeout.as_nanos()), seq);
  checked_suspect(slot);
}

bool Node::Impl::unheard() const {
  // This node's probes get no answer of any kind (no Ack, direct or relayed, no Nack), and
  // others tell it that they cannot hear it either: it is suspected or held dead (every
  // accuser says so, by gossip and with each check of the suspect). Its own messages are not
  // getting out. The accusation stands until an answer comes, a suspicion no longer than its
  // accuser takes to declare the death and tell us, a death for good: members holding this
  // node dead fall silent. Silence both ways is different: the others may well be gone, and
  // their deaths are ours to declare. So is silence while others talk to us but accuse us of
  // nothing: a member that joined and crashed before it was ever probed, or a helper asked
  // after it crashed, says nothing about our link. (Time without answers alone would not do
  // either: a node whose local health stretched its period hears far more than it is
  // answered.)
  return silent_probes > 0 && now_ < accused_until;
}

void Node::Impl::respite_suspects() {
  const uint64_t until = later(now_, std::max<uint64_t>(1, suspicion_min_ns()));
  std::vector<uint32_t> held;
  for (auto it = susp_timers.begin(); it != susp_timers.end() && it->first < until;) {
    held.push_back(it->second);
    it = susp_timers.erase(it);
  }
  for (uint32_t slot : held) {
    Suspicion& s = *table.at(slot).susp;
    s.deadline = until;
    susp_timers.insert({until, slot});
    plan_nudge(slot);
  }
}

void Node::Impl::accused(bool dead) {
  if (dead) {
    accused_until = UINT64_MAX;
    return;
  }
  // The longest an accuser takes to declare a death, and for its verdict to reach us.
  accused_until = std::max(accused_until, later(later(now_, suspicion_max_ns()), spread_ns()));
}

void Node::Impl::suspicion_timeouts() {
  while (!susp_timers.empty() && susp_timers.begin()->first <= now_) {
    uint32_t slot = susp_timers.begin()->second;
    susp_timers.erase(susp_timers.begin());
    Entry& e = table.at(slot);
    if (!e.used || e.m.state != MemberState::Suspect || !e.susp) continue;
    e.susp->deadline = 0;
    if (unheard()) {
      // A node that nobody hears must not be the one that kills others: it would declare
      // every member it probes dead, and those verdicts would spread the moment its link
      // healed. It holds the suspect for the shortest timeout more, checking it all along, and
      // again while it stays unheard: members that can be heard decide meanwhile (their Dead
      // is taken as always), and once this node is heard again every held suspect still has
      // that long to answer a check and refute.
      e.susp->deadline = later(now_, std::max<uint64_t>(1, suspicion_min_ns()));
      susp_timers.insert({e.susp->deadline, slot});
      plan_nudge(slot);
      continue;
    }
    on_dead(proto::Dead{e.m.name, e.m.epoch, e.m.incarnation, self.name});
  }
}

void Node::Impl::unanswered_checks() {
  while (!check_deadlines.empty() && check_deadlines.front().first <= now_) {
    uint32_t s = check_deadlines.front().second;
    check_deadlines.pop_front();
    auto it = checks.find(s);
    if (it == checks.end()) continue;  // answered
    Check c = it->second;
    checks.erase(it);
    // A check nobody answered within a probe timeout is a failed probe of the suspect by this
    // node: an independent confirmation, as a failed probe in the round is (unless nobody
    // hears this node, or the suspicion it checked is over).
    const Entry& e = table.at(c.slot);
    if (!e.used || e.gen != c.gen || e.m.state != MemberState::Suspect || e.m.incarnation != c.incarnation ||
        unheard())
      continue;
    on_suspect(proto::Suspect{e.m.name, e.m.epoch, e.m.incarnation, self.name});
  }
}

void Node::Impl::clear_suspicion(uint32_t slot) {
  Entry& e = table.at(slot);
  if (!e.susp) return;
  if (e.susp->deadline) susp_timers.erase({e.susp->deadline, slot});
  if (e.susp->nudge) nudge_timers.erase({e.susp->nudge, slot});
  e.susp.reset();
}

void Node::Impl::become_gone(uint32_t slot, MemberState s) {
  Entry& e = table.at(slot);
  clear_suspicion(slot);
  if (e.expiry) expiries.erase({e.expiry, slot});
  table.set_state(slot, s, now_);
  gossip.forget(recipient(slot));
  // Left entries are kept as long as dead ones: a member that missed the departure may hold
  // the member alive until its own probes find it gone, a probe round and a suspicion later,
  // and its push-pulls would bring the member back to life wherever the entry was gone.
  e.expiry = later(now_, std::max(DEAD_RETENTION_NS, cfg.dead_reclaim.as_nanos()));
  expiries.insert({e.expiry, slot});
  drop_user_queue(e.m.name);
  changed();
}

void Node::Impl::expire_entries() {
  while (!expiries.empty() && expiries.begin()->first <= now_) {
    uint32_t slot = expiries.begin()->second;
    expiries.erase(expiries.begin());
    Entry& e = table.at(slot);
    if (!e.used || is_live(e.m.state)) continue;
    conflicts.erase(e.m.name);
    table.remove(slot);
    changed();
  }
}

bool Node::Impl::outlive(uint64_t epoch) {
  // Our name at our own address in a later life than ours can only be an earlier life of
  // ours (two live nodes cannot hold one address), started when the wall clock read later
  // than it did when we started: the clock stepped back between the two. The cluster holds
  // that life and ignores ours as an echo of an earlier one, while our answers to the Pings
  // meant for it (a Ping names no epoch) keep it alive: we would stay invisible for as long
  // as we run. So we take the next epoch after it, which every member takes as a restart.
  // A life has one life before it to outlive: once it has, a later one still is no earlier
  // life of ours but two nodes made to advertise one address, or a forgery. Out-bidding it
  // again would go on for ever, each step a restart at every member.
  if (outlived) return false;
  // Nor can an earlier life have started further ahead of our clock than any clock runs, and
  // the epoch we take must lie within the bound of every member's clock, the slowest we have
  // heard from included (or that member refuses it, and holds the life we disowned or none).
  // Our own next life, started later, finds it within the bound of its clock too, and out-bids
  // it in turn.
  if (epoch >= plus_lead(slowest_wall_ms())) return false;
  outlived = true;
  self.epoch = epoch + 1;
  gossip_alive_self();
  changed();
  return true;
}

void Node::Impl::disown_later_life(uint64_t epoch, uint32_t inc) {
  // A later life of ours that we do not take (one past the life we outlived, or further
  // ahead than clocks run) would hide ours wherever it is held: we answer its probes, and our
  // own Alive is an echo of an earlier life there. We announce its departure, which every
  // holder takes; once it has been gone for dead_reclaim, our own Alive (sent again then)
  // reclaims the name. A node that does hold that life refutes the departure: it is disowned
  // again at a newer incarnation only after a wait that doubles each time. The wait holds for
  // any later life: a forger naming a later one every second had each disowned at once, and
  // every member took each life and then its departure, holding us left most of the time.
  // What is heard meanwhile is disowned once the wait is over (lives_timeouts), the latest
  // life only. A life disowned and still held live after the wait (by a member that missed the
  // departure: its clock refused the life then, or it learned the life again from one that
  // did) is disowned again; and so is an earlier life than the last one disowned (one we gave
  // up for our clock, say): as long as some member holds it, it hides us there.
  if (epoch == disowned_epoch && inc_newer(disowned_inc, inc)) return;  // older than what was disowned
  if (now_ < disown_again) {
    if (epoch > owed_epoch || (epoch == owed_epoch && inc_newer(inc, owed_inc))) {
      owed_epoch = epoch;
      owed_inc = inc;
    }
    return;
  }
  // Only the same life heard again doubles the wait: a node that does hold it (and refutes),
  // or members that keep missing the departure. A later life each time costs one wait, so a
  // forger's single packet cannot hide us for hours.
  const bool again = epoch == disowned_epoch;
  owed_epoch = 0;
  disown_wait = again && disown_wait ? std::min<uint64_t>(disown_wait * 2, DEAD_RETENTION_NS) : DISOWN_WAIT_NS;
  disowned_epoch = epoch;
  disowned_inc = inc;
  disown_again = later(now_, disown_wait);
  proto::Bytes b;
  proto::encode(proto::Dead{self.name, epoch, inc, self.name}, b);
  gossip.push(GossipQueue::Kind::Member, "x" + self.name, std::move(b));
  reassert_at = later(later(now_, cfg.dead_reclaim.as_nanos()), spread_ns());
}

void Node::Impl::later_life(uint64_t epoch, uint32_t inc, bool live) {
  if (live && !probed) {
    // A node that does answer at our address may hold it: wait for a Ping to tell us that we
    // are the one (a restarted node is probed within a period or so).
    if (epoch > pending_epoch) {
      pending_epoch = epoch;
      pending_inc = inc;
    }
    if (!pending_report) pending_report = later(now_, 10 * cfg.probe_interval.as_nanos());
    return;
  }
  if (outlive(epoch)) return;
  if (!live) {
    // Gone already where it is held: those members take our life back once it has been gone
    // for dead_reclaim, when they hear our Alive again.
    if (!reassert_at) reassert_at = later(now_, cfg.dead_reclaim.as_nanos());
    return;
  }
  report_conflict(self.name, self.addr.on_wire(), self);
  disown_later_life(epoch, inc);
}

void Node::Impl::probed_here() {
  probed = true;
  pending_report = 0;
  if (!pending_epoch || self.state == MemberState::Left) return;
  const uint64_t e = pending_epoch;
  pending_epoch = 0;
  if (e > self.epoch) later_life(e, pending_inc, true);
}

void Node::Impl::lives_timeouts() {
  if (pending_report && pending_report <= now_) {
    // Never probed: what answers at our address is another node that holds that life.
    pending_report = 0;
    if (pending_epoch > self.epoch) report_conflict(self.name, self.addr.on_wire(), self);
  }
  if (owed_epoch && disown_again <= now_) {
    const uint64_t e = owed_epoch;
    owed_epoch = 0;
    if (self.state != MemberState::Left) disown_later_life(e, owed_inc);
  }
  if (reassert_at && reassert_at <= now_) {
    reassert_at = 0;
    if (self.state != MemberState::Left) gossip_alive_self();
  }
}

void Node::Impl::on_alive_self(const proto::Alive& a) {
  if (self.state == MemberState::Left) return;
  if (a.epoch == self.epoch && a.addr == self.addr.on_wire()) {
    // Someone holds a newer incarnation of us than we do (an echo of a refutation we no
    // longer remember, or a forgery): out-bid it.
    if (inc_newer(a.incarnation, self.incarnation)) refute(a.incarnation);
    return;
  }
  other_life(a.epoch, a.addr, a.incarnation, true);
}

void Node::Impl::other_life(uint64_t epoch, const proto::SocketAddr& addr, uint32_t inc, bool live) {
  if (self.state == MemberState::Left || epoch < self.epoch) return;  // an earlier life of ours, still echoing
  if (addr == self.addr.on_wire()) return later_life(epoch, inc, live);
  // Another node claims our name, or the cluster holds such a claim (a life of it at another
  // address: a later one is taken everywhere as a restart of ours).
  if (live) report_conflict(self.name, addr, self);
}

void Node::Impl::check_claim(const proto::MemberRecord& r) {
  // A State's first record is its sender's own: a live node claims that name at that address.
  // Where it is not the life we hold, two nodes claim one name (a misconfiguration), and we
  // see both claims. (A later epoch is taken as a restart, at a new address too: the node it
  // replaced, if it lives on, shows itself by its own States later.)
  if (!is_live(r.state)) return;
  if (r.name == self.name) {
    if (self.state != MemberState::Left && (r.epoch != self.epoch || r.addr != self.addr.on_wire()))
      report_conflict(r.name, r.addr, self);
    return;
  }
  const Entry* e = table.find(r.name);
  // A claim at the address we hold may be the earlier life of a node that restarted there
  // with its clock stepped back, before it takes a later epoch: not reported.
  if (!e || !is_live(e->m.state) || r.addr == e->m.addr.on_wire() || r.epoch >= e->m.epoch) return;
  report_conflict(r.name, r.addr, e->m);
}

void Node::Impl::add_member(const proto::Alive& a, Ctx& ctx) {
  if (ctx.new_members >= cfg.max_new_members_per_packet || !make_room()) {
    ++counters.members_refused;
    return;
  }
  ++ctx.new_members;
  Member m{a.name, a.meta, a.addr, a.epoch, a.incarnation, MemberState::Alive};
  uint32_t slot = table.add(std::move(m), now_);
  Entry& ne = table.at(slot);
  // A newcomer joins the current probe round at a random place among the members not yet probed.
  probe_order.emplace_back(slot, ne.gen);
  if (probe_order.size() > probe_idx + 1) {
    size_t j = probe_idx + rng.below(probe_order.size() - probe_idx);
    std::swap(probe_order[j], probe_order.back());
  }
  emit(event::MemberJoined{ne.m});
  if (ctx.from_state) {
    // A member learned from another's whole table is news to us, not to the cluster: do not
    // re-gossip it (a node that joins a cluster of thousands would otherwise re-send them
    // all). It is passed on once gossip about it reaches us (below), so a member that only
    // some nodes learned this way still spreads epidemically.
    ne.quiet = true;
    ctx.learned_quietly = true;
  } else {
    // Every member that learns news passes it on: that is what makes the spread epidemic.
    gossip_member(ne);
    if (!ctx.own_record) tell_joiners(ne);
  }
  changed();
}

void Node::Impl::make_alive(uint32_t idx) {
  Entry& e = table.at(idx);
  clear_suspicion(idx);
  if (e.expiry) {
    expiries.erase({e.expiry, idx});
    e.expiry = 0;
  }
  table.set_state(idx, MemberState::Alive, now_);
}

void Node::Impl::take_life(uint32_t idx, const proto::Alive& a, bool restart) {
  Entry& cur = table.at(idx);
  if (restart) ++counters.restarts;
  // A new life at the address of the one held: what answers there may be that earlier life's
  // successor, or another node made to advertise the address, and it must hear of the life
  // the cluster now holds to take a later one (it answers the probes meant for this one).
  const bool same_place = a.addr == cur.m.addr.on_wire();
  // A live life replaced by one at another address may be the member itself, still answering
  // there: it must hear of the claim of its name that the cluster now holds, whatever message
  // brought it here (forged, or a second node's), or nobody reports it.
  const std::optional<proto::SocketAddr> left_behind =
      same_place || !is_live(cur.m.state) ? std::nullopt : std::optional(cur.m.addr);
  make_alive(idx);
  cur.m.addr = a.addr;
  cur.m.epoch = a.epoch;
  cur.m.incarnation = a.incarnation;
  cur.m.meta = a.meta;
  cur.since = now_;
  conflicts.erase(cur.m.name);
  drop_user_queue(cur.m.name);
  emit(event::MemberJoined{cur.m});
  gossip_member(cur, !same_place);
  if (left_behind) {
    proto::Bytes b;
    proto::encode(proto::Alive{cur.m.name, a.addr, a.epoch, a.incarnation, a.meta}, b);
    send_packet(*left_behind, cur.m.name, b, false);
  }
  changed();
}

void Node::Impl::merge_alive(uint32_t idx, const proto::Alive& a, Ctx& ctx) {
  Entry& cur = table.at(idx);
  // A departure is final for that life: a member that left never raises its incarnation
  // again, so only an Alive newer than the departure gets past the test below, and that can
  // only be the member refuting a departure it never announced (forged, or a peer's bug),
  // which would otherwise hide a live member for as long as the left entry is kept.
  if (!inc_newer(a.incarnation, cur.m.incarnation)) {
    // Old news to us, but news we learned quietly a moment ago and that is still being
    // gossiped: it is fresh in the cluster, so join in. (Later mentions of a member we have
    // long known are not news to anybody, and passing them on would turn every push-pull
    // into an epidemic.)
    if (cur.quiet && !ctx.from_state && a.incarnation == cur.m.incarnation && cur.m.state == MemberState::Alive) {
      uint64_t window = 2ULL * retransmit_limit() * cfg.gossip_interval.as_nanos();
      if (now_ - cur.since <= window) gossip_member(cur);
      cur.quiet = false;
    }
    return;
  }
  MemberState old = cur.m.state;
  make_alive(idx);
  cur.m.incarnation = a.incarnation;
  Bytes old_meta;
  bool meta_changed = a.meta != cur.m.meta;
  if (meta_changed) {
    old_meta = std::move(cur.m.meta);
    cur.m.meta = a.meta;
  }
  if (old != MemberState::Alive) emit(event::MemberRecovered{cur.m});
  if (meta_changed) emit(event::MemberUpdated{cur.m, std::move(old_meta)});
  gossip_member(cur);
  changed();
}

void Node::Impl::on_alive(const proto::Alive& a, Ctx& ctx) {
  if (a.name == self.name) return on_alive_self(a);
  // A life further ahead than any clock runs is a forgery: taken, it would out-bid every later
  // life of the member, and hide them all. (Or this node's own clock runs far behind: counted,
  // so that shows.)
  if (a.epoch > epoch_limit()) {
    ++counters.members_refused;
    ctx.refused_ahead = true;
    return;
  }
  Entry* e = table.find(a.name);
  if (!e) return add_member(a, ctx);
  Entry& cur = *e;
  // A name whose holder has been gone for dead_reclaim is free for any other life or address,
  // an earlier epoch included: the next holder may start on a host whose clock lags.
  const bool other = a.epoch != cur.m.epoch || a.addr != cur.m.addr.on_wire();
  const bool reclaim = other && !is_live(cur.m.state) && now_ - cur.since >= cfg.dead_reclaim.as_nanos();
  // The life we hold lies more than a day past our clock and most of those we hear: its node
  // gives it up for one at its clock once that is right, and what answers at the address is
  // that node in its new life. Held on, the old one would hide it for good: its probes are
  // answered and the new life, earlier, looks like news of an earlier one.
  const bool superseded =
      a.epoch < cur.m.epoch && a.addr == cur.m.addr.on_wire() && !reclaim && held_beyond_clocks(cur);
  if (a.epoch < cur.m.epoch && !reclaim && !superseded) return;  // news of an earlier life
  bool new_life = a.epoch > cur.m.epoch || superseded;
  if (!new_life && !reclaim && a.addr != cur.m.addr.on_wire()) {
    // The same life cannot move: another node claims the name.
    report_conflict(a.name, a.addr, cur.m);
    return;
  }
  uint32_t idx = table.slot_of(cur);
  if (new_life || reclaim) return take_life(idx, a, new_life);
  merge_alive(idx, a, ctx);
}

void Node::Impl::on_suspect(const proto::Suspect& s, bool hearsay) {
  if (s.name == self.name) {
    if (self.state == MemberState::Left || s.epoch != self.epoch) return;
    accused(false);
    if (inc_newer(self.incarnation, s.incarnation)) {
      // Already refuted, but someone still holds the old suspicion (the buddy system puts it
      // in front of its probes): send our current Alive along again.
      remind_alive();
      return;
    }
    refute(s.incarnation);
    return;
  }
  Entry* e = table.find(s.name);
  if (!e || e->m.epoch != s.epoch || !is_live(e->m.state)) return;
  if (inc_newer(e->m.incarnation, s.incarnation)) {
    // Stale: the member refuted it already, but someone has not heard. Spread the
    // refutation again rather than let that node's timer run out on a live member.
    resend_news(*e);
    return;
  }
  uint32_t idx = table.live()[e->pos];
  if (e->m.state == MemberState::Suspect && inc_newer(s.incarnation, e->m.incarnation)) {
    // The member refuted the suspicion we hold (we missed it) and is suspected again: that is
    // a new suspicion, with its own start and accusers. Carrying the old ones over would count
    // accusers of a refuted incarnation as confirmations and run the timer from a start long
    // past, killing the member the moment the new accusation arrives.
    e->m.incarnation = s.incarnation;
    clear_suspicion(idx);
    start_suspicion(idx, s.from, hearsay);
    gossip_member(*e);
    changed();
    return;
  }
  if (e->m.state == MemberState::Suspect) {
    // A member passing on its table is no accuser: three push-pull partners relaying one
    // accusation would otherwise bring the timeout down to its shortest.
    if (hearsay) return;
    auto& acc = e->susp->accusers;
    bool fresh = std::find(acc.begin(), acc.end(), s.from) == acc.end();
    // Count each independent accuser once, up to what can still shorten the timeout.
    if (fresh && acc.size() <= cfg.expected_confirmations) {
      acc.push_back(s.from);
      schedule_suspicion(idx);
      gossip_member(*e);
    }
    return;
  }
  // Alive -> Suspect.
  e->m.incarnation = s.incarnation;
  table.set_state(idx, MemberState::Suspect, now_);
  ++counters.suspicions;
  start_suspicion(idx, s.from, hearsay);
  emit(event::MemberSuspect{e->m});
  gossip_member(*e);
  changed();
}

void Node::Impl::on_dead(const proto::Dead& d) {
  bool left = d.left();
  if (d.name == self.name) {
    if (self.state == MemberState::Left || d.epoch != self.epoch) return;
    if (!left) accused(true);
    if (inc_newer(self.incarnation, d.incarnation)) {
      remind_alive();
      return;
    }
    // We are alive, whatever others concluded (and only we can say that we left).
    refute(d.incarnation);
    return;
  }
  Entry* e = table.find(d.name);
  if (!e || e->m.epoch != d.epoch || e->m.state == MemberState::Left) return;
  if (inc_newer(e->m.incarnation, d.incarnation)) {
    if (!left) resend_news(*e);
    return;
  }
  if (e->m.state == MemberState::Dead && !left) {
    // Dead already, but at an older incarnation: the member refuted and was declared dead
    // again. Take the newer incarnation (no new event), or a stale copy of that refutation
    // would bring it back.
    if (inc_newer(d.incarnation, e->m.incarnation)) {
      e->m.incarnation = d.incarnation;
      gossip_member(*e);
      changed();
    }
    return;
  }
  uint32_t idx = table.slot_of(*e);
  e->m.incarnation = d.incarnation;
  become_gone(idx, left ? MemberState::Left : MemberState::Dead);
  if (left)
    emit(event::MemberLeft{e->m});
  else
    emit(event::MemberDead{e->m});
  gossip_member(*e);
  if (left) departed.emplace_back(idx, e->gen);
}

proto::State Node::Impl::full_state(bool join) const {
  proto::State st;
  st.join = join;
  st.members.reserve(table.size() + 1);
  // Our own record first: the receiver takes it as the accuser of the suspicions we send.
  st.members.push_back(proto::MemberRecord{self.name, self.addr.on_wire(), self.epoch, self.incarnation, self.state,
                                           self.meta});
  table.for_each([&](const Entry& e) {
    // A receiver takes nothing but the accusation from a dead or left record: its metadata
    // would only make every exchange larger for as long as the entry is kept.
    st.members.push_back(proto::MemberRecord{e.m.name, e.m.addr.on_wire(), e.m.epoch, e.m.incarnation, e.m.state,
                                             is_live(e.m.state) ? e.m.meta : Bytes{}});
  });
  return st;
}

void Node::Impl::merge_state(const proto::State& st, Ctx& ctx) {
  if (st.members.empty()) return;
  const std::string& sender = st.members.front().name;
  check_claim(st.members.front());
  bool first = true;
  for (const auto& r : st.members) {
    ctx.from_state = !first || ctx.join_answer;
    ctx.own_record = first;
    first = false;
    // Whatever its state, a record of another life of ours is judged as an Alive of it is
    // (alive records go through on_alive_self).
    if (r.name == self.name && r.state != MemberState::Alive && r.epoch != self.epoch) {
      other_life(r.epoch, r.addr, r.incarnation, is_live(r.state));
      continue;
    }
    switch (r.state) {
      case MemberState::Alive:
        on_alive(proto::Alive{r.name, r.addr, r.epoch, r.incarnation, r.meta}, ctx);
        break;
      case MemberState::Suspect:
      case MemberState::Dead: {
        // A suspect is a member still: one new to us is learned first, then the accusation is
        // taken (a node that joined while its seed suspected a member never learned of it,
        // the refutation having gone round before anyone knew the joiner). A member held dead
        // is learned of no more. A remote "dead" only makes a member suspect here: it gets its
        // chance to refute, which is how the halves of a healed partition find each other alive.
        if (!table.find(r.name) && r.name != self.name) {
          if (r.state != MemberState::Suspect) break;
          on_alive(proto::Alive{r.name, r.addr, r.epoch, r.incarnation, r.meta}, ctx);
        }
        on_suspect(proto::Suspect{r.name, r.epoch, r.incarnation, sender}, true);
        break;
      }
      case MemberState::Left:
        on_dead(proto::Dead{r.name, r.epoch, r.incarnation, r.name});
        break;
    }
  }
  ctx.from_state = false;
  ctx.own_record = false;
}

}  // namespace vennock::core
