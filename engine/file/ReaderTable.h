// TReaderTable: where readers in every process record which committed state
// of a database they read, so that a writer in another process does not
// reuse a block such a state still names.
//
// The table is the file "<database file>-readers" beside the database,
// mapped shared by every process that uses it (4096 bytes, little-endian):
//   0   u32  magic "QRDT"
//   4   u32  layout version, 1
//   8   56 bytes reserved, 0
//   64  252 slots of 16 bytes:
//         +0  u32  process id of the holder; 0 while the slot is free
//         +4  u32  transaction number of the state the holder reads; 0 while
//                  the holder is still reading the header
//         +8  8 bytes reserved, 0
// A read-only opener claims a slot per snapshot, publishes the header's
// transaction number, and reads the header again: only when it is unchanged
// is the snapshot taken (a writer that scanned the table before the slot was
// published started from that state, and reuses only blocks it does not
// name). The writer scans the table whenever it decides which freed blocks
// may be reused. Slots of processes that died are taken over.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/SharedMemoryFile.h"

namespace qdf {

class TReaderTable {
 public:
  static constexpr int kSlots = 252;
  static constexpr size_t kSize = 4096;

  // "<database file>-readers".
  static std::string PathFor(const std::string& database_file);
  // Opens the table of `database_file`; with `create`, makes it when
  // missing. Returns nullptr when it cannot be opened (no write access
  // beside the database) or holds something else.
  static std::unique_ptr<TReaderTable> Open(const std::string& database_file, bool create);

  // Claims a free slot for this process (or one whose process died).
  // Raises "<file>: all <n> reader slots are in use" when none is left.
  int Claim();
  // Records the transaction number of the state the slot's holder reads.
  void Publish(int slot, uint32_t transaction);
  void Release(int slot);
  // Sets `out` to the published transaction numbers of every live holder.
  void Collect(std::vector<uint32_t>& out);
  // The number of slots held by live processes other than this one.
  int HeldByOtherProcesses();

 private:
  TReaderTable(std::unique_ptr<TSharedMemoryFile> map, std::string path)
      : map_(std::move(map)), path_(std::move(path)) {}
  uint32_t* Word(int offset) const;
  // Frees the slot when its holder died; true when it was free or freed.
  bool FreeIfDead(int slot, uint32_t pid);

  std::unique_ptr<TSharedMemoryFile> map_;
  std::string path_;
};

}  // namespace qdf
