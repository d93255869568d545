// One engine driven by hand: packets are built and sealed by a peer codec, and everything
// the engine sends is captured and decoded.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "core/helpers.hpp"
#include "proto/message.hpp"
#include "proto/packet.hpp"
#include "proto/stream.hpp"
#include "core/impl.hpp"

namespace vennock::test {

inline constexpr uint64_t kEpoch = 1'700'000'000'000ULL;

inline SocketAddr ip4(uint8_t last, uint16_t port = 7946) { return SocketAddr::v4({10, 9, 0, last}, port); }

// Every member name a message mentions.
inline void names_in(const proto::Message& m, std::set<std::string>& out) {
  std::visit(
      [&](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, proto::Ping>) out.insert({x.target, x.source});
        else if constexpr (std::is_same_v<T, proto::IndirectPing>) out.insert({x.target, x.requester});
        else if constexpr (std::is_same_v<T, proto::Alive>) out.insert(x.name);
        else if constexpr (std::is_same_v<T, proto::Suspect> || std::is_same_v<T, proto::Dead>)
          out.insert({x.name, x.from});
        else if constexpr (std::is_same_v<T, proto::State>)
          for (const auto& r : x.members) out.insert(r.name);
        else if constexpr (std::is_same_v<T, proto::UserMessage>) out.insert({x.from, x.to});
        else if constexpr (std::is_same_v<T, proto::UserBroadcast>) out.insert(x.origin);
      },
      m);
}

struct Harness {
  core::Config cfg;
  std::string self_name;
  // Names the peer has spoken as (or of): an encrypted packet the node sends is for one of
  // them, and the peer opens it as that member.
  std::set<std::string> names;
  std::unique_ptr<Node> node;
  std::unique_ptr<proto::Codec> peer;
  uint64_t now = 1'000;
  std::vector<core::Transmit> out;
  std::vector<Event> events;

  explicit Harness(core::Config c = lan(), std::string name = "self") : cfg(std::move(c)), self_name(name) {
    std::array<uint8_t, 32> nk{};
    auto made = Node::create(cfg, core::Identity{std::move(name), {}, ip4(1), kEpoch}, now, 42, nk);
    EXPECT_TRUE(made.ok());
    node = std::make_unique<Node>(std::move(made.value()));
    nk[0] = 9;
    peer = std::make_unique<proto::Codec>(cfg.cluster, cfg.keys, nk);
  }

  uint64_t wall() const { return kEpoch + (now - 1'000) / 1'000'000; }

  void pump() {
    while (auto t = node->poll_transmit()) out.push_back(std::move(*t));
    while (auto e = node->poll_event()) events.push_back(std::move(*e));
  }

  // Sealed for the node, as a member would.
  proto::Bytes seal(const std::vector<proto::Message>& msgs, std::optional<uint64_t> stamp = std::nullopt) {
    proto::Bytes payload;
    for (const auto& m : msgs) {
      proto::encode(m, payload);
      names_in(m, names);
    }
    return peer->seal(payload, stamp ? *stamp : wall(), proto::Recipient{self_name, std::nullopt});
  }

  void deliver(const SocketAddr& from, const std::vector<proto::Message>& msgs) {
    proto::Bytes p = seal(msgs);
    node->handle_datagram(now, from, p);
    pump();
  }
  void deliver_raw(const SocketAddr& from, proto::Bytes p) {
    node->handle_datagram(now, from, p);
    pump();
  }
  void frame(core::StreamId id, const std::vector<proto::Message>& msgs) {
    proto::Bytes p = seal(msgs);
    node->handle_stream(now, id, core::StreamEvent{core::stream_event::Data{p}});
    pump();
  }
  void stream_end(core::StreamId id, bool failed) {
    if (failed)
      node->handle_stream(now, id, core::StreamEvent{core::stream_event::Failed{}});
    else
      node->handle_stream(now, id, core::StreamEvent{core::stream_event::Closed{}});
    pump();
  }

  CommandId cmd(Command c) {
    CommandId id = node->command(now, std::move(c));
    pump();
    return id;
  }
  std::optional<core::Outcome> outcome(CommandId id) const {
    for (const auto& e : events)
      if (auto* c = std::get_if<core::event::Completed>(&e); c && c->id == id) return c->result;
    return std::nullopt;
  }

  // When set, every member answers every direct Ping at once.
  bool auto_ack = false;

  // Runs the engine's timers up to now + d.
  void advance(uint64_t d) {
    uint64_t end = now + d;
    while (true) {
      auto dl = node->next_deadline();
      if (!dl || *dl > end) break;
      now = std::max(now, *dl);
      size_t seen = out.size();
      node->handle_timeout(now);
      pump();
      if (auto_ack) answer_pings(seen);
    }
    now = end;
  }

  void answer_pings(size_t from) {
    size_t last = out.size();
    for (size_t i = from; i < last; ++i) {
      auto* d = std::get_if<core::transmit::Datagram>(&out[i]);
      if (!d) continue;
      SocketAddr to = d->to;
      for (auto& m : decode(out[i]))
        if (auto* p = std::get_if<proto::Ping>(&m)) {
          proto::Bytes a = seal({proto::Ack{p->seq}});
          node->handle_datagram(now, to, a);
        }
    }
    pump();
  }

  // Decodes a captured datagram or frame (the peer holds the same keys).
  std::vector<proto::Message> decode(const core::Transmit& t) {
    proto::Bytes p;
    if (auto* d = std::get_if<core::transmit::Datagram>(&t)) p = d->packet;
    else if (auto* f = std::get_if<core::transmit::Frame>(&t)) p.assign(f->frame.begin() + 4, f->frame.end());
    else return {};
    // Opened as each member it may be for (the peer plays them all), or as the address a
    // join was sent to.
    std::vector<std::string> as(names.begin(), names.end());
    node->for_each_member([&](const core::Member& m) { as.push_back(m.name); });
    if (as.empty()) as.emplace_back();
    std::vector<SocketAddr> dialed;
    for (const auto& o : out)
      if (auto* op = std::get_if<core::transmit::Open>(&o)) dialed.push_back(op->to.on_wire());
    for (const auto& name : as) {
      proto::Bytes copy = p;
      auto o = peer->open(copy, proto::Addressee{name, dialed});
      if (!o) continue;
      auto msgs = proto::decode_payload(o->payload);
      return msgs ? std::move(msgs.value()) : std::vector<proto::Message>{};
    }
    return {};
  }

  // Every message of the given kind in the captured datagrams (to `to`, when given).
  template <class M>
  std::vector<M> sent(std::optional<SocketAddr> to = std::nullopt) {
    std::vector<M> r;
    for (const auto& t : out) {
      auto* d = std::get_if<core::transmit::Datagram>(&t);
      if (!d || (to && d->to != *to)) continue;
      for (auto& m : decode(t))
        if (auto* x = std::get_if<M>(&m)) r.push_back(*x);
    }
    return r;
  }
  template <class T>
  std::vector<T> transmits() const {
    std::vector<T> r;
    for (const auto& t : out)
      if (auto* x = std::get_if<T>(&t)) r.push_back(*x);
    return r;
  }
  template <class E>
  std::vector<E> events_of() const {
    std::vector<E> r;
    for (const auto& e : events)
      if (auto* x = std::get_if<E>(&e)) r.push_back(*x);
    return r;
  }
  void clear() {
    out.clear();
    events.clear();
  }

  // Makes `name` a known alive member at address ip4(last).
  void add_member(const std::string& name, uint8_t last, uint32_t inc = 1, uint64_t epoch = kEpoch + 5) {
    deliver(ip4(last), {proto::Alive{name, ip4(last), epoch, inc, {}}});
  }
};

inline bool is_error(const std::optional<core::Outcome>& o, core::CommandError e) {
  return o && std::holds_alternative<core::CommandError>(*o) && std::get<core::CommandError>(*o) == e;
}
inline bool is_done(const std::optional<core::Outcome>& o) { return o && std::holds_alternative<core::outcome::Done>(*o); }

}  // namespace vennock::test
