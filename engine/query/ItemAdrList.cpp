#include "query/ItemAdrList.h"

namespace qdf {

int TaItemAdrList::CompareAdr(const TItemAdrEntry& a, const TItemAdrEntry& b, void*) {
  if (a.adr.page != b.adr.page) return a.adr.page < b.adr.page ? -1 : 1;
  if (a.adr.slot != b.adr.slot) return a.adr.slot < b.adr.slot ? -1 : 1;
  return 0;
}

TaItemAdrList::TaItemAdrList() : Base(&CompareAdr, nullptr, kDupAccept) {
  Base::SetSorted(false);
  SetDisposer(&ResetEntry);
}

TaItemAdrList::~TaItemAdrList() { Base::Clear(); }

void TaItemAdrList::ResetEntry(TItemAdrEntry& entry, const TItemAdrEntry*) {
  entry = TItemAdrEntry{};
}

void TaItemAdrList::DisposeOwned(TItemAdrEntry& entry, const TItemAdrEntry* replacement) {
  if (!replacement || replacement->object != entry.object) delete entry.object;
  entry = TItemAdrEntry{};
}

void TaItemAdrList::SetOwnsEntries(bool owns) {
  owns_entries_ = owns;
  SetDisposer(owns ? &DisposeOwned : &ResetEntry);
}

int TaItemAdrList::LowerBound(const TItemAdr& adr) const {
  TItemAdrEntry probe;
  probe.adr = adr;
  int pos;
  return Search(probe, &pos) ? pos + 1 : -pos;
}

int TaItemAdrList::LinearFind(const TItemAdr& adr) const {
  for (int i = 0; i < count_; ++i)
    if (items_[static_cast<size_t>(i)].adr == adr) return i;
  return -1;
}

bool TaItemAdrList::Find(const TItemAdr& adr, int* index) const {
  if (searchable_) {
    int r = LowerBound(adr);
    *index = r > 0 ? r - 1 : -r;
    return r > 0;
  }
  int found = LinearFind(adr);
  *index = found >= 0 ? found : count_;
  return found >= 0;
}

int TaItemAdrList::AddObject(const TItemAdr& adr, uint32_t value, TObject* object) {
  TItemAdrEntry entry;
  entry.adr = adr;
  entry.value = value;
  entry.object = object;
  if (Sorted()) {
    int r = LowerBound(adr);
    int pos = r > 0 ? r - 1 : -r;
    if (r > 0) {
      int handled = ApplyDuplicates(pos, entry);
      if (handled >= 0) return handled;
      // Accepted duplicate: after the equal entries.
      while (pos < count_ && items_[static_cast<size_t>(pos)].adr == adr) ++pos;
    }
    InsertAt(pos, entry);
    return pos;
  }
  if (Duplicates() != kDupAccept) {
    int found = LinearFind(adr);
    if (found >= 0) {
      int handled = ApplyDuplicates(found, entry);
      if (handled >= 0) return handled;
    }
  }
  // An entry out of address order ends binary search.
  if (searchable_ && count_ > 0 &&
      CompareAdr(items_[static_cast<size_t>(count_ - 1)], entry, nullptr) > 0)
    searchable_ = false;
  InsertAt(count_, entry);
  return count_ - 1;
}

int TaItemAdrList::Add(const TItemAdr& adr, uint32_t value) {
  return AddObject(adr, value, nullptr);
}

int TaItemAdrList::Insert(int index, const TItemAdrEntry& entry, bool keep_sorted) {
  CheckIndex(index, count_);
  if (Duplicates() != kDupAccept) {
    int found;
    if (Find(entry.adr, &found)) {
      int handled = ApplyDuplicates(found, entry);
      if (handled >= 0) return handled;
    }
  }
  InsertAt(index, entry);
  if (!keep_sorted) {
    Base::SetSorted(false);
    searchable_ = false;
  }
  return index;
}

void TaItemAdrList::Delete(int index) { Base::Delete(index); }

void TaItemAdrList::Sort(CompareFn compare, void* data) {
  if (!compare) compare = &CompareAdr;
  bool address_order = compare == &CompareAdr;
  bool was_sorted = sorted_;
  SortBy(compare, data);
  searchable_ = address_order;
  // Sorting never makes the list sorted (only SetSorted does); a sorted list
  // stays so when the address order was used.
  sorted_ = was_sorted && address_order;
}

void TaItemAdrList::SetSorted(bool sorted) {
  if (sorted) {
    SortBy(&CompareAdr, nullptr);  // marks the list sorted: it is its own order
    searchable_ = true;
  } else {
    Base::SetSorted(false);
  }
}

}  // namespace qdf
