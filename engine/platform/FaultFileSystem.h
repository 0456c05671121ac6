// TFaultFileSystem: a file system for crash and I/O-error tests. It passes
// everything to the native file system and, on request, fails the n-th write
// or sync, writes only part of a buffer, reports a full disk, stops the
// "process" after the n-th operation, or simulates a power loss.
//
// Power loss follows what a disk without a write barrier may do: of the
// writes since a file's last successful sync each one independently reached
// the platter or not, in any order, and the last one may be torn at a
// 512-byte boundary (a sector is written whole or not at all). A sync makes
// everything before it durable. Each write since the last sync is kept with
// the bytes it replaced and the bytes it wrote, so any such outcome can be
// rebuilt from the file as it stands. With SetVolatileFolders, files created
// or removed since the last sync of their folder (SyncDirectoryOf) may
// likewise be there or not: a created file may vanish, a removed one come
// back with what it held at its last sync.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/FileSystem.h"

namespace qdf {

class TFaultFileSystem final : public TFileSystem {
 public:
  TFaultFileSystem() = default;
  ~TFaultFileSystem() override;

  // Limits counting, faults and power loss to the files named here (called
  // once per file; a path ending in '/' names every file in that folder);
  // without a call every file takes part.
  void Watch(const std::string& path);

  // Power loss may undo the creation or removal of a file whose folder was
  // not synced since (off: folder entries are durable at once).
  void SetVolatileFolders(bool on);

  // The n-th write from now (1 = the next one) raises an I/O error; 0 disables.
  void FailWriteAfter(int n);
  // The n-th sync from now raises an I/O error; 0 disables. A failed sync
  // (also through FailOpAfter) forgets the file's writes since its last
  // sync, as a kernel may that dropped the pages it could not write.
  void FailSyncAfter(int n);
  // The n-th write from now stores only its first `keep` bytes, then raises.
  void ShortWriteAfter(int n, size_t keep);
  // The n-th write or sync from now (counted together) completes and then
  // raises "simulated crash": the process is dead at that moment. Whatever
  // the caller still writes or syncs afterwards (rollbacks, destructors)
  // goes nowhere, as it would not in a killed process. 0 disables.
  void CrashAfterOp(int n);
  // The n-th write or sync from now (counted together) fails without landing.
  void FailOpAfter(int n);
  // Every write raises "no space left on device" while on.
  void SetDiskFull(bool on);

  // Forgets, in every file written through this file system, what was written
  // since its last sync: contents and size go back to that state. Open handles
  // stay usable (as after a restart with the same files).
  void SimulatePowerLoss();
  // Writes to `out` what `path` may hold after a power loss now: one outcome
  // drawn from `rng` (each write since the last sync kept or lost, the last
  // one possibly torn), or every write since the last sync lost when `rng`
  // is null. `path` itself and the logs are left as they are, so that many
  // outcomes can be drawn for one moment.
  // Returns false (and removes `out`) when `path` would not exist then.
  bool PowerLossImage(const std::string& path, const std::string& out, std::mt19937* rng);
  // Every watched file written, created or removed so far.
  std::vector<std::string> Paths() const;

  // What happened to a watched file: 'w' write, 's' sync, 'd' sync of its
  // folder (completed operations, `op` their number), 'x' removal (op 0).
  struct TEvent {
    char kind;
    int op;
    std::string path;
  };
  // Everything in order.
  std::vector<TEvent> Journal() const;
  int WriteCount() const;
  // Completed writes and syncs together (the unit of CrashAfterOp).
  int OpCount() const;
  int SyncCount() const;
  // True once a CrashAfterOp point was reached.
  bool Crashed() const;
  // True while a FailOpAfter point is set and not yet reached.
  bool FailPending() const;

  std::unique_ptr<TFileHandle> Open(const std::string& path, TOpenMode mode) override;
  std::unique_ptr<TFileHandle> Create(const std::string& path) override;
  bool Exists(const std::string& path) override;
  bool Delete(const std::string& path) override;
  void SyncDirectoryOf(const std::string& path) override;
  int64_t ModificationTime(const std::string& path) override;

 private:
  friend class TFaultFile;
  struct TWrite {
    uint64_t pos;
    std::vector<uint8_t> old_bytes;  // what the region held before (within the old size)
    std::vector<uint8_t> new_bytes;  // what the write stored
  };
  struct TFileLog {
    bool known_size = false;
    uint64_t synced_size = 0;
    std::vector<TWrite> writes;  // since the last sync, oldest first
  };
  // A folder entry changed since the folder's last sync: what a power loss
  // may bring back (the file's durable presence and bytes).
  struct TEntry {
    bool present_before = false;
    std::vector<uint8_t> bytes_before;
  };
  // What the operation of a watched file may do.
  enum class TVerdict { kProceed, kDrop, kPassThrough };

  bool Watched(const std::string& path) const;
  // Called by TFaultFile; decide whether the operation may proceed.
  TVerdict BeforeWrite(const std::string& path, TFileHandle& inner, uint64_t pos, const void* buf,
                       size_t n, size_t* keep);
  TVerdict BeforeSync(const std::string& path);
  void AfterSync(const std::string& path, uint64_t size);
  // Counts a completed write or sync; raises when the crash point is reached.
  void AfterOp(const std::string& path, char kind);
  // True when an operation on `path` goes nowhere (the process is dead).
  bool DeadFor(const std::string& path) const;
  void NoteOpened(const std::string& path, uint64_t size);
  // Undoes the file's writes since its last sync, in place. REQUIRES: mutex_ held.
  void ForgetUnsynced(const std::string& path, TFileLog& log);
  // The file's bytes after a power loss: every logged write lost when `rng`
  // is null, else one drawn outcome. REQUIRES: mutex_ held.
  std::vector<uint8_t> Image(const std::string& path, const TFileLog& log, std::mt19937* rng);

  mutable std::mutex mutex_;
  std::set<std::string> watched_;
  int fail_write_at_ = 0;
  int fail_sync_at_ = 0;
  int short_write_at_ = 0;
  int crash_at_ = 0;
  int fail_op_at_ = 0;
  int attempts_ = 0;
  int ops_ = 0;
  size_t short_keep_ = 0;
  bool disk_full_ = false;
  bool dead_ = false;
  bool volatile_folders_ = false;
  int writes_ = 0;
  int syncs_ = 0;
  std::map<std::string, TFileLog> logs_;
  std::map<std::string, TEntry> entries_;  // by path, until their folder is synced
  std::vector<TEvent> journal_;
};

}  // namespace qdf
