// TFreeSpaceLists: the persistent free-block lists of a local database file,
// as the filer's allocation sees them. The lists live inside the database (its
// free list object) and are open only while a write transaction holds them;
// while none is open, allocation takes new space at the end of the file and
// freed blocks are not recorded.
#pragma once

#include <cstdint>

#include "base/ItemAdr.h"

namespace qdf {

// Free blocks come in 16 size classes: class k holds blocks of k + 1 units.
inline constexpr int kFreeSizeClasses = 16;

class TFreeSpaceLists {
 public:
  virtual ~TFreeSpaceLists() = default;

  // Takes the head of the current root's list of `size_class` (0..15).
  // Returns false when that list is empty.
  virtual bool TakeBlock(int size_class, int64_t* position) = 0;
  // Pushes a freed block on the front of its class list in the root at `chain`.
  virtual void AddBlock(const TItemAdr& chain, int size_class, uint32_t transaction,
                        int64_t position) = 0;
  // Moves blocks that no attached reader can see any more into the current root.
  virtual void SearchFreeData() = 0;
  // Before pages are written: store the pending root address in the current root.
  virtual void PrepareFlush(int flags) = 0;
  // Appends a root record tagged `transaction` (no next, no pending, empty lists).
  virtual TItemAdr NewRoot(uint32_t transaction) = 0;
  // Appends the lists of the root at `source` to those of `target`, deletes
  // the source root, and sets `source` to the source's next root.
  virtual void MergeRoot(const TItemAdr& target, TItemAdr& source) = 0;
};

// The process-wide "inside SearchFreeData" guard: set while a search runs, so
// that allocations and frees it causes are reported by trace.
bool& InsideSearchFreeData();

}  // namespace qdf
