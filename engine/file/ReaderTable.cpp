#include "file/ReaderTable.h"

#include <atomic>

#include "base/QdfException.h"

namespace qdf {
namespace {

constexpr uint32_t kMagic = 0x54445251;  // "QRDT"
constexpr uint32_t kVersion = 1;
constexpr int kSlotsAt = 64;
constexpr int kSlotSize = 16;

int PidAt(int slot) { return kSlotsAt + slot * kSlotSize; }
int TransactionAt(int slot) { return kSlotsAt + slot * kSlotSize + 4; }

std::atomic_ref<uint32_t> Atomic(uint32_t* word) { return std::atomic_ref<uint32_t>(*word); }

}  // namespace

std::string TReaderTable::PathFor(const std::string& database_file) {
  return database_file + "-readers";
}

std::unique_ptr<TReaderTable> TReaderTable::Open(const std::string& database_file, bool create) {
  const std::string path = PathFor(database_file);
  std::unique_ptr<TSharedMemoryFile> map = TSharedMemoryFile::Open(path, kSize, create);
  if (map == nullptr) return nullptr;
  std::unique_ptr<TReaderTable> table(new TReaderTable(std::move(map), path));
  // A fresh file is all zeros: whoever comes first stamps it.
  uint32_t expected = 0;
  Atomic(table->Word(0)).compare_exchange_strong(expected, kMagic);
  if (Atomic(table->Word(0)).load() != kMagic) return nullptr;
  expected = 0;
  Atomic(table->Word(4)).compare_exchange_strong(expected, kVersion);
  if (Atomic(table->Word(4)).load() != kVersion) return nullptr;
  return table;
}

uint32_t* TReaderTable::Word(int offset) const {
  return reinterpret_cast<uint32_t*>(map_->Data() + offset);
}

bool TReaderTable::FreeIfDead(int slot, uint32_t pid) {
  if (pid == 0) return true;
  if (ProcessAlive(pid)) return false;
  // Only the first to see the dead holder frees the slot; its stale number
  // stays until the next holder stores its own, which only keeps more blocks.
  return Atomic(Word(PidAt(slot))).compare_exchange_strong(pid, 0);
}

int TReaderTable::Claim() {
  const uint32_t me = CurrentProcessId();
  for (int pass = 0; pass < 2; ++pass) {
    for (int slot = 0; slot < kSlots; ++slot) {
      uint32_t pid = Atomic(Word(PidAt(slot))).load();
      // The first pass takes free slots only; the second also those of dead
      // processes (a system call per slot).
      if (pid != 0 && (pass == 0 || !FreeIfDead(slot, pid))) continue;
      uint32_t expected = 0;
      if (Atomic(Word(PidAt(slot))).compare_exchange_strong(expected, me)) {
        Atomic(Word(TransactionAt(slot))).store(0);
        return slot;
      }
    }
  }
  throw EQdfException(
      Format("%s: all %d reader slots are in use; close some readers", path_.c_str(), kSlots));
}

void TReaderTable::Publish(int slot, uint32_t transaction) {
  Atomic(Word(TransactionAt(slot))).store(transaction);
  // The publication must be visible before the header is read again.
  std::atomic_thread_fence(std::memory_order_seq_cst);
}

void TReaderTable::Release(int slot) {
  Atomic(Word(TransactionAt(slot))).store(0);
  Atomic(Word(PidAt(slot))).store(0);
}

void TReaderTable::Collect(std::vector<uint32_t>& out) {
  out.clear();
  std::atomic_thread_fence(std::memory_order_seq_cst);
  for (int slot = 0; slot < kSlots; ++slot) {
    const uint32_t pid = Atomic(Word(PidAt(slot))).load();
    if (pid == 0) continue;
    const uint32_t transaction = Atomic(Word(TransactionAt(slot))).load();
    // A slot still being claimed names no state yet: its holder reads the
    // header again after publishing and starts over if a commit came between.
    if (transaction == 0) continue;
    if (FreeIfDead(slot, pid)) continue;
    out.push_back(transaction);
  }
}

int TReaderTable::HeldByOtherProcesses() {
  const uint32_t me = CurrentProcessId();
  int held = 0;
  for (int slot = 0; slot < kSlots; ++slot) {
    const uint32_t pid = Atomic(Word(PidAt(slot))).load();
    if (pid != 0 && pid != me && !FreeIfDead(slot, pid)) ++held;
  }
  return held;
}

}  // namespace qdf
