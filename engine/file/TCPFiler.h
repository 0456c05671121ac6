// TQdfTCPFiler: a database served by a dbQuillon server over one TCP
// connection. Page reads, transaction start and end, and (outside shadow
// mode) page writes and file space go to the server; when the server's file
// is reachable from here, pages are read from it directly.
//
// Messages both ways start with a 20-byte header (little-endian):
//   0  u16 command (a reply echoes it; FFFF = error reply)
//   2  u16 length of the data that follows the header
//   4  u32 Handle: connection or transaction handle
//   8  u32 Arg: size, flags, page, chunk marker; in an error reply its help context
//   12 u32 Low, 16 u32 High: a 64-bit argument (file position, chunk length,
//      server version)
// An error reply carries its message text as data. A request and its data go
// out in one send; a reply is read as its header, then its data.
//
// The server's transaction handle of a reader lives in the reader's root
// record, in the word at kRootServerHandle (the record's reserved word).
//
// Failures: an error reply raises "Server indicated Exception: %s" with the
// server's help context and leaves the connection usable. A time-out, a
// connection closed mid-reply or a reply that breaks the protocol raises too,
// and then the filer is unusable: every later request raises "Connection to
// the server of <alias> is lost ..." until Open connects again. Reply lengths
// are checked before anything is received into a caller's buffer.
//
// Threads: one request is in flight at a time; every exchange runs under the
// filer's lock, the direct file under its own lock "File <name>". Lock order
// (as everywhere): page reader, then filer.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "file/QdfFiler.h"
#include "platform/DbgCriticalSection.h"
#include "platform/FileSystem.h"
#include "platform/Socket.h"

namespace qdf {

class TQdfPageReader;

// The root record's word that holds the server's transaction handle.
inline constexpr int kRootServerHandle = 64;

// Request codes.
inline constexpr uint16_t kCmdOpenServer = 0;
inline constexpr uint16_t kCmdCloseTransaction = 1;
inline constexpr uint16_t kCmdCloseConnection = 2;
inline constexpr uint16_t kCmdStartTransaction = 3;
inline constexpr uint16_t kCmdReadData = 4;
inline constexpr uint16_t kCmdFreePage = 7;
inline constexpr uint16_t kCmdAllocateData = 9;
inline constexpr uint16_t kCmdWriteData = 10;
inline constexpr uint16_t kCmdStream = 11;
inline constexpr uint16_t kCmdGoodbye = 12;
inline constexpr uint16_t kCmdPing = 13;
inline constexpr uint16_t kCmdResumeTransaction = 14;
inline constexpr uint16_t kCmdError = 0xFFFF;

inline constexpr int kMessageHeaderSize = 20;
// Version this client announces; servers below it are refused.
inline constexpr uint32_t kClientVersion = 257;
// Stream chunk marker (Arg): a start of a page stream, a chunk, the end.
inline constexpr uint32_t kStreamOfStream = 0;
inline constexpr uint32_t kStreamChunk = 1;
inline constexpr uint32_t kStreamEnd = 0xFFFFFFFFu;

// One message header, decoded.
struct TMessageHeader {
  uint16_t command = 0;
  uint16_t length = 0;
  uint32_t handle = 0;
  uint32_t arg = 0;
  int64_t value = 0;  // Low/High

  void Encode(uint8_t* out) const;
  static TMessageHeader Decode(const uint8_t* in);
};

class TQdfTCPFiler : public TQdfFiler {
 public:
  // A filer for `alias`, not connected yet. Shadow mode is on. The creator
  // owns the first reference (release it with Release()).
  explicit TQdfTCPFiler(const std::string& alias);

  // Connects to the server at host:port and opens the alias there. Returns
  // false when no connection can be made; raises for a server that answers
  // with an error, a version below 257 ("Your dbQuillon-Server uses version
  // ..."), or a broken reply. A direct-read file named in the reply is opened
  // when it exists here; a SiteID in the reply is kept for SiteID().
  bool Open(const std::string& host, uint16_t port);
  // The SiteID the server gave when the alias was opened, if it gave one;
  // whoever opened the filer hands it to the object factory.
  std::optional<uint16_t> SiteID() const { return site_id_; }
  // Says goodbye (no reply is read) and closes the connection.
  void Disconnect();

  // Sends the page chain starting at `first_page` (read through `reader`,
  // following each page's next-page word) to the server under `name`: each
  // page packed, or raw when packing does not pay, then the end marker.
  // Nothing is sent for an empty chain; a chain that runs in a circle is
  // refused before anything is sent. The packed pages are collected first
  // (memory in proportion to the chain), so the reader may itself read
  // through this filer.
  void StreamPage(const std::string& name, TQdfPageReader* reader, uint32_t first_page);
  // Sends `data` to the server under `name` in chunks of up to 8192 bytes,
  // each packed when that pays. Nothing is sent for empty data.
  void StreamStream(const std::string& name, std::string_view data);

  TRootRecord GetRoot() override;
  void CommitRoot(const TRootRecord& root, bool keep_write_lock) override;
  void ReloadRoot() override;
  void AttachReader(TQdfPageReader* reader, TRootRecord& root) override;
  void DetachReader(TQdfPageReader* reader, TRootRecord& root, bool keep_write_lock) override;
  int64_t AllocateData(int32_t size) override;
  void PrepareFlush(int flags) override;
  void FreeData(const TItemAdr& chain, int32_t size, uint32_t transaction,
                int64_t position) override;
  void FreePage(uint32_t page) override;
  void Ping() override;
  bool IsEmpty() override;
  std::string GetServerAddress() override;
  void ReadData(uint8_t* buffer, int32_t size, int64_t position) override;
  void WriteData(const uint8_t* buffer, int32_t size, int64_t position) override;

  // Shadow mode (the default): readers keep their changed pages in the
  // system's shadow file, so page writes, allocations and page frees are not
  // offered. Off: they go to the server.
  void SetShadowMode(bool on) { shadow_ = on; }
  // Time-out of every receive (default 120000 ms).
  void SetTimeout(int ms) { socket_.SetTimeout(ms); }

  bool Connected() const { return socket_.Connected(); }
  uint32_t ConnectionHandle() const { return connection_; }
  int64_t ServerVersion() const { return server_version_; }
  bool DirectRead() const { return direct_read_; }
  const std::string& DirectFileName() const { return direct_name_; }
  // Why the connection was given up ("" while usable).
  const std::string& LostReason() const { return lost_; }

 protected:
  // Closes the direct file and, when connected, closes the connection on
  // the server (request 2, its reply is read). Never raises.
  ~TQdfTCPFiler() override;

 private:
  // Raises when the connection was lost or never made.
  void RequireConnection();
  // Sends a request and its data in one send.
  void SendRequest(const TMessageHeader& header, const void* data = nullptr);
  // Reads the next reply header. Without wait, returns false unless data is
  // waiting. An error reply raises "Server indicated Exception: %s".
  bool CheckReply(TMessageHeader& reply, bool wait);
  // Sends a request without data and waits for its reply.
  TMessageHeader Exchange(const TMessageHeader& request, const void* data = nullptr);
  // Receives and drops the data of a reply nobody wants.
  void Drain(size_t n);
  // Gives the connection up after a failure that leaves the stream out of
  // step; later requests raise.
  void MarkLost(const std::string& why);
  // Runs `f`; a socket failure inside marks the connection lost and passes on.
  template <class F>
  auto Guarded(F&& f) -> decltype(f());
  // Reads from the direct file. Returns false when the read failed outright
  // (the caller goes to the network from then on).
  bool ReadDirect(uint8_t* buffer, int32_t size, int64_t position);
  void OpenDirectFile(const std::string& name);
  // A packed item with one field holding `name`, as request data.
  static std::string NameItem(const std::string& name);

  TQdfTCPSocket socket_;
  uint32_t connection_ = 0;
  int64_t server_version_ = 0;
  std::string host_;
  std::string lost_;
  std::string direct_name_;
  std::unique_ptr<TFileHandle> direct_file_;
  std::unique_ptr<TDbgCriticalSection> direct_lock_;
  bool direct_read_ = false;
  std::optional<uint16_t> site_id_;
};

}  // namespace qdf
