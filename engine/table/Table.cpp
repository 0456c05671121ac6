#include "table/Table.h"

#include <algorithm>
#include <cstring>

#include "base/Helpers.h"
#include "base/ItemArea.h"
#include "base/PackedItem.h"
#include "base/QdfException.h"
#include "file/FileFormat.h"
#include "list/KeyCompare.h"
#include "object/PersistentObjectFactory.h"
#include "platform/Trace.h"
#include "reader/PageReader.h"
#include "record/Fields.h"
#include "record/InterfaceStruct.h"
#include "record/ItemClass.h"
#include "record/KeyList.h"
#include "table/Index.h"
#include "table/TableStore.h"

namespace qdf {

QDF_DEFINE_PERSISTENT_CLASS(TQdfTable, TQdfDataList);

namespace {

bool TreeHasThisID(const TQdfItemClass* cls) {
  if (cls->ThisIDField() != nullptr) return true;
  for (const TQdfItemClass* sub : cls->Subclasses()) {
    if (TreeHasThisID(sub)) return true;
  }
  return false;
}

}  // namespace

TQdfTable::TQdfTable() = default;

TQdfTable::~TQdfTable() {
  // An edit left open ends as with Cancel, so that values kept outside the
  // record (a blob's chunks) go while the storage is there to take them (a
  // storage that went first has cleared our link).
  if (state_ != kModeBrowse && Storage() != nullptr) Cancel();
  Unbind();
}

TQdfTableStore* TQdfTable::OwnStorage() const { return dynamic_cast<TQdfTableStore*>(Storage()); }

// ---- binding ----

void TQdfTable::Unbind() {
  for (TQdfIndex* index : indexes_) index->DetachTable(this);
  indexes_.clear();
  current_index_ = nullptr;
  TQdfTableStore* storage = OwnStorage();
  // An index that goes first tells the table (IndexRemoved): every index
  // still listed is alive.
  for (const auto& entry : foreign_indexes_) entry.second->DetachTable(this);
  foreign_indexes_.clear();
  Events().Remove(this);
  if (own_class_) {
    // The storage may be gone before this instance (it then cleared our link).
    own_class_->SetStorage(Storage());
    own_class_.reset();
  } else if (item_class_ != nullptr && storage != nullptr &&
             storage->ClassByPath(TableHeader()->BaseStructureName()) == item_class_ &&
             item_class_->Provider() == cursor_.get()) {
    // A template shares the stored class: leave it without our cursor, but
    // only while that class is still the one in the storage.
    item_class_->SetProvider(nullptr);
  }
  item_class_ = nullptr;
  cursor_class_ = nullptr;
}

void TQdfTable::Loaded() {
  TQdfDataList::Loaded();
  // An edit under way ends before its fields go (their listeners take back
  // what the edit wrote outside the record).
  CheckBrowse();
  Unbind();
  TQdfTableStore* storage = OwnStorage();
  TQdfItemClass* stored =
      storage != nullptr ? storage->ClassByPath(TableHeader()->BaseStructureName()) : nullptr;
  if (stored != nullptr) {
    if (IsTemplate()) {
      item_class_ = stored;
    } else {
      // A working instance gets its own copy of the whole class tree (a
      // subclass is only complete with its bases), not registered with the
      // storage: the table owns it.
      TQdfItemClass* root = stored->RootClass() != nullptr ? stored->RootClass() : stored;
      own_class_.reset(root->CreateInstance(nullptr, Storage(), PageReader()));
      item_class_ =
          static_cast<TQdfItemClass*>(own_class_.get())->ClassByAddress(stored->Address());
    }
  }
  if (item_class_ != nullptr) {
    if (TreeHasThisID(item_class_)) {
      TQdfEventListner& l = Events().Add(this);
      l.insert = [this](TQdfPersistentObject*, void*) { ThisIDInsert(); };
      l.before_post = [this](TQdfPersistentObject*, void*) { ThisIDBeforePost(); };
      l.after_post = [this](TQdfPersistentObject*, void*) { ThisIDAfterPost(); };
      l.before_delete = [this](TQdfPersistentObject*, void*) { ThisIDBeforeDelete(); };
      l.abandon = [this](TQdfPersistentObject*, void*) { ThisIDAbandon(); };
    }
    const TQdfItemClass* root = item_class_->RootClass();
    const int max_fields = root != nullptr ? root->MaxFieldCount() : item_class_->FieldCount();
    TableHeader()->SetMaxFieldCount(max_fields);  // does not mark the header modified
    field_data_.assign(static_cast<size_t>(std::max(max_fields, item_class_->FieldCount())),
                       {nullptr, 0});
    item_class_->SetProvider(cursor_.get());
  }
  for (int i = 0; i < ObjectsCount(); ++i) {
    if (ChildAt(i)->IsKindOf(TQdfIndex::kClassInfo))
      AttachIndex(static_cast<TQdfIndex*>(ChildAt(i)));
  }
  Cancel();
}

// ---- state ----

void TQdfTable::CheckBrowse() {
  if (state_ != kModeBrowse) Cancel();
}

void TQdfTable::Cancel() {
  const bool editing = state_ != kModeBrowse;
  state_ = kModeBrowse;
  mode_ = kModeBrowse;
  cursor_->mode = kModeBrowse;
  cursor_->changed = true;
  edit_adr_ = kNullAdr;
  if (editing) FireCancel();
}

void TQdfTable::FireCancel() {
  const auto& listeners = Events().Listeners();
  for (size_t i = 0; i < listeners.size(); ++i) {
    const TQdfEventListner::TNotify& notify = listeners[i]->cancel;
    if (!notify) continue;
    try {
      notify(this, cursor_class_);
    } catch (const std::exception& e) {
      Trace(std::string("Table ") + ObjectName() + ": cancel failed: " + e.what());
    }
  }
}

void TQdfTable::Fire(TQdfEventListner::TNotify TQdfEventListner::*kind) {
  const auto& listeners = Events().Listeners();
  for (size_t i = 0; i < listeners.size(); ++i) {
    const TQdfEventListner::TNotify& notify = (*listeners[i]).*kind;
    if (notify) notify(this, cursor_class_);
  }
}

void TQdfTable::SyncCursorClass() {
  if (cursor_->Item() == nullptr) cursor_class_ = nullptr;
}

TQdfField* TQdfTable::FieldByName(const std::string& name) const {
  return item_class_ != nullptr ? item_class_->FieldByName(name) : nullptr;
}

// ---- records ----

TQdfItemClass* TQdfTable::Insert(TQdfItemClass* cls) {
  CheckBrowse();
  cursor_->SetAddress(kNullAdr);
  cursor_class_ = nullptr;
  const TQdfItemClass* wanted = cls != nullptr ? cls : item_class_;
  TQdfItemClass* used = (wanted != nullptr && item_class_ != nullptr)
                            ? item_class_->ClassByAddress(wanted->Address())
                            : nullptr;
  if (used == nullptr) throw EQdfException("Try to append unknown class");
  cursor_class_ = used;
  for (int i = 0; i < used->FieldCount(); ++i) {
    TQdfField* f = used->FieldAt(i);
    f->SetData(nullptr, 0);
    f->SetModified(false);
  }
  cursor_->mode = kModeEdit;
  state_ = kModeInsert;
  mode_ = kModeInsert;
  edit_adr_ = kNullAdr;
  try {
    Fire(&TQdfEventListner::insert);
  } catch (...) {
    Cancel();
    throw;
  }
  return used;
}

TQdfInterfaceStruct* TQdfTable::InsertByName(const std::string& class_name) {
  TQdfItemClass* cls = item_class_ != nullptr ? item_class_->ClassByName(class_name) : nullptr;
  if (cls == nullptr) throw EQdfException("Try to append unknown class: " + class_name);
  Insert(cls);
  return cls->Accessor();
}

TQdfItemClass* TQdfTable::Edit() {
  if (state_ != kModeBrowse) throw EQdfException("Already in Edit-Mode");
  // An image holds only some fields: an edit starts from the stored record.
  if (on_image_) cursor_->Refresh();
  uint8_t* item = cursor_->Item();
  const TItemAdr adr = cursor_->Address();
  if (item == nullptr) {
    cursor_->Refresh();
    throw EQdfException("Cannot edit EOF: " + AdrToText(cursor_->Address()));
  }
  TQdfItemClass* cls = cursor_class_;
  if (cls == nullptr) {
    throw EQdfException("Item at: " + AdrToText(adr) + " try to edit Unknown class: " +
                        AdrToText(LoadAdr(item + kRecClassOffset)));
  }
  // Browse mode still: each field reads its stored value (bounded by the
  // record) and keeps it as its edit value.
  for (int i = 0; i < cls->FieldCount(); ++i) {
    TQdfField* f = cls->FieldAt(i);
    int length = 0;
    const uint8_t* data = f->GetData(&length);
    f->SetData(data, length);
    f->SetModified(false);
  }
  cursor_->mode = kModeEdit;
  state_ = kModeEdit;
  mode_ = kModeEdit;
  edit_adr_ = adr;
  return cls;
}

void TQdfTable::Abandon(size_t told, size_t skip) {
  const auto& listeners = Events().Listeners();
  for (size_t i = std::min(told, listeners.size()); i-- > skip;) {
    const TQdfEventListner& l = *listeners[i];
    if (!l.before_post || !l.abandon) continue;
    try {
      l.abandon(this, cursor_class_);
    } catch (const std::exception& e) {
      Trace(std::string("Table ") + ObjectName() + ": abandon failed: " + e.what());
    }
  }
}

void TQdfTable::UndoWrite(const TItemAdr& adr, bool inserted) {
  try {
    if (inserted) {
      DeleteItem(adr);
      cursor_->SetAddress(kNullAdr);
    } else {
      const int size = static_cast<int>(undo_.size());
      uint8_t* item = ResizeRecord(adr, size);
      std::memcpy(item + 2, undo_.data() + 2, static_cast<size_t>(size - 2));
      cursor_->Refresh();
    }
  } catch (const std::exception& e) {
    Trace(std::string("Table ") + ObjectName() + ": cannot take back a failed post: " + e.what());
  }
}

void TQdfTable::EndPost() {
  cursor_->mode = kModeBrowse;
  cursor_->changed = true;
  state_ = kModeBrowse;
  mode_ = kModeBrowse;
  edit_adr_ = kNullAdr;
  busy_ = false;
}

void TQdfTable::RequireLocalChanges() const {
  // Changes of a database served over the network reach the server only
  // through the storage's update list, which records are not entered into:
  // refused, rather than committed locally and lost.
  TQdfPageReader* reader = PageReader();
  if (reader != nullptr && reader->Shadow()) {
    throw EQdfException("Table " + ObjectName() +
                        " lies on a database server: its records cannot be changed from here");
  }
}

void TQdfTable::Post() {
  if (state_ != kModeEdit && state_ != kModeInsert) return;
  TQdfPageReader* reader = PageReader();
  if (reader == nullptr) throw EQdfException("Table " + ObjectName() + " has no page reader");
  RequireLocalChanges();
  TReaderUse use(reader);
  busy_ = true;
  id_entered_ = false;
  const bool inserting = state_ == kModeInsert;
  TItemAdr adr = cursor_->Address();
  const auto& listeners = Events().Listeners();
  size_t told = 0;
  size_t done = 0;  // listeners that completed after_post
  bool written = false;
  try {
    TQdfItemClass* cls = cursor_class_;
    if (cls == nullptr) throw EQdfException("Try to post Unknown class");
    // Nothing set: nothing is written, so no listener may act either (a
    // unique index would otherwise refuse the empty key of a record that is
    // never stored).
    bool any_modified = false;
    for (int i = 0; i < cls->FieldCount() && !any_modified; ++i) {
      any_modified = cls->FieldAt(i)->Modified();
    }
    if (!any_modified) {
      EndPost();
      FireCancel();
      return;
    }
    for (; told < listeners.size(); ++told) {
      if (listeners[told]->before_post) listeners[told]->before_post(this, cls);
    }
    // The values to write; a field never set stays absent (null).
    const int n = cls->FieldCount();
    if (field_data_.size() < static_cast<size_t>(n)) field_data_.resize(static_cast<size_t>(n));
    int modified = 0;
    int64_t data_size = 0;
    for (int i = 0; i < n; ++i) {
      TQdfField* f = cls->FieldAt(i);
      if (f->Modified()) {
        f->SetModified(false);
        ++modified;
      }
      int length = 0;
      const uint8_t* data = f->GetData(&length);
      field_data_[static_cast<size_t>(i)] = {data, length};
      data_size += length;
    }
    if (modified == 0) {
      // Nothing is written: the listeners take back what they prepared.
      Abandon(told);
      EndPost();
      FireCancel();
      return;
    }
    const int64_t size = kRecBodyStart + PackedSize(n) + data_size;
    if (size > MaxItemSize()) {
      throw EQdfException(
          Format("Item of %lld bytes does not fit a page", static_cast<long long>(size)));
    }
    uint8_t* item;
    if (inserting) {
      item = AppendItem(static_cast<int>(size), &adr);
    } else {
      const uint8_t* old = GetItem(adr);
      if (old == nullptr) throw EQdfException("Updating deleted Record");
      undo_.assign(old, old + LoadU16(old));
      item = ResizeRecord(adr, static_cast<int>(size));
    }
    written = true;
    // A storage with a server update list would record the change here
    // (kind 1 for an insert, 3 for an update); none keeps one yet.
    StoreAdr(item + kRecClassOffset, cls->Address());
    StoreU32(item + kRecVersionOffset, reader->TransactionNumber());
    TFieldCursor body;
    body.OpenWrite(item + kRecBodyStart, n, static_cast<size_t>(size - kRecBodyStart));
    for (int i = 0; i < n; ++i) {
      const auto& [data, length] = field_data_[static_cast<size_t>(i)];
      body.WriteBytes(length, data);
    }
    body.Finish();
    edit_adr_ = adr;
    cursor_->SetAddress(adr);
    cursor_->Refresh();
    cursor_->changed = true;
    for (; done < listeners.size(); ++done) {
      if (listeners[done]->after_post) listeners[done]->after_post(this, cls);
    }
  } catch (...) {
    // The listeners see the table as it was before the post. Those that
    // completed after_post for a new record hear of its deletion instead.
    if (written && inserting) {
      for (size_t i = std::min(done, listeners.size()); i-- > 0;) {
        if (!listeners[i]->before_delete) continue;
        try {
          listeners[i]->before_delete(this, cursor_class_);
        } catch (const std::exception& e) {
          Trace(std::string("Table ") + ObjectName() + ": cannot take back a key: " + e.what());
        }
      }
    }
    if (written) UndoWrite(adr, inserting);
    Abandon(told, written && inserting ? done : 0);
    EndPost();
    FireCancel();
    throw;
  }
  EndPost();
  // The record stands; what its listeners kept for the old value can go.
  // A failure here leaves the record written and is raised.
  Fire(&TQdfEventListner::posted);
}

int64_t TQdfTable::DropTrailingValues(const std::vector<TItemAdr>& classes, int field_index) {
  TQdfPageReader* reader = PageReader();
  if (reader == nullptr) throw EQdfException("Table " + ObjectName() + " has no page reader");
  CheckBrowse();
  RequireLocalChanges();
  TReaderUse use(reader);
  int64_t rewritten = 0;
  std::vector<uint8_t> old;
  std::vector<std::pair<const uint8_t*, int>> kept;
  TItemAdr adr = kBeforeFirstAdr;
  while (const uint8_t* record = NextItem(adr)) {
    const int size = LoadU16(record);
    if (size < kRecBodyStart) continue;
    if (std::find(classes.begin(), classes.end(), LoadAdr(record + kRecClassOffset)) ==
        classes.end()) {
      continue;
    }
    const uint8_t* body = record + kRecBodyStart;
    const auto body_size = static_cast<size_t>(size - kRecBodyStart);
    if (!ValidPackedItem(body, body_size)) {
      throw EQdfException("Table " + ObjectName() + ": the record at " + AdrToText(adr) +
                          " is damaged; run qdf check");
    }
    if (FieldCount(body) <= field_index) continue;
    old.assign(record, record + size);
    TFieldCursor in;
    in.OpenRead(old.data() + kRecBodyStart);
    kept.clear();
    int64_t data_size = 0;
    for (int i = 0; i < field_index; ++i) {
      int length = 0;
      const uint8_t* data = in.NextField(&length);
      kept.emplace_back(data, length);
      data_size += length;
    }
    const int64_t new_size = kRecBodyStart + PackedSize(field_index) + data_size;
    uint8_t* item = ResizeRecord(adr, static_cast<int>(new_size));
    StoreAdr(item + kRecClassOffset, LoadAdr(old.data() + kRecClassOffset));
    StoreU32(item + kRecVersionOffset, reader->TransactionNumber());
    TFieldCursor out;
    out.OpenWrite(item + kRecBodyStart, field_index, static_cast<size_t>(new_size - kRecBodyStart));
    for (const auto& [data, length] : kept) out.WriteBytes(length, data);
    out.Finish();
    ++rewritten;
  }
  if (rewritten > 0 && cursor_ != nullptr) cursor_->changed = true;
  return rewritten;
}

void TQdfTable::Delete(bool move_on) {
  RequireLocalChanges();
  TReaderUse use(PageReader());
  Cancel();
  // The delete builds the record's keys: from the stored record, not an image.
  if (on_image_) cursor_->Refresh();
  const TItemAdr adr = cursor_->Address();
  if (cursor_->Item() == nullptr) throw EQdfException("Cannot delete EOF: " + AdrToText(adr));
  Fire(&TQdfEventListner::before_delete);
  // A storage with a server update list would record a delete (kind 4) here.
  DeleteItem(adr);
  if (move_on) {
    TItemAdr next = adr;
    NextItem(next);
    cursor_->SetAddress(next);
  } else {
    cursor_->Refresh();
  }
  SyncCursorClass();
}

void TQdfTable::DeleteCurrent() {
  const TItemAdr current = cursor_->Address();
  Next();
  const TItemAdr next = cursor_->Address();
  cursor_->SetAddress(current);
  Delete(false);
  cursor_->SetAddress(next);
  SyncCursorClass();
}

// ---- navigation ----

void TQdfTable::First() {
  CheckBrowse();
  if (current_index_ != nullptr) {
    current_index_->First();
  } else {
    TQdfDataList::First();
  }
  SyncCursorClass();
}

void TQdfTable::Next() {
  CheckBrowse();
  if (current_index_ != nullptr) {
    if (cursor_->Address() == kBeforeFirstAdr) {
      current_index_->First();
    } else {
      current_index_->Next();
    }
  } else {
    TQdfDataList::Next();
  }
  SyncCursorClass();
}

void TQdfTable::Last() {
  CheckBrowse();
  if (current_index_ != nullptr) {
    current_index_->Last();
  } else {
    TItemAdr adr = kNullAdr;
    PriorItem(adr);
    cursor_->SetAddress(adr);
  }
  SyncCursorClass();
}

void TQdfTable::Prior() {
  CheckBrowse();
  if (current_index_ != nullptr) {
    if (cursor_->Address().IsNull()) {
      current_index_->Last();
    } else {
      current_index_->Prior();
    }
  } else {
    TItemAdr adr = cursor_->Address();
    if (!(adr == kBeforeFirstAdr)) {
      PriorItem(adr);
      cursor_->SetAddress(adr);
    }
  }
  SyncCursorClass();
}

void TQdfTable::ReadItem(TQdfItemProvider& provider) {
  const bool own = &provider == cursor_.get();
  // Reading another record ends an edit; a post reads its own record.
  if (own && !busy_ && state_ != kModeBrowse && !(provider.Address() == edit_adr_)) CheckBrowse();
  const bool preset = preset_ && own && provider.Address() == preset_adr_;
  uint8_t* item = preset ? preset_item_ : GetItem(provider.Address());
  if (own) on_image_ = preset && preset_image_;
  if (item != nullptr && LoadU16(item) < kRecBodyStart) item = nullptr;  // no record prefix
  provider.Fill(item);
  if (!own) return;
  if (item == nullptr) {
    cursor_class_ = nullptr;
    eof_ = true;
    bof_ = provider.Address() == kBeforeFirstAdr;
    return;
  }
  const TItemAdr class_adr = LoadAdr(item + kRecClassOffset);
  if (cursor_class_ == nullptr || !(cursor_class_->Address() == class_adr)) {
    cursor_class_ = item_class_ != nullptr ? item_class_->ClassByAddress(class_adr) : nullptr;
  }
}

int64_t TQdfTable::Count() {
  return current_index_ != nullptr ? current_index_->Count() : TQdfDataList::Count();
}

void TQdfTable::SetCursorAddress(const TItemAdr& adr) {
  if (on_image_ && cursor_->Address() == adr) {
    cursor_->Refresh();
  } else {
    cursor_->SetAddress(adr);
  }
  SyncCursorClass();
}

uint8_t* TQdfTable::ScanPage(uint32_t page, int* slots) {
  *slots = 0;
  TQdfPageReader* r = PageReader();
  if (r == nullptr || page == kNoPage) return nullptr;
  // The page list was collected before: a page given back since then is no
  // longer allocated and holds no records. Any other read error passes on.
  uint8_t* buf;
  try {
    buf = r->GetPage(page, kGpRead | kGpScan);
  } catch (const EQdfDataNotAllocated&) {
    return nullptr;
  }
  if (buf == nullptr || !OwnsPage(buf) || (LoadU16(buf + kPgFlags) & kPageNotLive) != 0 ||
      LoadU16(buf + kPgAreaOffset) == 0) {
    return nullptr;
  }
  *slots = TItemArea::OfPage(buf).SlotCount();
  return buf;
}

const uint8_t* TQdfTable::SetCursorInPage(uint8_t* page_buf, const TItemAdr& adr) {
  TItemArea area = TItemArea::OfPage(page_buf);
  uint8_t* item = adr.slot < area.SlotCount() ? area.ItemAt(adr.slot) : nullptr;
  if (item != nullptr) item = ResolveItem(item);
  preset_ = true;
  preset_adr_ = adr;
  preset_item_ = item;
  try {
    cursor_->SetAddress(adr);
  } catch (...) {
    preset_ = false;
    throw;
  }
  preset_ = false;
  SyncCursorClass();
  return cursor_->Item();
}

void TQdfTable::SetCursorToImage(const TItemAdr& adr, uint8_t* image) {
  preset_ = true;
  preset_image_ = true;
  preset_adr_ = adr;
  preset_item_ = image;
  try {
    if (cursor_->Address() == adr) {
      cursor_->Refresh();
    } else {
      cursor_->SetAddress(adr);
    }
  } catch (...) {
    preset_ = false;
    preset_image_ = false;
    throw;
  }
  preset_ = false;
  preset_image_ = false;
  SyncCursorClass();
}

// ---- emptying ----

void TQdfTable::ClearPages() {
  if (IsTemplate()) {
    // The records' keys and object-ID entries are only reachable through a
    // working instance (the template has no bound indexes of its own).
    TQdfTableStore* storage = OwnStorage();
    if (storage != nullptr && PageReader() != nullptr && !PageReader()->ReadOnly()) {
      if (auto* inst = dynamic_cast<TQdfTable*>(storage->FindInstance(this))) {
        inst->ClearPages();
        return;
      }
      std::unique_ptr<TQdfPersistentObject> temp = storage->ObjectByPath(FullName());
      if (auto* inst = dynamic_cast<TQdfTable*>(temp.get()); inst != nullptr && inst != this) {
        inst->ClearPages();
        return;
      }
    }
    TQdfDataList::ClearPages();
    return;
  }
  if (PageReader() == nullptr) {
    TQdfDataList::ClearPages();
    return;
  }
  RequireLocalChanges();
  CheckBrowse();
  TReaderUse use(PageReader());
  std::vector<TQdfIndex*> suspended;
  for (TQdfIndex* index : indexes_) {
    if (index->Listening()) {
      index->SetListening(false);
      suspended.push_back(index);
    }
  }
  try {
    bool others = false;
    for (const auto& l : Events().Listeners()) {
      others = others || static_cast<bool>(l->before_delete);
    }
    if (others) {
      // Every remaining listener hears of each record's deletion, so that
      // the object-ID index (and indexes of other parents) keep no entries
      // of records that are gone. A record a listener cannot find does not
      // stop the emptying.
      TItemAdr adr = kBeforeFirstAdr;
      while (NextItem(adr) != nullptr) {
        cursor_->SetAddress(adr);
        if (cursor_->Item() == nullptr) continue;
        try {
          Fire(&TQdfEventListner::before_delete);
        } catch (const std::exception& e) {
          Trace(std::string("Table ") + ObjectName() + ": " + e.what());
        }
      }
    }
    for (TQdfIndex* index : suspended) {
      index->ClearPages();
      index->MoveTo(kBeforeFirstAdr);
    }
  } catch (...) {
    for (TQdfIndex* index : suspended) index->SetListening(true);
    throw;
  }
  for (TQdfIndex* index : suspended) index->SetListening(true);
  TQdfDataList::ClearPages();
  cursor_->SetAddress(kNullAdr);
  cursor_class_ = nullptr;
}

// ---- replayed changes ----

void TQdfTable::ApplyUpdate(const TItemAdr& adr, int kind, const uint8_t* item,
                            uint64_t field_mask) {
  if (item == nullptr || LoadU16(item) < kRecBodyStart) {
    throw EQdfException("Table " + ObjectName() + ": update without record");
  }
  if (PageReader() == nullptr) throw EQdfException("Table " + ObjectName() + " has no page reader");
  TReaderUse use(PageReader());
  replaying_ = true;
  struct TEndReplay {
    bool& flag;
    ~TEndReplay() { flag = false; }
  } end_replay{replaying_};
  const int item_size = LoadU16(item);
  const uint8_t* body = item + kRecBodyStart;
  const int body_size = item_size - kRecBodyStart;
  const uint32_t version = LoadU32(item + kRecVersionOffset);
  // Field `f`'s value from the item into the edit buffer, marked modified.
  auto take = [&](TQdfField* f) {
    int length = 0;
    const uint8_t* data =
        body_size > 0 ? BoundedField(body, body_size, f->FieldIndex(), &length) : nullptr;
    f->SetData(data, length);
    f->SetModified(true);
  };
  switch (kind) {
    case 1:
    case 2: {
      CheckBrowse();
      cursor_->SetAddress(kNullAdr);
      TQdfItemClass* cls = item_class_ != nullptr
                               ? item_class_->ClassByAddress(LoadAdr(item + kRecClassOffset))
                               : nullptr;
      if (cls == nullptr) throw EQdfException("Try to append unknown class");
      cursor_class_ = cls;
      cursor_->mode = kModeEdit;
      state_ = kModeInsert;
      mode_ = kModeInsert;
      edit_adr_ = kNullAdr;
      try {
        // The replayed record keeps its own ThisID: no insert event.
        for (int i = 0; i < cls->FieldCount(); ++i) take(cls->FieldAt(i));
      } catch (...) {
        Cancel();
        throw;
      }
      Post();
      if (kind == 2) {
        if (TQdfTableStore* storage = OwnStorage())
          storage->AddFixupAddress(adr, cursor_->Address());
      }
      return;
    }
    case 3: {
      Cancel();
      SetCursorAddress(adr);
      const uint8_t* record = cursor_->Item();
      if (record == nullptr) throw EQdfException("Updating deleted Record");
      if (LoadU32(record + kRecVersionOffset) > version) {
        throw EQdfException("Record updated by another transaction");
      }
      TQdfItemClass* item_cls = item_class_ != nullptr
                                    ? item_class_->ClassByAddress(LoadAdr(item + kRecClassOffset))
                                    : nullptr;
      if (item_cls == nullptr || cursor_class_ == nullptr ||
          !item_cls->IsKindOfClass(cursor_class_)) {
        throw EQdfException("incompatible Classes");
      }
      TQdfItemClass* cls = Edit();
      try {
        for (int i = 0; i < cls->FieldCount() && i < item_cls->FieldCount(); ++i) {
          if (i < 64 && (field_mask & (uint64_t{1} << i)) == 0) continue;
          TQdfField* f = cls->FieldAt(i);
          if (f == cls->ThisIDField()) {
            // The same ID again is no change; another one fails at Post.
            int length = 0, mine = 0;
            const uint8_t* data =
                body_size > 0 ? BoundedField(body, body_size, f->FieldIndex(), &length) : nullptr;
            const uint8_t* own = f->GetData(&mine);
            if (length == mine &&
                (length == 0 || std::memcmp(data, own, static_cast<size_t>(length)) == 0)) {
              continue;
            }
          }
          take(f);
        }
      } catch (...) {
        Cancel();
        throw;
      }
      Post();
      return;
    }
    case 4: {
      Cancel();
      SetCursorAddress(adr);
      const uint8_t* record = cursor_->Item();
      if (record != nullptr && LoadU32(record + kRecVersionOffset) > version) {
        throw EQdfException("Record updated by another transaction");
      }
      return;
    }
    default:
      return;
  }
}

// ---- ThisID ----

void TQdfTable::ThisIDInsert() {
  TQdfObjectIDField* id = cursor_class_ != nullptr ? cursor_class_->ThisIDField() : nullptr;
  if (id != nullptr) id->SetAsID(TQdfPersistentObjectFactory::Instance().NewObjectID());
}

void TQdfTable::ThisIDBeforePost() {
  if (state_ != kModeEdit || cursor_class_ == nullptr) return;
  TQdfObjectIDField* id = cursor_class_->ThisIDField();
  if (id != nullptr && id->Modified()) throw EQdfException("ThisID may not be modified");
}

void TQdfTable::ThisIDAfterPost() {
  if (state_ != kModeInsert || cursor_class_ == nullptr) return;
  TQdfObjectIDField* id = cursor_class_->ThisIDField();
  TQdfTableStore* storage = OwnStorage();
  if (id == nullptr || id->IsNull() || storage == nullptr) return;
  if (!storage->InsertIDEntry(id->AsID(), cursor_->Address())) {
    throw EQdfException(
        Format("Key Violation on ThisID: %lld", static_cast<long long>(id->AsInt64())));
  }
  id_entered_ = true;
}

void TQdfTable::ThisIDAbandon() {
  if (!id_entered_ || cursor_class_ == nullptr) return;
  id_entered_ = false;
  TQdfObjectIDField* id = cursor_class_->ThisIDField();
  TQdfTableStore* storage = OwnStorage();
  if (id != nullptr && storage != nullptr) storage->DeleteIDEntry(id->AsID());
}

void TQdfTable::ThisIDBeforeDelete() {
  TQdfObjectIDField* id = cursor_class_ != nullptr ? cursor_class_->ThisIDField() : nullptr;
  TQdfTableStore* storage = OwnStorage();
  if (id == nullptr || id->IsNull() || storage == nullptr) return;
  if (!storage->DeleteIDEntry(id->AsID())) throw EQdfException("ID index out of order");
}

// ---- indexes ----

void TQdfTable::IndexRemoved(TQdfIndex* index) {
  indexes_.erase(std::remove(indexes_.begin(), indexes_.end(), index), indexes_.end());
  foreign_indexes_.erase(std::remove_if(foreign_indexes_.begin(), foreign_indexes_.end(),
                                        [index](const auto& e) { return e.second == index; }),
                         foreign_indexes_.end());
  if (current_index_ == index) current_index_ = nullptr;
}

TQdfIndex* TQdfTable::IndexByName(const std::string& name) const {
  for (TQdfIndex* index : indexes_) {
    if (SameText(index->ObjectName(), name)) return index;
  }
  return nullptr;
}

void TQdfTable::AttachIndex(TQdfIndex* index) {
  if (index == nullptr || !index->AttachTable(this)) return;
  if (index->Parent() == this &&
      std::find(indexes_.begin(), indexes_.end(), index) == indexes_.end()) {
    indexes_.push_back(index);
  }
}

TQdfIndex* TQdfTable::CreateIndex(const std::string& name, const std::string& key_list, bool build,
                                  TQdfPersistentObject* parent, bool unique,
                                  const std::string& class_name) {
  TQdfPersistentObject* tmpl = ClassObject();
  TQdfPersistentObject* own_parent = tmpl->Parent();
  if (parent == nullptr) parent = own_parent;
  if (parent == nullptr) {
    throw EQdfException("Cannot create index " + name + ": " + ObjectName() + " has no parent");
  }
  if (ChildByName(name) != nullptr || tmpl->ChildByName(name) != nullptr) {
    throw EQdfException(name + " existiert bereits in " + ObjectName());
  }
  TQdfItemClass* cls = item_class_;
  if (cls != nullptr && !class_name.empty()) cls = cls->ClassByName(class_name);
  if (cls == nullptr) return nullptr;

  // "a, DESC b": fields of the record class with their directions.
  std::string keys;
  for (const TKeyListItem& key : SplitKeyList(key_list)) {
    const bool ascending = key.ascending;
    TQdfField* field = cls->FieldByName(key.name);
    if (field == nullptr) return nullptr;
    keys += Format("%s %s [ixAscending=%s];", field->ClassInfo()->name, field->ObjectName().c_str(),
                   ascending ? "True" : "False");
  }

  auto* storage = dynamic_cast<TQdfTableStore*>(parent);
  if (storage == nullptr) storage = dynamic_cast<TQdfTableStore*>(parent->Storage());
  if (storage == nullptr) throw EQdfException("Cannot create index " + name + ": no storage");

  // The index goes under the table when it is created in the table's own
  // parent; otherwise (another storage) at the top of that storage.
  const bool under_table = parent == own_parent;
  std::string text;
  std::string path;
  if (under_table) {
    path = tmpl->FullName() + "." + name;
    text += "parent " + tmpl->FullName() + ";";
  } else {
    path = name;
    if (TQdfPersistentObject* old = parent->ChildByName(name))
      text += "drop " + old->FullName() + ";";
  }
  text += "create TQdfIndex " + name +
          " (TQdfIndexObject IDX$Order [BaseObjectClass=" + cls->ObjectName() + "] (" + keys;
  if (unique) text += "TQdfItemClass IDX$Structure (";
  text += "TQdfShortReferenceField REF$" + ObjectName() + " )";
  if (unique) text += ")";
  text += ");";
  if (build && (under_table || IsTemplate())) text += "rebuild " + path + ";";
  storage->Execute(text);

  TQdfPersistentObject* found = storage->RootObject()->ChildByPath(path);
  if (found == nullptr || !found->IsKindOf(TQdfIndex::kClassInfo)) return nullptr;
  auto* index = static_cast<TQdfIndex*>(found);
  if (IsTemplate()) {
    if (index->Parent() == this) AttachIndex(index);
    return index;
  }
  if (under_table) {
    // The template tree changed: this instance gets its own instance of the
    // new index.
    auto* mine = static_cast<TQdfIndex*>(index->CreateInstance(this, Storage(), PageReader()));
    AttachIndex(mine);
    if (build && std::find(indexes_.begin(), indexes_.end(), mine) != indexes_.end()) {
      mine->Rebuild(false);
    }
    return mine;
  }
  if (index->AttachTable(this)) {
    if (storage == OwnStorage()) foreign_indexes_.emplace_back(path, index);
    if (build) index->Rebuild(false);
  }
  return index;
}

}  // namespace qdf
