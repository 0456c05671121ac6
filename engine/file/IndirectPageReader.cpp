#include "file/IndirectPageReader.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "base/ItemArea.h"
#include "base/PageCodec.h"
#include "base/QdfException.h"
#include "file/LocalFiler.h"
#include "file/ShadowStore.h"
#include "file/TCPFiler.h"
#include "platform/Trace.h"

namespace qdf {
namespace {

[[noreturn]] void Damaged(uint32_t page, const char* what) {
  throw EQdfException(Format("Page %x is damaged: %s", page, what));
}

// The transaction number of a shadow-mode write transaction: above every
// number the server hands out, so a copy it wrote is always rewritten in
// place, and tag of the reader's chain of shadow blocks.
constexpr uint32_t kShadowTransaction = 0xFFFFFFFFu;

// Own free space inside the file (not at its end) from which a commit moves
// its own copies down, so that the space gathers at the end: 1 MB, or an
// eighth of a smaller file (the walk over the page table costs little there).
constexpr int64_t kMoveDownUnits = 2048;

// Fewer pages than this are packed where they are written: a commit of a
// few pages does not pay for the batch's room or the hand-over to threads.
constexpr size_t kPackAheadMin = 8;

}  // namespace

TQdfIndirectPageReader::TQdfIndirectPageReader(TQdfFiler* filer)
    : filer_ref_(TQdfFilerRef::Share(filer)), filer_(filer) {
  QDF_ASSERT(filer != nullptr, "QdfFile");
  read_only_ = true;
  shadow_ = filer_->Shadow();
}

TQdfIndirectPageReader::~TQdfIndirectPageReader() {
  try {
    if (in_write_) {
      Rollback();
    } else if (attached_) {
      filer_->DetachReader(this, root_, false);
      attached_ = false;
    }
  } catch (const std::exception&) {
    // Nothing more can be done for the file here; the pages are dropped below.
  }
  // Drop the pages while the filer is still referenced (no page is written);
  // filer_ref_ lets it go afterwards.
  TQdfPageReader::Flush(kFlushDrop);
}

void TQdfIndirectPageReader::Open(bool read_only) {
  TDbgLock g(Lock());
  if (in_write_) throw EQdfException("Transaction already running");
  if (attached_) filer_->DetachReader(this, root_, true);
  read_only_ = read_only;
  BumpPageChainEpoch();
  filer_->AttachReader(this, root_);
  attached_ = true;
}

void TQdfIndirectPageReader::StartTransaction() {
  TDbgLock g(Lock());
  if (in_write_) throw EQdfException("Transaction already running");
  if (!attached_) Open(read_only_);
  if (read_only_) return;
  if (shadow_) {
    // The root copy came from the server at Open; nothing to catch up with.
    TQdfLocalFiler* shadow_filer = ShadowFiler();
    TDbgLock s(ShadowListReader()->Lock());
    shadow_chain_ = shadow_filer->NewRoot(kShadowTransaction);
    start_number_ = TransactionNumber();
    StoreU32(&root_[kRootTransaction], kShadowTransaction);
    plain_evicted_.clear();
    rollback_reason_.clear();
    in_write_ = true;
    write_failed_ = false;
    return;
  }
  // A reader that attached before another writer committed would reuse that
  // writer's transaction number: catch up with the file first.
  TRootRecord committed = filer_->GetRoot();
  if (LoadU32(&committed[kRootTransaction]) != TransactionNumber()) {
    BumpPageChainEpoch();
    Invalidate();
    root_ = committed;
  }
  if (filer_->IsLocal()) static_cast<TQdfLocalFiler*>(filer_)->TakeWriteOwnership(this);
  start_number_ = TransactionNumber();
  StoreU32(&root_[kRootTransaction], start_number_ + 1);
  plain_evicted_.clear();
  rollback_reason_.clear();
  in_write_ = true;
  write_failed_ = false;
  header_written_ = false;
}

void TQdfIndirectPageReader::CheckCommittable() {
  TDbgLock g(Lock());
  if (!in_write_ || read_only_) return;
  if (write_failed_) {
    throw EQdfException("A page write failed; the transaction can only be rolled back");
  }
  if (!rollback_reason_.empty()) {
    throw EQdfException(
        Format("The commit of %s failed (%s); the transaction can only be rolled back",
               filer_->Name().c_str(), rollback_reason_.c_str()));
  }
}

void TQdfIndirectPageReader::SetRollbackOnly(const std::string& why) {
  TDbgLock g(Lock());
  if (!in_write_) return;
  rollback_reason_ = why.empty() ? std::string("unknown error") : why;
}

void TQdfIndirectPageReader::Commit(bool keep_write_lock) {
  TDbgLock g(Lock());
  if (in_write_ && !read_only_) {
    CheckCommittable();
    if (shadow_) {
      // The server has the changes (sent by the storage before this); the
      // pages were scratch. Closing the server's transaction ends the commit.
      filer_->ReloadRoot();
      attached_ = false;
      try {
        filer_->DetachReader(this, root_, keep_write_lock);
      } catch (const std::exception& e) {
        // Whether the server took the transaction is not known.
        rollback_reason_ = e.what();
        throw;
      }
      EndShadowTransaction();
      return;
    }
    try {
      if (header_written_) {
        // A commit over several files wrote the header already.
        if (!keep_write_lock) static_cast<TQdfLocalFiler*>(filer_)->ReleaseWriteOwnership();
      } else {
        // Changes still in the cache belong to this transaction.
        if (DirtyCount() > 0) Flush(kFlushWriteUnpin);
        filer_->CommitRoot(root_, keep_write_lock);
      }
    } catch (const std::exception& e) {
      // Pages of this transaction may be lost (a failed write or sync), or
      // its header may be on disk: committing again could name lost pages.
      SetRollbackOnly(e.what());
      throw;
    }
  }
  if (attached_) filer_->DetachReader(this, root_, keep_write_lock);
  attached_ = false;
  in_write_ = false;
  header_written_ = false;
  modified_ = false;
}

void TQdfIndirectPageReader::FlushForCommit() {
  TDbgLock g(Lock());
  CheckCommittable();
  try {
    if (DirtyCount() > 0) Flush(kFlushWriteUnpin);
  } catch (const std::exception& e) {
    SetRollbackOnly(e.what());
    throw;
  }
}

bool TQdfIndirectPageReader::ChangesLocalFile() const {
  return in_write_ && !read_only_ && !shadow_ && filer_->IsLocal() &&
         static_cast<const TQdfLocalFiler*>(filer_)->CommitChanges(root_);
}

void TQdfIndirectPageReader::Rollback() {
  TDbgLock g(Lock());
  if (read_only_ || !in_write_) {
    if (attached_) filer_->DetachReader(this, root_, false);
    attached_ = false;
    in_write_ = false;
    return;
  }
  filer_->ReloadRoot();
  BumpPageChainEpoch();
  if (shadow_) {
    // The server's transaction is closed without anything sent; the local
    // side is released whatever the server answers.
    std::exception_ptr error;
    if (attached_) {
      attached_ = false;
      try {
        filer_->DetachReader(this, root_, false);
      } catch (...) {
        error = std::current_exception();
      }
    }
    EndShadowTransaction();
    StoreU32(&root_[kRootTransaction], 0);
    if (error) std::rethrow_exception(error);
    return;
  }
  if (attached_) filer_->DetachReader(this, root_, false);
  attached_ = false;
  in_write_ = false;
  write_failed_ = false;
  header_written_ = false;
  modified_ = false;
  plain_evicted_.clear();
  // Every cached page may hold changes of the transaction (also the clean
  // table blocks it wrote): start again from the file.
  TQdfPageReader::Flush(kFlushDrop);
  root_ = filer_->GetRoot();
  StoreU32(&root_[kRootTransaction], 0);
}

// ---- shadow mode ----

TQdfLocalFiler* TQdfIndirectPageReader::ShadowFiler() {
  TQdfShadowStore* system = shadow_store_ != nullptr ? shadow_store_ : DefaultShadowStore();
  if (system == nullptr || system->ShadowFiler() == nullptr || system->ShadowReader() == nullptr) {
    throw EQdfException(Format("%s: writing needs the system's shadow file, which is not open",
                               filer_->Name().c_str()));
  }
  return system->ShadowFiler();
}

TQdfIndirectPageReader* TQdfIndirectPageReader::ShadowListReader() {
  ShadowFiler();  // raises when there is none
  TQdfShadowStore* system = shadow_store_ != nullptr ? shadow_store_ : DefaultShadowStore();
  return system->ShadowReader();
}

int64_t TQdfIndirectPageReader::AllocateShadowBlock(int32_t size, uint32_t replaced_transaction) {
  TQdfLocalFiler* shadow_filer = ShadowFiler();
  if (shadow_chain_.IsNull()) {
    throw EQdfException(Format("%s: no chain of shadow blocks; the transaction was not started",
                               filer_->Name().c_str()));
  }
  TDbgLock s(ShadowListReader()->Lock());
  const int64_t position = shadow_filer->AllocateData(size);
  // Registered at once: handing the chain back frees the block, whatever
  // happens to this transaction.
  shadow_filer->FreeData(shadow_chain_, size, replaced_transaction, position);
  return position;
}

void TQdfIndirectPageReader::ReturnShadowChain() {
  if (shadow_chain_.IsNull()) return;
  TQdfLocalFiler* shadow_filer = ShadowFiler();
  TDbgLock s(ShadowListReader()->Lock());
  shadow_filer->ReturnChain(shadow_chain_);
}

void TQdfIndirectPageReader::EndShadowTransaction() {
  in_write_ = false;
  write_failed_ = false;
  modified_ = false;
  rollback_reason_.clear();
  plain_evicted_.clear();
  // Every cached page may be a shadow copy, and its block is about to be
  // reused: the next transaction reads the server's pages.
  BumpPageChainEpoch();
  TQdfPageReader::Flush(kFlushDrop);
  try {
    ReturnShadowChain();
  } catch (const std::exception& e) {
    // The blocks stay allocated in the scratch file; nothing else is lost.
    Trace(std::string("Shadow blocks of ") + filer_->Name() + " not returned: " + e.what());
    shadow_chain_ = kNullAdr;
  }
  // The handle the server gave back when its transaction was closed is the
  // one the next start resumes.
  const uint32_t handle = LoadU32(&root_[kRootServerHandle]);
  root_ = filer_->GetRoot();
  StoreU32(&root_[kRootServerHandle], handle);
}

uint32_t TQdfIndirectPageReader::TransactionNumber() { return LoadU32(&root_[kRootTransaction]); }
bool TQdfIndirectPageReader::IsEmpty() { return filer_->IsEmpty(); }
bool TQdfIndirectPageReader::HasFile() { return true; }

void TQdfIndirectPageReader::RequireWritable(const char* what) {
  if (read_only_) {
    throw EQdfException(Format("%s on a reader opened read-only", what), kHelpReadOnlyReader);
  }
  if (!in_write_) {
    throw EQdfException(Format("%s without a running write transaction", what),
                        kHelpReadOnlyReader);
  }
}

// ---- the page table ----

TPageEntry TQdfIndirectPageReader::ReadEntry(uint32_t page, const TEntryPlace& place) {
  uint32_t code = 0;
  TPageEntry entry;
  if (place.root_index >= 0) {
    entry = DecodeEntry(&root_[kRootEntries + 12 * place.root_index], &code);
  } else {
    const uint8_t* table = GetPage(place.table_page, kGpRead);
    entry = DecodeEntry(table + kIbEntries + 12 * place.slot, &code);
  }
  if (entry.position != 0) {
    if (code > 15) Damaged(page, "page-table entry with a stored size above 16 units");
    if (!(entry.flags & kEntryCompressed) && entry.units != 16) {
      Damaged(page, "plain page-table entry that is not 16 units");
    }
    if (entry.position < kHeaderSize) Damaged(page, "page-table entry inside the header");
  }
  return entry;
}

void TQdfIndirectPageReader::StoreEntry(const TEntryPlace& place, const TPageEntry& entry) {
  if (place.root_index >= 0) {
    EncodeEntry(&root_[kRootEntries + 12 * place.root_index], entry);
    return;
  }
  uint8_t* table = GetPage(place.table_page, kGpRead | kGpUpdate);
  if (LoadU32(table + kPgTransaction) < TransactionNumber()) {
    StoreU32(table + kPgTransaction, TransactionNumber());
  }
  EncodeEntry(table + kIbEntries + 12 * place.slot, entry);
}

TPageEntry TQdfIndirectPageReader::EntryOf(uint32_t page) {
  TDbgLock g(Lock());
  return ReadEntry(page, LocateEntry(page));
}

uint32_t TQdfIndirectPageReader::StoredTransaction(uint32_t page) {
  return EntryOf(page).transaction;
}

void TQdfIndirectPageReader::CheckPage(uint32_t page, const TEntryPlace& place,
                                       const uint8_t* buffer) {
  if (LoadU16(buffer + kPgSize) != kPageSize) Damaged(page, "wrong page size word");
  if (place.level >= 0) {
    if (LoadU32(buffer + kIbLevel) != static_cast<uint32_t>(place.level)) {
      Damaged(page, "page-table block of the wrong level");
    }
    if (LoadU32(buffer + kIbOwnPage) != page) Damaged(page, "page-table block of another page");
    return;
  }
  int offset = LoadU16(buffer + kPgAreaOffset);
  if (offset == 0) return;
  if (offset < kItemPageAreaOffset || offset > kPageSize - 14) {
    Damaged(page, "item area offset out of range");
  }
  // CheckArea reads only the area; the copy keeps the cache buffer const here.
  TItemArea area(const_cast<uint8_t*>(buffer) + offset);
  if (area.Size() != kPageSize - offset || !area.CheckArea()) Damaged(page, "item area");
}

// ---- page requests ----

void TQdfIndirectPageReader::ReadPage(uint32_t page, uint8_t* buffer) {
  const TEntryPlace place = LocateEntry(page);
  const TPageEntry entry = ReadEntry(page, place);
  if (entry.position == 0) {
    if (place.level >= 0 && !read_only_ && in_write_) {
      // A table block that was never written: start it empty.
      std::memset(buffer, 0, kPageSize);
      StoreU16(buffer + kPgSize, kPageSize);
      StoreU16(buffer + kPgFlags, kPageNeverCompress);
      StoreU32(buffer + kPgTransaction, TransactionNumber());
      StoreU32(buffer + kIbLevel, static_cast<uint32_t>(place.level));
      StoreU32(buffer + kIbOwnPage, page);
      GetPage(page, kGpUpdate);
      return;
    }
    throw EQdfDataNotAllocated(page);
  }
  TQdfFiler* source = filer_;
  if (entry.flags & kEntryShadow) {
    // Only the shadow transaction that wrote the block may read it: anywhere
    // else the flag means a damaged entry, and the block may be reused.
    if (!shadow_ || !in_write_) {
      Damaged(page, "page-table entry names a shadow block outside its transaction");
    }
    source = ShadowFiler();
  }
  if (entry.flags & kEntryCompressed) {
    uint8_t packed[kPageSize];
    const int32_t stored = entry.StoredSize();
    source->ReadData(packed, stored, entry.position);
    const int32_t packed_length = LoadU16(packed);
    if (packed_length > stored || LoadU16(packed + 2) != kPageSize ||
        Unpack(packed, static_cast<size_t>(stored), buffer, kPageSize) != kUnpackOk) {
      throw EQdfException(Format("Expand Error reading Page: %llx",
                                 static_cast<unsigned long long>(entry.position)));
    }
  } else {
    source->ReadData(buffer, kPageSize, entry.position);
  }
  CheckPage(page, place, buffer);
}

void TQdfIndirectPageReader::FreeOldBlock(const TPageEntry& entry) {
  if (shadow_) return;
  const TItemAdr& chain =
      entry.transaction == TransactionNumber() ? filer_->current_root : filer_->pending_root;
  filer_->FreeData(chain, entry.StoredSize(), entry.transaction, entry.position);
}

void TQdfIndirectPageReader::WritePage(uint32_t page, uint8_t* buffer) {
  RequireWritable("Page write");
  QDF_ASSERT(LoadU16(buffer + kPgSize) == kPageSize, "QdfFile");
  const uint32_t tan = TransactionNumber();
  StoreU32(buffer + kPgTransaction, tan);
  const TEntryPlace place = LocateEntry(page);
  const TPageEntry entry = ReadEntry(page, place);

  uint8_t packed[kPageSize];
  const uint8_t* data = buffer;
  int32_t stored = kPageSize;
  uint32_t flags = entry.flags & ~kEntryCompressed;
  bool compress = Compressible(place, buffer);
  if (compress && evicting_ && !shadow_ && filer_->IsLocal()) {
    compress = false;  // stored compressed by the flush before the commit
    plain_evicted_.push_back(page);
  }
  if (compress) {
    int32_t packed_size = 0;
    const uint8_t* form = PackedForm(page, buffer, packed, &packed_size);
    if (packed_size != 0) {
      stored = packed_size;
      data = form;
      flags |= kEntryCompressed;
    }
  }

  // In shadow mode the block lies in the shadow file. A copy written by
  // this transaction is a shadow block already (its number is above any the
  // server hands out); an older one is the server's and stays untouched.
  TQdfFiler* target = filer_;
  if (shadow_) {
    target = ShadowFiler();
    flags |= kEntryShadow;
  }
  TPageEntry next = entry;
  if (entry.position != 0 && entry.transaction >= tan && entry.StoredSize() == stored &&
      (entry.flags & kEntryShadow) == (flags & kEntryShadow)) {
    next.flags = flags;  // same place: the flag must match the form written
  } else {
    if (entry.position != 0) FreeOldBlock(entry);
    next.position =
        shadow_ ? AllocateShadowBlock(stored, entry.transaction) : filer_->AllocateData(stored);
    next.flags = flags;
    next.units = static_cast<uint32_t>(stored / kUnitSize);
    next.transaction = tan;
  }
  if (!(next == entry)) StoreEntry(place, next);
  if (next.position == 0) throw EQdfDataNotAllocated(page);
  target->WriteData(data, stored, next.position);
}

bool TQdfIndirectPageReader::Compressible(const TEntryPlace& place, const uint8_t* buffer) const {
  return compression_enabled_ && place.root_index < 0 &&
         !(LoadU16(buffer + kPgFlags) & kPageNeverCompress);
}

void TQdfIndirectPageReader::PrepareImage(uint8_t* buffer) {
  StoreU32(buffer + kPgTransaction, TransactionNumber());
  if (int offset = LoadU16(buffer + kPgAreaOffset); offset != 0) {
    TItemArea(buffer + offset).Compact();
  }
}

const uint8_t* TQdfIndirectPageReader::PackedForm(uint32_t page, uint8_t* buffer, uint8_t* packed,
                                                  int32_t* stored) {
  const uint8_t* form = nullptr;
  if (batch_ && !evicting_) {
    if (batch_->Find(page, buffer, &form, stored)) return form;
    // Not batched yet (a page changed after its batch was packed is packed
    // here, not batched again).
    const auto at = pack_index_.find(page);
    if (at != pack_index_.end() && at->second >= pack_next_) {
      PackAhead(at->second);
      if (batch_->Find(page, buffer, &form, stored)) return form;
    }
  }
  PrepareImage(buffer);
  *stored = PackPageImage(buffer, packed);
  return packed;
}

void TQdfIndirectPageReader::PackAhead(size_t from) {
  batch_->Clear();
  size_t i = from;
  for (; i < pack_queue_.size() && !batch_->Full(); ++i) {
    TQdfCacheBlock* block = CachedPage(pack_queue_[i]);
    if (block == nullptr || !block->dirty) continue;  // evicted or written since
    uint8_t* buffer = block->buffer.get();
    PrepareImage(buffer);
    std::memcpy(batch_->Add(pack_queue_[i]), buffer, kPageSize);
  }
  pack_next_ = i;
  batch_->PackAll();
}

void TQdfIndirectPageReader::FreePage(uint32_t page) {
  TDbgLock g(Lock());
  RequireWritable("Page free");
  const TEntryPlace place = LocateEntry(page);
  const TPageEntry entry = ReadEntry(page, place);
  if (entry.position != 0 && entry.units != 0) FreeOldBlock(entry);
  TPageEntry cleared;
  cleared.transaction = TransactionNumber();
  StoreEntry(place, cleared);
  TQdfPageReader::FreePage(page);
}

uint8_t* TQdfIndirectPageReader::AllocatePage(uint32_t& page) {
  TDbgLock g(Lock());
  RequireWritable("Page allocation");
  QDF_ASSERT(LoadU32(&root_[kRootNextPage]) != 0, "QdfFile");
  const uint64_t n = SkipReservedPages(LoadU32(&root_[kRootNextPage]));
  if (n >= kTopPage) {
    throw EQdfException(Format("File of %s is full: no page numbers left", filer_->Name().c_str()));
  }
  StoreU32(&root_[kRootNextPage], static_cast<uint32_t>(n + 1));
  uint8_t* buffer = GetPage(static_cast<uint32_t>(n), kGpUpdate);
  if (buffer == nullptr) throw EQdfException("Allocation error", kHelpNoCachePage);
  std::memset(buffer, 0, kPageSize);
  StoreU16(buffer + kPgSize, kPageSize);
  page = static_cast<uint32_t>(n);
  return buffer;
}

void TQdfIndirectPageReader::Flush(int flags) {
  TDbgLock g(Lock());
  const bool writing = (flags & (kFlushWriteUnpin | kFlushWrite | kFlushWriteDrop)) != 0;
  const bool pack_ahead = writing && in_write_ && !shadow_ && filer_->IsLocal();
  // The batch and the queue live only for this flush (the batch holds 64
  // pages' room).
  struct TPackAheadScope {
    TQdfIndirectPageReader& r;
    ~TPackAheadScope() {
      r.batch_.reset();
      r.pack_ahead_ = false;
      r.pack_queue_.clear();
      r.pack_index_.clear();
      r.pack_next_ = 0;
    }
  } scope{*this};
  pack_ahead_ = pack_ahead;
  if (writing) RecompressEvicted();
  filer_->PrepareFlush(flags);
  if (pack_ahead && compression_enabled_) {
    // In the order the flush visits them (the same walk of the page map).
    VisitDirty([this](TQdfCacheBlock* b) {
      if (!Compressible(LocateEntry(b->page), b->buffer.get())) return;
      pack_index_.emplace(b->page, pack_queue_.size());
      pack_queue_.push_back(b->page);
    });
    if (pack_queue_.size() < kPackAheadMin) {
      pack_queue_.clear();
      pack_index_.clear();
    } else if (!batch_) {
      batch_ = std::make_unique<TPackBatch>();
    }
  }
  TQdfPageReader::Flush(flags);
  if (writing) SettleOwnFreeSpace(flags);
}

void TQdfIndirectPageReader::SettleOwnFreeSpace(int flags) {
  if (!in_write_ || shadow_ || !filer_->IsLocal()) return;
  auto* local = static_cast<TQdfLocalFiler*>(filer_);
  if (local->WriteOwner() != this) return;
  // Recording the space dirties free-list pages; writing those rewrites
  // pages this transaction already wrote in place, so a second round rarely
  // finds anything. Space still left after the rounds stays unrecorded
  // (lost to the file, never handed out twice).
  for (int round = 0; round < 4 && local->HasOwnFreeSpace(); ++round) {
    {
      TReaderUse use(this);  // no trim may write pages while lists change
      const int64_t inside = local->OwnFreeUnitsInside();
      if (round == 0 && inside > 0 &&
          inside >= std::min<int64_t>(kMoveDownUnits, local->AllocationEnd() / 8)) {
        MoveOwnCopiesDown(*local);
      }
      local->SettleOwnFreeSpace();
    }
    filer_->PrepareFlush(flags);
    TQdfPageReader::Flush(flags);
  }
}

void TQdfIndirectPageReader::MoveOwnCopiesDown(TQdfLocalFiler& local) {
  // The flush writes pages in page order, so a copy may land near the end
  // of the file while space below it is free again; that copy would keep
  // the file from shrinking. Only copies this transaction wrote move: the
  // committed state never names their blocks, so a move is a raw copy of
  // the stored bytes and a changed page-table entry.
  const uint32_t tan = TransactionNumber();
  const uint32_t next_page = LoadU32(&root_[kRootNextPage]);
  std::vector<std::pair<int64_t, uint32_t>> copies;  // (position, page)
  auto consider = [&](uint32_t page) {
    const TPageEntry e = ReadEntry(page, LocateEntry(page));
    if (e.position != 0 && e.transaction == tan) copies.emplace_back(e.position, page);
  };
  // Page-table blocks too: one left high would pin the end of the file.
  for (uint32_t page = 0; page < next_page; ++page) consider(page);
  for (uint32_t page : {kTopPage, kTopPage + 1, kTopPage + 2}) consider(page);
  std::sort(copies.rbegin(), copies.rend());
  std::vector<uint8_t> block(kPageSize);
  for (const auto& [position, page] : copies) {
    const TEntryPlace place = LocateEntry(page);
    TPageEntry e = ReadEntry(page, place);
    if (e.position != position || e.transaction != tan) continue;
    int64_t target = 0;
    if (!local.TakeOwnSpaceBelow(e.units, e.position, &target)) continue;
    const int32_t size = e.StoredSize();
    local.ReadData(block.data(), size, e.position);
    local.WriteData(block.data(), size, target);
    e.position = target;
    StoreEntry(place, e);
    local.FreeData(local.current_root, size, tan, position);  // own space again
  }
}

void TQdfIndirectPageReader::RecompressEvicted() {
  if (plain_evicted_.empty() || !in_write_) return;
  const uint32_t tan = TransactionNumber();
  std::vector<uint8_t> page_buffer(kPageSize);
  TReaderUse use(this);  // no trim while entries are rewritten
  // Rewriting changes page-table blocks and the free list, which may trim
  // the cache and evict more pages: repeat until no plain page is left.
  while (!plain_evicted_.empty()) {
    std::vector<uint32_t> pages;
    pages.swap(plain_evicted_);
    std::sort(pages.begin(), pages.end());
    pages.erase(std::unique(pages.begin(), pages.end()), pages.end());
    // In the order of their blocks in the file: each compressed copy then
    // lands at or before the plain block it replaces (the allocation fills
    // the transaction's freed space from the front), and the space left
    // over gathers at the end of the file, which the commit gives back.
    std::vector<std::pair<int64_t, uint32_t>> by_position;
    by_position.reserve(pages.size());
    for (uint32_t page : pages) {
      if (IsCachedDirty(page)) continue;
      const TPageEntry entry = ReadEntry(page, LocateEntry(page));
      // Freed since, or written again (compressed) by a flush.
      if (entry.position == 0 || entry.transaction != tan || (entry.flags & kEntryCompressed)) {
        continue;
      }
      by_position.emplace_back(entry.position, page);
    }
    std::sort(by_position.begin(), by_position.end());
    if (pack_ahead_ && !batch_ && by_position.size() >= kPackAheadMin) {
      batch_ = std::make_unique<TPackBatch>();
    }
    // In batches: read, pack on the worker pool, write. A page still plain
    // and unchanged when its turn comes is written from its packed image.
    // An eviction meanwhile (which writes a page plain, maybe in the same
    // place) makes the batch's images suspect: the rest is read again.
    auto still_plain = [&](uint32_t page, int64_t position) {
      if (IsCachedDirty(page)) return false;
      const TPageEntry entry = ReadEntry(page, LocateEntry(page));
      return entry.position == position && entry.transaction == tan &&
             !(entry.flags & kEntryCompressed);
    };
    for (size_t from = 0; from < by_position.size();) {
      struct TTaken {
        int64_t position;
        uint32_t page;
        uint8_t* image;  // in the batch; nullptr without one
      };
      std::vector<TTaken> taken;
      const size_t evictions = plain_evicted_.size();
      if (batch_) batch_->Clear();
      while (from < by_position.size() && (!batch_ || !batch_->Full())) {
        const auto [position, page] = by_position[from++];
        if (!still_plain(page, position)) continue;
        uint8_t* image = nullptr;
        if (batch_) {
          image = batch_->Add(page);
          ReadPage(page, image);
          PrepareImage(image);
        }
        taken.push_back({position, page, image});
        if (!batch_) break;  // one at a time
      }
      if (batch_) batch_->PackAll();
      for (const TTaken& t : taken) {
        if (!still_plain(t.page, t.position)) continue;
        if (t.image != nullptr && plain_evicted_.size() == evictions) {
          WritePage(t.page, t.image);
        } else {
          ReadPage(t.page, page_buffer.data());
          WritePage(t.page, page_buffer.data());
        }
      }
    }
    if (batch_) batch_->Clear();
  }
}

void TQdfIndirectPageReader::Invalidate() {
  TDbgLock g(Lock());
  std::vector<uint32_t> pages;
  VisitAll([&pages](TQdfCacheBlock* b) { pages.push_back(b->page); });
  // Table blocks first: the entries below are read again from the file.
  for (uint32_t p : pages) {
    if (IsTablePage(p)) {
      if (TQdfCacheBlock* b = CachedPage(p)) DropBlock(b);
    }
  }
  for (uint32_t p : pages) {
    if (IsTablePage(p)) continue;
    TQdfCacheBlock* b = CachedPage(p);
    if (b == nullptr) continue;
    bool keep = false;
    try {
      TPageEntry e = ReadEntry(p, LocateEntry(p));
      keep =
          e.transaction == LoadU32(b->buffer.get() + kPgTransaction) && !(e.flags & kEntryShadow);
    } catch (const EQdfException&) {
      keep = false;
    }
    b = CachedPage(p);  // reading entries may have trimmed
    if (!keep && b != nullptr) DropBlock(b);
  }
}

// ---- the default shadow store ----

namespace {
std::atomic<TQdfShadowStore*> g_default_shadow_store{nullptr};
}  // namespace

void SetDefaultShadowStore(TQdfShadowStore* store) { g_default_shadow_store.store(store); }
TQdfShadowStore* DefaultShadowStore() { return g_default_shadow_store.load(); }

}  // namespace qdf
