// TFaultFileSystem: a file system for crash and I/O-error tests. It passes
// everything to the native file system and, on request, fails the n-th write
// or sync, writes only part of a buffer, reports a full disk, or simulates a
// power loss: every byte written since the file's last successful sync is
// forgotten (undone from an undo log kept per file).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/FileSystem.h"

namespace qdf {

class TFaultFileSystem final : public TFileSystem {
 public:
  TFaultFileSystem() = default;
  ~TFaultFileSystem() override;

  // The n-th write from now (1 = the next one) raises an I/O error; 0 disables.
  void FailWriteAfter(int n);
  // The n-th sync from now raises an I/O error; 0 disables.
  void FailSyncAfter(int n);
  // The n-th write from now stores only its first `keep` bytes, then raises.
  void ShortWriteAfter(int n, size_t keep);
  // The n-th write or sync from now (counted together) completes and then
  // raises "simulated crash": the caller stops right after the operation
  // landed, as a process killed at that moment would. 0 disables.
  void CrashAfterOp(int n);
  // The n-th write or sync from now (counted together) fails without landing.
  void FailOpAfter(int n);
  // Every write raises "no space left on device" while on.
  void SetDiskFull(bool on);

  // Forgets, in every file written through this file system, what was written
  // since its last sync: contents and size go back to that state. Open handles
  // stay usable (as after a restart with the same files).
  void SimulatePowerLoss();

  int WriteCount() const;
  // Completed writes and syncs together (the unit of CrashAfterOp).
  int OpCount() const;
  int SyncCount() const;

  std::unique_ptr<TFileHandle> Open(const std::string& path, TOpenMode mode) override;
  std::unique_ptr<TFileHandle> Create(const std::string& path) override;
  bool Exists(const std::string& path) override;
  bool Delete(const std::string& path) override;
  int64_t ModificationTime(const std::string& path) override;

 private:
  friend class TFaultFile;
  struct TUndo {
    uint64_t pos;
    std::vector<uint8_t> old_bytes;  // what the region held before the write
  };
  struct TFileLog {
    bool known_size = false;
    uint64_t synced_size = 0;
    std::vector<TUndo> undo;  // writes since the last sync, oldest first
  };

  // Called by TFaultFile; decide whether the operation may proceed.
  void BeforeWrite(const std::string& path, TFileHandle& inner, uint64_t pos, size_t n,
                   size_t* keep);
  void BeforeSync(const std::string& path);
  void AfterSync(const std::string& path, uint64_t size);
  // Counts a completed write or sync; raises when the crash point is reached.
  void AfterOp();
  void NoteOpened(const std::string& path, uint64_t size);

  mutable std::mutex mutex_;
  int fail_write_at_ = 0;
  int fail_sync_at_ = 0;
  int short_write_at_ = 0;
  int crash_at_ = 0;
  int fail_op_at_ = 0;
  int attempts_ = 0;
  int ops_ = 0;
  size_t short_keep_ = 0;
  bool disk_full_ = false;
  int writes_ = 0;
  int syncs_ = 0;
  std::map<std::string, TFileLog> logs_;
};

}  // namespace qdf
