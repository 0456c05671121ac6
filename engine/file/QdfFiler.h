// TQdfFiler: access to one database file: byte ranges, the header's root
// record, file space, and the page readers attached to it.
//
// Filers are reference counted: the creator holds the first reference and
// every page reader one more; the filer deletes itself when the last goes.
// Every operation runs under the filer's lock "Filer <alias>".
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "base/ItemAdr.h"
#include "file/FileFormat.h"
#include "platform/DbgCriticalSection.h"

namespace qdf {

class TQdfPageReader;

using TRootRecord = std::array<uint8_t, kRootSize>;

class TQdfFiler {
 public:
  explicit TQdfFiler(std::string alias);
  TQdfFiler(const TQdfFiler&) = delete;
  TQdfFiler& operator=(const TQdfFiler&) = delete;

  void AddRef();
  // Drops one reference; the filer deletes itself with the last one.
  void Release();
  int RefCount() const { return refs_; }

  // The committed root record as this filer knows it.
  virtual TRootRecord GetRoot() = 0;
  // Makes `root` the committed state: writes the header. Without
  // keep_write_lock the write ownership (and the free list) is given up.
  virtual void CommitRoot(const TRootRecord& root, bool keep_write_lock) = 0;
  // Gives up the free list and goes back to the header's committed root.
  virtual void ReloadRoot() = 0;
  // Appends the reader and fills `root` with the committed root record.
  virtual void AttachReader(TQdfPageReader* reader, TRootRecord& root);
  // Removes the reader and recomputes the oldest transaction number. `root`
  // is the reader's root record: a remote filer stores the server's next
  // transaction handle in it.
  virtual void DetachReader(TQdfPageReader* reader, TRootRecord& root, bool keep_write_lock);
  // File space of `size` bytes (1..8192) in whole units; returns its position.
  virtual int64_t AllocateData(int32_t size) = 0;
  virtual void PrepareFlush(int flags);
  // Returns a block to the free-space lists of the root record at `chain`.
  virtual void FreeData(const TItemAdr& chain, int32_t size, uint32_t transaction,
                        int64_t position) = 0;
  virtual void FreePage(uint32_t page) = 0;
  virtual void Ping() = 0;
  virtual bool IsEmpty() = 0;
  virtual std::string GetServerAddress();
  virtual void ReadData(uint8_t* buffer, int32_t size, int64_t position) = 0;
  virtual void WriteData(const uint8_t* buffer, int32_t size, int64_t position) = 0;

  // Local filers own their file space; remote ones do not (shadow mode).
  virtual bool IsLocal() const { return false; }

  const std::string& Name() const { return name_; }
  bool Shadow() const { return shadow_; }
  uint32_t OldestTransaction() const { return oldest_transaction_; }
  const std::vector<TQdfPageReader*>& Readers() const { return readers_; }
  TDbgCriticalSection& Lock() { return lock_; }

  // Free-list roots (item addresses into the free list), null until it is open.
  TItemAdr current_root = kNullAdr;
  TItemAdr pending_root = kNullAdr;

 protected:
  virtual ~TQdfFiler();

  TDbgCriticalSection lock_;
  std::array<uint8_t, kHeaderSize> header_{};
  TRootRecord root_cache_{};  // loaded when its first word is non-zero
  std::string name_;
  bool shadow_ = false;
  std::vector<TQdfPageReader*> readers_;
  uint32_t oldest_transaction_ = 0;

 private:
  int refs_ = 1;
};

// TQdfFilerRef: one counted reference to a filer, released when the handle
// goes. Move-only, so that every reference has exactly one holder.
class TQdfFilerRef {
 public:
  TQdfFilerRef() = default;
  // Takes over a reference the caller holds (a new filer's first one).
  static TQdfFilerRef Adopt(TQdfFiler* filer) { return TQdfFilerRef(filer); }
  // Takes a reference of its own.
  static TQdfFilerRef Share(TQdfFiler* filer) {
    if (filer != nullptr) filer->AddRef();
    return TQdfFilerRef(filer);
  }
  TQdfFilerRef(TQdfFilerRef&& other) noexcept : filer_(other.Detach()) {}
  TQdfFilerRef& operator=(TQdfFilerRef&& other) noexcept {
    if (this != &other) {
      reset();
      filer_ = other.Detach();
    }
    return *this;
  }
  TQdfFilerRef(const TQdfFilerRef&) = delete;
  TQdfFilerRef& operator=(const TQdfFilerRef&) = delete;
  ~TQdfFilerRef() { reset(); }

  TQdfFiler* get() const { return filer_; }
  TQdfFiler* operator->() const { return filer_; }
  explicit operator bool() const { return filer_ != nullptr; }
  // Releases the reference (the filer closes with its last one).
  void reset() {
    TQdfFiler* filer = Detach();
    if (filer != nullptr) filer->Release();
  }
  // Hands the reference to the caller; the handle is empty afterwards.
  TQdfFiler* Detach() {
    TQdfFiler* filer = filer_;
    filer_ = nullptr;
    return filer;
  }

 private:
  explicit TQdfFilerRef(TQdfFiler* filer) : filer_(filer) {}
  TQdfFiler* filer_ = nullptr;
};

}  // namespace qdf
