#include "ProtocolPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "base/Bytes.h"
#include "base/ItemArea.h"
#include "base/PackedItem.h"
#include "base/PageCodec.h"
#include "file/FileFormat.h"
#include "reader/CacheBlock.h"

namespace qdf_test {

namespace {

// A socket bound to an ephemeral port of 127.0.0.1; returns the port.
uint16_t BindLoopback(int fd) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

using qdf::LoadU16;
using qdf::LoadU32;
using qdf::StoreU16;
using qdf::StoreU32;

constexpr int kHeader = 20;
constexpr int kPollMs = 20;

// Waits for readable data; false when the peer is stopping.
bool WaitReadable(int fd, const std::atomic<bool>& stop) {
  while (!stop.load()) {
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, kPollMs);
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return false;
  }
  return false;
}

bool ReadAll(int fd, void* data, size_t n, const std::atomic<bool>& stop) {
  auto* p = static_cast<uint8_t*>(data);
  while (n > 0) {
    if (!WaitReadable(fd, stop)) return false;
    const ssize_t got = ::recv(fd, p, n, 0);
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

bool SendAll(int fd, const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    const ssize_t sent = ::send(fd, p, n, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    p += sent;
    n -= static_cast<size_t>(sent);
  }
  return true;
}

std::string PackedFields(const std::vector<std::string>& fields) {
  size_t size = static_cast<size_t>(qdf::PackedSize(static_cast<int>(fields.size())));
  for (const std::string& f : fields) size += f.size();
  std::string item(size, '\0');
  auto* p = reinterpret_cast<uint8_t*>(item.data());
  qdf::InitPacked(p, static_cast<int>(fields.size()));
  for (size_t i = 0; i < fields.size(); ++i) {
    qdf::SetField(p, static_cast<int>(i), static_cast<int>(fields[i].size()), fields[i].data());
  }
  return item;
}

}  // namespace

uint16_t ClosedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const uint16_t port = BindLoopback(fd);
  ::close(fd);
  return port;
}

TProtocolPeer::TProtocolPeer(std::string db_file) : db_file_(std::move(db_file)) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  port_ = BindLoopback(listen_fd_);
  ::listen(listen_fd_, 4);
  thread_ = std::thread([this] { Run(); });
}

TProtocolPeer::~TProtocolPeer() {
  stop_ = true;
  thread_.join();
  ::close(listen_fd_);
}

std::vector<std::string> StreamItems(const TPeerStream& stream) {
  std::vector<std::string> items;
  for (const TPeerStream::TChunk& chunk : stream.chunks) {
    std::vector<uint8_t> page(qdf::kPageSize);
    const auto* bytes = reinterpret_cast<const uint8_t*>(chunk.bytes.data());
    if (chunk.bytes.size() == static_cast<size_t>(qdf::kPageSize)) {
      std::memcpy(page.data(), bytes, page.size());
    } else if (qdf::Unpack(bytes, chunk.bytes.size(), page.data(), page.size()) != qdf::kUnpackOk) {
      throw std::runtime_error("stream chunk is neither a packed nor a raw page");
    }
    const int offset = LoadU16(page.data() + qdf::kPgAreaOffset);
    if (offset == 0) continue;
    if (offset < 24 || offset >= qdf::kPageSize) throw std::runtime_error("bad item area offset");
    qdf::TItemArea area(page.data() + offset);
    if (!area.CheckArea()) throw std::runtime_error("damaged item area");
    for (int slot = 0; slot < area.SlotCount(); ++slot) {
      if (area.IsFree(slot)) continue;
      items.emplace_back(reinterpret_cast<const char*>(area.ItemAt(slot)),
                         static_cast<size_t>(area.ItemLength(slot)));
    }
  }
  return items;
}

void TProtocolPeer::FailNext(uint16_t command, TPeerFault fault, std::string text,
                             uint32_t help_context, int skip) {
  std::lock_guard<std::mutex> g(mutex_);
  faults_[command] = {fault, std::move(text), help_context, skip};
}

void TProtocolPeer::SetOpenFields(std::vector<std::string> fields) {
  std::lock_guard<std::mutex> g(mutex_);
  open_fields_ = std::move(fields);
}

std::vector<uint16_t> TProtocolPeer::Commands() const {
  std::lock_guard<std::mutex> g(mutex_);
  std::vector<uint16_t> out;
  for (const auto& r : received_) out.push_back(r.first);
  return out;
}

size_t TProtocolPeer::CountOf(uint16_t command) const { return HandlesOf(command).size(); }

std::vector<uint32_t> TProtocolPeer::HandlesOf(uint16_t command) const {
  std::lock_guard<std::mutex> g(mutex_);
  std::vector<uint32_t> out;
  for (const auto& r : received_) {
    if (r.first == command) out.push_back(r.second);
  }
  return out;
}

std::vector<TPeerStream> TProtocolPeer::Streams() const {
  std::lock_guard<std::mutex> g(mutex_);
  return streams_;
}

std::vector<std::string> TProtocolPeer::OpenedAliases() const {
  std::lock_guard<std::mutex> g(mutex_);
  return aliases_;
}

void TProtocolPeer::Run() {
  std::vector<std::thread> served;
  while (!stop_.load()) {
    if (!WaitReadable(listen_fd_, stop_)) continue;
    const int fd = ::accept(listen_fd_, nullptr, nullptr);
    if (fd < 0) continue;
    ++connections_;
    served.emplace_back([this, fd] {
      Serve(fd);
      ::close(fd);
    });
  }
  for (std::thread& t : served) t.join();
}

void TProtocolPeer::Serve(int fd) {
  int stream = -1;  // index into streams_ while a stream runs on this connection
  for (;;) {
    uint8_t header[kHeader];
    if (!ReadAll(fd, header, sizeof header, stop_)) return;
    std::string data(LoadU16(header + 2), '\0');
    if (!data.empty() && !ReadAll(fd, data.data(), data.size(), stop_)) return;
    if (!Answer(fd, header, data, stream)) return;
  }
}

bool TProtocolPeer::Reply(int fd, uint16_t command, const std::string& data, uint32_t handle,
                          uint32_t arg, int64_t value, int length_override) {
  uint8_t header[kHeader];
  StoreU16(header, command);
  StoreU16(header + 2, static_cast<uint16_t>(length_override >= 0 ? length_override
                                                                  : static_cast<int>(data.size())));
  StoreU32(header + 4, handle);
  StoreU32(header + 8, arg);
  StoreU32(header + 12, static_cast<uint32_t>(value));
  StoreU32(header + 16, static_cast<uint32_t>(static_cast<uint64_t>(value) >> 32));
  return SendAll(fd, header, sizeof header) && SendAll(fd, data.data(), data.size());
}

bool TProtocolPeer::Answer(int fd, const uint8_t* header, const std::string& data, int& stream) {
  const uint16_t command = LoadU16(header);
  const uint32_t handle = LoadU32(header + 4);
  const uint32_t arg = LoadU32(header + 8);
  const int64_t value =
      static_cast<int64_t>(uint64_t{LoadU32(header + 12)} | (uint64_t{LoadU32(header + 16)} << 32));
  TPending pending;
  std::vector<std::string> open_fields;
  {
    std::lock_guard<std::mutex> g(mutex_);
    received_.emplace_back(command, handle);
    auto it = faults_.find(command);
    if (it != faults_.end() && it->second.skip-- <= 0) {
      pending = std::move(it->second);
      faults_.erase(it);
    }
    open_fields = open_fields_;
  }
  const TPeerFault fault = pending.fault;
  switch (fault) {
    case TPeerFault::kErrorReply:
      return Reply(fd, 0xFFFF, pending.text, 0, pending.help);
    case TPeerFault::kCloseConnection:
      return false;
    case TPeerFault::kHang:
      // Nothing more is answered on this connection; wait for the client to go.
      while (WaitReadable(fd, stop_)) {
        char scrap[256];
        if (::recv(fd, scrap, sizeof scrap, 0) <= 0) break;
      }
      return false;
    case TPeerFault::kWrongCommand:
      return Reply(fd, static_cast<uint16_t>(command + 1), std::string(), handle);
    case TPeerFault::kTruncatedReply: {
      const std::string half(100, 'x');
      Reply(fd, command, half, 0, 0, 0, 200);
      return false;
    }
    default:
      break;
  }

  switch (command) {
    case 0: {  // OpenServer
      {
        std::lock_guard<std::mutex> g(mutex_);
        const auto* item = reinterpret_cast<const uint8_t*>(data.data());
        const bool one_field = data.size() >= 2 && qdf::ValidPackedItem(item, data.size()) &&
                               qdf::FieldCount(item) == 1;
        aliases_.push_back(one_field ? qdf::GetFieldText(item, 0) : std::string("(malformed)"));
      }
      return Reply(fd, 0, open_fields.empty() ? std::string() : PackedFields(open_fields),
                   kConnectionHandle, 0, fault == TPeerFault::kOldVersion ? 256 : 257);
    }
    case 1:  // Close Transaction
      return Reply(fd, 1, std::string(), next_transaction_++);
    case 2:
      return Reply(fd, 2, std::string(), handle);
    case 3:
    case 14: {  // Start Transaction
      std::string root = FileBytes(20, 68);
      root.resize(fault == TPeerFault::kOversizedReply ? 100 : 68);
      return Reply(fd, command, PackedFields({root}), next_transaction_++);
    }
    case 4: {  // ReadData
      int want = static_cast<int>(arg);
      if (fault == TPeerFault::kShortReply) want -= 100;
      if (fault == TPeerFault::kOversizedReply) want += 100;
      return Reply(fd, 4, FileBytes(value, static_cast<size_t>(std::max(want, 0))));
    }
    case 11: {  // streams
      std::lock_guard<std::mutex> g(mutex_);
      if (stream < 0) {
        TPeerStream started;
        started.name = qdf::GetFieldText(reinterpret_cast<const uint8_t*>(data.data()), 0);
        started.start_arg = arg;
        streams_.push_back(started);
        stream = static_cast<int>(streams_.size()) - 1;
        if (arg != 0) return true;  // a page stream is answered at its end only
        return Reply(fd, 11, std::string());
      }
      if (arg == 0xFFFFFFFFu) {
        streams_[static_cast<size_t>(stream)].ended = true;
        stream = -1;
        return Reply(fd, 11, std::string(), 0xFFFFFFFFu);
      }
      TPeerStream& s = streams_[static_cast<size_t>(stream)];
      s.chunks.push_back({value, data});
      if (s.start_arg != 0) return true;
      return Reply(fd, 11, std::string());
    }
    case 12:
      return false;
    case 13:
      return Reply(fd, 13, std::string());
    default:
      return Reply(fd, 0xFFFF, "unknown request", 0, 1);
  }
}

std::string TProtocolPeer::FileBytes(int64_t position, size_t n) const {
  std::ifstream in(db_file_, std::ios::binary);
  in.seekg(position);
  std::string bytes(n, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(n));
  bytes.resize(static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  return bytes;
}

}  // namespace qdf_test
