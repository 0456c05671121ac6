#include "file/TCPFiler.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "base/Bytes.h"
#include "base/PackedItem.h"
#include "base/PageCodec.h"
#include "base/QdfException.h"
#include "file/FileFormat.h"
#include "platform/Trace.h"
#include "reader/CacheBlock.h"
#include "reader/PageReader.h"

namespace qdf {
namespace {

constexpr char kNotImplemented[] = "not implemented";
constexpr char kInvalidAccess[] = "access to non valid file data";
// Largest data a message can carry (its length field is 16 bits).
constexpr size_t kMaxMessageData = 0xFFFF;

}  // namespace

// ---- message headers ----

void TMessageHeader::Encode(uint8_t* out) const {
  StoreU16(out, command);
  StoreU16(out + 2, length);
  StoreU32(out + 4, handle);
  StoreU32(out + 8, arg);
  StoreU32(out + 12, static_cast<uint32_t>(static_cast<uint64_t>(value)));
  StoreU32(out + 16, static_cast<uint32_t>(static_cast<uint64_t>(value) >> 32));
}

TMessageHeader TMessageHeader::Decode(const uint8_t* in) {
  TMessageHeader h;
  h.command = LoadU16(in);
  h.length = LoadU16(in + 2);
  h.handle = LoadU32(in + 4);
  h.arg = LoadU32(in + 8);
  h.value = static_cast<int64_t>(uint64_t{LoadU32(in + 12)} | (uint64_t{LoadU32(in + 16)} << 32));
  return h;
}

// ---- life ----

TQdfTCPFiler::TQdfTCPFiler(const std::string& alias) : TQdfFiler(alias) {
  shadow_ = true;
  socket_.SetRaiseExceptions(true);
}

TQdfTCPFiler::~TQdfTCPFiler() {
  if (direct_lock_ != nullptr) {
    TDbgLock f(*direct_lock_);
    direct_file_.reset();
  }
  if (connection_ != 0 && socket_.Connected() && lost_.empty()) {
    try {
      TMessageHeader request;
      request.command = kCmdCloseConnection;
      request.handle = connection_;
      const TMessageHeader reply = Exchange(request);
      Drain(reply.length);
    } catch (const std::exception& e) {
      Trace(std::string("Closing the connection of ") + name_ + " failed: " + e.what());
    }
  }
  socket_.Close();
}

std::string TQdfTCPFiler::NameItem(const std::string& name) {
  std::vector<uint8_t> item(static_cast<size_t>(PackedSize(1)) + name.size() + 1);
  if (item.size() > kMaxMessageData) {
    throw EQdfException(Format("Name too long for a server request: %.40s...", name.c_str()));
  }
  InitPacked(item.data(), 1);
  SetFieldText(item.data(), 0, name);
  return std::string(reinterpret_cast<const char*>(item.data()),
                     static_cast<size_t>(PackedLength(item.data())));
}

// ---- the exchange ----

template <class F>
auto TQdfTCPFiler::Guarded(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const ESocketError& e) {
    MarkLost(e.Message());
    throw;
  }
}

void TQdfTCPFiler::MarkLost(const std::string& why) {
  lost_ = why.empty() ? std::string("protocol error") : why;
  socket_.Close();
}

void TQdfTCPFiler::RequireConnection() {
  if (!lost_.empty()) {
    throw EQdfException(
        Format("Connection to the server of %s is lost (%s); open the database again",
               name_.c_str(), lost_.c_str()));
  }
  if (!socket_.Connected()) {
    throw EQdfException(Format("%s is not connected to a server", name_.c_str()));
  }
}

void TQdfTCPFiler::SendRequest(const TMessageHeader& header, const void* data) {
  uint8_t bytes[kMessageHeaderSize];
  header.Encode(bytes);
  if (header.length > 0) {
    QDF_ASSERT(data != nullptr, "QdfFile");
    socket_.SendBuffered(bytes, sizeof bytes, false);
    socket_.SendBuffered(data, header.length, true);
  } else {
    socket_.SendBuffered(bytes, sizeof bytes, true);
  }
}

bool TQdfTCPFiler::CheckReply(TMessageHeader& reply, bool wait) {
  if (!wait && !socket_.DataWaiting()) return false;
  uint8_t bytes[kMessageHeaderSize];
  socket_.ReceiveExact(bytes, sizeof bytes);
  reply = TMessageHeader::Decode(bytes);
  if (reply.command == kCmdError) {
    std::string text(reply.length, '\0');
    if (reply.length > 0) socket_.ReceiveExact(text.data(), text.size());
    // The text may carry its terminating zero.
    text.resize(std::strlen(text.c_str()));
    throw EQdfException("Server indicated Exception: " + text, static_cast<int>(reply.arg));
  }
  return true;
}

TMessageHeader TQdfTCPFiler::Exchange(const TMessageHeader& request, const void* data) {
  return Guarded([&] {
    RequireConnection();
    SendRequest(request, data);
    TMessageHeader reply;
    CheckReply(reply, true);
    if (reply.command != request.command) {
      // Whatever this answers, it is not our request: the stream is out of step.
      MarkLost(Format("reply %u to request %u", reply.command, request.command));
      throw EQdfException(
          Format("Server sent reply %u to request %u; the connection of %s is closed",
                 reply.command, request.command, name_.c_str()));
    }
    return reply;
  });
}

void TQdfTCPFiler::Drain(size_t n) {
  Guarded([&] {
    uint8_t scrap[512];
    while (n > 0) {
      const size_t part = std::min(n, sizeof scrap);
      socket_.ReceiveExact(scrap, part);
      n -= part;
    }
  });
}

// ---- connecting ----

bool TQdfTCPFiler::Open(const std::string& host, uint16_t port) {
  TDbgLock g(lock_);
  socket_.Close();
  lost_.clear();
  connection_ = 0;
  // What the last server said about its file does not hold for this one.
  if (direct_lock_ != nullptr) {
    TDbgLock f(*direct_lock_);
    direct_file_.reset();
  }
  direct_read_ = false;
  socket_.SetRaiseExceptions(false);
  const bool connected = socket_.Connect(host, std::to_string(port));
  socket_.SetRaiseExceptions(true);
  if (!connected) return false;
  socket_.SetDelay(false);
  host_ = host;
  try {
    const std::string item = NameItem(name_);
    TMessageHeader request;
    request.command = kCmdOpenServer;
    request.length = static_cast<uint16_t>(item.size());
    request.arg = kClientVersion;
    const TMessageHeader reply = Exchange(request, item.data());
    server_version_ = reply.value;
    if (server_version_ < static_cast<int64_t>(kClientVersion)) {
      const uint64_t v = static_cast<uint64_t>(server_version_);
      const std::string version =
          Format("%u.%u.%u", static_cast<unsigned>((v >> 16) & 0xFF),
                 static_cast<unsigned>((v >> 8) & 0xFF), static_cast<unsigned>(v & 0xFF));
      const std::string text = "Your dbQuillon-Server uses version " + version +
                               ", which is no longer supported by this application.";
      std::fprintf(stderr, "dbQuillon Version Error: %s\n", text.c_str());
      throw EQdfException(text);
    }
    std::vector<uint8_t> data(reply.length);
    if (!data.empty()) Guarded([&] { socket_.ReceiveExact(data.data(), data.size()); });
    if (!data.empty()) {
      if (!ValidPackedItem(data.data(), data.size())) {
        throw EQdfException(
            Format("Server sent a malformed answer when opening %s", name_.c_str()));
      }
      const uint8_t* fields = data.data();
      if (FieldCount(fields) >= 2) {
        std::string name = GetFieldText(fields, 1);
        TFileSystem& fs = DatabaseFileSystem();
        // Field 0 is the server's own name of the file; it means the same
        // file here only when the server runs on this very machine.
        if ((name.empty() || !fs.Exists(name)) &&
            socket_.LocalAddress() == socket_.RemoteAddress()) {
          name = GetFieldText(fields, 0);
        }
        if (!name.empty() && fs.Exists(name)) OpenDirectFile(name);
      }
      int length = 0;
      const uint8_t* site = GetField(fields, 2, &length);
      if (site != nullptr && length >= 2) {
        site_id_ = LoadU16(site);
      }
    }
    connection_ = reply.handle;
  } catch (...) {
    socket_.Close();
    connection_ = 0;
    throw;
  }
  return true;
}

void TQdfTCPFiler::OpenDirectFile(const std::string& name) {
  if (direct_lock_ == nullptr) direct_lock_ = std::make_unique<TDbgCriticalSection>("File " + name);
  TDbgLock f(*direct_lock_);
  direct_name_ = name;
  direct_file_.reset();
  try {
    direct_file_ = DatabaseFileSystem().Open(name, TOpenMode::kReadOnly);
  } catch (const std::exception& e) {
    Trace(std::string("Direct reads of ") + name_ + " not possible: " + e.what());
  }
  direct_read_ = direct_file_ != nullptr;
}

void TQdfTCPFiler::Disconnect() {
  TDbgLock g(lock_);
  if (socket_.Connected()) {
    TMessageHeader request;
    request.command = kCmdGoodbye;
    try {
      SendRequest(request);
    } catch (const ESocketError&) {
      // Gone already: closing is all that is left to do.
    }
  }
  socket_.Close();
  connection_ = 0;
}

// ---- root and readers ----

TRootRecord TQdfTCPFiler::GetRoot() {
  TDbgLock g(lock_);
  return root_cache_;
}

void TQdfTCPFiler::CommitRoot(const TRootRecord&, bool) { throw EQdfException(kNotImplemented); }

void TQdfTCPFiler::ReloadRoot() {}

void TQdfTCPFiler::AttachReader(TQdfPageReader* reader, TRootRecord& root) {
  TDbgLock g(lock_);
  const uint32_t handle = LoadU32(&root[kRootServerHandle]);
  TMessageHeader request;
  request.command = handle != 0 ? kCmdResumeTransaction : kCmdStartTransaction;
  request.handle = handle;
  const TMessageHeader reply = Exchange(request);
  if (reply.length > 0) {
    std::vector<uint8_t> data(reply.length);
    Guarded([&] { socket_.ReceiveExact(data.data(), data.size()); });
    if (!ValidPackedItem(data.data(), data.size())) {
      throw EQdfException(
          Format("Server sent a malformed transaction start for %s", name_.c_str()));
    }
    if (FieldCount(data.data()) >= 1) {
      int length = 0;
      const uint8_t* record = GetField(data.data(), 0, &length);
      if (length != kRootSize) {
        throw EQdfException(Format("Server sent a root record of %d bytes for %s; %d expected",
                                   length, name_.c_str(), kRootSize));
      }
      std::memcpy(root.data(), record, kRootSize);
      StoreU32(&root[kRootServerHandle], reply.handle);
      root_cache_ = root;
    }
  }
  TQdfFiler::AttachReader(reader, root);
}

void TQdfTCPFiler::DetachReader(TQdfPageReader* reader, TRootRecord& root, bool keep_write_lock) {
  TDbgLock g(lock_);
  TQdfFiler::DetachReader(reader, root, keep_write_lock);
  const uint32_t handle = LoadU32(&root[kRootServerHandle]);
  if (handle == 0 || !socket_.Connected()) return;
  // Cleared while the server decides: a failure leaves no stale handle.
  StoreU32(&root[kRootServerHandle], 0);
  TMessageHeader request;
  request.command = kCmdCloseTransaction;
  request.handle = handle;
  request.arg = keep_write_lock ? 1 : 0;
  const TMessageHeader reply = Exchange(request);
  Drain(reply.length);
  StoreU32(&root[kRootServerHandle], reply.handle);
}

// ---- file space ----

int64_t TQdfTCPFiler::AllocateData(int32_t size) {
  TDbgLock g(lock_);
  if (shadow_) throw EQdfException(kNotImplemented);
  if (size < 1) throw EQdfException("Allocation of empty block");
  if (size > kPageSize) throw EQdfException(Format("Block size %d is too big", size));
  TMessageHeader request;
  request.command = kCmdAllocateData;
  request.handle = connection_;
  request.arg = static_cast<uint32_t>(size);
  const TMessageHeader reply = Exchange(request);
  Drain(reply.length);
  if (reply.value < kHeaderSize) {
    throw EQdfException(Format("Server allocated %d bytes for %s inside the header (%lld)", size,
                               name_.c_str(), static_cast<long long>(reply.value)));
  }
  return reply.value;
}

void TQdfTCPFiler::PrepareFlush(int) {}

void TQdfTCPFiler::FreeData(const TItemAdr&, int32_t, uint32_t, int64_t) {
  throw EQdfException(kNotImplemented);
}

void TQdfTCPFiler::FreePage(uint32_t page) {
  TDbgLock g(lock_);
  if (shadow_) throw EQdfException(kNotImplemented);
  TMessageHeader request;
  request.command = kCmdFreePage;
  request.handle = connection_;
  request.arg = page;
  Drain(Exchange(request).length);
}

void TQdfTCPFiler::Ping() {
  TDbgLock g(lock_);
  TMessageHeader request;
  request.command = kCmdPing;
  Drain(Exchange(request).length);
}

bool TQdfTCPFiler::IsEmpty() { return false; }

std::string TQdfTCPFiler::GetServerAddress() {
  TDbgLock g(lock_);
  return socket_.RemoteAddress();
}

// ---- data ----

bool TQdfTCPFiler::ReadDirect(uint8_t* buffer, int32_t size, int64_t position) {
  TDbgLock f(*direct_lock_);
  if (position < kHeaderSize) throw EQdfException(kInvalidAccess);
  size_t got = 0;
  try {
    got =
        direct_file_->ReadUpTo(static_cast<uint64_t>(position), buffer, static_cast<size_t>(size));
  } catch (const std::exception& e) {
    // The file cannot be read from here after all: the server serves it.
    Trace(std::string("Direct reads of ") + name_ + " given up: " + e.what());
    direct_read_ = false;
    direct_file_.reset();
    return false;
  }
  if (got != static_cast<size_t>(size)) {
    throw EQdfException(Format("Cannot read page: %llx size: %d result: %d",
                               static_cast<unsigned long long>(position), size,
                               static_cast<int>(got)));
  }
  return true;
}

void TQdfTCPFiler::ReadData(uint8_t* buffer, int32_t size, int64_t position) {
  TDbgLock g(lock_);
  RequireConnection();
  if (size <= 0 || static_cast<size_t>(size) > kMaxMessageData || position < 0) {
    throw EQdfException(kInvalidAccess);
  }
  if (direct_read_ && ReadDirect(buffer, size, position)) return;
  TMessageHeader request;
  request.command = kCmdReadData;
  request.handle = connection_;
  request.arg = static_cast<uint32_t>(size);
  request.value = position;
  const TMessageHeader reply = Exchange(request);
  if (reply.length != size) {
    // Never into the buffer: its bytes are dropped, the connection stays in step.
    Drain(reply.length);
    throw EQdfException(Format("Cannot Read: %08llX Size: %d <> %d",
                               static_cast<unsigned long long>(position), size, reply.length));
  }
  Guarded([&] { socket_.ReceiveExact(buffer, static_cast<size_t>(size)); });
}

void TQdfTCPFiler::WriteData(const uint8_t* buffer, int32_t size, int64_t position) {
  TDbgLock g(lock_);
  if (shadow_) throw EQdfException(kNotImplemented);
  if (position < kHeaderSize || size <= 0 || static_cast<size_t>(size) > kMaxMessageData) {
    throw EQdfException(kInvalidAccess);
  }
  // Writes always go to the server, also when its file is readable here:
  // the file belongs to the server, and the direct handle is read-only.
  TMessageHeader request;
  request.command = kCmdWriteData;
  request.length = static_cast<uint16_t>(size);
  request.handle = connection_;
  request.arg = static_cast<uint32_t>(size);
  request.value = position;
  const TMessageHeader reply = Exchange(request, buffer);
  if (reply.length != size) {
    throw EQdfException(Format("Cannot Write: %08llX Size: %d <> %d",
                               static_cast<unsigned long long>(position), size, reply.length));
  }
}

// ---- streams ----

void TQdfTCPFiler::StreamPage(const std::string& name, TQdfPageReader* reader,
                              uint32_t first_page) {
  if (reader == nullptr || first_page == kNoPage || first_page == 0) return;
  // Lock order: page reader, then filer.
  TDbgLock r(reader->Lock());
  TDbgLock g(lock_);
  RequireConnection();
  // The chain is read and packed before anything is sent: a damaged chain is
  // refused without leaving the server in the middle of a stream, and pages
  // the reader fetches from this very filer never interleave with it.
  std::vector<std::string> chunks;
  std::unordered_set<uint32_t> seen;
  uint8_t packed[kPageSize];
  for (uint32_t page = first_page; page != kNoPage && page != 0;) {
    if (!seen.insert(page).second) {
      throw EQdfException(
          Format("Page chain of %s runs in a circle at page %x", name.c_str(), page));
    }
    const uint8_t* buffer = reader->GetPage(page, kGpRead);
    if (buffer == nullptr) throw EQdfDataNotAllocated(page);
    const int n = Pack(packed, buffer, kPageSize);
    if (n >= 1) {
      chunks.emplace_back(reinterpret_cast<const char*>(packed), static_cast<size_t>(n));
    } else {
      chunks.emplace_back(reinterpret_cast<const char*>(buffer), static_cast<size_t>(kPageSize));
    }
    page = LoadU32(buffer + kPgNext);
  }
  const std::string item = NameItem(name);
  Guarded([&] {
    size_t sent = 0;
    size_t answered = 0;
    TMessageHeader reply;
    // Replies may come after each message or only at the end; the server
    // decides. Each is read whole, so the connection stays in step.
    auto take_reply = [&](bool wait) {
      if (!CheckReply(reply, wait)) return false;
      ++answered;
      if (reply.command != kCmdStream) {
        MarkLost(Format("reply %u to a page stream", reply.command));
        throw EQdfException(
            Format("Server sent reply %u to the page stream %s", reply.command, name.c_str()));
      }
      Drain(reply.length);
      return true;
    };
    TMessageHeader message;
    message.command = kCmdStream;
    message.handle = connection_;
    message.arg = kStreamChunk;
    message.length = static_cast<uint16_t>(item.size());
    SendRequest(message, item.data());
    ++sent;
    while (answered < sent && take_reply(false)) {
    }
    for (const std::string& chunk : chunks) {
      message.length = static_cast<uint16_t>(chunk.size());
      SendRequest(message, chunk.data());
      ++sent;
      while (answered < sent && take_reply(false)) {
      }
    }
    message.arg = kStreamEnd;
    message.length = 0;
    SendRequest(message);
    ++sent;
    for (;;) {
      if (answered >= sent) {
        // Every message answered, yet no end: the server is not following.
        MarkLost("a page stream without its end reply");
        throw EQdfException(Format("Server did not end the page stream %s", name.c_str()));
      }
      take_reply(true);
      if (reply.handle == kStreamEnd) break;
    }
  });
}

void TQdfTCPFiler::StreamStream(const std::string& name, std::string_view data) {
  if (data.empty()) return;
  TDbgLock g(lock_);
  const std::string item = NameItem(name);
  TMessageHeader message;
  message.command = kCmdStream;
  message.handle = connection_;
  message.arg = kStreamOfStream;
  message.length = static_cast<uint16_t>(item.size());
  Drain(Exchange(message, item.data()).length);
  uint8_t packed[kPageSize];
  const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
  for (size_t offset = 0; offset < data.size(); offset += kPageSize) {
    const int n = static_cast<int>(std::min(data.size() - offset, static_cast<size_t>(kPageSize)));
    // Pack needs at least 4 bytes; a shorter chunk never packs anyway.
    const int result = n >= 4 ? Pack(packed, bytes + offset, n) : kPackFailed;
    message.arg = kStreamChunk;
    message.value = n;
    message.length = static_cast<uint16_t>(result >= 1 ? result : n);
    Drain(Exchange(message, result >= 1 ? packed : bytes + offset).length);
  }
  message.arg = kStreamEnd;
  message.value = 0;
  message.length = 0;
  Drain(Exchange(message).length);
}

}  // namespace qdf
