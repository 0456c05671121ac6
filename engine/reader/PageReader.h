// TQdfPageReader: one transaction's cached view of one database.
//
// Every page access of the engine goes through GetPage. The reader keeps the
// pages it touched in cache blocks from the shared TCachePool, found through
// its page map (four radix roots), knows which are dirty, writes them back on
// Flush and evicts the least recently used ones when the pool is over budget.
// The base class is a pure cache: its file operations do nothing;
// TQdfIndirectPageReader maps pages to a database file.
//
// Threads: every operation runs under the reader's re-entrant lock; the pool
// lock is taken inside it, never the other way round.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/DbgCriticalSection.h"
#include "reader/CacheBlock.h"
#include "reader/IndirectBlock.h"
#include "reader/ReadAheadThread.h"

namespace qdf {

class TCachePool;

// GetPage flag bits (combinable).
inline constexpr int kGpLookup = 1;   // do not create; move to the oldest end
inline constexpr int kGpRead = 2;     // a created page is read from the file
inline constexpr int kGpPin = 8;      // pin count + 1
inline constexpr int kGpUnpin = 16;   // pin count - 1 (ignored with kGpPin)
inline constexpr int kGpUpdate = 32;  // mark dirty (raises on a read-only reader)
// Read by a sequential scan. Once the scan moves on, a page it missed goes
// to the oldest end (all but one in kScanKeepEvery): a scan of a table larger
// than the cache then evicts its own recent pages rather than every other
// page, and the part of the table that is cached stays for the next scan.
inline constexpr int kGpScan = 64;

// Process-wide counter that changes whenever a page chain may have changed
// under any reader: a page linked into or out of a list, or a reader that
// dropped its pages or moved to another snapshot (open, start, rollback).
// Lists that keep their page numbers between walks compare it.
inline std::atomic<uint32_t> g_page_chain_epoch{1};
inline uint32_t PageChainEpoch() { return g_page_chain_epoch.load(std::memory_order_acquire); }
inline void BumpPageChainEpoch() { g_page_chain_epoch.fetch_add(1, std::memory_order_acq_rel); }

// Flush flag bits.
inline constexpr int kFlushDrop = 1;        // drop every page (dirty ones written only with 4/32)
inline constexpr int kFlushWriteUnpin = 4;  // write dirty pages and unpin them
inline constexpr int kFlushWrite = 32;      // write dirty pages
inline constexpr int kFlushWriteDrop = 64;  // write dirty pages and drop them

class TQdfPageReader {
 public:
  TQdfPageReader();
  // Unregisters, waits for the read-ahead thread, drops every page (unflushed
  // changes are lost: owners flush first) and stops the thread.
  virtual ~TQdfPageReader();
  TQdfPageReader(const TQdfPageReader&) = delete;
  TQdfPageReader& operator=(const TQdfPageReader&) = delete;

  // ---- file operations (nothing in the base class) ----
  virtual void ReadPage(uint32_t page, uint8_t* buffer);
  virtual void WritePage(uint32_t page, uint8_t* buffer);
  // Hands out a new page number and returns its zero-filled, dirty buffer.
  virtual uint8_t* AllocatePage(uint32_t& page);
  virtual uint32_t TransactionNumber();
  virtual bool IsEmpty();
  virtual bool HasFile();
  virtual void Flush(int flags);
  // Drops the page from the cache.
  virtual void FreePage(uint32_t page);
  virtual void ReadAhead(uint32_t page);
  // Drops every cached page.
  virtual void Invalidate();

  // The cache access. Returns the page's buffer, or nullptr for page
  // FFFFFFFF and for an uncached page looked up with kGpLookup. See the flag
  // constants; exactly kGpLookup also marks a cached page clean and unpinned.
  // Raises "Updaterequest in ReadOnly Mode" (258) for kGpUpdate on a
  // read-only reader; errors of ReadPage leave no block behind.
  uint8_t* GetPage(uint32_t page, int flags);

  // Wrappers used by the object layer.
  uint8_t* PinPage(uint32_t page) { return GetPage(page, kGpRead | kGpPin); }
  void UnpinPage(uint32_t page) { GetPage(page, kGpUnpin); }
  uint8_t* EditPage(uint32_t page) { return GetPage(page, kGpRead | kGpUpdate); }
  // Look up, unpin, mark dirty, move to the oldest end. Raises "Access to
  // Released Cache-Page" (259) when the page's buffer is no longer `buffer`.
  void ReleaseEdited(const uint8_t* buffer, uint32_t page);

  // Brackets a multi-page operation: enters the lock (trimming first when over
  // budget and idle) and keeps it; pointers into pages stay valid until EndUse.
  void BeginUse();
  void EndUse();
  // Trims when not busy, with the automatic count.
  void Trim();
  // Protects every cached block from eviction until UnFreeze.
  void Freeze();
  void UnFreeze();

  // Plain lookup, no side effects.
  TQdfCacheBlock* CachedPage(uint32_t page) const;
  int DirtyCount() const;
  bool IsMapEmpty() const;

  bool Modified() const { return modified_; }
  void SetModified(bool value) { modified_ = value; }
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool value) { read_only_ = value; }
  bool Shadow() const { return shadow_; }
  bool CompressionEnabled() const { return compression_enabled_; }
  // True while the cache trim writes a dirty page it evicts (not a flush).
  bool Evicting() const { return evicting_; }
  // True when the page is in the cache with unwritten changes.
  bool IsCachedDirty(uint32_t page);

  // True after a failed page write: the transaction's pages are no longer
  // what the cache says was written, so it may only be rolled back.
  bool WriteFailed() const { return write_failed_; }
  void ClearWriteFailed() { write_failed_ = false; }

  // Statistics, for tests and tuning.
  int HeldCount() const { return held_; }
  int FrozenCount() const { return frozen_; }
  int Slack() const { return slack_; }
  bool OverBudget() const { return over_budget_; }
  int BusyCount() const { return busy_; }

  // Root i (0: keys below 2^8 ... 3: all others) of the page map, or nullptr.
  const TIndirectBlock* RootTable(int i) const { return roots_[i]; }

  TDbgCriticalSection& Lock() { return lock_; }
  TReadAheadThread& ReadAheadWorker() { return *read_ahead_; }

 protected:
  // Trims with an explicit request (0 = compute the share from the pool).
  void TrimRequest(int request);
  // Removes the page's block from the map and gives it back (changes lost).
  void DropBlock(TQdfCacheBlock* block);
  // Visits every cached block (or every dirty block) in flush order: root for
  // 32-bit keys first, then 24, 16, 8; within a table from entry 255 down.
  void VisitAll(const std::function<void(TQdfCacheBlock*)>& fn);
  void VisitDirty(const std::function<void(TQdfCacheBlock*)>& fn);

  void MarkDirty(TQdfCacheBlock* block);
  void MarkClean(TQdfCacheBlock* block);

  bool read_only_ = false;
  bool shadow_ = false;
  bool modified_ = false;
  bool compression_enabled_ = true;
  bool evicting_ = false;
  bool write_failed_ = false;

 private:
  // Leaf table and index for a page; creates missing tables when `create`.
  TIndirectBlock* FindLeaf(uint32_t page, bool create, int* index);
  void LinkNewest(TQdfCacheBlock* block);
  void LinkOldest(TQdfCacheBlock* block);
  // Moves the page the last scan missed to the oldest end (see kGpScan).
  void DemoteScanMiss(uint32_t next_page);
  void Unlink(TQdfCacheBlock* block);
  void RecomputeOverBudget();
  void FlushBlock(TQdfCacheBlock* block, int flags);
  void Visit(TIndirectBlock* table, int depth, bool dirty_only,
             const std::function<void(TQdfCacheBlock*)>& fn);
  void ReturnTableDeferred(TIndirectBlock* table);

  TCachePool& pool_;
  TDbgCriticalSection lock_;
  std::unique_ptr<TReadAheadThread> read_ahead_;
  TIndirectBlock* roots_[4] = {nullptr, nullptr, nullptr, nullptr};
  TQdfCacheBlock* oldest_ = nullptr;
  TQdfCacheBlock* newest_ = nullptr;
  int busy_ = 0;
  // The last page a scan missed, moved to the oldest end at the scan's next
  // page (checked by owner and page number: blocks are never freed, only
  // recycled); scan misses counted for the one in kScanKeepEvery that stays.
  TQdfCacheBlock* scan_miss_ = nullptr;
  uint32_t scan_miss_page_ = kNoPage;
  uint32_t scan_misses_ = 0;
  static constexpr uint32_t kScanKeepEvery = 16;
  bool over_budget_ = false;
  int held_ = 0;    // H
  int slack_ = 0;   // 0, 40, 80 or 120
  int frozen_ = 0;  // F
  int saved_busy_ = 0;
  int credit_ = 0;  // S
  // While a map walk runs, emptied tables wait here instead of going back to
  // the pool, so the walk never follows a table that was reused meanwhile.
  int walking_ = 0;
  std::vector<TIndirectBlock*> deferred_tables_;
};

// Holds a reader's BeginUse ... EndUse bracket for a scope: pointers into its
// pages stay valid while the scope lasts.
class TReaderUse {
 public:
  explicit TReaderUse(TQdfPageReader* reader) : reader_(reader) { reader_->BeginUse(); }
  ~TReaderUse() { reader_->EndUse(); }
  TReaderUse(const TReaderUse&) = delete;
  TReaderUse& operator=(const TReaderUse&) = delete;

 private:
  TQdfPageReader* reader_;
};

}  // namespace qdf
