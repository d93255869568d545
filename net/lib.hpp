// The network runtime's face to its callers: starting a node, its handle (`Membership`,
// `Keyring`), and the small helpers that supply defaults.
//
// Every operation that talks to the node is a Task to run on the runtime (the Python
// bindings bridge them to asyncio and to blocking calls; C++ callers can use
// Runtime::block_on). Reads (`local`, `member`, `members`, `stats`, `key_ids`, `events`)
// never wait for the node's actor.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/lib.hpp"
#include "net/actor.hpp"
#include "net/error.hpp"
#include "net/events.hpp"
#include "net/runtime.hpp"
#include "net/seed.hpp"
#include "net/shared.hpp"
#include "net/transport.hpp"

namespace vennock::net {

using seed::Seed;

// Everything a node start needs. The defaults are those of the lan preset.
struct Settings {
  core::Config config;
  std::string name;
  Bytes meta;  // already in the tags encoding
  SocketAddr bind = lan_bind();
  std::optional<SocketAddr> advertise;
  std::vector<SocketAddr> seed_addrs;
  std::vector<Seed> seed_hosts;
  core::Duration resolve_timeout = core::Duration::from_secs(30);
  core::Duration tcp_header_timeout = core::Duration::from_secs(1);
  uint64_t max_inbound_streams = 64;
  uint64_t max_inbound_streams_per_ip = 16;
  std::optional<uint64_t> max_inbound_bytes_per_ip;  // default: one largest frame and its prefix
  uint64_t event_buffer = 1024;

  // The local preset's timings on 127.0.0.1 (port 7946 unless changed), default name.
  static Settings local();
  static SocketAddr lan_bind();
};

// The configured seeds as one list: the address seeds first, then the host seeds.
std::vector<Seed> all_seeds(const Settings& s);

// The host name (HOSTNAME, else COMPUTERNAME, else /etc/hostname, trimmed; "vennock" when a
// present source is blank or none is present), cut to 57 bytes at a character boundary,
// then "-" and 6 hex digits of a random 24-bit value (000000 when no entropy is to be had).
std::string default_name();
// The epoch of a life starting now: milliseconds since the Unix epoch by the wall clock (at
// least 1), or one past the latest epoch a life of this process took when that is later (see
// net/epoch.hpp).
uint64_t start_epoch();
// 32 fresh random bytes as a key.
Result<proto::Key, IoError> generate_key();

// The pure steps of the two above: a name from a source text (none when no source was
// present) and a random value (none when the entropy source failed); an epoch from a time.
std::string name_from(std::optional<std::string> source, std::optional<uint32_t> random);
uint64_t epoch_of(std::chrono::system_clock::time_point t);

class Membership;

// Key management of a running node.
class Keyring {
 public:
  Task<Result<void, Error>> change(actor::KeyChange c) const;
  Task<Result<void, Error>> install(proto::Key k) const;
  Task<Result<void, Error>> use_key(proto::Key k) const;
  Task<Result<void, Error>> remove(proto::Key k) const;
  // The installed key ids, the key in use first; empty without encryption.
  std::vector<proto::KeyId> key_ids() const;

 private:
  friend class Membership;
  Keyring(Sender<actor::Request> tx, std::shared_ptr<actor::Shared> shared)
      : tx_(std::move(tx)), shared_(std::move(shared)) {}
  Sender<actor::Request> tx_;
  std::shared_ptr<actor::Shared> shared_;
};

// The handle of a running node; copies share it. When the last copy goes without a close,
// the node's actor is aborted: nothing is sent. A node its caller held is then said to have
// been dropped open (a warning), unless it had left or a close had reached it.
class Membership {
 public:
  // Checks the settings, builds the engine, starts the actor, then joins the configured
  // seeds. Seeds that never resolve within resolve_timeout fail the start (the node is
  // closed); any other join failure is logged and the node starts anyway.
  static Task<Result<Membership, Error>> start(Runtime& rt, Settings s, std::shared_ptr<transport::AsioTransport> t);
  // The same, binding `s.bind` first.
  static Task<Result<Membership, Error>> start(Runtime& rt, Settings s);
  // The synchronous part: checks, engine, actor. Must run on the runtime (it spawns there).
  static Result<Membership, Error> spawn(Runtime& rt, Settings s, std::shared_ptr<transport::AsioTransport> t);
  // Starts an actor over an engine already built (any engine and transport with the
  // interface the actor uses).
  template <class Engine, class Transport>
  static Membership launch(Runtime& rt, Engine engine, actor::Options options, actor::Clock clock,
                           std::shared_ptr<Transport> transport, core::Duration resolve_timeout, uint64_t event_buffer);

  const SocketAddr& local_addr() const { return in_->local_addr; }
  // Reads of what the actor last published; none of them waits.
  Member local() const;
  std::optional<Member> member(std::string_view name) const;
  std::vector<Member> members() const;
  Stats stats() const;
  events::Events events() const;
  Keyring keyring() const { return Keyring(in_->requests, in_->shared); }
  // True once the actor's loop has ended.
  bool is_closed() const { return in_->requests.is_closed(); }
  // No caller ever held this node (a start given up half-way, a result nobody took): its
  // drop stops it without the warning.
  void never_held() const { in_->never_held.store(true, std::memory_order_relaxed); }

  // Resolves the seeds (retrying until resolve_timeout) and joins through them: the number
  // of seeds that answered. A close of the node ends the lookups at once (Closed), and so does
  // a leave (Left).
  Task<Result<size_t, Error>> join_seeds(std::vector<Seed> seeds) const;
  Task<Result<void, Error>> send(std::string name, uint64_t epoch, Bytes data) const;
  Task<Result<void, Error>> broadcast(Bytes data) const;
  // Leaves the cluster: this node's record becomes left and its departure is gossiped (the
  // node keeps running until it is closed). Success once the departure is complete (or the
  // node had already left); Closed when the node's actor has gone; Timeout when `timeout`,
  // counted from the moment the returned task first runs (too long for the clock: no limit),
  // passes first. Timeout always means the departure is under way but not confirmed: when the
  // time runs out before the request could even be queued (the request channel full), a
  // task of its own queues it as soon as there is room, or gives up if the node closes. Once it
  // is queued, the joins still looking names up end (Left).
  Task<Result<void, Error>> leave(std::chrono::nanoseconds timeout) const;
  Task<Result<void, Error>> set_meta(Bytes meta) const;
  // The answer to a request already on the actor's channel.
  using Answer = OneReceiver<Result<actor::Done, Error>>;
  // The two halves of set_meta, for a caller that must keep something (a lock) until the node
  // has answered whoever waits for it: queues the change (waiting while the channel is full;
  // a wait dropped before then queues nothing) and gives the receiver of its answer, or
  // Closed when the node has gone. Once queued, the actor carries the change out.
  Task<Result<Answer, Error>> queue_set_meta(Bytes meta) const;
  static Task<Result<void, Error>> answer(Answer rx);
  // Stops the node (no leave is sent) and waits until its actor has ended. Never fails.
  Task<void> close() const;

  // Sends one request and waits for its answer; a node that has closed gives Closed.
  template <class T>
  static Task<Result<T, Error>> call(Sender<actor::Request> tx, actor::Request req,
                                     OneReceiver<Result<T, Error>> rx);

 private:
  // The joins of one node that are looking names up, and whether the node is leaving: once its
  // leave is queued, the node has left before any join request queued after it arrives (the
  // engine refuses those), so a join looking names up is ended then, as at a close. Shared with
  // a leave queued late by a task of its own.
  class Leaving {
   public:
    using Place = std::list<CancelToken>::iterator;
    // Ends `token` when the node leaves (at once when it is leaving already) until `forget`.
    Place watch(const CancelToken& token);
    void forget(Place p);
    // The leave is queued: ends every join watched, and every one watched later.
    void leave();
    bool leaving();

   private:
    std::mutex m_;
    bool leaving_ = false;
    std::list<CancelToken> joins_;
  };

  struct Inner {
    Runtime* rt = nullptr;
    SocketAddr local_addr;
    std::mutex task_m;
    std::optional<JoinHandle<void>> task;  // taken by the first close
    AbortHandle abort;
    std::atomic<bool> close_queued{false};  // a close request is on its way to the actor
    std::atomic<bool> never_held{false};
    Sender<actor::Request> requests;
    std::shared_ptr<actor::Shared> shared;
    core::Duration resolve_timeout;
    std::shared_ptr<Leaving> leaving = std::make_shared<Leaving>();
    ~Inner();
    std::shared_ptr<const actor::Snapshot> snapshot() const {
      return shared->snapshot.load();
    }
  };
  explicit Membership(std::shared_ptr<Inner> in) : in_(std::move(in)) {}
  static Task<Result<size_t, Error>> join_on(std::shared_ptr<Inner> in, std::vector<Seed> seeds);
  // Looks the seeds up again and again until one resolves or resolve_timeout has passed.
  static Task<Result<seed::Resolved, Error>> resolve_on(std::shared_ptr<Inner> in, std::vector<Seed> seeds);
  // The same, ended as soon as the node closes or leaves (no address then: the join request
  // that follows is refused with Closed or Left): names that never resolve would keep the
  // caller up to resolve_timeout, only to fail with another error.
  static Task<Result<seed::Resolved, Error>> resolve_while_open(std::shared_ptr<Inner> in, std::vector<Seed> seeds);
  static Task<Result<void, Error>> leave_on(std::shared_ptr<Inner> in, std::chrono::nanoseconds timeout);
  // Queues a leave that ran out of time before there was room, then tells the joins.
  static Task<void> queue_leave(Sender<actor::Request> requests, actor::Request req, std::shared_ptr<Leaving> leaving);
  static Task<void> close_on(std::shared_ptr<Inner> in);
  friend class Keyring;
  static Task<Result<void, Error>> set_meta_on(Sender<actor::Request> tx, Bytes meta);
  static Task<Result<Answer, Error>> queue_set_meta_on(Sender<actor::Request> tx, Bytes meta);
  static Task<Result<void, Error>> call_done(Sender<actor::Request> tx, actor::Request req,
                                             OneReceiver<Result<actor::Done, Error>> rx);
  std::shared_ptr<Inner> in_;
};

template <class T>
Task<Result<T, Error>> Membership::call(Sender<actor::Request> tx, actor::Request req, OneReceiver<Result<T, Error>> rx) {
  auto sending = tx.send(std::move(req));
  bool sent = co_await std::move(sending);
  if (!sent) co_return err(Error(ErrorCode::Closed));
  auto r = co_await rx.recv();
  if (!r) co_return err(Error(ErrorCode::Closed));
  co_return std::move(*r);
}

template <class Engine, class Transport>
Membership Membership::launch(Runtime& rt, Engine engine, actor::Options options, actor::Clock clock,
                              std::shared_ptr<Transport> transport, core::Duration resolve_timeout,
                              uint64_t event_buffer) {
  using A = actor::Actor<Engine, Transport>;
  auto shared = std::make_shared<actor::Shared>(actor::Snapshot::of(engine), engine.key_ids(),
                                                static_cast<size_t>(event_buffer));
  auto [tx, rx] = channel<actor::Request>(256);
  std::optional<uint64_t> first_rejoin;
  uint64_t iv = options.rejoin_interval.as_nanos();
  if (iv != 0 && !options.seeds.empty()) {
    uint64_t t = clock.now();
    first_rejoin = t > UINT64_MAX - iv ? UINT64_MAX : t + iv;
  }
  auto header = std::make_shared<conn::HeaderCell>(engine.header_check());
  // Room for two frames of the largest size in all; max_inbound_bytes_per_ip for one address.
  auto budget = conn::Budget::for_frames(static_cast<size_t>(options.max_stream_frame),
                                         static_cast<size_t>(options.max_inbound_bytes_per_ip));
  SocketAddr bound = transport->local_addr();
  typename A::Parts parts{&rt,    std::move(engine), first_rejoin,  std::move(options), clock, std::move(transport),
                          shared, std::move(rx),     std::move(header), std::move(budget)};
  auto actor = std::make_unique<A>(std::move(parts));
  auto handle = rt.spawn(A::run(std::move(actor)));
  auto in = std::make_shared<Inner>();
  in->rt = &rt;
  in->local_addr = bound;
  in->abort = handle.abort_handle();
  in->task = std::move(handle);
  in->requests = std::move(tx);
  in->shared = std::move(shared);
  in->resolve_timeout = resolve_timeout;
  return Membership(std::move(in));
}

}  // namespace vennock::net
