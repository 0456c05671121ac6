#include "list/Storage.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "base/ItemArea.h"
#include "base/QdfException.h"
#include "file/FileFormat.h"
#include "list/ItemClass.h"
#include "list/PersistentObjectFactory.h"
#include "list/Index.h"
#include "list/QHStorage.h"
#include "list/Table.h"
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

namespace {
bool AdrBefore(const TItemAdr& a, const TItemAdr& b) {
  return a.page != b.page ? a.page < b.page : a.slot < b.slot;
}
}  // namespace

TQdfPersistentObject* TQdfStorage::ObjectAt(const TItemAdr& adr) const {
  auto it = std::lower_bound(address_table_.begin(), address_table_.end(), adr,
                             [](const auto& e, const TItemAdr& a) { return AdrBefore(e.first, a); });
  return it != address_table_.end() && it->first == adr ? it->second : nullptr;
}

void TQdfStorage::LoadObjectTree() {
  if (!instances_.empty()) throw EQdfException("Struktur kann nicht neu eingelesen werden");
  address_table_.clear();
  while (ObjectsCount() > 0) {
    TQdfPersistentObject* child = ChildAt(ObjectsCount() - 1);
    RemoveChild(child);
    delete child;
  }
  // Create every object from its header item.
  std::vector<std::unique_ptr<TQdfPersistentObject>> loaded;
  const TItemAdr spare = DL()->SpareAddress();
  TItemAdr adr = kBeforeFirstAdr;
  while (const uint8_t* item = NextItem(adr)) {
    if (adr == Address() || adr == spare) continue;  // the root and its $SPARE stay apart
    const int size = LoadU16(item);
    std::string class_name;
    if (size > kRecordPrefixSize + 2 &&
        ValidPackedItem(item + kRecordPrefixSize, static_cast<size_t>(size - kRecordPrefixSize))) {
      int len = 0;
      const uint8_t* section = GetField(item + kRecordPrefixSize, 0, &len);
      if (section != nullptr && ValidPackedItem(section, static_cast<size_t>(len))) {
        class_name = GetFieldText(section, 3);
      }
    }
    std::unique_ptr<TObject> made = TQdfPersistentObjectFactory::Instance().CreateObject(class_name);
    auto* object = dynamic_cast<TQdfPersistentObject*>(made.get());
    if (object == nullptr) throw EQdfException(Format("Cannot create %s", class_name.c_str()));
    made.release();
    loaded.emplace_back(object);
    object->SetStorage(this);
    object->SetPageReader(PageReader());
    object->Header()->SetAddress(adr);
  }
  for (auto& o : loaded) o->LoadHeader();
  std::sort(loaded.begin(), loaded.end(), [](const auto& a, const auto& b) {
    return AdrBefore(a->Address(), b->Address());
  });
  for (auto& o : loaded) address_table_.emplace_back(o->Address(), o.get());
  // Link in the order of the stored positions; whatever finds no parent
  // (also through a parent that is itself an orphan) is an orphan.
  std::vector<TQdfPersistentObject*> order;
  for (auto& o : loaded) order.push_back(o.get());
  std::stable_sort(order.begin(), order.end(), [](const auto* a, const auto* b) {
    return a->Header()->ParentIndex() < b->Header()->ParentIndex();
  });
  std::vector<TQdfPersistentObject*> attached;
  std::vector<bool> done(order.size(), false);
  for (bool progress = true; progress;) {
    progress = false;
    for (size_t i = 0; i < order.size(); ++i) {
      if (done[i]) continue;
      TQdfPersistentObject* o = order[i];
      const TItemAdr parent_adr = o->Header()->ParentAddress();
      TQdfPersistentObject* parent = parent_adr == Address() ? this : ObjectAt(parent_adr);
      if (parent == nullptr || (parent != this && parent->Parent() == nullptr)) continue;
      o->SetParent(parent);
      done[i] = true;
      progress = true;
    }
  }
  for (auto& o : loaded) {
    TQdfPersistentObject* raw = o.get();
    if (raw->Parent() != nullptr) {
      o.release();  // its parent owns it now
      continue;
    }
    if (CanWrite()) {
      try {
        DeleteHeaderItem(raw->Address());
      } catch (const EQdfException& e) {
        if (e.HelpContext() != kHelpReadOnlyReader) throw;  // no write transaction: keep it
      }
    }
    ObjectRemoved(raw);
    address_table_.erase(std::remove_if(address_table_.begin(), address_table_.end(),
                                        [raw](const auto& e) { return e.second == raw; }),
                         address_table_.end());
  }
  // Finish bottom-up and start clean.
  std::function<void(TQdfPersistentObject*)> finish = [&](TQdfPersistentObject* node) {
    for (int i = 0; i < node->ObjectsCount(); ++i) finish(node->ChildAt(i));
    node->Header()->SetModified(false);
    node->Loaded();
  };
  for (int i = 0; i < ObjectsCount(); ++i) finish(ChildAt(i));
}

// ---- objects by name ----

std::unique_ptr<TQdfPersistentObject> TQdfStorage::ObjectByPath(std::string_view path,
                                                                TQdfPersistentObject* start) {
  TQdfPersistentObject* from = start != nullptr ? start : this;
  const size_t dot = path.find('.');
  const std::string_view first = path.substr(0, dot);
  TQdfPersistentObject* found = from->ChildByName(first);
  if (found == nullptr && from->IsKindOf(TQdfItemClass::kClassInfo)) {
    found = static_cast<TQdfItemClass*>(from)->ClassByName(first);
  }
  if (found == nullptr) {
    throw EQdfException("Objekt: " + std::string(path) + " existiert nicht.");
  }
  std::unique_ptr<TQdfPersistentObject> instance(found->CreateInstance(from == this ? this : nullptr,
                                                                        this, PageReader()));
  if (dot == std::string_view::npos) return instance;
  // The rest names a child (or class) of the instance: it is handed out on its
  // own, the instance it was found in goes.
  const std::string_view rest = path.substr(dot + 1);
  TQdfPersistentObject* inner = instance->ChildByPath(rest);
  if (inner == nullptr && instance->IsKindOf(TQdfItemClass::kClassInfo)) {
    inner = static_cast<TQdfItemClass*>(instance.get())->ClassByName(rest);
  }
  if (inner == nullptr) return nullptr;
  std::unique_ptr<TQdfPersistentObject> result(
      inner->ClassObject()->CreateInstance(this, this, PageReader()));
  return result;
}

std::unique_ptr<TQdfTable> TQdfStorage::TableByName(std::string_view name) {
  std::unique_ptr<TQdfPersistentObject> object = ObjectByPath(name);
  if (object == nullptr || !object->IsKindOf(TQdfTable::kClassInfo)) {
    throw EQdfException(std::string(name) + " ist keine Tabelle");
  }
  return std::unique_ptr<TQdfTable>(static_cast<TQdfTable*>(object.release()));
}

TQdfItemClass* TQdfStorage::ClassByPath(std::string_view path) const {
  const size_t dot = path.find('.');
  TQdfPersistentObject* first = ChildByName(path.substr(0, dot));
  if (first == nullptr || !first->IsKindOf(TQdfItemClass::kClassInfo)) return nullptr;
  auto* cls = static_cast<TQdfItemClass*>(first);
  if (dot == std::string_view::npos) return cls;
  return cls->ClassByName(path.substr(dot + 1));
}

TQdfPersistentObject* TQdfStorage::FindInstance(const TQdfPersistentObject* tmpl) const {
  for (TQdfPersistentObject* o : instances_) {
    if (o->ClassObject() == tmpl) return o;
  }
  return nullptr;
}

// ---- schema statements ----

TQdfPersistentObject* TQdfStorage::Top() const {
  return parent_stack_.empty() ? const_cast<TQdfStorage*>(this) : parent_stack_.back();
}

void TQdfStorage::Pop() {
  if (parent_stack_.empty()) return;
  RecordSchemaChange();
  TQdfPersistentObject* top = parent_stack_.back();
  parent_stack_.pop_back();
  if (parent_stack_.empty()) StoreModified();
  top->Loaded();
}

void TQdfStorage::PopUntil(TQdfPersistentObject* object) {
  while (!parent_stack_.empty()) {
    TQdfPersistentObject* top = parent_stack_.back();
    Pop();
    if (top == object) break;
  }
}

void TQdfStorage::PushParent(TQdfPersistentObject* object) {
  PopUntil(nullptr);
  parent_stack_.push_back(object->ClassObject());
}

TQdfPersistentObject* TQdfStorage::CreateSchemaObject(const std::string& class_name,
                                                      const std::string& object_name,
                                                      bool pop_at_once) {
  TQdfPersistentObject* parent = Top();
  if (parent->ChildByName(object_name) != nullptr) {
    throw EQdfException(object_name + " existiert bereits in " + parent->ObjectName());
  }
  std::unique_ptr<TObject> made = TQdfPersistentObjectFactory::Instance().CreateObject(class_name);
  auto* object = dynamic_cast<TQdfPersistentObject*>(made.get());
  if (object == nullptr) {
    throw EQdfException("Class: " + class_name + " kann nicht generiert werden");
  }
  made.release();
  object->SetStorage(this);
  object->SetPageReader(PageReader());
  object->Header()->SetAddress(kNullAdr);
  object->Header()->SetObjectName(object_name);
  object->SetParent(parent);
  if (object->IsKindOf(TQdfItemClass::kClassInfo)) {
    if (parent == this) {
      static_cast<TQdfItemClass*>(object)->BuildStructure(0);
    } else if (parent->IsKindOf(TQdfItemClass::kClassInfo)) {
      TQdfItemClass* root = static_cast<TQdfItemClass*>(parent)->RootClass();
      if (root != nullptr) root->BuildStructure(0);
    }
  }
  object->SaveHeader();
  parent_stack_.push_back(object);
  if (pop_at_once) Pop();
  return object;
}

void TQdfStorage::StoreModified() {
  if (!CanWrite() || nesting_count != 0) return;
  const bool unchanged = PageReader()->TransactionNumber() != SchemaTAN();
  if (Spare() != nullptr) Spare()->Flush(false);
  Flush(unchanged);
}

void TQdfStorage::Refresh(bool skip_schema) {
  Reload(skip_schema);
  if (Spare() != nullptr) Spare()->Reload(false);
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

namespace qdf {

// ---- being built ----
void TQdfStorage::OpenRoot(TQdfPageReader*) { throw EQdfException("OpenRoot is being built"); }
bool TQdfStorage::InsertIDEntry(const TObjectID&, const TItemAdr&) { return true; }
bool TQdfStorage::DeleteIDEntry(const TObjectID&) { return true; }
bool TQdfStorage::AddressOfID(const TObjectID&, TItemAdr* adr) { *adr = kNullAdr; return false; }
TQdfTable* TQdfStorage::RecordAt(const TItemAdr&) { return nullptr; }
TQdfTable* TQdfStorage::RecordByID(const TObjectID&) { return nullptr; }
int TQdfStorage::RebuildIDIndex(bool) { return 0; }
void TQdfStorage::RebuildIndexAt(std::string_view) {}
std::string TQdfStorage::ItemClassStatements(const TClassInfo&, const std::string&) const { return {}; }
void TQdfStorage::GenerateItemClasses(const TClassInfo&, const std::string&) {}
void TQdfStorage::Bootstrap() {}
void TQdfStorage::BindSystemObjects() {}

}  // namespace qdf
