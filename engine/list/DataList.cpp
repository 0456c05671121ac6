#include "list/DataList.h"

#include <algorithm>
#include <cstring>

#include "base/ItemArea.h"
#include "base/QdfException.h"
#include "file/FileFormat.h"
#include "reader/PageReader.h"

namespace qdf {

QDF_DEFINE_PERSISTENT_CLASS(TQdfDataList, TQdfDataListBase);

namespace {
constexpr const char* kSpareName = "$SPARE";

[[noreturn]] void StructureError() { throw EQdfException("Struktur-Fehler in DataListBase"); }
}  // namespace

void TQdfDataList::Loaded() {
  TQdfDataListBase::Loaded();
  if (spare_ == nullptr) {
    spare_ = static_cast<TQdfDataListBase*>(ChildByName(kSpareName));
  }
}

void TQdfDataList::LoadHeader() {
  TQdfDataListBase::LoadHeader();
  if (spare_ != nullptr) spare_->Header()->SetAddress(DataListHeader()->SpareAddress());
}

void TQdfDataList::CreateSpare() {
  TQdfDataList* tmpl = static_cast<TQdfDataList*>(ClassObject());
  TQdfPersistentObject* spare_class =
      (!IsTemplate() && tmpl != nullptr && tmpl != this) ? tmpl->spare_ : nullptr;
  std::unique_ptr<TQdfPersistentObject> made =
      TQdfPersistentObject::Create(TQdfDataListBase::kClassInfo, spare_class);
  auto* sp = static_cast<TQdfDataListBase*>(made.get());
  const TItemAdr stored = DataListHeader()->SpareAddress();
  sp->Header()->SetAddress(stored);
  sp->SetStorage(Storage());
  sp->SetPageReader(PageReader());
  sp->LoadHeader();
  if (KeepSpareApart()) {
    apart_spare_.reset(static_cast<TQdfDataListBase*>(made.release()));
  } else {
    made.release()->SetParent(this);
  }
  spare_ = sp;
  if (stored.IsNull()) {
    sp->Header()->SetObjectName(kSpareName);
    sp->Header()->SetParentAddress(Address());
    sp->SaveHeader();
    sp->Header()->SetModified(false);
    DataListHeader()->SetSpareAddress(sp->Address());
  }
}

void TQdfDataList::SaveHeader() {
  if (spare_ == nullptr) {
    if (Address().IsNull()) TQdfDataListBase::SaveHeader();
    CreateSpare();
  }
  DataListHeader()->SetSpareAddress(spare_->Address());
  TQdfDataListBase::SaveHeader();
}

void TQdfDataList::ClearPages() {
  TQdfDataListBase::ClearPages();
  if (spare_ != nullptr) spare_->ClearPages();
}

void TQdfDataList::ClearData() {
  if (spare_ != nullptr) {
    TQdfDataListBase* sp = spare_;
    spare_ = nullptr;
    if (apart_spare_) {
      sp->ClearData();
      if (sp->Storage() != nullptr && !sp->Address().IsNull()) {
        sp->Storage()->DeleteHeaderItem(sp->Address());
      }
      apart_spare_.reset();
    } else {
      sp->DeleteObject();
    }
  }
  TQdfDataListBase::ClearData();
}

uint8_t* TQdfDataList::ResolveItem(uint8_t* item) {
  const uint8_t flags = item[kRecFlags] & 3;
  const int length = LoadU16(item);
  if (flags == kRecForwarded) {
    if (length < kStubSize || spare_ == nullptr) StructureError();
    uint8_t* target = spare_->GetItem(LoadAdr(item + kRecLink));
    // One hop only: a $SPARE item is never forwarded again.
    if (target == nullptr || (target[kRecFlags] & 3) == kRecForwarded) StructureError();
    return target;
  }
  if (flags == kRecInPacked) {
    // The body is a field of a packed item inside the item itself.
    if (length < kRecordPrefixSize) StructureError();
    const int offset = LoadU16(item + kRecBodyOffset);
    const int field = LoadU16(item + kRecFieldIndex);
    if (offset < kRecordPrefixSize || offset + 2 > length ||
        !ValidPackedItem(item + offset, static_cast<size_t>(length - offset)) ||
        field >= FieldCount(item + offset)) {
      StructureError();
    }
  }
  return item;
}

void TQdfDataList::DeleteItem(const TItemAdr& adr) {
  TQdfPageReader* r = PageReader();
  TReaderUse use(r);
  uint8_t* buf = r->EditPage(adr.page);
  uint8_t* item = TItemArea::OfPage(buf).ItemAt(adr.slot);
  if (item != nullptr && (item[kRecFlags] & 3) == kRecForwarded && spare_ != nullptr) {
    const TItemAdr spare_adr = LoadAdr(item + kRecLink);
    spare_->DeleteItem(spare_adr);
  }
  TQdfDataListBase::DeleteItem(adr);
}

uint8_t* TQdfDataList::ResizeRecord(const TItemAdr& adr, int new_size) {
  TQdfPageReader* r = PageReader();
  TReaderUse use(r);
  uint8_t* buf = r->EditPage(adr.page);
  TItemArea area = TItemArea::OfPage(buf);
  uint8_t* item = area.ItemAt(adr.slot);
  QDF_ASSERT(item != nullptr, "QdfList");
  if (spare_ == nullptr) CreateSpare();
  uint8_t* result;
  if ((item[kRecFlags] & 3) != kRecForwarded) {
    if (uint8_t* grown = area.ResizeItem(adr.slot, new_size)) {
      result = grown;
      RelinkPage(adr.page);
    } else {
      // Move the body into $SPARE; copy what follows the length word.
      uint8_t saved[kPageSize];
      const int old_size = LoadU16(item);
      std::memcpy(saved, item, static_cast<size_t>(old_size));
      TItemAdr spare_adr;
      uint8_t* moved = spare_->AppendItem(new_size, &spare_adr);
      std::memcpy(moved + 2, saved + 2, static_cast<size_t>(std::min(old_size, new_size) - 2));
      moved[kRecFlags] = 0;
      uint8_t* stub = TItemArea::OfPage(r->EditPage(adr.page)).ResizeItem(adr.slot, kStubSize);
      QDF_ASSERT(stub != nullptr, "QdfList");
      stub[kRecFlags] = kRecForwarded;
      StoreAdr(stub + kRecLink, spare_adr);
      RelinkPage(adr.page);
      result = spare_->GetItem(spare_adr);
    }
  } else {
    TItemAdr spare_adr = LoadAdr(item + kRecLink);
    const TItemAdr before = spare_adr;
    result = spare_->ResizeItem(spare_adr, new_size);
    result[kRecFlags] = 0;
    if (!(spare_adr == before)) {
      uint8_t* stub = TItemArea::OfPage(r->EditPage(adr.page)).ItemAt(adr.slot);
      StoreAdr(stub + kRecLink, spare_adr);
      result = spare_->GetItem(spare_adr);
    }
  }
  ItemListHeader()->ItemChanged();
  return result;
}

}  // namespace qdf
