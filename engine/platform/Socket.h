// Blocking TCP connections: the platform side of talking to a database
// server. Nothing here knows the server's protocol; the remote filer and the
// system build their messages on top of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/QdfException.h"

namespace qdf {

// A failure of the connection itself (refused, closed by the peer, timed
// out, send failed). Callers that keep a connection treat it as lost.
class ESocketError : public EQdfException {
 public:
  using EQdfException::EQdfException;
};

// One blocking TCP connection with a pending-send buffer. Not thread-safe;
// the owner serialises its use (the remote filer under its lock).
//
// Errors: with RaiseExceptions on, every failure raises ESocketError; with it
// off, Connect/ReceiveExact/Send report false and LastError() tells why.
class TQdfTCPSocket {
 public:
  // Every receive waits at most this long unless SetTimeout says otherwise.
  static constexpr int kDefaultTimeoutMs = 120000;
  static constexpr int kConnectTimeoutMs = 2000;

  TQdfTCPSocket() = default;
  ~TQdfTCPSocket();
  TQdfTCPSocket(const TQdfTCPSocket&) = delete;
  TQdfTCPSocket& operator=(const TQdfTCPSocket&) = delete;

  // Connects to host:port (port as decimal text), trying every address the
  // name resolves to, each for at most connect_timeout_ms. An open connection
  // is closed first. The no-delay option starts off (see SetDelay).
  bool Connect(const std::string& host, const std::string& port,
               int connect_timeout_ms = kConnectTimeoutMs);
  void Close();
  bool Connected() const { return fd_ >= 0; }

  // Sends all n bytes at once. REQUIRES: connected (else an error).
  bool Send(const void* data, size_t n);
  // With flush and nothing pending: sends `data` at once. Otherwise appends it
  // to the pending buffer and, with flush, sends the whole buffer in one send
  // and empties it. A failed send drops what was pending.
  bool SendBuffered(const void* data, size_t n, bool flush);
  size_t PendingBytes() const { return pending_.size(); }

  // Receives exactly n bytes within the time-out (one deadline for all of
  // them). Fails on time-out, on a connection closed by the peer and on
  // socket errors.
  bool ReceiveExact(void* data, size_t n);
  // True when received data waits to be read (or the peer closed: the next
  // receive then reports it).
  bool DataWaiting();

  // Numeric addresses of the two ends ("" when not connected).
  std::string LocalAddress() const;
  std::string RemoteAddress() const;

  // The TCP no-delay option is set to the opposite of `on`.
  void SetDelay(bool on);
  void SetRaiseExceptions(bool on) { raise_ = on; }
  bool RaiseExceptions() const { return raise_; }
  void SetTimeout(int ms) { timeout_ms_ = ms; }
  int Timeout() const { return timeout_ms_; }
  // The last failure as text ("" when none yet).
  const std::string& LastError() const { return last_error_; }

 private:
  // Records the failure; raises it when exceptions are on. Returns false.
  bool Fail(std::string message);
  std::string Peer() const;

  int fd_ = -1;
  bool raise_ = false;
  int timeout_ms_ = kDefaultTimeoutMs;
  std::string host_;
  std::string port_;
  std::string last_error_;
  std::vector<uint8_t> pending_;
};

}  // namespace qdf
