// Joins through a member that is joining itself: what it answers, what it holds back, and
// what it owes the members that joined through it.
#include "core/harness.hpp"

namespace vennock::test {
namespace {

using proto::MemberRecord;
using proto::State;

State state_of(std::initializer_list<std::pair<std::string, uint8_t>> members, uint64_t epoch = kEpoch + 5) {
  State st;
  st.join = false;
  for (auto& [name, last] : members)
    st.members.push_back(MemberRecord{name, ip4(last), epoch, 1, MemberState::Alive, {}});
  return st;
}

// A join: the joiner's State, holding only itself.
State join_of(const std::string& name, uint8_t last, uint64_t epoch = kEpoch + 5) {
  State st = state_of({{name, last}}, epoch);
  st.join = true;
  return st;
}

// The names in the State written on stream `id`, if one was.
std::optional<std::set<std::string>> state_on(Harness& h, core::StreamId id) {
  for (const auto& t : h.out) {
    auto* f = std::get_if<core::transmit::Frame>(&t);
    if (!f || f->id != id) continue;
    for (auto& m : h.decode(t))
      if (auto* st = std::get_if<State>(&m)) {
        std::set<std::string> names;
        for (auto& r : st->members) names.insert(r.name);
        return names;
      }
  }
  return std::nullopt;
}

// The names of the members whose Alive rides on this node's answer to a Ping from `from`.
std::set<std::string> alive_on_answer(Harness& h, const std::string& from, uint8_t last) {
  static uint32_t seq = 100;
  h.clear();
  h.deliver(ip4(last), {proto::Ping{++seq, "self", from}});
  std::set<std::string> names;
  for (auto& a : h.sent<proto::Alive>()) names.insert(a.name);
  return names;
}

using Names = std::set<std::string>;

const core::StreamId kFromJoiner = core::INBOUND_BIT | 1;

// Our own join through the member at ip4(9) is under way when "j" (at ip4(20)) joins through
// us on kFromJoiner; gives the stream of our own join.
core::StreamId joined_while_joining(Harness& h) {
  h.cmd(core::command::Join{{ip4(9)}});
  auto opens = h.transmits<core::transmit::Open>();
  EXPECT_EQ(opens.size(), 1u);
  h.frame(kFromJoiner, {join_of("j", 20)});
  return opens.empty() ? 0 : opens[0].id;
}

TEST(Joining, ASeedStillJoiningAnswersAndPassesOnNewsOnceItKnowsTheCluster) {
  Harness h;
  // A member joins through us while our own join is under way, and we hear of another.
  const core::StreamId own = joined_while_joining(h);
  const core::StreamId in = kFromJoiner;
  h.deliver(ip4(21), {proto::Alive{"x", ip4(21), kEpoch + 5, 1, {}}});
  // Answered now, the joiner would learn nothing of the cluster; sent now, the news would go
  // to the two members we know and be spent.
  EXPECT_FALSE(state_on(h, in).has_value());
  EXPECT_EQ(alive_on_answer(h, "x", 21), Names{});
  // Our seed answers: the joiner gets what it knew, and the news goes out.
  h.clear();
  h.frame(own, {state_of({{"seed", 9}, {"a", 10}, {"b", 11}})});
  EXPECT_EQ(state_on(h, in), (Names{"self", "seed", "a", "b", "j", "x"}));
  EXPECT_EQ(alive_on_answer(h, "a", 10), (Names{"j", "x"}));

  // But a member we are joining through is answered at once: two members started together,
  // each joining through the other, would each hold the other for half a stream timeout.
  Harness two;
  two.cmd(core::command::Join{{ip4(9)}});
  two.frame(in, {join_of("peer", 9)});
  EXPECT_EQ(state_on(two, in), (Names{"self", "peer"}));
}

TEST(Joining, AJoinHeldTooLongGetsWhatWeKnowAndOurTableOnceOurJoinIsAnswered) {
  Harness h;
  const core::StreamId own = joined_while_joining(h);
  const core::StreamId in = kFromJoiner;
  h.advance(h.cfg.probe_interval.as_nanos());
  EXPECT_EQ(state_on(h, in), (Names{"self", "j"}));
  // Our seed answers at last: the joiner knows nothing of the cluster but through us, and the
  // seed's side knows of the joiner only from our gossip.
  h.clear();
  h.frame(own, {state_of({{"seed", 9}, {"a", 10}})});
  bool to_joiner = false, to_seed = false;
  for (auto& o : h.transmits<core::transmit::Open>()) {
    if (o.to == ip4(20)) to_joiner = state_on(h, o.id) == Names{"self", "seed", "a", "j"};
    if (o.to == ip4(9)) to_seed = state_on(h, o.id) == Names{"self", "seed", "a", "j"};
  }
  EXPECT_TRUE(to_joiner);
  EXPECT_TRUE(to_seed);
  // What a joiner's table teaches us goes on to the other members that joined through us
  // (none here) and up to our seed, not back to the joiner; what the seed's teaches us goes
  // down to the joiner.
  const core::StreamId from_joiner = core::INBOUND_BIT | 2;
  h.clear();
  h.frame(from_joiner, {state_of({{"j", 20}, {"k", 21}})});
  bool up = false, back = false;
  for (auto& o : h.transmits<core::transmit::Open>()) {
    up = up || (o.to == ip4(9) && state_on(h, o.id).value_or(Names{}).count("k") == 1);
    back = back || o.to == ip4(20);
  }
  EXPECT_TRUE(up);
  EXPECT_FALSE(back);
  const core::StreamId from_seed = core::INBOUND_BIT | 3;
  h.clear();
  h.frame(from_seed, {state_of({{"seed", 9}, {"b", 11}})});
  bool down = false;
  for (auto& o : h.transmits<core::transmit::Open>())
    if (o.to == ip4(20)) down = state_on(h, o.id).value_or(Names{}).count("b") == 1;
  EXPECT_TRUE(down);
}

TEST(Joining, NewsOfAMemberStartedBeforeAJoinerGoesToTheJoinerInTheNextRound) {
  // A member that started before the joiner may have had its news on the way while the
  // joiner joined: the members that spent their copies before they knew of the joiner will
  // not send it one. The seed, which knows the joiner first, does.
  Harness h;
  for (int i = 0; i < 12; ++i) h.add_member("m" + std::to_string(i), static_cast<uint8_t>(30 + i));
  h.advance(2 * SEC);  // their news is out
  h.frame(core::INBOUND_BIT | 1, {join_of("j", 20, kEpoch + 50)});
  h.advance(2 * SEC);
  for (int k = 0; k < 5; ++k) {
    const std::string x = "x" + std::to_string(k);
    h.clear();
    h.deliver(ip4(30), {proto::Alive{x, ip4(static_cast<uint8_t>(50 + k)), kEpoch + 40, 1, {}}});
    h.advance(h.cfg.gossip_interval.as_nanos());
    bool told = false;
    for (auto& a : h.sent<proto::Alive>(ip4(20))) told = told || a.name == x;
    EXPECT_TRUE(told) << x;
  }
}

TEST(Joining, AMemberWhoseSeedNeverAnswersHoldsItsNewsOnlyAWhile) {
  // Node 0 joins through node 1, whose connections it never gets through (a host that drops
  // connection attempts): its join takes join_retries × tcp_timeout. Nodes 2 to 5 join through
  // node 0 meanwhile, one after another. Holding its news for the whole join left them unaware
  // of each other for half a minute; they know each other once half a stream timeout passed.
  Sim sim(5, NetParams{});
  const size_t n = 6;
  for (size_t i = 0; i < n; ++i) sim.add(lan(), node_name(i));
  sim.block(0, 1);
  sim.block(1, 0);
  const CommandId own = sim.command(0, core::command::Join{{Sim::addr_of(1)}});
  sim.run_for(100 * MS);
  for (size_t i = 2; i < n; ++i) {
    const CommandId id = sim.command(i, core::command::Join{{Sim::addr_of(0)}});
    ASSERT_TRUE(sim.run_until_pred([&] { return sim.outcome(i, id).has_value(); }, 5 * SEC, MS));
  }
  sim.run_until(std::max(sim.now(), lan().tcp_timeout.as_nanos() / 2) + 2 * SEC);
  EXPECT_FALSE(sim.outcome(0, own).has_value());  // still joining
  for (size_t i = 2; i < n; ++i) {
    size_t known = 0;
    for (size_t k = 2; k < n; ++k) known += k != i && sim.node(i).find(node_name(k)) != nullptr;
    EXPECT_EQ(known, n - 3) << node_name(i);
  }
}

}  // namespace
}  // namespace vennock::test
