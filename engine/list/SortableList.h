// TQdfSortableList: an item list whose items can be put in order by a
// comparison routine that its owner supplies.
//
// The routine is a plain function with a context pointer: it sits on the
// hottest paths (every step of a B-tree search), so no std::function and no
// allocation per comparison.
//
// Sort orders the whole chain with a bounded work area: pages are gathered
// from the last backwards into 256 KB, sorted in memory and written as sorted
// runs at the end of the chain; the runs are then merged, at most 16 at a
// time, until one sorted chain remains.
#pragma once

#include <cstdint>
#include <vector>

#include "list/ItemList.h"
#include "object/QHBtreeList.h"

namespace qdf {

class TItemCollector;

// Orders `item` against `key` (both point at an item's length word):
// negative, 0 or positive as the item sorts before, with or after the key.
using TQdfCompareRoutine = int (*)(void* context, const uint8_t* item, const uint8_t* key);

class TQdfSortableList : public TQdfItemList {
  QDF_CLASS_INFO(TQdfSortableList)

 public:
  // Bytes of the sort's work area: item bytes plus 4 per item.
  static constexpr int kSortWorkArea = 262144;
  // Runs merged in one pass.
  static constexpr int kMaxMergeRuns = 16;

  TQdfSortableList() = default;
  const TClassInfo& HeaderClass() const override { return TQHSortableList::kClassInfo; }

  // Sets the comparison routine and the context it is called with; a null
  // routine leaves the list without an order.
  void SetCompare(void* context, TQdfCompareRoutine routine) {
    compare_context_ = context;
    compare_ = routine;
  }
  TQdfCompareRoutine CompareRoutine() const { return compare_; }
  void* CompareContext() const { return compare_context_; }

  // The routine's verdict on `item` against `key`.
  // REQUIRES: a routine is set (else EAssertionFailed "QdfList").
  int Compare(const uint8_t* item, const uint8_t* key) const {
    RequireCompare();
    return compare_(compare_context_, item, key);
  }

  // Puts the whole chain in comparison order; CountIt is recounted. Pages
  // without items are dropped; the first page stays the first page when it
  // holds the smallest run on its own (it is sorted in place).
  // REQUIRES: a routine is set.
  virtual void Sort();

 protected:
  // Raises EAssertionFailed ("QdfList") when no routine is set.
  void RequireCompare() const;

 private:
  // A sorted run: `pages` consecutive pages of the chain from `first`.
  struct TRun {
    uint32_t first;
    int32_t pages;
  };
  // Sorts the collected items and appends them as a run at the chain's end.
  TRun WriteRun(TItemCollector& work);
  // Merges the runs into one new run at the chain's end, freeing their pages.
  // Returns the run and adds its item count to *items.
  TRun MergeRuns(const TRun* runs, int count, int64_t* items);

  TQdfCompareRoutine compare_ = nullptr;
  void* compare_context_ = nullptr;
};

}  // namespace qdf
