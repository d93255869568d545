#include "py/config.hpp"

#include <array>
#include <atomic>
#include <memory>
#include <unordered_set>
#include <variant>

#include "net/addr.hpp"
#include "net/log.hpp"
#include "proto/wire.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"
#include "py/values.hpp"

namespace vennock::py::config {

namespace {

// ---- the field table ---------------------------------------------------------------------

// How a field's keyword value is parsed (and which reason a refusal gives).
enum class Kind : uint8_t {
  Name, Cluster, Bind, Advertise, Seeds, Duration, Meta, KeyIds, Flag, U64, U32, OptU64, Keys,
};

template <class T>
using Get = T& (*)(Fields&);

using Access = std::variant<std::monostate, Get<std::string>, Get<proto::SocketAddr>,
                            Get<std::optional<proto::SocketAddr>>, Get<std::vector<net::Seed>>,
                            Get<core::Duration>, Get<proto::TagPairs>, Get<bool>, Get<uint64_t>, Get<uint32_t>,
                            Get<std::optional<uint64_t>>, Get<std::vector<proto::Key>>>;

struct FieldDef {
  const char* name;
  Kind kind;
  Access at;
};

template <auto M>
auto& eng(Fields& f) {
  return f.engine.*M;
}
template <auto M>
auto& own(Fields& f) {
  return f.*M;
}

using C = core::Config;
using F = Fields;

// The readable fields in the order dir() and repr() list them; `keys` is settable only.
const FieldDef kFields[] = {
    {"name", Kind::Name, &own<&F::name>},
    {"bind", Kind::Bind, &own<&F::bind>},
    {"advertise", Kind::Advertise, &own<&F::advertise>},
    {"cluster", Kind::Cluster, &eng<&C::cluster>},
    {"seeds", Kind::Seeds, &own<&F::seeds>},
    {"resolve_timeout", Kind::Duration, &own<&F::resolve_timeout>},
    {"meta", Kind::Meta, &own<&F::meta>},
    {"key_ids", Kind::KeyIds, std::monostate{}},
    {"insecure_plaintext", Kind::Flag, &own<&F::insecure_plaintext>},
    {"probe_interval", Kind::Duration, &eng<&C::probe_interval>},
    {"probe_timeout", Kind::Duration, &eng<&C::probe_timeout>},
    {"indirect_checks", Kind::U64, &eng<&C::indirect_checks>},
    {"tcp_fallback_ping", Kind::Flag, &eng<&C::tcp_fallback_ping>},
    {"suspicion_mult", Kind::U32, &eng<&C::suspicion_mult>},
    {"suspicion_max_mult", Kind::U32, &eng<&C::suspicion_max_mult>},
    {"expected_confirmations", Kind::U32, &eng<&C::expected_confirmations>},
    {"awareness_max", Kind::U32, &eng<&C::awareness_max>},
    {"local_health", Kind::Flag, &eng<&C::local_health>},
    {"nacks", Kind::Flag, &eng<&C::nacks>},
    {"dynamic_suspicion", Kind::Flag, &eng<&C::dynamic_suspicion>},
    {"buddy_system", Kind::Flag, &eng<&C::buddy_system>},
    {"dead_reclaim", Kind::Duration, &eng<&C::dead_reclaim>},
    {"gossip_interval", Kind::Duration, &eng<&C::gossip_interval>},
    {"gossip_nodes", Kind::U64, &eng<&C::gossip_nodes>},
    {"gossip_to_the_dead", Kind::Duration, &eng<&C::gossip_to_the_dead>},
    {"retransmit_mult", Kind::U32, &eng<&C::retransmit_mult>},
    {"push_pull_interval", Kind::Duration, &eng<&C::push_pull_interval>},
    {"reconnect_interval", Kind::Duration, &eng<&C::reconnect_interval>},
    {"rejoin_interval", Kind::Duration, &eng<&C::rejoin_interval>},
    {"udp_max_payload", Kind::U64, &eng<&C::udp_max_payload>},
    {"max_stream_frame", Kind::U64, &eng<&C::max_stream_frame>},
    {"max_meta_bytes", Kind::U64, &eng<&C::max_meta_bytes>},
    {"tcp_timeout", Kind::Duration, &eng<&C::tcp_timeout>},
    {"tcp_header_timeout", Kind::Duration, &own<&F::tcp_header_timeout>},
    {"max_inbound_streams", Kind::U64, &own<&F::max_inbound_streams>},
    {"max_inbound_streams_per_ip", Kind::U64, &own<&F::max_inbound_streams_per_ip>},
    {"max_inbound_bytes_per_ip", Kind::OptU64, &own<&F::max_inbound_bytes_per_ip>},
    {"join_retries", Kind::U32, &eng<&C::join_retries>},
    {"max_members", Kind::U64, &eng<&C::max_members>},
    {"max_new_members_per_packet", Kind::U64, &eng<&C::max_new_members_per_packet>},
    {"max_user_message", Kind::U64, &eng<&C::max_user_message>},
    {"max_user_broadcast", Kind::U64, &eng<&C::max_user_broadcast>},
    {"user_broadcast_queue", Kind::U64, &eng<&C::user_broadcast_queue>},
    {"event_buffer", Kind::U64, &own<&F::event_buffer>},
    {"runtime_threads", Kind::U64, &own<&F::runtime_threads>},
};
constexpr size_t kFieldCount = std::size(kFields);
static_assert(kFieldCount == 45);

const FieldDef kKeys{"keys", Kind::Keys, &own<&F::keys>};

const FieldDef* find(std::string_view name) {
  for (const FieldDef& f : kFields)
    if (name == f.name) return &f;
  return nullptr;
}

const char* reason(Kind k) {
  switch (k) {
    case Kind::Name: return "must be a string or None";
    case Kind::Cluster: return "must be a string";
    case Kind::Bind: return "must be \"host:port\" with an IP address";
    case Kind::Advertise: return "must be \"host:port\" with an IP address, or None";
    case Kind::Seeds: return "must be a list of \"host:port\" strings, each host an IP address or a DNS name";
    case Kind::Duration: return "must be seconds as a non-negative float, or a timedelta";
    case Kind::Meta: return "must be a mapping of str to str";
    case Kind::Flag: return "must be True or False";
    case Kind::U64:
    case Kind::U32: return "must be a non-negative integer";
    case Kind::OptU64: return "must be a non-negative integer or None";
    case Kind::Keys: return "must be a list of 32-byte keys, as bytes or base64 text";
    case Kind::KeyIds: break;
  }
  return "";
}

// ---- parsers: a value, or nothing for anything they refuse (never an error) -----------------

std::optional<proto::SocketAddr> parse_addr(PyObject* obj) {
  auto s = utf8_of(obj);
  if (!s) return std::nullopt;
  return net::parse_socket_addr(net::trim_space(*s));
}

std::optional<bool> parse_flag(PyObject* obj) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  return std::nullopt;
}

std::optional<proto::TagPairs> parse_tags(PyObject* obj) {
  Ref items = steal(PyObject_CallMethod(obj, "items", nullptr));
  Ref it = items ? steal(PyObject_GetIter(items.ptr())) : Ref();
  if (!it) {
    PyErr_Clear();
    return std::nullopt;
  }
  proto::TagPairs out;
  while (Ref item = steal(PyIter_Next(it.ptr()))) {
    if (!PyTuple_Check(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 2) return std::nullopt;
    auto k = utf8_of(PyTuple_GET_ITEM(item.ptr(), 0));
    auto v = utf8_of(PyTuple_GET_ITEM(item.ptr(), 1));
    if (!k || !v) return std::nullopt;
    out.emplace_back(std::string(*k), std::string(*v));
  }
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return out;
}

// datetime.timedelta, looked up once.
PyObject* timedelta_class() {
  static std::atomic<PyObject*> cached{nullptr};
  if (PyObject* c = cached.load(std::memory_order_acquire)) return c;
  Ref dt = steal(PyImport_ImportModule("datetime"));
  PyObject* c = dt ? PyObject_GetAttrString(dt.ptr(), "timedelta") : nullptr;
  if (!c) return nullptr;
  PyObject* expected = nullptr;
  if (!cached.compare_exchange_strong(expected, c)) {
    Py_DECREF(c);
    return expected;
  }
  return c;
}

std::optional<double> float_value(PyObject* obj) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  double d = PyFloat_AsDouble(obj);
  if (d == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return d;
}

std::optional<core::Duration> parse_duration(PyObject* obj) {
  if (PyBool_Check(obj)) return std::nullopt;
  std::optional<double> secs = float_value(obj);
  if (!secs) {
    PyObject* td = timedelta_class();
    if (!td || PyObject_IsInstance(obj, td) != 1) {
      PyErr_Clear();
      return std::nullopt;
    }
    Ref total = steal(PyObject_CallMethod(obj, "total_seconds", nullptr));
    if (!total) {
      PyErr_Clear();
      return std::nullopt;
    }
    secs = float_value(total.ptr());
    if (!secs) return std::nullopt;
  }
  return duration_of(*secs);
}

std::optional<uint64_t> parse_u64(PyObject* obj) {
  if (PyBool_Check(obj)) return std::nullopt;
  Ref index = PyLong_Check(obj) ? borrow(obj) : steal(PyNumber_Index(obj));
  if (!index) {
    PyErr_Clear();
    return std::nullopt;
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(index.ptr());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return v;
}

std::optional<uint32_t> parse_u32(PyObject* obj) {
  std::optional<uint64_t> v = parse_u64(obj);
  if (!v || *v > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(*v);
}

// The items of a list-like value, each through `one`; none when an item is refused (or there
// is no iterator); `raised` set, with the iterator's own exception pending, when walking it
// raised.
template <class T, class One>
std::optional<std::vector<T>> parse_list(PyObject* obj, One one, bool& raised) {
  Ref it = steal(PyObject_GetIter(obj));
  if (!it) {
    PyErr_Clear();
    return std::nullopt;
  }
  std::vector<T> out;
  while (Ref item = steal(PyIter_Next(it.ptr()))) {
    std::optional<T> v = one(item.ptr());
    if (!v) return std::nullopt;
    out.push_back(std::move(*v));
  }
  raised = PyErr_Occurred() != nullptr;
  return out;
}

std::optional<net::Seed> parse_seed(PyObject* obj) {
  auto s = utf8_of(obj);
  if (!s) return std::nullopt;
  auto seed = net::Seed::from_str(*s);
  if (!seed) return std::nullopt;
  return std::move(seed.value());
}

// ---- set and get ---------------------------------------------------------------------------

bool refuse(const FieldDef& f) {
  raise_config_error(f.name, reason(f.kind));
  return false;
}

template <class T>
bool store(const FieldDef& f, Fields& fields, std::optional<T> v) {
  if (!v) return refuse(f);
  std::get<Get<T>>(f.at)(fields) = std::move(*v);
  return true;
}

template <class T, class One>
bool store_list(const FieldDef& f, Fields& fields, PyObject* value, One one) {
  if (value == Py_None) return store(f, fields, std::optional<std::vector<T>>(std::vector<T>{}));
  // A single address or key is not a list of them.
  if (PyUnicode_Check(value) || (f.kind == Kind::Keys && PyBytes_Check(value))) return refuse(f);
  bool raised = false;
  std::optional<std::vector<T>> v = parse_list<T>(value, one, raised);
  if (raised) return false;  // the iterator's own exception goes up unchanged
  return store(f, fields, std::move(v));
}

bool set_field(const FieldDef& f, Fields& fields, PyObject* value) {
  switch (f.kind) {
    case Kind::Name:
      if (value == Py_None) return store(f, fields, std::optional<std::string>(net::default_name()));
      [[fallthrough]];
    case Kind::Cluster: {
      auto s = utf8_of(value);
      return store(f, fields, s ? std::optional<std::string>(std::string(*s)) : std::nullopt);
    }
    case Kind::Bind: return store(f, fields, parse_addr(value));
    case Kind::Advertise:
      if (value == Py_None) return store(f, fields, std::optional<std::optional<proto::SocketAddr>>(std::in_place));
      if (auto a = parse_addr(value)) return store(f, fields, std::optional<std::optional<proto::SocketAddr>>(*a));
      return refuse(f);
    case Kind::Seeds: return store_list<net::Seed>(f, fields, value, parse_seed);
    case Kind::Duration: return store(f, fields, parse_duration(value));
    case Kind::Meta:
      if (value == Py_None) return store(f, fields, std::optional<proto::TagPairs>(proto::TagPairs{}));
      return store(f, fields, parse_tags(value));
    case Kind::Flag: return store(f, fields, parse_flag(value));
    case Kind::U64: return store(f, fields, parse_u64(value));
    case Kind::U32: return store(f, fields, parse_u32(value));
    case Kind::OptU64:
      if (value == Py_None) return store(f, fields, std::optional<std::optional<uint64_t>>(std::in_place));
      if (auto v = parse_u64(value)) return store(f, fields, std::optional<std::optional<uint64_t>>(*v));
      return refuse(f);
    case Kind::Keys: return store_list<proto::Key>(f, fields, value, parse_key);
    case Kind::KeyIds: break;
  }
  return refuse(f);
}

Ref addr_value(const proto::SocketAddr& a) { return text(net::addr_text(a)); }

Ref texts(const std::vector<std::string>& items) {
  return list_of(items, [](const std::string& t) { return text(t); });
}

Ref meta_dict(const proto::TagPairs& pairs) {
  Ref d = steal(PyDict_New());
  for (const auto& [k, v] : pairs) {
    Ref key = text(k), value = text(v);
    if (!d || !key || !value || PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()) < 0) return Ref();
  }
  return d;
}

Ref key_ids_of(const std::vector<proto::Key>& keys) {
  return list_of(keys, [](const proto::Key& k) { return text(k.id().hex()); });
}

Ref get_field(const FieldDef& f, Fields& fields) {
  switch (f.kind) {
    case Kind::Name:
    case Kind::Cluster: return text(std::get<Get<std::string>>(f.at)(fields));
    case Kind::Bind: return addr_value(std::get<Get<proto::SocketAddr>>(f.at)(fields));
    case Kind::Advertise: {
      const auto& a = std::get<Get<std::optional<proto::SocketAddr>>>(f.at)(fields);
      return a ? addr_value(*a) : borrow(Py_None);
    }
    case Kind::Seeds: return list_of(fields.seeds, [](const net::Seed& s) { return text(s.to_string()); });
    case Kind::Duration: return steal(PyFloat_FromDouble(seconds_of(std::get<Get<core::Duration>>(f.at)(fields))));
    case Kind::Meta: return meta_dict(fields.meta);
    case Kind::KeyIds: return key_ids_of(fields.keys);
    case Kind::Flag: return borrow(std::get<Get<bool>>(f.at)(fields) ? Py_True : Py_False);
    case Kind::U64: return steal(PyLong_FromUnsignedLongLong(std::get<Get<uint64_t>>(f.at)(fields)));
    case Kind::U32: return steal(PyLong_FromUnsignedLong(std::get<Get<uint32_t>>(f.at)(fields)));
    case Kind::OptU64: {
      const auto& v = std::get<Get<std::optional<uint64_t>>>(f.at)(fields);
      return v ? steal(PyLong_FromUnsignedLongLong(*v)) : borrow(Py_None);
    }
    case Kind::Keys: break;
  }
  return Ref();
}

// ---- the whole-configuration check -------------------------------------------------------

bool is_loopback(const proto::SocketAddr& a) {
  if (a.is_v4()) return a.ip[0] == 127;
  static const std::array<uint8_t, 16> one{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return a.ip == one;
}

using Refusal = core::ConfigError;

// Puts the keys (or their absence) into the engine settings; the refusal when neither keys
// nor one of the two ways to run without them applies.
Result<void, Refusal> place_keys(const Fields& f, core::Config& engine) {
  if (!f.keys.empty()) {
    engine.keys = f.keys;
    return {};
  }
  engine.keys.reset();
  if (f.insecure_plaintext) return {};
  if (f.preset == Preset::Local && is_loopback(f.bind)) return {};
  return err(Refusal{"keys", "are required unless insecure_plaintext is set, or local() binds loopback"});
}

Result<void, Refusal> check_node_limits(const Fields& f) {
  if (f.max_inbound_streams == 0) return err(Refusal{"max_inbound_streams", "must be at least 1"});
  if (f.max_inbound_streams_per_ip == 0) return err(Refusal{"max_inbound_streams_per_ip", "must be at least 1"});
  const uint64_t frame = f.engine.max_stream_frame;
  const uint64_t need = frame > UINT64_MAX - 4 ? UINT64_MAX : frame + 4;
  if (f.max_inbound_bytes_per_ip && *f.max_inbound_bytes_per_ip < need) {
    return err(
        Refusal{"max_inbound_bytes_per_ip", "must hold one max_stream_frame frame and its 4-byte length prefix"});
  }
  if (f.tcp_header_timeout.is_zero()) return err(Refusal{"tcp_header_timeout", "must be positive"});
  if (f.event_buffer == 0) return err(Refusal{"event_buffer", "must be at least 1"});
  return {};
}

}  // namespace

void say_plaintext() { VN_LOG(Warn, "_vennock::config", "running without encryption: insecure_plaintext is set"); }

const char* preset_name(Preset p) {
  static const char* names[] = {"lan", "wan", "local"};
  return names[static_cast<size_t>(p)];
}

Fields Fields::of(Preset p) {
  Fields f;
  f.preset = p;
  f.name = net::default_name();
  f.bind = net::Settings::lan_bind();
  if (p == Preset::Wan) {
    f.engine.probe_interval = core::Duration::from_secs(5);
    f.engine.probe_timeout = core::Duration::from_secs(3);
    f.engine.gossip_interval = core::Duration::from_millis(500);
    f.engine.push_pull_interval = core::Duration::from_secs(60);
    f.engine.suspicion_mult = 6;
  } else if (p == Preset::Local) {
    net::Settings local = net::Settings::local();
    f.engine = std::move(local.config);
    f.bind = local.bind;
  }
  return f;
}

std::optional<proto::Key> parse_key(PyObject* obj) {
  if (PyBytes_Check(obj)) {
    auto* p = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(obj));
    return proto::Key::from_bytes(proto::ByteView(p, static_cast<size_t>(PyBytes_GET_SIZE(obj))));
  }
  auto s = utf8_of(obj);
  if (!s) return std::nullopt;
  auto k = proto::Key::from_base64(*s);
  if (!k) return std::nullopt;
  return std::move(k.value());
}

uint64_t sat_add(uint64_t a, uint64_t b) { return b > UINT64_MAX - a ? UINT64_MAX : a + b; }

uint64_t tag_size(uint64_t key, uint64_t value) {
  // A text longer than a varint of 32 bits can say is past every limit anyway.
  auto text = [](uint64_t n) {
    return n > UINT32_MAX ? UINT64_MAX : sat_add(proto::varint_len(static_cast<uint32_t>(n)), n);
  };
  return sat_add(text(key), text(value));
}

Result<proto::Bytes, MetaProblem> encode_meta(std::span<const MetaPair> pairs, uint64_t limit) {
  std::unordered_set<std::string_view> seen;
  uint64_t total = 0;
  for (const auto& [key, value] : pairs) {
    if (key.size == 0) return err(MetaProblem::EmptyKey);
    // Every key before this one fitted the limit: a longer one cannot repeat any of them.
    if (key.size <= limit && !seen.insert(key.bytes).second) return err(MetaProblem::DuplicateKey);
    uint64_t need = tag_size(key.size, value.size);
    if (need > limit - total) return err(MetaProblem::TooLarge);
    total += need;
  }
  proto::Bytes out;
  out.reserve(static_cast<size_t>(total));
  for (const auto& [key, value] : pairs) proto::put_tag(out, key.bytes, value.bytes);
  return out;
}

Result<proto::Bytes, MetaProblem> encode_meta(const proto::TagPairs& pairs, uint64_t limit) {
  std::vector<MetaPair> texts;
  texts.reserve(pairs.size());
  for (const auto& [k, v] : pairs) texts.push_back({{k.size(), k}, {v.size(), v}});
  return encode_meta(std::span<const MetaPair>(texts), limit);
}

const char* meta_reason(MetaProblem p) {
  switch (p) {
    case MetaProblem::EmptyKey: return "keys must be non-empty";
    case MetaProblem::DuplicateKey: return "keys must be unique";
    case MetaProblem::TooLarge: return "must encode to at most max_meta_bytes";
  }
  return "";
}

Result<net::Settings, core::ConfigError> Fields::build() const {
  net::Settings s;
  s.config = engine;
  if (auto r = place_keys(*this, s.config); !r) return err(r.error());
  if (auto r = s.config.validate(); !r) return err(r.error());
  if (name.empty() || name.size() > 64) return err(Refusal{"name", "must be 1 to 64 bytes"});
  auto encoded = encode_meta(meta, engine.max_meta_bytes);
  if (!encoded) return err(Refusal{"meta", meta_reason(encoded.error())});
  if (runtime_threads == 0) return err(Refusal{"runtime_threads", "must be at least 1"});
  if (runtime_threads > kMaxRuntimeThreads) return err(Refusal{"runtime_threads", "must be at most 1024"});
  for (const auto& seed : seeds) {
    if (seed.is_addr()) {
      s.seed_addrs.push_back(seed.socket_addr());
    } else {
      s.seed_hosts.push_back(seed);
    }
  }
  s.name = name;
  s.meta = std::move(encoded.value());
  s.bind = bind;
  s.advertise = advertise;
  s.resolve_timeout = resolve_timeout;
  s.tcp_header_timeout = tcp_header_timeout;
  s.max_inbound_streams = max_inbound_streams;
  s.max_inbound_streams_per_ip = max_inbound_streams_per_ip;
  s.max_inbound_bytes_per_ip = max_inbound_bytes_per_ip;
  s.event_buffer = event_buffer;
  if (auto r = check_node_limits(*this); !r) return err(r.error());
  return s;
}

bool Fields::set(std::string_view key, PyObject* value) {
  const FieldDef* f = key == "keys" ? &kKeys : find(key);
  if (!f || f->kind == Kind::KeyIds) {
    PyErr_Format(PyExc_TypeError, "unknown config field %s", debug_quoted(key).c_str());
    return false;
  }
  return set_field(*f, *this, value);
}

bool Fields::apply(PyObject* kwargs) {
  if (!kwargs) return true;
  Py_ssize_t pos = 0;
  PyObject *k = nullptr, *v = nullptr;
  bool ok = true;
  CriticalSection held(kwargs);
  while (ok && PyDict_Next(kwargs, &pos, &k, &v)) {
    Ref key = borrow(k), value = borrow(v);  // held across the parsers, which may run Python
    auto word = utf8_of(key.ptr());
    if (!word) {
      PyErr_SetString(PyExc_TypeError, "keywords must be strings");
      ok = false;
    } else {
      ok = set(*word, value.ptr());
    }
  }
  return ok;
}

}  // namespace vennock::py::config

// ---- the Python class ----------------------------------------------------------------------

namespace vennock::py::config {

namespace {

struct ConfigObject {
  PyObject_HEAD
  Fields* fields;
};

PyTypeObject* g_type = nullptr;

Fields& of(PyObject* self) { return *reinterpret_cast<ConfigObject*>(self)->fields; }

// Applies the keywords to `fields`, checks the whole, and wraps the result in a new Config.
PyObject* create(Fields fields, PyObject* kwargs) {
  if (!fields.apply(kwargs)) return nullptr;
  if (auto r = fields.build(); !r) return raise_config_error(r.error().field, r.error().reason);
  // Made before the object: a failed allocation (MemoryError) then leaves no object behind.
  auto owned = std::make_unique<Fields>(std::move(fields));
  PyObject* obj = g_type->tp_alloc(g_type, 0);
  if (!obj) return nullptr;
  reinterpret_cast<ConfigObject*>(obj)->fields = owned.release();
  return obj;
}

bool no_positional(PyObject* args, const char* what) {
  if (PyTuple_GET_SIZE(args) == 0) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments", what);
  return false;
}

PyObject* config_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  if (!no_positional(args, "Config")) return nullptr;
  return create(Fields::of(Preset::Lan), kwargs);
}

void config_dealloc(PyObject* self) {
  delete reinterpret_cast<ConfigObject*>(self)->fields;
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* lan(PyObject*, PyObject* args, PyObject* kwargs) {
  return no_positional(args, "lan") ? create(Fields::of(Preset::Lan), kwargs) : nullptr;
}
PyObject* wan(PyObject*, PyObject* args, PyObject* kwargs) {
  return no_positional(args, "wan") ? create(Fields::of(Preset::Wan), kwargs) : nullptr;
}
PyObject* local(PyObject*, PyObject* args, PyObject* kwargs) {
  return no_positional(args, "local") ? create(Fields::of(Preset::Local), kwargs) : nullptr;
}
PyObject* replace(PyObject* self, PyObject* args, PyObject* kwargs) {
  return no_positional(args, "replace") ? create(of(self), kwargs) : nullptr;
}

PyObject* dir(PyObject*, PyObject*) {
  std::vector<std::string> names;
  for (const FieldDef& f : kFields) names.emplace_back(f.name);
  for (const char* n : {"preset", "replace", "lan", "wan", "local"}) names.emplace_back(n);
  return texts(names).release().ptr();
}

PyObject* preset(PyObject* self, void*) { return PyUnicode_FromString(preset_name(of(self).preset)); }

// Fields first: no field shares its name with a class attribute, and reads are the hot path.
PyObject* config_getattro(PyObject* self, PyObject* name) {
  auto key = utf8_of(name);
  if (key) {
    if (const FieldDef* f = find(*key)) return get_field(*f, of(self)).release().ptr();
  }
  PyObject* v = PyObject_GenericGetAttr(self, name);
  if (v || !PyErr_ExceptionMatches(PyExc_AttributeError)) return v;
  PyErr_Clear();
  std::string_view k = key ? *key : std::string_view();
  if (k == "keys") {
    PyErr_SetString(PyExc_AttributeError, "keys are never readable from a config; read key_ids instead");
  } else {
    PyErr_Format(PyExc_AttributeError, "Config has no field %s", debug_quoted(k).c_str());
  }
  return nullptr;
}

// A Config is a value that nodes and other threads may be reading: it is never changed, and
// the error says how to get a changed one (also for `del cfg.x`, which arrives here too).
int config_setattro(PyObject*, PyObject* name, PyObject*) {
  auto key = utf8_of(name);
  std::string_view k = key ? *key : std::string_view();
  if (k == "key_ids") {
    PyErr_SetString(PyExc_AttributeError,
                    "Config is read-only; key_ids follow keys: make a changed copy with cfg.replace(keys=...)");
  } else if (k == "keys" || find(k)) {
    std::string f(k);
    PyErr_Format(PyExc_AttributeError, "Config is read-only; make a changed copy with cfg.replace(%s=...)", f.c_str());
  } else if (k == "preset") {
    PyErr_SetString(PyExc_AttributeError,
                    "Config is read-only; make one of another preset with Config.lan(...), Config.wan(...) or "
                    "Config.local(...)");
  } else {
    PyErr_Format(PyExc_AttributeError, "Config is read-only and has no field %s", debug_quoted(k).c_str());
  }
  return -1;
}

// The preset, the five fields always shown, then every field that differs from the preset.
PyObject* config_repr(PyObject* self) {
  const Fields& f = of(self);
  Fields defaults = Fields::of(f.preset);
  std::string out = std::string("Config.") + preset_name(f.preset) + "(";
  bool first = true;
  for (const FieldDef& d : kFields) {
    Ref value = get_field(d, const_cast<Fields&>(f));
    if (!value) return nullptr;
    std::string_view n = d.name;
    if (n != "name" && n != "bind" && n != "cluster" && n != "seeds" && n != "key_ids") {
      Ref dv = get_field(d, defaults);
      if (!dv) return nullptr;
      int same = PyObject_RichCompareBool(value.ptr(), dv.ptr(), Py_EQ);
      if (same < 0) return nullptr;
      if (same) continue;
    }
    Ref r = steal(PyObject_Repr(value.ptr()));
    auto rs = r ? utf8_of(r.ptr()) : std::nullopt;
    if (!rs) return nullptr;
    if (!first) out += ", ";
    first = false;
    out += d.name;
    out += '=';
    out += *rs;
  }
  out += ')';
  return text(out).release().ptr();
}

PyMethodDef kMethods[] = {
    {"lan", entry<lan>(), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "lan($cls, **fields)\n--\n\nOne datacenter or VPC. Binds `0.0.0.0:7946` and needs `keys`."},
    {"wan", entry<wan>(), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "wan($cls, **fields)\n--\n\nRegions, edge sites and flaky links: probes every 5 s with a 3 s timeout, slower\n"
     "suspicion and push-pull every 60 s. Binds `0.0.0.0:7946` and needs `keys`."},
    {"local", entry<local>(), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "local($cls, **fields)\n--\n\nTests and demos on one host: probes every 200 ms and no TCP fallback ping. Binds\n"
     "`127.0.0.1:7946` and runs without keys while it binds loopback."},
    {"replace", entry<replace>(), METH_VARARGS | METH_KEYWORDS,
     "replace($self, **fields)\n--\n\nA copy with the given fields changed, validated like a new config."},
    {"__dir__", entry<dir>(), METH_NOARGS, "__dir__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"preset", &Entry<preset>::call, nullptr,
     "The preset this config started from: `\"lan\"`, `\"wan\"` or `\"local\"`.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kDoc[] =
    "Config(**fields)\n--\n\nSettings for a cluster node, validated as a whole when built.\n\n"
    "Pick a preset with `Config.lan()`, `Config.wan()` or `Config.local()` and override fields by\n"
    "keyword. Configs are frozen; `replace()` returns a changed copy. Durations are seconds as a\n"
    "float, or a `datetime.timedelta`. A bad value raises `ConfigError`, a `ValueError` naming the\n"
    "field, before any socket opens.";

PyType_Slot kSlots[] = {
    {Py_tp_new, entry_slot<config_new>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(config_dealloc)},
    {Py_tp_getattro, entry_slot<config_getattro>()},
    {Py_tp_setattro, entry_slot<config_setattro>()},
    {Py_tp_repr, entry_slot<config_repr>()},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

// A final class: no subclasses, no instance dict, no weak references.
PyType_Spec kSpec = {"vennock.Config", sizeof(ConfigObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyObject* type() {
  if (!g_type) g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kSpec));
  return reinterpret_cast<PyObject*>(g_type);
}

const Fields& fields_of(PyObject* config) { return of(config); }

}  // namespace vennock::py::config
