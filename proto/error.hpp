// Why a packet, frame or metadata blob was refused.
#pragma once

#include <cstdint>
#include <string>

namespace vennock::proto {

// Each way input can be malformed maps to exactly one code; the numbers are stable
// (logged, counted and documented in docs/wire.md).
enum class DecodeCode : uint8_t {
  TooShort = 0,            // "packet shorter than its header"
  TooLarge = 1,            // "packet larger than the size limit"
  BadMagic = 2,            // "bad magic"
  BadVersion = 3,          // "unsupported wire version"
  BadFlags = 4,            // "unknown header flags"
  PlaintextRefused = 5,    // "plaintext packet, but this node requires encryption"
  EncryptedRefused = 6,    // "encrypted packet, but this node runs without encryption"
  LabelMismatch = 7,       // "cluster label mismatch"
  UnknownKey = 8,          // "no key with id " + 8 hex digits
  AuthFailed = 9,          // "authentication failed"
  Truncated = 10,          // "unexpected end of input"
  BadVarint = 11,          // "malformed varint"
  UnknownKind = 12,        // "unknown message kind"
  BadUtf8 = 13,            // "text is not valid UTF-8"
  BadAddress = 14,         // "unknown address family"
  BadLength = 15,          // "message length does not match its body"
  EmptyTagKey = 16,        // "empty metadata key"
  DuplicateTagKey = 17,    // "duplicate metadata key"
  FrameTooLarge = 18,      // "frame larger than max_stream_frame"
  BadName = 19,            // "member name must be 1 to 64 bytes"
  BadValue = 20,           // "field value out of range"
};

inline constexpr int DECODE_CODES = 21;

struct DecodeError {
  DecodeCode code;
  uint32_t key_id = 0;  // only meaningful for UnknownKey

  uint8_t number() const { return static_cast<uint8_t>(code); }
  // The fixed display text (for UnknownKey it names the id in 8 lower-case hex digits).
  std::string message() const;
  bool operator==(const DecodeError&) const = default;
};

inline DecodeError decode_error(DecodeCode c) { return DecodeError{c, 0}; }

}  // namespace vennock::proto
