// Stream frames: a 4-byte big-endian length, then one packet.
#pragma once

#include <cstdint>
#include <optional>

#include "proto/wire.hpp"

namespace vennock::proto {

inline constexpr size_t FRAME_PREFIX_LEN = 4;

// The frame around one packet.
Bytes encode_frame(ByteView packet);
void encode_frame(ByteView packet, Bytes& out);  // out is cleared first

// Cuts whole frames out of bytes as they arrive. A length above `max_frame` is refused
// as soon as the 4 length bytes are in, before any of the frame is buffered.
class FrameCutter {
 public:
  explicit FrameCutter(uint64_t max_frame) : max_frame_(max_frame) {}
  // Appends received bytes. After an error the cutter refuses everything.
  Result<void, DecodeError> push(ByteView bytes);
  // The next whole frame's packet (without its length prefix), if one is complete.
  std::optional<Bytes> next();
  // Up to n bytes of the packet being received (after its length prefix), so a header can
  // be checked before the whole frame is in.
  ByteView peek(size_t n) const;
  size_t buffered() const { return buf_.size() - start_; }
  // Memory the cutter holds, whatever is buffered.
  size_t capacity() const { return buf_.capacity(); }
  // Length of the frame being received, once its prefix is in.
  std::optional<uint32_t> pending_length() const;

 private:
  uint64_t max_frame_;
  Bytes buf_;
  size_t start_ = 0;  // first byte not yet handed out by next()
  size_t scan_ = 0;   // start of the frame being received; frames before it are whole
  bool failed_ = false;
};

}  // namespace vennock::proto
