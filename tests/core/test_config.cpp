// Configuration checks: their order and their exact texts.
#include <functional>

#include "core/harness.hpp"

namespace vennock::test {
namespace {

using core::Config;
using core::Duration;

struct Case {
  std::function<void(Config&)> change;
  const char* field;
  const char* reason;
};

TEST(Config, EachCheckHasItsFieldAndReason) {
  const std::vector<Case> cases = {
      {[](Config& c) { c.cluster = std::string(256, 'x'); }, "cluster", "must be at most 255 bytes"},
      {[](Config& c) { c.keys = std::vector<proto::Key>{}; }, "security", "needs at least one key"},
      {[](Config& c) { c.probe_interval = {}; }, "probe_interval", "must be positive"},
      {[](Config& c) { c.probe_timeout = {}; }, "probe_timeout", "must be positive and below probe_interval"},
      {[](Config& c) { c.probe_timeout = c.probe_interval; }, "probe_timeout", "must be positive and below probe_interval"},
      {[](Config& c) { c.gossip_interval = {}; }, "gossip_interval", "must be positive and at most probe_interval"},
      {[](Config& c) { c.gossip_interval = Duration::from_nanos(c.probe_interval.as_nanos() + 1); }, "gossip_interval",
       "must be positive and at most probe_interval"},
      {[](Config& c) { c.suspicion_mult = 0; }, "suspicion_mult", "must be positive"},
      {[](Config& c) { c.suspicion_max_mult = 0; }, "suspicion_max_mult", "must be at least 1"},
      {[](Config& c) { c.expected_confirmations = 0; }, "expected_confirmations", "must be positive"},
      {[](Config& c) { c.retransmit_mult = 0; }, "retransmit_mult", "must be positive"},
      {[](Config& c) { c.tcp_timeout = {}; }, "tcp_timeout", "must be positive"},
      {[](Config& c) { c.join_retries = 0; }, "join_retries", "must be at least 1"},
      {[](Config& c) { c.max_members = 0; }, "max_members", "must be positive"},
      {[](Config& c) { c.max_new_members_per_packet = 0; }, "max_new_members_per_packet", "must be positive"},
      {[](Config& c) { c.user_broadcast_queue = 0; }, "user_broadcast_queue", "must be at least 1"},
      {[](Config& c) { c.udp_max_payload = proto::PACKET_OVERHEAD; }, "limits", "too small to hold the packet overhead"},
      {[](Config& c) { c.max_stream_frame = 10; }, "limits", "too small to hold the packet overhead"},
      {[](Config& c) { c.max_meta_bytes = 1400; }, "max_meta_bytes",
       "must leave an Alive that fits a udp_max_payload datagram beside a Ping"},
      {[](Config& c) { c.udp_max_payload = 700; }, "udp_max_payload",
       "must fit an Alive with max_meta_bytes of metadata beside a Ping"},
      {[](Config& c) { c.max_meta_bytes = UINT64_MAX; }, "max_meta_bytes",
       "must leave an Alive that fits a udp_max_payload datagram beside a Ping"},
      {[](Config& c) { c.max_user_broadcast = 1300; }, "max_user_broadcast",
       "must fit a udp_max_payload datagram beside the largest Ping"},
      {[](Config& c) { c.max_user_message = c.max_stream_frame; }, "max_user_message", "must fit a max_stream_frame frame"},
      {[](Config& c) { c.max_stream_frame = 4096; }, "max_stream_frame", "must fit a max_user_message message"},
  };
  for (const auto& k : cases) {
    Config c;
    k.change(c);
    auto r = c.validate();
    ASSERT_FALSE(r.ok()) << k.field;
    EXPECT_STREQ(r.error().field, k.field);
    EXPECT_STREQ(r.error().reason, k.reason);
  }
  // The limits sit exactly at the edge of what fits.
  Config c;
  c.udp_max_payload = proto::max_ping_size() + proto::max_alive_size(c.max_meta_bytes) + proto::PACKET_OVERHEAD;
  EXPECT_TRUE(c.validate().ok());
  c.udp_max_payload -= 1;
  EXPECT_STREQ(c.validate().error().field, "udp_max_payload");
}

TEST(Config, FirstFailingCheckWins) {
  Config c;
  c.tcp_timeout = {};
  c.suspicion_mult = 0;
  c.max_members = 0;
  EXPECT_STREQ(c.validate().error().field, "suspicion_mult");
  c.cluster = std::string(300, 'c');
  EXPECT_STREQ(c.validate().error().field, "cluster");
  // awareness_max is never checked.
  Config d;
  d.awareness_max = 0;
  EXPECT_TRUE(d.validate().ok());
}

TEST(Config, ExtremeDurationsNeitherSpinNorOverflow) {
  // Zero push-pull and reconnect intervals turn them off; huge durations saturate.
  for (uint64_t secs : {uint64_t{0}, UINT64_MAX}) {
    Config c;
    c.push_pull_interval = Duration{secs, 0};
    c.reconnect_interval = Duration{secs, 0};
    c.dead_reclaim = Duration{secs, 0};
    c.gossip_to_the_dead = Duration{secs, 0};
    if (secs) c.tcp_timeout = Duration{secs, 0};
    Harness h(c);
    h.add_member("a", 2);
    h.deliver(ip4(2), {proto::Dead{"a", kEpoch + 5, 1, "a"}});
    h.cmd(core::command::Join{{ip4(3)}});
    for (int i = 0; i < 200; ++i) {
      h.node->handle_timeout(h.now);
      h.pump();
      auto d = h.node->next_deadline();
      ASSERT_TRUE(d.has_value());
      ASSERT_GT(*d, h.now) << secs;  // after running its timeouts the engine never asks to run again at once
      h.now = *d;
    }
  }
}

TEST(Config, HugeRetransmitMultStillSendsNews) {
  // retransmit_mult × log(n) saturates: wrapped around, it sent every item zero times.
  Config c;
  c.retransmit_mult = 0x80000000u;
  c.tcp_fallback_ping = false;
  Harness h(c);
  for (int i = 0; i < 9; ++i) h.add_member("m" + std::to_string(i), static_cast<uint8_t>(2 + i));
  h.clear();
  for (int round = 0; round < 50; ++round) {
    // Each news item rides on every answer to a member it has not reached in this round: the
    // members take turns, so each answer carries the news of all but the one it goes to.
    const int j = round % 9;
    const std::string from = "m" + std::to_string(j);
    h.deliver(ip4(static_cast<uint8_t>(2 + j)), {proto::Ping{static_cast<uint32_t>(round), "self", from}});
    ASSERT_EQ(h.sent<proto::Alive>().size(), 8u) << round;
    h.clear();
  }
}

TEST(Config, ErrorTextAndNodeCreation) {
  core::ConfigError e{"tcp_timeout", "must be positive"};
  EXPECT_EQ(e.message(), "tcp_timeout must be positive");
  Config c;
  c.join_retries = 0;
  std::array<uint8_t, 32> nk{};
  auto made = Node::create(c, core::Identity{"a", {}, ip4(1), kEpoch}, 0, 1, nk);
  ASSERT_FALSE(made.ok());
  EXPECT_EQ(made.error(), (core::ConfigError{"join_retries", "must be at least 1"}));
}

}  // namespace
}  // namespace vennock::test
