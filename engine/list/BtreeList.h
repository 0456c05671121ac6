// TQdfBtreeList: a B+-tree over a sortable list. The page chain holds the
// keys in order (the leaves); inner pages above it route searches.
//
// Key item (leaves and inner pages): u16 total length, u32 link, then the
// key as a packed item. In a leaf the link is unused (FFFFFFFF); in an inner
// page it is the child holding the keys from this key up to the next one.
//
// Leaves are the chain's item-list pages (next at 4, previous at 8, item area
// at 24). Inner pages have flags low bits 3 (so chain walks stop at them), are
// not in the chain, and keep the leftmost child (keys below the page's first
// key) at offset 4 and FFFFFFFF at offset 8.
//
// The tree is lazy: a list may hold items without inner pages (RootPg
// FFFFFFFF); the first search or insertion then sorts the chain when it is
// not known to be in order and bulk-builds the inner pages over it.
// Deletions never rebalance: a tree whose pages average more than 5000 free
// bytes is compacted (pages refilled to within 2048 bytes) and rebuilt.
//
// Separators are not updated on delete, and with duplicates a run of equal
// keys may start at the end of a left sibling; FindFirst allows for both.
#pragma once

#include <cstdint>
#include <vector>

#include "list/SortableList.h"
#include "object/QHBtreeList.h"

namespace qdf {

// Builds the separator between the last key of a left page and the first key
// of the right page into `out` (at most `capacity` bytes, the right key's
// length): a complete key item with its length word. Returns its length, or
// 0 to use the right key whole. A separator that does not sort above the left
// key and at or below the right key is not used.
using TQdfSeparatorRoutine = int (*)(void* context, const uint8_t* left, const uint8_t* right,
                                     uint8_t* out, int capacity);

class TQdfBtreeList : public TQdfSortableList {
  QDF_CLASS_INFO(TQdfBtreeList)

 public:
  static constexpr int kKeyPrefixSize = 6;  // u16 length, u32 link
  static constexpr int kMaxKeyItem = 8000 + kKeyPrefixSize;
  static constexpr uint16_t kInnerFlags = 3;
  static constexpr int kCompactAverage = 5000;  // average free bytes that trigger Compact
  static constexpr int kCompactReserve = 2048;
  static constexpr int kMaxDepth = 64;  // a deeper descent means a damaged tree

  TQdfBtreeList();
  const TClassInfo& HeaderClass() const override { return TQHBtreeList::kClassInfo; }
  TQHBtreeList* BtreeHeader() const { return static_cast<TQHBtreeList*>(Header()); }

  // The chain is known to be in order unless it has items but no tree.
  void Loaded() override;
  // Frees the inner pages and the chain; the list is empty and sorted.
  void ClearPages() override;
  // Appends unsorted: the tree is dropped and the chain marked unsorted.
  uint8_t* AppendItem(int size, TItemAdr* adr) override;
  // Deletes like DeleteAt (a leaf stays in the chain when it empties).
  void DeleteItem(const TItemAdr& adr) override;

  void SetSeparator(void* context, TQdfSeparatorRoutine routine) {
    separator_context_ = context;
    separator_ = routine;
  }

  // Inserts a copy of `key` (a key item, 6..8006 bytes; its link is written as
  // FFFFFFFF) and sets *adr to it. Without AllowDuplicates an equal key is
  // rejected: the result is false and *adr names the existing key. With
  // duplicates the key goes right after the first equal key of its leaf.
  // Raises EQdfException for a key of a bad size or a damaged tree.
  // REQUIRES: a comparison routine.
  bool Insert(const uint8_t* key, TItemAdr* adr);

  // Searches `key`. Found: *adr names an equal key (the first of the equal
  // keys in `first_mode`, else any). Not found: *adr names the last key below
  // `key`, or slot FFFF of the first leaf when there is none. An empty list
  // (or one whose page cannot be read) gives page FFFFFFFF and false.
  bool Find(const uint8_t* key, TItemAdr* adr, bool first_mode);
  // Find in the mode AllowDuplicates gives; when not found *adr moves on to
  // the first key above (the null address when there is none).
  bool FindKey(const uint8_t* key, TItemAdr* adr);
  // Where `key` falls in the key order, as a share of all keys from 0 (before
  // the first) to 1 (after the last): the keys below it, or with `after` the
  // keys not above it. Estimated from one descent (the pages of each level
  // are taken as equally full); the difference of two positions estimates
  // the share of a key range. 0 for an empty list.
  double EstimatePosition(const uint8_t* key, bool after);
  // Find in first-of-equals mode; when not found and `move_next`, *adr moves
  // on to the first key above.
  bool FindFirst(const uint8_t* key, TItemAdr* adr, bool move_next);

  // Deletes the key at *adr (nothing when the page is not a leaf of this list
  // or the slot does not exist). *adr then names the key that followed (the
  // null address after the last); it stays valid across a compaction.
  void DeleteAt(TItemAdr& adr);

  // Refills the chain: every page filled until its free bytes fall below the
  // next key's length + `reserve`; emptied pages are freed; a tree is rebuilt.
  // *adr (may be nullptr) follows its key.
  void Compact(TItemAdr* adr, int reserve);
  // Bulk-builds the inner pages over the chain (sorting it first when it is
  // not known to be in order); recounts CountPg and CountUnused. Leaves
  // without keys are freed (an empty list keeps one).
  void BuildTree();
  // Frees the inner pages; the tree is rebuilt when next needed. The chain
  // stays known to be sorted only when it was and `keep_sorted`.
  void DropTree(bool keep_sorted);
  // Frees `page` and the inner pages below it (leaves stay); CountUnused
  // starts again from 0.
  void FreeInnerPages(uint32_t page);

  bool HasTree() const { return BtreeHeader()->RootPg() != kNoPage; }
  bool Sorted() const { return sorted_; }
  // Owners that fill the chain in order themselves say so here.
  void SetSorted(bool sorted) { sorted_ = sorted; }
  // CountUnused / CountPg from 11 pages on, else 0.
  int AverageFree() const;

 private:
  struct TPathStep {
    uint32_t page;
    int pos;  // where an item for this page goes: search result + 1
  };
  using TItems = std::vector<std::vector<uint8_t>>;

  // Builds the tree when there is none but the chain has pages.
  void EnsureTree();
  // Binary search of a page for `key`: the first equal item (first_mode) or
  // any equal item when found, else the last item below (-1 when none).
  int SearchPage(uint8_t* page, const uint8_t* key, bool first_mode, bool* found) const;
  // The page for a descent step; raises for a page that is not this tree's.
  uint8_t* TreePage(uint32_t page, int flags) const;
  // Inserts `items` (complete key items, links set) at `pos` of `page`,
  // splitting when they do not fit; separators for new pages (linked to
  // them) are appended to *up. For a leaf, *adr receives items[0]'s place.
  void InsertIntoPage(uint32_t page, int pos, const TItems& items, TItems* up, TItemAdr* adr);
  // Where the pages of a split begin: indexes into `sizes` (item length + 2
  // each), first 0, for pages that hold `capacity` such bytes.
  std::vector<int> SplitGroups(const std::vector<int>& sizes, int capacity) const;
  // The separator between two leaf keys as a new item (link unset).
  std::vector<uint8_t> LeafSeparator(const uint8_t* left, const uint8_t* right) const;
  // A new inner page with `flags` and leftmost child; CountPg + 1.
  uint32_t NewInnerPage(uint16_t flags, uint32_t leftmost);
  void FreeInner(uint32_t page, int depth);
  // State of a bulk build: the rightmost page of every level (leaves at 0),
  // free bytes of the completed pages, inner pages made.
  struct TBuild {
    std::vector<uint32_t> open;
    int64_t unused = 0;
    int32_t inner = 0;
    uint16_t flags = 0;
  };
  // Bulk build: hands the separator `sep` (linked to `child`, the new
  // rightmost page of level h - 1) to level h.
  void PushSeparator(size_t h, const uint8_t* sep, uint32_t child, TBuild& build);

  TQdfSeparatorRoutine separator_ = nullptr;
  void* separator_context_ = nullptr;
  bool sorted_ = true;
};

}  // namespace qdf
