#include "list/DataListBase.h"

#include <algorithm>
#include <cstring>

#include "base/ItemArea.h"
#include "base/QdfException.h"
#include "file/FileFormat.h"
#include "reader/PageReader.h"

namespace qdf {

QDF_DEFINE_PERSISTENT_CLASS(TQdfDataListBase, TQdfItemList);

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;

int StoredClass(const uint8_t* page) { return static_cast<int16_t>(LoadU16(page + kDpFreeClass)); }
void SetStoredClass(uint8_t* page, int k) {
  StoreU16(page + kDpFreeClass, static_cast<uint16_t>(static_cast<int16_t>(k)));
}
int FreeBytes(const uint8_t* page) {
  return TItemArea::OfPage(const_cast<uint8_t*>(page)).Available();
}

}  // namespace

int FreeSpaceClass(int free_bytes) {
  if (free_bytes < 64) return -1;
  int halvings = 0;
  while (free_bytes >= 64) {
    free_bytes /= 2;
    ++halvings;
  }
  return halvings - 1;
}

int TQdfDataListBase::MaxItemSize() const { return kPageSize - kDataPageAreaOffset - 14; }

void TQdfDataListBase::InitPage(uint8_t* page) {
  TQdfPageList::InitPage(page);
  TItemArea::InitDataPage(page, kPageSize);  // link FFFFFFFF, class -1, area at 30
}

void TQdfDataListBase::ClearPages() {
  TQdfItemList::ClearPages();
  for (int k = 0; k < TQHDataListBase::kFreeClasses; ++k)
    DataListBaseHeader()->SetFreeHead(k, kNone);
  DataListBaseHeader()->SetFirstFreePg(kNone);
}

void TQdfDataListBase::RelinkPage(uint32_t page) {
  TQdfPageReader* r = PageReader();
  TReaderUse use(r);
  uint8_t* buf = r->EditPage(page);
  const int now = FreeSpaceClass(FreeBytes(buf));
  const int stored = StoredClass(buf);
  if (now == stored) return;
  if (stored >= 0 && stored < TQHDataListBase::kFreeClasses) {
    const uint32_t next = LoadU32(buf + kDpFreeNext);
    uint32_t pred_page = kNone;
    if (DataListBaseHeader()->FreeHead(stored) == page) {
      DataListBaseHeader()->SetFreeHead(stored, next);
    } else {
      uint8_t* pred = FreeListPredecessor(page, stored, &pred_page);
      if (pred == nullptr) return;
      StoreU32(pred + kDpFreeNext, next);
    }
    if (next != kNone) free_prior_[next] = pred_page;
    free_prior_.erase(page);
  }
  buf = r->EditPage(page);
  if (now >= 0 && now < TQHDataListBase::kFreeClasses) {
    const uint32_t head = DataListBaseHeader()->FreeHead(now);
    StoreU32(buf + kDpFreeNext, head);
    DataListBaseHeader()->SetFreeHead(now, page);
    if (head != kNone) free_prior_[head] = page;
    free_prior_[page] = kNone;
  } else {
    StoreU32(buf + kDpFreeNext, kNone);
  }
  SetStoredClass(buf, now);
}

uint8_t* TQdfDataListBase::FreeListPredecessor(uint32_t page, int k, uint32_t* pred_page) {
  TQdfPageReader* r = PageReader();
  // The remembered predecessor, when it still is one: a page of this list,
  // in the same class, whose link names `page`.
  if (auto it = free_prior_.find(page); it != free_prior_.end() && it->second != kNone) {
    const uint8_t* b = r->GetPage(it->second, kGpRead);
    if (OwnsPage(b) && StoredClass(b) == k && LoadU32(b + kDpFreeNext) == page) {
      *pred_page = it->second;
      return r->EditPage(it->second);
    }
  }
  // Walk the list from its head, remembering every link on the way. The walk
  // is not cut short after a few pages: a page left behind in a list of
  // nearly full pages would keep its space out of reach of larger items for
  // good. It is bounded by the chain's length, so a damaged list cannot make
  // it loop. Pages are only read: just the predecessor found changes.
  uint32_t prev = kNone;
  uint32_t p = DataListBaseHeader()->FreeHead(k);
  for (int64_t i = 0; i <= PageListHeader()->CountPg() && p != kNone; ++i) {
    const uint8_t* b = r->GetPage(p, kGpRead);
    free_prior_[p] = prev;
    const uint32_t next = LoadU32(b + kDpFreeNext);
    if (next == page) {
      *pred_page = p;
      return r->EditPage(p);
    }
    prev = p;
    p = next;
  }
  return nullptr;
}

void TQdfDataListBase::RebuildFreeLists() {
  TQdfPageReader* r = PageReader();
  TReaderUse use(r);
  free_prior_.clear();
  for (int k = 0; k < TQHDataListBase::kFreeClasses; ++k)
    DataListBaseHeader()->SetFreeHead(k, kNone);
  DataListBaseHeader()->SetFirstFreePg(kNone);
  uint32_t page = PageListHeader()->FirstPg();
  for (int64_t guard = 0; page != kNone && guard <= PageListHeader()->CountPg(); ++guard) {
    uint8_t* buf = r->EditPage(page);
    const int k = FreeSpaceClass(FreeBytes(buf));
    if (k >= 0 && k < TQHDataListBase::kFreeClasses) {
      StoreU32(buf + kDpFreeNext, DataListBaseHeader()->FreeHead(k));
      DataListBaseHeader()->SetFreeHead(k, page);
    } else {
      StoreU32(buf + kDpFreeNext, kNone);
    }
    SetStoredClass(buf, k);
    page = LoadU32(buf + kPgNext);
  }
}

uint32_t TQdfDataListBase::FindPageWithRoom(int size) {
  TQdfPageReader* r = PageReader();
  const int c = FreeSpaceClass(size);
  const int s = std::min(c + 1, TQHDataListBase::kFreeClasses - 1);
  const int bound = PageListHeader()->CountPg() < 21 ? PageListHeader()->CountPg() : 30;
  bool rebuilt = false;
  for (int k = TQHDataListBase::kFreeClasses - 1; k >= std::max(s, 0); --k) {
    uint32_t page = DataListBaseHeader()->FreeHead(k);
    int passed = 0;
    while (page != kNone) {
      uint8_t* buf = r->EditPage(page);
      if (StoredClass(buf) != k) {
        // The lists disagree with the pages: rebuild once, restart this list.
        if (rebuilt) break;
        rebuilt = true;
        RebuildFreeLists();
        page = DataListBaseHeader()->FreeHead(k);
        passed = 0;
        continue;
      }
      if (FreeBytes(buf) >= size) return page;
      const uint32_t next = LoadU32(buf + kDpFreeNext);
      if (FreeSpaceClass(FreeBytes(buf)) != k) RelinkPage(page);
      if (++passed > bound) break;
      page = next;
    }
  }
  return kNone;
}

uint8_t* TQdfDataListBase::PlaceInPage(uint32_t page, int size, TItemAdr* adr) {
  TQdfPageReader* r = PageReader();
  uint8_t* buf = r->EditPage(page);
  TItemArea area = TItemArea::OfPage(buf);
  if (area.Available() < size) throw EQdfException("Struktur-Fehler in DataListBase");
  uint8_t* item;
  int slot;
  if (DataListBaseHeader()->ReuseAddresses()) {
    item = area.AddItemReuse(size, &slot);
  } else {
    item = area.AddItem(size, -1);
    slot = area.SlotCount() - 1;
  }
  if (item == nullptr) throw EQdfException("Struktur-Fehler in DataListBase");
  std::memset(item + 2, 0, static_cast<size_t>(size - 2));
  if (adr) *adr = TItemAdr{page, static_cast<uint16_t>(slot)};
  ItemListHeader()->SetCountIt(ItemListHeader()->CountIt() + 1);
  return item;
}

uint8_t* TQdfDataListBase::AppendItem(int size, TItemAdr* adr) {
  if (size < 2 || size > MaxItemSize()) {
    throw EQdfException(Format("Item of %d bytes does not fit a page", size));
  }
  TQdfPageReader* r = PageReader();
  TReaderUse use(r);
  uint32_t page = FindPageWithRoom(size);
  if (page == kNone) {
    page = PageListHeader()->LastPg();
    if (page == kNone || FreeBytes(r->EditPage(page)) < size)
      page = InsertPageAfter(PageListHeader()->LastPg());
  }
  TItemAdr where;
  PlaceInPage(page, size, &where);
  RelinkPage(page);
  if (adr) *adr = where;
  // Relinking does not move items; the pointer is still good inside the bracket.
  return TItemArea::OfPage(r->EditPage(page)).ItemAt(where.slot);
}

void TQdfDataListBase::DeleteItem(const TItemAdr& adr) {
  TQdfPageReader* r = PageReader();
  TReaderUse use(r);
  uint8_t* buf;
  try {
    buf = r->EditPage(adr.page);
  } catch (const EQdfException&) {
    throw EQdfException("Fehler in der TQdfDataListBase Struktur");
  }
  TItemArea area = TItemArea::OfPage(buf);
  if (!OwnsPage(buf) || area.ItemAt(adr.slot) == nullptr) {
    throw EQdfException("Fehler in der TQdfDataListBase Struktur");
  }
  if (DataListBaseHeader()->ReuseAddresses()) {
    area.FreeItemTrim(adr.slot);
  } else {
    area.FreeItem(adr.slot);
  }
  ItemListHeader()->SetCountIt(ItemListHeader()->CountIt() - 1);
  // A page that was full would otherwise never be searched again.
  RelinkPage(adr.page);
}

uint8_t* TQdfDataListBase::ResizeItem(TItemAdr& adr, int new_size) {
  TQdfPageReader* r = PageReader();
  TReaderUse use(r);
  uint8_t* buf = r->EditPage(adr.page);
  TItemArea area = TItemArea::OfPage(buf);
  QDF_ASSERT(area.ItemAt(adr.slot) != nullptr, "QdfList");
  if (area.ResizeItem(adr.slot, new_size) != nullptr) {
    ItemListHeader()->ItemChanged();
    RelinkPage(adr.page);
    return TItemArea::OfPage(r->EditPage(adr.page)).ItemAt(adr.slot);
  }
  // Move: copy the bytes after the length word, up to the shorter length.
  uint8_t saved[kPageSize];
  const int old_size = area.ItemLength(adr.slot);
  std::memcpy(saved, area.ItemAt(adr.slot), static_cast<size_t>(old_size));
  TItemAdr moved;
  uint8_t* item = AppendItem(new_size, &moved);
  std::memcpy(item + 2, saved + 2, static_cast<size_t>(std::min(old_size, new_size) - 2));
  DeleteItem(adr);
  adr = moved;
  return TItemArea::OfPage(r->EditPage(adr.page)).ItemAt(adr.slot);
}

}  // namespace qdf
