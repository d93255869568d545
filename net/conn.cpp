#include "net/conn.hpp"

#include <algorithm>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

namespace vennock::net::conn {

namespace {
constexpr size_t kReadBuffer = 16384;
const char* const kTarget = "vennock_net::conn";
}  // namespace

bool Flow::poll_idle() {
  std::lock_guard<std::mutex> g(m);
  if (!held) return true;
  w = this_task::waker();
  return false;
}

FrameHold::FrameHold(std::shared_ptr<Flow> f) : f_(std::move(f)) {
  std::lock_guard<std::mutex> g(f_->m);
  f_->held = true;
}

void FrameHold::release() {
  if (!f_) return;
  Waker w;
  {
    std::lock_guard<std::mutex> g(f_->m);
    f_->held = false;
    w = std::move(f_->w);
    f_->w = Waker();
  }
  w.wake();
  f_.reset();
}

namespace {

// What one step of a stream's turn decided.
enum class Go {
  Next,   // on to the next step of this turn
  Again,  // something moved: start the turn over
  Park,   // nothing can move until an input or the deadline
  End,    // the stream has ended; the report is waiting in the exchange
};

// One connection's exchange: what lives across turns, and one function per step of a turn.
// A turn looks at everything in a fixed order (an eviction, the actor's writes, the socket's
// write side, bytes read but not paid for, frames for the actor, the socket's read side) and
// parks only when none of them can move. The steps are plain functions: only the task itself
// suspends, between turns.
class Exchange {
 public:
  Exchange(transport::TcpStream& s, Receiver<Write>& rx, Context& cx, const HeaderCell* check, Held* share);
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  Go turn();
  // Until when a turn that answered Park may wait.
  std::optional<Instant> deadline() const { return deadline_; }
  // How the stream ended, once a turn answered End.
  Report take_end() { return std::move(*end_); }

 private:
  Go stop_if_evicted();
  void take_writes();
  Go write_out();
  Go pay_for_pending();
  Go buffer_pending();
  Go check_header();
  Go hand_over_frame();
  size_t read_limit() const;
  Go read_in();
  Go plan_park(bool idle);
  Go timed_out();

  Go ended(Report r) {
    end_.emplace(std::move(r));
    return Go::End;
  }
  Go refuse_first_frame(const proto::DecodeError& error);
  void log_no_room() const;
  void log_evicted() const;

  transport::TcpStream& s_;
  Receiver<Write>& rx_;
  Context& cx_;
  const StreamSettings& st_;
  const HeaderCell* check_;  // inbound streams: the first frame's header pre-check
  Held* share_;              // none: reads are not paid for
  proto::FrameCutter cutter_;
  std::deque<Bytes> out_;  // frames to write
  size_t out_off_ = 0;
  bool closing_ = false;  // the actor asked to close, or let go of its end
  bool eof_ = false;
  bool header_ok_;
  bool first_frame_;
  std::shared_ptr<Flow> flow_ = std::make_shared<Flow>();
  std::vector<uint8_t> buf_ = std::vector<uint8_t>(kReadBuffer);
  size_t pending_ = 0;  // bytes read into buf_ and not buffered yet (waiting for a reservation)
  Instant header_deadline_;
  // An inbound stream's first frame must be whole within tcp_timeout of the connection's
  // start: a peer trickling it a byte at a time makes progress at every byte, so the
  // no-progress deadline alone would hold the connection and its bytes for ever.
  Instant first_frame_deadline_;
  Instant last_;  // last progress either way
  std::optional<Instant> deadline_;
  std::optional<Report> end_;
  // The stream pays for every read from its budget share and listens for its eviction.
  // (The notifier outlives both waiters: declared first.)
  std::shared_ptr<Notify> evicted_by_;
  std::optional<Notify::Waiter> evicted_;
  std::optional<Notify::Waiter> room_;  // armed while waiting for the budget to have room
};

Exchange::Exchange(transport::TcpStream& s, Receiver<Write>& rx, Context& cx, const HeaderCell* check, Held* share)
    : s_(s),
      rx_(rx),
      cx_(cx),
      st_(cx.settings),
      check_(check),
      share_(share && share->valid() ? share : nullptr),
      cutter_(cx.settings.max_stream_frame),
      header_ok_(check == nullptr),
      first_frame_(check != nullptr) {
  const Instant started = now();
  header_deadline_ = after(started, st_.tcp_header_timeout);
  first_frame_deadline_ = after(started, st_.tcp_timeout);
  last_ = started;
  if (share_) {
    evicted_by_ = share_->notifier();
    evicted_.emplace(*evicted_by_);
  }
}

Go Exchange::turn() {
  if (Go go = stop_if_evicted(); go != Go::Next) return go;
  take_writes();
  if (Go go = write_out(); go != Go::Next) return go;
  if (pending_ != 0) {
    if (Go go = pay_for_pending(); go != Go::Next) return go;
  }
  // Hand frames to the actor one at a time, and read only when none waits there.
  const bool idle = flow_->poll_idle();
  if (idle && pending_ == 0) {
    if (Go go = hand_over_frame(); go != Go::Next) return go;
    if (!eof_ && s_.poll_readable()) return read_in();
  }
  return plan_park(idle);
}

Go Exchange::stop_if_evicted() {
  if (!evicted_ || !evicted_->poll()) return Go::Next;
  if (pending_ != 0) {
    log_no_room();
  } else {
    log_evicted();
  }
  return ended(report::Failed{});
}

void Exchange::take_writes() {
  while (!closing_) {
    std::optional<Write> w;
    Polled p = rx_.poll_recv(w);
    if (p == Polled::Empty) return;
    if (p == Polled::Closed || std::holds_alternative<write::Close>(*w)) {
      closing_ = true;
      return;
    }
    out_.push_back(std::move(std::get<write::Frame>(*w).frame));
  }
}

// Writes what is queued, as far as the socket takes it; once the actor asked to close and
// everything is written, ends the stream.
Go Exchange::write_out() {
  while (!out_.empty() && s_.poll_writable()) {
    auto r = s_.try_write(proto::ByteView(out_.front()).subspan(out_off_));
    if (!r) {
      if (r.error().kind == IoKind::WouldBlock) {
        s_.clear_writable();
        continue;
      }
      if (eof_) return ended(report::Closed{});  // the peer ended first; what we had left is moot
      std::string e = r.error().to_string();
      VN_LOG(Debug, kTarget, "stream write failed", log::field("conn", cx_.id), log::field("error", e));
      return ended(report::Failed{});
    }
    out_off_ += *r;
    last_ = now();
    if (out_off_ == out_.front().size()) {
      out_.pop_front();
      out_off_ = 0;
    }
  }
  if (closing_ && out_.empty()) {
    s_.shutdown_write();
    return ended(report::Closed{});
  }
  return Go::Next;
}

// Bytes read but not yet paid for: reserved and buffered, or waiting for room (both Next:
// the turn goes on, and hands over or reads only once nothing is pending).
Go Exchange::pay_for_pending() {
  if (share_) {
    room_.reset();
    Take t = share_->take(pending_);
    if (std::holds_alternative<take::NoRoom>(t)) {
      log_no_room();
      return ended(report::Failed{});
    }
    if (auto* w = std::get_if<take::Wait>(&t)) {
      // Armed before the release count is read again: a release after the answer is
      // either seen in the count or wakes this waiter.
      room_.emplace(share_->budget().released());
      if (share_->budget().releases() != w->seen) {
        room_.reset();
        return Go::Again;
      }
      return Go::Next;
    }
  }
  return buffer_pending();
}

Go Exchange::buffer_pending() {
  size_t n = std::exchange(pending_, 0);
  auto pushed = cutter_.push(proto::ByteView(buf_.data(), n));
  if (!pushed) {
    if (!header_ok_) return refuse_first_frame(pushed.error());
    std::string e = pushed.error().message();
    VN_LOG(Debug, kTarget, "frame refused; closing stream", log::field("conn", cx_.id), log::field("error", e));
    return ended(report::Failed{});
  }
  if (!header_ok_) return check_header();
  return Go::Next;
}

// The header is checked as soon as its 8 bytes are in (or the whole, shorter, frame).
Go Exchange::check_header() {
  auto len = cutter_.pending_length();
  if (!len) return Go::Next;
  proto::ByteView head = cutter_.peek(proto::HEADER_LEN);
  if (head.size() < proto::HEADER_LEN && head.size() != *len) return Go::Next;
  auto checked = check_->load()->check(head);
  if (!checked) return refuse_first_frame(checked.error());
  header_ok_ = true;
  return Go::Next;
}

// The next whole frame goes to the actor with its bytes; at the end of the stream, the
// stream ends.
Go Exchange::hand_over_frame() {
  if (auto f = cutter_.next()) {
    report::Frame fr{std::move(*f), FrameHold(flow_), FrameShare()};
    if (share_) {
      // The frame's bytes stay reserved until the actor is done with it; the stream pays
      // for its next frame from nothing.
      fr.share = share_->cut(fr.frame.size());
      if (!fr.share.valid()) {
        log_evicted();
        return ended(report::Failed{});
      }
      // Reads stopped at the frame's end, so nothing else is buffered: let the buffer's
      // memory go with it, or the share would give back bytes the stream still occupies.
      cutter_ = proto::FrameCutter(st_.max_stream_frame);
    }
    if (!cx_.send(std::move(fr))) return ended(report::Failed{});
    first_frame_ = false;
    last_ = now();
    return Go::Again;
  }
  if (eof_) {
    if (cutter_.buffered() != 0) {
      VN_LOG(Debug, kTarget, "stream ended inside a frame", log::field("conn", cx_.id));
      return ended(report::Failed{});
    }
    if (out_.empty()) return ended(report::Closed{});
  }
  return Go::Next;
}

// While reads are paid for, read no further than the frame's end: bytes of the next frame
// would count against this address's allowance while this one waits.
size_t Exchange::read_limit() const {
  if (!share_) return buf_.size();
  size_t have = cutter_.buffered();
  auto len = cutter_.pending_length();
  size_t need = len ? proto::FRAME_PREFIX_LEN + *len - have : proto::FRAME_PREFIX_LEN - have;
  return std::min(buf_.size(), need);
}

Go Exchange::read_in() {
  auto r = s_.try_read(std::span<uint8_t>(buf_.data(), read_limit()));
  if (!r) {
    if (r.error().kind == IoKind::WouldBlock) {
      s_.clear_readable();
      return Go::Again;
    }
    std::string e = r.error().to_string();
    VN_LOG(Debug, kTarget, "stream read failed", log::field("conn", cx_.id), log::field("error", e));
    return ended(report::Failed{});
  }
  if (*r == 0) {
    eof_ = true;
    return Go::Again;
  }
  last_ = now();
  pending_ = *r;
  return Go::Again;
}

// Nothing to do now: wait for the socket, the actor, room in the budget, or a deadline.
// Time spent waiting for the actor to take a frame (not idle) is not the peer's idleness.
Go Exchange::plan_park(bool idle) {
  if (room_ && room_->poll()) return Go::Again;  // a release came already: ask again
  deadline_.reset();
  if (!idle && out_.empty()) {
    last_ = now();
  } else {
    deadline_ = after(last_, st_.tcp_timeout);
  }
  if (!header_ok_ && (!deadline_ || header_deadline_ < *deadline_)) deadline_ = header_deadline_;
  if (first_frame_ && (!deadline_ || first_frame_deadline_ < *deadline_)) deadline_ = first_frame_deadline_;
  if (deadline_ && now() >= *deadline_) return timed_out();
  return Go::Park;
}

// The deadline passed: the record names the one that did.
Go Exchange::timed_out() {
  if (pending_ != 0) {
    log_no_room();
  } else if (!header_ok_ && now() >= header_deadline_) {
    VN_LOG(Debug, kTarget, "no valid header in time; dropping connection", log::field("conn", cx_.id));
  } else if (first_frame_ && now() >= first_frame_deadline_) {
    VN_LOG(Debug, kTarget, "first frame not whole in time; dropping connection", log::field("conn", cx_.id));
  } else {
    VN_LOG(Debug, kTarget, "stream timed out", log::field("conn", cx_.id));
  }
  return ended(report::Failed{});
}

Go Exchange::refuse_first_frame(const proto::DecodeError& error) {
  std::string e = error.message();
  VN_LOG(Debug, kTarget, "first frame refused; dropping connection", log::field("conn", cx_.id),
         log::field("error", e));
  return ended(report::Dropped{error});
}

void Exchange::log_no_room() const {
  VN_LOG(Debug, kTarget, "no room in the inbound buffer for this address; dropping connection",
         log::field("conn", cx_.id));
}

void Exchange::log_evicted() const {
  VN_LOG(Debug, kTarget, "evicted to make room for another address's frame", log::field("conn", cx_.id));
}

}  // namespace

Task<Report> exchange(transport::TcpStream& s, Receiver<Write>& rx, Context& cx, const HeaderCell* check,
                      Held* share) {
  Exchange x(s, rx, cx, check, share);
  for (;;) {
    Go go = x.turn();
    if (go == Go::End) co_return x.take_end();
    if (go == Go::Park) {
      std::optional<Instant> until = x.deadline();
      co_await park(until);
    }
  }
}

Task<void> inbound(InboundStream st) {
  Report end = co_await exchange(st.socket, st.rx, st.cx, st.in.check.get(), &st.in.share);
  // Everything the connection held goes before the actor hears that it ended.
  st.in.share.drop();
  { transport::TcpStream gone = std::move(st.socket); }
  st.cx.send(std::move(end));
  st.cx.finish();
}

}  // namespace vennock::net::conn
