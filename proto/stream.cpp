#include "proto/stream.hpp"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace vennock::proto {

namespace {

uint32_t get_be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// Consumed bytes at the front are dropped only once they are at least this many and at
// least half the buffer: amortised linear however small the pushes are.
constexpr size_t kCompactAt = 4096;

// An emptied buffer keeps at most this much capacity: a connection that once carried a large
// frame should not hold its memory while it idles or trickles small ones.
constexpr size_t kKeepCapacity = 64 * 1024;

void reset(Bytes& buf) {
  if (buf.capacity() > kKeepCapacity) {
    Bytes().swap(buf);
  } else {
    buf.clear();
  }
}

}  // namespace

void encode_frame(ByteView packet, Bytes& out) {
  // Frame lengths are u32 on the wire; a packet anywhere near 4 GiB is a caller bug.
  assert(packet.size() <= UINT32_MAX);
  out.clear();
  out.reserve(FRAME_PREFIX_LEN + packet.size());
  const auto n = static_cast<uint32_t>(packet.size());
  out.push_back(static_cast<uint8_t>(n >> 24));
  out.push_back(static_cast<uint8_t>(n >> 16));
  out.push_back(static_cast<uint8_t>(n >> 8));
  out.push_back(static_cast<uint8_t>(n));
  out.insert(out.end(), packet.begin(), packet.end());
}

Bytes encode_frame(ByteView packet) {
  Bytes out;
  encode_frame(packet, out);
  return out;
}

// Layout of buf_: [consumed | complete frames (start_..scan_) | the frame being received].
// Bytes are appended only up to the end of the frame being received, and a frame's length
// is checked the moment its prefix is whole, so nothing of an oversized frame is kept.
Result<void, DecodeError> FrameCutter::push(ByteView bytes) {
  if (failed_) return err(decode_error(DecodeCode::FrameTooLarge));
  if (start_ == buf_.size()) {
    reset(buf_);
    start_ = scan_ = 0;
  }
  while (!bytes.empty()) {
    size_t have = buf_.size() - scan_;
    if (have < FRAME_PREFIX_LEN) {
      const size_t take = std::min(FRAME_PREFIX_LEN - have, bytes.size());
      buf_.insert(buf_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
      bytes = bytes.subspan(take);
      have += take;
      if (have < FRAME_PREFIX_LEN) break;
      if (get_be32(buf_.data() + scan_) > max_frame_) {
        failed_ = true;
        Bytes().swap(buf_);
        start_ = scan_ = 0;
        return err(decode_error(DecodeCode::FrameTooLarge));
      }
    }
    const size_t len = get_be32(buf_.data() + scan_);
    const size_t body_have = have - FRAME_PREFIX_LEN;
    const size_t take = std::min(len - body_have, bytes.size());
    if (buf_.size() + take > buf_.capacity()) {
      size_t want = std::max(buf_.size() + take, 2 * buf_.capacity());
      // The frame's end is known: a buffer that holds nothing but this frame need not grow
      // past it (doubling alone would leave up to half of a large frame's buffer unused).
      if (start_ == scan_) want = std::min(want, scan_ + FRAME_PREFIX_LEN + len);
      buf_.reserve(want);
    }
    buf_.insert(buf_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
    bytes = bytes.subspan(take);
    if (body_have + take == len) scan_ += FRAME_PREFIX_LEN + len;
  }
  return {};
}

std::optional<Bytes> FrameCutter::next() {
  if (failed_ || start_ == scan_) return std::nullopt;
  const size_t len = get_be32(buf_.data() + start_);
  if (start_ == 0 && FRAME_PREFIX_LEN + len == buf_.size()) {
    // The buffer holds exactly this frame: hand the buffer itself over instead of a copy,
    // so a large frame is never held twice.
    buf_.erase(buf_.begin(), buf_.begin() + FRAME_PREFIX_LEN);
    Bytes frame;
    frame.swap(buf_);
    scan_ = 0;
    return frame;
  }
  const auto* p = buf_.data() + start_ + FRAME_PREFIX_LEN;
  Bytes frame(p, p + len);
  start_ += FRAME_PREFIX_LEN + len;
  if (start_ == buf_.size()) {
    reset(buf_);
    start_ = scan_ = 0;
  } else if (start_ >= kCompactAt && start_ * 2 >= buf_.size()) {
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(start_));
    scan_ -= start_;
    start_ = 0;
  }
  return frame;
}

ByteView FrameCutter::peek(size_t n) const {
  auto len = pending_length();
  if (!len) return {};
  const size_t avail = buf_.size() - start_ - FRAME_PREFIX_LEN;
  return ByteView(buf_.data() + start_ + FRAME_PREFIX_LEN, std::min({n, avail, size_t{*len}}));
}

std::optional<uint32_t> FrameCutter::pending_length() const {
  if (failed_ || buf_.size() - start_ < FRAME_PREFIX_LEN) return std::nullopt;
  return get_be32(buf_.data() + start_);
}

}  // namespace vennock::proto
