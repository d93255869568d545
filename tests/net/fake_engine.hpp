// A scriptable engine and transport with the interfaces the actor uses, for testing the
// actor's flush, completion and stream bookkeeping without the real engine.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "helpers.hpp"
#include "net/actor.hpp"

namespace vennock::net::testing {

struct FakeEngine {
  // What the next calls leave in the output queues.
  std::deque<core::Transmit> transmits;
  std::deque<core::Event> events;
  // Reactions to calls: may queue outputs or change the table.
  std::function<void(FakeEngine&, core::CommandId, const core::Command&)> on_command;
  std::function<void(FakeEngine&, core::StreamId, const core::StreamEvent&)> on_stream;
  std::function<void(FakeEngine&)> on_timeout;

  core::Member self;
  std::map<std::string, core::Member> table;
  uint64_t ver = 1;
  core::Counters counters_;
  uint32_t health = 0;
  std::optional<uint64_t> deadline;
  core::CommandId next_id = 1;
  std::vector<proto::KeyId> keys;
  std::vector<std::string> calls;  // what was called, in order
  std::deque<core::ClockSkew> skews;
  std::vector<uint64_t> walls;  // the wall clock readings handed in

  FakeEngine() {
    self.name = "self";
    self.addr.ip = {127, 0, 0, 1};
    self.addr.port = 1;
  }

  void handle_datagram(uint64_t, const SocketAddr& from, std::span<uint8_t> p) {
    calls.push_back("datagram " + addr_text(from) + " " + std::string(p.begin(), p.end()));
  }
  void handle_stream(uint64_t, core::StreamId id, const core::StreamEvent& ev) {
    const char* kind = std::holds_alternative<core::stream_event::Data>(ev)     ? "data"
                       : std::holds_alternative<core::stream_event::Closed>(ev) ? "closed"
                                                                                 : "failed";
    calls.push_back(std::string("stream ") + std::to_string(id & ~core::INBOUND_BIT) + " " + kind);
    if (on_stream) on_stream(*this, id, ev);
  }
  void handle_timeout(uint64_t) {
    calls.push_back("timeout");
    if (on_timeout) on_timeout(*this);
  }
  core::CommandId command(uint64_t, core::Command c) {
    core::CommandId id = next_id++;
    calls.push_back("command " + std::to_string(c.index()));
    if (on_command) on_command(*this, id, c);
    return id;
  }
  void set_wall_clock(uint64_t, uint64_t wall_ms) { walls.push_back(wall_ms); }
  std::optional<core::ClockSkew> poll_clock_skew() {
    if (skews.empty()) return std::nullopt;
    auto c = skews.front();
    skews.pop_front();
    return c;
  }
  std::optional<core::Transmit> poll_transmit() {
    if (transmits.empty()) return std::nullopt;
    auto t = std::move(transmits.front());
    transmits.pop_front();
    return t;
  }
  std::optional<core::Event> poll_event() {
    if (events.empty()) return std::nullopt;
    auto e = std::move(events.front());
    events.pop_front();
    return e;
  }
  std::optional<uint64_t> next_deadline() const { return deadline; }
  const core::Member& local() const { return self; }
  void for_each_member(const std::function<void(const core::Member&)>& f) const {
    for (const auto& [n, m] : table) f(m);
  }
  size_t table_size() const { return table.size(); }
  std::vector<core::Member> members() const {
    std::vector<core::Member> out;
    auto live = [](const core::Member& m) {
      return m.state == core::MemberState::Alive || m.state == core::MemberState::Suspect;
    };
    if (live(self)) out.push_back(self);
    for (const auto& [n, m] : table)
      if (live(m)) out.push_back(m);
    return out;
  }
  uint64_t version() const { return ver; }
  std::vector<proto::KeyId> key_ids() const { return keys; }
  proto::HeaderCheck header_check() const {
    proto::HeaderCheck h;
    h.key_ids = keys;
    h.encrypted = !keys.empty();
    return h;
  }
  const core::Counters& counters() const { return counters_; }
  uint32_t local_health() const { return health; }
  void add_decode_errors(uint64_t n) { counters_.decode_errors += n; }
  void add_decrypt_failures(uint64_t n) { counters_.decrypt_failures += n; }

  // Helpers for scripts.
  void put(const core::Member& m) {
    table[m.name] = m;
    ++ver;
  }
};

// Records datagrams instead of sending them; connects never complete (an outbound stream
// task waits until it is aborted).
struct FakeTransport {
  SocketAddr bound;
  std::vector<std::pair<SocketAddr, proto::Bytes>> sent;
  bool fail_sends = false;
  std::function<void()> on_send;

  Result<size_t, IoError> send_datagram(const SocketAddr& to, proto::ByteView b) {
    if (on_send) on_send();
    if (fail_sends) return err(IoError::os(EAGAIN));
    sent.emplace_back(to, proto::Bytes(b.begin(), b.end()));
    return b.size();
  }
  const SocketAddr& local_addr() const { return bound; }
  // Sockets that never have anything (the loop's inputs are not driven in these tests).
  struct Quiet {
    bool poll_readable() { return false; }
    bool poll_acceptable() { return false; }
    void clear_readable() {}
    void clear_acceptable() {}
    Result<std::pair<size_t, SocketAddr>, IoError> try_recv_from(std::span<uint8_t>) { return err(IoError::os(EAGAIN)); }
    Result<std::pair<transport::TcpStream, SocketAddr>, IoError> try_accept() { return err(IoError::os(EAGAIN)); }
  } quiet;
  Quiet& udp() { return quiet; }
  Quiet& listener() { return quiet; }
  static Task<Result<transport::TcpStream, IoError>> connect(SocketAddr, Instant) {
    for (;;) co_await park();
  }
};

using TestActor = actor::Actor<FakeEngine, FakeTransport>;

// An actor over a fake engine, driven by direct calls (its loop is not running).
struct Rig {
  std::shared_ptr<actor::Shared> shared;
  std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
  std::shared_ptr<conn::HeaderCell> header;
  Sender<actor::Request> requests;
  std::unique_ptr<TestActor> actor;

  explicit Rig(FakeEngine e = FakeEngine(), actor::Options o = actor::Options(), size_t event_buffer = 64,
               std::optional<uint64_t> next_rejoin = std::nullopt) {
    shared = std::make_shared<actor::Shared>(actor::Snapshot::of(e), e.key_ids(), event_buffer);
    header = std::make_shared<conn::HeaderCell>(e.header_check());
    auto [tx, rx] = channel<actor::Request>(256);
    requests = std::move(tx);
    TestActor::Parts p{&runtime(), std::move(e), next_rejoin, std::move(o), actor::Clock{}, transport, shared,
                       std::move(rx), header, nullptr};
    actor = std::make_unique<TestActor>(std::move(p));
  }
  FakeEngine& engine() { return actor->engine(); }
  std::shared_ptr<const actor::Snapshot> snapshot() { return shared->snapshot.load(); }
};

inline core::Member member(const std::string& name, uint8_t ip, core::MemberState st = core::MemberState::Alive) {
  core::Member m;
  m.name = name;
  m.addr.ip = {127, 0, 0, ip};
  m.addr.port = 7946;
  m.state = st;
  return m;
}

}  // namespace vennock::net::testing
