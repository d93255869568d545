// The one error type of the network runtime, and the I/O error it can carry.
#pragma once

#include <cstdint>
#include <string>

#include "core/config.hpp"
#include "core/event.hpp"

namespace vennock::net {

// What kind of I/O failure, as callers (the Python bindings) pick an exception class by it.
enum class IoKind : uint8_t {
  NotFound,
  PermissionDenied,
  ConnectionRefused,
  ConnectionReset,
  ConnectionAborted,
  NotConnected,
  AddrInUse,
  AddrNotAvailable,
  BrokenPipe,
  WouldBlock,
  InvalidInput,
  TimedOut,
  Interrupted,
  UnexpectedEof,
  OutOfMemory,
  AlreadyExists,
  IsADirectory,
  NotADirectory,
  Other,
};

const char* io_kind_name(IoKind k);

// An operating-system error number, or a kind with a message of our own.
struct IoError {
  int os_code = 0;  // errno; 0 when the error carries a message instead
  IoKind kind = IoKind::Other;
  std::string message;

  static IoError os(int code);
  static IoError custom(IoKind kind, std::string message);
  bool is_os() const { return os_code != 0; }
  // "Connection refused (os error 111)", or the message itself.
  std::string to_string() const;
  // `Os { code: 111, kind: ConnectionRefused, message: "Connection refused" }` or
  // `Custom { kind: Other, error: "text" }`.
  std::string debug() const;
  bool operator==(const IoError&) const = default;
};

IoKind io_kind_of(int os_code);

enum class ErrorCode : uint8_t {
  Config = 0,
  Io = 1,
  JoinFailed = 2,
  Unresolved = 3,
  MetaTooLarge = 4,
  MessageTooLarge = 5,
  NotAMember = 6,
  Left = 7,
  Timeout = 8,
  Closed = 9,
  NotEncrypted = 10,
  KeyNotInstalled = 11,
  KeyInUse = 12,
  LastKey = 13,
};

inline constexpr int ERROR_CODES = 14;

class Error {
 public:
  // One of the twelve variants without data.
  explicit Error(ErrorCode code) : code_(code) {}
  static Error config(core::ConfigError e);
  static Error config(const char* field, const char* reason) { return config(core::ConfigError{field, reason}); }
  static Error io(IoError e);
  // The engine's command refusal, by the fixed table (codes 4, 2, 7, 10, 11, 12, 13, 5, 6).
  static Error from_command(core::CommandError e);

  ErrorCode code() const { return code_; }
  uint8_t number() const { return static_cast<uint8_t>(code_); }
  // Only meaningful for Config and Io respectively.
  const core::ConfigError& config_error() const { return config_; }
  const IoError& io_error() const { return io_; }

  // The fixed display text.
  std::string to_string() const;
  // The variant name, with its payload in parentheses for Config and Io; `alternate` gives
  // the multi-line form.
  std::string debug(bool alternate = false) const;

  bool operator==(const Error& o) const;

 private:
  ErrorCode code_;
  core::ConfigError config_{"", ""};
  IoError io_;
};

inline std::string to_string(const Error& e) { return e.to_string(); }

}  // namespace vennock::net
