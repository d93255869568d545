// Stream tasks over real loopback connections: frames both ways, the first frame's header
// check, timeouts, and back-pressure on a peer that writes faster than the node reads.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "helpers.hpp"
#include "net/conn.hpp"
#include "proto/packet.hpp"
#include "proto/stream.hpp"

using namespace vennock;
using namespace vennock::net;
using namespace vennock::net::testing;

namespace {

// A plain blocking socket playing the peer.
struct Peer {
  int fd = -1;
  explicit Peer(const SocketAddr& to) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage ss;
    socklen_t len = to_sockaddr(to, ss);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&ss), len), 0);
  }
  // The peer of a connection made to `listening` (blocking accept, bounded by a receive
  // timeout so a connection that never comes fails the test instead of hanging it).
  Peer(const SocketAddr&, int listening) {
    timeval tv{5, 0};
    ::setsockopt(listening, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    fd = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
    EXPECT_GE(fd, 0);
    if (fd >= 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~Peer() {
    if (fd >= 0) ::close(fd);
  }
  void write_all(proto::ByteView b) {
    size_t off = 0;
    while (off < b.size()) {
      ssize_t n = ::send(fd, b.data() + off, b.size() - off, MSG_NOSIGNAL);
      ASSERT_GT(n, 0);
      off += static_cast<size_t>(n);
    }
  }
  // Reads one frame's packet, or none at the end of the stream.
  std::optional<proto::Bytes> read_frame() {
    proto::FrameCutter cut(1 << 26);
    uint8_t buf[4096];
    for (;;) {
      if (auto f = cut.next()) return f;
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return std::nullopt;
      EXPECT_TRUE(cut.push(proto::ByteView(buf, static_cast<size_t>(n))).ok());
    }
  }
  bool at_end() {
    uint8_t b;
    return ::recv(fd, &b, 1, 0) <= 0;
  }
};

// One inbound stream task on an accepted connection, reporting into `reports`.
struct InboundRig {
  std::optional<transport::TcpListener> listener;
  SocketAddr at;
  Sender<conn::Tagged> report_tx;
  Receiver<conn::Tagged> reports;
  Sender<conn::Write> writes;
  JoinHandle<void> task;
  proto::Codec codec = plain_codec("test");

  explicit InboundRig(conn::StreamSettings st = conn::StreamSettings{}) {
    listener.emplace(loopback_listener());
    at = *listener->local_addr();
    auto [rtx, rrx] = unbounded_channel<conn::Tagged>();
    report_tx = std::move(rtx);
    reports = std::move(rrx);
    settings = st;
  }
  void accept() {
    auto got = accept_one(*listener);
    ASSERT_TRUE(got.has_value());
    auto [wtx, wrx] = unbounded_channel<conn::Write>();
    writes = std::move(wtx);
    auto cell = std::make_shared<conn::HeaderCell>(codec.header_check());
    conn::Inbound in{cell, {}};
    if (budget) in.share = conn::Budget::open(budget, 1, IpAddr::of(got->second));
    conn::InboundStream st{conn::Context(core::INBOUND_BIT | 1, 1, report_tx, settings), std::move(got->first),
                           std::move(in), std::move(wrx)};
    task = runtime().spawn(conn::inbound(std::move(st)));
  }
  // The next report, waiting up to `limit`.
  std::optional<conn::Tagged> next(std::chrono::milliseconds limit = 5s) {
    auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      if (auto r = reports.try_recv()) return r;
      if (std::chrono::steady_clock::now() > end) return std::nullopt;
      std::this_thread::sleep_for(50us);
    }
  }
  // The next report's frame, when the next report is a frame.
  std::optional<conn::report::Frame> next_frame(std::chrono::milliseconds limit = 5s) {
    auto r = next(limit);
    if (!r) return std::nullopt;
    auto* f = std::get_if<conn::report::Frame>(&r->report);
    if (!f) return std::nullopt;
    return std::move(*f);
  }
  template <class R>
  bool next_is(std::chrono::milliseconds limit = 5s) {
    auto r = next(limit);
    return r && std::holds_alternative<R>(r->report);
  }
  proto::Bytes sealed(std::string_view payload) {
    return codec.seal(proto::ByteView(reinterpret_cast<const uint8_t*>(payload.data()), payload.size()), 1);
  }
  conn::StreamSettings settings;
  std::shared_ptr<conn::Budget> budget;  // when set, the stream pays for its frames from it
};

}  // namespace

TEST(Stream, FramesTravelBothWaysAndAnActorCloseEndsTheStream) {
  InboundRig rig;
  Peer peer(rig.at);
  rig.accept();
  proto::Bytes packet = rig.sealed("hello");
  peer.write_all(proto::encode_frame(packet));
  auto r = rig.next();
  ASSERT_TRUE(r.has_value());
  auto* f = std::get_if<conn::report::Frame>(&r->report);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->frame, packet);
  EXPECT_EQ(r->id, core::INBOUND_BIT | 1);
  r.reset();  // the actor is done with it
  ASSERT_EQ(rig.writes.try_send(conn::write::Frame{proto::encode_frame(packet)}), TrySend::Sent);
  EXPECT_EQ(peer.read_frame(), packet);
  ASSERT_EQ(rig.writes.try_send(conn::write::Close{}), TrySend::Sent);
  EXPECT_TRUE(rig.next_is<conn::report::Closed>());
  EXPECT_TRUE(rig.next_is<conn::report::Finished>());
  EXPECT_TRUE(peer.at_end());
  EXPECT_EQ(rig.task.wait().how, Ended::Completed);
}

TEST(Stream, APeerThatClosesCleanlyGivesClosedAndOneThatStopsInsideAFrameGivesFailed) {
  for (bool inside : {false, true}) {
    InboundRig rig;
    Peer peer(rig.at);
    rig.accept();
    proto::Bytes f = proto::encode_frame(rig.sealed("a longer payload"));
    if (inside) f.resize(f.size() - 3);
    peer.write_all(f);
    if (!inside) {
      EXPECT_TRUE(rig.next_is<conn::report::Frame>());
    }
    ::shutdown(peer.fd, SHUT_WR);
    EXPECT_TRUE(inside ? rig.next_is<conn::report::Failed>() : rig.next_is<conn::report::Closed>()) << inside;
    EXPECT_TRUE(rig.next_is<conn::report::Finished>());
  }
}

TEST(Stream, TheFirstFrameMustPassTheHeaderCheck) {
  struct Case {
    proto::Bytes bytes;
    proto::DecodeCode code;
  };
  InboundRig base;
  proto::Bytes bad_magic = base.sealed("payload");
  bad_magic[0] ^= 0xff;
  proto::Codec other = plain_codec("another cluster");
  proto::Bytes other_label = other.seal(proto::ByteView(bad_magic), 1);
  proto::Bytes too_large{0x7f, 0xff, 0xff, 0xff};
  std::vector<Case> cases{{proto::encode_frame(bad_magic), proto::DecodeCode::BadMagic},
                          {proto::encode_frame(other_label), proto::DecodeCode::LabelMismatch},
                          {proto::encode_frame(proto::Bytes{1, 2, 3}), proto::DecodeCode::TooShort},
                          {too_large, proto::DecodeCode::FrameTooLarge}};
  Capture& cap = capture();
  for (auto& c : cases) {
    InboundRig rig;
    Peer peer(rig.at);
    rig.accept();
    size_t m = cap.mark();
    peer.write_all(c.bytes);
    auto r = rig.next();
    ASSERT_TRUE(r.has_value());
    auto* d = std::get_if<conn::report::Dropped>(&r->report);
    ASSERT_NE(d, nullptr) << static_cast<int>(c.code);
    EXPECT_EQ(d->error.code, c.code);
    EXPECT_TRUE(rig.next_is<conn::report::Finished>());
    EXPECT_TRUE(peer.at_end());
    EXPECT_EQ(cap.count(m, "first frame refused; dropping connection conn=", log::Level::Debug), 1u);
  }
  // The check runs as soon as the header is in, before the rest of a large frame arrives.
  InboundRig rig;
  Peer peer(rig.at);
  rig.accept();
  proto::Bytes big = proto::encode_frame(proto::Bytes(100000, 0xee));
  big.resize(4 + 20);
  peer.write_all(big);
  auto r = rig.next();
  ASSERT_TRUE(r && std::holds_alternative<conn::report::Dropped>(r->report));
}

TEST(Stream, ASilentConnectionIsDroppedAfterTheHeaderTimeout) {
  Capture& cap = capture();
  conn::StreamSettings st;
  st.tcp_header_timeout = 100ms;
  InboundRig rig(st);
  Peer peer(rig.at);
  size_t m = cap.mark();
  auto start = std::chrono::steady_clock::now();
  rig.accept();
  EXPECT_TRUE(rig.next_is<conn::report::Failed>());
  EXPECT_GE(std::chrono::steady_clock::now() - start, 90ms);
  EXPECT_TRUE(rig.next_is<conn::report::Finished>());
  EXPECT_EQ(cap.count(m, "no valid header in time; dropping connection"), 1u);
  EXPECT_TRUE(peer.at_end());
}

TEST(Stream, APeerWritingFasterThanTheActorTakesFramesIsHeldBack) {
  InboundRig rig;
  Peer peer(rig.at);
  rig.accept();
  constexpr size_t kFrames = 1500, kSize = 32 * 1024;
  // The peer writes as fast as its socket takes it, from a thread of its own.
  std::atomic<size_t> written{0};
  std::atomic<bool> done{false};
  std::atomic<pid_t> writer_tid{0};
  std::thread writer([&] {
    writer_tid = gettid();
    proto::Bytes first = proto::encode_frame(rig.sealed("first"));
    size_t off = 0;
    while (off < first.size()) off += static_cast<size_t>(::send(peer.fd, first.data() + off, first.size() - off, 0));
    for (size_t i = 0; i < kFrames; ++i) {
      proto::Bytes body(kSize, static_cast<uint8_t>(i));
      proto::Bytes f = proto::encode_frame(body);
      size_t o = 0;
      while (o < f.size()) {
        ssize_t n = ::send(peer.fd, f.data() + o, f.size() - o, MSG_NOSIGNAL);
        if (n <= 0) return;
        o += static_cast<size_t>(n);
        written += static_cast<size_t>(n);
      }
    }
    done = true;
  });
  // The first frame arrives; while the "actor" holds it, the stream reads nothing more.
  auto first = rig.next();
  ASSERT_TRUE(first && std::holds_alternative<conn::report::Frame>(first->report));
  // The peer is held back by its own socket buffers: its thread waits in send().
  ASSERT_TRUE(eventually([&] { return writer_tid != 0 && syscall_of(writer_tid).first == SYS_sendto; }));
  EXPECT_EQ(rig.reports.size(), 0u);  // no second frame queued for the actor
  EXPECT_FALSE(done.load());
  EXPECT_LT(written.load(), kFrames * kSize);
  // Taking the frames one at a time lets everything through, in order, one at a time.
  first.reset();
  size_t got = 0;
  while (got < kFrames) {
    auto f = rig.next_frame();
    ASSERT_TRUE(f.has_value()) << "after " << got << " frames";
    ASSERT_EQ(f->frame.size(), kSize);
    ASSERT_EQ(f->frame[0], static_cast<uint8_t>(got));
    EXPECT_LE(rig.reports.size(), 0u);
    ++got;
  }
  writer.join();
  EXPECT_TRUE(done.load());
}

TEST(Stream, AnOutboundStreamThatCannotConnectFails) {
  auto [rtx, rrx] = unbounded_channel<conn::Tagged>();
  auto [wtx, wrx] = unbounded_channel<conn::Write>();
  SocketAddr lo;
  lo.ip = {127, 0, 0, 1};
  auto closed = transport::tcp_listener(runtime().io(), lo);
  ASSERT_TRUE(closed.ok());
  SocketAddr nobody = *closed->local_addr();
  { auto gone = std::move(closed.value()); }
  auto t = transport::AsioTransport::bind(runtime().io(), lo).value();
  auto j = runtime().spawn(conn::outbound(t, 7, 1, nobody, std::move(wrx), rtx, conn::StreamSettings{}, conn::Held{}));
  t.reset();
  EXPECT_EQ(j.wait().how, Ended::Completed);
  auto a = rrx.try_recv(), b = rrx.try_recv();
  ASSERT_TRUE(a && b);
  EXPECT_TRUE(std::holds_alternative<conn::report::Failed>(a->report));
  EXPECT_TRUE(std::holds_alternative<conn::report::Finished>(b->report));
  EXPECT_EQ(a->id, 7u);
}

TEST(Stream, TimeoutsTooLongForTheClockMeanNoDeadline) {
  // A timeout of about 292 years: added to the clock it would wrap into the past.
  conn::StreamSettings forever{1 << 20, std::chrono::nanoseconds::max(), std::chrono::nanoseconds::max()};
  {
    InboundRig rig(forever);
    Peer peer(rig.at);
    rig.accept();
    EXPECT_FALSE(rig.next(100ms).has_value());  // a quiet peer is not dropped at once
    proto::Bytes packet = rig.sealed("late but welcome");
    peer.write_all(proto::encode_frame(packet));
    auto f = rig.next_frame();
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->frame, packet);
  }
  {
    // The outbound side connects and writes instead of timing out before it began.
    int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    SocketAddr lo = SocketAddr::v4({127, 0, 0, 1}, 0);
    sockaddr_storage ss;
    socklen_t len = to_sockaddr(lo, ss);
    ASSERT_EQ(::bind(lfd, reinterpret_cast<sockaddr*>(&ss), len), 0);
    ASSERT_EQ(::listen(lfd, 4), 0);
    socklen_t slen = sizeof ss;
    ASSERT_EQ(::getsockname(lfd, reinterpret_cast<sockaddr*>(&ss), &slen), 0);
    SocketAddr at = *from_sockaddr(reinterpret_cast<sockaddr*>(&ss), slen);
    auto [rtx, rrx] = unbounded_channel<conn::Tagged>();
    auto [wtx, wrx] = unbounded_channel<conn::Write>();
    auto t = transport::AsioTransport::bind(runtime().io(), lo).value();
    proto::Bytes packet{1, 2, 3, 4, 5, 6, 7, 8, 9};
    ASSERT_EQ(wtx.try_send(conn::write::Frame{proto::encode_frame(packet)}), TrySend::Sent);
    ASSERT_EQ(wtx.try_send(conn::write::Close{}), TrySend::Sent);
    auto j = runtime().spawn(conn::outbound(t, 9, 1, at, std::move(wrx), rtx, forever, conn::Held{}));
    t.reset();
    Peer peer(at, lfd);
    EXPECT_EQ(peer.read_frame(), packet);
    EXPECT_EQ(j.wait().how, Ended::Completed);
    auto a = rrx.try_recv(), b = rrx.try_recv();
    ASSERT_TRUE(a && b);
    EXPECT_TRUE(std::holds_alternative<conn::report::Closed>(a->report));
    EXPECT_TRUE(std::holds_alternative<conn::report::Finished>(b->report));
    ::close(lfd);
  }
}

// ---- the stream byte budget ------------------------------------------------------------------

namespace {

constexpr size_t kSmallFrame = 64 * 1024;
const uint64_t kRigStream = core::INBOUND_BIT | 1;
const uint64_t kRigShare = 1;

IpAddr other_ip(uint8_t last) { return IpAddr::of(SocketAddr::v4({10, 9, 9, last}, 1)); }
IpAddr loopback_ip() { return IpAddr::of(SocketAddr::v4({127, 0, 0, 1}, 1)); }

// A rig whose stream pays for its frames from `budget`.
InboundRig budgeted(std::shared_ptr<conn::Budget> b, conn::StreamSettings st = conn::StreamSettings{}) {
  st.max_stream_frame = kSmallFrame;
  InboundRig rig(st);
  rig.budget = std::move(b);
  return rig;
}

// Shares of two other addresses that fill the pool, neither having cut a frame; the first
// address holds the most.
std::pair<conn::Held, conn::Held> fill_pool(const std::shared_ptr<conn::Budget>& b) {
  std::pair<conn::Held, conn::Held> p{conn::Budget::open(b, 20, other_ip(1)), conn::Budget::open(b, 21, other_ip(2))};
  EXPECT_TRUE(std::holds_alternative<conn::take::Reserved>(p.first.take(kSmallFrame + 4)));
  EXPECT_TRUE(std::holds_alternative<conn::take::Reserved>(p.second.take(kSmallFrame - 4)));
  return p;
}

// The frame of a packet exactly `size` bytes long.
proto::Bytes frame_of_size(InboundRig& rig, size_t size) {
  std::string payload(size - rig.codec.overhead(), 'p');
  proto::Bytes packet = rig.sealed(payload);
  EXPECT_EQ(packet.size(), size);
  return proto::encode_frame(packet);
}

}  // namespace

TEST(Budgeted, EveryFrameRidesWithItsBytesAndTheNextIsPaidForAgain) {
  auto b = conn::Budget::for_frames(kSmallFrame, kSmallFrame + 4);
  InboundRig rig = budgeted(b);
  Peer peer(rig.at);
  rig.accept();
  // A frame of the largest size and a second one right behind it, in one write: the stream
  // reads no further than the first frame's end, so the allowance is enough.
  proto::Bytes both = frame_of_size(rig, kSmallFrame);
  proto::Bytes second_packet = rig.sealed("second");
  proto::Bytes second = proto::encode_frame(second_packet);
  both.insert(both.end(), second.begin(), second.end());
  peer.write_all(both);
  auto f = rig.next_frame();
  ASSERT_TRUE(f.has_value());
  ASSERT_EQ(f->frame.size(), kSmallFrame);
  ASSERT_TRUE(f->share.valid());
  {
    // While the actor has the frame, its bytes (not the prefix) stay reserved for the address.
    auto h = b->holdings();
    ASSERT_EQ(h.shares.size(), 1u);
    EXPECT_EQ(h.shares.at(kRigShare).held, 0u);
    EXPECT_EQ(h.framed, kSmallFrame);
    EXPECT_EQ(h.held_by(loopback_ip()), kSmallFrame);
    EXPECT_EQ(h.free, b->total() - kSmallFrame);
  }
  f.reset();  // the actor is done with it
  // The second frame is paid for too, and rides with its own bytes.
  auto f2 = rig.next_frame();
  ASSERT_TRUE(f2.has_value());
  ASSERT_TRUE(f2->share.valid());
  EXPECT_EQ(f2->share.bytes(), second_packet.size());
  EXPECT_EQ(b->holdings().framed, second_packet.size());
  f2.reset();
  EXPECT_EQ(b->holdings().free, b->total());
  EXPECT_EQ(b->holdings().shares.size(), 1u);  // the stream's share lives as long as the stream
}

TEST(Budgeted, NoRoomForTheAddressEndsTheConnection) {
  Capture& cap = capture();
  auto b = conn::Budget::for_frames(kSmallFrame, kSmallFrame + 4);
  // Another stream of the same address already holds all but 10 bytes of the allowance.
  conn::Held same = conn::Budget::open(b, 7, loopback_ip());
  ASSERT_TRUE(std::holds_alternative<conn::take::Reserved>(same.take(kSmallFrame - 6)));
  InboundRig rig = budgeted(b);
  Peer peer(rig.at);
  size_t m = cap.mark();
  rig.accept();
  peer.write_all(proto::encode_frame(rig.sealed("a frame longer than ten bytes")));
  EXPECT_TRUE(rig.next_is<conn::report::Failed>());
  EXPECT_TRUE(rig.next_is<conn::report::Finished>());
  EXPECT_EQ(cap.count(m, "no room in the inbound buffer for this address; dropping connection conn=" +
                             std::to_string(kRigStream),
                      log::Level::Debug),
            1u);
  EXPECT_TRUE(peer.at_end());
  // Its share went before Finished; the other one is untouched.
  auto h = b->holdings();
  EXPECT_EQ(h.shares.size(), 1u);
  EXPECT_EQ(h.held_by(loopback_ip()), kSmallFrame - 6);
}

TEST(Budgeted, AStreamWaitsForEvictedBytesToComeBackThenGoesOn) {
  auto b = conn::Budget::for_frames(kSmallFrame, kSmallFrame + 4);
  auto [x, y] = fill_pool(b);
  InboundRig rig = budgeted(b);
  Peer peer(rig.at);
  rig.accept();
  proto::Bytes packet = rig.sealed("wanted");
  peer.write_all(proto::encode_frame(packet));
  // The stream's first read pushes out the address holding the most, then waits for it.
  ASSERT_TRUE(eventually([&] { return b->holdings().evicted == kSmallFrame + 4; }));
  {
    Notify::Waiter told(*x.notifier());
    EXPECT_TRUE(told.poll());
  }
  EXPECT_FALSE(rig.next(100ms).has_value());  // still waiting: nothing was released
  x.drop();  // the evicted stream ends and gives its bytes back
  auto f = rig.next_frame();
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ(f->frame, packet);
}

TEST(Budgeted, WaitingForRoomEndsAtTheReadDeadline) {
  Capture& cap = capture();
  auto b = conn::Budget::for_frames(kSmallFrame, kSmallFrame + 4);
  auto held_elsewhere = fill_pool(b);
  conn::StreamSettings st;
  st.tcp_header_timeout = 200ms;
  InboundRig rig = budgeted(b, st);
  Peer peer(rig.at);
  size_t m = cap.mark();
  rig.accept();
  peer.write_all(proto::encode_frame(rig.sealed("never paid for")));
  EXPECT_TRUE(rig.next_is<conn::report::Failed>());
  EXPECT_TRUE(rig.next_is<conn::report::Finished>());
  EXPECT_EQ(cap.count(m, "no room in the inbound buffer for this address; dropping connection"), 1u);
  EXPECT_EQ(cap.count(m, "no valid header in time"), 0u);
  EXPECT_EQ(b->holdings().shares.size(), 2u);
}

TEST(Budgeted, AnEvictedStreamEndsItsConnectionAndItsBytesComeBack) {
  Capture& cap = capture();
  auto b = conn::Budget::for_frames(kSmallFrame, 2 * kSmallFrame);
  InboundRig rig = budgeted(b);
  Peer peer(rig.at);
  size_t m = cap.mark();
  rig.accept();
  // Most of a large first frame, then nothing: the header passes, the rest never comes.
  proto::Bytes f = frame_of_size(rig, kSmallFrame);
  const size_t sent = kSmallFrame / 2;
  peer.write_all(proto::ByteView(f).subspan(0, sent));
  ASSERT_TRUE(eventually([&] { return b->holdings().held_by(loopback_ip()) == sent; }));
  // A stranger holding nothing needs more than is free: the stalled stream goes.
  conn::Held z = conn::Budget::open(b, 30, other_ip(3));
  auto t = z.take(b->total() - sent / 2);
  ASSERT_TRUE(std::holds_alternative<conn::take::Wait>(t));
  EXPECT_TRUE(rig.next_is<conn::report::Failed>());
  EXPECT_TRUE(rig.next_is<conn::report::Finished>());
  EXPECT_EQ(cap.count(m, "evicted to make room for another address's frame conn=" + std::to_string(kRigStream),
                      log::Level::Debug),
            1u);
  EXPECT_TRUE(peer.at_end());
  EXPECT_TRUE(std::holds_alternative<conn::take::Reserved>(z.take(b->total() - sent / 2)));
}
