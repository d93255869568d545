#include "net/transport.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <variant>
#include <vector>

namespace vennock::net::transport {

namespace {

IoError last_error() { return IoError::os(errno); }

int family_of(const SocketAddr& a) { return a.is_v4() ? AF_INET : AF_INET6; }

// A descriptor that is closed unless released.
struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  Fd(const Fd&) = delete;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  int release() { return std::exchange(fd, -1); }
};

Result<int, IoError> open_socket(int family, int type) {
  // Close-on-exec and non-blocking from the start: no window in which a fork could inherit
  // the descriptor. (Linux has no SO_NOSIGPIPE; stream sends pass MSG_NOSIGNAL instead.)
  int fd = ::socket(family, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return err(last_error());
  return fd;
}

Result<SocketAddr, IoError> local_of(int fd) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return err(last_error());
  auto a = from_sockaddr(reinterpret_cast<sockaddr*>(&ss), len);
  if (!a) return err(IoError::custom(IoKind::Other, "unknown address family"));
  return *a;
}

void set_nodelay(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

}  // namespace

Readiness::Readiness() : st_(std::make_shared<State>()) {}

void Readiness::clear() {
  std::lock_guard<std::mutex> g(st_->m);
  st_->ready = false;
}

// ---- UDP --------------------------------------------------------------------------------

Result<UdpSocket, IoError> udp_socket(asio::io_context& io, const SocketAddr& addr) {
  auto fd = open_socket(family_of(addr), SOCK_DGRAM);
  if (!fd) return err(fd.error());
  Fd guard(*fd);
  int rcvbuf = 4 * 1024 * 1024;
  // A refusal keeps the system's default size.
  (void)::setsockopt(guard.fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  sockaddr_storage ss;
  socklen_t len = to_sockaddr(addr, ss);
  if (::bind(guard.fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) return err(last_error());
  auto s = std::make_unique<asio::ip::udp::socket>(io);
  asio::error_code ec;
  s->assign(addr.is_v4() ? asio::ip::udp::v4() : asio::ip::udp::v6(), guard.fd, ec);
  if (ec) return err(IoError::os(ec.value()));
  guard.release();
  return UdpSocket(std::move(s));
}

Result<size_t, IoError> UdpSocket::send_to(proto::ByteView data, const SocketAddr& to) {
  sockaddr_storage ss;
  socklen_t len = to_sockaddr(to, ss);
  ssize_t n = ::sendto(fd(), data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&ss), len);
  if (n < 0) return err(last_error());
  return static_cast<size_t>(n);
}

Result<std::pair<size_t, SocketAddr>, IoError> UdpSocket::try_recv_from(std::span<uint8_t> buf) {
  for (;;) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    ssize_t n = ::recvfrom(fd(), buf.data(), buf.size(), MSG_TRUNC, reinterpret_cast<sockaddr*>(&ss), &len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return err(last_error());
    }
    auto from = from_sockaddr(reinterpret_cast<sockaddr*>(&ss), len);
    if (!from) continue;  // not an IP sender: nothing the engine could answer
    return std::make_pair(static_cast<size_t>(n), *from);
  }
}

Result<SocketAddr, IoError> UdpSocket::local_addr() const { return local_of(s_->native_handle()); }

// ---- TCP --------------------------------------------------------------------------------

Result<TcpListener, IoError> tcp_listener(asio::io_context& io, const SocketAddr& addr) {
  auto fd = open_socket(family_of(addr), SOCK_STREAM);
  if (!fd) return err(fd.error());
  Fd guard(*fd);
  int one = 1;
  if (::setsockopt(guard.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) return err(last_error());
  sockaddr_storage ss;
  socklen_t len = to_sockaddr(addr, ss);
  if (::bind(guard.fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) return err(last_error());
  if (::listen(guard.fd, 1024) != 0) return err(last_error());
  auto s = std::make_unique<asio::ip::tcp::acceptor>(io);
  asio::error_code ec;
  s->assign(addr.is_v4() ? asio::ip::tcp::v4() : asio::ip::tcp::v6(), guard.fd, ec);
  if (ec) return err(IoError::os(ec.value()));
  guard.release();
  return TcpListener(io, std::move(s));
}

Result<std::pair<TcpStream, SocketAddr>, IoError> TcpListener::try_accept() {
  for (;;) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    int fd = ::accept4(s_->native_handle(), reinterpret_cast<sockaddr*>(&ss), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return err(last_error());
    }
    Fd guard(fd);
    auto from = from_sockaddr(reinterpret_cast<sockaddr*>(&ss), len);
    if (!from) continue;
    auto st = TcpStream::adopt(*io_, guard.release(), !from->is_v4());
    if (!st) return err(st.error());
    return std::make_pair(std::move(st.value()), *from);
  }
}

Result<SocketAddr, IoError> TcpListener::local_addr() const { return local_of(s_->native_handle()); }

Result<TcpStream, IoError> TcpStream::adopt(asio::io_context& io, int fd, bool v6) {
  Fd guard(fd);
  set_nodelay(fd);
  auto s = std::make_unique<asio::ip::tcp::socket>(io);
  asio::error_code ec;
  s->assign(v6 ? asio::ip::tcp::v6() : asio::ip::tcp::v4(), fd, ec);
  if (ec) return err(IoError::os(ec.value()));
  guard.release();
  return TcpStream(std::move(s));
}

Task<Result<TcpStream, IoError>> TcpStream::connect(asio::io_context& io, SocketAddr to, Instant deadline) {
  auto fd = open_socket(family_of(to), SOCK_STREAM);
  if (!fd) co_return err(fd.error());
  auto made = adopt(io, *fd, !to.is_v4());
  if (!made) co_return err(made.error());
  TcpStream st = std::move(made.value());
  sockaddr_storage ss;
  socklen_t len = to_sockaddr(to, ss);
  if (::connect(st.fd(), reinterpret_cast<sockaddr*>(&ss), len) == 0) co_return std::move(st);
  if (errno != EINPROGRESS && errno != EINTR) co_return err(last_error());
  // The connection completes when the socket becomes writable; SO_ERROR tells how.
  st.clear_writable();
  for (;;) {
    if (st.poll_writable()) {
      int e = 0;
      socklen_t elen = sizeof e;
      if (::getsockopt(st.fd(), SOL_SOCKET, SO_ERROR, &e, &elen) != 0) co_return err(last_error());
      if (e == 0) {
        sockaddr_storage peer{};
        socklen_t plen = sizeof peer;
        if (::getpeername(st.fd(), reinterpret_cast<sockaddr*>(&peer), &plen) == 0) co_return std::move(st);
        if (errno != ENOTCONN) co_return err(last_error());
      } else if (e != EINPROGRESS && e != EALREADY) {
        co_return err(IoError::os(e));
      }
      st.clear_writable();
      continue;
    }
    if (now() >= deadline) co_return err(IoError::os(ETIMEDOUT));
    co_await park(deadline);
  }
}

Result<size_t, IoError> TcpStream::try_read(std::span<uint8_t> buf) {
  for (;;) {
    ssize_t n = ::recv(fd(), buf.data(), buf.size(), 0);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno == EINTR) continue;
    return err(last_error());
  }
}

Result<size_t, IoError> TcpStream::try_write(proto::ByteView data) {
  for (;;) {
    ssize_t n = ::send(fd(), data.data(), data.size(), MSG_NOSIGNAL);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno == EINTR) continue;
    return err(last_error());
  }
}

void TcpStream::shutdown_write() { ::shutdown(fd(), SHUT_WR); }

Result<SocketAddr, IoError> TcpStream::peer_addr() const {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getpeername(s_->native_handle(), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return err(last_error());
  auto a = from_sockaddr(reinterpret_cast<sockaddr*>(&ss), len);
  if (!a) return err(IoError::custom(IoKind::Other, "unknown address family"));
  return *a;
}

Result<SocketAddr, IoError> TcpStream::local_addr() const { return local_of(s_->native_handle()); }

// ---- advertised address -----------------------------------------------------------------

SocketAddr default_advertise(const SocketAddr& bound) {
  if (!IpAddr::of(bound).is_unspecified()) return bound;
  SocketAddr probe;
  probe.family = bound.family;
  probe.port = 53;
  if (bound.is_v4()) {
    probe.ip = {8, 8, 8, 8};
  } else {
    probe.ip = {0x20, 0x01, 0x48, 0x60, 0x48, 0x60, 0, 0, 0, 0, 0, 0, 0, 0, 0x88, 0x88};
  }
  std::optional<SocketAddr> found;
  int fd = ::socket(family_of(bound), SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    sockaddr_storage any;
    SocketAddr unspecified;
    unspecified.family = bound.family;
    socklen_t alen = to_sockaddr(unspecified, any);
    sockaddr_storage ss;
    socklen_t len = to_sockaddr(probe, ss);
    // A connect on a datagram socket only picks the route; nothing is sent.
    if (::bind(fd, reinterpret_cast<sockaddr*>(&any), alen) == 0) {
      int rc;
      do {
        rc = ::connect(fd, reinterpret_cast<sockaddr*>(&ss), len);
      } while (rc != 0 && errno == EINTR);
      if (rc == 0) {
        if (auto l = local_of(fd); l && !IpAddr::of(*l).is_unspecified()) found = *l;
      }
    }
    ::close(fd);
  }
  if (!found) return loopback_of(bound);
  SocketAddr out;
  out.family = bound.family;
  out.ip = found->ip;
  out.port = bound.port;
  return out;
}

SocketAddr loopback_of(const SocketAddr& bound) {
  if (!IpAddr::of(bound).is_unspecified()) return bound;
  SocketAddr out;
  out.family = bound.family;
  if (bound.is_v4()) {
    out.ip = {127, 0, 0, 1};
  } else {
    out.ip = {};
    out.ip[15] = 1;
  }
  out.port = bound.port;
  return out;
}

// ---- the paired bind ----------------------------------------------------------------------

namespace {
bool retry_port(const IoError& e) {
  return e.os_code == EADDRINUSE || e.os_code == EACCES || e.os_code == EPERM;
}
}  // namespace

Result<std::shared_ptr<AsioTransport>, IoError> AsioTransport::bind(asio::io_context& io, const SocketAddr& addr) {
  if (addr.port != 0) {
    auto udp = udp_socket(io, addr);
    if (!udp) return err(udp.error());
    auto tcp = tcp_listener(io, addr);
    if (!tcp) return err(tcp.error());  // the UDP socket closes on the way out
    return std::make_shared<AsioTransport>(io, std::move(udp.value()), std::move(tcp.value()), addr);
  }
  // Sockets whose port the other protocol could not take: kept open until the search ends.
  std::vector<UdpSocket> held_udp;
  std::vector<TcpListener> held_tcp;
  std::optional<IoError> last;
  SocketAddr ip_only = addr;
  ip_only.flowinfo = 0;
  ip_only.scope_id = addr.is_v4() ? 0 : addr.scope_id;
  for (int attempt = 0; attempt < 64; ++attempt) {
    bool udp_first = attempt % 2 == 0;
    if (udp_first) {
      auto udp = udp_socket(io, addr);
      if (!udp) {
        if (!retry_port(udp.error())) return err(udp.error());
        last = udp.error();
        continue;
      }
      auto port = udp->local_addr();
      if (!port) return err(port.error());
      SocketAddr second = ip_only;
      second.port = port->port;
      auto tcp = tcp_listener(io, second);
      if (tcp) return std::make_shared<AsioTransport>(io, std::move(udp.value()), std::move(tcp.value()), second);
      if (!retry_port(tcp.error())) return err(tcp.error());
      last = tcp.error();
      held_udp.push_back(std::move(udp.value()));
    } else {
      auto tcp = tcp_listener(io, addr);
      if (!tcp) {
        if (!retry_port(tcp.error())) return err(tcp.error());
        last = tcp.error();
        continue;
      }
      auto port = tcp->local_addr();
      if (!port) return err(port.error());
      SocketAddr second = ip_only;
      second.port = port->port;
      auto udp = udp_socket(io, second);
      if (udp) return std::make_shared<AsioTransport>(io, std::move(udp.value()), std::move(tcp.value()), second);
      if (!retry_port(udp.error())) return err(udp.error());
      last = udp.error();
      held_tcp.push_back(std::move(tcp.value()));
    }
  }
  return err(last.value_or(IoError::os(EADDRINUSE)));
}

}  // namespace vennock::net::transport
