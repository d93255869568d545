// Stream tasks: one task per TCP connection, inbound or outbound.
//
// A task writes the frames the actor sends it, cuts the frames it reads and reports them to
// the actor, and reports how the stream ended, always followed by Finished. Frames are a
// 4-byte big-endian length and one packet.
//
// Back-pressure: a frame travels to the actor with a FrameHold, and the task reads nothing
// more from its socket until the actor has handled that frame and dropped the hold. So a
// stream keeps at most one frame waiting in the actor's queue, plus the frame it is cutting
// and one read buffer; a peer that writes faster than the node handles only fills its own
// socket buffers.
//
// Every frame a stream buffers is paid for from the node's stream byte budget (budget.hpp):
// every read is reserved before it is buffered, and a cut frame's bytes ride with it to the
// actor. A stream whose share is evicted, or that finds no room, ends its connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <variant>

#include "core/io.hpp"
#include "net/budget.hpp"
#include "net/log.hpp"
#include "net/sync.hpp"
#include "net/task.hpp"
#include "net/transport.hpp"
#include "proto/packet.hpp"
#include "proto/stream.hpp"

namespace vennock::net::conn {

using core::StreamId;
using proto::Bytes;

struct StreamSettings {
  uint64_t max_stream_frame = 8 * 1024 * 1024;
  std::chrono::nanoseconds tcp_timeout = std::chrono::seconds(10);
  std::chrono::nanoseconds tcp_header_timeout = std::chrono::seconds(1);
};

// From the actor to a stream task.
namespace write {
struct Frame {
  Bytes frame;  // length prefix included
};
struct Close {};
}  // namespace write
using Write = std::variant<write::Frame, write::Close>;

// The header pre-check shared by the actor and the inbound streams; replaced whole when the
// keyring changes.
class HeaderCell {
 public:
  explicit HeaderCell(proto::HeaderCheck c) : v_(std::make_shared<const proto::HeaderCheck>(std::move(c))) {}
  std::shared_ptr<const proto::HeaderCheck> load() const { return v_.load(); }
  void store(proto::HeaderCheck c) { v_.store(std::make_shared<const proto::HeaderCheck>(std::move(c))); }

 private:
  Swapped<proto::HeaderCheck> v_;
};

// The stream side of a frame's hold.
struct Flow {
  std::mutex m;
  bool held = false;
  Waker w;
  // True when no frame of this stream waits in the actor; otherwise records the waker.
  bool poll_idle();
};

// Travels with a frame to the actor; dropping it lets the stream read on.
class FrameHold {
 public:
  FrameHold() = default;
  explicit FrameHold(std::shared_ptr<Flow> f);
  FrameHold(FrameHold&& o) noexcept = default;
  FrameHold& operator=(FrameHold&& o) noexcept {
    if (this != &o) {
      release();
      f_ = std::move(o.f_);
    }
    return *this;
  }
  ~FrameHold() { release(); }
  void release();

 private:
  std::shared_ptr<Flow> f_;
};

// From a stream task to the actor.
namespace report {
struct Frame {
  Bytes frame;  // one packet, without its length prefix
  FrameHold hold;
  // The frame's bytes in the stream byte budget: reserved until the actor has handled it.
  FrameShare share;
};
struct Dropped {
  proto::DecodeError error;  // the first frame of an inbound stream failed the header check
};
struct Closed {};
struct Failed {};
struct Finished {};  // always the task's last report
}  // namespace report
using Report = std::variant<report::Frame, report::Dropped, report::Closed, report::Failed, report::Finished>;

// A report, the stream it concerns, and the serial of the task that sent it: a stream id can
// be used again for a new connection, and only the current task's reports may change the
// actor's entry for that id.
struct Tagged {
  StreamId id = 0;
  uint64_t task = 0;
  Report report;
};

// What an inbound stream gets besides its socket.
struct Inbound {
  std::shared_ptr<HeaderCell> check;
  // This connection's share of the stream byte budget (none: reads are not reserved).
  Held share;
};

// The reporting side of one stream task. Its last report is always Finished: sent by
// finish(), or when it goes without that, so a task that is aborted (even before it first
// ran) still tells the actor it has ended.
struct Context {
  StreamId id = 0;
  uint64_t task = 0;
  Sender<Tagged> reports;
  StreamSettings settings;
  bool finished = false;

  Context(StreamId i, uint64_t t, Sender<Tagged> r, StreamSettings st)
      : id(i), task(t), reports(std::move(r)), settings(st) {}
  Context(Context&&) noexcept = default;
  Context& operator=(Context&&) = delete;
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  ~Context() { finish(); }

  // False when the actor has gone.
  bool send(Report r) { return reports.try_send(Tagged{id, task, std::move(r)}) == TrySend::Sent; }
  void finish() {
    if (finished || !reports.valid()) return;
    finished = true;
    send(report::Finished{});
  }
};

// Runs one connection until it ends: returns how (Closed, Failed or, inbound only,
// Dropped); the caller reports that and then Finished. `check` (inbound streams) is the
// header pre-check of the first frame; `share` (none, or an empty one: reads are not
// reserved) pays for every frame, and each cut frame's bytes move into its report.
Task<Report> exchange(transport::TcpStream& s, Receiver<Write>& rx, Context& cx, const HeaderCell* check,
                      Held* share);

// Everything an inbound stream task owns. Members go in reverse order, so however the task
// ends (aborted before it first ran too), the socket and the budget share are released
// before the context sends Finished.
struct InboundStream {
  Context cx;
  transport::TcpStream socket;
  Inbound in;
  Receiver<Write> rx;
};

// An inbound connection accepted by the actor.
Task<void> inbound(InboundStream st);

// A connection the engine asked for: connects within tcp_timeout, then exchanges, paying
// for what it reads with `share`.
template <class Transport>
Task<void> outbound(std::shared_ptr<Transport> t, StreamId id, uint64_t task, proto::SocketAddr to,
                    Receiver<Write> rx, Sender<Tagged> reports, StreamSettings st, Held share) {
  // Members go in reverse order: the budget share is released before Finished is sent.
  struct Own {
    Context cx;
    Held share;
  } own{Context{id, task, std::move(reports), st}, std::move(share)};
  Context& cx = own.cx;
  auto connecting = t->connect(to, after(now(), st.tcp_timeout));
  auto c = co_await std::move(connecting);
  t.reset();  // only needed to connect
  if (!c) {
    std::string e = c.error().to_string();
    VN_LOG(Debug, "vennock_net::conn", "connect failed", log::field("conn", id), log::field("to", to),
           log::field("error", e));
    own.share.drop();
    cx.send(report::Failed{});
    cx.finish();
    co_return;
  }
  Report end = co_await exchange(c.value(), rx, cx, nullptr, &own.share);
  own.share.drop();  // before the actor hears that the stream ended
  cx.send(std::move(end));
  cx.finish();
}

}  // namespace vennock::net::conn
