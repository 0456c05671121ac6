#include "storage/Storage.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "base/ItemArea.h"
#include "base/QdfException.h"
#include "file/FileFormat.h"
#include "file/IndirectPageReader.h"
#include "file/LocalFiler.h"
#include "list/KeyCompare.h"
#include "object/PersistentObjectFactory.h"
#include "object/QHStorage.h"
#include "reader/PageReader.h"
#include "record/BlobClass.h"
#include "record/IndexObject.h"
#include "record/ItemClass.h"
#include "table/Index.h"
#include "table/Table.h"
#include "table/TableClasses.h"

namespace qdf {

QDF_DEFINE_PERSISTENT_CLASS(TQdfStorage, TQdfDataList);

// A storage loads tables, indexes and fields by their class names.
TQdfStorage::TQdfStorage() { UseTableClasses(); }

const TClassInfo& TQdfStorage::HeaderClass() const { return TQHStorage::kClassInfo; }
TQHStorage* TQdfStorage::Root() const { return static_cast<TQHStorage*>(Header()); }
uint32_t TQdfStorage::SchemaTAN() const { return Root()->SchemaTAN(); }

TQdfStorage::~TQdfStorage() {
  ReleaseSystemObjects();
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
  address_table_.erase(std::remove_if(address_table_.begin(), address_table_.end(),
                                      [object](const auto& e) { return e.second == object; }),
                       address_table_.end());
}

namespace {
bool AdrBefore(const TItemAdr& a, const TItemAdr& b) {
  return a.page != b.page ? a.page < b.page : a.slot < b.slot;
}
}  // namespace

TQdfPersistentObject* TQdfStorage::ObjectAt(const TItemAdr& adr) const {
  auto it =
      std::lower_bound(address_table_.begin(), address_table_.end(), adr,
                       [](const auto& e, const TItemAdr& a) { return AdrBefore(e.first, a); });
  return it != address_table_.end() && it->first == adr ? it->second : nullptr;
}

void TQdfStorage::LoadObjectTree() {
  // The storage's own instances of $ID and $BLOB go with the old tree; any
  // other working instance still refers to it.
  for (TQdfPersistentObject* o : instances_) {
    if (o != id_index_.get() && o != blob_table_.get()) {
      throw EQdfException("Struktur kann nicht neu eingelesen werden");
    }
  }
  // A write transaction of this reader allocates file space through the free
  // list of its database ($FREE_LIST, an object of this tree): the filer
  // keeps using that object until the transaction ends.
  if (auto* reader = dynamic_cast<TQdfIndirectPageReader*>(PageReader());
      reader != nullptr && reader->Filer()->IsLocal()) {
    auto* local = static_cast<TQdfLocalFiler*>(reader->Filer());
    if (local->WriteOwner() == reader && local->FreeSpace() != nullptr) {
      throw EQdfException(local->Name() +
                          ": the object tree cannot be loaded again inside the running write "
                          "transaction, its free list is in use; commit or roll back first");
    }
  }
  ReleaseSystemObjects();
  address_table_.clear();
  while (ObjectsCount() > 0) {
    TQdfPersistentObject* child = ChildAt(ObjectsCount() - 1);
    RemoveChild(child);
    delete child;
  }
  // Create every object from its header item.
  std::vector<std::unique_ptr<TQdfPersistentObject>> loaded;
  const TItemAdr spare = DataListHeader()->SpareAddress();
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
    std::unique_ptr<TObject> made =
        TQdfPersistentObjectFactory::Instance().CreateObject(class_name);
    auto* object = dynamic_cast<TQdfPersistentObject*>(made.get());
    if (object == nullptr) throw EQdfException(Format("Cannot create %s", class_name.c_str()));
    made.release();
    loaded.emplace_back(object);
    object->SetStorage(this);
    object->SetPageReader(PageReader());
    object->Header()->SetAddress(adr);
  }
  for (auto& o : loaded) o->LoadHeader();
  std::sort(loaded.begin(), loaded.end(),
            [](const auto& a, const auto& b) { return AdrBefore(a->Address(), b->Address()); });
  for (auto& o : loaded) address_table_.emplace_back(o->Address(), o.get());
  // Link from the storage down, each parent's children in the order of
  // their stored positions. Whatever is not reached (its parent is gone, or
  // is itself unreachable) is an orphan.
  std::vector<TQdfPersistentObject*> order;
  for (auto& o : loaded) order.push_back(o.get());
  std::stable_sort(order.begin(), order.end(), [](const auto* a, const auto* b) {
    const TItemAdr pa = a->Header()->ParentAddress(), pb = b->Header()->ParentAddress();
    if (!(pa == pb)) return AdrBefore(pa, pb);
    return a->Header()->ParentIndex() < b->Header()->ParentIndex();
  });
  std::function<void(TQdfPersistentObject*)> link = [&](TQdfPersistentObject* parent) {
    auto first = std::lower_bound(order.begin(), order.end(), parent->Address(),
                                  [](const auto* o, const TItemAdr& a) {
                                    return AdrBefore(o->Header()->ParentAddress(), a);
                                  });
    std::vector<TQdfPersistentObject*> children;
    for (auto it = first;
         it != order.end() && (*it)->Header()->ParentAddress() == parent->Address(); ++it) {
      if ((*it)->Parent() == nullptr && *it != parent) children.push_back(*it);
    }
    for (TQdfPersistentObject* c : children) c->SetParent(parent);
    for (TQdfPersistentObject* c : children) link(c);
  };
  link(this);
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
  // The new tree's $ID and $BLOB: without them records would be posted
  // without their object-ID entries.
  BindSystemObjects();
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
  std::unique_ptr<TQdfPersistentObject> instance(
      found->CreateInstance(from == this ? this : nullptr, this, PageReader()));
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

const char* ObjectNameDefect(std::string_view name) {
  if (name.find('.') != std::string_view::npos) {
    return "an object name cannot contain \".\", which separates the names of a path";
  }
  if (name.find('\0') != std::string_view::npos) return "an object name cannot contain a zero byte";
  return nullptr;
}

std::string PrintableName(std::string_view name) {
  std::string out;
  for (char c : name) {
    if (c == '\0') {
      out += "\\0";
    } else {
      out += c;
    }
  }
  return out;
}

TQdfPersistentObject* TQdfStorage::CreateSchemaObject(const std::string& class_name,
                                                      const std::string& object_name,
                                                      bool pop_at_once) {
  TQdfPersistentObject* parent = Top();
  if (const char* defect = ObjectNameDefect(object_name)) {
    throw EQdfException(PrintableName(object_name) + ": " + defect);
  }
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
  AddToAddressTable(object);
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
  if (!DataListHeader()->SpareAddress().IsNull()) CreateSpare();
}

}  // namespace qdf

namespace qdf {

// ---- opening ----

void TQdfStorage::OpenRoot(TQdfPageReader* reader) {
  SetStorage(this);
  SetPageReader(reader);
  created_new_ = reader->IsEmpty() && !reader->ReadOnly();
  if (created_new_) {
    Bootstrap();
    return;
  }
  // A file whose first transaction never committed holds nothing yet: read
  // only, it is an empty database without objects.
  if (reader->IsEmpty()) {
    Header()->SetAddress(RootAddress());  // where the first commit puts it
    return;
  }
  OpenRootHeader(reader);
  LoadObjectTree();
  Loaded();
}

void TQdfStorage::Loaded() {
  TQdfDataList::Loaded();
  BindSystemObjects();
  RebuildAddressTable();
}

void TQdfStorage::BindSystemObjects() {
  if (!id_index_) {
    TQdfPersistentObject* t = ChildByName("$ID");
    if (t != nullptr && t->IsKindOf(TQdfIndex::kClassInfo)) {
      id_index_.reset(static_cast<TQdfIndex*>(t->CreateInstance(this, this, PageReader())));
    }
  }
  if (!blob_table_) {
    TQdfPersistentObject* t = ChildByName("$BLOB");
    if (t != nullptr && t->IsKindOf(TQdfTable::kClassInfo)) {
      // Blob chunks are found only through IDX_POSITION. A damaged file may
      // lack it: the database still opens, and a blob field that needs it
      // raises then (the integrity check reports it).
      blob_table_ = TableByName("$BLOB");
    }
  }
}

void TQdfStorage::ReleaseSystemObjects() {
  blob_table_.reset();
  id_index_.reset();
}

void TQdfStorage::Bootstrap() {
  CreateRoot(PageReader());
  PopUntil(nullptr);
  // The object-ID index: ThisID -> record address.
  auto* id = static_cast<TQdfIndex*>(CreateSchemaObject("TQdfIndex", "$ID", false));
  id->BtreeHeader()->SetBalance(95);
  CreateSchemaObject("TQdfIndexObject", "IDX$Order", false);
  auto* this_id = static_cast<TQdfField*>(CreateSchemaObject("TQdfObjectIDField", "ThisID", true));
  this_id->FieldHeader()->SetIxAscending(true);
  CreateSchemaObject("TQdfItemClass", "IDX$Structure", false);
  CreateSchemaObject("TQdfShortReferenceField", "REF$ThisID", true);
  PopUntil(nullptr);
  id_index_.reset(static_cast<TQdfIndex*>(id->CreateInstance(this, this, PageReader())));
  // The blob chunk classes and their table.
  GenerateItemClasses(TBlobClass::kClassInfo);
  auto* blob = static_cast<TQdfTable*>(CreateSchemaObject("TQdfTable", "$BLOB", false));
  blob->TableHeader()->SetBaseStructureName("TBlobClassNode");
  blob->TableHeader()->SetReuseAddresses(true);
  PopUntil(nullptr);
  TQdfIndex* position =
      blob->CreateIndex("IDX_POSITION", "BlobID, Position", true, nullptr, true, "TBlobClassNode");
  QDF_ASSERT(position != nullptr, "QdfStorage");
  position->BtreeHeader()->SetBalance(80);
  StoreModified();
  blob_table_ = TableByName("$BLOB");
  RebuildAddressTable();
}

// ---- the address table ----

void TQdfStorage::RebuildAddressTable() {
  address_table_.clear();
  std::function<void(TQdfPersistentObject*)> walk = [&](TQdfPersistentObject* node) {
    for (int i = 0; i < node->ObjectsCount(); ++i) {
      TQdfPersistentObject* child = node->ChildAt(i);
      if (!child->Address().IsNull()) address_table_.emplace_back(child->Address(), child);
      walk(child);
    }
  };
  walk(this);
  std::sort(address_table_.begin(), address_table_.end(),
            [](const auto& a, const auto& b) { return AdrBefore(a.first, b.first); });
}

void TQdfStorage::AddToAddressTable(TQdfPersistentObject* object) {
  auto it =
      std::lower_bound(address_table_.begin(), address_table_.end(), object->Address(),
                       [](const auto& e, const TItemAdr& a) { return AdrBefore(e.first, a); });
  address_table_.insert(it, {object->Address(), object});
}

// ---- object IDs ----

int TQdfStorage::BuildIDKey(const TObjectID& id, const TItemAdr* adr) {
  TDynamicKeyBuffer& key = id_index_->KeyBuffer();
  key.Init(id_index_->StructureFieldCount());
  key.AddValue(0, id);
  if (adr != nullptr) key.AddValue(1, *adr);
  return key.Close();
}

bool TQdfStorage::AddressOfID(const TObjectID& id, TItemAdr* adr) {
  *adr = kNullAdr;
  if (!id_index_ || !id_index_->Active()) return false;
  TReaderUse use(PageReader());
  BuildIDKey(id, nullptr);
  TItemAdr at;
  if (!id_index_->Find(id_index_->KeyBuffer().Key(), &at, true)) return false;
  const uint8_t* entry = id_index_->GetItem(at);
  QDF_ASSERT(entry != nullptr && LoadU16(entry + kKeyItemPrefix) == 2, "QdfStorage");
  *adr = id_index_->RecordOfKey(entry);
  return true;
}

TQdfTable* TQdfStorage::RecordAt(const TItemAdr& adr) {
  if (adr.page == kNoPage) return nullptr;
  TQdfPageReader* r = PageReader();
  TReaderUse use(r);
  const uint8_t* page;
  try {
    page = r->GetPage(adr.page, kGpRead);
  } catch (const EQdfDataNotAllocated&) {
    return nullptr;  // no such page: no record there; a damaged page raises
  }
  TQdfPersistentObject* owner = ObjectAt(LoadAdr(page + kPgOwner));
  if (owner == nullptr || !owner->IsKindOf(TQdfTable::kClassInfo)) return nullptr;
  auto* table = static_cast<TQdfTable*>(owner);
  // Tables of one class share the stored class's fields: point them at this
  // table's cursor.
  if (table->ItemClass() != nullptr) table->ItemClass()->SetProvider(&table->Cursor());
  table->Cursor().SetAddress(adr);
  table->Cursor().Refresh();
  return table;
}

TQdfTable* TQdfStorage::RecordByID(const TObjectID& id) {
  TItemAdr adr;
  return AddressOfID(id, &adr) ? RecordAt(adr) : nullptr;
}

bool TQdfStorage::InsertIDEntry(const TObjectID& id, const TItemAdr& adr) {
  if (!id_index_ || !id_index_->Active()) return true;
  TReaderUse use(PageReader());
  BuildIDKey(id, &adr);
  TItemAdr at;
  return id_index_->TQdfBtreeList::Insert(id_index_->KeyBuffer().Key(), &at);
}

bool TQdfStorage::DeleteIDEntry(const TObjectID& id) {
  if (!id_index_ || !id_index_->Active()) return true;
  TReaderUse use(PageReader());
  BuildIDKey(id, nullptr);
  TItemAdr at;
  if (!id_index_->Find(id_index_->KeyBuffer().Key(), &at, true)) return false;
  id_index_->DeleteAt(at);
  return true;
}

int TQdfStorage::RebuildIDIndex(bool remove) {
  if (!id_index_ || !id_index_->Active()) return 0;
  TReaderUse use(PageReader());
  int stale = 0;
  TItemAdr at = kBeforeFirstAdr;
  const uint8_t* entry = id_index_->NextItem(at);
  while (entry != nullptr) {
    const int size = LoadU16(entry) - kKeyItemPrefix;
    int id_len = 0;
    const uint8_t* id = BoundedField(entry + kKeyItemPrefix, size, 0, &id_len);
    const TItemAdr record_adr = id_index_->RecordOfKey(entry);
    bool live = false;
    TQdfPersistentObject* owner = nullptr;
    if (record_adr.page != kNoPage) {
      try {
        owner = ObjectAt(LoadAdr(PageReader()->GetPage(record_adr.page, kGpRead) + kPgOwner));
      } catch (const EQdfException&) {
        owner = nullptr;
      }
    }
    if (owner != nullptr && owner->IsKindOf(TQdfTable::kClassInfo)) {
      auto* table = static_cast<TQdfTable*>(owner);
      const uint8_t* record = table->GetItem(record_adr);
      const TQdfItemClass* cls =
          record != nullptr && table->ItemClass() != nullptr
              ? table->ItemClass()->ClassByAddress(LoadAdr(record + kRecClassOffset))
              : nullptr;
      if (cls != nullptr && cls->ThisIDField() != nullptr && id != nullptr) {
        int len = 0;
        const uint8_t* value = BoundedField(record + kRecBodyStart, LoadU16(record) - kRecBodyStart,
                                            cls->ThisIDField()->FieldIndex(), &len);
        live = value != nullptr && len == id_len &&
               std::memcmp(value, id, static_cast<size_t>(len)) == 0;
      }
    }
    if (live) {
      entry = id_index_->NextItem(at);
      continue;
    }
    ++stale;
    if (remove) {
      id_index_->DeleteAt(at);  // `at` moves to the entry that followed
      entry = at.page != kNoPage ? id_index_->GetItem(at) : nullptr;
    } else {
      entry = id_index_->NextItem(at);
    }
  }
  return stale;
}

void TQdfStorage::RebuildIndexAt(std::string_view path) {
  TQdfPersistentObject* object = ChildByPath(path);
  if (object == nullptr) throw EQdfException("Objekt: " + std::string(path) + " existiert nicht.");
  if (!object->IsKindOf(TQdfIndex::kClassInfo)) {
    throw EQdfException("Objekt: " + std::string(path) + " ist kein Index");
  }
  if (object->ObjectName() == "$ID" && object->Parent() == this) {
    RebuildIDIndex(true);
    return;
  }
  TQdfPersistentObject* parent = object->Parent();
  if (parent == nullptr || !parent->IsKindOf(TQdfTable::kClassInfo)) {
    throw EQdfException("Index " + object->ObjectName() + " is not attached to a table");
  }
  std::unique_ptr<TQdfTable> table = TableByName(parent->FullName());
  TQdfIndex* index = table->IndexByName(object->ObjectName());
  if (index == nullptr) {
    throw EQdfException("Index " + object->ObjectName() + " is not attached to a table");
  }
  index->Rebuild(true);
}

// ---- item classes from accessor classes ----

std::string TQdfStorage::ItemClassStatements(const TClassInfo& accessor,
                                             const std::string& options) const {
  std::vector<const TClassInfo*> chain;
  for (const TClassInfo* c = &accessor; c != nullptr && c != &TQdfInterfaceStruct::kClassInfo;
       c = c->parent) {
    if (c != &TQdfInterfaceObject::kClassInfo) chain.push_back(c);
  }
  const TQdfPersistentObjectFactory& factory = TQdfPersistentObjectFactory::Instance();
  std::string text;
  std::string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    const TClassInfo* k = *it;
    const std::string base = path;
    path = base.empty() ? std::string(k->name) : base + "." + k->name;
    if (ChildByPath(path) != nullptr) continue;
    if (!text.empty()) text += ";";
    if (!base.empty()) text += "Parent " + base + ";";
    text += "create TQdfItemClass " + std::string(k->name);
    if (!options.empty()) text += " [" + options + "]";
    text += " (";
    for (int i = 0; i < k->prop_count; ++i) {
      const TPropInfo& p = k->props[i];
      if (p.kind != TPropKind::kObject || p.type_name == nullptr ||
          factory.FindClass(p.type_name, TQdfPersistentObject::kClassInfo) == nullptr) {
        continue;
      }
      text += Format("%s %s;\r\n", p.type_name, p.name);
    }
    text += ")";
  }
  return text;
}

void TQdfStorage::GenerateItemClasses(const TClassInfo& accessor, const std::string& options) {
  const std::string text = ItemClassStatements(accessor, options);
  if (!text.empty()) Execute(text);
}

}  // namespace qdf
