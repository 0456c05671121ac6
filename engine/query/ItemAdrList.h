// TaItemAdrList: the growable list of item addresses that query operations
// and table walks collect.
//
// Each entry is an item address with a 32-bit value and, when the list owns
// its entries, an object that is destroyed with the entry. The default order
// is by page, then slot; two entries are equal when page and slot are. A new
// list is empty, unsorted, accepts duplicates and owns nothing.
//
// Sorted lists keep the default order on Add and are searched by binary
// search; after Sort by the default order a list is "searchable" (Find uses
// binary search) until an unordered Insert. No locking.
#pragma once

#include <cstdint>

#include "base/ItemAdr.h"
#include "base/Object.h"
#include "base/TemplateList.h"

namespace qdf {

// One entry: page, slot, a spare word (zero) and the 32-bit value. `object`
// is owned by an owning list.
struct TItemAdrEntry {
  TItemAdr adr;  // null address in an empty slot
  uint16_t spare = 0;
  uint32_t value = 0;
  TObject* object = nullptr;

  friend bool operator==(const TItemAdrEntry&, const TItemAdrEntry&) = default;
};

class TaItemAdrList : private TaTemplateList<TItemAdrEntry> {
  using Base = TaTemplateList<TItemAdrEntry>;

 public:
  using CompareFn = Base::CompareFn;

  // The default order: page ascending, then slot ascending.
  static int CompareAdr(const TItemAdrEntry& a, const TItemAdrEntry& b, void* data);

  TaItemAdrList();
  // Destroys owned objects.
  ~TaItemAdrList() override;

  // Adds `adr` with `value` and returns its index. Sorted: at its place by
  // binary search; a present address follows the duplicates mode (0 return
  // the existing index, 1 insert after the equal ones, 2 raise EAListError
  // "In der Stringliste sind Duplikate nicht erlaubt", 3 overwrite the entry).
  // Unsorted: a linear search decides the same unless duplicates are
  // accepted; else appended (an entry out of address order clears the
  // searchable flag).
  int Add(const TItemAdr& adr, uint32_t value = 0);
  // As Add, with an object the list owns when it owns its entries and stores
  // the entry (not when mode 0 returns an existing entry or mode 2 raises).
  // Mode 3 replaces (and, when owning, destroys) the old entry's object.
  int AddObject(const TItemAdr& adr, uint32_t value, TObject* object);
  // Adds `adr` with value 0.
  int Append(const TItemAdr& adr) { return Add(adr, 0); }
  // Inserts `entry` at `index` (0..Count(), else EAListError with the
  // index); the duplicates check is that of Add. Unless keep_sorted, the
  // sorted and searchable flags are cleared. Returns the entry's index.
  int Insert(int index, const TItemAdrEntry& entry, bool keep_sorted = false);
  // Removes the entry at `index` (0..Count()-1, else EAListError),
  // destroying its object when owning.
  void Delete(int index);
  // Copies the entry at `index` to *entry (0..Count()-1, else EAListError).
  void Get(int index, TItemAdrEntry* entry) const { *entry = Base::Items(index); }
  const TItemAdrEntry& Items(int index) const { return Base::Items(index); }
  TItemAdr Adr(int index) const { return Base::Items(index).adr; }
  int Count() const { return Base::Count(); }
  int Capacity() const { return Base::Capacity(); }

  // True and *index of the first entry with `adr` when present. Otherwise
  // false and *index = the insertion position when searchable, Count() when
  // not.
  bool Find(const TItemAdr& adr, int* index) const;
  // Sorts by `compare` (default: the address order). Afterwards the list is
  // searchable exactly when the address order was used; a sorted list stays
  // sorted only then.
  void Sort(CompareFn compare = &CompareAdr, void* data = nullptr);

  // Sorted lists keep the address order on Add. Setting it sorts the list.
  bool Sorted() const { return Base::Sorted(); }
  void SetSorted(bool sorted);
  bool Searchable() const { return searchable_; }
  TDuplicates Duplicates() const { return Base::Duplicates(); }
  void SetDuplicates(TDuplicates duplicates) { Base::SetDuplicates(duplicates); }
  bool OwnsEntries() const { return owns_entries_; }
  // Switches ownership of the objects currently held and of later ones.
  void SetOwnsEntries(bool owns);
  // Destroys owned objects from the last entry to the first and releases
  // the array.
  void Clear() { Base::Clear(); }

  const TItemAdrEntry* begin() const { return Base::begin(); }
  const TItemAdrEntry* end() const { return Base::end(); }

 private:
  // Binary search over the address order: 1 + index of the first equal
  // entry when found, else -(insertion position).
  int LowerBound(const TItemAdr& adr) const;
  int LinearFind(const TItemAdr& adr) const;
  static void DisposeOwned(TItemAdrEntry& entry, const TItemAdrEntry* replacement);
  static void ResetEntry(TItemAdrEntry& entry, const TItemAdrEntry* replacement);

  bool searchable_ = false;
  bool owns_entries_ = false;
};

}  // namespace qdf
