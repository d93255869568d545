// The node's sockets: one UDP socket and one TCP listener on the same port, the streams
// they make, and the choice of the address to advertise.
//
// Every descriptor is non-blocking and close-on-exec; stream writes never raise SIGPIPE.
// Waiting is done on readiness (the runtime's reactor wakes the task that asked), and the
// I/O itself is one non-blocking system call, so a task that stops waiting loses nothing.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>

#include <memory>
#include <mutex>
#include <span>
#include <utility>

#include "net/addr.hpp"
#include "net/error.hpp"
#include "net/task.hpp"
#include "proto/result.hpp"

namespace vennock::net::transport {

// Readiness of one socket in one direction.
class Readiness {
 public:
  Readiness();
  // True when the socket is (or may be) ready; otherwise asks the reactor to wake the
  // running task when it becomes so.
  template <class Socket>
  bool poll(Socket& s, asio::socket_base::wait_type type) {
    {
      std::lock_guard<std::mutex> g(st_->m);
      if (st_->ready) return true;
      st_->w = this_task::waker();
      if (st_->armed) return false;
      st_->armed = true;
    }
    s.async_wait(type, [st = st_](const asio::error_code&) {
      Waker w;
      {
        std::lock_guard<std::mutex> g(st->m);
        st->armed = false;
        st->ready = true;  // on an error too: the next call finds out what it is
        w = st->w;
      }
      w.wake();
    });
    return false;
  }
  // After a call reported that it would block.
  void clear();

 private:
  struct State {
    std::mutex m;
    bool ready = true;  // try the call first
    bool armed = false;
    Waker w;
  };
  std::shared_ptr<State> st_;
};

class UdpSocket {
 public:
  UdpSocket(UdpSocket&&) noexcept = default;
  UdpSocket& operator=(UdpSocket&&) noexcept = default;
  ~UdpSocket() = default;

  // One send, no waiting: a full send buffer is an error like any other.
  Result<size_t, IoError> send_to(proto::ByteView data, const SocketAddr& to);
  // One datagram if one is queued; IoKind::WouldBlock otherwise. The length is the
  // datagram's whole length, also when the buffer took only its start (larger than `buf`).
  Result<std::pair<size_t, SocketAddr>, IoError> try_recv_from(std::span<uint8_t> buf);
  bool poll_readable() { return read_.poll(*s_, asio::socket_base::wait_read); }
  void clear_readable() { read_.clear(); }
  Result<SocketAddr, IoError> local_addr() const;
  int fd() const { return s_->native_handle(); }

 private:
  friend Result<UdpSocket, IoError> udp_socket(asio::io_context& io, const SocketAddr& addr);
  explicit UdpSocket(std::unique_ptr<asio::ip::udp::socket> s) : s_(std::move(s)) {}
  std::unique_ptr<asio::ip::udp::socket> s_;
  Readiness read_;
};

class TcpStream {
 public:
  TcpStream(TcpStream&&) noexcept = default;
  TcpStream& operator=(TcpStream&&) noexcept = default;
  ~TcpStream() = default;

  // Connects within the deadline (TimedOut after it).
  static Task<Result<TcpStream, IoError>> connect(asio::io_context& io, SocketAddr to, Instant deadline);
  // Wraps a connected descriptor (takes ownership; sets TCP_NODELAY).
  static Result<TcpStream, IoError> adopt(asio::io_context& io, int fd, bool v6);

  // Bytes read, 0 at the end of the stream, or an error (WouldBlock when nothing waits).
  Result<size_t, IoError> try_read(std::span<uint8_t> buf);
  Result<size_t, IoError> try_write(proto::ByteView data);
  bool poll_readable() { return read_.poll(*s_, asio::socket_base::wait_read); }
  bool poll_writable() { return write_.poll(*s_, asio::socket_base::wait_write); }
  void clear_readable() { read_.clear(); }
  void clear_writable() { write_.clear(); }
  void shutdown_write();
  Result<SocketAddr, IoError> peer_addr() const;
  Result<SocketAddr, IoError> local_addr() const;
  int fd() const { return s_->native_handle(); }

 private:
  explicit TcpStream(std::unique_ptr<asio::ip::tcp::socket> s) : s_(std::move(s)) {}
  std::unique_ptr<asio::ip::tcp::socket> s_;
  Readiness read_;
  Readiness write_;
};

class TcpListener {
 public:
  TcpListener(TcpListener&&) noexcept = default;
  TcpListener& operator=(TcpListener&&) noexcept = default;
  ~TcpListener() = default;

  // One pending connection, or IoKind::WouldBlock.
  Result<std::pair<TcpStream, SocketAddr>, IoError> try_accept();
  bool poll_acceptable() { return read_.poll(*s_, asio::socket_base::wait_read); }
  void clear_acceptable() { read_.clear(); }
  Result<SocketAddr, IoError> local_addr() const;
  int fd() const { return s_->native_handle(); }

 private:
  friend Result<TcpListener, IoError> tcp_listener(asio::io_context& io, const SocketAddr& addr);
  TcpListener(asio::io_context& io, std::unique_ptr<asio::ip::tcp::acceptor> s) : io_(&io), s_(std::move(s)) {}
  asio::io_context* io_;
  std::unique_ptr<asio::ip::tcp::acceptor> s_;
  Readiness read_;
};

// A UDP socket bound to `addr`: close-on-exec, a 4 MiB receive buffer when the system
// allows it, non-blocking, registered with the runtime.
Result<UdpSocket, IoError> udp_socket(asio::io_context& io, const SocketAddr& addr);
// A TCP listener bound to `addr` with SO_REUSEADDR and a backlog of 1024.
Result<TcpListener, IoError> tcp_listener(asio::io_context& io, const SocketAddr& addr);
// The bound address when its IP is specified; otherwise the IP of the interface that routes
// outward (found without sending anything), or loopback when there is none; the bound port.
SocketAddr default_advertise(const SocketAddr& bound);
// Where a socket bound to `bound` reaches itself through the host alone: the bound address
// when its IP is specified, else the loopback address of its family; the bound port.
SocketAddr loopback_of(const SocketAddr& bound);

// The node's UDP socket and TCP listener on one port.
class AsioTransport {
 public:
  // Binds both on `addr`. With port 0, up to 64 attempts find a port free for both: an even
  // attempt binds UDP first, an odd one TCP first; a first socket whose port the second
  // could not take stays open until the search ends, so the next attempt gets another port.
  static Result<std::shared_ptr<AsioTransport>, IoError> bind(asio::io_context& io, const SocketAddr& addr);

  const SocketAddr& local_addr() const { return bound_; }
  asio::io_context& io() { return *io_; }

  Result<size_t, IoError> send_datagram(const SocketAddr& to, proto::ByteView data) {
    return udp_.send_to(data, to);
  }
  UdpSocket& udp() { return udp_; }
  TcpListener& listener() { return tcp_; }
  Task<Result<TcpStream, IoError>> connect(SocketAddr to, Instant deadline) {
    return TcpStream::connect(*io_, to, deadline);
  }

  AsioTransport(asio::io_context& io, UdpSocket udp, TcpListener tcp, SocketAddr bound)
      : io_(&io), udp_(std::move(udp)), tcp_(std::move(tcp)), bound_(bound) {}

 private:
  asio::io_context* io_;
  UdpSocket udp_;
  TcpListener tcp_;
  SocketAddr bound_;
};

}  // namespace vennock::net::transport
