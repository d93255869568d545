// The log layer's rendering and filtering, and the network error type.
#include <gtest/gtest.h>

#include "helpers.hpp"
#include "net/error.hpp"
#include "net/log.hpp"

using namespace vennock;
using namespace vennock::net;
using namespace vennock::net::testing;

namespace {
struct Counted {
  static inline int renders = 0;
  std::string to_string() const {
    ++renders;
    return "counted";
  }
};
}  // namespace

TEST(Log, LineFormatAndFieldKinds) {
  std::string name = "db-7";
  uint64_t n = 3;
  int64_t neg = -2;
  bool yes = true;
  double quarter = 0.25, whole = 1.0, tiny = 1e-7;
  proto::Bytes bytes{10, 255};
  SocketAddr a;
  a.ip = {10, 0, 0, 1};
  a.port = 7946;
  std::chrono::nanoseconds d = std::chrono::milliseconds(250);
  log::Field fields[] = {log::field("name", name),  log::field("n", n),        log::field("neg", neg),
                         log::field("ok", yes),      log::field("q", quarter),  log::field("w", whole),
                         log::field("t", tiny),      log::field("b", bytes),    log::field("addr", a),
                         log::field("retry_in", d)};
  log::Record r{log::Level::Warn, "vennock_net::seed", "seed did not resolve", fields};
  EXPECT_EQ(log::render_line(r),
            "vennock  WARN vennock_net::seed: seed did not resolve name=db-7 n=3 neg=-2 ok=true q=0.25 w=1.0 t=1e-7 "
            "b=[0a ff] addr=10.0.0.1:7946 retry_in=250ms\n");
  log::Record e{log::Level::Error, "vennock_net", "no seed resolved; stopping", {}};
  EXPECT_EQ(log::render_line(e), "vennock ERROR vennock_net: no seed resolved; stopping\n");
  log::Record i{log::Level::Info, "vennock_net", "x", {}};
  EXPECT_TRUE(log::render_line(i).starts_with("vennock  INFO "));
}

TEST(Log, LevelFromTheEnvironmentText) {
  EXPECT_EQ(log::parse_rank("  DEBUG\n"), 4);
  EXPECT_EQ(log::parse_rank("OFF"), 0);
  EXPECT_EQ(log::parse_rank("error"), 1);
  EXPECT_EQ(log::parse_rank("info"), 3);
  EXPECT_EQ(log::parse_rank("Trace"), 5);
  EXPECT_EQ(log::parse_rank("Warn"), 2);
  EXPECT_EQ(log::parse_rank("verbose"), 2);
  EXPECT_EQ(log::parse_rank(""), 2);
  // Unicode white space goes too (no-break space, ideographic space, line separator).
  EXPECT_EQ(log::parse_rank("\xc2\xa0" "debug\xe3\x80\x80"), 4);
  EXPECT_EQ(log::parse_rank("\xe2\x80\xa8off"), 0);
  // Not UTF-8 reads as empty: a lone 0xA0 or 0x85 is no white space to trim.
  EXPECT_EQ(log::parse_rank("\xa0" "debug"), 2);
  EXPECT_EQ(log::parse_rank("trace\x85"), 2);
}

TEST(Log, DisabledRecordsAreNotRenderedAndTheFirstDispatcherStays) {
  Capture& cap = capture();
  size_t m = cap.mark();
  Counted c;
  const int renders = Counted::renders;  // (the count lives on over repeated runs)
  log::set_rank(2);
  VN_LOG(Debug, "vennock_net", "quiet", log::field("c", log::shown(c)));
  EXPECT_EQ(Counted::renders, renders);
  EXPECT_EQ(cap.count(m, "quiet"), 0u);
  VN_LOG(Warn, "vennock_net", "loud", log::field("c", log::shown(c)));
  EXPECT_EQ(Counted::renders, renders + 1);
  EXPECT_EQ(cap.count(m, "loud c=counted", log::Level::Warn), 1u);
  log::set_rank(5);
  // A later dispatcher does not replace the installed one.
  struct Other : log::Dispatcher {
    void event(const log::Record&) override { ADD_FAILURE() << "second dispatcher used"; }
  };
  EXPECT_FALSE(log::set_dispatcher(std::make_shared<Other>()));
  VN_LOG(Info, "vennock_net", "still captured");
  EXPECT_EQ(cap.count(m, "still captured"), 1u);
}

TEST(Error, TextsCodesDebugFormsAndTheEngineRefusalsBehindThem) {
  using CE = core::CommandError;
  struct Row {
    ErrorCode code;
    const char* text;
    const char* debug;
    std::optional<CE> engine;  // the engine's refusal that becomes this error, with the same text
  };
  const Row rows[] = {
      {ErrorCode::JoinFailed, "no seed answered", "JoinFailed", CE::JoinFailed},
      {ErrorCode::Unresolved, "no seed resolved to an address", "Unresolved", {}},
      {ErrorCode::MetaTooLarge, "metadata larger than max_meta_bytes", "MetaTooLarge", CE::MetaTooLarge},
      {ErrorCode::MessageTooLarge, "message larger than max_user_message or max_user_broadcast", "MessageTooLarge",
       CE::TooLarge},
      {ErrorCode::NotAMember, "not a live member at that epoch", "NotAMember", CE::NotAMember},
      {ErrorCode::Left, "this node has left the cluster", "Left", CE::Left},
      {ErrorCode::Timeout, "timed out", "Timeout", {}},
      {ErrorCode::Closed, "the node is closed", "Closed", {}},
      {ErrorCode::NotEncrypted, "this node runs without encryption and has no keys", "NotEncrypted", CE::NotEncrypted},
      {ErrorCode::KeyNotInstalled, "key is not installed", "KeyNotInstalled", CE::KeyNotInstalled},
      {ErrorCode::KeyInUse, "key is the one in use", "KeyInUse", CE::KeyInUse},
      {ErrorCode::LastKey, "key is the last one installed", "LastKey", CE::LastKey},
  };
  size_t refusals = 0;
  for (const Row& r : rows) {
    Error e(r.code);
    EXPECT_EQ(e.to_string(), r.text);
    EXPECT_EQ(e.debug(), r.debug);
    if (!r.engine) continue;
    ++refusals;
    EXPECT_EQ(Error::from_command(*r.engine).number(), static_cast<int>(r.code)) << r.debug;
    EXPECT_EQ(Error::from_command(*r.engine).to_string(), r.text);
    EXPECT_STREQ(core::message(*r.engine), r.text);
  }
  EXPECT_EQ(refusals, 9u);  // every refusal of the engine
  EXPECT_EQ(Error(ErrorCode::LastKey).number(), 13);
  Error c = Error::config("name", "must be 1 to 64 bytes");
  EXPECT_EQ(c.number(), 0);
  EXPECT_EQ(c.to_string(), "invalid config: name must be 1 to 64 bytes");
  EXPECT_EQ(c.debug(), "Config(ConfigError { field: \"name\", reason: \"must be 1 to 64 bytes\" })");
  EXPECT_EQ(c.debug(true),
            "Config(\n    ConfigError {\n        field: \"name\",\n        reason: \"must be 1 to 64 bytes\",\n    },\n)");
  Error m = Error::io(IoError::custom(IoKind::Other, "OS Error: 5"));
  EXPECT_EQ(m.number(), 1);
  EXPECT_EQ(m.to_string(), "I/O error: OS Error: 5");
  EXPECT_EQ(m.debug(), "Io(Custom { kind: Other, error: \"OS Error: 5\" })");
  Error o = Error::io(IoError::os(ECONNREFUSED));
  EXPECT_EQ(o.to_string(), std::string("I/O error: ") + std::strerror(ECONNREFUSED) + " (os error " +
                               std::to_string(ECONNREFUSED) + ")");
  EXPECT_EQ(o.io_error().kind, IoKind::ConnectionRefused);
  EXPECT_EQ(IoError::os(EEXIST).kind, IoKind::AlreadyExists);
  EXPECT_EQ(IoError::os(EISDIR).kind, IoKind::IsADirectory);
  EXPECT_EQ(IoError::os(ENOTDIR).debug(), std::string("Os { code: ") + std::to_string(ENOTDIR) +
                                             ", kind: NotADirectory, message: \"" + std::strerror(ENOTDIR) + "\" }");
}
