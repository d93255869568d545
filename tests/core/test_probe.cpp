// Probing: direct, indirect with nacks, over a stream; local health; suspicion timing; buddy.
#include <cmath>
#include <functional>

#include "core/harness.hpp"

namespace vennock::test {
namespace {

using proto::Ack;
using proto::IndirectPing;
using proto::Nack;
using proto::Ping;

// Members a..d at ip4(2..5).
void four_members(Harness& h) {
  for (int i = 0; i < 4; ++i) h.add_member(std::string(1, static_cast<char>('a' + i)), static_cast<uint8_t>(2 + i));
  h.clear();
}

uint8_t last_of(Harness& h, const std::string& name) { return h.node->find(name)->addr.ip[3]; }

// Runs timers until the next direct Ping goes out; returns it.
Ping next_ping(Harness& h) {
  for (int i = 0; i < 1000; ++i) {
    h.clear();
    h.advance(10 * MS);
    for (const auto& t : h.out) {
      for (auto& m : h.decode(t))
        if (auto* p = std::get_if<Ping>(&m)) return *p;
    }
  }
  ADD_FAILURE() << "no ping";
  return {};
}

TEST(Probe, AnsweredProbeEndsQuietly) {
  Harness h;
  four_members(h);
  Ping p = next_ping(h);
  EXPECT_EQ(h.node->counters().probes_sent, 1u);
  h.deliver(ip4(last_of(h, p.target)), {Ack{p.seq}});
  h.clear();
  h.advance(h.cfg.probe_interval.as_nanos() - 20 * MS);
  EXPECT_TRUE(h.sent<IndirectPing>().empty());
  EXPECT_EQ(h.node->counters().probes_failed, 0u);
  EXPECT_EQ(h.node->local_health(), 0u);
}

TEST(Probe, SilentTargetIsProbedIndirectlyThenSuspected) {
  Harness h;
  four_members(h);
  Ping p = next_ping(h);
  h.clear();
  h.advance(h.cfg.probe_timeout.as_nanos());
  auto ind = h.sent<IndirectPing>();
  ASSERT_EQ(ind.size(), 3u);  // indirect_checks helpers: the other three
  for (auto& i : ind) {
    EXPECT_EQ(i.target, p.target);
    EXPECT_EQ(i.seq, p.seq);
    EXPECT_TRUE(i.nack);
  }
  EXPECT_EQ(h.node->counters().indirect_probes, 3u);
  // The stream fallback opened as well.
  EXPECT_EQ(h.transmits<core::transmit::Open>().size(), 1u);
  EXPECT_EQ(h.node->counters().tcp_pings, 1u);
  // Two helpers answer Nack within the period: the target is silent and our link works.
  h.deliver(ip4(9), {Nack{p.seq}});
  h.deliver(ip4(9), {Nack{p.seq}});
  const uint64_t period = h.cfg.probe_interval.as_nanos();
  h.advance(period);
  EXPECT_EQ(h.node->counters().probes_failed, 1u);
  EXPECT_EQ(h.node->find(p.target)->state, MemberState::Suspect);
  EXPECT_EQ(h.node->counters().suspicions, 1u);
  // The third helper waited its own whole probe timeout, so its Nack comes after our period
  // ended; it still counts. One more than was asked for does not.
  EXPECT_EQ(h.node->counters().missed_nacks, 0u);
  h.deliver(ip4(9), {Nack{p.seq}});
  h.deliver(ip4(9), {Nack{p.seq}});
  h.advance(period);  // the next probe (unanswered, no Nacks) ends and settles this one
  EXPECT_EQ(h.node->counters().probes_failed, 2u);
  EXPECT_EQ(h.node->counters().missed_nacks, 0u);
  EXPECT_EQ(h.node->local_health(), 0u);
  // ...and its three silent helpers point at our own link: our own Ping, sent with the
  // request to them, did not come back either (here nobody answers it).
  h.advance(period);
  EXPECT_EQ(h.node->counters().missed_nacks, 3u);
  EXPECT_EQ(h.node->local_health(), 3u);
}

// Runs timers for up to `d`, answering the node's checks of itself (Pings to its own address)
// as its own socket would, until `done` holds; returns the Pings it sent to members meanwhile.
std::vector<Ping> advance_answering_self(Harness& h, uint64_t d, const std::function<bool()>& done = {}) {
  std::vector<Ping> to_members;
  for (uint64_t t = 0; t < d && !(done && done()); t += 10 * MS) {
    size_t seen = h.out.size();
    h.advance(10 * MS);
    for (size_t i = seen; i < h.out.size(); ++i) {
      if (!std::holds_alternative<core::transmit::Datagram>(h.out[i])) continue;
      for (auto& m : h.decode(h.out[i])) {
        auto* p = std::get_if<Ping>(&m);
        if (p && p->target == "self")
          h.deliver(ip4(1), {Ack{p->seq}});
        else if (p)
          to_members.push_back(*p);
      }
    }
  }
  return to_members;
}

TEST(Probe, ASilentHelperChargesOnlyOnceHeardFromWhileOurOwnPingComesBack) {
  // A helper whose Nack does not come may have crashed: the lone survivor of a crash of most
  // of a cluster asks crashed members, and charged itself to the longest period for each. With
  // its request to the helpers the node pings itself; while that comes back in time, a silent
  // helper charges only once that life of it is heard from again (its Nack was lost or late),
  // and it is asked directly.
  auto cfg = lan();
  cfg.tcp_fallback_ping = false;
  Harness h(cfg);
  four_members(h);
  Ping p = next_ping(h);
  h.clear();
  h.advance(h.cfg.probe_timeout.as_nanos());
  auto self_checks = h.sent<Ping>(ip4(1));
  ASSERT_EQ(self_checks.size(), 1u);
  EXPECT_EQ(self_checks[0].target, "self");
  std::vector<std::string> helpers;
  for (auto& i : h.sent<IndirectPing>()) EXPECT_EQ(i.target, p.target);
  for (char c = 'a'; c <= 'd'; ++c)
    if (std::string(1, c) != p.target) helpers.emplace_back(1, c);
  h.deliver(ip4(1), {Ack{self_checks[0].seq}});
  // The period ends, the next probe fails too, and the first one's Nacks are settled.
  const uint64_t period = h.cfg.probe_interval.as_nanos();
  advance_answering_self(h, 3 * period, [&] { return h.node->counters().missed_nacks > 0; });
  const uint64_t settled = h.now;
  EXPECT_EQ(h.node->counters().missed_nacks, 3u);
  EXPECT_EQ(h.node->local_health(), 0u);
  for (const auto& name : helpers) {
    bool asked = false;
    for (auto& q : h.sent<Ping>(ip4(last_of(h, name)))) asked |= q.target == name;
    EXPECT_TRUE(asked) << name;
  }
  // A new life of one helper at its address owes nothing for the one asked.
  const SocketAddr first = ip4(last_of(h, helpers[0]));
  h.deliver(first, {proto::Alive{helpers[0], first, kEpoch + 60'000, 0, {}}});
  EXPECT_EQ(h.node->local_health(), 0u);
  // Another helper lives after all: its silence was our link's, as Lifeguard has it, and the
  // period under way (begun at the settling) is stretched as if charged then.
  h.deliver(ip4(last_of(h, helpers[1])), {Ping{500, "self", helpers[1]}});
  EXPECT_EQ(h.node->local_health(), 1u);
  h.deliver(ip4(last_of(h, helpers[1])), {Ping{501, "self", helpers[1]}});
  EXPECT_EQ(h.node->local_health(), 1u);  // once
  const uint64_t probes = h.node->counters().probes_sent;
  advance_answering_self(h, 3 * period, [&] { return h.node->counters().probes_sent > probes; });
  EXPECT_GE(h.now - settled, 2 * period - 20 * MS);
}

TEST(Probe, AnIndirectAckKeepsTheTargetAlive) {
  Harness h;
  four_members(h);
  Ping p = next_ping(h);
  h.advance(h.cfg.probe_timeout.as_nanos());
  h.deliver(ip4(9), {Ack{p.seq}});  // relayed by a helper
  h.advance(h.cfg.probe_interval.as_nanos());
  EXPECT_EQ(h.node->counters().probes_failed, 0u);
  EXPECT_EQ(h.node->find(p.target)->state, MemberState::Alive);
}

TEST(Probe, StreamFallbackAckCounts) {
  Harness h;
  four_members(h);
  Ping p = next_ping(h);
  h.clear();
  h.advance(h.cfg.probe_timeout.as_nanos());
  auto opens = h.transmits<core::transmit::Open>();
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].to, ip4(last_of(h, p.target)));
  EXPECT_FALSE(core::is_inbound(opens[0].id));
  auto frames = h.transmits<core::transmit::Frame>();
  ASSERT_EQ(frames.size(), 1u);
  auto msgs = h.decode(core::Transmit{frames[0]});
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_TRUE(std::holds_alternative<Ping>(msgs[0]));
  h.frame(opens[0].id, {Ack{p.seq}});
  EXPECT_EQ(h.node->counters().tcp_ping_acks, 1u);
  EXPECT_FALSE(h.transmits<core::transmit::Close>().empty());
  h.advance(h.cfg.probe_interval.as_nanos());
  EXPECT_EQ(h.node->counters().probes_failed, 0u);
}

TEST(Probe, WithoutNacksAFailedProbeRaisesHealthByOne) {
  auto cfg = lan();
  cfg.nacks = false;
  cfg.tcp_fallback_ping = false;
  Harness h(cfg);
  four_members(h);
  next_ping(h);
  h.clear();
  h.advance(h.cfg.probe_timeout.as_nanos());
  for (auto& i : h.sent<IndirectPing>()) EXPECT_FALSE(i.nack);
  EXPECT_TRUE(h.transmits<core::transmit::Open>().empty());
  h.advance(h.cfg.probe_interval.as_nanos());
  EXPECT_EQ(h.node->local_health(), 1u);
  EXPECT_EQ(h.node->counters().missed_nacks, 0u);
}

TEST(Probe, LocalHealthStretchesTheProbeIntervalAndSaturates) {
  auto cfg = lan();
  cfg.awareness_max = 2;
  cfg.tcp_fallback_ping = false;
  Harness h(cfg);
  four_members(h);
  // Three refutations would raise it to 3; it stops at awareness_max.
  for (uint32_t i = 0; i < 3; ++i) h.deliver(ip4(2), {proto::Suspect{"self", kEpoch, h.node->local().incarnation, "a"}});
  EXPECT_EQ(h.node->local_health(), 2u);
  Ping p1 = next_ping(h);
  uint64_t t1 = h.now;
  h.deliver(ip4(last_of(h, p1.target)), {Ack{p1.seq}});
  EXPECT_EQ(h.node->local_health(), 1u);  // a success lowers it
  next_ping(h);
  uint64_t gap = h.now - t1;
  // The period was stretched by (health + 1) = 3 when it started.
  EXPECT_GE(gap, 3 * h.cfg.probe_interval.as_nanos() - 10 * MS);
  EXPECT_LE(gap, 3 * h.cfg.probe_interval.as_nanos() + 10 * MS);

  cfg.local_health = false;
  Harness off(cfg);
  four_members(off);
  off.deliver(ip4(2), {proto::Suspect{"self", kEpoch, 0, "a"}});
  EXPECT_EQ(off.node->local_health(), 0u);
}

TEST(Probe, BuddySystemTellsTheSuspectFirst) {
  for (bool buddy : {true, false}) {
    auto cfg = lan();
    cfg.buddy_system = buddy;
    Harness h(cfg);
    h.add_member("a", 2);
    h.deliver(ip4(3), {proto::Suspect{"a", kEpoch + 5, 1, "b"}});
    Ping p = next_ping(h);
    ASSERT_EQ(p.target, "a");
    // Gossip rides behind the Ping; the buddy's warning goes in front of it.
    bool warned = false;
    for (const auto& t : h.out) {
      auto* d = std::get_if<core::transmit::Datagram>(&t);
      if (!d || d->to != ip4(2)) continue;
      auto msgs = h.decode(t);
      ASSERT_GE(msgs.size(), 1u);
      if (auto* s = std::get_if<proto::Suspect>(&msgs[0]); s && s->name == "a") warned = true;
    }
    EXPECT_EQ(warned, buddy);
  }
}

TEST(Probe, HoldersOfASuspicionTellTheSuspectThemselves) {
  for (bool buddy : {true, false}) {
    auto cfg = lan();
    cfg.buddy_system = buddy;
    Harness h(cfg);
    h.auto_ack = true;
    for (int i = 0; i < 4; ++i) h.add_member(std::string(1, static_cast<char>('a' + i)), static_cast<uint8_t>(2 + i));
    h.deliver(ip4(9), {proto::Suspect{"a", kEpoch + 5, 1, "b"}});
    h.clear();
    // min = 4 s for 5 members: the first word at 2 s, the second at 4 s.
    h.advance(4 * SEC + 10 * MS);
    size_t warned = 0;
    for (const auto& t : h.out) {
      auto* d = std::get_if<core::transmit::Datagram>(&t);
      if (!d || d->to != ip4(2)) continue;
      auto msgs = h.decode(t);
      if (msgs.size() >= 2 && std::holds_alternative<proto::Suspect>(msgs[0]) && std::holds_alternative<Ping>(msgs[1]))
        ++warned;
    }
    // (A probe of "a" in its round, with the buddy system on, looks the same; there may be one.)
    if (buddy) {
      EXPECT_GE(warned, 2u);
    } else {
      EXPECT_EQ(warned, 0u);
    }
    // The suspect's answer refutes it here at once.
    h.deliver(ip4(2), {proto::Ack{1}, proto::Alive{"a", ip4(2), kEpoch + 5, 2, {}}});
    EXPECT_EQ(h.node->find("a")->state, MemberState::Alive);
  }
}

TEST(Probe, StaleSuspicionsAreAnsweredWithTheNewerNews) {
  Harness h;
  h.auto_ack = true;
  h.add_member("a", 2, 3);
  // Someone still suspects "a" at an incarnation it has refuted: its Alive goes out again.
  h.advance(5 * SEC);  // let the first Alive leave the queue
  h.clear();
  h.deliver(ip4(9), {proto::Suspect{"a", kEpoch + 5, 2, "b"}, Ping{4, "self", "b"}});
  bool resent = false;
  for (auto& a : h.sent<proto::Alive>(ip4(9)))
    if (a.name == "a" && a.incarnation == 3) resent = true;
  EXPECT_TRUE(resent);
  // And so does this node's own Alive, when it hears an old accusation of itself.
  h.clear();
  h.deliver(ip4(9), {proto::Suspect{"self", kEpoch, 0, "b"}});  // refuted: incarnation 1
  h.advance(5 * SEC);
  h.clear();
  h.deliver(ip4(9), {proto::Suspect{"self", kEpoch, 0, "b"}, Ping{5, "self", "b"}});
  EXPECT_EQ(h.node->local().incarnation, 1u);  // not raised again
  bool reminded = false;
  for (auto& a : h.sent<proto::Alive>(ip4(9)))
    if (a.name == "self" && a.incarnation == 1) reminded = true;
  EXPECT_TRUE(reminded);
}

TEST(Probe, SuspicionTimeoutShrinksWithConfirmations) {
  const uint64_t min = 1000;
  EXPECT_EQ(core::suspicion_timeout(min, 6, 3, 0, true), 6000u);
  EXPECT_NEAR(static_cast<double>(core::suspicion_timeout(min, 6, 3, 1, true)), 3500.0, 1.0);
  EXPECT_NEAR(static_cast<double>(core::suspicion_timeout(min, 6, 3, 2, true)), 2038.0, 2.0);
  EXPECT_EQ(core::suspicion_timeout(min, 6, 3, 3, true), 1000u);
  EXPECT_EQ(core::suspicion_timeout(min, 6, 3, 9, true), 1000u);
  EXPECT_EQ(core::suspicion_timeout(min, 6, 3, 0, false), 1000u);
}

// The time from a suspicion to the member's death at this node, with `accusers` independent
// accusers in all.
double time_to_dead(bool dynamic, int accusers) {
  auto cfg = lan();
  cfg.dynamic_suspicion = dynamic;
  Harness h(cfg);
  // Everyone answers, so only the given accusers count (an Ack does not clear a suspicion:
  // only the member's own refutation does).
  h.auto_ack = true;
  for (int i = 0; i < 8; ++i) h.add_member("m" + std::to_string(i), static_cast<uint8_t>(2 + i));
  uint64_t t0 = h.now;
  for (int k = 0; k < accusers; ++k) h.deliver(ip4(20), {proto::Suspect{"m0", kEpoch + 5, 1, "acc" + std::to_string(k)}});
  while (h.node->find("m0")->state == MemberState::Suspect) {
    h.advance(100 * MS);
    h.clear();
  }
  return static_cast<double>(h.now - t0) / SEC;
}

TEST(Probe, SuspectDiesAfterTheTimeoutForItsConfirmations) {
  // 9 members: min = 4 × log10(9) × 1 s, at least 4 × 1 s.
  const double min = 4.0 * std::max(1.0, std::log10(9.0));
  EXPECT_NEAR(time_to_dead(true, 1), 6 * min, 0.25);
  EXPECT_NEAR(time_to_dead(true, 4), min, 0.25);
  EXPECT_NEAR(time_to_dead(false, 1), min, 0.25);
}

}  // namespace
}  // namespace vennock::test
