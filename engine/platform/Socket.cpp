#include "platform/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace qdf {
namespace {

// Connects one address with a time-out: non-blocking connect, poll for
// writability, then back to blocking mode. Returns the descriptor or -1 with
// errno describing the failure.
int ConnectAddress(const addrinfo* ai, int timeout_ms) {
  int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
  if (fd < 0) return -1;
  const int flags = ::fcntl(fd, F_GETFL, 0);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int rc = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
  if (rc != 0 && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    do {
      rc = ::poll(&p, 1, timeout_ms);
    } while (rc < 0 && errno == EINTR);
    if (rc == 1) {
      int err = 0;
      socklen_t len = sizeof err;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      rc = err == 0 ? 0 : -1;
      if (err != 0) errno = err;
    } else {
      if (rc == 0) errno = ETIMEDOUT;
      rc = -1;
    }
  }
  if (rc != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  ::fcntl(fd, F_SETFL, flags);
  return fd;
}

std::string AddressText(const sockaddr_storage& a) {
  char text[INET6_ADDRSTRLEN] = {};
  if (a.ss_family == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(a).sin_addr, text, sizeof text);
  } else if (a.ss_family == AF_INET6) {
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(a).sin6_addr, text, sizeof text);
  }
  return text;
}

}  // namespace

TQdfTCPSocket::~TQdfTCPSocket() { Close(); }

void TQdfTCPSocket::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  pending_.clear();
}

bool TQdfTCPSocket::Fail(std::string message) {
  last_error_ = std::move(message);
  if (raise_) throw ESocketError(last_error_);
  return false;
}

std::string TQdfTCPSocket::Peer() const { return host_ + ":" + port_; }

bool TQdfTCPSocket::Connect(const std::string& host, const std::string& port,
                            int connect_timeout_ms) {
  Close();
  host_ = host.empty() ? std::string("localhost") : host;
  port_ = port;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(host_.c_str(), port_.c_str(), &hints, &list);
  if (rc != 0) {
    return Fail(Format("Socket error: cannot resolve %s (%s)", Peer().c_str(), ::gai_strerror(rc)));
  }
  int err = ECONNREFUSED;
  for (const addrinfo* ai = list; ai != nullptr && fd_ < 0; ai = ai->ai_next) {
    fd_ = ConnectAddress(ai, connect_timeout_ms);
    if (fd_ < 0) err = errno;
  }
  ::freeaddrinfo(list);
  if (fd_ < 0) {
    return Fail(
        Format("Socket error: cannot connect to %s (%s)", Peer().c_str(), std::strerror(err)));
  }
  return true;
}

bool TQdfTCPSocket::Send(const void* data, size_t n) {
  if (fd_ < 0) return Fail(Format("Socket error: not connected (%s)", Peer().c_str()));
  const auto* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    const ssize_t sent = ::send(fd_, p, n, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) {
      return Fail(
          Format("Socket error: sending to %s failed (%s)", Peer().c_str(), std::strerror(errno)));
    }
    p += sent;
    n -= static_cast<size_t>(sent);
  }
  return true;
}

bool TQdfTCPSocket::SendBuffered(const void* data, size_t n, bool flush) {
  if (flush && pending_.empty()) return Send(data, n);
  const auto* p = static_cast<const uint8_t*>(data);
  pending_.insert(pending_.end(), p, p + n);
  if (!flush) return true;
  std::vector<uint8_t> all;
  all.swap(pending_);
  return Send(all.data(), all.size());
}

bool TQdfTCPSocket::ReceiveExact(void* data, size_t n) {
  if (fd_ < 0) return Fail(Format("Socket error: not connected (%s)", Peer().c_str()));
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms_);
  auto* p = static_cast<uint8_t*>(data);
  while (n > 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd pf{fd_, POLLIN, 0};
    const int ready = left <= 0 ? 0 : ::poll(&pf, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) {
      return Fail(
          Format("Socket error: waiting for %s failed (%s)", Peer().c_str(), std::strerror(errno)));
    }
    if (ready == 0) {
      return Fail(
          Format("Socket error: no answer from %s within %d ms", Peer().c_str(), timeout_ms_));
    }
    const ssize_t got = ::recv(fd_, p, n, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got == 0) {
      return Fail(Format("Socket error: %s closed the connection", Peer().c_str()));
    }
    if (got < 0) {
      return Fail(Format("Socket error: receiving from %s failed (%s)", Peer().c_str(),
                         std::strerror(errno)));
    }
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

bool TQdfTCPSocket::DataWaiting() {
  if (fd_ < 0) return false;
  pollfd pf{fd_, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&pf, 1, 0);
  } while (ready < 0 && errno == EINTR);
  return ready == 1 && (pf.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

std::string TQdfTCPSocket::LocalAddress() const {
  if (fd_ < 0) return std::string();
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) return std::string();
  return AddressText(a);
}

std::string TQdfTCPSocket::RemoteAddress() const {
  if (fd_ < 0) return std::string();
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) return std::string();
  return AddressText(a);
}

void TQdfTCPSocket::SetDelay(bool on) {
  if (fd_ < 0) return;
  const int no_delay = on ? 0 : 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &no_delay, sizeof no_delay);
}

}  // namespace qdf
