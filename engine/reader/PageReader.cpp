#include "reader/PageReader.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "base/QdfException.h"
#include "platform/Trace.h"
#include "reader/CachePool.h"

namespace qdf {
namespace {

std::string ReaderLockName(const void* self) {
  return Format("Reader %08X", static_cast<unsigned>(reinterpret_cast<uintptr_t>(self)));
}

// Keeps the reader busy (no trimming) for a scope, also when it is left by an
// exception.
class TBusyScope {
 public:
  explicit TBusyScope(int& busy) : busy_(busy) { ++busy_; }
  ~TBusyScope() {
    if (busy_ > 0) --busy_;
  }
  TBusyScope(const TBusyScope&) = delete;
  TBusyScope& operator=(const TBusyScope&) = delete;

 private:
  int& busy_;
};

}  // namespace

TQdfPageReader::TQdfPageReader() : pool_(TCachePool::Instance()), lock_(ReaderLockName(this)) {
  pool_.RegisterReader(this);
  read_ahead_ = std::make_unique<TReadAheadThread>(this);
}

TQdfPageReader::~TQdfPageReader() {
  pool_.UnregisterReader(this);
  read_ahead_->WaitIdle();
  try {
    TQdfPageReader::Flush(kFlushDrop);
  } catch (const std::exception& e) {
    Trace(std::string("Error dropping the pages of a reader: ") + e.what());
  }
  read_ahead_->Stop();
  read_ahead_.reset();
  for (TIndirectBlock* t : deferred_tables_) TIndirectBlockPool::Instance().ReturnTable(t);
}

// ---- file operations of the pure cache ----

void TQdfPageReader::ReadPage(uint32_t, uint8_t*) {}
void TQdfPageReader::WritePage(uint32_t, uint8_t*) {}
uint8_t* TQdfPageReader::AllocatePage(uint32_t&) { return nullptr; }
uint32_t TQdfPageReader::TransactionNumber() { return 0; }
bool TQdfPageReader::IsEmpty() { return true; }
bool TQdfPageReader::HasFile() { return false; }
void TQdfPageReader::ReadAhead(uint32_t) {}
void TQdfPageReader::Invalidate() { Flush(kFlushDrop); }

void TQdfPageReader::FreePage(uint32_t page) {
  TDbgLock g(lock_);
  if (TQdfCacheBlock* block = CachedPage(page)) DropBlock(block);
}

// ---- the page map ----

TIndirectBlock* TQdfPageReader::FindLeaf(uint32_t page, bool create, int* index) {
  const uint32_t key = page + 4;  // wraps: FFFFFFFC..FFFFFFFF get keys 0..3
  int root;
  if (key < (1u << 8)) {
    root = 0;
  } else if (key < (1u << 16)) {
    root = 1;
  } else if (key < (1u << 24)) {
    root = 2;
  } else {
    root = 3;
  }
  TIndirectBlock* table = roots_[root];
  if (table == nullptr) {
    if (!create) return nullptr;
    table = roots_[root] = TIndirectBlockPool::Instance().TakeTable(nullptr, root);
  }
  for (int level = root; level >= 1; --level) {
    int i = static_cast<int>((key >> (8 * level)) & 0xFF);
    table = create ? table->ChildOrNew(i) : table->ChildAt(i);
    if (table == nullptr) return nullptr;
  }
  *index = static_cast<int>(key & 0xFF);
  return table;
}

TQdfCacheBlock* TQdfPageReader::CachedPage(uint32_t page) const {
  if (page == kNoPage) return nullptr;
  int index = 0;
  TIndirectBlock* leaf = const_cast<TQdfPageReader*>(this)->FindLeaf(page, false, &index);
  return leaf ? leaf->BlockAt(index) : nullptr;
}

int TQdfPageReader::DirtyCount() const {
  int n = 0;
  for (TIndirectBlock* r : roots_) {
    if (r) n += r->DirtyCount();
  }
  return n;
}

bool TQdfPageReader::IsMapEmpty() const {
  return std::all_of(std::begin(roots_), std::end(roots_),
                     [](TIndirectBlock* r) { return r == nullptr; });
}

void TQdfPageReader::ReturnTableDeferred(TIndirectBlock* table) {
  if (walking_ > 0) {
    deferred_tables_.push_back(table);
  } else {
    TIndirectBlockPool::Instance().ReturnTable(table);
  }
}

void TQdfPageReader::MarkDirty(TQdfCacheBlock* block) {
  if (block->dirty) return;
  QDF_ASSERT(block->leaf != nullptr, "QdfReader");
  block->dirty = true;
  block->leaf->MarkDirty();
}

void TQdfPageReader::MarkClean(TQdfCacheBlock* block) {
  if (!block->dirty) return;
  QDF_ASSERT(block->leaf != nullptr, "QdfReader");
  block->dirty = false;
  block->leaf->MarkClean();
}

void TQdfPageReader::DropBlock(TQdfCacheBlock* block) {
  MarkClean(block);  // changes are lost
  TIndirectBlock* table = block->leaf;
  QDF_ASSERT(table != nullptr && table->BlockAt(block->leaf_index) == block, "QdfReader");
  bool empty = table->ClearEntry(block->leaf_index);
  while (empty) {
    TIndirectBlock* parent = table->Parent();
    if (parent == nullptr) {
      for (TIndirectBlock*& r : roots_) {
        if (r == table) r = nullptr;
      }
      ReturnTableDeferred(table);
      break;
    }
    int index = table->IndexInParent();
    ReturnTableDeferred(table);
    empty = parent->ClearEntry(index);
    table = parent;
  }
  block->leaf = nullptr;
  if (block->flags & kBlockFrozen) --frozen_;
  Unlink(block);
  --held_;
  pool_.ReturnBlock(block);
}

// ---- recency list ----

void TQdfPageReader::Unlink(TQdfCacheBlock* block) {
  if (block->older) {
    block->older->newer = block->newer;
  } else if (oldest_ == block) {
    oldest_ = block->newer;
  }
  if (block->newer) {
    block->newer->older = block->older;
  } else if (newest_ == block) {
    newest_ = block->older;
  }
  block->newer = block->older = nullptr;
}

void TQdfPageReader::LinkNewest(TQdfCacheBlock* block) {
  block->flags &= static_cast<uint8_t>(~kBlockUnlinked);
  block->older = newest_;
  block->newer = nullptr;
  if (newest_) {
    newest_->newer = block;
  } else {
    oldest_ = block;
  }
  newest_ = block;
}

void TQdfPageReader::LinkOldest(TQdfCacheBlock* block) {
  block->flags &= static_cast<uint8_t>(~kBlockUnlinked);
  block->newer = oldest_;
  block->older = nullptr;
  if (oldest_) {
    oldest_->older = block;
  } else {
    newest_ = block;
  }
  oldest_ = block;
}

void TQdfPageReader::RecomputeOverBudget() {
  TDbgLock p(pool_.lock_);
  over_budget_ = (pool_.in_use_ - frozen_) > (pool_.capacity_ + slack_);
}

// ---- GetPage ----

uint8_t* TQdfPageReader::GetPage(uint32_t page, int flags) {
  if (page == kNoPage) return nullptr;
  TDbgLock g(lock_);
  if ((flags & kGpUpdate) && read_only_) {
    throw EQdfException("Updaterequest in ReadOnly Mode", kHelpReadOnlyReader);
  }
  if (flags & kGpScan) DemoteScanMiss(page);
  if (over_budget_ && busy_ == 0) TrimRequest(0);
  TBusyScope busy(busy_);

  int index = 0;
  TIndirectBlock* leaf = FindLeaf(page, (flags & kGpLookup) == 0, &index);
  TQdfCacheBlock* block = leaf ? leaf->BlockAt(index) : nullptr;

  // Another thread is still reading this page: wait until it is filled (or
  // dropped after a failed read). Every level of the lock is given up while
  // waiting: inside a use bracket this thread holds it twice, and the loader
  // needs it to finish.
  while (block != nullptr && block->loading && block->loader != std::this_thread::get_id()) {
    const int depth = lock_.LeaveAll();
    std::this_thread::yield();
    lock_.EnterAgain(depth);
    leaf = FindLeaf(page, (flags & kGpLookup) == 0, &index);
    block = leaf ? leaf->BlockAt(index) : nullptr;
  }

  if (block == nullptr) {
    if (flags & kGpLookup) return nullptr;
    block = pool_.TakeBlock(this);
    ++held_;
    LinkNewest(block);
    RecomputeOverBudget();
    block->page = page;
    block->leaf = leaf;
    block->leaf_index = index;
    leaf->SetBlock(index, block);
    if (flags & kGpRead) {
      // Read with the lock left, the block pinned so that no trim recycles its
      // buffer meanwhile.
      block->loading = true;
      block->loader = std::this_thread::get_id();
      ++block->pin_count;
      lock_.Leave();
      try {
        ReadPage(page, block->buffer.get());
      } catch (...) {
        lock_.Enter();
        block->loading = false;
        --block->pin_count;
        DropBlock(block);  // no other page's bytes stay cached under this number
        throw;
      }
      lock_.Enter();
      block->loading = false;
      --block->pin_count;
      if ((flags & kGpScan) && ++scan_misses_ % kScanKeepEvery != 0) {
        scan_miss_ = block;
        scan_miss_page_ = page;
      }
    } else {
      std::memset(block->buffer.get(), 0, kPageSize);
    }
  } else if ((flags & kGpLookup) == 0) {
    Unlink(block);
    LinkNewest(block);
  }

  if (flags == kGpLookup) {
    MarkClean(block);
    block->pin_count = 0;
  } else {
    if (flags & kGpUpdate) {
      MarkDirty(block);
      if (flags & kGpRead) modified_ = true;
    }
    if (flags & kGpPin) {
      ++block->pin_count;
    } else if ((flags & kGpUnpin) && block->pin_count > 0) {
      --block->pin_count;
    }
  }
  if (flags & kGpLookup) {
    Unlink(block);
    LinkOldest(block);
  }
  return block->buffer.get();
}

void TQdfPageReader::DemoteScanMiss(uint32_t next_page) {
  TQdfCacheBlock* b = scan_miss_;
  scan_miss_ = nullptr;
  if (b == nullptr || b->owner != this || b->page != scan_miss_page_ || b->page == next_page ||
      b->flags != 0 || b->pin_count != 0 || b->loading) {
    return;
  }
  Unlink(b);
  LinkOldest(b);
}

void TQdfPageReader::ReleaseEdited(const uint8_t* buffer, uint32_t page) {
  uint8_t* got = GetPage(page, kGpLookup | kGpUnpin | kGpUpdate);
  if (got != buffer) {
    throw EQdfException("Access to Released Cache-Page", kHelpReleasedPage);
  }
}

// ---- use brackets, trimming, freezing ----

void TQdfPageReader::BeginUse() {
  lock_.Enter();
  try {
    if (busy_ == 0 && over_budget_) TrimRequest(0);
  } catch (...) {
    lock_.Leave();
    throw;
  }
  ++busy_;
}

void TQdfPageReader::EndUse() {
  if (busy_ > 0) --busy_;
  lock_.Leave();
}

void TQdfPageReader::Trim() {
  TDbgLock g(lock_);
  if (busy_ == 0) TrimRequest(0);
}

void TQdfPageReader::TrimRequest(int request) {
  if (busy_ != 0) return;
  TBusyScope busy(busy_);
  over_budget_ = false;
  int64_t r = request;
  if (r == 0) {
    TDbgLock p(pool_.lock_);
    const int64_t u = pool_.in_use_, cap = pool_.capacity_, h = held_;
    r = (cap + 3 * (h - (frozen_ + 40))) / 40;
    if (u > cap) r += ((u - cap) * h) / u;
    if (u >= 1) {
      r += (h * (pool_.credit_ - credit_)) / u;
      pool_.credit_ = static_cast<int>(std::max<int64_t>(0, pool_.credit_ - r));
      credit_ = static_cast<int>(std::max<int64_t>(0, credit_ - r));
    }
  }
  int64_t n = std::min<int64_t>(r, held_ - 40 - frozen_);
  if (n > 0) {
    // Collect first, then evict: writing a page may fetch others and reorder
    // the recency list.
    struct TVictim {
      TQdfCacheBlock* block;
      uint32_t page;
    };
    std::vector<TVictim> victims;
    victims.reserve(static_cast<size_t>(n));
    for (TQdfCacheBlock* b = oldest_; b != nullptr && static_cast<int64_t>(victims.size()) < n;
         b = b->newer) {
      if (b->flags == 0 && b->pin_count == 0) victims.push_back({b, b->page});
    }
    n = static_cast<int64_t>(victims.size());
    for (const TVictim& v : victims) {
      TQdfCacheBlock* b = v.block;
      if (b->owner != this || b->page != v.page || b->flags != 0 || b->pin_count != 0) continue;
      if (b->dirty) {
        MarkClean(b);
        evicting_ = true;
        try {
          WritePage(b->page, b->buffer.get());
        } catch (...) {
          evicting_ = false;
          MarkDirty(b);
          write_failed_ = true;
          throw;
        }
        evicting_ = false;
      }
      if (!b->dirty) DropBlock(b);
    }
  }
  if (n < r && slack_ < 80) {
    slack_ += 40;
  } else if (n >= r) {
    slack_ = 0;
  }
  {
    TDbgLock p(pool_.lock_);
    pool_.capacity_ = pool_.configured_;
    int d = (pool_.in_use_ - held_) / 50;
    credit_ = std::min(credit_ + d, pool_.capacity_);
    pool_.credit_ = std::min(pool_.credit_ + d, pool_.capacity_);
  }
  RecomputeOverBudget();
}

bool TQdfPageReader::IsCachedDirty(uint32_t page) {
  TDbgLock g(lock_);
  int index = 0;
  TIndirectBlock* leaf = FindLeaf(page, false, &index);
  TQdfCacheBlock* block = leaf ? leaf->BlockAt(index) : nullptr;
  return block != nullptr && block->dirty;
}

void TQdfPageReader::Freeze() {
  TDbgLock g(lock_);
  if (frozen_ != 0) throw EQdfException("Freeze cannot be called more than once");
  for (TQdfCacheBlock* b = oldest_; b; b = b->newer) {
    if (b->flags == 0) {
      b->flags |= kBlockFrozen;
      ++frozen_;
    }
  }
  saved_busy_ = busy_;
  busy_ = 0;
}

void TQdfPageReader::UnFreeze() {
  TDbgLock g(lock_);
  for (TQdfCacheBlock* b = oldest_; b; b = b->newer) {
    if (b->flags & kBlockFrozen) {
      b->flags &= static_cast<uint8_t>(~kBlockFrozen);
      --frozen_;
    }
  }
  busy_ = saved_busy_;
  if (frozen_ != 0) throw EQdfException("UnFreeze does not match Freeze");
}

// ---- flushing ----

void TQdfPageReader::Visit(TIndirectBlock* table, int depth, bool dirty_only,
                           const std::function<void(TQdfCacheBlock*)>& fn) {
  for (int i = 255; i >= 0; --i) {
    if (table->Count() == 0) break;
    if (dirty_only && table->DirtyCount() == 0) break;
    if (depth > 1) {
      TIndirectBlock* child = table->ChildAt(i);
      if (child == nullptr || (dirty_only && child->DirtyCount() == 0)) continue;
      Visit(child, depth - 1, dirty_only, fn);
    } else {
      TQdfCacheBlock* block = table->BlockAt(i);
      if (block == nullptr || (dirty_only && !block->dirty)) continue;
      fn(block);
    }
  }
}

namespace {
// Counts a map walk in progress and hands back the tables it emptied when the
// outermost walk ends.
class TWalkScope {
 public:
  TWalkScope(int& walking, std::vector<TIndirectBlock*>& deferred)
      : walking_(walking), deferred_(deferred) {
    ++walking_;
  }
  ~TWalkScope() {
    if (--walking_ == 0) {
      for (TIndirectBlock* t : deferred_) TIndirectBlockPool::Instance().ReturnTable(t);
      deferred_.clear();
    }
  }
  TWalkScope(const TWalkScope&) = delete;
  TWalkScope& operator=(const TWalkScope&) = delete;

 private:
  int& walking_;
  std::vector<TIndirectBlock*>& deferred_;
};
}  // namespace

void TQdfPageReader::VisitAll(const std::function<void(TQdfCacheBlock*)>& fn) {
  TWalkScope walk(walking_, deferred_tables_);
  for (int root = 3; root >= 0; --root) {
    if (roots_[root]) Visit(roots_[root], root + 1, false, fn);
  }
}

void TQdfPageReader::VisitDirty(const std::function<void(TQdfCacheBlock*)>& fn) {
  TWalkScope walk(walking_, deferred_tables_);
  for (int root = 3; root >= 0; --root) {
    if (roots_[root] && roots_[root]->DirtyCount() > 0) Visit(roots_[root], root + 1, true, fn);
  }
}

void TQdfPageReader::FlushBlock(TQdfCacheBlock* block, int flags) {
  const bool write = (flags & (kFlushWriteUnpin | kFlushWrite | kFlushWriteDrop)) != 0;
  const bool drop = (flags & (kFlushDrop | kFlushWriteDrop)) != 0;
  if (block->dirty) {
    if (!write) {
      if (drop) DropBlock(block);
      return;
    }
    MarkClean(block);
    if (flags & kFlushWriteUnpin) block->pin_count = 0;
    try {
      WritePage(block->page, block->buffer.get());
    } catch (...) {
      // The page is not where the page table says: keep it dirty and let the
      // transaction only roll back.
      if (block->owner == this && block->leaf != nullptr) MarkDirty(block);
      write_failed_ = true;
      throw;
    }
  }
  // The page may have been dirtied again while it was written.
  if (drop && !block->dirty) DropBlock(block);
}

void TQdfPageReader::Flush(int flags) {
  TDbgLock g(lock_);
  TBusyScope busy(busy_);
  struct TCompressionReset {
    bool& enabled;
    ~TCompressionReset() { enabled = true; }
  } reset{compression_enabled_};
  auto rule = [this, flags](TQdfCacheBlock* block) { FlushBlock(block, flags); };
  if (flags & (kFlushWriteUnpin | kFlushWrite | kFlushWriteDrop)) {
    while (DirtyCount() >= 1) {
      VisitDirty(rule);
      compression_enabled_ = false;  // later passes store pages plain
    }
  }
  if (flags & kFlushDrop) {
    BumpPageChainEpoch();
    while (!IsMapEmpty()) {
      VisitAll(rule);
      compression_enabled_ = false;
    }
  }
}

}  // namespace qdf
