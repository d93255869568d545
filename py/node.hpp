// Node and EventSub: a running node as Python sees it, the operations behind its methods, and
// the reader of one subscription to its events.
#pragma once

#include <Python.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "net/lib.hpp"
#include "net/sync.hpp"
#include "py/config.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"
#include "py/runtime.hpp"

namespace vennock::py::node {

// What a Node shares with every operation running for it; each operation holds a reference,
// so the node outlives its Python object while operations are in flight.
// The size limits of the configuration a node started with that the bindings apply.
struct Limits {
  uint64_t max_meta_bytes = 0;
  uint64_t max_user_message = 0;  // a payload beyond these is refused before it is copied
  uint64_t max_user_broadcast = 0;
};

struct Inner : Limits {
  net::Runtime* rt;  // the runtime the node runs on
  net::Membership membership;
  std::vector<net::Seed> seeds;  // joined by join() without seeds
  // One metadata change of this node at a time, in the order of the calls: each takes its
  // place in the queue at the call, and holds the lock from before it reads this node's
  // record until the node has answered it, even when its caller stopped waiting.
  net::AsyncMutex meta_lock;
  // Sends and broadcasts refused here for their size, before any copy: the node never sees
  // them, so stats() adds them to its own user_messages_too_large.
  std::atomic<uint64_t> refused_too_large{0};

  Inner(net::Runtime* r, net::Membership m, std::vector<net::Seed> s, Limits l)
      : Limits(l), rt(r), membership(std::move(m)), seeds(std::move(s)) {}
};

enum class KeyChange : uint8_t { Install, Use, Remove };
// A metadata edit: set `value`, or remove the key when there is none.
using Change = std::pair<std::string, std::optional<std::string>>;

// The operations, each owning its reference to the node.
net::Task<Reply<size_t>> join(std::shared_ptr<Inner> in, std::optional<std::vector<net::Seed>> seeds);
net::Task<Reply<std::monostate>> send(std::shared_ptr<Inner> in, std::string name, uint64_t epoch, proto::Bytes data);
net::Task<Reply<std::monostate>> broadcast(std::shared_ptr<Inner> in, proto::Bytes data);
// True when the time ran out before the departure was confirmed.
net::Task<Reply<bool>> leave(std::shared_ptr<Inner> in, core::Duration timeout);
// Leave, then close whatever the leave gave; never an error.
net::Task<bool> shutdown(std::shared_ptr<Inner> in, core::Duration timeout);
net::Task<Reply<std::monostate>> change_key(std::shared_ptr<Inner> in, proto::Key key, KeyChange kind);

// A metadata change's claim on meta_lock: its place in the queue (taken at the call), then the
// lock itself until the node has answered. The claim goes before the reference that keeps
// meta_lock alive: members are destroyed in reverse order, whatever order a coroutine frame
// destroys its parameters in, and a frame that never ran has made no locals.
struct MetaTurn {
  std::shared_ptr<Inner> in;
  net::AsyncMutex::Place place;
};
struct MetaHeld {
  std::shared_ptr<Inner> in;
  net::AsyncMutex::Guard guard;
};
// `meta` is already encoded and checked against the node's max_meta_bytes.
net::Task<Reply<std::monostate>> set_meta(MetaTurn turn, proto::Bytes meta);
net::Task<Reply<std::monostate>> update_meta(MetaTurn turn, std::vector<Change> changes);

// The pairs after applying `changes` in order: a set replaces the first pair of that key in
// place or appends; a removal drops the first pair of that key. Linear in both.
proto::TagPairs apply_changes(proto::TagPairs pairs, std::vector<Change> changes);

// A started node on its way to becoming a Python Node. Released by the rule of the creating
// process (its generation, net/lifecycle.hpp): in a child made by fork its reference is
// forgotten, never dropped, so nothing of the parent's node is touched there. One that never
// became a Node (its caller gave up) was never held: it stops without the drop warning.
struct Started {
  std::shared_ptr<Inner> inner;
  uint64_t generation = 0;
  bool held = false;  // a Python Node holds it
  Started() = default;
  Started(std::shared_ptr<Inner> i, uint64_t g) : inner(std::move(i)), generation(g) {}
  Started(Started&&) = default;
  Started& operator=(Started&&) = delete;
  ~Started();
};
Ref to_python(Started&& s, Form);

// What a start takes from its Config, made at the call on the caller's thread: every copy of
// the fields happens there, where a failed allocation is a MemoryError, and the start body
// only moves them on.
struct Prepared {
  net::Settings settings;        // built and checked
  std::vector<net::Seed> seeds;  // as configured, for join() without seeds
  Limits limits;
  bool plaintext = false;  // without encryption on purpose: said when the start runs
};
Reply<Prepared> prepare(const config::Fields& f);

// The start: binds, starts the node and joins its seeds (or gives the refusal of `prepare`).
net::Task<Reply<Started>> start(net::Runtime* rt, Reply<Prepared> prepared);

// ---- subscriptions ----

class Handoff;

// A thread as an awaited read records the one that made it. Attached.
struct ThreadSeen {
  uint64_t mark = 0;        // unique for the life of the process (a thread id is reused)
  unsigned long ident = 0;  // the interpreter's id, to tell the thread running the exit
  // Expires once the interpreter has forgotten the thread: its state is cleared before a
  // join() of it returns (a C++ thread_local would go only later, as the thread exits).
  std::weak_ptr<const char> alive;
};
ThreadSeen this_thread();

// One subscription and the lock that lets one read at a time use it.
struct Reader {
  net::AsyncMutex lock;
  net::events::Events events;
  explicit Reader(net::events::Events e) : events(std::move(e)) {}

  // An awaited read that holds or waits for `lock`: its event loop (by identity), the thread
  // that made it, and the read itself: its call while its operation runs, its hand-over once
  // its result is on its way to the loop (for a moment, both). Such a read lets go of the
  // lock only once its loop has run, so a blocking read on its thread or on its loop would
  // wait for itself, and one whose loop will not run again holds the lock for ever unless a
  // read gives it up.
  struct Awaited {
    uint64_t id;  // which read it is: unique for the life of the process
    const void* loop;
    ThreadSeen thread;
    std::shared_ptr<bridge::Call> call;
    std::shared_ptr<Handoff> handoff;
  };
  std::vector<Awaited> awaited();
  // The hand-over of the read `id`, if its result is on its way to its loop.
  std::shared_ptr<Handoff> handoff_of(uint64_t id);

 private:
  friend class LoopMark;
  struct Mark {
    const void* loop;
    ThreadSeen thread;
    uint64_t id;
    std::weak_ptr<bridge::Call> call;
    std::weak_ptr<Handoff> handoff;
  };
  std::mutex loops_m;
  std::vector<Mark> loops;
  // How many there are, changed under loops_m: a read of a subscription without awaited reads
  // (a backlog drained by one reader) looks no further.
  std::atomic<size_t> marked{0};
};

// The calling thread's mark: unique for the life of the process (a thread id is reused).
uint64_t thread_mark();

// An awaited read's place in its reader's list of loops and threads, from the call until the
// read is delivered or given back.
class LoopMark {
 public:
  // Marks the read of `call`, made on the calling thread. Attached.
  LoopMark(std::shared_ptr<Reader> r, const std::shared_ptr<bridge::Call>& call);
  LoopMark(LoopMark&& o) noexcept : reader_(std::move(o.reader_)), id_(o.id_) {}
  LoopMark& operator=(LoopMark&&) = delete;
  ~LoopMark();
  // The read's result is on its way to its loop, through `h`.
  void handed_over(const std::weak_ptr<Handoff>& h);

 private:
  std::shared_ptr<Reader> reader_;
  uint64_t id_ = 0;
};

// A read's turn at the reader lock, taken at the call: reads take events in the order they
// were called, not in the order the runtime's threads first run them. The place goes before
// the reference that keeps the lock alive.
struct ReadTurn {
  std::shared_ptr<Reader> reader;
  net::AsyncMutex::Place place;
};

// What a read holds from the reader lock to its caller: the lock, the event it took, and an
// awaited read's mark. It lets go of the event only once the event's Python value has reached
// the caller (`handed`); dropped before that, it puts the event back at the front of the
// subscription and only then lets the lock go, so no later read can look first. Every read
// (awaited, blocking, try_next, one interrupted by a signal or the exit) ends through it.
class ReadLease {
 public:
  enum class Kind : uint8_t { Event, Closed, TimedOut };
  explicit ReadLease(std::shared_ptr<Reader> r, std::optional<LoopMark> mark = std::nullopt)
      : reader_(std::move(r)), mark_(std::move(mark)) {}
  ReadLease(ReadLease&& o) noexcept
      : kind_(o.kind_),
        reader_(std::move(o.reader_)),
        guard_(std::move(o.guard_)),
        event_(std::exchange(o.event_, std::nullopt)),
        mark_(std::move(o.mark_)) {}
  ReadLease& operator=(ReadLease&&) = delete;
  ~ReadLease();

  // The lock is this read's.
  void hold(net::AsyncMutex::Guard g) { guard_.emplace(std::move(g)); }
  // What the subscription gave: an event (the lease's now), its end, or nothing in time.
  void took(net::events::Received r);
  // The Python value: the event's tuple, None for the end, False for a timeout; the lease
  // keeps the event. Null with the error pending.
  Ref value() const;
  // The value reached its caller: the event is theirs, and the lock goes.
  void handed();
  // An awaited read's result is on its way to its loop, through `h`.
  void handed_over(const std::weak_ptr<Handoff>& h) {
    if (mark_) mark_->handed_over(h);
  }

 private:
  Kind kind_ = Kind::TimedOut;
  std::shared_ptr<Reader> reader_;  // first: outlives the guard
  std::optional<net::AsyncMutex::Guard> guard_;
  std::optional<net::events::Event> event_;
  std::optional<LoopMark> mark_;
};

// An awaited read's result from its hand-over to its loop until the loop's thread sets it on
// the future: the one who comes first takes the lease, the setter or a read that finds the
// loop gone (which gives it back: the event to the front of the subscription, then the lock).
class Handoff {
 public:
  explicit Handoff(ReadLease&& r) { lease_.emplace(std::move(r)); }
  std::optional<ReadLease> take();
  void give_back() { (void)take(); }
  // On its way to `loop`: the loop is kept weakly, to be looked at, and the read's mark
  // points here from now on. Attached.
  void on_its_way(PyObject* loop, const std::weak_ptr<Handoff>& self);
  // The loop, while it lives (null once it has gone). Attached.
  Ref loop() const;

 private:
  std::mutex m_;
  std::optional<ReadLease> lease_;
  Ref loop_;  // a weak reference; set before the mark points here, never after
};

// The value of a read, handed to its caller; null (the event kept, given back as the lease
// goes) with the error pending.
Ref handed_value(ReadLease& r);
// The same for a blocking read that waited, once the pending signal handlers have run: one
// that raises is raised instead, the event kept.
Ref to_python(ReadLease&& r, Form);
// An awaited read keeps its lease until the loop's thread has set its value on the future: a
// future cancelled before that gets nothing, and the event goes back for the next read.
bridge::Delivery delivery(ReadLease&& r);

// `mark`: an awaited read's place in the reader's list of loops, kept until the read ends.
net::Task<Reply<ReadLease>> next(ReadTurn turn, std::optional<core::Duration> limit,
                                 std::optional<LoopMark> mark = std::nullopt);

// The Python types; null with the error pending when one cannot be made.
PyObject* node_type();
PyObject* event_sub_type();

}  // namespace vennock::py::node
