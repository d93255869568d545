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

// One subscription and the lock that lets one read at a time use it.
struct Reader {
  net::AsyncMutex lock;
  net::events::Events events;
  explicit Reader(net::events::Events e) : events(std::move(e)) {}

  // Whether an awaited read that holds or waits for `lock` was made on the thread `thread`
  // or lives on the event loop `loop` (by identity; none: null). Such a read lets go of the
  // lock only once its loop has run on its thread, so a blocking read on that thread (its loop
  // running or stopped) or on that loop would wait for itself: it is refused instead.
  bool awaited_from(const void* loop, uint64_t thread);

 private:
  friend class LoopMark;
  struct Mark {
    const void* loop;
    uint64_t thread;
  };
  std::mutex loops_m;
  std::vector<Mark> loops;
};

// The calling thread's mark: unique for the life of the process (a thread id is reused).
uint64_t thread_mark();

// An awaited read's place in its reader's list of loops and threads, from the call until the
// read is delivered or given back.
class LoopMark {
 public:
  // Marks the read made on the calling thread, for `loop`.
  LoopMark(std::shared_ptr<Reader> r, const void* loop);
  LoopMark(LoopMark&& o) noexcept : reader_(std::move(o.reader_)), loop_(o.loop_), thread_(o.thread_) {}
  LoopMark& operator=(LoopMark&&) = delete;
  ~LoopMark();

 private:
  std::shared_ptr<Reader> reader_;
  const void* loop_;
  uint64_t thread_;
};

// One read's result. It holds the reader lock until it is delivered or given back, so that an
// event taken by a read whose caller went away returns to the front of the subscription before
// any later read can look.
struct Read {
  enum class Kind : uint8_t { Event, Closed, TimedOut };
  Kind kind = Kind::Closed;
  std::optional<net::events::Event> event;
  std::shared_ptr<Reader> reader;
  std::optional<net::AsyncMutex::Guard> guard;
  std::optional<LoopMark> mark;  // an awaited read's
  Read() = default;
  Read(Read&& o) noexcept
      : kind(o.kind),
        event(std::exchange(o.event, std::nullopt)),
        reader(std::move(o.reader)),
        guard(std::move(o.guard)),
        mark(std::move(o.mark)) {}
  Read& operator=(Read&&) = delete;
  ~Read();  // gives an undelivered event back
};
Ref to_python(Read&& r, Form);
// An awaitable read keeps its event (and the reader lock) until the loop's thread has set it
// on the future: a future cancelled before that gives the event back for the next read.
bridge::Delivery delivery(Read&& r);

// `mark`: an awaited read's place in the reader's list of loops, kept until the read ends.
net::Task<Reply<Read>> next(std::shared_ptr<Reader> reader, std::optional<core::Duration> limit,
                            std::optional<LoopMark> mark = std::nullopt);

// The Python types; null with the error pending when one cannot be made.
PyObject* node_type();
PyObject* event_sub_type();

}  // namespace vennock::py::node
