// Feeds arbitrary datagrams, stream frames, stream ends, timer runs and a few well-formed
// sealed packets to one engine. Checks that it never crashes, that its table and queues stay
// within their bounds, and that it still probes afterwards.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "core/impl.hpp"
#include "core/lib.hpp"
#include "proto/message.hpp"
#include "proto/packet.hpp"

using namespace vennock;

namespace {

constexpr uint64_t kEpoch = 1'700'000'000'000ULL;
constexpr uint64_t MS = 1'000'000;

// libFuzzer's reader of the input, with the shapes the script needs.
struct Input : FuzzedDataProvider {
  using FuzzedDataProvider::FuzzedDataProvider;
  uint8_t byte() { return ConsumeIntegral<uint8_t>(); }
  uint32_t u32() { return ConsumeIntegral<uint32_t>(); }
  proto::Bytes bytes(size_t max) { return ConsumeBytes<uint8_t>(ConsumeIntegralInRange<size_t>(0, max)); }
  // Mostly a name the node knows or is; now and then any bytes, up to too long for a name.
  std::string name() {
    static const char* names[] = {"a", "b", "c", "self", "d", "zz", ""};
    uint8_t k = byte();
    if (k < 7 * 30) return names[k % 7];
    auto b = bytes(70);
    return std::string(b.begin(), b.end());
  }
};

proto::SocketAddr addr(uint8_t last) { return proto::SocketAddr::v4({10, 0, 0, last}, 7946); }

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

// One engine under test, with a peer that seals packets to it and the clock the script moves.
struct Harness {
  core::Config cfg;
  core::Node node;
  proto::Codec peer;
  uint64_t now = 1;

  Harness(core::Config c, core::Node n, const std::array<uint8_t, 32>& peer_key)
      : cfg(std::move(c)), node(std::move(n)), peer(cfg.cluster, cfg.keys, peer_key) {}

  uint64_t wall() const { return kEpoch + now / MS; }

  void drain() {
    size_t t = 0, e = 0;
    while (node.poll_transmit()) ++t;
    while (node.poll_event()) ++e;
    // One input never makes more than a bounded amount of output.
    check(t < 100'000 && e < 100'000, "output per input");
  }

  void deliver(const std::vector<proto::Message>& msgs, uint8_t from) {
    proto::Bytes payload;
    for (const auto& m : msgs) proto::encode(m, payload);
    proto::Bytes p = peer.seal(payload, wall(), proto::Recipient{"self", std::nullopt});
    node.handle_datagram(now, addr(from), p);
  }
};

// The engine, plaintext or encrypted as the input's first byte says, with three well-behaved
// members that answer every probe.
Harness start(Input& in) {
  bool enc = in.byte() & 1;
  core::Config cfg;
  cfg.max_members = 64;
  cfg.max_new_members_per_packet = 8;
  cfg.user_broadcast_queue = 8;
  cfg.max_stream_frame = 1 << 20;
  std::array<uint8_t, 32> key{};
  key.fill(4);
  if (enc) cfg.keys = std::vector<proto::Key>{proto::Key::from_array(key)};
  std::array<uint8_t, 32> nk{};
  auto made = core::Node::create(cfg, core::Identity{"self", {}, addr(1), kEpoch}, 0, 7, nk);
  check(made.ok(), "default config");
  nk[0] = 1;
  Harness h(std::move(cfg), std::move(made.value()), nk);
  for (uint8_t i = 2; i < 5; ++i)
    h.deliver({proto::Alive{std::string(1, static_cast<char>('a' + i - 2)), addr(i), kEpoch, 1, {}}}, i);
  h.drain();
  return h;
}

// One of eight streams, then which way it goes: two bytes, in that order.
uint64_t stream_id(Input& in) {
  uint64_t id = in.byte() & 7;
  if (in.byte() & 1) id |= core::INBOUND_BIT;
  return id;
}

// An arbitrary frame on an inbound or outbound stream.
void stream_frame(Harness& h, Input& in) {
  uint64_t id = stream_id(in);
  proto::Bytes b = in.bytes(4000);
  h.node.handle_stream(h.now, id, core::StreamEvent{core::stream_event::Data{b}});
}

void stream_end(Harness& h, Input& in) {
  uint64_t id = stream_id(in);
  if (in.byte() & 1)
    h.node.handle_stream(h.now, id, core::StreamEvent{core::stream_event::Closed{}});
  else
    h.node.handle_stream(h.now, id, core::StreamEvent{core::stream_event::Failed{}});
}

void time_passes(Harness& h, Input& in) {
  h.now += (in.byte() + 1) * 20 * MS;
  h.node.handle_timeout(h.now);
  // Having run its timeouts, the engine never asks to run again at once (a spin).
  check(h.node.next_deadline().value_or(UINT64_MAX) > h.now, "deadline after timeouts");
}

proto::Message fuzzed_message(Input& in) {
  uint8_t kind = in.byte() % 8;
  std::string nm = in.name();
  if (nm.empty() || nm.size() > 64) nm = "x";
  uint32_t inc = in.u32();
  uint64_t ep = kEpoch + (in.byte() % 3);
  switch (kind) {
    case 0: return proto::Alive{nm, addr(in.byte()), ep, inc, {}};
    case 1: return proto::Suspect{nm, ep, inc, "b"};
    case 2: return proto::Dead{nm, ep, inc, in.byte() & 1 ? nm : std::string("c")};
    case 3: return proto::Ping{inc, nm, "a"};
    case 4: return proto::IndirectPing{inc, nm, addr(in.byte()), "a", true};
    case 5: return proto::Ack{inc};
    case 6: return proto::UserBroadcast{nm, ep, inc, in.bytes(300)};
    default: return proto::UserMessage{"a", ep, nm, 0, in.bytes(300)};
  }
}

// A well-formed packet of one to four messages with fuzzed fields.
void packet(Harness& h, Input& in) {
  std::vector<proto::Message> msgs;
  int k = 1 + in.byte() % 4;
  for (int j = 0; j < k; ++j) msgs.push_back(fuzzed_message(in));
  h.deliver(msgs, in.byte());
}

void state_on_stream(Harness& h, Input& in) {
  proto::State st;
  int k = in.byte() % 20;
  for (int j = 0; j < k; ++j) {
    std::string nm = in.name();
    if (nm.empty() || nm.size() > 64) nm = "y";
    st.members.push_back(proto::MemberRecord{nm, addr(in.byte()), kEpoch + in.byte() % 2, in.u32(),
                                             static_cast<proto::MemberState>(in.byte() % 4), {}});
  }
  proto::Bytes payload;
  proto::encode(st, payload);
  proto::Bytes p = h.peer.seal(payload, h.wall(), proto::Recipient{"self", std::nullopt});
  uint64_t id = stream_id(in);
  h.node.handle_stream(h.now, id, core::StreamEvent{core::stream_event::Data{p}});
}

// Leave is rare, so most runs keep probing to the end.
void command(Harness& h, Input& in) {
  std::array<uint8_t, 32> k{};
  k.fill(static_cast<uint8_t>(3 + in.byte() % 3));  // 4 is the configured key
  const uint8_t c = in.byte() % 32;
  core::Node& node = h.node;
  const uint64_t now = h.now;
  if (c < 6) node.command(now, core::command::Send{in.name(), 0, in.bytes(3000)});
  else if (c < 11) node.command(now, core::command::Broadcast{in.bytes(300)});
  else if (c < 16) node.command(now, core::command::Join{{addr(in.byte()), addr(in.byte())}});
  else if (c < 21) node.command(now, core::command::UpdateMeta{in.bytes(40)});
  else if (c < 24) node.command(now, core::command::InstallKey{proto::Key::from_array(k)});
  else if (c < 27) node.command(now, core::command::UseKey{proto::Key::from_array(k)});
  else if (c < 30) node.command(now, core::command::RemoveKey{proto::Key::from_array(k)});
  else node.command(now, core::command::Leave{});
}

// One step of the script: the input's next byte picks what happens.
void step(Harness& h, Input& in) {
  switch (in.byte() % 8) {
    case 0: {  // arbitrary datagram
      proto::Bytes b = in.bytes(2000);
      h.node.handle_datagram(h.now, addr(in.byte()), b);
      break;
    }
    case 1: stream_frame(h, in); break;
    case 2: stream_end(h, in); break;
    case 3: time_passes(h, in); break;
    case 4: packet(h, in); break;
    case 5: state_on_stream(h, in); break;
    case 6: command(h, in); break;
    default: {  // a replayed or re-sent copy of the last sealed-looking input
      proto::Bytes b = in.bytes(200);
      proto::Bytes c = b;
      h.node.handle_datagram(h.now, addr(2), b);
      h.node.handle_datagram(h.now, addr(2), c);
      break;
    }
  }
}

// The engine still probes: within the longest stretched probe interval, a member that is
// still live at the end has been probed.
void check_keeps_probing(Harness& h) {
  core::Node& node = h.node;
  uint64_t before = node.counters().probes_sent;
  for (int k = 0; k < 250; ++k) {
    h.now += 50 * MS;
    node.handle_timeout(h.now);
    h.drain();
    auto dl = node.next_deadline();
    check(dl.has_value() && *dl > h.now, "a later deadline is always scheduled");
  }
  bool live = node.members().size() > 1;
  if (live && node.local().state != proto::MemberState::Left && node.counters().probes_sent == before) {
    std::fprintf(stderr, "health %u members %zu table %zu now %llu deadline %llu\n", node.local_health(),
                 node.members().size(), node.table_size(), (unsigned long long)h.now,
                 (unsigned long long)node.next_deadline().value_or(0));
    check(false, "keeps probing");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  Harness h = start(in);
  int ops = 0;
  while (in.remaining_bytes() > 0 && ops++ < 2000) {
    step(h, in);
    h.drain();
    check(h.node.table_size() <= h.cfg.max_members, "table bound");
    check(h.node.local_health() <= h.cfg.awareness_max, "health bound");
  }
  check_keeps_probing(h);
  return 0;
}
