// Clocks put right: a node whose wall clock ran more than a day off the cluster's becomes a
// member again once its clock is set, whichever way it was off.
#include <algorithm>

#include "core/impl.hpp"

namespace vennock::core {

namespace {
// The senders remembered at most (the oldest goes first).
constexpr size_t MAX_REFUSED = 8;
}  // namespace

void Node::Impl::note_refusals(const proto::State& st, bool refused_ahead) {
  if (st.members.empty()) return;
  const proto::MemberRecord& sender = st.members.front();
  auto it = std::find_if(refused.begin(), refused.end(),
                         [&](const Refused& r) { return r.name == sender.name && r.addr == sender.addr; });
  if (!refused_ahead) {
    // Its lives are ours now (or it has none we refuse).
    if (it != refused.end()) refused.erase(it);
    if (refused.empty()) refused_retry = 0;
    return;
  }
  if (it != refused.end() || sender.name == self.name) return;
  if (refused.size() >= MAX_REFUSED) refused.erase(refused.begin());
  refused.push_back(Refused{sender.name, sender.addr});
  const uint64_t every = cfg.push_pull_interval.as_nanos();
  if (!refused_retry && every) refused_retry = later(now_, every);
}

void Node::Impl::clock_stepped() {
  // Set right, perhaps: what we refused may be ours to take now, and nobody but its senders
  // may ever tell us of it again.
  if (!refused.empty()) refused_retry = std::max<uint64_t>(now_, 1);
}

void Node::Impl::clock_timeouts() {
  review_epoch();
  if (refused_retry && refused_retry <= now_) retry_refused();
}

void Node::Impl::retry_refused() {
  refused_retry = 0;
  if (refused.empty() || self.state == MemberState::Left) return;
  const Refused r = refused[refused_next++ % refused.size()];
  if (!start_push_pull(r.addr, r.name, StreamKind::PushPull, 0, 0)) ++counters.push_pull_failures;
  const uint64_t every = cfg.push_pull_interval.as_nanos();
  if (every) refused_retry = later(now_, every);
}

void Node::Impl::review_epoch() {
  // A life is refused by every member whose clock it lies more than a day ahead of. Ours
  // started when our clock ran that far ahead of every clock we hear from now, ours included:
  // our clock was put right, and the cluster will refuse our life until its clocks catch up
  // with the one we had (for ever, for a clock years ahead). We take a life at our clock as
  // it reads now, and disown the one we had, for whoever took it: its departure goes round,
  // and our own life reclaims the name there once that one has been gone for dead_reclaim.
  // A clock put wrong the same way is no reason: the clocks of those we hear do not follow it.
  if (self.state == MemberState::Left || self.epoch <= plus_lead(fastest_wall_ms())) return;
  const uint64_t old = self.epoch;
  self.epoch = wall_ms();
  disown_later_life(old, self.incarnation);
  gossip_alive_self();
  changed();
}

}  // namespace vennock::core
