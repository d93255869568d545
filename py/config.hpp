// Config: every setting of one node as a frozen Python value, its presets, the parsers of its
// keyword values, and the whole-configuration check that turns it into node settings.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <string>
#include <vector>

#include "core/config.hpp"
#include "net/lib.hpp"
#include "proto/tags.hpp"
#include "py/ref.hpp"

namespace vennock::py::config {

enum class Preset : uint8_t { Lan = 0, Wan = 1, Local = 2 };
const char* preset_name(Preset p);

// Workers a process runtime may be asked for: more is a typo, not a plan, and the first start
// would try to create that many threads.
inline constexpr uint64_t kMaxRuntimeThreads = 1024;

// The record behind a Config. Copies are deep (every key gets a buffer of its own).
struct Fields {
  Preset preset = Preset::Lan;
  core::Config engine;  // its key list stays absent here: keys go in only when built
  std::string name;
  proto::SocketAddr bind;
  std::optional<proto::SocketAddr> advertise;
  proto::TagPairs meta;
  std::vector<net::Seed> seeds;
  std::vector<proto::Key> keys;
  core::Duration resolve_timeout = core::Duration::from_secs(30);
  core::Duration tcp_header_timeout = core::Duration::from_secs(1);
  uint64_t max_inbound_streams = 64;
  uint64_t max_inbound_streams_per_ip = 16;
  std::optional<uint64_t> max_inbound_bytes_per_ip;
  uint64_t event_buffer = 1024;
  uint64_t runtime_threads = 1;
  bool insecure_plaintext = false;

  // The preset's defaults with a fresh default name.
  static Fields of(Preset p);

  // The whole-configuration check, in its fixed order; the node settings it builds. With
  // `warn`, running without encryption on purpose is logged.
  Result<net::Settings, core::ConfigError> build() const;

  // Applies keyword values in their order; the first refusal is raised (null returned
  // through false). `kwargs` may be null.
  bool apply(PyObject* kwargs);
  // One keyword; false with a ConfigError or TypeError pending.
  bool set(std::string_view name, PyObject* value);
};

// Logs that a node runs without encryption on purpose (`insecure_plaintext` and no keys).
void say_plaintext();

// A key from 32 bytes or from base64 text of 32 bytes; none for anything else.
std::optional<proto::Key> parse_key(PyObject* obj);
// Why metadata pairs cannot be encoded.
enum class MetaProblem : uint8_t { EmptyKey, DuplicateKey, TooLarge };
// The configuration's refusal text for it.
const char* meta_reason(MetaProblem p);
// One text of a metadata pair as the encoder takes it: its UTF-8 size, and its bytes, which
// need to be there only when the text is at most `limit` bytes long (a longer one is never read).
struct MetaText {
  uint64_t size = 0;
  std::string_view bytes;
};
using MetaPair = std::pair<MetaText, MetaText>;
// The bytes one pair takes in the encoding: each text after its length varint (saturating).
uint64_t tag_size(uint64_t key, uint64_t value);
// a + b, or UINT64_MAX where that overflows.
uint64_t sat_add(uint64_t a, uint64_t b);
// The metadata encoding of `pairs` in their order, refusing empty and repeated keys and more
// than `limit` bytes, the first faulty pair deciding (within a pair, the key first). A pair
// that would go past the limit is refused before anything of it is copied, so the work is
// linear in the pairs and the copy never larger than the limit.
Result<proto::Bytes, MetaProblem> encode_meta(std::span<const MetaPair> pairs, uint64_t limit);
Result<proto::Bytes, MetaProblem> encode_meta(const proto::TagPairs& pairs, uint64_t limit);

// The Python type; null with the error pending when it cannot be made.
PyObject* type();
// The fields of a Config instance (the caller has checked the type).
const Fields& fields_of(PyObject* config);

}  // namespace vennock::py::config
