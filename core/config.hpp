// The engine's settings and their checks.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "proto/packet.hpp"
#include "proto/result.hpp"

namespace vennock::core {

// Whole seconds and nanoseconds, as configured.
struct Duration {
  uint64_t secs = 0;
  uint32_t nanos = 0;  // below 1,000,000,000

  static constexpr Duration from_millis(uint64_t ms) {
    return Duration{ms / 1000, static_cast<uint32_t>((ms % 1000) * 1'000'000)};
  }
  static constexpr Duration from_secs(uint64_t s) { return Duration{s, 0}; }
  static constexpr Duration from_nanos(uint64_t ns) {
    return Duration{ns / 1'000'000'000, static_cast<uint32_t>(ns % 1'000'000'000)};
  }
  // Saturates at UINT64_MAX nanoseconds (about 584 years).
  constexpr uint64_t as_nanos() const {
    constexpr uint64_t kMax = UINT64_MAX;
    if (secs > (kMax - nanos) / 1'000'000'000) return kMax;
    return secs * 1'000'000'000 + nanos;
  }
  constexpr bool is_zero() const { return secs == 0 && nanos == 0; }
  auto operator<=>(const Duration&) const = default;
};

// A configuration check's failure: a field name and a reason, both fixed texts.
struct ConfigError {
  const char* field;
  const char* reason;
  std::string message() const;  // "<field> <reason>"
  bool operator==(const ConfigError& o) const;
};

// Engine settings; the defaults are the lan preset's.
struct Config {
  std::string cluster = "default";
  std::optional<std::vector<proto::Key>> keys;  // absent: no encryption

  Duration probe_interval = Duration::from_millis(1000);
  Duration probe_timeout = Duration::from_millis(500);
  Duration dead_reclaim = Duration::from_secs(30);
  Duration gossip_interval = Duration::from_millis(200);
  Duration gossip_to_the_dead = Duration::from_secs(30);
  Duration push_pull_interval = Duration::from_secs(30);
  Duration reconnect_interval = Duration::from_secs(30);
  Duration rejoin_interval = Duration::from_secs(60);
  Duration tcp_timeout = Duration::from_secs(10);

  uint64_t udp_max_payload = 1400;
  uint64_t max_stream_frame = 8 * 1024 * 1024;
  uint64_t max_meta_bytes = 512;
  uint64_t indirect_checks = 3;
  uint64_t gossip_nodes = 3;
  uint64_t max_members = 8192;
  uint64_t max_new_members_per_packet = 1024;
  uint64_t max_user_message = 65536;
  uint64_t max_user_broadcast = 256;
  uint64_t user_broadcast_queue = 256;

  uint32_t suspicion_mult = 4;
  uint32_t suspicion_max_mult = 6;
  uint32_t expected_confirmations = 3;
  uint32_t awareness_max = 8;
  uint32_t retransmit_mult = 4;
  uint32_t join_retries = 3;

  bool tcp_fallback_ping = true;
  bool local_health = true;
  bool nacks = true;
  bool dynamic_suspicion = true;
  bool buddy_system = true;

  // The first failing check, in a fixed order, or success.
  Result<void, ConfigError> validate() const;
};

}  // namespace vennock::core
