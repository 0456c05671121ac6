#include "base/ItemCollector.h"

#include <cstring>
#include <utility>

#include "base/Bytes.h"
#include "base/QdfException.h"
#include "base/QuickSort.h"

namespace qdf {

namespace {

constexpr const char* kUnit = "QdfBase";

// Sorting: ranges shorter than this are finished by insertion sort.
constexpr int kCollectSmallRange = 16;

}  // namespace

void TItemCollector::ResetCollector(int size) {
  QDF_ASSERT(size >= 0, kUnit);
  if (size > size_ || !buffer_) buffer_ = std::make_unique<uint8_t[]>(static_cast<size_t>(size));
  size_ = size;
  free_ = size;
  items_.clear();
}

int TItemCollector::CollectArea(TItemArea area) {
  int low = area.LowEnd();
  int used = area.Size() - low;
  QDF_ASSERT(used >= 1 && used <= 8191 && used <= free_, kUnit);
  free_ -= used;
  uint8_t* base = buffer_.get() + free_;
  std::memcpy(base, area.Data() + low, static_cast<size_t>(used));
  for (int s = 0, n = area.SlotCount(); s < n; ++s) {
    const uint8_t* item = area.ItemAt(s);  // checks the item's bounds
    if (item) items_.push_back(base + (item - area.Data() - low));
  }
  return Count();
}

void TItemCollector::SortCollected(const TItemCompare& compare) {
  // Median of first, middle and last; ranges below kCollectSmallRange by
  // insertion sort.
  QuickSort(items_.data(), Count(), compare, TPivotRule::kMedianOfThree, kCollectSmallRange);
}

int TItemCollector::MoveToArea(TItemArea area, int from) {
  QDF_ASSERT(from >= 0, kUnit);
  int i = from;
  for (; i < Count(); ++i) {
    const uint8_t* item = items_[static_cast<size_t>(i)];
    if (LoadU16(item) >= area.Available()) break;
    area.AddItemCopy(item, -1);
  }
  return i;
}

}  // namespace qdf
