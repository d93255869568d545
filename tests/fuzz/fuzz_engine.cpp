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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
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
  core::Node node = std::move(made.value());
  nk[0] = 1;
  proto::Codec peer(cfg.cluster, cfg.keys, nk);
  uint64_t now = 1;
  auto wall = [&] { return kEpoch + now / MS; };
  auto drain = [&] {
    size_t t = 0, e = 0;
    while (node.poll_transmit()) ++t;
    while (node.poll_event()) ++e;
    // One input never makes more than a bounded amount of output.
    check(t < 100'000 && e < 100'000, "output per input");
  };
  auto deliver = [&](const std::vector<proto::Message>& msgs, uint8_t from) {
    proto::Bytes payload;
    for (const auto& m : msgs) proto::encode(m, payload);
    proto::Bytes p = peer.seal(payload, wall(), proto::Recipient{"self", std::nullopt});
    node.handle_datagram(now, addr(from), p);
  };
  // Three well-behaved members that answer every probe.
  for (uint8_t i = 2; i < 5; ++i)
    deliver({proto::Alive{std::string(1, static_cast<char>('a' + i - 2)), addr(i), kEpoch, 1, {}}}, i);
  drain();

  int ops = 0;
  while (in.remaining_bytes() > 0 && ops++ < 2000) {
    uint8_t op = in.byte() % 8;
    switch (op) {
      case 0: {  // arbitrary datagram
        proto::Bytes b = in.bytes(2000);
        node.handle_datagram(now, addr(in.byte()), b);
        break;
      }
      case 1: {  // arbitrary frame on an inbound or outbound stream
        uint64_t id = in.byte() & 7;
        if (in.byte() & 1) id |= core::INBOUND_BIT;
        proto::Bytes b = in.bytes(4000);
        node.handle_stream(now, id, core::StreamEvent{core::stream_event::Data{b}});
        break;
      }
      case 2: {  // a stream ends
        uint64_t id = in.byte() & 7;
        if (in.byte() & 1) id |= core::INBOUND_BIT;
        if (in.byte() & 1)
          node.handle_stream(now, id, core::StreamEvent{core::stream_event::Closed{}});
        else
          node.handle_stream(now, id, core::StreamEvent{core::stream_event::Failed{}});
        break;
      }
      case 3: {  // time passes
        now += (in.byte() + 1) * 20 * MS;
        node.handle_timeout(now);
        // Having run its timeouts, the engine never asks to run again at once (a spin).
        check(node.next_deadline().value_or(UINT64_MAX) > now, "deadline after timeouts");
        break;
      }
      case 4: {  // a well-formed packet with fuzzed fields
        std::vector<proto::Message> msgs;
        int k = 1 + in.byte() % 4;
        for (int j = 0; j < k; ++j) {
          uint8_t kind = in.byte() % 8;
          std::string nm = in.name();
          if (nm.empty() || nm.size() > 64) nm = "x";
          uint32_t inc = in.u32();
          uint64_t ep = kEpoch + (in.byte() % 3);
          switch (kind) {
            case 0: msgs.push_back(proto::Alive{nm, addr(in.byte()), ep, inc, {}}); break;
            case 1: msgs.push_back(proto::Suspect{nm, ep, inc, "b"}); break;
            case 2: msgs.push_back(proto::Dead{nm, ep, inc, in.byte() & 1 ? nm : std::string("c")}); break;
            case 3: msgs.push_back(proto::Ping{inc, nm, "a"}); break;
            case 4: msgs.push_back(proto::IndirectPing{inc, nm, addr(in.byte()), "a", true}); break;
            case 5: msgs.push_back(proto::Ack{inc}); break;
            case 6: msgs.push_back(proto::UserBroadcast{nm, ep, inc, in.bytes(300)}); break;
            default: msgs.push_back(proto::UserMessage{"a", ep, nm, 0, in.bytes(300)}); break;
          }
        }
        deliver(msgs, in.byte());
        break;
      }
      case 5: {  // a State on a stream
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
        proto::Bytes p = peer.seal(payload, wall(), proto::Recipient{"self", std::nullopt});
        uint64_t id = (in.byte() & 7) | (in.byte() & 1 ? core::INBOUND_BIT : 0);
        node.handle_stream(now, id, core::StreamEvent{core::stream_event::Data{p}});
        break;
      }
      case 6: {  // a command; leave rarely, so most runs keep probing to the end
        std::array<uint8_t, 32> k{};
        k.fill(static_cast<uint8_t>(3 + in.byte() % 3));  // 4 is the configured key
        const uint8_t c = in.byte() % 32;
        if (c < 6) node.command(now, core::command::Send{in.name(), 0, in.bytes(3000)});
        else if (c < 11) node.command(now, core::command::Broadcast{in.bytes(300)});
        else if (c < 16) node.command(now, core::command::Join{{addr(in.byte()), addr(in.byte())}});
        else if (c < 21) node.command(now, core::command::UpdateMeta{in.bytes(40)});
        else if (c < 24) node.command(now, core::command::InstallKey{proto::Key::from_array(k)});
        else if (c < 27) node.command(now, core::command::UseKey{proto::Key::from_array(k)});
        else if (c < 30) node.command(now, core::command::RemoveKey{proto::Key::from_array(k)});
        else node.command(now, core::command::Leave{});
        break;
      }
      default: {  // a replayed or re-sent copy of the last sealed-looking input
        proto::Bytes b = in.bytes(200);
        proto::Bytes c = b;
        node.handle_datagram(now, addr(2), b);
        node.handle_datagram(now, addr(2), c);
        break;
      }
    }
    drain();
    check(node.table_size() <= cfg.max_members, "table bound");
    check(node.local_health() <= cfg.awareness_max, "health bound");
  }

  // The engine still probes: within the longest stretched probe interval, a member that is
  // still live at the end has been probed.
  uint64_t before = node.counters().probes_sent;
  for (int k = 0; k < 250; ++k) {
    now += 50 * MS;
    node.handle_timeout(now);
    drain();
    auto dl = node.next_deadline();
    check(dl.has_value() && *dl > now, "a later deadline is always scheduled");
  }
  bool live = node.members().size() > 1;
  if (live && node.local().state != proto::MemberState::Left && node.counters().probes_sent == before) {
    std::fprintf(stderr, "health %u members %zu table %zu now %llu deadline %llu\n", node.local_health(),
                 node.members().size(), node.table_size(), (unsigned long long)now,
                 (unsigned long long)node.next_deadline().value_or(0));
    check(false, "keeps probing");
  }
  return 0;
}
