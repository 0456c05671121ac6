// TQdfIndirectPageReader: the page reader of a database file.
//
// Maps page numbers to stored blocks through the page table (a tree of
// 640-entry table blocks anchored in the header's root record), compresses
// pages on the first flush pass, and writes copy-on-write: a page whose stored
// copy belongs to an earlier transaction gets a new block, so that the last
// committed state stays intact until the header is rewritten at commit.
//
// A reader starts read-only; Open attaches it to its filer with the committed
// root record; StartTransaction begins a write transaction under the next
// transaction number; Commit makes it durable, Rollback returns to the last
// committed state. Writing, freeing or allocating pages outside a running
// write transaction raises (help context 258).
//
// Shadow mode (readers of filers that do not own their file space, i.e.
// remote databases): the write transaction runs under the number FFFFFFFF
// and every page it writes goes to a block of the system's shadow file; the
// page-table entry (in this reader's root copy or its cached table blocks)
// carries flag 40, and reads of such entries go to the shadow file. Each
// shadow block is registered at once in a private chain of the shadow file's
// free list (a root record tagged FFFFFFFF), so no other reader reuses it
// while the transaction runs; commit and rollback hand the chain back, which
// frees all of them together. Nothing of the pages reaches the database's own
// file: at commit the server receives the collected record changes, and the
// reader drops every cached page, since none of them is the server's.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "file/FileFormat.h"
#include "file/PackBatch.h"
#include "file/QdfFiler.h"
#include "reader/PageReader.h"

namespace qdf {

class TQdfLocalFiler;
class TQdfShadowStore;

class TQdfIndirectPageReader : public TQdfPageReader {
 public:
  // Takes one reference on the filer for the reader's lifetime.
  explicit TQdfIndirectPageReader(TQdfFiler* filer);
  ~TQdfIndirectPageReader() override;

  // Sets the read-only flag and attaches to the filer, which fills the root
  // record copy with the committed state.
  void Open(bool read_only);
  // Begins a write transaction (nothing for a read-only reader): the
  // transaction number becomes the committed one + 1 and, on a local file,
  // the reader takes the write ownership ("Only one Write-Transaction allowed").
  // In shadow mode the number is FFFFFFFF and the chain of shadow blocks is
  // made; that raises when the system has no shadow file.
  // Raises "Transaction already running" when one runs.
  void StartTransaction();
  // Makes the transaction durable (header rewritten) and detaches. The caller
  // has flushed the dirty pages. Raises when a page write failed before: such
  // a transaction can only be rolled back. A commit that fails (a page, the
  // header or a sync not written) makes the transaction rollback-only too,
  // since its pages may be lost or its header already on disk. In shadow mode
  // the caller has sent the changes to the server; this closes the server's
  // transaction, and when that fails the transaction becomes rollback-only.
  void Commit(bool keep_write_lock);
  // For commits over several files (file/MultiFileCommit.h): writes the
  // pages still in the cache; raises (and makes the transaction
  // rollback-only) when a write fails or the transaction may only roll back.
  void FlushForCommit();
  // True when the running write transaction changed the local file (its
  // commit would change more than the header's transaction numbers).
  bool ChangesLocalFile() const;
  // The header is written (by a commit over several files): Commit only
  // detaches.
  void MarkHeaderWritten() { header_written_ = true; }
  // Returns to the file's last committed state and detaches; the pages the
  // transaction changed are dropped from the cache.
  void Rollback();

  // The system whose shadow file takes the pages in shadow mode (default:
  // the global one, when it exists).
  void SetShadowStore(TQdfShadowStore* store) { shadow_store_ = store; }
  // After a failure that leaves the server's state unknown (a commit that
  // broke off mid-way): Commit raises, only Rollback is possible. Cleared by
  // Rollback and by the next start.
  void SetRollbackOnly(const std::string& why);
  bool RollbackOnly() const { return !rollback_reason_.empty(); }
  // Raises when the running transaction may only be rolled back (a failed
  // page write, or a commit that broke off).
  void CheckCommittable();
  // The reader's chain of shadow blocks (null outside a shadow transaction).
  const TItemAdr& ShadowChain() const { return shadow_chain_; }

  void ReadPage(uint32_t page, uint8_t* buffer) override;
  void WritePage(uint32_t page, uint8_t* buffer) override;
  uint8_t* AllocatePage(uint32_t& page) override;
  uint32_t TransactionNumber() override;
  bool IsEmpty() override;
  bool HasFile() override;
  void Flush(int flags) override;
  void FreePage(uint32_t page) override;
  void Invalidate() override;

  // The stored transaction number of a page's copy (the "query" request).
  uint32_t StoredTransaction(uint32_t page);
  // The page's page-table entry as this reader sees it.
  TPageEntry EntryOf(uint32_t page);

  // True while pages that the cache trim wrote plain in this transaction
  // still wait to be stored compressed (done by the next writing flush).
  bool PendingRecompression() const { return !plain_evicted_.empty(); }

  TQdfFiler* Filer() const { return filer_; }
  bool InWriteTransaction() const { return in_write_; }
  uint32_t StartNumber() const { return start_number_; }
  uint32_t NextPageNumber() const { return LoadU32(&root_[kRootNextPage]); }
  const TRootRecord& Root() const { return root_; }

 private:
  enum class TOp { kRead, kWrite, kFree, kQuery };
  // Reads the entry of `page` (from the root record copy or its table block,
  // fetched through the cache). Raises for damaged entries.
  TPageEntry ReadEntry(uint32_t page, const TEntryPlace& place);
  // Stores the entry (fetching the table block for update).
  void StoreEntry(const TEntryPlace& place, const TPageEntry& entry);
  void RequireWritable(const char* what);
  void CheckPage(uint32_t page, const TEntryPlace& place, const uint8_t* buffer);
  void FreeOldBlock(const TPageEntry& entry);
  // The shadow file's filer and the reader that holds its free list; raise
  // when the system or its shadow file is not there.
  TQdfLocalFiler* ShadowFiler();
  TQdfIndirectPageReader* ShadowListReader();
  // A new block of `size` bytes in the shadow file, registered in this
  // reader's chain under the transaction number of the copy it replaces.
  int64_t AllocateShadowBlock(int32_t size, uint32_t replaced_transaction);
  // Hands the chain of shadow blocks back to the shadow file (they become
  // free) and forgets it.
  void ReturnShadowChain();
  // The end of a shadow transaction: detached, chain handed back, every
  // cached page dropped, the root copy the filer's committed one.
  void EndShadowTransaction();
  // Stores compressed the pages that evictions wrote plain, unless they are
  // dirty again (the flush compresses those) or were written since.
  void RecompressEvicted();
  // True when WritePage stores the page at `place` compressed (given the
  // page's flags in `buffer`), outside evictions.
  bool Compressible(const TEntryPlace& place, const uint8_t* buffer) const;
  // Sets the transaction number of a page image about to be written and
  // zeroes its unused item space (which would cost room packed).
  void PrepareImage(uint8_t* buffer);
  // Packs ahead, on the worker pool, the next batch of the dirty pages that
  // the flush under way writes, from pack_queue_[from] on.
  void PackAhead(size_t from);
  // The packed form of the page WritePage is storing, from the batch when
  // the batch holds it unchanged, else packed here; stored size 0 = plain.
  const uint8_t* PackedForm(uint32_t page, uint8_t* buffer, uint8_t* packed, int32_t* stored);
  // After a writing flush: hands the space this transaction freed again to
  // the filer's free lists or back to the file, and writes what that changed.
  void SettleOwnFreeSpace(int flags);
  // Moves the copies this transaction wrote into its free space below them,
  // highest first, so that the free space gathers at the end of the file.
  void MoveOwnCopiesDown(TQdfLocalFiler& local);

  TQdfFilerRef filer_ref_;  // the reader's reference to its filer
  TQdfFiler* filer_;        // held by filer_ref_
  TQdfShadowStore* shadow_store_ = nullptr;
  // Root record (in the shadow file's free list) of the blocks this reader
  // wrote in its shadow transaction.
  TItemAdr shadow_chain_ = kNullAdr;
  std::string rollback_reason_;
  TRootRecord root_{};
  uint32_t start_number_ = 0;
  bool attached_ = false;
  bool in_write_ = false;
  bool header_written_ = false;
  // Scratch for packed pages: no allocation per page.
  std::unique_ptr<uint8_t[]> scratch_;
  // Pages a cache trim wrote plain during this transaction. Evicting a dirty
  // page mid-transaction skips the compressor: the page is often dirtied and
  // evicted again many times (index leaves under random inserts), and a plain
  // block reads back without expanding. The writing flush before the commit
  // stores them compressed, so the committed file is as compact as if every
  // eviction had compressed.
  std::vector<uint32_t> plain_evicted_;
  // While a flush writes: the pages packed ahead, and the dirty pages it
  // found to pack, in the order it writes them (pack_index_: page -> place
  // in the queue); pack_queue_[pack_next_] is the first not batched yet.
  bool pack_ahead_ = false;  // this flush may pack ahead
  std::unique_ptr<TPackBatch> batch_;
  std::vector<uint32_t> pack_queue_;
  std::unordered_map<uint32_t, size_t> pack_index_;
  size_t pack_next_ = 0;
};

}  // namespace qdf
