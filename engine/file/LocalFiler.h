// TQdfLocalFiler: a database in a file on this machine.
//
// Owns the file handle (through the database file system, so tests can inject
// faults), the 512-byte header and the file's space: AllocateData hands out
// whole 512-byte units, from the free lists when a write transaction holds
// them, else from the end of the file.
//
// Commit order: the pages are written, the file is synced, the header is
// written, the file is synced again. The header is the only place ever
// overwritten, so a crash leaves either the old or the new committed state.
// A commit over several files puts a commit record between the two syncs
// (file/MultiFileCommit.h); opening the file first completes or clears what
// such a commit left beside it.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "file/FreeSpaceLists.h"
#include "file/MultiFileCommit.h"
#include "file/OwnFreeSpace.h"
#include "file/QdfFiler.h"
#include "file/ReaderTable.h"
#include "platform/FileSystem.h"

namespace qdf {

class TQdfLocalFiler : public TQdfFiler {
 public:
  // Opens the file, creating it with a fresh header when missing (also for a
  // read-only open). Raises "cannot open file: <name>: <why>", "File: %s is not a
  // dbQuillon-File" or the version message; a failing open leaves no file open.
  // The creator owns the first reference (release it with Release()).
  TQdfLocalFiler(const std::string& file_name, bool read_only, const std::string& alias);
  // Creates an empty database file (its header alone) unless `file_name`
  // exists: false then. The file appears whole, never half written.
  static bool CreateEmpty(const std::string& file_name);

  TRootRecord GetRoot() override;
  // SyncPages, then WriteHeader(NextHeader(root)): the commit of one file.
  void CommitRoot(const TRootRecord& root, bool keep_write_lock) override;

  // The steps of CommitRoot, for commits over several files.
  // The header that committing `root` writes.
  TMultiFileCommit::THeader NextHeader(const TRootRecord& root) const;
  // The root record of the last committed header (the one on disk).
  TRootRecord CommittedRoot() const;
  // False when committing `root` would change nothing but the transaction
  // numbers (the transaction wrote nothing to this file).
  bool CommitChanges(const TRootRecord& root) const;
  // Makes the pages written so far durable (unless SyncCommits is off).
  // Raises when the filer is stopped or a page write failed; a failed sync
  // stops the filer (the pages it was to make durable may be lost).
  void SyncPages();
  // Writes `header` and syncs; afterwards it is the committed state. The
  // write ownership stays. A failure stops the filer.
  void WriteHeader(const TMultiFileCommit::THeader& header);
  // Takes no more writes until the file is opened again (a commit over
  // several files failed past its commit point).
  void Stop() { broken_ = true; }

  void ReloadRoot() override;
  // A read-only filer reads the header afresh for every reader, so that a
  // reader sees the last commit of a writer in another process, and records
  // the state it reads in the reader table (file/ReaderTable.h).
  void AttachReader(TQdfPageReader* reader, TRootRecord& root) override;
  void DetachReader(TQdfPageReader* reader, TRootRecord& root, bool keep_write_lock) override;
  int64_t AllocateData(int32_t size) override;
  void PrepareFlush(int flags) override;
  void FreeData(const TItemAdr& chain, int32_t size, uint32_t transaction,
                int64_t position) override;
  void FreePage(uint32_t page) override;
  void Ping() override;
  bool IsEmpty() override;
  void ReadData(uint8_t* buffer, int32_t size, int64_t position) override;
  void WriteData(const uint8_t* buffer, int32_t size, int64_t position) override;
  bool IsLocal() const override { return true; }

  // Write ownership: at most one write transaction (page reader) per file.
  // Raises "Only one Write-Transaction allowed" when another reader holds it.
  void TakeWriteOwnership(TQdfPageReader* reader);
  void ReleaseWriteOwnership();
  TQdfPageReader* WriteOwner() const { return write_owner_; }

  // Private chains of shadow blocks (the shadow file only). A shadow-mode
  // reader of a remote database registers every block it writes here in a
  // root record of its own, tagged FFFFFFFF and linked to no other root, so
  // the blocks are not reused while its transaction runs; ReturnChain merges
  // that root into the current root, which makes them reusable, and sets
  // `chain` to null. Both raise when no write transaction holds the lists.
  // REQUIRES: the lock of the reader that holds the lists is held.
  TItemAdr NewRoot(uint32_t transaction);
  void ReturnChain(TItemAdr& chain);

  // Space the running write transaction freed again (see TOwnFreeSpace).
  // Settle hands it over before the pages are written for the commit: an
  // extent that reaches the allocation end lowers it (the file gives the
  // units back), every other one is recorded in the current root of the
  // free lists, in blocks of at most 16 units. Recording changes free-list
  // pages, so the caller flushes again while HasOwnFreeSpace() is true.
  // REQUIRES: the lock of the write owner is held and the owner is busy
  // (no cache trim may write pages meanwhile).
  void SettleOwnFreeSpace();
  bool HasOwnFreeSpace() const { return !own_free_.Empty(); }
  // Own free units that do not reach the allocation end (the commit cannot
  // give them back to the file).
  int64_t OwnFreeUnitsInside() const;
  // Takes own free space for a block of `units` units that is moved down
  // from `below` (first fit, only space before it). False when none.
  bool TakeOwnSpaceBelow(uint32_t units, int64_t below, int64_t* position);
  const TOwnFreeSpace& OwnFreeSpace() const { return own_free_; }

  // The free lists while a write transaction holds them (not owned).
  void SetFreeSpaceLists(TFreeSpaceLists* lists) { free_lists_ = lists; }
  TFreeSpaceLists* FreeSpace() const { return free_lists_; }

  // Syncing at commit (on by default); off survives a crash of the process,
  // not a power loss.
  void SetSyncCommits(bool on) { sync_commits_ = on; }
  bool SyncCommits() const { return sync_commits_; }

  const std::string& FileName() const { return file_name_; }
  bool ReadOnly() const { return read_only_; }
  int64_t HighWaterMark() const;
  uint32_t AllocationEnd() const;
  // The transaction numbers of the states that readers in other processes
  // read (from the reader table; empty while no reader ever made one). The
  // free lists reuse no block such a state names.
  const std::vector<uint32_t>& ForeignReaders();

  bool FreesPending() const { return frees_pending_; }
  bool FileGrown() const { return file_grown_; }
  void ClearSearchFlags() { frees_pending_ = file_grown_ = false; }

 protected:
  ~TQdfLocalFiler() override;

 private:
  void LoadRoot();
  // The database's free list while a write transaction holds it; raises
  // when none does.
  TFreeSpaceLists& OpenFreeList();
  // Refuses a file whose header a writer cannot trust (the cheap checks of
  // the header against the file).
  void CheckWritable();
  void SetHighWaterMark(int64_t value);
  // Reads the header from the file: two reads that agree, so that a header
  // being written by another process is never taken half old, half new.
  void ReadHeader();
  // The reader table, opened (with `create`, made) on first use.
  TReaderTable* OpenReaderTable(bool create);
  // True when the block freed into `chain` with `transaction` is a copy the
  // write owner wrote itself (see TOwnFreeSpace).
  bool IsOwnCopy(const TItemAdr& chain, uint32_t transaction) const;
  // Takes a block of a larger class than `size_class` from the free lists and
  // keeps what the request leaves over as own free space.
  // Raises when a block the free lists named (of `size_class`) is not whole
  // inside the allocated space.
  void CheckListedBlock(int64_t position, int size_class) const;
  // Moves every block below a whole page of the current root's lists into the own free space
  // (merging neighbours); false when the lists were empty. Raises when the
  // lists name a block outside the allocated space or one block twice.
  bool DrainFreeLists();
  // Cuts the file back to the committed allocation end: units past it hold
  // nothing the committed header names. Never raises.
  void TruncateToAllocationEnd() noexcept;

  std::string file_name_;
  bool read_only_;
  std::unique_ptr<TFileHandle> file_;
  TQdfPageReader* write_owner_ = nullptr;
  TFreeSpaceLists* free_lists_ = nullptr;
  TOwnFreeSpace own_free_;
  bool frees_pending_ = false;
  bool file_grown_ = false;
  bool sync_commits_ = true;
  // Set when a page write failed: the running transaction may only roll back.
  bool write_failed_ = false;
  // Set when writing or syncing the header failed: what the disk holds is not
  // known any more, so nothing more is written until the file is reopened.
  bool broken_ = false;
  // Read-only opener of a file whose commit over several files another
  // process holds unfinished: the header to read while the disk holds the
  // state it started from.
  std::optional<TMultiFileCommit::TPendingHeader> pending_header_;
  std::unique_ptr<TReaderTable> reader_table_;
  bool reader_table_made_ = false;
  std::vector<std::pair<TQdfPageReader*, int>> reader_slots_;
  std::vector<uint32_t> foreign_readers_;
};

}  // namespace qdf
