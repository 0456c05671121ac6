#include "base/Socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/QdfException.h"

namespace qdf {
namespace {

// Connects one address with a time-out: non-blocking connect, poll for
// writability, then back to blocking mode.
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
      rc = (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) ? 0 : -1;
    } else {
      rc = -1;
    }
  }
  if (rc != 0) {
    ::close(fd);
    return -1;
  }
  ::fcntl(fd, F_SETFL, flags);
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

}  // namespace

TTcpSocket::~TTcpSocket() { Close(); }

void TTcpSocket::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool TTcpSocket::Connect(const std::string& host, uint16_t port, int timeout_ms) {
  Close();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  if (::getaddrinfo(host.empty() ? "localhost" : host.c_str(), service.c_str(), &hints, &list) !=
      0) {
    return false;
  }
  for (const addrinfo* ai = list; ai != nullptr && fd_ < 0; ai = ai->ai_next) {
    fd_ = ConnectAddress(ai, timeout_ms);
  }
  ::freeaddrinfo(list);
  return fd_ >= 0;
}

void TTcpSocket::Send(const void* data, size_t n) {
  QDF_ASSERT(fd_ >= 0, "QdfTransport");
  const auto* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    const ssize_t sent = ::send(fd_, p, n, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) throw EQdfException(Format("Socket send failed: %s", std::strerror(errno)));
    p += sent;
    n -= static_cast<size_t>(sent);
  }
}

bool TTcpSocket::Receive(void* data, size_t n, int timeout_ms) {
  QDF_ASSERT(fd_ >= 0, "QdfTransport");
  auto* p = static_cast<uint8_t*>(data);
  while (n > 0) {
    pollfd pf{fd_, POLLIN, 0};
    const int ready = ::poll(&pf, 1, timeout_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) throw EQdfException(Format("Socket receive failed: %s", std::strerror(errno)));
    if (ready == 0) return false;
    const ssize_t got = ::recv(fd_, p, n, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got == 0) return false;
    if (got < 0) throw EQdfException(Format("Socket receive failed: %s", std::strerror(errno)));
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

bool TcpProbe(const std::string& host, uint16_t port, int timeout_ms) {
  TTcpSocket socket;
  return socket.Connect(host, port, timeout_ms);
}

}  // namespace qdf
