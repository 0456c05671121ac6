#include "base/ItemArea.h"

#include <cstring>
#include <utility>
#include <vector>

#include "base/Bytes.h"
#include "base/QdfException.h"
#include "base/QuickSort.h"

namespace qdf {

namespace {

constexpr const char* kUnit = "QdfBase";

// Sorting: ranges shorter than this are finished by insertion sort.
constexpr int kSortSmallRange = 7;

}  // namespace

TItemArea TItemArea::OfPage(uint8_t* page) {
  int off = LoadU16(page + kPageAreaOffsetField);
  QDF_ASSERT(off >= kPageAreaOffsetField + 2, kUnit);
  TItemArea area(page + off);
  QDF_ASSERT(off + area.Size() <= LoadU16(page), kUnit);
  return area;
}

TItemArea TItemArea::InitItemPage(uint8_t* page, int page_size) {
  QDF_ASSERT(page_size > kItemPageAreaOffset && page_size <= 0xFFFF, kUnit);
  StoreU16(page, static_cast<uint16_t>(page_size));
  StoreU16(page + kPageAreaOffsetField, kItemPageAreaOffset);
  TItemArea area(page + kItemPageAreaOffset);
  area.InitArea(page_size - kItemPageAreaOffset);
  return area;
}

TItemArea TItemArea::InitDataPage(uint8_t* page, int page_size) {
  QDF_ASSERT(page_size > kDataPageAreaOffset && page_size <= 0xFFFF, kUnit);
  StoreU16(page, static_cast<uint16_t>(page_size));
  std::memset(page + kItemPageAreaOffset, 0xFF, kDataPageAreaOffset - kItemPageAreaOffset);
  StoreU16(page + kPageAreaOffsetField, kDataPageAreaOffset);
  TItemArea area(page + kDataPageAreaOffset);
  area.InitArea(page_size - kDataPageAreaOffset);
  return area;
}

void TItemArea::InitArea(int size) {
  QDF_ASSERT(size >= 14 && size <= kMaxAreaSize, kUnit);
  Put(0, size);
  Put(2, size);
  Put(4, 0);
  Put(6, 0);
  Put(8, kNoFreeSlot);
}

int TItemArea::ItemOffset(int slot) const {
  int off = SlotWord(slot);
  int size = Size();
  QDF_ASSERT(off >= LowEnd() && off + 2 <= size, kUnit);
  int len = Get(off);
  QDF_ASSERT(len >= 2 && off + len <= size, kUnit);
  return off;
}

uint8_t* TItemArea::ItemAt(int slot) const {
  if (slot < 0 || slot >= SlotCount() || IsFree(slot)) return nullptr;
  return p_ + ItemOffset(slot);
}

int TItemArea::ItemLength(int slot) const {
  QDF_ASSERT(slot >= 0 && slot < SlotCount(), kUnit);
  if (IsFree(slot)) return 0;
  return Get(ItemOffset(slot));
}

int TItemArea::Place(int size) {
  QDF_ASSERT(size >= 2, kUnit);
  if (size > Room()) Compact();
  int low = LowEnd() - size;
  QDF_ASSERT(low >= 2 * SlotCount() + 12, kUnit);
  Put(2, low);
  Put(low, size);
  return low;
}

void TItemArea::ShiftChain(int from, int delta) {
  int link_pos = 8;
  int n = SlotCount();
  for (int steps = 0;; ++steps) {
    int v = Get(link_pos);
    if (v == kNoFreeSlot) return;
    QDF_ASSERT(steps <= n, kUnit);
    int s = v & ~kFreeSlotBit;
    if (s >= from) s += delta;
    QDF_ASSERT(s >= 0 && s < n, kUnit);
    Put(link_pos, kFreeSlotBit | s);
    link_pos = kAreaHeaderSize + 2 * s;
  }
}

void TItemArea::RebuildChain() {
  int head = kNoFreeSlot;
  for (int s = 0, n = SlotCount(); s < n; ++s) {
    if (IsFree(s)) {
      SetSlotWord(s, head);
      head = kFreeSlotBit | s;
    }
  }
  Put(8, head);
}

int TItemArea::OpenSlot(int index) {
  int n = SlotCount();
  if (index < 0) index = n;
  Put(6, n + 1);
  if (index < n) {
    uint8_t* at = p_ + kAreaHeaderSize + 2 * index;
    std::memmove(at + 2, at, 2 * static_cast<size_t>(n - index));
    // Free slots above the insertion point moved up; their links must follow.
    if (FreeHead() != kNoFreeSlot) ShiftChain(index, +1);
    IncItemLayoutStamp();
  }
  return index;
}

uint8_t* TItemArea::AddItem(int size, int index) {
  QDF_ASSERT(index >= -1 && index <= SlotCount(), kUnit);
  int off = Place(size);
  SetSlotWord(OpenSlot(index), off);
  return p_ + off;
}

uint8_t* TItemArea::AddItemCopy(const uint8_t* item, int index) {
  int size = LoadU16(item);
  QDF_ASSERT(index >= -1 && index <= SlotCount(), kUnit);
  if (size > Room() && item >= p_ && item < p_ + Size()) {
    // Compacting moves the source; copy it aside first.
    std::vector<uint8_t> copy(item, item + size);
    return AddItemCopy(copy.data(), index);
  }
  int off = Place(size);
  std::memcpy(p_ + off, item, static_cast<size_t>(size));
  SetSlotWord(OpenSlot(index), off);
  return p_ + off;
}

uint8_t* TItemArea::AddItemReuse(int size, int* slot) {
  int head = FreeHead();
  int s = -1;
  if (head != kNoFreeSlot) {
    s = head & ~kFreeSlotBit;
    QDF_ASSERT(s < SlotCount() && IsFree(s), kUnit);
  }
  int off = Place(size);
  if (s >= 0) {
    Put(8, SlotWord(s));
  } else {
    s = OpenSlot(-1);
  }
  SetSlotWord(s, off);
  *slot = s;
  return p_ + off;
}

void TItemArea::FreeItem(int slot) {
  QDF_ASSERT(slot >= 0 && slot < SlotCount() && !IsFree(slot), kUnit);
  int off = ItemOffset(slot);
  int len = Get(off);
  if (off == LowEnd()) {
    Put(2, off + len);
  } else {
    Put(4, Holes() + len);
  }
  SetSlotWord(slot, FreeHead());
  Put(8, kFreeSlotBit | slot);
}

void TItemArea::FreeItemTrim(int slot) {
  FreeItem(slot);
  int n = SlotCount();
  if (slot != n - 1) return;
  while (n > 0 && IsFree(n - 1)) --n;
  Put(6, n);
  RebuildChain();
}

bool TItemArea::DeleteSlot(int slot) {
  IncItemLayoutStamp();
  int n = SlotCount();
  if (slot < 0 || slot >= n) return false;
  if (n == 1) {
    InitArea(Size());
    return true;
  }
  if (IsFree(slot)) {
    // Unlink the slot from the chain before the table closes up.
    int link_pos = 8;
    for (int steps = 0;; ++steps) {
      int v = Get(link_pos);
      QDF_ASSERT(v != kNoFreeSlot && steps <= n, kUnit);
      int s = v & ~kFreeSlotBit;
      QDF_ASSERT(s < n, kUnit);
      if (s == slot) {
        Put(link_pos, SlotWord(slot));
        break;
      }
      link_pos = kAreaHeaderSize + 2 * s;
    }
  } else {
    int off = ItemOffset(slot);
    int len = Get(off);
    if (off == LowEnd()) {
      Put(2, off + len);
    } else {
      Put(4, Holes() + len);
    }
  }
  uint8_t* at = p_ + kAreaHeaderSize + 2 * slot;
  std::memmove(at, at + 2, 2 * static_cast<size_t>(n - 1 - slot));
  Put(6, n - 1);
  if (FreeHead() != kNoFreeSlot) ShiftChain(slot + 1, -1);
  return true;
}

uint8_t* TItemArea::ResizeItem(int slot, int new_size) {
  QDF_ASSERT(new_size >= 2 && slot >= 0 && slot < SlotCount(), kUnit);
  if (IsFree(slot)) return nullptr;
  int off = ItemOffset(slot);
  int old_size = Get(off);
  if (new_size == old_size) return p_ + off;
  int low = LowEnd();
  if (new_size < old_size) {
    if (off == low) {
      // Keep the first new_size bytes, moved up against the rest.
      int new_off = low + (old_size - new_size);
      std::memmove(p_ + new_off, p_ + off, static_cast<size_t>(new_size));
      Put(2, new_off);
      SetSlotWord(slot, new_off);
      off = new_off;
    } else {
      Put(4, Holes() + old_size - new_size);
    }
    Put(off, new_size);
    return p_ + off;
  }
  if (new_size <= Room()) {
    int new_off;
    if (off == low) {
      new_off = low - (new_size - old_size);
    } else {
      new_off = low - new_size;
      Put(4, Holes() + old_size);
    }
    QDF_ASSERT(new_off >= 2 * SlotCount() + 12, kUnit);
    std::memmove(p_ + new_off + 2, p_ + off + 2, static_cast<size_t>(old_size - 2));
    Put(new_off, new_size);
    Put(2, new_off);
    SetSlotWord(slot, new_off);
    return p_ + new_off;
  }
  if (new_size <= Available()) {
    std::vector<uint8_t> content(p_ + off + 2, p_ + off + old_size);
    FreeItem(slot);
    int again;
    uint8_t* item = AddItemReuse(new_size, &again);
    QDF_ASSERT(again == slot, kUnit);
    if (!content.empty()) std::memcpy(item + 2, content.data(), content.size());
    return item;
  }
  return nullptr;
}

void TItemArea::Compact() {
  int size = Size();
  int n = SlotCount();
  // Check every item before anything is overwritten, so that a damaged page
  // raises an error and stays as it was.
  QDF_ASSERT(size >= 14 && size <= kMaxAreaSize && kAreaHeaderSize + 2 * n <= LowEnd(), kUnit);
  int total = 0;
  for (int s = 0; s < n; ++s) {
    if (!IsFree(s)) total += Get(ItemOffset(s));
  }
  QDF_ASSERT(total <= size - (kAreaHeaderSize + 2 * n), kUnit);
  uint8_t saved[kMaxAreaSize];
  std::memcpy(saved, p_, static_cast<size_t>(size));
  std::memset(p_, 0, static_cast<size_t>(size));
  InitArea(size);
  Put(6, n);
  Put(8, LoadU16(saved + 8));
  int low = size;
  for (int s = 0; s < n; ++s) {
    int w = LoadU16(saved + kAreaHeaderSize + 2 * s);
    if (w & kFreeSlotBit) {
      SetSlotWord(s, w);
      continue;
    }
    int len = LoadU16(saved + w);
    low -= len;
    std::memcpy(p_ + low, saved + w, static_cast<size_t>(len));
    SetSlotWord(s, low);
  }
  Put(2, low);
  IncItemLayoutStamp();
}

void TItemArea::SortSlots(const TItemCompare& compare) {
  int n = SlotCount();
  QDF_ASSERT(n >= 2 && FreeHead() == kNoFreeSlot, kUnit);
  std::vector<uint16_t> v(static_cast<size_t>(n));
  for (int s = 0; s < n; ++s) v[s] = static_cast<uint16_t>(ItemOffset(s));
  auto cmp = [&](uint16_t a, uint16_t b) { return compare(p_ + a, p_ + b); };

  // Pivot: the middle slot; ranges of fewer than seven slots by insertion sort.
  QuickSort(v.data(), n, cmp, TPivotRule::kMiddle, kSortSmallRange);
  for (int s = 0; s < n; ++s) SetSlotWord(s, v[s]);
}

int TItemArea::SplitArea(TItemArea target, int percent) {
  QDF_ASSERT(target.p_ != p_, kUnit);
  target.InitArea(target.Size());
  if (percent < 1 || percent > 99) percent = 50;
  int n = SlotCount();
  int k;
  if (percent == 50) {
    // Move slots from the top until the target holds about half its space;
    // slot 0 always stays here.
    k = 1;
    int half = target.Available() / 2;
    int sum = 0;
    for (int i = n - 1; i >= 1; --i) {
      sum += ItemLength(i) + 2;
      if (sum >= half) {
        k = i;
        break;
      }
    }
  } else {
    k = (n - 1) * percent / 100;
  }
  if (k > n) k = n;
  if (k < 0) k = 0;

  bool had_free = FreeHead() != kNoFreeSlot;
  bool moved_free = false;
  for (int i = k; i < n; ++i) {
    if (IsFree(i)) {
      QDF_ASSERT(target.LowEnd() >= 2 * (target.SlotCount() + 1) + kAreaHeaderSize, kUnit);
      target.SetSlotWord(target.OpenSlot(-1), kNoFreeSlot);
      moved_free = true;
    } else {
      target.AddItemCopy(ItemAt(i), -1);
    }
  }
  if (moved_free) target.RebuildChain();
  Put(6, k);
  if (had_free) RebuildChain();
  Compact();
  return k;
}

bool TItemArea::CheckArea() const {
  int size = Size();
  int n = SlotCount();
  int low = LowEnd();
  if (size < 14 || size > kMaxAreaSize) return false;
  if (low > size || low < kAreaHeaderSize + 2 * n || Holes() > size) return false;
  long bytes = 0;
  int free_slots = 0;
  for (int s = 0; s < n; ++s) {
    int w = SlotWord(s);
    if (w & kFreeSlotBit) {
      ++free_slots;
      continue;
    }
    if (w < low || w + 2 > size) return false;
    int len = Get(w);
    if (len < 2 || w + len > size) return false;
    bytes += len;
  }
  // Every byte between the low end and the end is an item or a hole.
  if (bytes + Holes() != size - low) return false;
  std::vector<bool> seen(static_cast<size_t>(n), false);
  int chained = 0;
  for (int v = FreeHead(); v != kNoFreeSlot; v = SlotWord(v & ~kFreeSlotBit)) {
    if (!(v & kFreeSlotBit)) return false;
    int s = v & ~kFreeSlotBit;
    if (s >= n || seen[s] || !IsFree(s)) return false;
    seen[s] = true;
    ++chained;
  }
  return chained == free_slots;
}

}  // namespace qdf
