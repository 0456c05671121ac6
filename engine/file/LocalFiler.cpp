#include "file/LocalFiler.h"

#include <algorithm>
#include <cstring>

#include "base/QdfException.h"
#include "platform/Trace.h"
#include "reader/PageReader.h"

namespace qdf {
namespace {

// Process-wide re-entrancy guards of the allocation: the list operations run
// by a search or an allocation may themselves allocate pages.
bool g_inside_search = false;
bool g_inside_allocate = false;

// The largest allocation end (in units) whose byte position still fits the
// entry format's 64-bit position; far beyond any real disk, but checked so
// the arithmetic never wraps.
constexpr uint32_t kMaxAllocationEnd = 0xFFFFFFFFu - 16;

}  // namespace

bool& InsideSearchFreeData() { return g_inside_search; }

bool TQdfLocalFiler::CreateEmpty(const std::string& file_name) {
  std::array<uint8_t, kHeaderSize> fresh{};
  StoreU32(&fresh[kHdrMagic], kFileMagic);
  StoreU32(&fresh[kHdrMajor], kFileMajorVersion);
  StoreU32(&fresh[kHdrMinor], kFileMinorVersion);
  StoreU64(&fresh[kHdrHighWater], kHeaderSize);
  StoreU32(&fresh[kHdrRoot + kRootTransaction], 1);
  StoreU32(&fresh[kHdrRoot + kRootAllocEnd], 1);
  StoreU32(&fresh[kHdrRoot + kRootNextPage], 1);
  return DatabaseFileSystem().CreateExclusive(file_name, fresh.data(), fresh.size());
}

TQdfLocalFiler::TQdfLocalFiler(const std::string& file_name, bool read_only,
                               const std::string& alias)
    : TQdfFiler(alias), file_name_(file_name), read_only_(read_only) {
  TFileSystem& fs = DatabaseFileSystem();
  // Another process may create it at the same moment: then its file is the
  // one opened.
  if (!fs.Exists(file_name)) CreateEmpty(file_name);
  file_ = fs.Open(file_name, read_only ? TOpenMode::kReadOnly : TOpenMode::kReadWrite);
  try {
    // A commit over several files that a crash interrupted is completed (or
    // cleared) before the header is read.
    pending_header_ = TMultiFileCommit::RecoverAtOpen(file_name, read_only ? nullptr : file_.get());
    LoadRoot();
    uint32_t magic = LoadU32(&header_[kHdrMagic]);
    uint32_t major = LoadU32(&header_[kHdrMajor]);
    uint32_t minor = LoadU32(&header_[kHdrMinor]);
    if (magic != kFileMagic) {
      throw EQdfException(Format("File: %s is not a dbQuillon-File", file_name.c_str()));
    }
    // A damaged file is refused before a writer changes any byte of it.
    if (!read_only && major == kFileMajorVersion) CheckWritable();
    if (major != kFileMajorVersion || minor != kFileMinorVersion) {
      if (major == 1 && (minor == 0 || minor == 1)) {
        if (!read_only) {
          StoreU32(&header_[kHdrMinor], kFileMinorVersion);
          file_->WriteAt(0, header_.data(), header_.size());
          file_->Sync();
        }
      } else {
        throw EQdfException(Format("File: %s has Version: %d.%d please convert to Version: %d.%d",
                                   file_name.c_str(), static_cast<int>(major),
                                   static_cast<int>(minor), kFileMajorVersion, kFileMinorVersion));
      }
    }
  } catch (...) {
    file_.reset();
    throw;
  }
  oldest_transaction_ = 0;
}

void TQdfLocalFiler::CheckWritable() {
  // Every allocated block is written before the header that counts it, so a
  // sound file is never shorter than its allocated space. A writer must not
  // take blocks past the end (or believe the file full) on a damaged header;
  // readers still open it, so that the check can report.
  const uint64_t allocated = uint64_t{AllocationEnd()} * kUnitSize;
  const uint64_t size = file_->Size();
  auto damaged = [&](const std::string& what) {
    throw EQdfException(
        Format("File: %s is damaged: %s; run qdf check", file_name_.c_str(), what.c_str()));
  };
  if (allocated > size) {
    damaged(Format("its allocated space ends at 0x%llx, past the end of the file (0x%llx)",
                   static_cast<unsigned long long>(allocated),
                   static_cast<unsigned long long>(size)));
  }
  if (allocated < kHeaderSize) {
    damaged(Format("its allocated space ends at 0x%llx, inside the header",
                   static_cast<unsigned long long>(allocated)));
  }
  const uint32_t next_page = LoadU32(&root_cache_[kRootNextPage]);
  if (next_page == 0 || next_page >= kTopPage) {
    damaged(Format("its next page number 0x%x is out of range", next_page));
  }
  // The root's page-table blocks: a writer starts every walk there and frees
  // their old copies, so they must lie in the allocated space.
  for (int i = 0; i < 4; ++i) {
    const TPageEntry e = DecodeEntry(&root_cache_[kRootEntries + 12 * i]);
    if (e.position == 0) continue;
    if (e.position < kHeaderSize ||
        static_cast<uint64_t>(e.position) + static_cast<uint64_t>(e.StoredSize()) > allocated) {
      damaged(Format("the page-table block of level %d at 0x%llx lies outside the allocated space",
                     i, static_cast<unsigned long long>(e.position)));
    }
  }
}

TQdfLocalFiler::~TQdfLocalFiler() {
  for (const auto& [reader, slot] : reader_slots_) reader_table_->Release(slot);
  // A transaction that rolled back (or never committed its growth) may have
  // left blocks past the committed allocation end.
  if (write_owner_ == nullptr) TruncateToAllocationEnd();
}

void TQdfLocalFiler::TruncateToAllocationEnd() noexcept {
  if (read_only_ || broken_ || !file_) return;
  try {
    // The header's (committed) allocation end, not the cached one a running
    // transaction advances: every block the committed state names, live or
    // free, lies below it, and the header is written before this runs.
    const uint64_t end = uint64_t{LoadU32(&header_[kHdrRoot + kRootAllocEnd])} * kUnitSize;
    if (end >= kHeaderSize && file_->Size() > end) file_->Truncate(end);
  } catch (const std::exception& e) {
    Trace(std::string("File ") + file_name_ + " not shortened: " + e.what());
  }
}

void TQdfLocalFiler::LoadRoot() {
  if (LoadU32(root_cache_.data()) != 0) return;
  ReadHeader();
}

void TQdfLocalFiler::ReadHeader() {
  std::array<uint8_t, kHeaderSize> first{}, again{};
  for (int attempt = 0;; ++attempt) {
    if (file_->ReadUpTo(0, first.data(), first.size()) < first.size()) {
      throw EQdfException(Format("File: %s is not a dbQuillon-File", file_name_.c_str()));
    }
    if (read_only_ == false) break;  // the writer is the only one that writes it
    file_->ReadUpTo(0, again.data(), again.size());
    if (first == again || attempt == 100) break;
  }
  if (pending_header_ &&
      std::memcmp(&first[kHdrRoot], pending_header_->before.data(), kRootSize) == 0) {
    first = pending_header_->after;
  }
  header_ = first;
  std::memcpy(root_cache_.data(), &header_[kHdrRoot], kRootSize);
}

TReaderTable* TQdfLocalFiler::OpenReaderTable(bool create) {
  if (reader_table_ == nullptr && (create || !reader_table_made_)) {
    reader_table_ = TReaderTable::Open(file_name_, create);
    // A reader that cannot make the table reads unrecorded; it tries once.
    if (create) reader_table_made_ = true;
  }
  return reader_table_.get();
}

const std::vector<uint32_t>& TQdfLocalFiler::ForeignReaders() {
  TDbgLock g(lock_);
  foreign_readers_.clear();
  // Until a reader made the table, every call looks for it again.
  if (!read_only_ && OpenReaderTable(false) != nullptr) reader_table_->Collect(foreign_readers_);
  return foreign_readers_;
}

int64_t TQdfLocalFiler::HighWaterMark() const {
  return static_cast<int64_t>(LoadU64(&header_[kHdrHighWater]));
}

void TQdfLocalFiler::SetHighWaterMark(int64_t value) {
  StoreU64(&header_[kHdrHighWater], static_cast<uint64_t>(value));
}

uint32_t TQdfLocalFiler::AllocationEnd() const { return LoadU32(&root_cache_[kRootAllocEnd]); }

TRootRecord TQdfLocalFiler::GetRoot() {
  TDbgLock g(lock_);
  if (LoadU32(root_cache_.data()) != 0) return root_cache_;
  TRootRecord r;
  std::memcpy(r.data(), &header_[kHdrRoot], kRootSize);
  return r;
}

void TQdfLocalFiler::AttachReader(TQdfPageReader* reader, TRootRecord& root) {
  TDbgLock g(lock_);
  if (!read_only_) {
    LoadRoot();
  } else if (TReaderTable* table = OpenReaderTable(true); table == nullptr) {
    ReadHeader();
  } else {
    const int slot = table->Claim();
    try {
      // Published, then read again: a commit in between starts over.
      for (int attempt = 0;; ++attempt) {
        ReadHeader();
        const std::array<uint8_t, kHeaderSize> seen = header_;
        table->Publish(slot, LoadU32(&seen[kHdrRoot + kRootTransaction]));
        ReadHeader();
        if (header_ == seen) break;
        if (attempt == 1000) {
          throw EQdfException(Format("File: %s: the header changes too fast to be read; try again",
                                     file_name_.c_str()));
        }
      }
    } catch (...) {
      table->Release(slot);
      throw;
    }
    reader_slots_.emplace_back(reader, slot);
  }
  root = root_cache_;
  TQdfFiler::AttachReader(reader, root);
}

void TQdfLocalFiler::DetachReader(TQdfPageReader* reader, TRootRecord& root, bool keep_write_lock) {
  {
    TDbgLock g(lock_);
    for (auto it = reader_slots_.begin(); it != reader_slots_.end(); ++it) {
      if (it->first != reader) continue;
      reader_table_->Release(it->second);
      reader_slots_.erase(it);
      break;
    }
  }
  TQdfFiler::DetachReader(reader, root, keep_write_lock);
}

void TQdfLocalFiler::TakeWriteOwnership(TQdfPageReader* reader) {
  TDbgLock g(lock_);
  if (read_only_) {
    throw EQdfException(Format("File: %s is open read-only", file_name_.c_str()),
                        kHelpReadOnlyReader);
  }
  if (broken_) {
    throw EQdfException(
        Format("File: %s: a commit failed; close and reopen the database", file_name_.c_str()));
  }
  if (write_owner_ != nullptr && write_owner_ != reader) {
    throw EQdfException("Only one Write-Transaction allowed");
  }
  write_owner_ = reader;
  // The previous transaction may have given back units at the end of the
  // file (its header, now written, ends the allocated space earlier).
  TruncateToAllocationEnd();
}

void TQdfLocalFiler::ReleaseWriteOwnership() {
  TDbgLock g(lock_);
  write_owner_ = nullptr;
  free_lists_ = nullptr;
  // After a rollback the committed free lists and allocation end hold these
  // units again; after a commit that settled, nothing is left here.
  own_free_.Clear();
}

void TQdfLocalFiler::CommitRoot(const TRootRecord& root, bool keep_write_lock) {
  TDbgLock g(lock_);
  SyncPages();
  WriteHeader(NextHeader(root));
  if (!keep_write_lock) ReleaseWriteOwnership();
}

TMultiFileCommit::THeader TQdfLocalFiler::NextHeader(const TRootRecord& root) const {
  TMultiFileCommit::THeader next = header_;
  uint8_t* r = &next[kHdrRoot];
  StoreU32(r + kRootPrevTransaction, LoadU32(r + kRootTransaction));
  StoreU32(r + kRootTransaction, LoadU32(&root[kRootTransaction]));
  StoreU32(r + kRootAllocEnd, LoadU32(&root_cache_[kRootAllocEnd]));
  StoreU32(r + kRootNextPage, LoadU32(&root[kRootNextPage]));
  std::memcpy(r + kRootEntries, &root[kRootEntries], 4 * 12);
  return next;
}

TRootRecord TQdfLocalFiler::CommittedRoot() const {
  TRootRecord r;
  std::memcpy(r.data(), &header_[kHdrRoot], kRootSize);
  return r;
}

bool TQdfLocalFiler::CommitChanges(const TRootRecord& root) const {
  const TMultiFileCommit::THeader next = NextHeader(root);
  return std::memcmp(&next[kHdrRoot + kRootAllocEnd], &header_[kHdrRoot + kRootAllocEnd],
                     kRootSize - kRootAllocEnd) != 0;
}

void TQdfLocalFiler::SyncPages() {
  TDbgLock g(lock_);
  if (broken_) {
    throw EQdfException(
        Format("File: %s: a commit failed; close and reopen the database", file_name_.c_str()));
  }
  if (write_failed_) {
    throw EQdfException(
        Format("File: %s: a page write failed; the transaction can only be rolled back",
               file_name_.c_str()));
  }
  // The pages must be on disk before a header names them. A failed sync may
  // have lost pages that a later sync would report durable (the system drops
  // what it could not write): nothing more is written through this filer.
  try {
    if (sync_commits_) file_->Sync();
  } catch (...) {
    broken_ = true;
    throw;
  }
}

void TQdfLocalFiler::WriteHeader(const TMultiFileCommit::THeader& header) {
  TDbgLock g(lock_);
  if (broken_) {
    throw EQdfException(
        Format("File: %s: a commit failed; close and reopen the database", file_name_.c_str()));
  }
  // After a failed header write or sync it is not known which header the
  // disk holds: nothing more is written; reopening reads the one there.
  try {
    file_->WriteAt(0, header.data(), header.size());
    if (sync_commits_) file_->Sync();
  } catch (...) {
    broken_ = true;
    throw;
  }
  header_ = header;
  std::memcpy(root_cache_.data(), &header_[kHdrRoot], kRootSize);
}

void TQdfLocalFiler::ReloadRoot() {
  TDbgLock g(lock_);
  ReleaseWriteOwnership();
  write_failed_ = false;
  std::memcpy(root_cache_.data(), &header_[kHdrRoot], kRootSize);
}

int64_t TQdfLocalFiler::AllocateData(int32_t size) {
  TDbgLock g(lock_);
  if (g_inside_search) Trace("Error: AllocateData called from inside SearchFreeData");
  if (size < 1) throw EQdfException("Allocation of empty block");
  if (size > 8192) throw EQdfException(Format("Block size %d is too big", size));
  const int k = (size - 1) / kUnitSize;
  int64_t position = 0;
  bool found = false;
  int found_class = k;
  if (g_inside_allocate) {
    Trace("AllocateData called from inside AllocateData");
  } else if (free_lists_ != nullptr) {
    g_inside_allocate = true;
    try {
      found = free_lists_->TakeBlock(k, &position);
      if (!found && !shadow_ && frees_pending_) {
        free_lists_->SearchFreeData();
        found = free_lists_->TakeBlock(k, &position);
      }
      // Then space this transaction freed again (first fit, so that what
      // stays free gathers at the end of the file), then a larger free block
      // is split: the file grows only when nothing else holds the block.
      const bool own = !found && own_free_.Take(static_cast<uint32_t>(k + 1), &position);
      if (own) found_class = -1;
      found = found || own;
      // Whole-page blocks stay for whole-page requests (plain pages, page
      // tables): split among the few of them, the file would grow for those.
      for (int j = k + 1; !found && j < kFreeSizeClasses - 1; ++j) {
        found = free_lists_->TakeBlock(j, &position);
        if (found) found_class = j;
      }
      // Last, before the file grows: neighbouring free blocks may hold it
      // together. Every reusable block moves into the own free space, which
      // merges neighbours; the commit records what stays free.
      if (!found && !shadow_ && DrainFreeLists() &&
          own_free_.Take(static_cast<uint32_t>(k + 1), &position)) {
        found = true;
        found_class = -1;
      }
    } catch (...) {
      g_inside_allocate = false;
      throw;
    }
    g_inside_allocate = false;
  }
  if (found && found_class < 0) return position;  // own free space
  if (found) {
    CheckListedBlock(position, found_class);
    // The rest of a split block left the free lists with it: it is this
    // transaction's own free space now (recorded again when it settles).
    if (found_class > k) {
      own_free_.Add(position + static_cast<int64_t>(k + 1) * kUnitSize,
                    static_cast<uint32_t>(found_class - k));
    }
    return position;
  }
  // Without free lists (or nested in an allocation) own space still serves.
  if (own_free_.Take(static_cast<uint32_t>(k + 1), &position)) return position;
  uint32_t end = LoadU32(&root_cache_[kRootAllocEnd]);
  if (end > kMaxAllocationEnd - static_cast<uint32_t>(k + 1)) {
    throw EQdfException(Format("File: %s is full", file_name_.c_str()));
  }
  position = static_cast<int64_t>(end) * kUnitSize;
  StoreU32(&root_cache_[kRootAllocEnd], end + static_cast<uint32_t>(k + 1));
  file_grown_ = true;
  return position;
}

void TQdfLocalFiler::FreeData(const TItemAdr& chain, int32_t size, uint32_t transaction,
                              int64_t position) {
  TDbgLock g(lock_);
  if (g_inside_search) Trace("Error: FreeData called from inside SearchFreeData");
  if (position < kHeaderSize || size <= 0) return;
  SetHighWaterMark(std::max(HighWaterMark(), position + size));
  if (IsOwnCopy(chain, transaction)) {
    own_free_.Add(position, static_cast<uint32_t>((size - 1) / kUnitSize + 1));
    return;
  }
  if (free_lists_ == nullptr) return;  // no transaction holds the lists: the block is not recorded
  free_lists_->AddBlock(chain, (size - 1) / kUnitSize, transaction, position);
  frees_pending_ = true;
}

bool TQdfLocalFiler::IsOwnCopy(const TItemAdr& chain, uint32_t transaction) const {
  // A copy stamped with the running transaction's number was written by it:
  // neither the committed header nor an older reader can reach its block.
  // Copies of earlier transactions go to the pending root and wait there.
  return write_owner_ != nullptr && chain == current_root &&
         transaction == write_owner_->TransactionNumber();
}

void TQdfLocalFiler::CheckListedBlock(int64_t position, int size_class) const {
  // The free list lives in the file's pages: a damaged one must not direct
  // a page write over the header, a live block or past the allocated space.
  const int64_t allocated = static_cast<int64_t>(LoadU32(&root_cache_[kRootAllocEnd])) * kUnitSize;
  const int64_t block = static_cast<int64_t>(size_class + 1) * kUnitSize;
  if (position < kHeaderSize || position % kUnitSize != 0 || position > allocated - block) {
    throw EQdfException(
        Format("File: %s: its free list names a block outside the allocated space (at 0x%llx); "
               "run qdf check",
               file_name_.c_str(), static_cast<unsigned long long>(position)));
  }
}

bool TQdfLocalFiler::DrainFreeLists() {
  // The current root holds only blocks that neither the committed state nor
  // an attached reader can reach, so taking them out of the lists (a change
  // the commit makes durable, or a rollback undoes) makes them own space.
  bool any = false;
  int64_t position = 0;
  for (int j = 0; j < kFreeSizeClasses - 1; ++j) {  // whole-page blocks stay (see above)
    while (free_lists_->TakeBlock(j, &position)) {
      CheckListedBlock(position, j);
      own_free_.Add(position, static_cast<uint32_t>(j + 1));
      any = true;
    }
  }
  return any;
}

int64_t TQdfLocalFiler::OwnFreeUnitsInside() const {
  return own_free_.UnitsBefore(int64_t{LoadU32(&root_cache_[kRootAllocEnd])} * kUnitSize);
}

bool TQdfLocalFiler::TakeOwnSpaceBelow(uint32_t units, int64_t below, int64_t* position) {
  TDbgLock g(lock_);
  return own_free_.Take(units, position, below);
}

void TQdfLocalFiler::SettleOwnFreeSpace() {
  TDbgLock g(lock_);
  if (own_free_.Empty() || write_owner_ == nullptr) return;
  // Units that reach the allocation end are given back: the header written
  // at the commit ends the allocated space before them, and the next write
  // transaction (or closing the file) cuts the file there.
  uint32_t end = LoadU32(&root_cache_[kRootAllocEnd]);
  int64_t start = 0;
  while (own_free_.TakeEndingAt(int64_t{end} * kUnitSize, &start)) {
    end = static_cast<uint32_t>(start / kUnitSize);
  }
  StoreU32(&root_cache_[kRootAllocEnd], end);
  // Without free lists (a bare page reader) the rest stays here, for this
  // transaction's later blocks; what is left at its end is lost to the file.
  if (free_lists_ == nullptr || current_root.IsNull()) return;
  // The rest goes to the current root, reusable by the next transaction:
  // nothing committed names it, so it needs no wait in the pending root.
  const uint32_t tan = write_owner_->TransactionNumber();
  int64_t position = 0;
  uint32_t units = 0;
  while (own_free_.TakeFirst(&position, &units)) {
    while (units > 0) {
      const uint32_t block = std::min<uint32_t>(units, kFreeSizeClasses);
      free_lists_->AddBlock(current_root, static_cast<int>(block) - 1, tan, position);
      position += int64_t{block} * kUnitSize;
      units -= block;
    }
  }
}

TFreeSpaceLists& TQdfLocalFiler::OpenFreeList() {
  TFreeSpaceLists* lists = free_lists_;
  if (lists == nullptr) {
    throw EQdfException(Format("File: %s: its free list is not open; no write transaction holds it",
                               file_name_.c_str()));
  }
  return *lists;
}

TItemAdr TQdfLocalFiler::NewRoot(uint32_t transaction) {
  TDbgLock g(lock_);
  return OpenFreeList().NewRoot(transaction);
}

void TQdfLocalFiler::ReturnChain(TItemAdr& chain) {
  TDbgLock g(lock_);
  if (chain.IsNull()) return;
  TFreeSpaceLists& lists = OpenFreeList();
  if (current_root.IsNull()) {
    throw EQdfException(Format("File: %s: its free list has no current root", file_name_.c_str()));
  }
  TItemAdr source = chain;
  lists.MergeRoot(current_root, source);
  chain = kNullAdr;
}

void TQdfLocalFiler::PrepareFlush(int flags) {
  TDbgLock g(lock_);
  if ((flags & (4 | 32)) && free_lists_ != nullptr) free_lists_->PrepareFlush(flags);
}

void TQdfLocalFiler::FreePage(uint32_t) {}
void TQdfLocalFiler::Ping() {}

bool TQdfLocalFiler::IsEmpty() {
  TDbgLock g(lock_);
  return HighWaterMark() == kHeaderSize;
}

void TQdfLocalFiler::ReadData(uint8_t* buffer, int32_t size, int64_t position) {
  TDbgLock g(lock_);
  if (position < kHeaderSize || size <= 0 || position > HighWaterMark() - size) {
    throw EQdfException("access to non valid file data");
  }
  size_t got = file_->ReadUpTo(static_cast<uint64_t>(position), buffer, static_cast<size_t>(size));
  if (got != static_cast<size_t>(size)) throw EQdfException("access to non valid file data");
}

void TQdfLocalFiler::WriteData(const uint8_t* buffer, int32_t size, int64_t position) {
  TDbgLock g(lock_);
  if (position < kHeaderSize || size <= 0) throw EQdfException("access to non valid file data");
  QDF_ASSERT(size <= 8192, "QdfFile");
  if (read_only_) {
    throw EQdfException(Format("File: %s is open read-only", file_name_.c_str()),
                        kHelpReadOnlyReader);
  }
  if (broken_) {
    throw EQdfException(
        Format("File: %s: a commit failed; close and reopen the database", file_name_.c_str()));
  }
  SetHighWaterMark(std::max(HighWaterMark(), position + size));
  try {
    file_->WriteAt(static_cast<uint64_t>(position), buffer, static_cast<size_t>(size));
  } catch (...) {
    write_failed_ = true;
    throw;
  }
}

}  // namespace qdf
