#include "file/MultiFileCommit.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <set>

#include "base/QdfException.h"
#include "file/IndirectPageReader.h"
#include "file/LocalFiler.h"
#include "platform/FileSystem.h"
#include "platform/Trace.h"

namespace qdf {
namespace {

// Record, beside the first file (little-endian):
//   0  4  "QMCR"              4  u32 layout version (1)   8  u64 commit id
//   16 u32 number of files n  20 u32 total length L
//   24 n entries: u16 name length k, k bytes name, 68 bytes root record the
//      file's header holds before the commit, 512 bytes header after it
//   L-8 u64 FNV-1a checksum of bytes 0 .. L-9
// Marker, beside every other file:
//   0  4  "QMCM"   4 u32 layout version (1)   8 u64 commit id
//   16 u16 name length k, k bytes the record's name   18+k u64 checksum
// A name without '/' lies in the folder of the file that names it.
constexpr char kRecordMagic[4] = {'Q', 'M', 'C', 'R'};
constexpr char kMarkerMagic[4] = {'Q', 'M', 'C', 'M'};
constexpr uint32_t kLayoutVersion = 1;
constexpr size_t kRecordFixed = 24;
constexpr size_t kMarkerFixed = 18;
constexpr size_t kChecksumSize = 8;
constexpr size_t kEntryFixed = 2 + kRootSize + kHeaderSize;
// More than any transaction opens; a larger count is a damaged record.
constexpr uint32_t kMaxFiles = 4096;
constexpr size_t kMaxName = 4096;

using THeader = TMultiFileCommit::THeader;

uint64_t Fnv1a(const uint8_t* p, size_t n) {
  uint64_t h = 1469598103934665603ull;
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// How `referrer`'s side file names `target`: by its bare name when both lie
// in one folder (the set of files can then move together), else as given.
std::string NameFor(const std::string& target, const std::string& referrer) {
  if (FolderOf(target) == FolderOf(referrer)) return target.substr(FolderOf(target).size());
  return target;
}

std::string Resolve(const std::string& name, const std::string& referrer) {
  return name.find('/') == std::string::npos ? FolderOf(referrer) + name : name;
}

bool SameFile(const std::string& a, const std::string& b) {
  if (a == b) return true;
  std::error_code ec;
  return std::filesystem::equivalent(a, b, ec) && !ec;
}

uint64_t NewCommitId() {
  static std::atomic<uint64_t> serial{0};
  static const uint64_t seed = [] {
    std::random_device rd;
    return (uint64_t{rd()} << 32) ^ rd();
  }();
  const uint64_t now =
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  return seed ^ (now * 0x9E3779B97F4A7C15ull) ^ serial.fetch_add(1);
}

void PutChecksum(std::vector<uint8_t>& bytes) {
  const size_t at = bytes.size();
  bytes.resize(at + kChecksumSize);
  StoreU64(&bytes[at], Fnv1a(bytes.data(), at));
}

bool ChecksumHolds(const std::vector<uint8_t>& bytes) {
  if (bytes.size() < kChecksumSize) return false;
  const size_t body = bytes.size() - kChecksumSize;
  return LoadU64(&bytes[body]) == Fnv1a(bytes.data(), body);
}

struct TRecordEntry {
  std::string path;  // resolved
  TRootRecord before;
  THeader after;
};

struct TRecord {
  uint64_t id = 0;
  std::vector<TRecordEntry> files;
};

std::vector<uint8_t> EncodeRecord(uint64_t id, const std::vector<TRecordEntry>& files,
                                  const std::string& record_path) {
  std::vector<uint8_t> b(kRecordFixed);
  std::memcpy(&b[0], kRecordMagic, 4);
  StoreU32(&b[4], kLayoutVersion);
  StoreU64(&b[8], id);
  StoreU32(&b[16], static_cast<uint32_t>(files.size()));
  for (const TRecordEntry& f : files) {
    const std::string name = NameFor(f.path, record_path);
    const size_t at = b.size();
    b.resize(at + kEntryFixed + name.size());
    StoreU16(&b[at], static_cast<uint16_t>(name.size()));
    std::memcpy(&b[at + 2], name.data(), name.size());
    std::memcpy(&b[at + 2 + name.size()], f.before.data(), kRootSize);
    std::memcpy(&b[at + 2 + name.size() + kRootSize], f.after.data(), kHeaderSize);
  }
  StoreU32(&b[20], static_cast<uint32_t>(b.size() + kChecksumSize));
  PutChecksum(b);
  return b;
}

// False for anything but a whole record: short, torn, of another layout.
bool DecodeRecord(const std::vector<uint8_t>& b, const std::string& record_path, TRecord* out) {
  if (b.size() < kRecordFixed + kChecksumSize || std::memcmp(&b[0], kRecordMagic, 4) != 0 ||
      LoadU32(&b[4]) != kLayoutVersion || LoadU32(&b[20]) != b.size() || !ChecksumHolds(b)) {
    return false;
  }
  const uint32_t n = LoadU32(&b[16]);
  if (n < 2 || n > kMaxFiles) return false;
  out->id = LoadU64(&b[8]);
  out->files.clear();
  size_t at = kRecordFixed;
  const size_t end = b.size() - kChecksumSize;
  for (uint32_t i = 0; i < n; ++i) {
    if (end - at < kEntryFixed) return false;
    const size_t k = LoadU16(&b[at]);
    if (k == 0 || end - at - kEntryFixed < k) return false;
    TRecordEntry e;
    e.path = Resolve(std::string(reinterpret_cast<const char*>(&b[at + 2]), k), record_path);
    std::memcpy(e.before.data(), &b[at + 2 + k], kRootSize);
    std::memcpy(e.after.data(), &b[at + 2 + k + kRootSize], kHeaderSize);
    out->files.push_back(std::move(e));
    at += kEntryFixed + k;
  }
  return at == end;
}

std::vector<uint8_t> EncodeMarker(uint64_t id, const std::string& record_name) {
  std::vector<uint8_t> b(kMarkerFixed + record_name.size());
  std::memcpy(&b[0], kMarkerMagic, 4);
  StoreU32(&b[4], kLayoutVersion);
  StoreU64(&b[8], id);
  StoreU16(&b[16], static_cast<uint16_t>(record_name.size()));
  std::memcpy(&b[kMarkerFixed], record_name.data(), record_name.size());
  PutChecksum(b);
  return b;
}

bool DecodeMarker(const std::vector<uint8_t>& b, const std::string& marker_path, uint64_t* id,
                  std::string* record_path) {
  if (b.size() < kMarkerFixed + kChecksumSize || std::memcmp(&b[0], kMarkerMagic, 4) != 0 ||
      LoadU32(&b[4]) != kLayoutVersion || !ChecksumHolds(b)) {
    return false;
  }
  const size_t k = LoadU16(&b[16]);
  if (k == 0 || k > kMaxName || b.size() != kMarkerFixed + k + kChecksumSize) return false;
  *id = LoadU64(&b[8]);
  *record_path =
      Resolve(std::string(reinterpret_cast<const char*>(&b[kMarkerFixed]), k), marker_path);
  return true;
}

// The whole small file, or nothing when it is not there.
std::optional<std::vector<uint8_t>> ReadSmall(const std::string& path) {
  TFileSystem& fs = DatabaseFileSystem();
  if (!fs.Exists(path)) return std::nullopt;
  std::unique_ptr<TFileHandle> f;
  try {
    f = fs.Open(path, TOpenMode::kReadOnly);
  } catch (const std::exception&) {
    if (!fs.Exists(path)) return std::nullopt;  // removed meanwhile
    throw;
  }
  const uint64_t size = f->Size();
  if (size > (uint64_t{kMaxFiles} + 1) * (kEntryFixed + kMaxName)) {
    throw EQdfException(
        Format("File: %s is too large for a commit record; move it away", path.c_str()));
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  bytes.resize(f->ReadUpTo(0, bytes.data(), bytes.size()));
  return bytes;
}

void WriteSmall(const std::string& path, const std::vector<uint8_t>& bytes, bool sync) {
  std::unique_ptr<TFileHandle> f = DatabaseFileSystem().Create(path);
  f->WriteAt(0, bytes.data(), bytes.size());
  if (sync) f->Sync();
}

void RemoveQuietly(const std::string& path) {
  try {
    DatabaseFileSystem().Delete(path);
  } catch (const std::exception& e) {
    Trace("File " + path + " not removed: " + e.what());
  }
}

TRootRecord RootOf(const THeader& header) {
  TRootRecord r;
  std::memcpy(r.data(), &header[kHdrRoot], kRootSize);
  return r;
}

// Removes the marker beside `file_name` when it belongs to commit `id`.
void RemoveMarker(const std::string& file_name, uint64_t id) {
  const std::string side = TMultiFileCommit::SidePath(file_name);
  try {
    std::optional<std::vector<uint8_t>> bytes = ReadSmall(side);
    uint64_t found = 0;
    std::string record;
    if (bytes && DecodeMarker(*bytes, side, &found, &record) && found == id) RemoveQuietly(side);
  } catch (const std::exception& e) {
    Trace("File " + side + " not removed: " + e.what());
  }
}

std::string JoinNames(const std::vector<TQdfLocalFiler*>& filers) {
  std::string names;
  for (const TQdfLocalFiler* f : filers) names += (names.empty() ? "" : ", ") + f->FileName();
  return names;
}

}  // namespace

std::string TMultiFileCommit::SidePath(const std::string& file_name) {
  return file_name + "-commit";
}

void TMultiFileCommit::Commit(const std::vector<TQdfIndirectPageReader*>& readers) {
  QDF_ASSERT(readers.size() >= 2, "QdfFile");
  std::vector<TQdfLocalFiler*> filers;
  bool sync = false;
  for (TQdfIndirectPageReader* r : readers) {
    QDF_ASSERT(r->Filer()->IsLocal(), "QdfFile");
    filers.push_back(static_cast<TQdfLocalFiler*>(r->Filer()));
    sync = sync || filers.back()->SyncCommits();
  }
  const std::string names = JoinNames(filers);
  const std::string record_path = SidePath(filers[0]->FileName());
  const uint64_t id = NewCommitId();
  TFileSystem& fs = DatabaseFileSystem();
  auto remove_markers = [&] {
    for (size_t i = 1; i < filers.size(); ++i) RemoveMarker(filers[i]->FileName(), id);
  };
  auto rollback_only = [&](const std::string& why) {
    for (TQdfIndirectPageReader* r : readers) r->SetRollbackOnly(why);
  };
  auto failed_before = [&](const std::exception& e, const char* step) {
    remove_markers();
    rollback_only(e.what());
    throw EQdfException(
        Format("The commit of %s failed while %s (%s); every file keeps its last "
               "committed state and the transaction can only be rolled back",
               names.c_str(), step, e.what()));
  };

  // 1. The pages of every file durable, the markers in place.
  std::vector<TRecordEntry> entries(readers.size());
  try {
    for (TQdfIndirectPageReader* r : readers) r->FlushForCommit();
    for (TQdfLocalFiler* f : filers) f->SyncPages();
    // Every marker's folder entry is synced after the last marker is made.
    std::set<std::string> markers;
    for (size_t i = 1; i < filers.size(); ++i) {
      const std::string side = SidePath(filers[i]->FileName());
      WriteSmall(side, EncodeMarker(id, NameFor(record_path, side)), sync);
      markers.insert(side);
    }
    std::set<std::string> synced;
    for (const std::string& side : markers) {
      if (sync && synced.insert(FolderOf(side)).second) fs.SyncDirectoryOf(side);
    }
    for (size_t i = 0; i < filers.size(); ++i) {
      entries[i].path = filers[i]->FileName();
      entries[i].before = filers[i]->CommittedRoot();
      entries[i].after = filers[i]->NextHeader(readers[i]->Root());
    }
  } catch (const std::exception& e) {
    failed_before(e, "writing the pages");
  }

  // 2. The record: durable (with its folder entry), it is the commit point.
  try {
    WriteSmall(record_path, EncodeRecord(id, entries, record_path), sync);
    if (sync) fs.SyncDirectoryOf(record_path);
  } catch (const std::exception& e) {
    // Whether the record reached the disk is not known: the commit did not
    // happen only once the record is gone for good.
    bool gone = false;
    try {
      fs.Delete(record_path);
      gone = !fs.Exists(record_path);
      if (gone && sync) fs.SyncDirectoryOf(record_path);
    } catch (const std::exception&) {
      gone = false;
    }
    if (gone) failed_before(e, "writing the commit record");
    for (TQdfLocalFiler* f : filers) f->Stop();
    rollback_only(e.what());
    throw EQdfException(
        Format("The commit of %s failed at its commit point (%s) and its record "
               "%s may be on disk: the files take no more writes until they are "
               "opened again, which completes the commit if the record is whole",
               names.c_str(), e.what(), record_path.c_str()));
  }

  // 3. The headers. From here on the commit happened: what fails is
  // completed from the record when the files are opened again.
  try {
    for (size_t i = 0; i < filers.size(); ++i) filers[i]->WriteHeader(entries[i].after);
  } catch (const std::exception& e) {
    for (TQdfLocalFiler* f : filers) f->Stop();
    rollback_only(e.what());
    throw EQdfException(
        Format("The commit of %s is durable (its record %s is written), but "
               "writing a header failed (%s): the files take no more writes until "
               "they are opened again, which completes the commit",
               names.c_str(), record_path.c_str(), e.what()));
  }

  // 4. Done: a record that comes back after a power loss finds every header
  // past the state it started from and changes nothing.
  RemoveQuietly(record_path);
  remove_markers();
  for (TQdfIndirectPageReader* r : readers) r->MarkHeaderWritten();
}

std::optional<TMultiFileCommit::TPendingHeader> TMultiFileCommit::RecoverAtOpen(
    const std::string& file_name, TFileHandle* own) {
  TFileSystem& fs = DatabaseFileSystem();
  const std::string side = SidePath(file_name);
  std::optional<std::vector<uint8_t>> side_bytes = ReadSmall(side);
  if (!side_bytes) return std::nullopt;
  // Only the holder of a file's lock removes what lies beside it: a writer
  // of this commit that is still alive holds every file's lock.
  auto clear_side = [&] {
    if (own != nullptr) RemoveQuietly(side);
  };
  uint64_t marker_id = 0;
  std::string record_path;
  const bool is_marker = DecodeMarker(*side_bytes, side, &marker_id, &record_path);
  if (!is_marker) record_path = side;
  std::optional<std::vector<uint8_t>> record_bytes =
      is_marker ? ReadSmall(record_path) : side_bytes;
  TRecord record;
  size_t self = 0;
  bool complete = record_bytes && DecodeRecord(*record_bytes, record_path, &record) &&
                  (!is_marker || record.id == marker_id);
  if (complete) {
    while (self < record.files.size() && !SameFile(record.files[self].path, file_name)) ++self;
    complete = self < record.files.size() && (is_marker || self == 0);
  }
  if (!complete) {
    // The commit never reached its commit point: no header was written.
    clear_side();
    return std::nullopt;
  }

  // Every file's lock, then every header that still holds the state the
  // commit started from gets the new one.
  std::vector<std::unique_ptr<TFileHandle>> opened(record.files.size());
  std::vector<TFileHandle*> handles(record.files.size(), nullptr);
  try {
    for (size_t j = 0; j < record.files.size(); ++j) {
      if (j == self && own != nullptr) {
        handles[j] = own;
      } else {
        opened[j] = fs.Open(record.files[j].path, TOpenMode::kReadWrite);
        handles[j] = opened[j].get();
      }
    }
  } catch (const std::exception& e) {
    if (own == nullptr) return TPendingHeader{record.files[self].before, record.files[self].after};
    throw EQdfException(
        Format("File: %s: an interrupted commit over several files (record %s) "
               "must be completed before the file takes writes, but: %s; close "
               "the program that holds it and open the file again",
               file_name.c_str(), record_path.c_str(), e.what()));
  }
  for (size_t j = 0; j < record.files.size(); ++j) {
    const TRecordEntry& f = record.files[j];
    THeader disk{};
    if (handles[j]->ReadUpTo(0, disk.data(), disk.size()) < disk.size()) continue;
    if (RootOf(disk) == f.before) {
      handles[j]->WriteAt(0, f.after.data(), f.after.size());
      handles[j]->Sync();
    } else if (RootOf(disk) != RootOf(f.after)) {
      Trace("File " + f.path + " has moved on since the commit of record " + record_path +
            ": left as it is");
    }
  }
  RemoveQuietly(record_path);
  for (size_t j = 1; j < record.files.size(); ++j) RemoveMarker(record.files[j].path, record.id);
  return std::nullopt;
}

}  // namespace qdf
