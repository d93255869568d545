// User traffic (messages and broadcasts) and the membership commands: send, broadcast,
// metadata updates and leave.
#include <algorithm>

#include "core/impl.hpp"

namespace vennock::core {

void Node::Impl::command_send(CommandId id, command::Send c) {
  if (self.state == MemberState::Left) return complete(id, CommandError::Left);
  if (c.data.size() > cfg.max_user_message) {
    ++counters.user_messages_too_large;
    return complete(id, CommandError::TooLarge);
  }
  const Entry* e = table.find(c.name);
  if (!e || !is_live(e->m.state) || (c.epoch != 0 && e->m.epoch != 0 && e->m.epoch != c.epoch))
    return complete(id, CommandError::NotAMember);
  proto::UserMessage m{self.name, self.epoch, e->m.name, e->m.epoch, std::move(c.data)};
  proto::Bytes payload;
  proto::encode(m, payload);
  if (payload.size() <= payload_budget()) {
    ++counters.user_messages_sent;
    send_packet(e->m.addr, e->m.name, payload, true);
    return complete(id, outcome::Done{});
  }
  UserQueue& q = user_queues[e->m.name];
  if (q.active == 0) {
    q.waiting.push_back(std::move(payload));
    waiting_bytes += q.waiting.back().size();
    user_stream_next(e->m.name);
    return complete(id, outcome::Done{});
  }
  if (waiting_bytes + payload.size() > cfg.max_stream_frame) {
    // Completes as a success (callers rely on a send never waiting on the target), but the
    // drop is counted.
    ++counters.user_queue_overflow;
    return complete(id, outcome::Done{});
  }
  waiting_bytes += payload.size();
  q.waiting.push_back(std::move(payload));
  complete(id, outcome::Done{});
}

void Node::Impl::user_stream_next(const std::string& member) {
  auto it = user_queues.find(member);
  if (it == user_queues.end()) return;
  UserQueue& q = it->second;
  if (q.active != 0) return;
  if (q.waiting.empty()) {
    user_queues.erase(it);
    return;
  }
  const Entry* e = table.find(member);
  if (!e || !is_live(e->m.state)) {
    drop_user_queue(member);
    return;
  }
  // One stream at a time per member: it carries everything waiting, one frame per message,
  // and is closed behind the last; messages arriving meanwhile wait for the next stream.
  StreamId sid = open_stream(e->m.addr, StreamKind::User, e->m.name);
  Stream& s = streams[sid];
  s.member = member;
  q.active = sid;
  while (!q.waiting.empty()) {
    proto::Bytes payload = std::move(q.waiting.front());
    q.waiting.pop_front();
    waiting_bytes -= payload.size();
    if (send_frame(sid, payload)) {
      ++counters.user_messages_sent;
      ++s.user_msgs;
    } else {
      ++counters.user_messages_dropped;
    }
  }
  transmits.push_back(transmit::Close{sid});
}

void Node::Impl::drop_user_queue(const std::string& member) {
  auto it = user_queues.find(member);
  if (it == user_queues.end()) return;
  for (const auto& p : it->second.waiting) {
    waiting_bytes -= p.size();
    ++counters.user_messages_dropped;
  }
  it->second.waiting.clear();
  if (it->second.active == 0) user_queues.erase(it);
}

void Node::Impl::command_broadcast(CommandId id, command::Broadcast c) {
  if (self.state == MemberState::Left) return complete(id, CommandError::Left);
  if (c.data.size() > cfg.max_user_broadcast) {
    ++counters.user_messages_too_large;
    return complete(id, CommandError::TooLarge);
  }
  ++counters.user_messages_sent;
  queue_broadcast(proto::UserBroadcast{self.name, self.epoch, ++broadcast_seq, std::move(c.data)});
  complete(id, outcome::Done{});
}

void Node::Impl::queue_broadcast(const proto::UserBroadcast& b) {
  proto::Bytes enc;
  proto::encode(b, enc);
  // Its origin has no use for a copy (it ignores its own broadcasts).
  const Entry* origin = table.find(b.origin);
  GossipQueue::Options o;
  if (origin) o.withheld = recipient(table.slot_of(*origin));
  o.withheld_live = origin && is_live(origin->m.state);
  gossip.push(GossipQueue::Kind::Broadcast,
              "b" + b.origin + "/" + std::to_string(b.origin_epoch) + "/" + std::to_string(b.seq), std::move(enc), o);
  if (gossip.broadcasts() > cfg.user_broadcast_queue && gossip.drop_one_broadcast()) ++counters.user_queue_overflow;
}

void Node::Impl::command_update_meta(CommandId id, command::UpdateMeta c) {
  if (self.state == MemberState::Left) return complete(id, CommandError::Left);
  if (c.meta.size() > cfg.max_meta_bytes) return complete(id, CommandError::MetaTooLarge);
  self.meta = std::move(c.meta);
  ++self.incarnation;
  gossip_alive_self();
  changed();
  complete(id, outcome::Done{});
}

void Node::Impl::command_leave(CommandId id) {
  if (self.state == MemberState::Left) {
    // While the departure is still being gossiped, "done" would be premature: this leave
    // completes with the first one.
    if (!leave_pending.empty()) return leave_pending.push_back(id);
    return complete(id, outcome::Done{});
  }
  self.state = MemberState::Left;
  changed();
  proto::Bytes b;
  proto::encode(proto::Dead{self.name, self.epoch, self.incarnation, self.name}, b);
  gossip.push(GossipQueue::Kind::Member, member_key(self.name), std::move(b));
  // Stop probing; gossip goes on so the news spreads.
  probe = Probe{};
  next_probe = 0;
  if (table.live_count() == 0) return complete(id, outcome::Done{});
  leave_pending.push_back(id);
  // Send it at once rather than at the next gossip tick.
  gossip_tick();
}

Member Node::Impl::sender_record(const std::string& name, uint64_t epoch,
                                 const std::optional<proto::SocketAddr>& addr) const {
  const Entry* e = table.find(name);
  if (e && (epoch == 0 || e->m.epoch == epoch)) return e->m;
  // Not (yet) in our table: describe it as well as the message lets us.
  Member m;
  m.name = name;
  m.epoch = epoch;
  if (addr) m.addr = *addr;
  return m;
}

void Node::Impl::on_user_message(const proto::UserMessage& m, Ctx& ctx) {
  // This life may have outlived an earlier one by taking a later epoch: both are its own.
  if (m.to != self.name || (m.to_epoch != 0 && m.to_epoch != self.epoch && m.to_epoch != start_epoch)) {
    ++counters.user_messages_dropped;
    return;
  }
  ++counters.user_messages_received;
  emit(event::UserMessage{sender_record(m.from, m.from_epoch, ctx.from), m.data, false});
}

Node::Impl::Window* Node::Impl::broadcast_window(Seen& of, const std::string& origin, uint64_t epoch) {
  const Entry* e = table.find(origin);
  // An earlier life than the one the table holds (or, for an origin the table does not hold,
  // than the latest life heard from): its broadcasts are over.
  if (e && epoch < e->m.epoch) return nullptr;
  for (const Window& w : of.w)
    if (!e && w.used && epoch < w.epoch) return nullptr;
  Window* lowest = nullptr;
  for (Window& w : of.w) {
    if (w.used && w.epoch == epoch) return &w;
    if (!w.used) {
      lowest = &w;
      break;
    }
    // The window of the life the table holds is never given up for another.
    if ((!e || w.epoch != e->m.epoch) && (!lowest || w.epoch < lowest->epoch)) lowest = &w;
  }
  if (!lowest) return nullptr;
  *lowest = Window{};
  lowest->used = true;
  lowest->epoch = epoch;
  return lowest;
}

bool Node::Impl::broadcast_seen(const std::string& origin, uint64_t epoch, uint64_t s) {
  auto it = seen.find(origin);
  if (it == seen.end()) {
    // Bounded: the oldest origins are forgotten first. (Saturating: max_members may be any
    // positive u64, and a wrapped bound would forget origins all the time.)
    const uint64_t cap = cfg.max_members > UINT64_MAX - 64 ? UINT64_MAX : cfg.max_members + 64;
    while (seen.size() >= cap && !seen_order.empty()) {
      seen.erase(seen_order.front());
      seen_order.pop_front();
    }
    it = seen.emplace(origin, Seen{}).first;
    seen_order.push_back(origin);
  }
  Window* wp = broadcast_window(it->second, origin, epoch);
  if (!wp) return true;
  Window& w = *wp;
  if (s > w.max) {
    uint64_t shift = s - w.max;
    w.bits = shift >= BROADCAST_WINDOW ? std::bitset<BROADCAST_WINDOW>{} : (w.bits << shift);
    w.bits.set(0);
    w.max = s;
    return false;
  }
  uint64_t back = w.max - s;
  if (back >= BROADCAST_WINDOW) return true;  // too old to tell: treat as seen
  if (w.bits.test(back)) return true;
  w.bits.set(back);
  return false;
}

void Node::Impl::on_user_broadcast(const proto::UserBroadcast& b) {
  if (b.origin == self.name) return;  // our own, coming back
  if (b.data.size() > cfg.max_user_broadcast) {
    ++counters.user_messages_dropped;
    return;
  }
  // A life further ahead than any clock runs is a forgery (or this node's clock runs far
  // behind: counted, so that shows).
  if (b.origin_epoch > epoch_limit()) {
    ++counters.user_messages_dropped;
    return;
  }
  if (broadcast_seen(b.origin, b.origin_epoch, b.seq)) return;
  ++counters.user_messages_received;
  emit(event::UserMessage{sender_record(b.origin, b.origin_epoch, std::nullopt), b.data, true});
  queue_broadcast(b);  // pass it on
}

}  // namespace vennock::core
