#include "db/InTransStorage.h"

#include <cstring>

#include "base/Helpers.h"
#include "base/QdfException.h"
#include "db/System.h"
#include "db/Transaction.h"
#include "file/IndirectPageReader.h"
#include "file/LocalFiler.h"
#include "file/QdfFiler.h"
#include "file/TCPFiler.h"
#include "list/DataListBase.h"
#include "list/FreeList.h"
#include "list/ItemList.h"
#include "list/KeyCompare.h"
#include "list/ServerUpdateList.h"
#include "object/PersistentObjectFactory.h"
#include "object/QHField.h"
#include "object/QHPersistentObject.h"
#include "object/QHStorage.h"
#include "record/Field.h"
#include "record/IndexObject.h"
#include "table/Index.h"

namespace qdf {

QDF_DEFINE_PERSISTENT_CLASS(TQdfInTransStorage, TQdfStorage);

namespace {

// Store-and-flush rounds of a commit. Each round can only change the free
// list and the headers of the lists it touched, so two or three suffice.
constexpr int kMaxCommitRounds = 8;
constexpr int kFixupItemSize = 28;
constexpr int kFixupRecordSize = 24;

// Mirrors TQdfPersistentObject::Flush: true when it would save a header.
bool SubtreeModified(const TQdfPersistentObject* node, bool skip_unmodified_schema) {
  for (int i = 0; i < node->ObjectsCount(); ++i) {
    const TQdfPersistentObject* child = node->ChildAt(i);
    if (skip_unmodified_schema && child->IsKindOf(TQdfSchemaObject::kClassInfo) &&
        !child->Header()->Modified()) {
      continue;
    }
    if (SubtreeModified(child, skip_unmodified_schema)) return true;
  }
  return node->Header()->Modified();
}

}  // namespace

namespace internal {
TInTransResources::~TInTransResources() {
  // The reader rolls back a transaction still running and drops its pages
  // while the filer is referenced.
  own_reader_.reset();
  filer_ = nullptr;
  filer_ref_.reset();
}
}  // namespace internal

TQdfInTransStorage::TQdfInTransStorage() = default;

TQdfInTransStorage::~TQdfInTransStorage() {
  if (transaction_ != nullptr) transaction_->RemoveStorage(this);
  try {
    Notify(6, this);
  } catch (const std::exception&) {
    // A listener's error cannot stop the storage from going.
  }
  listeners_.clear();
  fixup_indexes_.clear();
  ReleaseHeld(false);
  // A commit that kept the write ownership and was not followed by a start
  // leaves this reader as the file's writer: it is going, so give it up.
  if (filer_ != nullptr && filer_->IsLocal() && reader_ != nullptr && own_reader_ &&
      !reader_->InWriteTransaction()) {
    auto* local = static_cast<TQdfLocalFiler*>(filer_);
    if (local->WriteOwner() == reader_) local->ReleaseWriteOwnership();
  }
}

void TQdfInTransStorage::SetFiler(TQdfFiler* filer) {
  filer_ref_ = TQdfFilerRef::Share(filer);
  filer_ = filer;
}

TQdfSystem* TQdfInTransStorage::System() const {
  return system_ != nullptr ? system_ : QdfSystemIfCreated();
}

// ---- listeners ----

int TQdfInTransStorage::AddListener(TListener fn, void* default_arg) {
  const int handle = next_listener_++;
  listeners_.push_back(TListenerEntry{handle, std::move(fn), default_arg});
  return handle;
}

void TQdfInTransStorage::RemoveListener(int handle) {
  for (auto it = listeners_.begin(); it != listeners_.end(); ++it) {
    if (it->handle == handle) {
      listeners_.erase(it);
      return;
    }
  }
}

void TQdfInTransStorage::Notify(int event, void* arg) {
  if (event == 0) event = pending_event_;
  if (event == 0) return;
  // Cleared first: a listener that starts a transaction sets its own event.
  pending_event_ = 0;
  std::vector<int> handles;
  handles.reserve(listeners_.size());
  for (const TListenerEntry& e : listeners_) handles.push_back(e.handle);
  for (int h : handles) {
    // A listener may remove others (or itself) while being told.
    for (const TListenerEntry& e : listeners_) {
      if (e.handle != h) continue;
      if (e.fn) {
        TListener fn = e.fn;
        fn(this, arg != nullptr ? arg : e.default_arg, event);
      }
      break;
    }
  }
}

// ---- transaction steps ----

void TQdfInTransStorage::ReleaseHeld(bool give_up_ownership) {
  free_list_.reset();
  // (The update list of a remote database is released here once remote
  // filers exist; a local storage never keeps one.)
  if (give_up_ownership && !read_only_ && filer_ != nullptr && filer_->IsLocal() &&
      reader_ != nullptr) {
    auto* local = static_cast<TQdfLocalFiler*>(filer_);
    if (local->WriteOwner() == reader_ && !reader_->InWriteTransaction()) {
      local->ReleaseWriteOwnership();
    }
  }
}

void TQdfInTransStorage::StartStorage() {
  QDF_ASSERT(filer_ != nullptr, "QdfFile");
  if (reader_ == nullptr) {
    own_reader_ = std::make_unique<TQdfIndirectPageReader>(filer_);
    own_reader_->SetShadowStore(System());
    reader_ = own_reader_.get();
  }
  TQdfIndirectPageReader* r = reader_;
  TDbgLock g(r->Lock());
  const uint32_t previous = version_;
  try {
    r->Open(read_only_);
    LoadForStart(previous);
    loaded_schema_tan_ = SchemaTAN();
    if (!read_only_) TQdfPersistentObjectFactory::Instance().RaiseIDFloor(Root()->IDHighWater());
    TakeFreeList();
  } catch (...) {
    free_list_.reset();
    try {
      r->Rollback();
    } catch (const std::exception&) {
      // The start's own error is the one to report.
    }
    // What was loaded may be half done: reload at the next start.
    rolled_back_ = true;
    throw;
  }
  version_ = r->TransactionNumber();
  rolled_back_ = false;
  schema_discarded_ = false;
}

void TQdfInTransStorage::LoadForStart(uint32_t previous) {
  TQdfIndirectPageReader* r = reader_;
  if (previous == 0) {
    // First start: nothing is loaded yet. The write transaction starts
    // before the root is opened, because a new database is built at once.
    Notify(4);
    r->Invalidate();
    r->StartTransaction();
    OpenRoot(r);
    pending_event_ = 1;
    return;
  }
  // Pages and headers cached at the last start are current only while the
  // file's committed state is still the one this storage left it in.
  const bool changed = previous != r->TransactionNumber() || rolled_back_;
  if (changed) {
    r->Invalidate();
    LoadHeader();
  }
  r->StartTransaction();
  if (schema_discarded_ || SchemaTAN() != loaded_schema_tan_) {
    // Another transaction changed the schema (or this one's schema change
    // was rolled back): the whole tree is loaded again.
    Notify(4);
    ReleaseHeld(false);
    OpenRoot(r);
    pending_event_ = 1;
  } else if (changed) {
    // After a rollback schema objects may hold discarded changes as well.
    Refresh(!rolled_back_);
  }
}

void TQdfInTransStorage::TakeFreeList() {
  free_list_.reset();
  if (read_only_ || !filer_->IsLocal() || !reader_->InWriteTransaction()) return;
  TQdfPersistentObject* list = ChildByName("$FREE_LIST");
  if (list == nullptr) {
    // A database made without one (by a bare storage) gets it now.
    PopUntil(nullptr);
    list = CreateSchemaObject("TQdfDataListBase", "$FREE_LIST", true);
  }
  if (!list->IsKindOf(TQdfDataListBase::kClassInfo)) {
    throw EQdfException::Fmt("%s: $FREE_LIST is not a data list", filer_->Name().c_str());
  }
  free_list_ = std::make_unique<TQdfFreeList>(static_cast<TQdfLocalFiler*>(filer_), reader_,
                                              static_cast<TQdfDataListBase*>(list));
  free_list_->Take(this);
}

bool TQdfInTransStorage::AnythingModified() const {
  if (!CanWrite()) return false;
  const bool skip = PageReader()->TransactionNumber() != SchemaTAN();
  if (Spare() != nullptr && SubtreeModified(Spare(), false)) return true;
  return SubtreeModified(this, skip);
}

void TQdfInTransStorage::CommitStorage() {
  if (reader_ == nullptr || read_only_ || !reader_->InWriteTransaction()) return;
  if (!filer_->IsLocal()) {
    // Remote databases: the server replays the collected record changes
    // ("SUL"); the pages themselves only ever lived in the shadow file.
    // The dirty pages are not written: the commit drops the transaction's
    // pages, and the shadow blocks go back to the shadow file.
    reader_->CheckCommittable();  // never send an update list twice
    try {
      SendUpdateList();
    } catch (const std::exception& e) {
      // The server may hold part of the update list: committing again could
      // apply changes twice or half. Only a rollback is safe now.
      reader_->SetRollbackOnly(e.what());
      throw;
    }
    return;
  }
  // IDs drawn in this process are never drawn again by a later writer of
  // the file (see StartStorage).
  // Only a file that changes can hold them: one that did not keeps its
  // header as it is (and a transaction over several files commits it on
  // its own, without a commit record).
  const uint64_t last_id = TQdfPersistentObjectFactory::Instance().LastIDValue();
  if (last_id > Root()->IDHighWater() &&
      (reader_->DirtyCount() > 0 || reader_->ChangesLocalFile() || AnythingModified())) {
    Root()->SetIDHighWater(last_id);
  }
  // Writing pages allocates and frees file space, which changes the free
  // list's pages and header; storing headers dirties pages again. Only when
  // both are quiet does the header about to be written match its pages.
  for (int round = 0; round < kMaxCommitRounds; ++round) {
    StoreModified();
    if (reader_->DirtyCount() == 0 && !AnythingModified() && !reader_->PendingRecompression()) {
      return;
    }
    reader_->Flush(kFlushWriteUnpin);
  }
  throw EQdfException::Fmt("Commit of %s does not settle: objects still change after %d rounds",
                           filer_->Name().c_str(), kMaxCommitRounds);
}

void TQdfInTransStorage::SendUpdateList() {
  auto* remote = dynamic_cast<TQdfTCPFiler*>(filer_);
  TQdfPersistentObject* found = ChildByName("$UPDATE_LIST");
  if (remote == nullptr || found == nullptr || !found->IsKindOf(TQdfServerUpdateList::kClassInfo)) {
    return;
  }
  auto* list = static_cast<TQdfServerUpdateList*>(found);
  const uint32_t first = list->FirstPage();
  if (first != kNoPage && first != 0) {
    remote->StreamPage("SUL", reader_, first);
  } else if (list->Count() >= 1) {
    throw EQdfException::Fmt("%s: $UPDATE_LIST counts entries but has no pages",
                             filer_->Name().c_str());
  }
}

void TQdfInTransStorage::FinishCommit(bool keep_write_lock) {
  if (reader_ == nullptr) return;
  const bool shadow = reader_->Shadow() && !read_only_ && reader_->InWriteTransaction();
  reader_->Commit(keep_write_lock && !read_only_);
  if (!keep_write_lock) free_list_.reset();
  if (shadow) {
    // The server holds what it made of the update list; the objects in
    // memory still hold the shadow transaction's state, which is gone with
    // its pages: reload at the next start as after a rollback.
    if (version_ != 0 && SchemaTAN() != loaded_schema_tan_) schema_discarded_ = true;
    rolled_back_ = true;
    return;
  }
  // This storage's own schema changes are now the file's.
  loaded_schema_tan_ = SchemaTAN();
  rolled_back_ = false;
  schema_discarded_ = false;
}

void TQdfInTransStorage::FlushStorage() {
  if (reader_ == nullptr || !reader_->InWriteTransaction()) return;
  if (!read_only_) StoreModified();
  reader_->Flush(kFlushWriteUnpin);
}

void TQdfInTransStorage::RollbackStorage() {
  free_list_.reset();
  if (reader_ == nullptr) return;
  if (version_ != 0 && SchemaTAN() != loaded_schema_tan_) schema_discarded_ = true;
  rolled_back_ = true;
  // The reader drops every cached page, also the clean ones written during
  // the transaction: their stamps would look current to the next writer,
  // which reuses this transaction's number.
  reader_->Rollback();
}

// ---- statements and opening ----

void TQdfInTransStorage::Execute(const std::string& text) {
  if (auto* remote = dynamic_cast<TQdfTCPFiler*>(filer_)) {
    // The server runs statements on its database ("DDL"): what this
    // transaction did is committed first, and it goes on afterwards.
    const bool was_active = transaction_ != nullptr && transaction_->Active();
    if (transaction_ != nullptr) transaction_->SetActive(false);
    std::string block = text;
    block.push_back('\0');
    remote->StreamStream("DDL", block);
    if (transaction_ != nullptr) transaction_->SetActive(was_active);
    return;
  }
  if (transaction_ != nullptr) transaction_->SetActive(true);
  if (PageReader() == nullptr) {
    throw EQdfException("Execute: the storage was never opened in a transaction");
  }
  TQdfStorage::Execute(text);
}

void TQdfInTransStorage::OpenRoot(TQdfPageReader* reader) {
  TQdfStorage::OpenRoot(reader);
  if (!CreatedNew()) return;
  PopUntil(nullptr);
  CreateSchemaObject("TQdfServerUpdateList", "$UPDATE_LIST", true);
  CreateSchemaObject("TQdfDataListBase", "$FREE_LIST", true);
  StoreModified();
  ChangeHook();
}

void TQdfInTransStorage::OpenShadow(TQdfIndirectPageReader* reader) {
  QDF_ASSERT(reader != nullptr && reader_ == nullptr, "QdfFile");
  reader_ = reader;
  OpenRoot(reader);
  version_ = reader->TransactionNumber();
  loaded_schema_tan_ = SchemaTAN();
  // Shadow-mode readers of remote databases keep their blocks in chains of
  // this file's free list, so the list stays open for the system's life.
  TakeFreeList();
}

// ---- hooks ----

void TQdfInTransStorage::ChangeHook() {
  TQdfStorage::ChangeHook();
  if (transaction_ != nullptr) transaction_->RequestRestart();
}

void TQdfInTransStorage::ObjectRemoved(TQdfPersistentObject* object) {
  TQdfStorage::ObjectRemoved(object);
  Notify(6, object);
}

void TQdfInTransStorage::AddFixupReference(const uint8_t* record24) {
  if (filer_ == nullptr || !filer_->IsLocal()) return;
  TQdfSystem* system = System();
  TQdfInTransStorage* shadow = system != nullptr ? system->ShadowStorage() : nullptr;
  if (shadow == nullptr || shadow == this) return;
  shadow->AppendFixupReference(filer_->Name(), record24);
}

void TQdfInTransStorage::AddFixupAddress(const TItemAdr& old_adr, const TItemAdr& new_adr) {
  if (filer_ == nullptr || !filer_->IsLocal()) return;
  TQdfSystem* system = System();
  TQdfInTransStorage* shadow = system != nullptr ? system->ShadowStorage() : nullptr;
  if (shadow == nullptr || shadow == this) return;
  shadow->InsertFixupAddress(filer_->Name(), old_adr, new_adr);
}

// ---- fix-up objects (shadow storage) ----

TQdfItemList* TQdfInTransStorage::FixupReferences(const std::string& alias) const {
  TQdfPersistentObject* o = ChildByName(alias + "$DOFIXUP");
  return o != nullptr && o->IsKindOf(TQdfItemList::kClassInfo) ? static_cast<TQdfItemList*>(o)
                                                               : nullptr;
}

void TQdfInTransStorage::AppendFixupReference(const std::string& alias, const uint8_t* record24) {
  TQdfItemList* list = FixupReferences(alias);
  if (list == nullptr) {
    PopUntil(nullptr);
    list = static_cast<TQdfItemList*>(CreateSchemaObject("TQdfItemList", alias + "$DOFIXUP", true));
  }
  TReaderUse use(PageReader());
  TItemAdr adr;
  uint8_t* item = list->AppendItem(kFixupItemSize, &adr);
  std::memcpy(item + 4, record24, kFixupRecordSize);
}

TQdfIndex* TQdfInTransStorage::FixupIndex(const std::string& alias, bool create) {
  const std::string key = UpperCase(alias);
  auto it = fixup_indexes_.find(key);
  if (it != fixup_indexes_.end()) return it->second.get();
  const std::string name = alias + "$FIXUP";
  TQdfPersistentObject* tmpl = ChildByName(name);
  if (tmpl == nullptr) {
    if (!create) return nullptr;
    // OLD -> NEW: the key class holds OLD, the structure adds NEW.
    PopUntil(nullptr);
    tmpl = CreateSchemaObject("TQdfIndex", name, false);
    CreateSchemaObject("TQdfIndexObject", "IDX$Order", false);
    auto* old_field =
        static_cast<TQdfField*>(CreateSchemaObject("TQdfShortReferenceField", "OLD", true));
    old_field->FieldHeader()->SetIxAscending(true);
    CreateSchemaObject("TQdfItemClass", "IDX$Structure", false);
    CreateSchemaObject("TQdfShortReferenceField", "NEW", true);
    PopUntil(nullptr);
  }
  if (!tmpl->IsKindOf(TQdfIndex::kClassInfo)) {
    throw EQdfException::Fmt("%s is not an index", name.c_str());
  }
  std::unique_ptr<TQdfIndex> instance(
      static_cast<TQdfIndex*>(tmpl->CreateInstance(this, this, PageReader())));
  TQdfIndex* result = instance.get();
  fixup_indexes_.emplace(key, std::move(instance));
  return result;
}

void TQdfInTransStorage::InsertFixupAddress(const std::string& alias, const TItemAdr& old_adr,
                                            const TItemAdr& new_adr) {
  TQdfIndex* index = FixupIndex(alias, true);
  TReaderUse use(PageReader());
  TDynamicKeyBuffer& key = index->KeyBuffer();
  auto build = [&] {
    key.Init(index->StructureFieldCount());
    key.AddValue(0, old_adr);
    key.AddValue(1, new_adr);
    key.Close();
  };
  build();
  TItemAdr at;
  if (index->TQdfBtreeList::Insert(key.Key(), &at)) return;
  // OLD is there already: the later replay wins.
  if (index->Find(key.Key(), &at, true)) index->DeleteAt(at);
  build();
  if (!index->TQdfBtreeList::Insert(key.Key(), &at)) {
    throw EQdfException::Fmt("Cannot record fix-up of %s", alias.c_str());
  }
}

bool TQdfInTransStorage::LookupFixupAddress(const std::string& alias, const TItemAdr& old_adr,
                                            TItemAdr* new_adr) {
  *new_adr = kNullAdr;
  TQdfIndex* index = FixupIndex(alias, false);
  if (index == nullptr) return false;
  TReaderUse use(PageReader());
  TDynamicKeyBuffer& key = index->KeyBuffer();
  key.Init(index->StructureFieldCount());
  key.AddValue(0, old_adr);
  key.Close();
  TItemAdr at;
  if (!index->Find(key.Key(), &at, true)) return false;
  const uint8_t* entry = index->GetItem(at);
  if (entry == nullptr) return false;
  int len = 0;
  const uint8_t* v = BoundedField(entry + kKeyItemPrefix, LoadU16(entry) - kKeyItemPrefix, 1, &len);
  if (v == nullptr || len < kItemAdrSize) return false;
  *new_adr = LoadAdr(v);
  return true;
}

}  // namespace qdf
