// A stand-in database server for tests of the remote filer: it listens on
// 127.0.0.1 at an ephemeral port, serves requests from a real
// local database file, records what it was sent, and can be told to misbehave
// on the next request of a given command. Each connection is served by a
// thread of its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qdf_test {

// Replies in tests never wait long: a silent peer fails within this.
inline constexpr int kShortTimeoutMs = 300;

// quillon.ini text that sends aliases to the one server at 127.0.0.1:port.
inline std::string PeerIni(uint16_t port) {
  return "[SERVER]\nPORT=" + std::to_string(port) + "\nTIMEOUT=" + std::to_string(kShortTimeoutMs) +
         "\nMAX_SERVER=1\nServer1=127.0.0.1\n";
}

// A port of this machine on which nothing listens.
uint16_t ClosedPort();

enum class TPeerFault {
  kNone,
  kErrorReply,       // command FFFF with the given text and help context
  kShortReply,       // ReadData: 100 bytes fewer than asked for
  kOversizedReply,   // ReadData: 100 bytes more; Start Transaction: a 100-byte root record
  kTruncatedReply,   // the header promises the data, half of it comes, then the connection closes
  kCloseConnection,  // the connection closes instead of a reply
  kHang,             // no reply at all (the connection stays open)
  kWrongCommand,     // the reply echoes another command
  kOldVersion,       // OpenServer: server version 256
};

// One stream as the peer received it.
struct TPeerStream {
  std::string name;
  uint32_t start_arg = 0;
  struct TChunk {
    int64_t value = 0;  // Low/High of the chunk message
    std::string bytes;
  };
  std::vector<TChunk> chunks;
  bool ended = false;
};

// The items of a page stream ("SUL": the pages of an update list), as a
// server unpacks them: each chunk is a packed page or 8192 raw bytes, and
// every used slot of a page's item area is one item, in page order and slot
// order. Raises std::runtime_error for a chunk that is no page.
std::vector<std::string> StreamItems(const TPeerStream& stream);

class TProtocolPeer {
 public:
  // Serves `db_file` (must exist) until destroyed.
  explicit TProtocolPeer(std::string db_file);
  ~TProtocolPeer();
  TProtocolPeer(const TProtocolPeer&) = delete;
  TProtocolPeer& operator=(const TProtocolPeer&) = delete;

  uint16_t Port() const { return port_; }

  // The next request with `command` gets `fault` instead of its answer;
  // with `skip` > 0, the (skip+1)-th one (the ones before are served).
  void FailNext(uint16_t command, TPeerFault fault, std::string text = std::string(),
                uint32_t help_context = 0, int skip = 0);
  // The fields of the OpenServer reply (raw bytes each; texts need their
  // zero byte). Without fields the reply carries no data.
  void SetOpenFields(std::vector<std::string> fields);

  // Every command received, in order, over all connections.
  std::vector<uint16_t> Commands() const;
  size_t CountOf(uint16_t command) const;
  // The Handle of every request with `command`, in order.
  std::vector<uint32_t> HandlesOf(uint16_t command) const;
  std::vector<TPeerStream> Streams() const;
  // The alias of every OpenServer request, in order.
  std::vector<std::string> OpenedAliases() const;
  int Connections() const { return connections_.load(); }
  // Handles the peer gives out: connections 0x100, transactions from 0x200 on.
  static constexpr uint32_t kConnectionHandle = 0x100;

 private:
  void Run();
  void Serve(int fd);
  // One request; false ends the connection.
  // `stream` is the connection's running stream (index into streams_, -1: none).
  bool Answer(int fd, const uint8_t* header, const std::string& data, int& stream);
  // Up to n bytes of the served file at `position`.
  std::string FileBytes(int64_t position, size_t n) const;
  bool Reply(int fd, uint16_t command, const std::string& data, uint32_t handle = 0,
             uint32_t arg = 0, int64_t value = 0, int length_override = -1);

  std::string db_file_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;

  mutable std::mutex mutex_;
  // The fault due for a command and how many of its requests are served first.
  struct TPending {
    TPeerFault fault = TPeerFault::kNone;
    std::string text;
    uint32_t help = 0;
    int skip = 0;
  };
  std::map<uint16_t, TPending> faults_;
  std::vector<std::string> open_fields_;
  std::vector<std::pair<uint16_t, uint32_t>> received_;  // command, handle
  std::vector<TPeerStream> streams_;
  std::vector<std::string> aliases_;
  std::atomic<uint32_t> next_transaction_{0x200};
};

}  // namespace qdf_test
