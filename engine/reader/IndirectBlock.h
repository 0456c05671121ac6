// The page map of a page reader: a sparse radix tree of 256-way tables
// (TIndirectBlock) from page key (page number + 4, wrapping) to cache block.
//
// A reader has four roots, for keys below 2^8, 2^16, 2^24 and all others; a key
// below 2^8 lives directly in root 1, a key below 2^16 one table further down,
// and so on. Every table counts its non-empty entries and the dirty cache
// blocks below it, so a flush visits only the parts of the map with changes.
// Tables come from, and go back to, one process-wide TIndirectBlockPool.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace qdf {

struct TQdfCacheBlock;

class TIndirectBlock {
 public:
  TIndirectBlock() { entries_.fill(nullptr); }

  TIndirectBlock* Parent() const { return parent_; }
  int Count() const { return count_; }
  int DirtyCount() const { return dirty_; }
  // Index of this table in its parent (meaningless for a root).
  int IndexInParent() const { return index_in_parent_; }

  // Entry i of an inner table / of a leaf table.
  TIndirectBlock* ChildAt(int i) const { return static_cast<TIndirectBlock*>(entries_[i]); }
  TQdfCacheBlock* BlockAt(int i) const { return static_cast<TQdfCacheBlock*>(entries_[i]); }

  // The child at i, taken from the pool (count + 1) when the entry is empty.
  TIndirectBlock* ChildOrNew(int i);
  // Puts a cache block into the empty leaf entry i (count + 1).
  void SetBlock(int i, TQdfCacheBlock* block);
  // Empties entry i (count - 1). Returns true when the table became empty.
  bool ClearEntry(int i);

  // Adds / subtracts one on this table and every ancestor.
  void MarkDirty();
  void MarkClean();

 private:
  friend class TIndirectBlockPool;

  std::array<void*, 256> entries_;
  TIndirectBlock* parent_ = nullptr;
  int index_in_parent_ = 0;
  int count_ = 0;
  int dirty_ = 0;
  int pool_index_ = -1;  // place in the pool's owning list
  int next_free_ = -1;   // free chain link while the table is in the pool
};

// Process-wide pool of tables. Tables are recycled through a free chain kept
// as list indexes and never go back to the memory manager while the process
// runs. Thread-safe: readers on different threads share it.
class TIndirectBlockPool {
 public:
  static TIndirectBlockPool& Instance();

  // A zeroed table with the given parent.
  TIndirectBlock* TakeTable(TIndirectBlock* parent, int index_in_parent);
  // Gives a table back for reuse.
  void ReturnTable(TIndirectBlock* table);

  // Tables ever made / tables waiting in the free chain (tests and statistics).
  size_t TableCount() const;
  size_t FreeCount() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<TIndirectBlock>> tables_;
  int free_head_ = -1;
  size_t free_count_ = 0;
};

}  // namespace qdf
