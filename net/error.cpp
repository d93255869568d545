#include "net/error.hpp"

#include <cerrno>
#include <cstring>

namespace vennock::net {

const char* io_kind_name(IoKind k) {
  switch (k) {
    case IoKind::NotFound: return "NotFound";
    case IoKind::PermissionDenied: return "PermissionDenied";
    case IoKind::ConnectionRefused: return "ConnectionRefused";
    case IoKind::ConnectionReset: return "ConnectionReset";
    case IoKind::ConnectionAborted: return "ConnectionAborted";
    case IoKind::NotConnected: return "NotConnected";
    case IoKind::AddrInUse: return "AddrInUse";
    case IoKind::AddrNotAvailable: return "AddrNotAvailable";
    case IoKind::BrokenPipe: return "BrokenPipe";
    case IoKind::WouldBlock: return "WouldBlock";
    case IoKind::InvalidInput: return "InvalidInput";
    case IoKind::TimedOut: return "TimedOut";
    case IoKind::Interrupted: return "Interrupted";
    case IoKind::UnexpectedEof: return "UnexpectedEof";
    case IoKind::OutOfMemory: return "OutOfMemory";
    case IoKind::AlreadyExists: return "AlreadyExists";
    case IoKind::IsADirectory: return "IsADirectory";
    case IoKind::NotADirectory: return "NotADirectory";
    case IoKind::Other: return "Other";
  }
  return "Other";
}

IoKind io_kind_of(int c) {
  switch (c) {
    case ENOENT: return IoKind::NotFound;
    case EACCES:
    case EPERM: return IoKind::PermissionDenied;
    case ECONNREFUSED: return IoKind::ConnectionRefused;
    case ECONNRESET: return IoKind::ConnectionReset;
    case ECONNABORTED: return IoKind::ConnectionAborted;
    case ENOTCONN: return IoKind::NotConnected;
    case EADDRINUSE: return IoKind::AddrInUse;
    case EADDRNOTAVAIL: return IoKind::AddrNotAvailable;
    case EPIPE: return IoKind::BrokenPipe;
    case EAGAIN: return IoKind::WouldBlock;
    case EINVAL: return IoKind::InvalidInput;
    case ETIMEDOUT: return IoKind::TimedOut;
    case EINTR: return IoKind::Interrupted;
    case ENOMEM: return IoKind::OutOfMemory;
    case EEXIST: return IoKind::AlreadyExists;
    case EISDIR: return IoKind::IsADirectory;
    case ENOTDIR: return IoKind::NotADirectory;
    default: return IoKind::Other;
  }
}

IoError IoError::os(int code) { return IoError{code, io_kind_of(code), {}}; }
IoError IoError::custom(IoKind kind, std::string message) { return IoError{0, kind, std::move(message)}; }

std::string IoError::to_string() const {
  if (!is_os()) return message;
  return std::string(std::strerror(os_code)) + " (os error " + std::to_string(os_code) + ")";
}

std::string IoError::debug() const {
  if (!is_os()) return std::string("Custom { kind: ") + io_kind_name(kind) + ", error: \"" + message + "\" }";
  return "Os { code: " + std::to_string(os_code) + ", kind: " + io_kind_name(kind) + ", message: \"" +
         std::strerror(os_code) + "\" }";
}

Error Error::config(core::ConfigError e) {
  Error r(ErrorCode::Config);
  r.config_ = e;
  return r;
}

Error Error::io(IoError e) {
  Error r(ErrorCode::Io);
  r.io_ = std::move(e);
  return r;
}

Error Error::from_command(core::CommandError e) {
  static constexpr ErrorCode table[] = {ErrorCode::MetaTooLarge,    ErrorCode::JoinFailed,   ErrorCode::Left,
                                        ErrorCode::NotEncrypted,    ErrorCode::KeyNotInstalled, ErrorCode::KeyInUse,
                                        ErrorCode::LastKey,         ErrorCode::MessageTooLarge, ErrorCode::NotAMember};
  auto i = static_cast<size_t>(e);
  return Error(i < std::size(table) ? table[i] : ErrorCode::Closed);
}

std::string Error::to_string() const {
  switch (code_) {
    case ErrorCode::Config:
      return std::string("invalid config: ") + config_.field + " " + config_.reason;
    case ErrorCode::Io: return "I/O error: " + io_.to_string();
    case ErrorCode::JoinFailed: return "no seed answered";
    case ErrorCode::Unresolved: return "no seed resolved to an address";
    case ErrorCode::MetaTooLarge: return "metadata larger than max_meta_bytes";
    case ErrorCode::MessageTooLarge: return "message larger than max_user_message or max_user_broadcast";
    case ErrorCode::NotAMember: return "not a live member at that epoch";
    case ErrorCode::Left: return "this node has left the cluster";
    case ErrorCode::Timeout: return "timed out";
    case ErrorCode::Closed: return "the node is closed";
    case ErrorCode::NotEncrypted: return "this node runs without encryption and has no keys";
    case ErrorCode::KeyNotInstalled: return "key is not installed";
    case ErrorCode::KeyInUse: return "key is the one in use";
    case ErrorCode::LastKey: return "key is the last one installed";
  }
  return "unknown error";
}

namespace {
const char* variant_name(ErrorCode c) {
  static const char* names[] = {"Config",   "Io",      "JoinFailed",   "Unresolved",      "MetaTooLarge",
                                "MessageTooLarge", "NotAMember", "Left", "Timeout", "Closed",
                                "NotEncrypted", "KeyNotInstalled", "KeyInUse", "LastKey"};
  return names[static_cast<size_t>(c)];
}
}  // namespace

std::string Error::debug(bool alternate) const {
  if (code_ == ErrorCode::Config) {
    std::string f = config_.field, r = config_.reason;
    if (!alternate) return "Config(ConfigError { field: \"" + f + "\", reason: \"" + r + "\" })";
    return "Config(\n    ConfigError {\n        field: \"" + f + "\",\n        reason: \"" + r + "\",\n    },\n)";
  }
  if (code_ == ErrorCode::Io) {
    if (!alternate) return "Io(" + io_.debug() + ")";
    std::string body;
    if (io_.is_os()) {
      body = "    Os {\n        code: " + std::to_string(io_.os_code) + ",\n        kind: " + io_kind_name(io_.kind) +
             ",\n        message: \"" + std::strerror(io_.os_code) + "\",\n    },\n";
    } else {
      body = std::string("    Custom {\n        kind: ") + io_kind_name(io_.kind) + ",\n        error: \"" +
             io_.message + "\",\n    },\n";
    }
    return "Io(\n" + body + ")";
  }
  return variant_name(code_);
}

bool Error::operator==(const Error& o) const {
  if (code_ != o.code_) return false;
  if (code_ == ErrorCode::Config)
    return std::strcmp(config_.field, o.config_.field) == 0 && std::strcmp(config_.reason, o.config_.reason) == 0;
  if (code_ == ErrorCode::Io) return io_ == o.io_;
  return true;
}

}  // namespace vennock::net
