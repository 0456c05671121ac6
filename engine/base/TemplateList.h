// TaTemplateList<T>: the engine's growable array list, optionally kept sorted.
//
// One design for several item types: object pointers (TaObjectList), text and
// object pairs (TaStringList) and item addresses (TaItemAdrList). A list has
// an order (compare function plus a context word), a sorted flag, a
// duplicates mode and a "unique" flag (for unsorted lists: Add first looks
// for an equal item). An item disposer, set by the instantiation, is called
// for every item that leaves the list through Delete, Remove or Clear.
//
// Indexes are int; an index out of range raises EAListError
// "Der Index der Liste überschreitet das Maximum (%d)". No locking: callers
// serialise access.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <utility>
#include <vector>

#include "base/QdfException.h"
#include "base/QuickSort.h"

namespace qdf {

// What Add does with an item equal to one already in the list.
enum TDuplicates : int {
  kDupIgnore = 0,   // keep the existing item; return its index
  kDupAccept = 1,   // store the new item as well
  kDupError = 2,    // raise EAListError "In der Stringliste sind Duplikate nicht erlaubt"
  kDupReplace = 3,  // overwrite the existing item (disposing the old one)
};

// Capacity of a full list after one growth step: by a quarter above 64,
// by 16 above 8, else by 4 (0, 4, 8, 12, 28, 44, 60, 76, 95, 118, ...).
constexpr int ListGrowCapacity(int capacity) {
  return capacity > 64 ? capacity + capacity / 4 : capacity > 8 ? capacity + 16 : capacity + 4;
}

// Raises EAListError "Der Index der Liste überschreitet das Maximum (%d)".
[[noreturn]] void ThrowListIndexError(int index);
// Raises EAListError "In der Stringliste sind Duplikate nicht erlaubt".
[[noreturn]] void ThrowListDuplicateError();

// Sorts items[0..count) by `compare`: a non-recursive quicksort with an
// explicit stack of pending ranges and a median-of-three pivot; ranges of at
// most 5 items are finished by insertion sort. Not stable.
template <typename T, typename Compare>
void QuickSortItems(T* items, int count, Compare&& compare);

template <typename T>
class TaTemplateList {
 public:
  // Negative, 0 or positive as a sorts before, equal to or after b.
  using CompareFn = int (*)(const T& a, const T& b, void* context);
  // Releases what an item owns; called for each item leaving the list.
  // `replacement` is the item taking its slot (duplicates mode kDupReplace,
  // SetItem) or nullptr; a resource the replacement shares must be kept.
  using DisposeFn = void (*)(T& item, const T* replacement);

  // An empty list. A compare function makes it sorted; without one it is
  // unsorted and equality (for IndexOf, unique Add) is operator==.
  explicit TaTemplateList(CompareFn compare = nullptr, void* context = nullptr,
                          TDuplicates duplicates = kDupAccept, bool unique = false)
      : compare_(compare),
        context_(context),
        sorted_(compare != nullptr),
        duplicates_(duplicates),
        unique_(unique) {}
  // Disposes the remaining items.
  virtual ~TaTemplateList() { Clear(); }

  TaTemplateList(const TaTemplateList&) = delete;
  TaTemplateList& operator=(const TaTemplateList&) = delete;

  // Adds `item` and returns its index. Sorted: at its place by binary search
  // (after existing equal items when duplicates are accepted). Unsorted:
  // appended; with the unique flag an equal item is looked for first. An
  // equal item found is handled by the duplicates mode; kDupIgnore returns
  // the existing index without storing `item` (the caller keeps it).
  int Add(const T& item);
  // Inserts `item` at `index` (0..Count()), shifting later items up, and
  // returns the index where the item now is. When the list is sorted or
  // unique and duplicates are not accepted, an equal item is handled as in
  // Add. Unless keep_order is true the sorted and unique flags are cleared.
  int Insert(int index, const T& item, bool keep_order = false);
  // Removes and disposes the item at `index` (0..Count()-1).
  void Delete(int index);
  // Removes the item at `index` without disposing it and returns it.
  T Extract(int index);
  // Deletes the first item equal to `item`; returns its index or -1.
  int Remove(const T& item);
  // Index of the first item equal to `item` (by the compare function when
  // set, else operator==), or -1. Binary search when sorted.
  int IndexOf(const T& item) const;
  // The item at `index` (0..Count()-1).
  const T& Items(int index) const;
  // Replaces the item at `index`, disposing the old one (unless it is the
  // same slot content). Clears the sorted flag unless keep_order.
  void SetItem(int index, const T& item, bool keep_order = false);

  int Count() const { return count_; }
  int Capacity() const { return static_cast<int>(items_.size()); }
  // Disposes every item (last to first) and releases the array.
  void Clear();

  // Sets the order. A compare function makes the list sorted and sorts it at
  // once; nullptr makes it unsorted.
  void SetCompare(CompareFn compare, void* context);
  // Sorts by the list's compare function and marks the list sorted; no-op
  // without a compare function.
  void Sort();
  // Sorts once by another order; the list counts as sorted afterwards only
  // when that is its own order.
  void SortBy(CompareFn compare, void* context);

  // True: Add keeps the order. Setting it sorts the list; ignored without a
  // compare function.
  bool Sorted() const { return sorted_; }
  void SetSorted(bool sorted);
  TDuplicates Duplicates() const { return duplicates_; }
  void SetDuplicates(TDuplicates duplicates) { duplicates_ = duplicates; }
  bool Unique() const { return unique_; }
  void SetUnique(bool unique) { unique_ = unique; }
  CompareFn Compare() const { return compare_; }
  void* Context() const { return context_; }

  // Binary search by the compare function. True and the index of the first
  // equal item when found; else false and the insertion position.
  // REQUIRES: the list is ordered by its compare function. Without one it
  // scans linearly (the insertion position is then Count()).
  bool Search(const T& item, int* index) const;

  // Range-for over the items.
  const T* begin() const { return items_.data(); }
  const T* end() const { return items_.data() + count_; }

 protected:
  void SetDisposer(DisposeFn disposer) { disposer_ = disposer; }
  // Mutable access for instantiations. REQUIRES: 0 <= index < Count().
  T& At(int index) { return items_[static_cast<size_t>(index)]; }
  // Grows the array by one step when it is full.
  void GrowIfFull();
  // Stores `item` at `index` (0..Count()), shifting later items up.
  void InsertAt(int index, const T& item);
  // Disposes the item, when a disposer is set.
  void DisposeItem(T& item, const T* replacement = nullptr) {
    if (disposer_) disposer_(item, replacement);
  }
  // Equality: the compare function when set, else operator== (types
  // without one need a compare function to be searched).
  bool Equal(const T& a, const T& b) const {
    if (compare_) return compare_(a, b, context_) == 0;
    if constexpr (std::equality_comparable<T>) {
      return a == b;
    } else {
      return false;
    }
  }
  void CheckIndex(int index, int limit) const {
    if (index < 0 || index > limit) ThrowListIndexError(index);
  }
  // Handles an equal item found at `found` by the duplicates mode; returns
  // the index to report, or -1 when the new item must be stored anyway.
  int ApplyDuplicates(int found, const T& item);

  std::vector<T> items_;  // size() is the capacity; slots >= count_ hold T{}
  int count_ = 0;
  CompareFn compare_;
  void* context_;
  bool sorted_;
  TDuplicates duplicates_;
  bool unique_;
  DisposeFn disposer_ = nullptr;
};

// ---------------------------------------------------------------------------
// Implementation.

template <typename T, typename Compare>
void QuickSortItems(T* items, int count, Compare&& compare) {
  // Median of three; ranges of at most five items by insertion sort.
  QuickSort(items, count, compare, TPivotRule::kMedianOfThree, 6);
}

template <typename T>
void TaTemplateList<T>::GrowIfFull() {
  if (count_ < Capacity()) return;
  items_.resize(static_cast<size_t>(ListGrowCapacity(Capacity())));
}

template <typename T>
void TaTemplateList<T>::InsertAt(int index, const T& item) {
  GrowIfFull();
  T copy = item;  // `item` may live inside items_
  std::move_backward(items_.begin() + index, items_.begin() + count_, items_.begin() + count_ + 1);
  items_[static_cast<size_t>(index)] = std::move(copy);
  ++count_;
}

template <typename T>
int TaTemplateList<T>::ApplyDuplicates(int found, const T& item) {
  switch (duplicates_) {
    case kDupIgnore:
      return found;
    case kDupError:
      ThrowListDuplicateError();
    case kDupReplace: {
      T& slot = At(found);
      T copy = item;
      DisposeItem(slot, &copy);
      slot = std::move(copy);
      return found;
    }
    case kDupAccept:
    default:
      return -1;
  }
}

template <typename T>
bool TaTemplateList<T>::Search(const T& item, int* index) const {
  if (!compare_) {  // nothing to search by: a linear scan by equality
    int found = IndexOf(item);
    *index = found >= 0 ? found : count_;
    return found >= 0;
  }
  int lo = 0, hi = count_;
  while (lo < hi) {
    int mid = lo + (hi - lo) / 2;
    if (compare_(items_[static_cast<size_t>(mid)], item, context_) < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  *index = lo;
  return lo < count_ && compare_(items_[static_cast<size_t>(lo)], item, context_) == 0;
}

template <typename T>
int TaTemplateList<T>::Add(const T& item) {
  if (sorted_ && compare_) {
    int pos;
    if (Search(item, &pos)) {
      int r = ApplyDuplicates(pos, item);
      if (r >= 0) return r;
      // Accepted duplicate: after the run of equal items.
      while (pos < count_ && compare_(items_[static_cast<size_t>(pos)], item, context_) == 0) ++pos;
    }
    InsertAt(pos, item);
    return pos;
  }
  if (unique_ && duplicates_ != kDupAccept) {
    int found = IndexOf(item);
    if (found >= 0) {
      int r = ApplyDuplicates(found, item);
      if (r >= 0) return r;
    }
  }
  int pos = count_;
  InsertAt(pos, item);
  return pos;
}

template <typename T>
int TaTemplateList<T>::Insert(int index, const T& item, bool keep_order) {
  CheckIndex(index, count_);
  if ((sorted_ || unique_) && duplicates_ != kDupAccept) {
    int found = IndexOf(item);
    if (found >= 0) {
      int r = ApplyDuplicates(found, item);
      if (r >= 0) return r;
    }
  }
  InsertAt(index, item);
  if (!keep_order) {
    sorted_ = false;
    unique_ = false;
  }
  return index;
}

template <typename T>
T TaTemplateList<T>::Extract(int index) {
  CheckIndex(index, count_ - 1);
  T item = std::move(At(index));
  std::move(items_.begin() + index + 1, items_.begin() + count_, items_.begin() + index);
  --count_;
  items_[static_cast<size_t>(count_)] = T{};
  return item;
}

template <typename T>
void TaTemplateList<T>::Delete(int index) {
  T item = Extract(index);
  DisposeItem(item);
}

template <typename T>
int TaTemplateList<T>::Remove(const T& item) {
  int index = IndexOf(item);
  if (index >= 0) Delete(index);
  return index;
}

template <typename T>
int TaTemplateList<T>::IndexOf(const T& item) const {
  if (sorted_ && compare_) {
    int pos;
    return Search(item, &pos) ? pos : -1;
  }
  for (int i = 0; i < count_; ++i)
    if (Equal(items_[static_cast<size_t>(i)], item)) return i;
  return -1;
}

template <typename T>
const T& TaTemplateList<T>::Items(int index) const {
  CheckIndex(index, count_ - 1);
  return items_[static_cast<size_t>(index)];
}

template <typename T>
void TaTemplateList<T>::SetItem(int index, const T& item, bool keep_order) {
  CheckIndex(index, count_ - 1);
  T copy = item;
  T& slot = At(index);
  DisposeItem(slot, &copy);
  slot = std::move(copy);
  if (!keep_order) sorted_ = false;
}

template <typename T>
void TaTemplateList<T>::Clear() {
  // Detach first so that a disposer that reaches back into the list sees it
  // empty.
  std::vector<T> items;
  items.swap(items_);
  int count = count_;
  count_ = 0;
  for (int i = count - 1; i >= 0; --i) DisposeItem(items[static_cast<size_t>(i)]);
}

template <typename T>
void TaTemplateList<T>::SetCompare(CompareFn compare, void* context) {
  compare_ = compare;
  context_ = context;
  sorted_ = false;
  if (compare_) Sort();
}

template <typename T>
void TaTemplateList<T>::Sort() {
  if (!compare_) return;
  CompareFn fn = compare_;
  void* ctx = context_;
  QuickSortItems(items_.data(), count_,
                 [fn, ctx](const T& a, const T& b) { return fn(a, b, ctx); });
  sorted_ = true;
}

template <typename T>
void TaTemplateList<T>::SortBy(CompareFn compare, void* context) {
  if (!compare) return;
  QuickSortItems(items_.data(), count_,
                 [compare, context](const T& a, const T& b) { return compare(a, b, context); });
  sorted_ = compare == compare_ && context == context_;
}

template <typename T>
void TaTemplateList<T>::SetSorted(bool sorted) {
  if (!sorted) {
    sorted_ = false;
  } else if (compare_ && !sorted_) {
    Sort();
  }
}

}  // namespace qdf
