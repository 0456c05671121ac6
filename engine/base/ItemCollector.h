// The item collector: a scratch buffer for re-distributing the items of slotted
// areas (page splits). Item data is stored downward from the end of the
// buffer; one pointer per collected item records where each item now lies.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "base/ItemArea.h"

namespace qdf {

class TItemCollector {
 public:
  TItemCollector() = default;
  TItemCollector(const TItemCollector&) = delete;
  TItemCollector& operator=(const TItemCollector&) = delete;

  // Empties the collector and gives it a buffer of `size` bytes.
  void ResetCollector(int size);

  // Copies the area's whole used region (low end to area size) into the
  // collector and appends a pointer for each slot in use, in slot order.
  // Returns the number of collected items.
  // REQUIRES: the used region is 1..8191 bytes and fits CollectorRoom().
  int CollectArea(TItemArea area);

  // Bytes still free for item data.
  int CollectorRoom() const { return free_; }

  // Sorts the collected pointers by `compare` (quicksort, median of three).
  void SortCollected(const TItemCompare& compare);

  // Places the collected items from index `from` on into `area` (new slots
  // appended, compacting when the room is too small) and stops at the first
  // item whose length is not below the area's available space. Returns the
  // index of the first item not placed (Count() when all were placed).
  int MoveToArea(TItemArea area, int from);

  int Count() const { return static_cast<int>(items_.size()); }
  // Collected item i (points at its length word).
  const uint8_t* Item(int i) const { return items_[static_cast<size_t>(i)]; }

 private:
  std::unique_ptr<uint8_t[]> buffer_;
  int size_ = 0;
  int free_ = 0;  // data lies in [free_, size_)
  std::vector<const uint8_t*> items_;
};

}  // namespace qdf
