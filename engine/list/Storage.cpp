#include "list/Storage.h"

#include <algorithm>
#include <cstring>

#include "base/ItemArea.h"
#include "base/QdfException.h"
#include "file/FileFormat.h"
#include "list/QHStorage.h"
#include "reader/PageReader.h"

namespace qdf {

QDF_DEFINE_PERSISTENT_CLASS(TQdfStorage, TQdfDataList);

TQdfStorage::TQdfStorage() = default;

const TClassInfo& TQdfStorage::HeaderClass() const { return TQHStorage::kClassInfo; }
TQHStorage* TQdfStorage::Root() const { return static_cast<TQHStorage*>(Header()); }
uint32_t TQdfStorage::SchemaTAN() const { return Root()->SchemaTAN(); }

TQdfStorage::~TQdfStorage() {
  // The tree goes before this store: unlink it so that nothing calls back.
  ForgetStorage();
  for (TQdfPersistentObject* o : instances_) o->SetStorage(nullptr);
  instances_.clear();
  apart_spare_.reset();
}

const uint8_t* TQdfStorage::ReadHeaderItem(const TItemAdr& adr, int* size) {
  uint8_t* item = GetItem(adr);
  if (item == nullptr) return nullptr;
  *size = LoadU16(item);
  return item;
}

void TQdfStorage::WriteHeaderItem(TItemAdr& adr, const uint8_t* item, int size) {
  TQdfPageReader* r = PageReader();
  TReaderUse use(r);
  uint8_t* dest;
  if (adr.IsNull()) {
    dest = AppendItem(size, &adr);
  } else {
    // Edit through the page that really holds the item, so that it is
    // written at the next flush.
    uint8_t* raw = EditItem(adr);
    if (raw == nullptr) throw EQdfException("Struktur-Fehler in DataListBase");
    if (LoadU16(ResolveItem(raw)) != size) {
      dest = ResizeRecord(adr, size);
    } else if ((raw[kRecFlags] & 3) == kRecForwarded) {
      dest = Spare()->EditItem(LoadAdr(raw + kRecLink));
    } else {
      dest = raw;
    }
  }
  // The length word stays the item's own; the rest is the new content.
  std::memcpy(dest + 2, item + 2, static_cast<size_t>(size - 2));
}

void TQdfStorage::DeleteHeaderItem(const TItemAdr& adr) { DeleteItem(adr); }

void TQdfStorage::RecordSchemaChange() {
  if (PageReader() != nullptr) Root()->SetSchemaTAN(PageReader()->TransactionNumber());
}

void TQdfStorage::RegisterInstance(TQdfPersistentObject* instance) {
  if (std::find(instances_.begin(), instances_.end(), instance) == instances_.end()) {
    instances_.push_back(instance);
  }
}

void TQdfStorage::FreeInstancesOf(TQdfPersistentObject* tmpl) {
  for (size_t i = instances_.size(); i-- > 0;) {
    if (i < instances_.size() && instances_[i]->ClassObject() == tmpl) {
      TQdfPersistentObject* o = instances_[i];
      instances_.erase(instances_.begin() + static_cast<std::ptrdiff_t>(i));
      o->SetStorage(nullptr);
    }
  }
}

void TQdfStorage::ObjectRemoved(TQdfPersistentObject* object) {
  instances_.erase(std::remove(instances_.begin(), instances_.end(), object), instances_.end());
}

void TQdfStorage::CreateRoot(TQdfPageReader* reader) {
  SetStorage(this);
  SetPageReader(reader);
  Header()->SetAddress(kNullAdr);
  Header()->ReadHeader(nullptr);
  Header()->SetObjectName("$ROOT");
  TItemAdr adr;
  AppendItem(17, &adr);
  Header()->SetAddress(adr);
  // The first page was made before the storage had an address: name its owner now.
  StoreAdr(PageReader()->EditPage(adr.page) + kPgOwner, adr);
  SaveHeader();
  Header()->SetModified(false);
}

void TQdfStorage::OpenRootHeader(TQdfPageReader* reader) {
  SetStorage(this);
  SetPageReader(reader);
  Header()->SetAddress(RootAddress());
  int size = 0;
  const uint8_t* item = ReadHeaderItem(RootAddress(), &size);
  if (item == nullptr || (item[kRecFlags] & 3) != 0) {
    throw EQdfException("Struktur-Fehler in DataListBase");
  }
  LoadHeader();
  Header()->SetModified(false);
  if (!DL()->SpareAddress().IsNull()) CreateSpare();
}

}  // namespace qdf
