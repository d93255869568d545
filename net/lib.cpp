#include "net/lib.hpp"

#include <sodium.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "net/epoch.hpp"
#include "net/log.hpp"

namespace vennock::net {

namespace {
const char* const kTarget = "vennock_net";
}

SocketAddr Settings::lan_bind() {
  SocketAddr a;
  a.port = 7946;
  return a;
}

Settings Settings::local() {
  Settings s;
  s.name = default_name();
  s.bind.ip = {127, 0, 0, 1};
  s.config.probe_interval = core::Duration::from_millis(200);
  s.config.probe_timeout = core::Duration::from_millis(100);
  s.config.gossip_interval = core::Duration::from_millis(200);
  s.config.push_pull_interval = core::Duration::from_secs(15);
  s.config.suspicion_mult = 3;
  s.config.tcp_fallback_ping = false;
  return s;
}

std::vector<Seed> all_seeds(const Settings& s) {
  std::vector<Seed> out;
  out.reserve(s.seed_addrs.size() + s.seed_hosts.size());
  for (const auto& a : s.seed_addrs) out.push_back(Seed::addr(a));
  for (const auto& h : s.seed_hosts) out.push_back(h);
  return out;
}

// ---- reads --------------------------------------------------------------------------------

Member Membership::local() const { return in_->snapshot()->members.front(); }

std::optional<Member> Membership::member(std::string_view name) const {
  auto s = in_->snapshot();
  for (const auto& m : s->members)
    if (m.name == name) return m;
  return std::nullopt;
}

std::vector<Member> Membership::members() const {
  auto s = in_->snapshot();
  std::vector<Member> out;
  out.reserve(s->members.size());
  for (const auto& m : s->members)
    if (m.state == core::MemberState::Alive || m.state == core::MemberState::Suspect) out.push_back(m);
  return out;
}

Stats Membership::stats() const {
  std::lock_guard<std::mutex> g(in_->shared->stats_m);
  return in_->shared->stats;
}

events::Events Membership::events() const { return in_->shared->hub.subscribe(); }

std::vector<proto::KeyId> Keyring::key_ids() const { return *shared_->key_ids.load(); }

// ---- requests -----------------------------------------------------------------------------

Task<Result<void, Error>> Membership::call_done(Sender<actor::Request> tx, actor::Request req,
                                                OneReceiver<Result<actor::Done, Error>> rx) {
  auto t = call<actor::Done>(std::move(tx), std::move(req), std::move(rx));
  auto r = co_await std::move(t);
  if (!r) co_return err(std::move(r.error()));
  co_return Result<void, Error>();
}

Task<Result<void, Error>> Membership::send(std::string name, uint64_t epoch, Bytes data) const {
  auto [tx, rx] = oneshot<Result<actor::Done, Error>>();
  return call_done(in_->requests, actor::request::Send{std::move(name), epoch, std::move(data), std::move(tx)},
                   std::move(rx));
}

Task<Result<void, Error>> Membership::broadcast(Bytes data) const {
  auto [tx, rx] = oneshot<Result<actor::Done, Error>>();
  return call_done(in_->requests, actor::request::Broadcast{std::move(data), std::move(tx)}, std::move(rx));
}

Task<Result<void, Error>> Membership::leave(std::chrono::nanoseconds timeout) const { return leave_on(in_, timeout); }

Task<void> Membership::queue_leave(Sender<actor::Request> requests, actor::Request req, std::shared_ptr<Leaving> leaving) {
  auto sending = requests.send(std::move(req));
  bool sent = co_await std::move(sending);
  if (sent) leaving->leave();
}

Membership::Leaving::Place Membership::Leaving::watch(const CancelToken& token) {
  std::lock_guard<std::mutex> g(m_);
  if (leaving_) token.cancel();
  joins_.push_back(token);
  return std::prev(joins_.end());
}

void Membership::Leaving::forget(Place p) {
  std::lock_guard<std::mutex> g(m_);
  joins_.erase(p);
}

void Membership::Leaving::leave() {
  std::lock_guard<std::mutex> g(m_);
  leaving_ = true;
  for (const auto& t : joins_) t.cancel();
}

bool Membership::Leaving::leaving() {
  std::lock_guard<std::mutex> g(m_);
  return leaving_;
}

Task<Result<void, Error>> Membership::leave_on(std::shared_ptr<Inner> in, std::chrono::nanoseconds timeout) {
  // One deadline for the whole call: the wait for room in the request channel counts too.
  const std::optional<Instant> deadline = deadline_in(timeout);
  auto reply = oneshot<Result<actor::Done, Error>>();
  std::optional<actor::Request> req(actor::request::Leave{std::move(reply.first)});
  auto queueing = with_deadline(deadline, in->requests.send_from(req));
  auto queued = co_await std::move(queueing);
  if (!queued) {
    // Out of time before there was room: the leave still happens, queued by a task of its own
    // that ends once it is queued or the node has closed. Its answer goes to nobody.
    in->rt->spawn(queue_leave(in->requests, std::move(*req), in->leaving));
    co_return err(Error(ErrorCode::Timeout));
  }
  if (!*queued) co_return err(Error(ErrorCode::Closed));
  in->leaving->leave();
  auto waiting = with_deadline(deadline, reply.second.recv());
  auto answer = co_await std::move(waiting);
  if (!answer) co_return err(Error(ErrorCode::Timeout));
  if (!*answer) co_return err(Error(ErrorCode::Closed));
  if (!**answer) co_return err(std::move((**answer).error()));
  co_return Result<void, Error>();
}

Task<Result<void, Error>> Membership::set_meta(Bytes meta) const { return set_meta_on(in_->requests, std::move(meta)); }

Task<Result<void, Error>> Membership::set_meta_on(Sender<actor::Request> tx, Bytes meta) {
  auto queueing = queue_set_meta_on(std::move(tx), std::move(meta));
  auto queued = co_await std::move(queueing);
  if (!queued) co_return err(std::move(queued.error()));
  auto answering = answer(std::move(queued.value()));
  co_return co_await std::move(answering);
}

Task<Result<Membership::Answer, Error>> Membership::queue_set_meta(Bytes meta) const {
  return queue_set_meta_on(in_->requests, std::move(meta));
}

Task<Result<Membership::Answer, Error>> Membership::queue_set_meta_on(Sender<actor::Request> tx, Bytes meta) {
  auto reply = oneshot<Result<actor::Done, Error>>();
  auto sending = tx.send(actor::request::SetMeta{std::move(meta), std::move(reply.first)});
  bool sent = co_await std::move(sending);
  if (!sent) co_return err(Error(ErrorCode::Closed));
  co_return std::move(reply.second);
}

Task<Result<void, Error>> Membership::answer(Answer rx) {
  auto r = co_await rx.recv();
  if (!r) co_return err(Error(ErrorCode::Closed));
  if (!*r) co_return err(std::move(r->error()));
  co_return Result<void, Error>();
}

Task<Result<void, Error>> Keyring::change(actor::KeyChange c) const {
  auto [tx, rx] = oneshot<Result<actor::Done, Error>>();
  return Membership::call_done(tx_, actor::request::Key{std::move(c), std::move(tx)}, std::move(rx));
}

Task<Result<void, Error>> Keyring::install(proto::Key k) const {
  return change(actor::KeyChange{actor::KeyChange::Kind::Install, std::move(k)});
}
Task<Result<void, Error>> Keyring::use_key(proto::Key k) const {
  return change(actor::KeyChange{actor::KeyChange::Kind::Use, std::move(k)});
}
Task<Result<void, Error>> Keyring::remove(proto::Key k) const {
  return change(actor::KeyChange{actor::KeyChange::Kind::Remove, std::move(k)});
}

Task<Result<size_t, Error>> Membership::join_seeds(std::vector<Seed> seeds) const { return join_on(in_, std::move(seeds)); }

namespace {

// Cancels `token` once the node's actor has ended (its request channel closed).
Task<void> cancel_when_closed(Sender<actor::Request> requests, CancelToken token) {
  auto closing = requests.closed();
  co_await std::move(closing);
  token.cancel();
}

}  // namespace

Task<Result<seed::Resolved, Error>> Membership::resolve_on(std::shared_ptr<Inner> in, std::vector<Seed> seeds) {
  using namespace std::chrono;
  const Instant deadline = after(now(), nanoseconds(actor::Options::sat(in->resolve_timeout.as_nanos())));
  nanoseconds backoff = milliseconds(250);
  for (;;) {
    auto left = [&] { return std::max(nanoseconds(0), duration_cast<nanoseconds>(deadline - now())); };
    nanoseconds limit = std::clamp(left(), nanoseconds(milliseconds(250)), nanoseconds(seconds(5)));
    auto resolving = seed::resolve(*in->rt, seeds, limit, false);
    auto r = co_await std::move(resolving);
    if (!r.addrs.empty() || r.failures == 0) co_return r;
    nanoseconds rest = left();
    if (rest.count() == 0) co_return err(Error(ErrorCode::Unresolved));
    nanoseconds retry = std::min(backoff, rest);
    VN_LOG(Info, "vennock_net::seed", "no seed resolved; looking up again", log::field("retry_in", retry));
    co_await sleep_for(retry);
    backoff = std::min(nanoseconds(seconds(5)), backoff * 2);
  }
}

Task<Result<seed::Resolved, Error>> Membership::resolve_while_open(std::shared_ptr<Inner> in, std::vector<Seed> seeds) {
  const bool names = std::any_of(seeds.begin(), seeds.end(), [](const Seed& s) { return !s.is_addr(); });
  if (!names) {  // addresses alone: resolved at once, nothing to end
    auto resolving = resolve_on(std::move(in), std::move(seeds));
    co_return co_await std::move(resolving);
  }
  CancelToken ending;  // the node closes, or leaves
  struct Watch {
    AbortHandle h;
    ~Watch() { h.abort(); }
  } watch{in->rt->spawn(cancel_when_closed(in->requests, ending)).abort_handle()};
  struct Told {
    Leaving& l;
    Leaving::Place p;
    ~Told() { l.forget(p); }
  } told{*in->leaving, in->leaving->watch(ending)};
  auto resolving = with_cancel(ending, resolve_on(in, std::move(seeds)));
  auto resolved = co_await std::move(resolving);
  // Ended: no address, and the node itself answers the join (Closed, or Left).
  if (!resolved) co_return seed::Resolved{};
  co_return std::move(*resolved);
}

Task<Result<size_t, Error>> Membership::join_on(std::shared_ptr<Inner> in, std::vector<Seed> seeds) {
  // A node that has left (or whose leave is queued) joins nothing and the engine refuses the
  // join at once; looking up names first would keep the caller up to resolve_timeout for
  // another, wrong, error.
  if (in->leaving->leaving() || in->snapshot()->members.front().state == core::MemberState::Left) seeds.clear();
  // Nor does a node that has closed, or closes while names are looked up.
  if (in->requests.is_closed()) co_return err(Error(ErrorCode::Closed));
  auto resolving = resolve_while_open(in, std::move(seeds));
  auto resolved = co_await std::move(resolving);
  if (!resolved) co_return err(std::move(resolved.error()));
  // Tasks are made in statements of their own: g++ 12 copies a temporary that an aggregate
  // initialiser makes inside a co_await expression bitwise, and destroys it twice.
  auto reply = oneshot<Result<size_t, Error>>();
  auto t = call<size_t>(in->requests, actor::request::Join{std::move(resolved.value().addrs), std::move(reply.first)},
                        std::move(reply.second));
  co_return co_await std::move(t);
}

Task<void> Membership::close() const { return close_on(in_); }

Task<void> Membership::close_on(std::shared_ptr<Inner> in) {
  auto reply = oneshot<actor::Done>();
  auto sending = in->requests.send(actor::request::Close{std::move(reply.first)});
  bool sent = co_await std::move(sending);
  if (sent) {
    in->close_queued.store(true, std::memory_order_relaxed);
    co_await reply.second.recv();
  }
  std::optional<JoinHandle<void>> task;
  {
    std::lock_guard<std::mutex> g(in->task_m);
    task = std::move(in->task);
    in->task.reset();
  }
  if (!task) co_return;
  auto j = co_await task->join();
  if (j.how == Ended::Panicked) VN_LOG(Error, kTarget, "the node's actor panicked");
}

Membership::Inner::~Inner() {
  {
    std::lock_guard<std::mutex> g(task_m);
    if (!task) return;  // closed
  }
  if (requests.is_closed()) return;  // the actor's loop has already ended
  // A close on its way (its caller stopped waiting) ends the node as the abort does.
  bool open = !close_queued.load(std::memory_order_relaxed);
  if (open && !never_held.load(std::memory_order_relaxed) &&
      snapshot()->members.front().state != core::MemberState::Left) {
    VN_LOG(Warn, kTarget, "node dropped without leave() or close(); peers will see a crash");
  }
  abort.abort();
}

// ---- start ----------------------------------------------------------------------------------

namespace {

Result<void, Error> entropy(void* buf, size_t n) {
  if (::getentropy(buf, n) == 0) return {};
  int e = errno;
  std::string msg = e >= 1 ? "OS Error: " + std::to_string(e) : std::string("errno: did not return a positive value");
  return err(Error::io(IoError::custom(IoKind::Other, std::move(msg))));
}

}  // namespace

Result<Membership, Error> Membership::spawn(Runtime& rt, Settings s, std::shared_ptr<transport::AsioTransport> t) {
  const uint64_t frame = s.config.max_stream_frame;
  const uint64_t frame_and_prefix = frame > UINT64_MAX - 4 ? UINT64_MAX : frame + 4;
  if (s.max_inbound_streams == 0) return err(Error::config("max_inbound_streams", "must be at least 1"));
  if (s.max_inbound_streams_per_ip == 0) return err(Error::config("max_inbound_streams_per_ip", "must be at least 1"));
  if (s.max_inbound_bytes_per_ip && *s.max_inbound_bytes_per_ip < frame_and_prefix) {
    return err(Error::config("max_inbound_bytes_per_ip",
                             "must hold one max_stream_frame frame and its 4-byte length prefix"));
  }
  if (s.tcp_header_timeout.is_zero()) return err(Error::config("tcp_header_timeout", "must be positive"));
  if (s.event_buffer == 0) return err(Error::config("event_buffer", "must be at least 1"));

  actor::Options options;
  options.seeds = all_seeds(s);
  options.rejoin_interval = s.config.rejoin_interval;
  options.max_stream_frame = frame;
  options.tcp_timeout = s.config.tcp_timeout;
  options.tcp_header_timeout = s.tcp_header_timeout;
  options.max_inbound_streams = s.max_inbound_streams;
  options.max_inbound_streams_per_ip = s.max_inbound_streams_per_ip;
  options.max_inbound_bytes_per_ip = s.max_inbound_bytes_per_ip.value_or(frame_and_prefix);
  options.udp_max_payload = s.config.udp_max_payload;

  SocketAddr bound = t->local_addr();
  SocketAddr advertised = s.advertise ? *s.advertise : transport::default_advertise(bound);
  if (s.name.empty() || s.name.size() > 64) return err(Error::config("name", "must be 1 to 64 bytes"));
  uint64_t epoch = start_epoch();

  uint64_t seed = 0;
  if (auto r = entropy(&seed, sizeof seed); !r) return err(std::move(r.error()));
  std::array<uint8_t, 32> nonce_key{};
  if (auto r = entropy(nonce_key.data(), nonce_key.size()); !r) {
    sodium_memzero(nonce_key.data(), nonce_key.size());
    return err(std::move(r.error()));
  }
  actor::Clock clock;
  std::string name = s.name;
  // The engine's check of itself goes to its own socket by the host's loopback: through the
  // advertised address it may never come back (a NAT or a port mapping that does not hairpin).
  core::Identity id{std::move(name), std::move(s.meta), advertised, epoch, transport::loopback_of(bound)};
  auto engine = core::Node::create(std::move(s.config), std::move(id), clock.now(), seed,
                                   std::span<const uint8_t, 32>(nonce_key));
  sodium_memzero(nonce_key.data(), nonce_key.size());
  if (!engine) return err(Error::config(engine.error()));

  VN_LOG(Info, kTarget, "node started", log::field("name", s.name), log::field("addr", advertised),
         log::field("bind", bound));
  return launch(rt, std::move(engine.value()), std::move(options), clock, std::move(t), s.resolve_timeout,
                s.event_buffer);
}

Task<Result<Membership, Error>> Membership::start(Runtime& rt, Settings s, std::shared_ptr<transport::AsioTransport> t) {
  std::vector<Seed> seeds = all_seeds(s);
  auto spawned = spawn(rt, std::move(s), std::move(t));
  if (!spawned) co_return err(std::move(spawned.error()));
  Membership ml = std::move(spawned.value());
  if (seeds.empty()) co_return ml;
  // Dropped during the join (its caller gave up), the node was never the caller's to hold.
  struct Unclaimed {
    const Membership* m;
    ~Unclaimed() {
      if (m) m->never_held();
    }
  } unclaimed{&ml};
  auto joining = ml.join_seeds(std::move(seeds));
  auto joined = co_await std::move(joining);
  unclaimed.m = nullptr;
  if (joined) {
    uint64_t n = joined.value();
    VN_LOG(Debug, kTarget, "joined", log::field("seeds", n));
    co_return ml;
  }
  const Error& e = joined.error();
  if (e.code() == ErrorCode::Unresolved) {
    VN_LOG(Error, kTarget, "no seed resolved; stopping");
    co_await ml.close();
    co_return err(Error(ErrorCode::Unresolved));
  }
  if (e.code() == ErrorCode::Closed) co_return err(Error(ErrorCode::Closed));
  std::string text = e.to_string();
  VN_LOG(Warn, kTarget, "startup join failed; retrying in the background", log::field("error", text));
  co_return ml;
}

Task<Result<Membership, Error>> Membership::start(Runtime& rt, Settings s) {
  auto t = transport::AsioTransport::bind(rt.io(), s.bind);
  if (!t) co_return err(Error::io(t.error()));
  auto starting = start(rt, std::move(s), std::move(t.value()));
  co_return co_await std::move(starting);
}

// ---- identity defaults --------------------------------------------------------------------

namespace {

bool valid_utf8(std::string_view s) {
  return proto::valid_utf8(proto::ByteView(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
}

std::optional<std::string> source_env(const char* name) {
  const char* v = std::getenv(name);
  if (!v || !valid_utf8(v)) return std::nullopt;
  return std::string(v);
}

std::optional<std::string> source_file(const char* path) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return std::nullopt;
  std::string s;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  bool bad = std::ferror(f);
  std::fclose(f);
  if (bad || !valid_utf8(s)) return std::nullopt;
  return s;
}

}  // namespace

std::string name_from(std::optional<std::string> source, std::optional<uint32_t> random) {
  std::string base;
  if (source) base = std::string(trim_space(*source));
  if (base.empty()) base = "vennock";
  if (base.size() > 57) {
    size_t cut = 57;
    // Back to the start of the character that straddles the cut.
    while (cut > 0 && (static_cast<uint8_t>(base[cut]) & 0xC0) == 0x80) --cut;
    base.resize(cut);
  }
  char suffix[8];
  std::snprintf(suffix, sizeof suffix, "%06x", random.value_or(0) & 0xFFFFFFu);
  return base + "-" + suffix;
}

std::string default_name() {
  std::optional<std::string> src = source_env("HOSTNAME");
  if (!src) src = source_env("COMPUTERNAME");
  if (!src) src = source_file("/etc/hostname");
  uint8_t b[4];
  std::optional<uint32_t> r;
  if (::getentropy(b, sizeof b) == 0) r = uint32_t{b[0]} | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16);
  return name_from(std::move(src), r);
}

uint64_t epoch_of(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  auto since = t.time_since_epoch();
  if (since <= system_clock::duration::zero()) return 1;
  auto ms = duration_cast<milliseconds>(since).count();
  return ms <= 0 ? 1 : static_cast<uint64_t>(ms);
}

uint64_t start_epoch() { return epoch::take(epoch_of(std::chrono::system_clock::now())); }

Result<proto::Key, IoError> generate_key() {
  std::array<uint8_t, 32> buf{};
  int rc = ::getentropy(buf.data(), buf.size());
  int e = errno;
  if (rc == 0) {
    proto::Key k = proto::Key::from_array(buf);
    sodium_memzero(buf.data(), buf.size());
    return k;
  }
  sodium_memzero(buf.data(), buf.size());
  std::string msg;
  if (rc == -1) {
    msg = e >= 1 ? "OS Error: " + std::to_string(e) : std::string("errno: did not return a positive value");
  } else {
    msg = "unexpected situation";
  }
  return err(IoError::custom(IoKind::Other, std::move(msg)));
}

}  // namespace vennock::net
