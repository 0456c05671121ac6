// Blocking TCP connections: the platform side of talking to a database
// server. Nothing here knows the server's protocol; the filers and the system
// build their messages on top of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qdf {

// One blocking TCP connection. Not thread-safe; one owner at a time.
class TTcpSocket {
 public:
  TTcpSocket() = default;
  ~TTcpSocket();
  TTcpSocket(const TTcpSocket&) = delete;
  TTcpSocket& operator=(const TTcpSocket&) = delete;

  // Connects to host:port, trying every address the name resolves to, each
  // for at most timeout_ms. Returns false (never raises) when no address
  // accepts; an open connection is closed first.
  bool Connect(const std::string& host, uint16_t port, int timeout_ms);
  // Sends all n bytes. Raises EQdfException when the connection fails.
  // REQUIRES: connected.
  void Send(const void* data, size_t n);
  // Receives exactly n bytes, waiting at most timeout_ms for each part.
  // Returns false when the time runs out or the peer closed the connection;
  // raises EQdfException on other socket errors. REQUIRES: connected.
  bool Receive(void* data, size_t n, int timeout_ms);
  void Close();
  bool Connected() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// True when something accepts a TCP connection at host:port within
// timeout_ms; the connection is closed at once.
bool TcpProbe(const std::string& host, uint16_t port, int timeout_ms = 2000);

}  // namespace qdf
