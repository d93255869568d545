#include "proto/error.hpp"

#include <cstdio>

namespace vennock::proto {

std::string DecodeError::message() const {
  switch (code) {
    case DecodeCode::TooShort: return "packet shorter than its header";
    case DecodeCode::TooLarge: return "packet larger than the size limit";
    case DecodeCode::BadMagic: return "bad magic";
    case DecodeCode::BadVersion: return "unsupported wire version";
    case DecodeCode::BadFlags: return "unknown header flags";
    case DecodeCode::PlaintextRefused: return "plaintext packet, but this node requires encryption";
    case DecodeCode::EncryptedRefused: return "encrypted packet, but this node runs without encryption";
    case DecodeCode::LabelMismatch: return "cluster label mismatch";
    case DecodeCode::UnknownKey: {
      char hex[9];
      std::snprintf(hex, sizeof hex, "%08x", key_id);
      return std::string("no key with id ") + hex;
    }
    case DecodeCode::AuthFailed: return "authentication failed";
    case DecodeCode::Truncated: return "unexpected end of input";
    case DecodeCode::BadVarint: return "malformed varint";
    case DecodeCode::UnknownKind: return "unknown message kind";
    case DecodeCode::BadUtf8: return "text is not valid UTF-8";
    case DecodeCode::BadAddress: return "unknown address family";
    case DecodeCode::BadLength: return "message length does not match its body";
    case DecodeCode::EmptyTagKey: return "empty metadata key";
    case DecodeCode::DuplicateTagKey: return "duplicate metadata key";
    case DecodeCode::FrameTooLarge: return "frame larger than max_stream_frame";
    case DecodeCode::BadName: return "member name must be 1 to 64 bytes";
    case DecodeCode::BadValue: return "field value out of range";
  }
  return "unknown decode error";
}

}  // namespace vennock::proto
