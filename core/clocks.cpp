// Clocks put right: a node whose wall clock ran more than a day off the cluster's becomes a
// member again once its clock is set, whichever way it was off; and no clock judgement rests on
// one sender's stamp or on what was heard before the wall clock moved.
#include "core/clocks.hpp"

#include <algorithm>
#include <cstring>

#include "core/impl.hpp"

namespace vennock::core {

// ---------------------------------------------------------------- the evidence

size_t Clocks::place(const proto::SocketAddr& a) {
  uint64_t lo = 0, hi = 0;
  std::memcpy(&lo, a.ip.data(), 8);
  std::memcpy(&hi, a.ip.data() + 8, 8);
  const uint64_t h = (lo * 0x9e3779b97f4a7c15ULL) ^ (hi * 0xc2b2ae3d27d4eb4fULL) ^ (uint64_t{a.port} << 17);
  return static_cast<size_t>((h ^ (h >> 29)) * 0xbf58476d1ce4e5b9ULL >> 58) % SENDERS;
}

void Clocks::heard(const proto::SocketAddr& from, uint64_t stamp_ms, uint64_t wall_ms, uint64_t now) {
  Sender& s = senders_[place(from)];
  const uint64_t gap = stamp_ms > wall_ms ? stamp_ms - wall_ms : wall_ms - stamp_ms;
  const int64_t off = gap > uint64_t{INT64_MAX} ? INT64_MAX : static_cast<int64_t>(gap);
  s.offset = stamp_ms > wall_ms ? off : -off;
  s.at = now;
  s.used = true;
}

void Clocks::stepped(uint64_t now) {
  senders_.fill(Sender{});
  if (refused_.empty()) return;
  tries_ = 0;
  due_ = std::max<uint64_t>(now, 1);
  all_ = true;
}

template <class F>
size_t Clocks::each(uint64_t wall_ms, uint64_t now, F&& f) const {
  size_t n = 0;
  for (const Sender& s : senders_) {
    if (!s.used || now - s.at > FRESH_NS) continue;
    uint64_t clock = wall_ms;
    if (s.offset >= 0)
      clock = wall_ms > UINT64_MAX - static_cast<uint64_t>(s.offset) ? UINT64_MAX : wall_ms + static_cast<uint64_t>(s.offset);
    else
      clock = s.offset == INT64_MIN || wall_ms < static_cast<uint64_t>(-s.offset) ? 0 : wall_ms - static_cast<uint64_t>(-s.offset);
    f(clock);
    ++n;
  }
  return n;
}

bool Clocks::beyond_most(uint64_t epoch, std::optional<uint64_t> then, uint64_t wall_ms, uint64_t now,
                         size_t quorum) const {
  size_t yes = 0;
  const size_t n = each(wall_ms, now, [&](uint64_t clock) {
    yes += epoch > plus_lead(clock) && (!then || *then <= plus_lead(clock));
  });
  return n >= std::max<size_t>(quorum, 1) && 2 * yes > n;
}

bool Clocks::behind_most(uint64_t wall_ms, uint64_t now, size_t quorum) const {
  size_t yes = 0;
  const size_t n = each(wall_ms, now, [&](uint64_t clock) { yes += clock > plus_lead(wall_ms); });
  return n >= std::max<size_t>(quorum, 1) && 2 * yes > n;
}

uint64_t Clocks::slowest(uint64_t wall_ms, uint64_t now) const {
  uint64_t low = wall_ms;
  each(wall_ms, now, [&](uint64_t clock) { low = std::min(low, clock); });
  return low;
}

// ---------------------------------------------------------------- refused senders

void Clocks::refusals(const std::string& name, const proto::SocketAddr& addr, bool any, uint64_t now,
                      uint64_t interval) {
  auto it = std::find_if(refused_.begin(), refused_.end(),
                         [&](const Refused& r) { return r.name == name && r.addr == addr; });
  if (!any) {
    // Its lives are ours now (or it has none we refuse).
    if (it != refused_.end()) refused_.erase(it);
    if (refused_.empty()) {
      due_ = 0;
      tries_ = 0;
      all_ = false;
    }
    return;
  }
  if (it != refused_.end()) return;
  if (refused_.size() >= MAX_REFUSED) refused_.erase(refused_.begin());
  refused_.push_back(Refused{name, addr});
  // A newcomer does not start the exchanges over: what they tell is whether our clock is right.
  if (!due_ && tries_ == 0 && interval) due_ = later(now, interval);
}

std::vector<Clocks::Refused> Clocks::due(uint64_t now, uint64_t interval, bool odd) {
  std::vector<Refused> out;
  if (!due_ || due_ > now) return out;
  if (refused_.empty()) {
    due_ = 0;
    return out;
  }
  if (all_) {
    all_ = false;
    out = refused_;
  } else {
    ++tries_;
    if (odd) out.push_back(refused_[next_++ % refused_.size()]);
  }
  const uint64_t mult = std::min<uint64_t>(uint64_t{1} << std::min<uint32_t>(tries_, 16), MAX_WAIT);
  due_ = tries_ >= TRIES || !interval ? 0 : later(now, interval > UINT64_MAX / mult ? UINT64_MAX : interval * mult);
  return out;
}

// ---------------------------------------------------------------- the engine's use of them

size_t Node::Impl::clock_quorum() const {
  // More than half the members we hold (up to 8): the first two heard after a step are no
  // sample of a cluster whose clocks disagree, and no single sender decides where there is
  // more than one to hear. A node that holds nobody hears only the seeds it refused.
  return std::min<size_t>(table.live_count() / 2 + 1, 8);
}

void Node::Impl::note_clock(const proto::SocketAddr& from, uint64_t stamp_ms) {
  // (Another port is never our own check of ourselves: the common case, without the copies.)
  const bool other_port = from.port != self.addr.port && from.port != check_addr.port;
  if (other_port || !from_self(from)) clocks.heard(from, stamp_ms, wall_ms(), now_);
}

uint64_t Node::Impl::slowest_wall_ms() const { return clocks.slowest(wall_ms(), now_); }

void Node::Impl::note_refusals(const proto::State& st, bool refused_ahead) {
  if (st.members.empty()) return;
  const proto::MemberRecord& sender = st.members.front();
  if (refused_ahead && sender.name == self.name) return;
  clocks.refusals(sender.name, sender.addr, refused_ahead, now_, cfg.push_pull_interval.as_nanos());
}

void Node::Impl::clock_stepped() {
  // Set right, perhaps: what we refused may be ours to take now, and nobody but its senders
  // may ever tell us of it again.
  clocks.stepped(now_);
}

void Node::Impl::clock_timeouts() {
  review_epoch();
  retry_refused();
}

void Node::Impl::retry_refused() {
  const uint64_t at = clocks.next_due();
  if (!at || at > now_) return;
  // Only where it can help: at a node whose own clock runs more than a day behind most of
  // those it hears. A member whose clock is right refusing one fast node's life (or a forged
  // State's) changes nothing by asking again, and every member asking every interval made that
  // node serve a push-pull per member per interval.
  const bool odd = clocks.behind_most(wall_ms(), now_, clock_quorum());
  for (const Clocks::Refused& r : clocks.due(now_, cfg.push_pull_interval.as_nanos(), odd)) {
    if (self.state == MemberState::Left) break;
    if (!start_push_pull(r.addr, r.name, StreamKind::PushPull, 0, 0)) ++counters.push_pull_failures;
  }
}

void Node::Impl::review_epoch() {
  // A life is refused by every member whose clock it lies more than a day ahead of. Ours
  // started when our clock ran that far ahead of most clocks we hear now: our clock was put
  // right, and the cluster will refuse our life until its clocks catch up with the one we had
  // (for ever, for a clock years ahead). We take a life at our clock as it reads now (which
  // most of them take), and disown the one we had, for whoever took it: its departure goes
  // round, and our own life reclaims the name there once that one has been gone for
  // dead_reclaim. A clock put wrong the same way is no reason: only what was heard since it
  // moved counts, and the clocks of those we hear do not follow it.
  if (self.state == MemberState::Left) return;
  const uint64_t wall = wall_ms();
  // An epoch at or before our clock lies past no clock that a life at our clock does not.
  if (self.epoch <= wall || !clocks.beyond_most(self.epoch, wall, wall, now_, clock_quorum())) return;
  const uint64_t old = self.epoch;
  self.epoch = wall;
  disown_later_life(old, self.incarnation);
  gossip_alive_self();
  changed();
}

bool Node::Impl::held_beyond_clocks(const Entry& e) const {
  // A life of another member that we took when our clock (or most of those we heard) ran more
  // than a day ahead of where they are now: its node gives it up for a life at its clock once
  // its clock is right (review_epoch), and that life, earlier, would be ignored here as news of
  // an earlier life for as long as we hold this one, while the node answers our probes at the
  // address.
  return is_live(e.m.state) && e.m.epoch > epoch_limit() &&
         clocks.beyond_most(e.m.epoch, std::nullopt, wall_ms(), now_, clock_quorum());
}

}  // namespace vennock::core
