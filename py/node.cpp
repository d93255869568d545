#include "py/node.hpp"

#include <atomic>
#include <unordered_map>

#include "net/lifecycle.hpp"
#include "proto/tags.hpp"
#include "py/runtime.hpp"
#include "py/values.hpp"

namespace vennock::py::node {

namespace {

template <class T>
Reply<T> mapped(Result<T, net::Error> r) {
  if (!r) return err(KError::from_net(std::move(r.error())));
  return std::move(r.value());
}

Reply<std::monostate> mapped(Result<void, net::Error> r) {
  if (!r) return err(KError::from_net(std::move(r.error())));
  return std::monostate{};
}

// Why a request the bindings refuse before it reaches the node (for its size, or a bad key) is
// refused, in the node's own order: a closed node as for any request that cannot reach it (the
// actor's loop has ended), one that has left with Left; none when the refusal itself is the answer.
std::optional<KError> unreachable(const Inner& in) {
  if (in.membership.is_closed()) return KError(kerror::Closed{});
  if (in.membership.local().state == core::MemberState::Left) {
    return KError(kerror::Net{net::Error(net::ErrorCode::Left)});
  }
  return std::nullopt;
}

template <class Pairs>
Reply<proto::Bytes> encoded(const Pairs& pairs, uint64_t limit) {
  auto r = config::encode_meta(pairs, limit);
  if (r) return std::move(r.value());
  if (r.error() == config::MetaProblem::TooLarge) {
    return err(KError(kerror::Net{net::Error(net::ErrorCode::MetaTooLarge)}));
  }
  return err(KError(kerror::BadArgument{"meta", config::meta_reason(r.error())}));
}

// What awaiting a task of its own gives: its value as a reply, or the reply it gave.
template <class T>
struct Joined {
  using type = Reply<net::Value<T>>;
};
template <class T>
struct Joined<Reply<T>> {
  using type = Reply<T>;
};

// A task of its own, awaited: its work finishes even when the caller stops waiting.
template <class T>
net::Task<typename Joined<T>::type> joined(net::JoinHandle<T> h) {
  auto j = co_await h.join();
  if (!j.completed() || !j.value) co_return err(KError(kerror::Closed{}));
  if constexpr (std::is_void_v<T>) {
    co_return std::monostate{};
  } else {
    co_return std::move(*j.value);
  }
}

// Waits for the answer, keeping `held` (meta_lock, and the node that owns it) until it has come.
net::Task<Reply<std::monostate>> answered(MetaHeld held, net::Membership::Answer rx) {
  auto waiting = net::Membership::answer(std::move(rx));
  auto answer = co_await std::move(waiting);
  held.guard.unlock();
  co_return mapped(std::move(answer));
}

// Sends metadata while `held` holds meta_lock. Once the change is queued the node carries it
// out whoever waits for it, so the lock goes with the wait for its answer into a task of its
// own: the next change, even after this caller gave up, reads what this one stored.
net::Task<Reply<std::monostate>> set_encoded(MetaHeld held, proto::Bytes meta) {
  auto queueing = held.in->membership.queue_set_meta(std::move(meta));
  auto queued = co_await std::move(queueing);
  if (!queued) co_return err(KError::from_net(std::move(queued.error())));
  net::Runtime* rt = held.in->rt;
  auto answering = joined(rt->spawn(answered(std::move(held), std::move(queued.value()))));
  co_return co_await std::move(answering);
}

// Waits for the change's turn: its place in meta_lock's queue becomes the lock.
net::Task<MetaHeld> turn_taken(MetaTurn turn) {
  auto acquiring = net::AsyncMutex::acquire(std::move(turn.place));
  net::AsyncMutex::Guard guard = co_await std::move(acquiring);
  MetaHeld held{std::move(turn.in), std::move(guard)};
  co_return held;
}

}  // namespace

// ---- operations ------------------------------------------------------------------------

net::Task<Reply<size_t>> join(std::shared_ptr<Inner> in, std::optional<std::vector<net::Seed>> seeds) {
  auto joining = in->membership.join_seeds(seeds ? std::move(*seeds) : in->seeds);
  co_return mapped(co_await std::move(joining));
}

net::Task<Reply<std::monostate>> send(std::shared_ptr<Inner> in, std::string name, uint64_t epoch, proto::Bytes data) {
  auto sending = in->membership.send(std::move(name), epoch, std::move(data));
  co_return mapped(co_await std::move(sending));
}

net::Task<Reply<std::monostate>> broadcast(std::shared_ptr<Inner> in, proto::Bytes data) {
  auto sending = in->membership.broadcast(std::move(data));
  co_return mapped(co_await std::move(sending));
}

net::Task<Reply<bool>> leave(std::shared_ptr<Inner> in, core::Duration timeout) {
  auto leaving = in->membership.leave(nanos_of(timeout));
  auto r = co_await std::move(leaving);
  if (r) co_return false;
  switch (r.error().code()) {
    case net::ErrorCode::Left: co_return false;  // it had already left
    case net::ErrorCode::Timeout: co_return true;
    case net::ErrorCode::Closed: co_return err(KError(kerror::Closed{}));
    default: co_return err(KError(kerror::Net{std::move(r.error())}));
  }
}

net::Task<bool> shutdown(std::shared_ptr<Inner> in, core::Duration timeout) {
  auto leaving = leave(in, timeout);
  Reply<bool> left = co_await std::move(leaving);
  auto closing = in->membership.close();
  co_await std::move(closing);
  co_return left && left.value();
}

net::Task<Reply<std::monostate>> change_key(std::shared_ptr<Inner> in, proto::Key key, KeyChange kind) {
  static constexpr net::actor::KeyChange::Kind kinds[] = {
      net::actor::KeyChange::Kind::Install, net::actor::KeyChange::Kind::Use, net::actor::KeyChange::Kind::Remove};
  net::Keyring ring = in->membership.keyring();
  auto changing = ring.change(net::actor::KeyChange{kinds[static_cast<size_t>(kind)], std::move(key)});
  co_return mapped(co_await std::move(changing));
}

net::Task<Reply<std::monostate>> set_meta(MetaTurn turn, proto::Bytes meta) {
  auto taking = turn_taken(std::move(turn));
  MetaHeld held = co_await std::move(taking);
  auto setting = set_encoded(std::move(held), std::move(meta));
  co_return co_await std::move(setting);
}

proto::TagPairs apply_changes(proto::TagPairs pairs, std::vector<Change> changes) {
  size_t sets = 0;
  for (const auto& c : changes) sets += c.second.has_value();
  // Room for every pair up front: the index below keeps views of the keys where they lie.
  pairs.reserve(pairs.size() + sets);
  std::unordered_map<std::string_view, size_t> at;  // the first pair of each key still there
  for (size_t i = 0; i < pairs.size(); ++i) at.emplace(pairs[i].first, i);
  std::vector<bool> removed(pairs.size() + sets, false);
  for (auto& [key, value] : changes) {
    auto it = at.find(key);
    if (it == at.end()) {
      if (!value) continue;
      pairs.emplace_back(std::move(key), std::move(*value));
      at.emplace(pairs.back().first, pairs.size() - 1);
    } else if (value) {
      pairs[it->second].second = std::move(*value);
    } else {
      removed[it->second] = true;
      at.erase(it);
    }
  }
  size_t kept = 0;
  for (size_t i = 0; i < pairs.size(); ++i) {
    if (removed[i]) continue;
    if (kept != i) pairs[kept] = std::move(pairs[i]);
    ++kept;
  }
  pairs.resize(kept);
  return pairs;
}

net::Task<Reply<std::monostate>> update_meta(MetaTurn turn, std::vector<Change> changes) {
  // Held from the read of this node's record to the answer: no other change of this node can
  // fall between them, and the next one reads what this one stored.
  auto taking = turn_taken(std::move(turn));
  MetaHeld held = co_await std::move(taking);
  core::Member self = held.in->membership.local();
  auto parsed = proto::Tags::parse(proto::ByteView(self.meta.data(), self.meta.size()));
  // Our own metadata always parses (it was encoded here); if it ever did not, editing it as
  // if it were empty would wipe it: refuse instead.
  if (!parsed) {
    co_return err(KError(kerror::BadArgument{"meta", "cannot be edited: this node's current metadata does not parse"}));
  }
  proto::TagPairs pairs = apply_changes(proto::tag_pairs(parsed.value().bytes()), std::move(changes));
  Reply<proto::Bytes> meta = encoded(pairs, held.in->max_meta_bytes);
  if (!meta) co_return err(unreachable(*held.in).value_or(std::move(meta.error())));
  auto setting = set_encoded(std::move(held), std::move(meta.value()));
  co_return co_await std::move(setting);
}

// ---- start ------------------------------------------------------------------------------

Started::~Started() {
  if (!inner) return;
  // Inherited through fork: forget the reference without touching the parent's node.
  if (generation != net::lifecycle::generation()) {
    new std::shared_ptr<Inner>(std::move(inner));
    return;
  }
  if (!held) inner->membership.never_held();
}

Reply<Prepared> prepare(const config::Fields& f) {
  auto settings = f.build();
  if (!settings) return err(KError(kerror::Net{net::Error::config(settings.error())}));
  Limits limits{f.engine.max_meta_bytes, f.engine.max_user_message, f.engine.max_user_broadcast};
  return Prepared{std::move(settings.value()), f.seeds, limits, f.keys.empty() && f.insecure_plaintext};
}

net::Task<Reply<Started>> start(net::Runtime* rt, Reply<Prepared> prepared) {
  if (!prepared) co_return err(std::move(prepared.error()));
  Prepared& p = prepared.value();
  if (p.plaintext) config::say_plaintext();
  // The network start still copies the seeds to join them. A failed allocation there leaves
  // nothing behind: a node whose actor had not started never ran, and one that was joining is
  // stopped as a node no caller held.
  std::optional<Result<net::Membership, net::Error>> started;
  try {
    auto starting = net::Membership::start(*rt, std::move(p.settings));
    started.emplace(co_await std::move(starting));
  } catch (const std::bad_alloc&) {
  }
  if (!started) co_return err(KError(kerror::NoMemory{}));
  if (!*started) co_return err(KError::from_net(std::move(started->error())));
  auto inner = std::make_shared<Inner>(rt, std::move(started->value()), std::move(p.seeds), p.limits);
  co_return Started(std::move(inner), net::lifecycle::generation());
}

// ---- reads ------------------------------------------------------------------------------

std::vector<Reader::Awaited> Reader::awaited() {
  std::vector<Awaited> found;
  if (marked.load(std::memory_order_acquire) == 0) return found;
  std::lock_guard<std::mutex> g(loops_m);
  for (const Mark& m : loops) found.push_back(Awaited{m.id, m.loop, m.thread, m.call.lock(), m.handoff.lock()});
  return found;
}

std::shared_ptr<Handoff> Reader::handoff_of(uint64_t id) {
  std::lock_guard<std::mutex> g(loops_m);
  for (const Mark& m : loops) {
    if (m.id == id) return m.handoff.lock();
  }
  return nullptr;
}

uint64_t thread_mark() {
  static std::atomic<uint64_t> next{1};
  thread_local const uint64_t mine = next.fetch_add(1, std::memory_order_relaxed);
  return mine;
}

namespace {

void free_token(PyObject* capsule) {
  // Made in the parent of a child made by fork: forgotten there, never released.
  if (reinterpret_cast<uintptr_t>(PyCapsule_GetContext(capsule)) != net::lifecycle::generation()) return;
  delete static_cast<std::shared_ptr<const char>*>(PyCapsule_GetPointer(capsule, "vennock.thread"));
}

// The calling thread's token of life, owned by its thread state's dictionary: the interpreter
// clears that when it forgets the thread. A thread whose token cannot be made counts as alive.
std::weak_ptr<const char> alive_token() {
  static const auto* forever = new std::shared_ptr<const char>(std::make_shared<const char>(0));
  thread_local std::weak_ptr<const char> cached;
  thread_local uint64_t cached_generation = 0;
  uint64_t generation = net::lifecycle::generation();
  if (cached_generation == generation && !cached.expired()) return cached;
  PyObject* dict = PyThreadState_GetDict();  // borrowed
  if (!dict) return *forever;
  auto* held = new std::shared_ptr<const char>(std::make_shared<const char>(0));
  Ref capsule = steal(PyCapsule_New(held, "vennock.thread", free_token));
  if (!capsule) delete held;
  if (!capsule ||
      PyCapsule_SetContext(capsule.ptr(), reinterpret_cast<void*>(static_cast<uintptr_t>(generation))) < 0 ||
      PyDict_SetItemString(dict, "vennock.thread", capsule.ptr()) < 0) {
    PyErr_Clear();
    return *forever;
  }
  cached = *held;
  cached_generation = generation;
  return cached;
}

}  // namespace

ThreadSeen this_thread() { return ThreadSeen{thread_mark(), PyThread_get_thread_ident(), alive_token()}; }

LoopMark::LoopMark(std::shared_ptr<Reader> r, const std::shared_ptr<bridge::Call>& call) : reader_(std::move(r)) {
  static std::atomic<uint64_t> next{1};
  id_ = next.fetch_add(1, std::memory_order_relaxed);
  ThreadSeen thread = this_thread();
  std::lock_guard<std::mutex> g(reader_->loops_m);
  reader_->loops.push_back(Reader::Mark{call->loop.ptr(), std::move(thread), id_, call, {}});
  reader_->marked.store(reader_->loops.size(), std::memory_order_release);
}

LoopMark::~LoopMark() {
  if (!reader_) return;
  std::lock_guard<std::mutex> g(reader_->loops_m);
  auto& l = reader_->loops;
  auto it = std::find_if(l.begin(), l.end(), [&](const Reader::Mark& m) { return m.id == id_; });
  if (it != l.end()) l.erase(it);
  reader_->marked.store(l.size(), std::memory_order_release);
}

void LoopMark::handed_over(const std::weak_ptr<Handoff>& h) {
  if (!reader_) return;
  std::lock_guard<std::mutex> g(reader_->loops_m);
  for (Reader::Mark& m : reader_->loops) {
    if (m.id == id_) m.handoff = h;
  }
}

std::optional<ReadLease> Handoff::take() {
  std::lock_guard<std::mutex> g(m_);
  std::optional<ReadLease> out;
  if (lease_) {
    out.emplace(std::move(*lease_));
    lease_.reset();
  }
  return out;
}

void Handoff::on_its_way(PyObject* loop, const std::weak_ptr<Handoff>& self) {
  // Without a weak reference (no memory for one) the read is delivered all the same; only a
  // read that finds its loop gone cannot look at it.
  loop_ = steal(PyWeakref_NewRef(loop, nullptr));
  if (!loop_) PyErr_Clear();
  std::lock_guard<std::mutex> g(m_);
  if (lease_) lease_->handed_over(self);
}

Ref Handoff::loop() const {
  PyObject* strong = nullptr;
  if (loop_ && PyWeakref_GetRef(loop_.ptr(), &strong) < 0) PyErr_Clear();
  return steal(strong);
}

ReadLease::~ReadLease() {
  if (event_ && reader_) reader_->events.put_back(std::move(*event_));
}

void ReadLease::took(net::events::Received r) {
  switch (r.kind) {
    case net::events::Received::Kind::Item:
      kind_ = Kind::Event;
      event_ = std::move(r.event);
      return;
    case net::events::Received::Kind::Closed: kind_ = Kind::Closed; return;
    case net::events::Received::Kind::Empty: kind_ = Kind::TimedOut; return;
  }
}

Ref ReadLease::value() const {
  switch (kind_) {
    case Kind::Event: return event_tuple(*event_);
    case Kind::Closed: return borrow(Py_None);
    case Kind::TimedOut: return borrow(Py_False);
  }
  return borrow(Py_None);
}

void ReadLease::handed() {
  event_.reset();
  mark_.reset();
  guard_.reset();
}

net::Task<Reply<ReadLease>> next(ReadTurn turn, std::optional<core::Duration> limit, std::optional<LoopMark> mark) {
  std::shared_ptr<Reader> reader = turn.reader;
  ReadLease out(reader, std::move(mark));
  // The limit covers the wait behind another reader too: a caller who asked for an answer
  // within a time gets one, whoever else reads.
  std::optional<net::Instant> deadline;
  if (limit) deadline = net::deadline_in(nanos_of(*limit));
  auto locking = net::with_deadline(deadline, net::AsyncMutex::acquire(std::move(turn.place)));
  auto guard = co_await std::move(locking);
  if (!guard) co_return out;  // timed out
  out.hold(std::move(*guard));
  auto reading = reader->events.recv_until(deadline);
  net::events::Received got = co_await std::move(reading);
  if (got.kind == net::events::Received::Kind::Closed && reader->events.failed()) {
    co_return err(KError(kerror::Failed{}));
  }
  out.took(std::move(got));
  co_return out;
}

}  // namespace vennock::py::node

// ---- the Python classes ---------------------------------------------------------------------

namespace vennock::py::node {

namespace {

struct NodeObject {
  PyObject_HEAD
  Started v;  // constructed in place; released by the creating-process rule
};

struct SubObject {
  PyObject_HEAD
  std::shared_ptr<Reader> reader;
  uint64_t generation;  // of the process that made it
};

PyTypeObject* g_node = nullptr;
PyTypeObject* g_sub = nullptr;

NodeObject* as_node(PyObject* o) { return reinterpret_cast<NodeObject*>(o); }
SubObject* as_sub(PyObject* o) { return reinterpret_cast<SubObject*>(o); }

bool parse(PyObject* args, PyObject* kwargs, const char* format, const char* const* names, auto... out) {
  return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), out...) != 0;
}

// The parameters of a method whose blocking form adds `timeout` at the end: the argument
// formats of both forms and their keyword lists (the awaitable form's stops before `timeout`).
template <size_t N>
struct Keywords {
  const char* formats[2];
  const char* blocking[N + 2];
  const char* awaitable[N + 1];
  template <class... S>
  constexpr Keywords(const char* awaitable_format, const char* blocking_format, S... names)
      : formats{awaitable_format, blocking_format},
        blocking{names..., "timeout", nullptr},
        awaitable{names..., nullptr} {}
  bool parse(PyObject* args, PyObject* kwargs, bool b, auto... out) const {
    return node::parse(args, kwargs, formats[b], b ? blocking : awaitable, out...);
  }
};
template <class... S>
Keywords(const char*, const char*, S...) -> Keywords<sizeof...(S)>;

bool same_process(uint64_t generation) {
  if (generation == net::lifecycle::generation()) return true;
  raise(kerror::Forked{});
  return false;
}

// The process and handle checks every method makes: the node's shared state, or null with
// the error pending.
std::shared_ptr<Inner> checked(PyObject* self) {
  const Started& v = as_node(self)->v;
  if (!same_process(v.generation)) return nullptr;
  if (!v.inner) raise(kerror::Closed{});
  return v.inner;
}

template <class T>
PyObject* run(net::Task<Reply<T>> body) {
  net::Runtime* rt = runtime_or_raise();
  return rt ? awaitable(*rt, std::move(body)) : nullptr;
}

template <class T>
PyObject* run_blocking(net::Task<Reply<T>> body, std::optional<core::Duration> limit) {
  net::Runtime* rt = runtime_or_raise();
  return rt ? block_on(*rt, std::move(body), limit) : nullptr;
}

// The frame's last steps for an operation of the node: the process and handle checks, the
// limit check, then the body that `make` builds from the node's state, handed to the bridge.
// `make` gives the body, or an empty optional with the error pending.
template <class Make>
PyObject* dispatch(PyObject* self, bool blocking, std::optional<double> secs, Make make) {
  auto in = checked(self);
  std::optional<core::Duration> limit;
  if (!in || !checked_limit(secs, limit)) return nullptr;
  auto body = std::optional(make(std::move(in)));  // an optional stays one (copy deduction)
  if (!body) return nullptr;
  return blocking ? run_blocking(std::move(*body), limit) : run(std::move(*body));
}

// A body that gives a refusal made at the call, in the node's order (see unreachable).
net::Task<Reply<std::monostate>> refusal(std::shared_ptr<Inner> in, KError e) {
  co_return err(unreachable(*in).value_or(std::move(e)));
}

net::Task<void> close_task(std::shared_ptr<Inner> in) { co_await in->membership.close(); }

net::Task<Reply<std::monostate>> close_body(std::shared_ptr<Inner> in) {
  co_await in->membership.close();
  co_return std::monostate{};
}

// ---- argument conversions ----

bool epoch_arg(PyObject* obj, uint64_t& out) {
  Ref index = steal(PyNumber_Index(obj));
  unsigned long long v = index ? PyLong_AsUnsignedLongLong(index.ptr()) : 0;
  if (!index || (v == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
    note_processing("epoch");
    return false;
  }
  out = v;
  return true;
}

// The `data` of a send or a broadcast, held (a bytearray cannot be resized meanwhile) but not
// copied until the node's limit has been checked: a payload the node would refuse is never
// copied, however large.
class Data {
 public:
  Data() = default;
  Data(const Data&) = delete;
  Data& operator=(const Data&) = delete;
  ~Data() {
    // Not on a thread unwound detached (see Ref): the buffer stays exported then.
    if (view_.obj && attached()) PyBuffer_Release(&view_);
  }
  // False with the noted TypeError pending for anything but bytes or bytearray.
  bool take(PyObject* obj) {
    if (!PyBytes_Check(obj) && !PyByteArray_Check(obj)) {
      not_instance(obj, "bytes | bytearray", "data");
      return false;
    }
    return PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) == 0;
  }
  uint64_t size() const { return static_cast<uint64_t>(view_.len); }
  proto::Bytes copy() const {
    auto* p = static_cast<const uint8_t*>(view_.buf);
    return proto::Bytes(p, p + view_.len);
  }

 private:
  Py_buffer view_{};
};

// A payload over the node's limit, refused before it is copied, in the order the node itself
// keeps (see unreachable); only a size refusal is counted.
net::Task<Reply<std::monostate>> too_large(std::shared_ptr<Inner> in) {
  if (auto e = unreachable(*in)) co_return err(std::move(*e));
  in->refused_too_large.fetch_add(1, std::memory_order_relaxed);
  co_return err(KError(kerror::Net{net::Error(net::ErrorCode::MessageTooLarge)}));
}

// What a single "host:port" given where the list of seeds belongs is told: the parameter, and
// what it takes.
const char kSeedsNotOneText[] = "seeds must be a list of \"host:port\" strings, not a single str";

// `seeds` as texts: None gives none; a single str is refused (it is a sequence, of its
// characters), as is anything but a sequence of str.
bool seed_texts(PyObject* obj, std::optional<std::vector<std::string>>& out) {
  out.reset();
  if (!obj || obj == Py_None) return true;
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, kSeedsNotOneText);
    note_processing("seeds");
    return false;
  }
  Ref seq = steal(PySequence_Check(obj) ? PySequence_Fast(obj, "") : nullptr);
  if (!seq) {
    PyErr_Clear();
    not_instance(obj, "Sequence", "seeds");
    return false;
  }
  std::vector<std::string> texts;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.ptr()); ++i) {
    if (!text_arg(PySequence_Fast_GET_ITEM(seq.ptr(), i), "seeds", texts.emplace_back())) return false;
  }
  out = std::move(texts);
  return true;
}

bool parse_seeds(const std::optional<std::vector<std::string>>& texts, std::optional<std::vector<net::Seed>>& out) {
  out.reset();
  if (!texts) return true;
  std::vector<net::Seed> seeds;
  for (const std::string& t : *texts) {
    auto s = net::Seed::from_str(t);
    if (!s) {
      std::string msg = "seed " + debug_quoted(s.error()) + " is not \"host:port\" with an IP address or a DNS name";
      PyErr_SetString(PyExc_ValueError, msg.c_str());
      return false;
    }
    seeds.push_back(std::move(s.value()));
  }
  out = std::move(seeds);
  return true;
}

// A str argument held, with its UTF-8 size, but neither encoded nor copied until the node's
// limit has been checked: a text the node would refuse is never copied, however large.
struct HeldText {
  Ref obj;
  uint64_t size = 0;
  std::string_view bytes;  // once loaded, for a text within the limit

  // Takes `s` when it is a str with a UTF-8 form; false otherwise, nothing pending.
  bool hold(PyObject* s);
  // Reads the bytes of a text within `limit` (a str that is not ASCII keeps its UTF-8 form, a
  // copy no larger than the limit); false with the error pending when that fails.
  bool load(uint64_t limit);
};

// The UTF-8 size of the code points, counted without encoding them; none for a lone surrogate,
// which has no UTF-8 form.
template <class Unit>
std::optional<uint64_t> utf8_size_of(const Unit* units, Py_ssize_t n) {
  uint64_t size = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    uint32_t c = units[i];
    if (c >= 0xD800 && c <= 0xDFFF) return std::nullopt;
    size += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
  }
  return size;
}

bool HeldText::hold(PyObject* s) {
  if (!PyUnicode_Check(s)) return false;
  Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  std::optional<uint64_t> counted;
  if (PyUnicode_IS_ASCII(s)) {
    counted = static_cast<uint64_t>(n);
  } else if (PyUnicode_KIND(s) == PyUnicode_1BYTE_KIND) {
    counted = utf8_size_of(PyUnicode_1BYTE_DATA(s), n);
  } else if (PyUnicode_KIND(s) == PyUnicode_2BYTE_KIND) {
    counted = utf8_size_of(PyUnicode_2BYTE_DATA(s), n);
  } else {
    counted = utf8_size_of(PyUnicode_4BYTE_DATA(s), n);
  }
  if (!counted) return false;
  obj = borrow(s);
  size = *counted;
  return true;
}

bool HeldText::load(uint64_t limit) {
  if (size > limit || bytes.data()) return true;
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(obj.ptr(), &n);
  if (!p) return false;
  bytes = std::string_view(p, static_cast<size_t>(n));
  return true;
}

using HeldPair = std::pair<HeldText, HeldText>;

bool meta_arg(PyObject* obj, std::vector<HeldPair>& out) {
  Ref items = steal(PyObject_CallMethod(obj, "items", nullptr));
  Ref it = items ? steal(PyObject_GetIter(items.ptr())) : Ref();
  bool ok = static_cast<bool>(it);
  while (ok) {
    Ref item = steal(PyIter_Next(it.ptr()));
    if (!item) break;
    HeldPair pair;
    ok = PyTuple_Check(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2 &&
         pair.first.hold(PyTuple_GET_ITEM(item.ptr(), 0)) && pair.second.hold(PyTuple_GET_ITEM(item.ptr(), 1));
    if (ok) out.push_back(std::move(pair));
  }
  if (ok && !PyErr_Occurred()) return true;
  PyErr_Clear();
  PyErr_SetString(PyExc_ValueError, "meta must be a mapping of str to str");
  return false;
}

// A text of `changes`, held; a refused one raises as text_arg would have (the note included).
bool change_text(PyObject* obj, HeldText& out) {
  if (out.hold(obj)) return true;
  std::string unused;
  if (text_arg(obj, "changes", unused)) {  // it has a UTF-8 form after all: say so rather than pass it
    PyErr_SetString(PyExc_SystemError, "a str that has a UTF-8 form was refused");
  }
  return false;
}

struct HeldChange {
  HeldText key;
  std::optional<HeldText> value;  // none: remove the key
};

// The changes of a dict, held. `plain` tells whether every key is an exact str: the keys are
// then distinct texts, which only str subclasses (with their own equality) can break.
bool changes_arg(PyObject* dict, std::vector<HeldChange>& out, bool& plain) {
  bool ok = true;
  plain = true;
  Py_ssize_t pos = 0;
  PyObject *k = nullptr, *v = nullptr;
  CriticalSection held(dict);
  while (ok && PyDict_Next(dict, &pos, &k, &v)) {
    Ref key = borrow(k), value = borrow(v);
    HeldChange c;
    ok = change_text(key.ptr(), c.key);
    plain = plain && PyUnicode_CheckExact(key.ptr());
    if (ok && value.ptr() != Py_None) {
      if (!PyUnicode_Check(value.ptr())) {
        auto text = utf8_of(key.ptr());
        std::string msg = "meta value for " + debug_quoted(text ? *text : std::string_view()) + " must be a str or None";
        PyErr_SetString(PyExc_ValueError, msg.c_str());
        ok = false;
      } else {
        ok = change_text(value.ptr(), c.value.emplace());
      }
    }
    if (ok) out.push_back(std::move(c));
  }
  return ok;
}

bool key_arg(PyObject* obj, std::optional<proto::Key>& out) {
  out = config::parse_key(obj);
  if (out) return true;
  PyErr_SetString(PyExc_ValueError, "a key must be 32 bytes, or base64 text of 32 bytes");
  return false;
}

}  // namespace

}  // namespace vennock::py::node

namespace vennock::py::node {

namespace {

// ---- Node: start ----

const config::Fields* config_arg(PyObject* cfg) {
  PyObject* t = config::type();
  if (!t) return nullptr;
  if (!PyObject_TypeCheck(cfg, reinterpret_cast<PyTypeObject*>(t))) {
    not_instance(cfg, "Config", "cfg");
    return nullptr;
  }
  return &config::fields_of(cfg);
}

// Marks a started node as taken by its caller (from the future of Node.start).
PyObject* claim(PyObject*, PyObject* node) {
  PyObject* t = node_type();
  if (!t) return nullptr;
  if (PyObject_TypeCheck(node, reinterpret_cast<PyTypeObject*>(t))) as_node(node)->v.held = true;
  Py_RETURN_NONE;
}
PyMethodDef claim_def = {"_vennock_claim", claim, METH_O, nullptr};

// vennock._start.carry and the claim it is given, made once and kept for the life of the process.
bool carry_parts(PyObject*& carry, PyObject*& claimer) {
  static std::atomic<PyObject*> cached_carry{nullptr}, cached_claim{nullptr};
  carry = cached_carry.load(std::memory_order_acquire);
  claimer = cached_claim.load(std::memory_order_acquire);
  if (carry && claimer) return true;
  Ref module = steal(PyImport_ImportModule("vennock._start"));
  Ref fn = module ? steal(PyObject_GetAttrString(module.ptr(), "carry")) : Ref();
  Ref made = fn ? steal(PyCFunction_New(&claim_def, nullptr)) : Ref();
  if (!made) return false;
  PyObject* expected = nullptr;
  if (cached_carry.compare_exchange_strong(expected, fn.ptr())) fn.release();
  expected = nullptr;
  if (cached_claim.compare_exchange_strong(expected, made.ptr())) made.release();
  carry = cached_carry.load(std::memory_order_acquire);
  claimer = cached_claim.load(std::memory_order_acquire);
  return true;
}

// The future Node.start returns: it takes the outcome of `inner` and marks the node as taken
// when its result is read, so that a node nobody took stops without the drop warning. Should
// it not be made, the start is cancelled: nothing goes on for a caller who never hears of it.
PyObject* carried_start(PyObject* carry, PyObject* claimer, Ref inner) {
  PyObject* outer = PyObject_CallFunctionObjArgs(carry, inner.ptr(), claimer, nullptr);
  if (!outer) {
    Ref failure = steal(PyErr_GetRaisedException());
    Ref cancelled = steal(PyObject_CallMethod(inner.ptr(), "cancel", nullptr));
    set_pending(std::move(failure));
  }
  return outer;
}

PyObject* node_start(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"cfg", nullptr};
  PyObject* cfg = nullptr;
  if (!parse(args, kwargs, "O:start", kw, &cfg)) return nullptr;
  const config::Fields* f = config_arg(cfg);
  if (!f) return nullptr;
  Reply<Prepared> prepared = prepare(*f);
  net::Runtime* rt = runtime_or_raise(f->runtime_threads);
  PyObject *carry = nullptr, *claimer = nullptr;
  if (!rt || !carry_parts(carry, claimer)) return nullptr;
  Ref inner = steal(awaitable(*rt, start(rt, std::move(prepared))));
  if (!inner) return nullptr;
  return carried_start(carry, claimer, std::move(inner));
}

PyObject* node_start_blocking(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"cfg", "timeout", nullptr};
  PyObject *cfg = nullptr, *timeout = nullptr;
  std::optional<double> secs;
  if (!parse(args, kwargs, "O|O:start_blocking", kw, &cfg, &timeout)) return nullptr;
  const config::Fields* f = config_arg(cfg);
  if (!f || !optional_seconds(timeout, secs)) return nullptr;
  Reply<Prepared> prepared = prepare(*f);
  net::Runtime* rt = runtime_or_raise(f->runtime_threads);
  std::optional<core::Duration> limit;
  if (!rt || !checked_limit(secs, limit)) return nullptr;
  return block_on(*rt, start(rt, std::move(prepared)), limit);
}

// ---- Node: queries ----

PyObject* node_members(PyObject* self, PyObject*) {
  auto in = checked(self);
  return in ? list_of(in->membership.members(), member_tuple).release().ptr() : nullptr;
}

PyObject* node_member(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"name", nullptr};
  PyObject* name = nullptr;
  std::string text;
  if (!parse(args, kwargs, "O:member", kw, &name) || !text_arg(name, "name", text)) return nullptr;
  auto in = checked(self);
  if (!in) return nullptr;
  auto m = in->membership.member(text);
  if (!m) Py_RETURN_NONE;
  return member_tuple(*m).release().ptr();
}

PyObject* node_local(PyObject* self, PyObject*) {
  auto in = checked(self);
  return in ? member_tuple(in->membership.local()).release().ptr() : nullptr;
}

PyObject* node_local_addr(PyObject* self, PyObject*) {
  auto in = checked(self);
  return in ? text(net::addr_text(in->membership.local_addr())).release().ptr() : nullptr;
}

PyObject* node_is_closed(PyObject* self, PyObject*) {
  auto in = checked(self);
  // A stopped runtime (after the interpreter's end) will never run the node again.
  return in ? PyBool_FromLong(in->membership.is_closed() || in->rt->stopped()) : nullptr;
}

PyObject* node_stats(PyObject* self, PyObject*) {
  auto in = checked(self);
  if (!in) return nullptr;
  net::Stats s = in->membership.stats();
  s.counters.user_messages_too_large += in->refused_too_large.load(std::memory_order_relaxed);
  return stats_dict(s).release().ptr();
}

PyObject* node_key_ids(PyObject* self, PyObject*) {
  auto in = checked(self);
  if (!in) return nullptr;
  return list_of(in->membership.keyring().key_ids(), [](const proto::KeyId& id) { return text(id.hex()); })
      .release()
      .ptr();
}

PyObject* node_events(PyObject* self, PyObject*) {
  auto in = checked(self);
  if (!in) return nullptr;
  PyObject* t = event_sub_type();
  if (!t) return nullptr;
  // Made before the object: a failed allocation (MemoryError) then leaves no object behind.
  auto reader = std::make_shared<Reader>(in->membership.events());
  PyObject* obj = g_sub->tp_alloc(g_sub, 0);
  if (!obj) return nullptr;
  new (&as_sub(obj)->reader) std::shared_ptr<Reader>(std::move(reader));
  as_sub(obj)->generation = as_node(self)->v.generation;
  return obj;
}

// ---- Node: operations ----

PyObject* node_join_impl(PyObject* self, PyObject* args, PyObject* kwargs, bool blocking) {
  static constexpr Keywords kw("|O:join", "|OO:join_blocking", "seeds");
  PyObject *seeds = nullptr, *timeout = nullptr;
  std::optional<std::vector<std::string>> texts;
  std::optional<std::vector<net::Seed>> parsed;
  std::optional<double> secs;
  if (!kw.parse(args, kwargs, blocking, &seeds, &timeout)) return nullptr;
  if (!seed_texts(seeds, texts) || !optional_seconds(timeout, secs) || !parse_seeds(texts, parsed)) return nullptr;
  return dispatch(self, blocking, secs, [parsed = std::move(parsed)](std::shared_ptr<Inner> in) mutable {
    return join(std::move(in), std::move(parsed));
  });
}
PyObject* node_join(PyObject* s, PyObject* a, PyObject* k) { return node_join_impl(s, a, k, false); }
PyObject* node_join_blocking(PyObject* s, PyObject* a, PyObject* k) { return node_join_impl(s, a, k, true); }

PyObject* node_send_impl(PyObject* self, PyObject* args, PyObject* kwargs, bool blocking) {
  static constexpr Keywords kw("OOO:send", "OOO|O:send_blocking", "name", "epoch", "data");
  PyObject *name = nullptr, *epoch = nullptr, *data = nullptr, *timeout = nullptr;
  if (!kw.parse(args, kwargs, blocking, &name, &epoch, &data, &timeout)) return nullptr;
  std::string target;
  uint64_t e = 0;
  Data bytes;
  std::optional<double> secs;
  if (!text_arg(name, "name", target) || !epoch_arg(epoch, e) || !bytes.take(data) || !optional_seconds(timeout, secs))
    return nullptr;
  auto make = [&target, e, &bytes](std::shared_ptr<Inner> in) {
    if (bytes.size() > in->max_user_message) return too_large(std::move(in));
    return send(std::move(in), std::move(target), e, bytes.copy());
  };
  return dispatch(self, blocking, secs, std::move(make));
}
PyObject* node_send(PyObject* s, PyObject* a, PyObject* k) { return node_send_impl(s, a, k, false); }
PyObject* node_send_blocking(PyObject* s, PyObject* a, PyObject* k) { return node_send_impl(s, a, k, true); }

PyObject* node_broadcast_impl(PyObject* self, PyObject* args, PyObject* kwargs, bool blocking) {
  static constexpr Keywords kw("O:broadcast", "O|O:broadcast_blocking", "data");
  PyObject *data = nullptr, *timeout = nullptr;
  if (!kw.parse(args, kwargs, blocking, &data, &timeout)) return nullptr;
  Data bytes;
  std::optional<double> secs;
  if (!bytes.take(data) || !optional_seconds(timeout, secs)) return nullptr;
  return dispatch(self, blocking, secs, [&bytes](std::shared_ptr<Inner> in) {
    if (bytes.size() > in->max_user_broadcast) return too_large(std::move(in));
    return broadcast(std::move(in), bytes.copy());
  });
}
PyObject* node_broadcast(PyObject* s, PyObject* a, PyObject* k) { return node_broadcast_impl(s, a, k, false); }
PyObject* node_broadcast_blocking(PyObject* s, PyObject* a, PyObject* k) {
  return node_broadcast_impl(s, a, k, true);
}

using Body = net::Task<Reply<std::monostate>>;

// A change's body, its place in meta_lock's queue taken now, on the calling thread: changes
// are applied in the order of the calls, however the runtime's threads pick up their tasks.
template <class Op, class Arg>
Body in_turn(std::shared_ptr<Inner> in, Op op, Arg arg) {
  net::AsyncMutex::Place place = in->meta_lock.enqueue();
  return op(MetaTurn{std::move(in), std::move(place)}, std::move(arg));
}

// set_meta's pairs encoded at the call, reading no text beyond the pair that takes them past
// the node's limit: what does not fit is refused before anything of it is copied.
std::optional<Body> set_meta_body(std::shared_ptr<Inner> in, std::vector<HeldPair>& held) {
  const uint64_t limit = in->max_meta_bytes;
  std::vector<config::MetaPair> texts;
  uint64_t total = 0;
  for (auto& [k, v] : held) {
    if (!k.load(limit) || !v.load(limit)) return std::nullopt;
    texts.push_back({{k.size, k.bytes}, {v.size, v.bytes}});
    uint64_t need = config::tag_size(k.size, v.size);
    total = config::sat_add(total, need);
    if (total > limit) break;  // the encoding stops here, or before
  }
  Reply<proto::Bytes> meta = encoded(texts, limit);
  if (!meta) return refusal(std::move(in), std::move(meta.error()));
  return in_turn(std::move(in), set_meta, std::move(meta.value()));
}

// What the changes are refused for whatever metadata the node holds: a set of an empty key, or
// sets that by themselves cannot be encoded within `limit` (a key set is in the result). Only
// for distinct keys: a str subclass could make two keys one text.
std::optional<KError> certain_refusal(const std::vector<HeldChange>& held, uint64_t limit) {
  uint64_t least = 0;
  for (const auto& c : held) {
    if (!c.value) continue;
    if (c.key.size == 0) return KError(kerror::BadArgument{"meta", config::meta_reason(config::MetaProblem::EmptyKey)});
    uint64_t need = config::tag_size(c.key.size, c.value->size);
    least = config::sat_add(least, need);
    if (least > limit) return KError(kerror::Net{net::Error(net::ErrorCode::MetaTooLarge)});
  }
  return std::nullopt;
}

// update_meta's changes checked at the call, at a cost linear in them: a change that cannot fit
// is refused at once, and no text larger than the limit is ever copied.
std::optional<Body> update_meta_body(std::shared_ptr<Inner> in, std::vector<HeldChange>& held, bool plain) {
  const uint64_t limit = plain ? in->max_meta_bytes : UINT64_MAX;  // otherwise each text is needed whole
  if (plain) {
    if (auto refused = certain_refusal(held, limit)) return refusal(std::move(in), std::move(*refused));
  }
  std::vector<Change> changes;
  for (auto& c : held) {
    // Longer than the limit, a key names no pair the node holds: removing it changes nothing.
    // (A set of one was refused above.)
    if (c.key.size > limit) continue;
    if (!c.key.load(limit) || (c.value && !c.value->load(limit))) return std::nullopt;
    Change& change = changes.emplace_back(std::string(c.key.bytes), std::nullopt);
    if (c.value) change.second.emplace(c.value->bytes);
  }
  return in_turn(std::move(in), update_meta, std::move(changes));
}

PyObject* node_set_meta_impl(PyObject* self, PyObject* args, PyObject* kwargs, bool blocking) {
  static constexpr Keywords kw("O:set_meta", "O|O:set_meta_blocking", "meta");
  PyObject *meta = nullptr, *timeout = nullptr;
  if (!kw.parse(args, kwargs, blocking, &meta, &timeout)) return nullptr;
  std::optional<double> secs;
  std::vector<HeldPair> pairs;
  if (!optional_seconds(timeout, secs) || !meta_arg(meta, pairs)) return nullptr;
  return dispatch(self, blocking, secs, [&pairs](std::shared_ptr<Inner> in) { return set_meta_body(std::move(in), pairs); });
}
PyObject* node_set_meta(PyObject* s, PyObject* a, PyObject* k) { return node_set_meta_impl(s, a, k, false); }
PyObject* node_set_meta_blocking(PyObject* s, PyObject* a, PyObject* k) { return node_set_meta_impl(s, a, k, true); }

PyObject* node_update_meta_impl(PyObject* self, PyObject* args, PyObject* kwargs, bool blocking) {
  static constexpr Keywords kw("O:update_meta", "O|O:update_meta_blocking", "changes");
  PyObject *changes = nullptr, *timeout = nullptr;
  if (!kw.parse(args, kwargs, blocking, &changes, &timeout)) return nullptr;
  if (!PyDict_Check(changes)) {
    not_instance(changes, "dict", "changes");
    return nullptr;
  }
  std::optional<double> secs;
  std::vector<HeldChange> list;
  bool plain = true;
  if (!optional_seconds(timeout, secs) || !changes_arg(changes, list, plain)) return nullptr;
  return dispatch(self, blocking, secs,
                  [&list, plain](std::shared_ptr<Inner> in) { return update_meta_body(std::move(in), list, plain); });
}
PyObject* node_update_meta(PyObject* s, PyObject* a, PyObject* k) { return node_update_meta_impl(s, a, k, false); }
PyObject* node_update_meta_blocking(PyObject* s, PyObject* a, PyObject* k) {
  return node_update_meta_impl(s, a, k, true);
}

PyObject* node_key_impl(PyObject* self, PyObject* args, PyObject* kwargs, KeyChange kind, bool blocking) {
  static constexpr Keywords<1> kws[] = {Keywords("O:key_install", "O|O:key_install_blocking", "key"),
                                     Keywords("O:key_use", "O|O:key_use_blocking", "key"),
                                     Keywords("O:key_remove", "O|O:key_remove_blocking", "key")};
  PyObject *key = nullptr, *timeout = nullptr;
  if (!kws[static_cast<size_t>(kind)].parse(args, kwargs, blocking, &key, &timeout)) return nullptr;
  std::optional<double> secs;
  std::optional<proto::Key> k;
  if (!optional_seconds(timeout, secs) || !key_arg(key, k)) return nullptr;
  return dispatch(self, blocking, secs, [k = std::move(k), kind](std::shared_ptr<Inner> in) mutable {
    return change_key(std::move(in), std::move(*k), kind);
  });
}
template <KeyChange K, bool B>
PyObject* node_key(PyObject* s, PyObject* a, PyObject* k) {
  return node_key_impl(s, a, k, K, B);
}

// The argument phase of leave and shutdown, whose one `timeout` is required and bounds the
// leave itself: the node's shared state with the checked duration, or null with the error pending.
std::shared_ptr<Inner> leave_args(PyObject* self, PyObject* args, PyObject* kwargs, const char* format,
                                  core::Duration& d) {
  static const char* kw[] = {"timeout", nullptr};
  PyObject* timeout = nullptr;
  if (!parse(args, kwargs, format, kw, &timeout)) return nullptr;
  auto secs = seconds_arg(timeout, "timeout");
  if (!secs) return nullptr;
  auto in = checked(self);
  if (!in || !checked_limit(*secs, d)) return nullptr;
  return in;
}

PyObject* node_leave_impl(PyObject* self, PyObject* args, PyObject* kwargs, bool blocking) {
  core::Duration d;
  auto in = leave_args(self, args, kwargs, blocking ? "O:leave_blocking" : "O:leave", d);
  if (!in) return nullptr;
  auto body = leave(std::move(in), d);
  return blocking ? run_blocking(std::move(body), std::nullopt) : run(std::move(body));
}
PyObject* node_leave(PyObject* s, PyObject* a, PyObject* k) { return node_leave_impl(s, a, k, false); }
PyObject* node_leave_blocking(PyObject* s, PyObject* a, PyObject* k) { return node_leave_impl(s, a, k, true); }

PyObject* node_close(PyObject* self, PyObject*) {
  auto in = checked(self);
  net::Runtime* rt = in ? runtime_or_raise() : nullptr;
  if (!rt) return nullptr;
  // Spawned before the awaitable is made: the node closes even when making that fails.
  auto task = rt->spawn(close_task(std::move(in)));
  return awaitable(*rt, joined(std::move(task)));
}

PyObject* node_close_blocking(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"timeout", nullptr};
  PyObject* timeout = nullptr;
  std::optional<double> secs;
  if (!parse(args, kwargs, "|O:close_blocking", kw, &timeout) || !optional_seconds(timeout, secs)) return nullptr;
  auto in = checked(self);
  std::optional<core::Duration> limit;
  if (!in || !checked_limit(secs, limit)) return nullptr;
  return run_blocking(close_body(std::move(in)), limit);
}

PyObject* node_shutdown_impl(PyObject* self, PyObject* args, PyObject* kwargs, bool blocking) {
  core::Duration d;
  auto in = leave_args(self, args, kwargs, blocking ? "O:shutdown_blocking" : "O:shutdown", d);
  if (!in) return nullptr;
  net::Runtime* rt = runtime_or_raise();
  if (!rt) return nullptr;
  auto task = rt->spawn(shutdown(std::move(in), d));
  auto body = joined(std::move(task));
  return blocking ? block_on(*rt, std::move(body)) : awaitable(*rt, std::move(body));
}
PyObject* node_shutdown(PyObject* s, PyObject* a, PyObject* k) { return node_shutdown_impl(s, a, k, false); }
PyObject* node_shutdown_blocking(PyObject* s, PyObject* a, PyObject* k) {
  return node_shutdown_impl(s, a, k, true);
}

// ---- EventSub ----

// Whether an awaited read's loop will not run again for it: closed; stopped, with the thread
// that ran it gone (the interpreter has forgotten it); or another thread's once the exit has
// begun, which leaves that thread behind. A read whose result went to a loop that has gone
// since went with it (given back as its loop let it go). 1 gone, 0 not, -1 with the error
// pending.
int loop_gone(const Reader::Awaited& a) {
  if (left_behind(a.thread.ident)) return 1;
  Ref loop = a.call ? a.call->loop : a.handoff ? a.handoff->loop() : Ref();
  if (!loop) return 0;
  Ref closed = steal(PyObject_CallMethod(loop.ptr(), "is_closed", nullptr));
  if (!closed) return -1;
  if (closed.ptr() == Py_True) return 1;
  if (!a.thread.alive.expired()) return 0;
  Ref running = steal(PyObject_CallMethod(loop.ptr(), "is_running", nullptr));
  if (!running) return -1;
  return running.ptr() == Py_False ? 1 : 0;
}

// The one judge of the awaited reads of a subscription, which every read asks before it takes
// or waits: a read whose loop will not run again (loop_gone) is given up, whatever thread made
// it and whether it still waits (its operation ends, and gives back its place and any event it
// takes) or its result is on its way to the loop (taken back at once: the event to the front,
// then the lock). The reads that remain go to `remaining`; false with the error pending.
bool give_up_gone(Reader& r, std::vector<Reader::Awaited>* remaining) {
  for (Reader::Awaited& a : r.awaited()) {
    int gone = loop_gone(a);
    if (gone < 0) return false;
    if (gone == 0) {
      if (remaining) remaining->push_back(std::move(a));
      continue;
    }
    if (a.call) bridge::given_up(a.call);
    // Looked for after the call was given up: either the hand-over is found here, or it finds
    // the call unwanted (bridge::deliver).
    if (auto h = r.handoff_of(a.id)) h->give_back();
  }
  return true;
}

// A read that finishes at the call: an event already queued (or the end), with no other read
// under way. None when it would have to wait. For a thread the exit leaves behind the
// subscription has ended: what is queued is left to the thread running the exit. Every read
// begins here, after the awaited reads whose loop is gone are given up; those that remain go to
// `remaining` when asked for.
std::optional<Reply<ReadLease>> read_at_once(SubObject* s, std::vector<Reader::Awaited>* remaining = nullptr) {
  using Kind = net::events::Received::Kind;
  if (!may_use_runtime()) {
    ReadLease ended(s->reader);
    ended.took(net::events::Received{Kind::Closed, std::nullopt});
    return Reply<ReadLease>(std::move(ended));
  }
  if (!give_up_gone(*s->reader, remaining)) return Reply<ReadLease>(err(KError::fetch()));
  auto guard = s->reader->lock.try_lock();
  if (!guard) return std::nullopt;
  net::events::Received r = s->reader->events.next();
  if (r.kind == Kind::Empty) return std::nullopt;
  if (r.kind == Kind::Closed && s->reader->events.failed()) return Reply<ReadLease>(err(KError(kerror::Failed{})));
  ReadLease out(s->reader);
  out.hold(std::move(*guard));  // before the event: a lease always puts its event back locked
  out.took(std::move(r));
  return Reply<ReadLease>(std::move(out));
}

PyObject* sub_try_next(PyObject* self, PyObject*) {
  SubObject* s = as_sub(self);
  if (!same_process(s->generation)) return nullptr;
  // Never waits: a busy subscription, an empty one and an ended one (even one that ended on a
  // failure) all answer None.
  auto r = read_at_once(s);
  if (r && !*r && r->error().is<kerror::Py>()) return raise(std::move(r->error()));
  if (!r || !*r) Py_RETURN_NONE;
  return handed_value(r->value()).release().ptr();
}

// A read finished at the call, set on a future of the caller's loop: it comes back done,
// without a trip through the runtime. No running loop: the event goes back.
PyObject* read_at_once_future(Reply<ReadLease> r) {
  Ref fut = new_future();
  if (!fut) return nullptr;
  if (!r) return set_future(fut, exception_of(std::move(r.error())), true) ? fut.release().ptr() : nullptr;
  ReadLease& lease = r.value();
  if (!set_future(fut, lease.value(), false)) return nullptr;  // the lease gives its event back as it goes
  lease.handed();
  return fut.release().ptr();
}

PyObject* sub_next(PyObject* self, PyObject*) {
  SubObject* s = as_sub(self);
  if (!same_process(s->generation)) return nullptr;
  if (auto r = read_at_once(s)) {
    if (!*r && r->error().is<kerror::Py>()) return raise(std::move(r->error()));
    return read_at_once_future(std::move(*r));
  }
  net::Runtime* rt = runtime_or_raise();
  if (!rt) return nullptr;
  if (rt->stopped()) return closed_future();
  auto call = bridge::new_call<ReadLease>(bridge::OnExit::End);
  if (!call) return nullptr;
  ReadTurn turn{s->reader, s->reader->lock.enqueue()};
  LoopMark mark(s->reader, call);
  return bridge::start(*rt, std::move(call), next(std::move(turn), std::nullopt, std::move(mark)));
}

const char kBlockedLoop[] =
    "next_blocking() would block the event loop that an awaited next() of this subscription needs; await next() "
    "instead";

// Whether one of the awaited reads that remain (their loops may run again) stands in the way of
// a blocking read on this thread: one made on this thread, or living on its running loop, can
// only be delivered when this thread runs that loop. -1 with the error pending.
int awaited_in_the_way(const std::vector<Reader::Awaited>& remaining) {
  if (remaining.empty()) return 0;
  Ref loop = running_loop();
  if (!loop) return -1;
  const void* running = loop.ptr() != Py_None ? loop.ptr() : nullptr;
  uint64_t me = thread_mark();
  for (const Reader::Awaited& a : remaining) {
    if (a.thread.mark == me || (running && a.loop == running)) return 1;
  }
  return 0;
}

PyObject* sub_next_blocking(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"timeout", nullptr};
  PyObject* timeout = nullptr;
  std::optional<double> secs;
  if (!parse(args, kwargs, "|O:next_blocking", kw, &timeout) || !optional_seconds(timeout, secs)) return nullptr;
  SubObject* s = as_sub(self);
  std::optional<core::Duration> limit;
  if (!same_process(s->generation) || !checked_limit(secs, limit)) return nullptr;
  std::vector<Reader::Awaited> remaining;
  if (auto r = read_at_once(s, &remaining)) {
    if (!*r) return raise(std::move(r->error()));
    return handed_value(r->value()).release().ptr();
  }
  int in_the_way = awaited_in_the_way(remaining);
  if (in_the_way != 0) {
    if (in_the_way > 0) PyErr_SetString(PyExc_RuntimeError, kBlockedLoop);
    return nullptr;
  }
  net::Runtime* rt = runtime_or_raise();
  if (!rt) return nullptr;
  // The timeout belongs to the read (it gives False), not to the bridge.
  ReadTurn turn{s->reader, s->reader->lock.enqueue()};
  return bridge::wait(*rt, next(std::move(turn), limit), std::nullopt, bridge::OnExit::End);
}

}  // namespace

}  // namespace vennock::py::node

namespace vennock::py::node {

Ref to_python(Started&& s, Form form) {
  PyObject* t = node_type();
  PyObject* obj = t ? g_node->tp_alloc(g_node, 0) : nullptr;
  if (!obj) return Ref();  // `s` releases the node by the creating-process rule
  Started* v = new (&as_node(obj)->v) Started(std::move(s));
  // A blocking start returns it to its caller; an awaitable's result may never be taken (see
  // carried_start).
  v->held = form == Form::Blocking;
  return steal(obj);
}


Ref handed_value(ReadLease& r) {
  Ref v = r.value();
  if (v) r.handed();
  return v;
}

Ref to_python(ReadLease&& r, Form) {
  // A signal that came during the wait, with the event in the same slice (Ctrl-C while
  // next_blocking waits), has not been handled yet: its exception goes up now and the event
  // stays, where Python would have raised it the moment the call returned and lost the event.
  if (PyErr_CheckSignals() < 0) return Ref();
  return handed_value(r);
}

bridge::Delivery delivery(ReadLease&& r) {
  struct Kept final : bridge::Pending {
    std::shared_ptr<Handoff> handoff;
    std::optional<ReadLease> taken;  // by the setter
    explicit Kept(std::shared_ptr<Handoff> h) : handoff(std::move(h)) {}
    ~Kept() override { handoff->give_back(); }  // never set: the event goes back, then the lock
    bool take() override {
      if (auto l = handoff->take()) taken.emplace(std::move(*l));
      return taken.has_value();
    }
    void settle(bool delivered) override {
      if (taken && delivered) taken->handed();
      taken.reset();  // not delivered: the event goes back to the front, then the lock goes
    }
    void on_its_way(PyObject* loop) override { handoff->on_its_way(loop, handoff); }
  };
  Ref value = r.value();
  auto handoff = std::make_shared<Handoff>(std::move(r));
  return bridge::Delivery{std::move(value), std::make_unique<Kept>(std::move(handoff))};
}

namespace {

void node_dealloc(PyObject* self) {
  as_node(self)->v.~Started();
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

void sub_dealloc(PyObject* self) {
  SubObject* s = as_sub(self);
  // Inherited through fork, the reader is forgotten (never released): the parent's
  // subscription, whose locks the parent's threads may have held at the fork, is not touched.
  if (s->generation == net::lifecycle::generation()) s->reader.~shared_ptr();
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

constexpr int kArgs = METH_VARARGS | METH_KEYWORDS;

PyMethodDef kNodeMethods[] = {
    {"start", entry<node_start>(), kArgs | METH_STATIC,
     "start(cfg)\n--\n\nValidates `cfg`, binds, starts the node and joins `cfg.seeds`. Resolves to a `Node`."},
    {"start_blocking", entry<node_start_blocking>(), kArgs | METH_STATIC, "start_blocking(cfg, timeout=None)\n--\n\n"},
    {"join", entry<node_join>(), kArgs, "join($self, seeds=None)\n--\n\n"},
    {"join_blocking", entry<node_join_blocking>(), kArgs, "join_blocking($self, seeds=None, timeout=None)\n--\n\n"},
    {"members", entry<node_members>(), METH_NOARGS, "members($self)\n--\n\n"},
    {"member", entry<node_member>(), kArgs, "member($self, name)\n--\n\n"},
    {"local", entry<node_local>(), METH_NOARGS, "local($self)\n--\n\n"},
    {"local_addr", entry<node_local_addr>(), METH_NOARGS,
     "local_addr($self)\n--\n\nThe address UDP and TCP are bound to."},
    {"stats", entry<node_stats>(), METH_NOARGS, "stats($self)\n--\n\n"},
    {"events", entry<node_events>(), METH_NOARGS, "events($self)\n--\n\nA new subscription, starting now."},
    {"set_meta", entry<node_set_meta>(), kArgs, "set_meta($self, meta)\n--\n\n"},
    {"set_meta_blocking", entry<node_set_meta_blocking>(), kArgs,
     "set_meta_blocking($self, meta, timeout=None)\n--\n\n"},
    {"update_meta", entry<node_update_meta>(), kArgs, "update_meta($self, changes)\n--\n\n"},
    {"update_meta_blocking", entry<node_update_meta_blocking>(), kArgs,
     "update_meta_blocking($self, changes, timeout=None)\n--\n\n"},
    {"send", entry<node_send>(), kArgs,
     "send($self, name, epoch, data)\n--\n\nSends `data` to the member `name` at its life `epoch`, or whichever life "
     "this node holds\nwith 0. Resolves once it is on its way."},
    {"send_blocking", entry<node_send_blocking>(), kArgs,
     "send_blocking($self, name, epoch, data, timeout=None)\n--\n\n"},
    {"broadcast", entry<node_broadcast>(), kArgs,
     "broadcast($self, data)\n--\n\nQueues `data` to be gossiped to every member. Resolves once it is queued."},
    {"broadcast_blocking", entry<node_broadcast_blocking>(), kArgs,
     "broadcast_blocking($self, data, timeout=None)\n--\n\n"},
    {"leave", entry<node_leave>(), kArgs,
     "leave($self, timeout)\n--\n\nResolves to `True` if the leave ran out of time."},
    {"leave_blocking", entry<node_leave_blocking>(), kArgs, "leave_blocking($self, timeout)\n--\n\n"},
    {"close", entry<node_close>(), METH_NOARGS,
     "close($self)\n--\n\nCloses the node; it finishes even if the awaiting task is cancelled."},
    {"close_blocking", entry<node_close_blocking>(), kArgs, "close_blocking($self, timeout=None)\n--\n\n"},
    {"shutdown", entry<node_shutdown>(), kArgs,
     "shutdown($self, timeout)\n--\n\nLeaves with `timeout`, then closes; both finish even if the awaiting task is "
     "cancelled.\nResolves to `True` if the leave ran out of time."},
    {"shutdown_blocking", entry<node_shutdown_blocking>(), kArgs, "shutdown_blocking($self, timeout)\n--\n\n"},
    {"is_closed", entry<node_is_closed>(), METH_NOARGS, "is_closed($self)\n--\n\n"},
    {"key_install", entry<node_key<KeyChange::Install, false>>(), kArgs, "key_install($self, key)\n--\n\n"},
    {"key_use", entry<node_key<KeyChange::Use, false>>(), kArgs, "key_use($self, key)\n--\n\n"},
    {"key_remove", entry<node_key<KeyChange::Remove, false>>(), kArgs, "key_remove($self, key)\n--\n\n"},
    {"key_install_blocking", entry<node_key<KeyChange::Install, true>>(), kArgs,
     "key_install_blocking($self, key, timeout=None)\n--\n\n"},
    {"key_use_blocking", entry<node_key<KeyChange::Use, true>>(), kArgs,
     "key_use_blocking($self, key, timeout=None)\n--\n\n"},
    {"key_remove_blocking", entry<node_key<KeyChange::Remove, true>>(), kArgs,
     "key_remove_blocking($self, key, timeout=None)\n--\n\n"},
    {"key_ids", entry<node_key_ids>(), METH_NOARGS,
     "key_ids($self)\n--\n\nIds of the installed keys, the one in use first, as 8 hex characters each."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kSubMethods[] = {
    {"try_next", entry<sub_try_next>(), METH_NOARGS,
     "try_next($self)\n--\n\nThe next queued event, or `None` if none is queued or another reader is waiting."},
    {"next", entry<sub_next>(), METH_NOARGS,
     "next($self)\n--\n\nResolves to the next event, or `None` once the node has closed. Raises `VennockClosed`\nif "
     "the node stopped on an internal error."},
    {"next_blocking", entry<sub_next_blocking>(), kArgs,
     "next_blocking($self, timeout=None)\n--\n\nThe next event, `None` once the node has closed, or `False` after "
     "`timeout` seconds\nwith no event."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kNodeSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(node_dealloc)},
    {Py_tp_methods, kNodeMethods},
    {Py_tp_doc, const_cast<char*>("A running node. Created by `Node.start` or `Node.start_blocking`.")},
    {0, nullptr},
};
PyType_Slot kSubSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(sub_dealloc)},
    {Py_tp_methods, kSubMethods},
    {Py_tp_doc, const_cast<char*>("One subscription to a node's events.")},
    {0, nullptr},
};

// Final classes that Python code cannot instantiate: only a start and events() make them.
constexpr unsigned kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
PyType_Spec kNodeSpec = {"vennock._vennock.Node", sizeof(NodeObject), 0, kFlags, kNodeSlots};
PyType_Spec kSubSpec = {"vennock._vennock.EventSub", sizeof(SubObject), 0, kFlags, kSubSlots};

}  // namespace

PyObject* node_type() {
  if (!g_node) g_node = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kNodeSpec));
  return reinterpret_cast<PyObject*>(g_node);
}

PyObject* event_sub_type() {
  if (!g_sub) g_sub = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kSubSpec));
  return reinterpret_cast<PyObject*>(g_sub);
}

}  // namespace vennock::py::node
