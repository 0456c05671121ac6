// TCachePool: the process-wide budget and store of cache blocks shared by all
// page readers.
//
// Blocks are recycled through a free chain; their 8192-byte buffers go back to
// the memory manager only while more than Cap buffers exist. The pool's
// counters (in-use count U, capacity Cap, pool credit P) drive each reader's
// share of evictions (TQdfPageReader::Trim).
// Lock order: a reader's lock, then the pool lock "Cache"; never the reverse.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/DbgCriticalSection.h"
#include "reader/CacheBlock.h"

namespace qdf {

class TCachePool {
 public:
  // The pool's size until one is configured, and the smallest it takes.
  static constexpr int kDefaultCacheSize = 512;
  // The size the system configures when quillon.ini names none (16 MiB):
  // large enough to hold the hot index pages of a table of some 100,000
  // records, small enough for a peak below 64 MB in SpeedTrial at scale 10.
  static constexpr int kDefaultInitialCache = 2048;

  static TCachePool& Instance();

  // A block for `owner`, with a buffer, clean and unpinned; U + 1.
  TQdfCacheBlock* TakeBlock(TQdfPageReader* owner);
  // Gives a block back: U - 1, flags := unlinked, buffer released when more
  // than Cap buffers exist. Bumps the item layout stamp: pointers into the
  // block's page are no longer valid.
  void ReturnBlock(TQdfCacheBlock* block);

  // Takes a configured cache size of 512 pages or more; smaller ones are ignored.
  // The capacity follows at the next trim of any reader.
  void SetCacheSize(int pages);
  int CacheSize() const;

  void RegisterReader(TQdfPageReader* reader);
  void UnregisterReader(TQdfPageReader* reader);

  // Counters (read under the pool lock).
  int InUse() const;
  int Capacity() const;
  int BufferCount() const;
  size_t BlockCount() const;

  TDbgCriticalSection& Lock() { return lock_; }

 private:
  friend class TQdfPageReader;  // the trim share computations

  TCachePool() = default;

  mutable TDbgCriticalSection lock_{"Cache"};
  TDbgCriticalSection reader_lock_{"CRL"};
  std::vector<std::unique_ptr<TQdfCacheBlock>> blocks_;  // every block ever made
  std::vector<TQdfPageReader*> readers_;
  TQdfCacheBlock* free_head_ = nullptr;
  int buffer_count_ = 0;
  int in_use_ = 0;                    // U
  int capacity_ = kDefaultCacheSize;  // Cap
  int configured_ = kDefaultCacheSize;
  int credit_ = 0;  // P
};

}  // namespace qdf
