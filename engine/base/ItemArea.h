// The slotted item area: the heap of variable-length items inside a page, on
// which item lists, data lists and B-tree pages are built.
//
// The area lies inside a page at the offset the page's u16 at offset 16 names
// (24 on item-list pages, 30 on data-list pages). All fields are u16
// little-endian, offsets relative to the area start:
//
//   0         area size in bytes (page size minus the area's offset)
//   2         low end: lowest used data offset; items are placed downward from
//             the end of the area; equals the area size when empty
//   4         bytes lost in holes (freed items that were not at the low end)
//   6         number of slots
//   8         head of the free-slot chain: 8000h | slot, FFFF when none
//   10 + 2*i  slot i: offset of its item (below 8000h), or, for a free slot,
//             the next link of the free-slot chain (8000h | slot, FFFF ends it)
//
// Every item begins with its u16 total length (at least 2).
//   room      = low end - (2*slots + 14)   contiguous free space
//   available = room + holes
//   used      = area size - available
// Invariants: the slot table ends at or below the low end (low end >= 2*slots
// + 10); every item lies between the low end and the area size; the free-slot
// chain visits every free slot exactly once.
//
// Violations of a caller's obligation, or a page found inconsistent, raise
// EAssertionFailed ("QdfBase"); an area is never left half-rewritten by a
// failed check.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

namespace qdf {

// Process-wide counter, 0 at start, that changes whenever items may have moved
// in memory: every DeleteSlot, every Compact, every slot inserted in front of
// existing slots, and every cache block given back to the pool. Item cursors
// that keep pointers into pages remember it and refetch their item when it
// changed.
inline std::atomic<uint32_t> g_item_layout_stamp{0};
inline uint32_t ItemLayoutStamp() { return g_item_layout_stamp.load(std::memory_order_relaxed); }
inline void IncItemLayoutStamp() { g_item_layout_stamp.fetch_add(1, std::memory_order_relaxed); }

// Orders two items (pointers to their length words): negative, 0, positive.
using TItemCompare = std::function<int(const uint8_t* a, const uint8_t* b)>;

inline constexpr int kItemPageAreaOffset = 24;
inline constexpr int kDataPageAreaOffset = 30;
inline constexpr int kPageAreaOffsetField = 16;  // u16 in the page: area offset
inline constexpr int kAreaHeaderSize = 10;
inline constexpr int kMaxAreaSize = 0x8000;
inline constexpr uint16_t kFreeSlotBit = 0x8000;
inline constexpr uint16_t kNoFreeSlot = 0xFFFF;

// A view of the area bytes at `data`. Cheap to copy; does not own the page.
class TItemArea {
 public:
  explicit TItemArea(uint8_t* data) : p_(data) {}

  // The area of a page whose area offset is already set at page offset 16.
  static TItemArea OfPage(uint8_t* page);

  // Sets the page's size word, the area offset 24 at page offset 16 and an
  // empty area of page_size - 24 bytes.
  static TItemArea InitItemPage(uint8_t* page, int page_size);
  // As InitItemPage with area offset 30; the 6 bytes at page offset 24 become
  // FFFFFFFF, FFFF.
  static TItemArea InitDataPage(uint8_t* page, int page_size);

  // Empties the area: low end = size, no holes, no slots, no free slot.
  // REQUIRES: 14 <= size <= 8000h and `size` bytes writable.
  void InitArea(int size);

  uint8_t* Data() const { return p_; }
  int Size() const { return Get(0); }
  int LowEnd() const { return Get(2); }
  int Holes() const { return Get(4); }
  int SlotCount() const { return Get(6); }
  int FreeHead() const { return Get(8); }
  // Raw slot word: item offset, or chain link with bit 15 set.
  // REQUIRES: 0 <= slot < SlotCount().
  int SlotWord(int slot) const { return Get(kAreaHeaderSize + 2 * slot); }
  bool IsFree(int slot) const { return (SlotWord(slot) & kFreeSlotBit) != 0; }

  int Room() const { return LowEnd() - (2 * SlotCount() + 14); }
  int Available() const { return Room() + Holes(); }
  int Used() const { return Size() - Available(); }

  // The item of `slot`, or nullptr for a free slot or a slot beyond the table.
  uint8_t* ItemAt(int slot) const;
  // Length of the item of `slot` (0 for a free slot).
  int ItemLength(int slot) const;

  // Places an item of `size` bytes (length word written, content left to the
  // caller) and returns it. index -1 appends a slot; otherwise the new slot is
  // inserted at index (0 <= index <= slots) and later slots move up by one.
  // Compacts first when size exceeds the room.
  // REQUIRES: size >= 2 and the item fits (see Available).
  uint8_t* AddItem(int size, int index = -1);
  // Places a copy of `item` (which may lie in this area), same slot rule.
  uint8_t* AddItemCopy(const uint8_t* item, int index = -1);
  // Places an item in the slot at the head of the free-slot chain, or in a new
  // last slot when there is none; stores the slot in *slot.
  uint8_t* AddItemReuse(int size, int* slot);

  // Frees the item of `slot` and keeps the slot as a free slot at the front of
  // the chain. REQUIRES: the slot holds an item.
  void FreeItem(int slot);
  // As FreeItem; freeing the last slot also drops all trailing free slots and
  // rebuilds the chain (highest free slot first).
  void FreeItemTrim(int slot);
  // Removes `slot` and its item; later slots move down by one. Returns false
  // for a slot beyond the table. Removing the only slot empties the area.
  bool DeleteSlot(int slot);

  // Resizes the item of `slot` to new_size bytes, keeping its content (up to
  // the smaller size), and returns it; nullptr when the slot is free or the
  // item cannot grow (it is then unchanged). REQUIRES: new_size >= 2.
  uint8_t* ResizeItem(int slot, int new_size);

  // Moves all items together at the end of the area in slot order; afterwards
  // holes are 0 and every unused byte is zero. Slots and chain are kept.
  void Compact();

  // Sorts the slot table by `compare`; items stay where they are.
  // REQUIRES: at least 2 slots, none free.
  void SortSlots(const TItemCompare& compare);

  // Empties `target` (keeping its size) and moves the upper slots there:
  // percent outside 1..99 counts as 50; 50 splits by bytes so that the target
  // receives about half of its space, any other percent by slot count. Slots k
  // to the last are appended in order to the target; this area keeps 0..k-1
  // and is compacted. Returns k.
  int SplitArea(TItemArea target, int percent);

  // Full consistency check (header, item bounds, free-slot chain); false when
  // the area is damaged. For tests and for pages read from a file.
  bool CheckArea() const;

 private:
  int Get(int off) const { return p_[off] | (p_[off + 1] << 8); }
  void Put(int off, int v) {
    p_[off] = static_cast<uint8_t>(v);
    p_[off + 1] = static_cast<uint8_t>(v >> 8);
  }
  void SetSlotWord(int slot, int v) { Put(kAreaHeaderSize + 2 * slot, v); }
  // Offset of the item of a slot in use, checked to lie inside the used region.
  int ItemOffset(int slot) const;
  // Reserves `size` bytes at the low end (compacting when needed), writes the
  // length word and returns the item offset. Slots are not touched.
  int Place(int size);
  // Opens slot `index` (moving later slots up) or appends one; returns it.
  int OpenSlot(int index);
  // Renumbers chain links at or above `from` by `delta` after slots moved.
  void ShiftChain(int from, int delta);
  // Chain from scratch: free slots in ascending order, each pushed in front.
  void RebuildChain();

  uint8_t* p_;
};

}  // namespace qdf
