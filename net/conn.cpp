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

Task<Report> exchange(transport::TcpStream& s, Receiver<Write>& rx, Context& cx, const HeaderCell* check,
                      Held* share) {
  const StreamSettings& st = cx.settings;
  proto::FrameCutter cutter(st.max_stream_frame);
  std::deque<Bytes> out;  // frames to write
  size_t out_off = 0;
  bool closing = false;  // the actor asked to close, or let go of its end
  bool eof = false;
  bool header_ok = check == nullptr;
  auto flow = std::make_shared<Flow>();
  std::vector<uint8_t> buf(kReadBuffer);
  size_t pending = 0;  // bytes read into buf and not buffered yet (waiting for a reservation)
  const Instant started = now();
  const Instant header_deadline = after(started, st.tcp_header_timeout);
  // An inbound stream's first frame must be whole within tcp_timeout of the connection's
  // start: a peer trickling it a byte at a time makes progress at every byte, so the
  // no-progress deadline alone would hold the connection and its bytes for ever.
  const Instant first_frame_deadline = after(started, st.tcp_timeout);
  bool first_frame = check != nullptr;
  Instant last = started;  // last progress either way

  // The stream pays for every read from its budget share and listens for its eviction.
  // (The notifier outlives both waiters: declared first.)
  if (share && !share->valid()) share = nullptr;
  std::shared_ptr<Notify> evicted_by = share ? share->notifier() : nullptr;
  std::optional<Notify::Waiter> evicted;
  std::optional<Notify::Waiter> room;  // armed while waiting for the budget to have room
  if (share) evicted.emplace(*evicted_by);
  auto no_room = [&] {
    VN_LOG(Debug, kTarget, "no room in the inbound buffer for this address; dropping connection",
           log::field("conn", cx.id));
  };

  for (;;) {
    if (evicted && evicted->poll()) {
      if (pending != 0) {
        no_room();
      } else {
        VN_LOG(Debug, kTarget, "evicted to make room for another address's frame", log::field("conn", cx.id));
      }
      co_return report::Failed{};
    }

    // The actor's writes.
    while (!closing) {
      std::optional<Write> w;
      Polled p = rx.poll_recv(w);
      if (p == Polled::Empty) break;
      if (p == Polled::Closed || std::holds_alternative<write::Close>(*w)) {
        closing = true;
        break;
      }
      out.push_back(std::move(std::get<write::Frame>(*w).frame));
    }

    // Write what is queued, as far as the socket takes it.
    while (!out.empty() && s.poll_writable()) {
      auto r = s.try_write(proto::ByteView(out.front()).subspan(out_off));
      if (!r) {
        if (r.error().kind == IoKind::WouldBlock) {
          s.clear_writable();
          continue;
        }
        if (eof) co_return report::Closed{};  // the peer ended first; what we had left is moot
        std::string e = r.error().to_string();
        VN_LOG(Debug, kTarget, "stream write failed", log::field("conn", cx.id), log::field("error", e));
        co_return report::Failed{};
      }
      out_off += *r;
      last = now();
      if (out_off == out.front().size()) {
        out.pop_front();
        out_off = 0;
      }
    }
    if (closing && out.empty()) {
      s.shutdown_write();
      co_return report::Closed{};
    }

    // Bytes read but not yet paid for.
    if (pending != 0) {
      bool reserved = true;
      if (share) {
        room.reset();
        Take t = share->take(pending);
        if (std::holds_alternative<take::NoRoom>(t)) {
          no_room();
          co_return report::Failed{};
        }
        if (auto* w = std::get_if<take::Wait>(&t)) {
          // Armed before the release count is read again: a release after the answer is
          // either seen in the count or wakes this waiter.
          room.emplace(share->budget().released());
          if (share->budget().releases() != w->seen) {
            room.reset();
            continue;
          }
          reserved = false;
        }
      }
      if (reserved) {
        size_t n = std::exchange(pending, 0);
        auto pushed = cutter.push(proto::ByteView(buf.data(), n));
        if (!pushed) {
          if (!header_ok) {
            std::string e = pushed.error().message();
            VN_LOG(Debug, kTarget, "first frame refused; dropping connection", log::field("conn", cx.id),
                   log::field("error", e));
            co_return report::Dropped{pushed.error()};
          }
          std::string e = pushed.error().message();
          VN_LOG(Debug, kTarget, "frame refused; closing stream", log::field("conn", cx.id), log::field("error", e));
          co_return report::Failed{};
        }
        if (!header_ok) {
          // The header is checked as soon as its 8 bytes are in (or the whole, shorter, frame).
          if (auto len = cutter.pending_length()) {
            proto::ByteView head = cutter.peek(proto::HEADER_LEN);
            if (head.size() >= proto::HEADER_LEN || head.size() == *len) {
              auto checked = check->load()->check(head);
              if (!checked) {
                std::string e = checked.error().message();
                VN_LOG(Debug, kTarget, "first frame refused; dropping connection", log::field("conn", cx.id),
                       log::field("error", e));
                co_return report::Dropped{checked.error()};
              }
              header_ok = true;
            }
          }
        }
        continue;
      }
    }

    // Hand frames to the actor one at a time, and read only when none waits there.
    bool idle = flow->poll_idle();
    if (idle && pending == 0) {
      if (auto f = cutter.next()) {
        report::Frame fr{std::move(*f), FrameHold(flow), FrameShare()};
        if (share) {
          // The frame's bytes stay reserved until the actor is done with it; the stream pays
          // for its next frame from nothing.
          fr.share = share->cut(fr.frame.size());
          if (!fr.share.valid()) {
            VN_LOG(Debug, kTarget, "evicted to make room for another address's frame", log::field("conn", cx.id));
            co_return report::Failed{};
          }
          // Reads stopped at the frame's end, so nothing else is buffered: let the buffer's
          // memory go with it, or the share would give back bytes the stream still occupies.
          cutter = proto::FrameCutter(st.max_stream_frame);
        }
        if (!cx.send(std::move(fr))) co_return report::Failed{};
        first_frame = false;
        last = now();
        continue;
      }
      if (eof) {
        if (cutter.buffered() != 0) {
          VN_LOG(Debug, kTarget, "stream ended inside a frame", log::field("conn", cx.id));
          co_return report::Failed{};
        }
        if (out.empty()) co_return report::Closed{};
      }
    }
    if (idle && pending == 0 && !eof && s.poll_readable()) {
      // While reads are paid for, read no further than the frame's end: bytes of the next
      // frame would count against this address's allowance while this one waits.
      size_t want = buf.size();
      if (share) {
        size_t have = cutter.buffered();
        auto len = cutter.pending_length();
        size_t need = len ? proto::FRAME_PREFIX_LEN + *len - have : proto::FRAME_PREFIX_LEN - have;
        want = std::min(want, need);
      }
      auto r = s.try_read(std::span<uint8_t>(buf.data(), want));
      if (!r) {
        if (r.error().kind == IoKind::WouldBlock) {
          s.clear_readable();
          continue;
        }
        std::string e = r.error().to_string();
        VN_LOG(Debug, kTarget, "stream read failed", log::field("conn", cx.id), log::field("error", e));
        co_return report::Failed{};
      }
      if (*r == 0) {
        eof = true;
        continue;
      }
      last = now();
      pending = *r;
      continue;
    }

    // Nothing to do now: wait for the socket, the actor, room in the budget, or a deadline.
    // Time spent waiting for the actor to take a frame is not the peer's idleness.
    if (room && room->poll()) continue;  // a release came already: ask again
    std::optional<Instant> deadline;
    if (!idle && out.empty()) {
      last = now();
    } else {
      deadline = after(last, st.tcp_timeout);
    }
    if (!header_ok && (!deadline || header_deadline < *deadline)) deadline = header_deadline;
    if (first_frame && (!deadline || first_frame_deadline < *deadline)) deadline = first_frame_deadline;
    if (deadline && now() >= *deadline) {
      if (pending != 0) {
        no_room();
      } else if (!header_ok && now() >= header_deadline) {
        VN_LOG(Debug, kTarget, "no valid header in time; dropping connection", log::field("conn", cx.id));
      } else if (first_frame && now() >= first_frame_deadline) {
        VN_LOG(Debug, kTarget, "first frame not whole in time; dropping connection", log::field("conn", cx.id));
      } else {
        VN_LOG(Debug, kTarget, "stream timed out", log::field("conn", cx.id));
      }
      co_return report::Failed{};
    }
    co_await park(deadline);
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
