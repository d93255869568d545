#include "core/config.hpp"

#include "proto/message.hpp"

namespace vennock::core {

std::string ConfigError::message() const { return std::string(field) + " " + reason; }

bool ConfigError::operator==(const ConfigError& o) const {
  return std::string_view(field) == o.field && std::string_view(reason) == o.reason;
}

namespace {

ConfigError fail(const char* field, const char* reason) { return ConfigError{field, reason}; }

// a + b + c, saturating, so absurd limits compare as "too large" rather than wrapping.
uint64_t sat_add(uint64_t a, uint64_t b, uint64_t c = 0) {
  uint64_t s = a + b;
  if (s < a) return UINT64_MAX;
  uint64_t t = s + c;
  return t < s ? UINT64_MAX : t;
}

}  // namespace

Result<void, ConfigError> Config::validate() const {
  if (cluster.size() > 255) return err(fail("cluster", "must be at most 255 bytes"));
  if (keys && keys->empty()) return err(fail("security", "needs at least one key"));
  if (probe_interval.is_zero()) return err(fail("probe_interval", "must be positive"));
  if (probe_timeout.is_zero() || !(probe_timeout < probe_interval))
    return err(fail("probe_timeout", "must be positive and below probe_interval"));
  if (gossip_interval.is_zero() || probe_interval < gossip_interval)
    return err(fail("gossip_interval", "must be positive and at most probe_interval"));
  if (suspicion_mult == 0) return err(fail("suspicion_mult", "must be positive"));
  if (suspicion_max_mult == 0) return err(fail("suspicion_max_mult", "must be at least 1"));
  if (expected_confirmations == 0) return err(fail("expected_confirmations", "must be positive"));
  if (retransmit_mult == 0) return err(fail("retransmit_mult", "must be positive"));
  if (tcp_timeout.is_zero()) return err(fail("tcp_timeout", "must be positive"));
  if (join_retries == 0) return err(fail("join_retries", "must be at least 1"));
  if (max_members == 0) return err(fail("max_members", "must be positive"));
  if (max_new_members_per_packet == 0) return err(fail("max_new_members_per_packet", "must be positive"));
  if (user_broadcast_queue == 0) return err(fail("user_broadcast_queue", "must be at least 1"));
  // The codec must fit its header, nonce, stamp and tag in a datagram and a frame, with
  // room for at least one byte of payload.
  if (!proto::limits_hold_packet(udp_max_payload, max_stream_frame))
    return err(fail("limits", "too small to hold the packet overhead"));

  const uint64_t ping = proto::max_ping_size();
  // Sizes are computed only for limits that could fit at all, so the size helpers never
  // see values that would overflow them.
  bool alive_fits = max_meta_bytes <= udp_max_payload &&
                    sat_add(ping, proto::max_alive_size(static_cast<size_t>(max_meta_bytes)),
                            proto::PACKET_OVERHEAD) <= udp_max_payload;
  if (!alive_fits) {
    if (udp_max_payload >= 1400)
      return err(fail("max_meta_bytes", "must leave an Alive that fits a udp_max_payload datagram beside a Ping"));
    return err(fail("udp_max_payload", "must fit an Alive with max_meta_bytes of metadata beside a Ping"));
  }
  bool broadcast_fits =
      max_user_broadcast <= udp_max_payload &&
      sat_add(ping, proto::max_user_broadcast_size(static_cast<size_t>(max_user_broadcast)), proto::PACKET_OVERHEAD) <=
          udp_max_payload;
  if (!broadcast_fits)
    return err(fail("max_user_broadcast", "must fit a udp_max_payload datagram beside the largest Ping"));
  bool message_fits = max_user_message <= max_stream_frame &&
                      sat_add(proto::max_user_message_size(static_cast<size_t>(max_user_message)),
                              proto::PACKET_OVERHEAD) <= max_stream_frame;
  if (!message_fits) {
    if (max_stream_frame >= 8388608) return err(fail("max_user_message", "must fit a max_stream_frame frame"));
    return err(fail("max_stream_frame", "must fit a max_user_message message"));
  }
  return {};
}

}  // namespace vennock::core
