// Helpers for tests of database files: owning handles for local and remote
// filers, pages with recognisable contents, and a scoped fault file system.
#pragma once

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "file/IndirectPageReader.h"
#include "file/LocalFiler.h"
#include "file/ProtocolPeer.h"
#include "file/TCPFiler.h"
#include "platform/FileSystem.h"

namespace qdf_test {

// Holds the creator's reference of a filer.
template <typename F>
struct TRef {
  explicit TRef(F* f) : filer(f) {}
  ~TRef() { filer->Release(); }
  TRef(const TRef&) = delete;
  TRef& operator=(const TRef&) = delete;
  F* operator->() const { return filer; }
  F* filer;
};

struct TFilerRef : TRef<qdf::TQdfLocalFiler> {
  TFilerRef(const std::string& path, bool read_only, const std::string& alias = "TEST")
      : TRef(new qdf::TQdfLocalFiler(path, read_only, alias)) {}
};

// A remote filer that waits briefly.
struct TRemote : TRef<qdf::TQdfTCPFiler> {
  explicit TRemote(const std::string& alias = "Remote") : TRef(new qdf::TQdfTCPFiler(alias)) {
    filer->SetTimeout(kShortTimeoutMs);
  }
};

// Sends the database file operations to `fs` while it lives.
class TFaultScope {
 public:
  explicit TFaultScope(qdf::TFileSystem& fs) { qdf::SetDatabaseFileSystem(&fs); }
  ~TFaultScope() { qdf::SetDatabaseFileSystem(nullptr); }
  TFaultScope(const TFaultScope&) = delete;
  TFaultScope& operator=(const TFaultScope&) = delete;
};

// A page whose bytes depend on (tag, page); compressible or random-looking.
inline std::vector<uint8_t> PatternPage(uint32_t tag, uint32_t page, bool compressible) {
  std::vector<uint8_t> p(qdf::kPageSize, 0);
  qdf::StoreU16(p.data(), qdf::kPageSize);
  if (compressible) {
    for (int i = 24; i < qdf::kPageSize; i += 64) {
      std::snprintf(reinterpret_cast<char*>(&p[static_cast<size_t>(i)]), 40, "tag %u page %u", tag,
                    page);
    }
  } else {
    std::mt19937 rng(tag * 7919u + page);
    for (int i = 24; i < qdf::kPageSize; ++i)
      p[static_cast<size_t>(i)] = static_cast<uint8_t>(rng());
  }
  return p;
}

// Writes a pattern page through the reader (allocating it when page is 0).
inline uint32_t PutPage(qdf::TQdfIndirectPageReader& r, uint32_t page, uint32_t tag,
                        bool compressible) {
  uint8_t* buf = page == 0 ? r.AllocatePage(page) : r.EditPage(page);
  auto data = PatternPage(tag, page, compressible);
  std::memcpy(buf, data.data(), data.size());
  return page;
}

// True when the page reads back as the pattern (ignoring the transaction stamp).
inline bool PageIs(qdf::TQdfIndirectPageReader& r, uint32_t page, uint32_t tag, bool compressible) {
  const uint8_t* buf = r.GetPage(page, qdf::kGpRead);
  auto data = PatternPage(tag, page, compressible);
  return std::memcmp(buf, data.data(), 12) == 0 &&
         std::memcmp(buf + 16, data.data() + 16, data.size() - 16) == 0;
}

// A database file with the chain 1 -> 2 -> 3 (pages 1 and 3 compressible,
// page 2 not), committed as transaction 2; returns its path.
inline std::string MakeChainDatabase(const std::string& path) {
  TFilerRef f(path, false);
  qdf::TQdfIndirectPageReader r(f.filer);
  r.Open(false);
  r.StartTransaction();
  for (uint32_t tag = 1; tag <= 3; ++tag) PutPage(r, 0, tag, tag != 2);
  qdf::StoreU32(r.EditPage(1) + qdf::kPgNext, 2);
  qdf::StoreU32(r.EditPage(2) + qdf::kPgNext, 3);
  qdf::StoreU32(r.EditPage(3) + qdf::kPgNext, qdf::kNoPage);
  r.Flush(qdf::kFlushWriteUnpin);
  r.Commit(false);
  return path;
}

// True when `got` holds page `page` as MakeChainDatabase wrote it (without
// its next-page and stamp words).
inline bool ChainPageIs(const uint8_t* got, uint32_t page) {
  const std::vector<uint8_t> want = PatternPage(page, page, page != 2);
  return std::memcmp(got, want.data(), 4) == 0 &&
         std::memcmp(got + 16, want.data() + 16, want.size() - 16) == 0;
}

}  // namespace qdf_test
