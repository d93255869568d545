#include "net/conn.hpp"

#include <deque>
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

Task<Report> exchange(transport::TcpStream& s, Receiver<Write>& rx, Context& cx, const Inbound* in) {
  const StreamSettings& st = cx.settings;
  proto::FrameCutter cutter(st.max_stream_frame);
  std::deque<Bytes> out;  // frames to write
  size_t out_off = 0;
  bool closing = false;  // the actor asked to close, or let go of its end
  bool eof = false;
  bool header_ok = in == nullptr;
  auto flow = std::make_shared<Flow>();
  std::vector<uint8_t> buf(kReadBuffer);
  const Instant started = now();
  const Instant header_deadline = started + st.tcp_header_timeout;
  Instant last = started;  // last progress either way

  for (;;) {
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

    // Hand frames to the actor one at a time, and read only when none waits there.
    bool idle = flow->poll_idle();
    if (idle) {
      if (auto f = cutter.next()) {
        if (!cx.send(report::Frame{std::move(*f), FrameHold(flow)})) co_return report::Failed{};
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
    if (idle && !eof && s.poll_readable()) {
      auto r = s.try_read(buf);
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
      auto pushed = cutter.push(proto::ByteView(buf.data(), *r));
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
            auto checked = in->check->load()->check(head);
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

    // Nothing to do now: wait for the socket, the actor, or a deadline. Time spent waiting
    // for the actor to take a frame is not the peer's idleness.
    std::optional<Instant> deadline;
    if (!idle && out.empty()) {
      last = now();
    } else {
      deadline = last + st.tcp_timeout;
    }
    if (!header_ok && (!deadline || header_deadline < *deadline)) deadline = header_deadline;
    if (deadline && now() >= *deadline) {
      if (!header_ok && now() >= header_deadline) {
        VN_LOG(Debug, kTarget, "no valid header in time; dropping connection", log::field("conn", cx.id));
      } else {
        VN_LOG(Debug, kTarget, "stream timed out", log::field("conn", cx.id));
      }
      co_return report::Failed{};
    }
    co_await park(deadline);
  }
}

Task<void> inbound(transport::TcpStream s, StreamId id, uint64_t task, Inbound in, Receiver<Write> rx,
                   Sender<Tagged> reports, StreamSettings st) {
  Context cx{id, task, std::move(reports), st};
  Report end = co_await exchange(s, rx, cx, &in);
  cx.send(std::move(end));
  cx.send(report::Finished{});
}

}  // namespace vennock::net::conn
