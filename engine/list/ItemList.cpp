#include "list/ItemList.h"

#include <cstring>

#include "base/ItemArea.h"
#include "base/PackedItem.h"
#include "base/QdfException.h"
#include "file/FileFormat.h"
#include "reader/PageReader.h"

namespace qdf {

QDF_DEFINE_PERSISTENT_CLASS(TQdfItemList, TQdfPageList);

// ---- cursor ----

TQdfItemProvider::TQdfItemProvider(TQdfItemList* list, int body_offset, const TItemAdr& start)
    : list_(list), body_offset_(body_offset) {
  if (!start.IsNull()) SetAddress(start);
}

void TQdfItemProvider::SetAddress(const TItemAdr& adr) {
  if (adr == address_ && stamp_ == ItemLayoutStamp() && item_ != nullptr) return;
  address_ = adr;
  Refresh();
}

void TQdfItemProvider::Refresh() {
  item_ = nullptr;
  if (address_.page == kNoPage || list_ == nullptr) {
    stamp_ = ItemLayoutStamp();
    return;
  }
  list_->ReadItem(*this);
}

void TQdfItemProvider::Fill(uint8_t* item) {
  item_ = item;
  stamp_ = ItemLayoutStamp();
  changed = true;
}

uint8_t* TQdfItemProvider::Item() {
  if (stamp_ != ItemLayoutStamp()) Refresh();
  return item_;
}

uint8_t* TQdfItemProvider::Body() {
  uint8_t* item = Item();
  return item ? item + body_offset_ : nullptr;
}

const uint8_t* TQdfItemProvider::Field(int index, int* length) {
  *length = 0;
  uint8_t* body = Body();
  if (body == nullptr) return nullptr;
  return GetField(body, index, length);
}

// ---- list ----

TQdfItemList::TQdfItemList() : cursor_(std::make_unique<TQdfItemProvider>(this, 13)) {}
TQdfItemList::~TQdfItemList() = default;

int TQdfItemList::MaxItemSize() const {
  // Area of an item page: header 10 bytes, one slot, two bytes kept free.
  return kPageSize - kItemPageAreaOffset - 14;
}

void TQdfItemList::InitPage(uint8_t* page) {
  TQdfPageList::InitPage(page);
  TItemArea::InitItemPage(page, kPageSize);
  // InitItemPage set the size word; the list's own fields stay.
}

void TQdfItemList::ClearPages() {
  TQdfPageList::ClearPages();
  ItemListHeader()->SetCountIt(0);
  ItemListHeader()->SetUpdateCount(0);
}

uint8_t* TQdfItemList::AppendItem(int size, TItemAdr* adr) {
  if (size < 2 || size > MaxItemSize()) {
    throw EQdfException(Format("Item of %d bytes does not fit a page", size));
  }
  TQdfPageReader* r = PageReader();
  TReaderUse use(r);
  uint32_t page = PageListHeader()->LastPg();
  uint8_t* buf = nullptr;
  if (page != kNoPage) {
    buf = r->EditPage(page);
    if (TItemArea::OfPage(buf).Available() < size) buf = nullptr;
  }
  if (buf == nullptr) {
    page = InsertPageAfter(PageListHeader()->LastPg());
    buf = r->EditPage(page);
  }
  TItemArea area = TItemArea::OfPage(buf);
  uint8_t* item = area.AddItem(size, -1);
  std::memset(item + 2, 0, static_cast<size_t>(size - 2));
  if (adr) *adr = TItemAdr{page, static_cast<uint16_t>(area.SlotCount() - 1)};
  ItemListHeader()->SetCountIt(ItemListHeader()->CountIt() + 1);
  return item;
}

uint8_t* TQdfItemList::AppendCopy(const uint8_t* item, TItemAdr* adr) {
  const int size = LoadU16(item);
  // The source may lie in a page of this list: keep a copy.
  uint8_t copy[kPageSize];
  std::memcpy(copy, item, static_cast<size_t>(size));
  uint8_t* dest = AppendItem(size, adr);
  std::memcpy(dest + 2, copy + 2, static_cast<size_t>(size - 2));
  return dest;
}

void TQdfItemList::DeleteItem(const TItemAdr& adr) {
  TQdfPageReader* r = PageReader();
  TReaderUse use(r);
  uint8_t* buf = r->EditPage(adr.page);
  TItemArea area = TItemArea::OfPage(buf);
  if (!OwnsPage(buf) || !area.DeleteSlot(adr.slot)) {
    eof_ = bof_ = true;
    return;
  }
  ItemListHeader()->SetCountIt(ItemListHeader()->CountIt() - 1);
  if (area.SlotCount() == 0) FreePage(adr.page);
}

uint8_t* TQdfItemList::ResolveItem(uint8_t* item) { return item; }

void TQdfItemList::ReadItem(TQdfItemProvider& provider) {
  provider.Fill(GetItem(provider.Address()));
}

uint8_t* TQdfItemList::GetItem(const TItemAdr& adr) {
  eof_ = bof_ = false;
  if (adr.page == kNoPage) {
    eof_ = bof_ = true;
    return nullptr;
  }
  // A page that cannot be read raises; an address whose page now belongs to
  // another list or holds no item there names no item (a stale address).
  uint8_t* buf = PageReader()->GetPage(adr.page, kGpRead);
  if (!OwnsPage(buf) || LoadU16(buf + kPgAreaOffset) == 0) {
    eof_ = bof_ = true;
    return nullptr;
  }
  uint8_t* item = TItemArea::OfPage(buf).ItemAt(adr.slot);
  if (item == nullptr) {
    eof_ = bof_ = true;
    return nullptr;
  }
  return ResolveItem(item);
}

uint8_t* TQdfItemList::EditItem(const TItemAdr& adr) {
  uint8_t* buf = PageReader()->EditPage(adr.page);
  // An address from a damaged file may name a page of another list or one
  // without an item area: there is no item to change.
  if (!OwnsPage(buf) || LoadU16(buf + kPgAreaOffset) == 0) {
    throw EQdfException("Access Violation at " + AdrToText(adr) + ": not an item page of " +
                        ObjectName());
  }
  TItemArea area = TItemArea::OfPage(buf);
  if (adr.slot >= area.SlotCount()) throw EQdfException("Access Violation at " + AdrToText(adr));
  ItemListHeader()->ItemChanged();
  return area.ItemAt(adr.slot);
}

uint8_t* TQdfItemList::WalkPage(TQdfPageReader* r, uint32_t page, bool linked) {
  uint8_t* buf = r->GetPage(page, kGpRead);
  if (OwnsPage(buf) && (LoadU16(buf + kPgFlags) & kPageNotLive) == 0 &&
      LoadU16(buf + kPgAreaOffset) != 0) {
    return buf;
  }
  if (linked) ChainDamaged(page, "is not one of its item pages");
  return nullptr;
}

uint8_t* TQdfItemList::NextItem(TItemAdr& adr) {
  TQdfPageReader* r = PageReader();
  uint32_t page;
  int slot;
  if (adr == kBeforeFirstAdr) {
    page = PageListHeader()->FirstPg();
    slot = -1;
  } else {
    page = adr.page;
    slot = adr.slot == 0xFFFF ? -1 : adr.slot;
  }
  // A damaged chain (a loop) is never followed for more pages than it counts.
  int64_t pages_left = static_cast<int64_t>(PageListHeader()->CountPg()) + 1;
  for (bool linked = adr == kBeforeFirstAdr; page != kNoPage; linked = true) {
    if (pages_left-- <= 0) ChainDamaged(page, "lies beyond the number of pages it counts");
    uint8_t* buf = WalkPage(r, page, linked);
    if (buf == nullptr) break;
    TItemArea area = TItemArea::OfPage(buf);
    for (++slot; slot < area.SlotCount(); ++slot) {
      if (uint8_t* item = area.ItemAt(slot)) {
        adr = TItemAdr{page, static_cast<uint16_t>(slot)};
        eof_ = false;
        return ResolveItem(item);
      }
    }
    page = LoadU32(buf + kPgNext);
    slot = -1;
  }
  adr = kNullAdr;
  eof_ = true;
  return nullptr;
}

uint8_t* TQdfItemList::PriorItem(TItemAdr& adr) {
  TQdfPageReader* r = PageReader();
  uint32_t page;
  int slot;
  if (adr.IsNull()) {
    page = PageListHeader()->LastPg();
    slot = INT32_MAX;
  } else {
    page = adr.page;
    slot = adr.slot;
  }
  int64_t pages_left = static_cast<int64_t>(PageListHeader()->CountPg()) + 1;
  for (bool linked = adr.IsNull(); page != kNoPage && page != kBeforeFirstAdr.page; linked = true) {
    if (pages_left-- <= 0) ChainDamaged(page, "lies beyond the number of pages it counts");
    uint8_t* buf = WalkPage(r, page, linked);
    if (buf == nullptr) break;
    TItemArea area = TItemArea::OfPage(buf);
    if (slot > area.SlotCount()) slot = area.SlotCount();
    for (--slot; slot >= 0; --slot) {
      if (uint8_t* item = area.ItemAt(slot)) {
        adr = TItemAdr{page, static_cast<uint16_t>(slot)};
        bof_ = false;
        return ResolveItem(item);
      }
    }
    page = LoadU32(buf + kPgPrior);
    slot = INT32_MAX;
  }
  adr = kBeforeFirstAdr;
  bof_ = true;
  return nullptr;
}

void TQdfItemList::Cancel() {
  mode_ = kModeBrowse;
  cursor_->mode = kModeBrowse;
}

void TQdfItemList::First() {
  TItemAdr adr = kBeforeFirstAdr;
  NextItem(adr);
  cursor_->SetAddress(adr);
}

void TQdfItemList::Next() {
  TItemAdr adr = cursor_->Address();
  if (adr.IsNull()) return;
  NextItem(adr);
  cursor_->SetAddress(adr);
}

void TQdfItemList::DeleteCurrent() {
  const TItemAdr current = cursor_->Address();
  if (current.page == kNoPage) return;
  TItemAdr before = current;
  PriorItem(before);
  DeleteItem(current);
  // Slots after the deleted one may have moved down: continue after the
  // predecessor (or from the start).
  TItemAdr next = before;
  NextItem(next);
  cursor_->SetAddress(next);
  cursor_->Refresh();
}

}  // namespace qdf
