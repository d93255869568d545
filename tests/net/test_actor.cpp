// The actor's flush, command completion, stream reports and rejoin, against a scripted
// engine.
#include <gtest/gtest.h>

#include "fake_engine.hpp"
#include "helpers.hpp"

using namespace vennock;
using namespace vennock::net;
using namespace vennock::net::testing;
using core::CommandError;
using core::INBOUND_BIT;

namespace {

core::Transmit datagram(uint8_t to) {
  core::transmit::Datagram d;
  d.packet = {1, 2, 3};
  d.to = member("x", to).addr;
  return d;
}
core::Event completed(core::CommandId id, core::Outcome r) { return core::event::Completed{id, std::move(r)}; }

template <class T>
std::optional<T> answered(OneReceiver<T>& rx) {
  std::optional<T> v;
  if (rx.poll(v) == Polled::Item) return v;
  return std::nullopt;
}

struct Call {
  OneReceiver<Result<actor::Done, Error>> rx;
};
Call send_request(Rig& rig) {
  auto [tx, rx] = oneshot<Result<actor::Done, Error>>();
  rig.actor->request(actor::request::Send{"peer", 1, {9}, std::move(tx)});
  return Call{std::move(rx)};
}

}  // namespace

TEST(Flush, TransmitsThenSnapshotThenPublishThenAnswers) {
  FakeEngine e;
  e.on_command = [](FakeEngine& en, core::CommandId id, const core::Command&) {
    en.transmits.push_back(datagram(9));
    en.events.push_back(core::event::MemberJoined{member("b", 2)});
    en.events.push_back(completed(id, core::outcome::Done{}));
    en.events.push_back(core::event::UserMessage{member("b", 2), {7}, true});
    en.self.incarnation = 5;
    ++en.ver;
  };
  Rig rig(std::move(e));
  events::Events sub = rig.shared->hub.subscribe();
  events::Events probe = rig.shared->hub.subscribe();  // looked at during the flush
  auto before = rig.snapshot();
  std::vector<std::string> steps;
  auto [tx, rx] = oneshot<Result<actor::Done, Error>>();
  // What a caller could see at each step: (snapshot replaced, events published, answered).
  auto sees = [&] {
    std::optional<Result<actor::Done, Error>> v;
    bool answered_yet = rx.poll(v) == Polled::Item;
    return std::make_tuple(rig.snapshot() != before, probe.next().kind == events::Received::Kind::Item, answered_yet);
  };
  std::vector<std::tuple<bool, bool, bool>> seen;
  rig.transport->on_send = [&] {
    steps.push_back("send");
    seen.push_back(sees());
  };
  rig.actor->set_flush_observer([&](std::string_view step) {
    steps.emplace_back(step);
    if (step != "answer") seen.push_back(sees());
  });
  rig.actor->request(actor::request::Send{"peer", 1, {9}, std::move(tx)});
  EXPECT_EQ(steps, (std::vector<std::string>{"send", "transmits", "events", "snapshot", "publish", "answer"}));
  using T = std::tuple<bool, bool, bool>;
  EXPECT_EQ(seen, (std::vector<T>{T{false, false, false}, T{false, false, false}, T{false, false, false},
                                  T{true, false, false}, T{true, true, false}}));
  ASSERT_EQ(rig.transport->sent.size(), 1u);
  auto r = answered(rx);
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(r->ok());
  EXPECT_EQ(rig.snapshot()->members.front().incarnation, 5u);
  // Completions are never published; the other events are, in engine order.
  auto first = sub.next(), second = sub.next();
  ASSERT_EQ(first.kind, events::Received::Kind::Item);
  EXPECT_TRUE(std::holds_alternative<events::event::MemberJoined>(*first.event));
  ASSERT_EQ(second.kind, events::Received::Kind::Item);
  EXPECT_TRUE(std::holds_alternative<events::event::UserMessage>(*second.event));
  EXPECT_EQ(sub.next().kind, events::Received::Kind::Empty);
}

TEST(Flush, AQuietFlushNeitherReplacesTheSnapshotNorPublishes) {
  Rig rig;
  events::Events sub = rig.shared->hub.subscribe();
  auto before = rig.snapshot();
  rig.actor->flush(false);
  rig.actor->flush(true);
  EXPECT_EQ(rig.snapshot(), before);
  EXPECT_EQ(sub.next().kind, events::Received::Kind::Empty);
}

TEST(Flush, AnyTableChangeRepublishesTheSnapshotEvenWithoutAnEvent) {
  FakeEngine e;
  e.put(member("b", 2));
  Rig rig(std::move(e));
  auto before = rig.snapshot();
  // An incarnation bump of another member: no event, own record unchanged, same count,
  // and not after the timers. The snapshot must still follow.
  core::Member b = member("b", 2);
  b.incarnation = 3;
  rig.engine().put(b);
  rig.actor->flush(false);
  auto after = rig.snapshot();
  ASSERT_NE(after, before);
  EXPECT_EQ(after->members.at(1).incarnation, 3u);
  // An address change likewise.
  b.addr.port = 9999;
  rig.engine().put(b);
  rig.actor->flush(false);
  EXPECT_EQ(rig.snapshot()->members.at(1).addr.port, 9999);
  // The own record alone is compared too.
  rig.engine().self.meta = {1};
  rig.actor->flush(false);
  EXPECT_EQ(rig.snapshot()->members.front().meta, proto::Bytes{1});
}

TEST(Complete, AnswersByKindAndMapsRefusals) {
  FakeEngine e;
  std::vector<core::Outcome> outcomes{core::outcome::Done{}, core::outcome::Count{3}, CommandError::JoinFailed,
                                      core::outcome::Count{4}, CommandError::NotAMember};
  size_t next = 0;
  e.on_command = [&](FakeEngine& en, core::CommandId id, const core::Command&) {
    en.events.push_back(completed(id, outcomes.at(next++)));
  };
  Rig rig(std::move(e));
  auto join = [&] {
    auto [tx, rx] = oneshot<Result<size_t, Error>>();
    rig.actor->request(actor::request::Join{{}, std::move(tx)});
    return answered(rx);
  };
  auto zero = join();
  ASSERT_TRUE(zero && zero->ok());
  EXPECT_EQ(zero->value(), 0u);  // a join completion without a value
  auto three = join();
  EXPECT_EQ(three->value(), 3u);
  auto failed = join();
  ASSERT_FALSE(failed->ok());
  EXPECT_EQ(failed->error().code(), ErrorCode::JoinFailed);
  // Kinds that answer nothing answer the empty result even when the engine gives a count.
  Call c = send_request(rig);
  auto done = answered(c.rx);
  ASSERT_TRUE(done.has_value());
  EXPECT_TRUE(done->ok());
  Call refused = send_request(rig);
  EXPECT_EQ(answered(refused.rx)->error().code(), ErrorCode::NotAMember);
}

TEST(Complete, CompletionsAreAnsweredInEngineOrderAndStrayOnesIgnored) {
  FakeEngine e;
  std::vector<core::CommandId> ids;
  e.on_command = [&](FakeEngine& en, core::CommandId id, const core::Command&) {
    ids.push_back(id);
    if (ids.size() == 2) {
      en.events.push_back(completed(999, core::outcome::Done{}));  // nobody waits for it
      en.events.push_back(completed(ids[1], CommandError::KeyInUse));
      en.events.push_back(completed(ids[0], core::outcome::Done{}));
    }
  };
  Rig rig(std::move(e));
  Capture& cap = capture();
  size_t m = cap.mark();
  auto key = [&](actor::KeyChange::Kind kind) {
    auto [tx, rx] = oneshot<Result<actor::Done, Error>>();
    rig.actor->request(actor::request::Key{{kind, proto::Key::from_array({})}, std::move(tx)});
    return rx;
  };
  auto first = key(actor::KeyChange::Kind::Install);
  auto second = key(actor::KeyChange::Kind::Use);
  EXPECT_EQ(rig.actor->pending_count(), 0u);
  ASSERT_TRUE(answered(first).has_value());
  EXPECT_EQ(answered(second)->error().code(), ErrorCode::KeyInUse);
  auto lines = cap.since(m);
  std::vector<std::string> texts;
  for (const auto& l : lines)
    if (l.target == "vennock_net::actor") texts.push_back(l.text);
  std::string id = proto::Key::from_array({}).id().hex();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], "keyring: change refused key=" + id + " error=key is the one in use");
  EXPECT_EQ(texts[1], "keyring: installed key key=" + id);
  EXPECT_EQ(lines.back().level, log::Level::Info);
}

TEST(Complete, KeyIdsAndHeaderCheckArePublishedBeforeTheAnswer) {
  FakeEngine e;
  e.on_command = [](FakeEngine& en, core::CommandId id, const core::Command&) {
    en.keys = {proto::KeyId{0xabcd}};
    en.events.push_back(completed(id, core::outcome::Done{}));
  };
  Rig rig(std::move(e));
  bool checked = false;
  rig.actor->set_flush_observer([&](std::string_view step) {
    if (step != "transmits") return;
    checked = true;
    auto ids = rig.shared->key_ids.load();
    ASSERT_EQ(ids->size(), 1u);
    EXPECT_EQ((*ids)[0].value, 0xabcdu);
    EXPECT_EQ(rig.header->load()->key_ids.size(), 1u);
  });
  auto [tx, rx] = oneshot<Result<actor::Done, Error>>();
  rig.actor->request(actor::request::Key{{actor::KeyChange::Kind::Install, proto::Key::from_array({})}, std::move(tx)});
  EXPECT_TRUE(checked);
  EXPECT_TRUE(answered(rx).has_value());
}

TEST(Complete, AnAnswerToACallerThatLeftIsDroppedQuietly) {
  FakeEngine e;
  e.on_command = [](FakeEngine& en, core::CommandId id, const core::Command&) {
    en.events.push_back(completed(id, core::outcome::Done{}));
  };
  Rig rig(std::move(e));
  {
    Call c = send_request(rig);  // answered at once, receiver dropped afterwards: fine
  }
  auto [tx, rx] = oneshot<Result<actor::Done, Error>>();
  { auto gone = std::move(rx); }
  rig.actor->request(actor::request::Leave{std::move(tx)});
  EXPECT_EQ(rig.actor->pending_count(), 0u);
}

TEST(Transmit, FailedSendsAreLoggedAndUnknownStreamsIgnored) {
  Capture& cap = capture();
  FakeEngine e;
  e.transmits.push_back(datagram(4));
  e.transmits.push_back(core::transmit::Frame{{0, 0, 0, 1, 5}, 77});
  e.transmits.push_back(core::transmit::Close{77});
  Rig rig(std::move(e));
  rig.transport->fail_sends = true;
  size_t m = cap.mark();
  rig.actor->flush(false);
  EXPECT_EQ(cap.count(m, "datagram not sent to=127.0.0.4:7946 error=", log::Level::Trace), 1u);
  EXPECT_EQ(rig.actor->conn_count(), 0u);
}

namespace {

// A rig whose actor admits real loopback connections from 127.0.0.x.
struct Admission {
  Rig rig;
  std::optional<transport::TcpListener> listener;
  SocketAddr at;
  std::vector<int> peers;

  static actor::Options options() {
    actor::Options o;
    o.max_inbound_streams = 3;
    o.max_inbound_streams_per_ip = 2;
    o.max_stream_frame = 64 * 1024;
    o.max_inbound_bytes_per_ip = 64 * 1024 + 4;
    o.tcp_header_timeout = core::Duration::from_secs(60);  // the streams wait quietly
    return o;
  }
  Admission() : rig(FakeEngine(), options()) {
    listener.emplace(loopback_listener());
    at = *listener->local_addr();
  }
  ~Admission() {
    rig.actor->teardown(false);
    for (int fd : peers) ::close(fd);
  }
  // Connects from 127.0.0.`from` and has the actor accept it; the new stream's number.
  uint64_t admit(uint8_t from) {
    int fd = connect_from(from, at);
    EXPECT_GE(fd, 0);
    peers.push_back(fd);
    auto got = accept_one(*listener);
    rig.actor->accept(std::move(got->first), got->second);
    return rig.actor->accepted().back().first & ~INBOUND_BIT;
  }
  std::vector<uint64_t> queue() const {
    std::vector<uint64_t> v;
    for (const auto& [id, ip] : rig.actor->accepted()) v.push_back(id & ~INBOUND_BIT);
    return v;
  }
};

conn::Tagged tagged(core::StreamId id, uint64_t task, conn::Report r) { return conn::Tagged{id, task, std::move(r)}; }

}  // namespace

TEST(Reports, OnlyTheCurrentTaskOfAStreamIdTouchesItsEntry) {
  FakeEngine e;
  Rig rig(std::move(e));
  auto open = [&](core::StreamId id) {
    rig.engine().transmits.push_back(core::transmit::Open{member("b", 2).addr, id});
    rig.actor->flush(false);
    return rig.actor->conn(id)->task;
  };
  uint64_t old_task = open(5);
  uint64_t new_task = open(5);  // the engine uses id 5 again
  ASSERT_NE(old_task, new_task);
  EXPECT_EQ(rig.actor->conn_count(), 1u);
  // The old task's last reports arrive after the new stream was opened.
  rig.actor->report(tagged(5, old_task, conn::report::Frame{{1}, {}, {}}));
  rig.actor->report(tagged(5, old_task, conn::report::Closed{}));
  rig.actor->report(tagged(5, old_task, conn::report::Finished{}));
  EXPECT_TRUE(rig.engine().calls.empty()) << rig.engine().calls.front();
  ASSERT_NE(rig.actor->conn(5), nullptr);  // the new stream keeps its entry
  EXPECT_EQ(rig.actor->conn(5)->task, new_task);
  // The new task's reports reach the engine, and its Finished removes the entry.
  rig.actor->report(tagged(5, new_task, conn::report::Frame{{1}, {}, {}}));
  rig.actor->report(tagged(5, new_task, conn::report::Failed{}));
  rig.actor->report(tagged(5, new_task, conn::report::Finished{}));
  EXPECT_EQ(rig.engine().calls, (std::vector<std::string>{"stream 5 data", "stream 5 failed"}));
  EXPECT_EQ(rig.actor->conn(5), nullptr);
  // A report for an id without an entry still reaches the engine.
  rig.actor->report(tagged(6, 1, conn::report::Closed{}));
  EXPECT_EQ(rig.engine().calls.back(), "stream 6 closed");
}

TEST(Reports, AFramesHoldAndBudgetShareAreKeptUntilItsFlushIsDone) {
  auto flow = std::make_shared<conn::Flow>();
  auto budget = conn::Budget::for_frames(100, 104);
  auto reserved = [&] { return budget->total() - budget->holdings().free; };
  FakeEngine e;
  bool held_in_engine = false, held_at_answer = false;
  size_t reserved_in_engine = 0, reserved_at_answer = 0;
  e.on_stream = [&](FakeEngine& en, core::StreamId, const core::StreamEvent&) {
    {
      std::lock_guard<std::mutex> g(flow->m);
      held_in_engine = flow->held;
    }
    reserved_in_engine = reserved();
    en.events.push_back(core::event::MemberJoined{member("b", 2)});
  };
  Rig rig(std::move(e));
  rig.actor->set_flush_observer([&](std::string_view step) {
    if (step != "answer") return;
    {
      std::lock_guard<std::mutex> g(flow->m);
      held_at_answer = flow->held;
    }
    reserved_at_answer = reserved();
  });
  conn::Held share = conn::Budget::open(budget, 3, IpAddr::of(member("b", 2).addr));
  ASSERT_TRUE(std::holds_alternative<conn::take::Reserved>(share.take(6)));
  rig.actor->report(tagged(INBOUND_BIT | 3, 1, conn::report::Frame{{1, 2}, conn::FrameHold(flow), share.cut(2)}));
  EXPECT_TRUE(held_in_engine);
  EXPECT_TRUE(held_at_answer);
  EXPECT_EQ(reserved_in_engine, 2u);
  EXPECT_EQ(reserved_at_answer, 2u);
  EXPECT_EQ(reserved(), 0u);
  EXPECT_EQ(budget->holdings().framed, 0u);
  std::lock_guard<std::mutex> g(flow->m);
  EXPECT_FALSE(flow->held);
}

TEST(Reports, RefusedStreamsAreCountedByTheirDecodeError) {
  Rig rig;
  auto dropped = [&](proto::DecodeCode c) {
    rig.actor->report(tagged(INBOUND_BIT | 1, 1, conn::report::Dropped{proto::decode_error(c)}));
  };
  dropped(proto::DecodeCode::AuthFailed);
  EXPECT_EQ(rig.engine().counters_.decrypt_failures, 1u);
  EXPECT_EQ(rig.engine().counters_.decode_errors, 0u);
  dropped(proto::DecodeCode::UnknownKey);
  dropped(proto::DecodeCode::BadMagic);
  dropped(proto::DecodeCode::FrameTooLarge);
  EXPECT_EQ(rig.engine().counters_.decrypt_failures, 2u);
  EXPECT_EQ(rig.engine().counters_.decode_errors, 2u);
  EXPECT_TRUE(rig.engine().calls.empty());  // the engine never hears of refused streams
  // The counters reach the readers at the end of the turn.
  rig.actor->end_turn();
  std::lock_guard<std::mutex> g(rig.shared->stats_m);
  EXPECT_EQ(rig.shared->stats.counters.decode_errors, 2u);
  EXPECT_EQ(rig.shared->stats.counters.decrypt_failures, 2u);
}

TEST(Reports, FinishedRemovesAnInboundStreamFromTheAcceptedQueue) {
  Admission a;
  for (uint8_t ip = 1; ip <= 3; ++ip) a.admit(ip);
  const core::StreamId second = INBOUND_BIT | 1;
  uint64_t task = a.rig.actor->conn(second)->task;
  // An outbound Finished leaves the queue alone.
  a.rig.actor->report(tagged(1, 99, conn::report::Finished{}));
  EXPECT_EQ(a.queue(), (std::vector<uint64_t>{0, 1, 2}));
  a.rig.actor->report(tagged(second, task, conn::report::Finished{}));
  EXPECT_EQ(a.queue(), (std::vector<uint64_t>{0, 2}));
  EXPECT_EQ(a.rig.actor->conn(second), nullptr);
}

TEST(Rejoin, JoinsOnlySeedsThatAreNotLiveMembers) {
  Capture& cap = capture();
  FakeEngine e;
  std::vector<core::command::Join> joins;
  e.on_command = [&](FakeEngine& en, core::CommandId id, const core::Command& c) {
    joins.push_back(std::get<core::command::Join>(c));
    en.events.push_back(completed(id, core::outcome::Count{1}));
  };
  Rig rig(std::move(e));
  auto self = rig.engine().self.addr;
  auto dead = member("d", 4, core::MemberState::Dead);
  rig.engine().put(dead);
  // Alone: only this node is live.
  size_t m = cap.mark();
  rig.actor->rejoin_resolved({self, dead.addr, member("x", 5).addr, dead.addr});
  ASSERT_EQ(joins.size(), 1u);
  EXPECT_EQ(joins[0].seeds, (std::vector<SocketAddr>{dead.addr, member("x", 5).addr, dead.addr}));
  EXPECT_EQ(cap.count(m, "rejoining seeds that are not live members seeds=3 alone=true", log::Level::Debug), 1u);
  EXPECT_EQ(cap.count(m, "rejoined the cluster through the seeds", log::Level::Info), 1u);
  EXPECT_FALSE(rig.actor->rejoining());
  // With another live member the success is only a DEBUG record.
  rig.engine().put(member("b", 2));
  m = cap.mark();
  rig.actor->rejoin_resolved({member("x", 5).addr});
  EXPECT_EQ(cap.count(m, "rejoining seeds that are not live members seeds=1 alone=false"), 1u);
  EXPECT_EQ(cap.count(m, "push-pulled with seeds that were not live members", log::Level::Debug), 1u);
  // Addresses of live members only, or none: nothing happens.
  m = cap.mark();
  rig.actor->rejoin_resolved({self, member("b", 2).addr});
  rig.actor->rejoin_resolved({});
  EXPECT_EQ(joins.size(), 2u);
  EXPECT_TRUE(cap.since(m).empty());
  // A node that has left does not rejoin.
  rig.engine().self.state = core::MemberState::Left;
  rig.actor->rejoin_resolved({member("x", 5).addr});
  EXPECT_EQ(joins.size(), 2u);
}

TEST(Rejoin, AFailedRejoinClearsTheFlagAndIsLogged) {
  Capture& cap = capture();
  FakeEngine e;
  core::CommandId pending_id = 0;
  e.on_command = [&](FakeEngine&, core::CommandId id, const core::Command&) { pending_id = id; };
  Rig rig(std::move(e));
  rig.actor->rejoin_resolved({member("x", 5).addr});
  EXPECT_TRUE(rig.actor->rejoining());
  size_t m = cap.mark();
  rig.engine().events.push_back(completed(pending_id, CommandError::JoinFailed));
  rig.actor->flush(false);
  EXPECT_FALSE(rig.actor->rejoining());
  EXPECT_EQ(cap.count(m, "rejoin failed; trying again later error=no seed answered", log::Level::Debug), 1u);
}

TEST(Rejoin, ALeaveGivesUpTheRejoinsLookups) {
  // The rejoin's one name stays in the resolver until the test ends.
  HeldLookup held({{member("x", 5).addr}, std::string()});
  const size_t tasks = settled_tasks();
  FakeEngine e;
  e.on_command = [](FakeEngine& en, core::CommandId id, const core::Command&) {
    en.self.state = core::MemberState::Left;
    en.events.push_back(completed(id, core::outcome::Done{}));
  };
  actor::Options o;
  o.seeds = {seed::Seed::host("gated", 7946)};
  Rig rig(std::move(e), std::move(o), 64, 0);  // a rejoin is due at once
  rig.actor->end_turn();
  ASSERT_TRUE(held.begun());
  EXPECT_TRUE(rig.actor->rejoining());
  auto [tx, rx] = oneshot<Result<actor::Done, Error>>();
  rig.actor->request(actor::request::Leave{std::move(tx)});
  EXPECT_FALSE(rig.actor->rejoining());
  // The rejoin's tasks end with the name still in the resolver.
  EXPECT_TRUE(eventually([&] { return Runtime::live_tasks() == tasks; }));
}

TEST(Timers, EngineTimeStartsAtZeroAndSaturatesBothWays) {
  actor::Clock c;
  c.start = Instant{} + std::chrono::hours(1);
  // Before the start instant the engine sees 0, never a value that wrapped around.
  EXPECT_EQ(c.at(c.start - std::chrono::seconds(1)), 0u);
  EXPECT_EQ(c.at(c.start), 0u);
  EXPECT_EQ(c.at(c.start + std::chrono::milliseconds(1500)), 1'500'000'000u);
  // Deadlines beyond what the clock can hold are its last instant.
  EXPECT_EQ(c.instant(5), c.start + std::chrono::nanoseconds(5));
  EXPECT_EQ(c.instant(UINT64_MAX), Instant::max());
  EXPECT_EQ(c.at(c.instant(UINT64_MAX)), static_cast<uint64_t>((Instant::max() - c.start).count()));
}

TEST(Timers, RunWhenDueAndFlushWithTimersRan) {
  FakeEngine e;
  e.put(member("b", 2));
  e.deadline = 0;
  e.on_timeout = [](FakeEngine& en) {
    // The entry disappears without an event: only the count tells.
    en.table.clear();
    en.deadline.reset();
  };
  Rig rig(std::move(e));
  rig.actor->end_turn();
  EXPECT_EQ(rig.engine().calls, (std::vector<std::string>{"timeout"}));
  EXPECT_EQ(rig.snapshot()->members.size(), 1u);
  rig.actor->end_turn();
  EXPECT_EQ(rig.engine().calls.size(), 1u);  // nothing due any more
}

TEST(Teardown, ClosesTheHubAndAnswersWaitingCallersWithClosed) {
  FakeEngine e;  // never completes anything
  Rig rig(std::move(e));
  events::Events sub = rig.shared->hub.subscribe();
  Call c = send_request(rig);
  EXPECT_FALSE(answered(c.rx).has_value());
  // A request still queued in the channel when the actor goes.
  auto [tx, rx] = oneshot<Result<actor::Done, Error>>();
  ASSERT_EQ(rig.requests.try_send(actor::request::Leave{std::move(tx)}), TrySend::Sent);
  rig.actor->teardown(false);
  EXPECT_EQ(sub.next().kind, events::Received::Kind::Closed);
  EXPECT_FALSE(sub.failed());
  std::optional<Result<actor::Done, Error>> v;
  EXPECT_EQ(c.rx.poll(v), Polled::Closed);  // the caller sees the node closed
  EXPECT_EQ(rx.poll(v), Polled::Closed);
  EXPECT_TRUE(rig.requests.is_closed());
}


TEST(Admission, TheOldestStreamOfAnAddressAtItsLimitGoesAndTheEngineHearsOfIt) {
  Capture& cap = capture();
  Admission a;
  auto& actor = *a.rig.actor;
  EXPECT_EQ(a.admit(1), 0u);
  EXPECT_EQ(a.admit(1), 1u);
  size_t m = cap.mark();
  EXPECT_EQ(a.admit(1), 2u);  // a third from 127.0.0.1: stream 0 goes
  EXPECT_EQ(a.queue(), (std::vector<uint64_t>{1, 2}));
  EXPECT_EQ(actor.conn(INBOUND_BIT | 0), nullptr);
  EXPECT_EQ(actor.conn_count(), 2u);
  EXPECT_EQ(a.rig.engine().calls, (std::vector<std::string>{"stream 0 failed"}));
  ASSERT_EQ(cap.count(m, "too many inbound connections; dropped one from=127.0.0.1:", log::Level::Debug), 1u);
  // The evicted task's late reports reach neither the engine nor the books...
  actor.report(conn::Tagged{INBOUND_BIT | 0, 1, conn::report::Frame{{1}, {}, {}}});
  actor.report(conn::Tagged{INBOUND_BIT | 0, 1, conn::report::Closed{}});
  EXPECT_EQ(a.rig.engine().calls.size(), 1u);
  EXPECT_EQ(actor.gone_count(), 1u);
  // ...until its Finished, which the aborted task still sends, closes the book on it. Its
  // budget share is gone by then, and its socket.
  ASSERT_TRUE(eventually([&] {
    actor.take_reports();
    return actor.gone_count() == 0;
  }));
  EXPECT_EQ(actor.budget()->holdings().shares.size(), 2u);
  uint8_t b;
  EXPECT_EQ(::recv(a.peers[0], &b, 1, 0), 0);  // the evicted peer sees the end
  EXPECT_EQ(a.rig.engine().calls.size(), 1u);
}

TEST(Admission, AtTheTotalTheBusiestAddressGivesWayButNeverTwiceToTheEngine) {
  Capture& cap = capture();
  Admission a;
  auto& actor = *a.rig.actor;
  a.admit(1);
  a.admit(2);
  a.admit(2);
  size_t m = cap.mark();
  EXPECT_EQ(a.admit(3), 3u);  // total 3 reached: 127.0.0.2 holds the most, its oldest goes
  EXPECT_EQ(a.queue(), (std::vector<uint64_t>{0, 2, 3}));
  EXPECT_EQ(cap.count(m, "too many inbound connections; dropped one from=127.0.0.3:"), 1u);
  EXPECT_EQ(a.rig.engine().calls, (std::vector<std::string>{"stream 1 failed"}));
  // A stream whose end the engine already heard of is dropped without a second word.
  uint64_t task = actor.conn(INBOUND_BIT | 2)->task;
  actor.report(conn::Tagged{INBOUND_BIT | 2, task, conn::report::Closed{}});
  a.admit(4);  // 1, 2 and 3 hold one each: the first met, 127.0.0.1's stream 0, goes
  EXPECT_EQ(a.queue(), (std::vector<uint64_t>{2, 3, 4}));
  a.admit(5);  // now 127.0.0.2's stream 2
  EXPECT_EQ(a.queue(), (std::vector<uint64_t>{3, 4, 5}));
  EXPECT_EQ(a.rig.engine().calls,
            (std::vector<std::string>{"stream 1 failed", "stream 2 closed", "stream 0 failed"}));
  ASSERT_TRUE(eventually([&] {
    actor.take_reports();
    return actor.gone_count() == 0;
  }));
  EXPECT_EQ(actor.budget()->holdings().shares.size(), 3u);
  EXPECT_EQ(actor.conn_count(), 3u);
  // The teardown lets go of every share.
  actor.teardown(false);
  EXPECT_TRUE(eventually([&] { return actor.budget()->holdings().shares.empty(); }));
  EXPECT_EQ(actor.budget()->holdings().free, actor.budget()->total());
}
