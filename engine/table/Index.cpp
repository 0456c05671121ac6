#include "table/Index.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "base/Helpers.h"
#include "base/PackedItem.h"
#include "base/QdfException.h"
#include "list/KeyCompare.h"
#include "platform/Trace.h"
#include "reader/CachePool.h"
#include "reader/PageReader.h"
#include "record/Field.h"
#include "record/Fields.h"
#include "record/IndexObject.h"
#include "record/ItemClass.h"
#include "table/Table.h"

namespace qdf {

QDF_DEFINE_PERSISTENT_CLASS(TQdfIndex, TQdfBtreeList);

namespace {

int FieldCountOf(const uint8_t* key) { return LoadU16(key + kKeyItemPrefix); }
int BodySize(const uint8_t* key) { return LoadU16(key) - kKeyItemPrefix; }

// Positions past the end / before the beginning are normalised to the list's
// two sentinels.
TItemAdr Normalised(const TItemAdr& adr) {
  if (adr.page == kNoPage) return adr;
  if (adr.slot == 0xFFFF) return kBeforeFirstAdr;
  return adr;
}

}  // namespace

TQdfIndex::TQdfIndex() {
  // Keys carry a 6-byte prefix (length, link) instead of a record's 13 bytes.
  cursor_ = std::make_unique<TQdfItemProvider>(this, kKeyItemPrefix);
}

TQdfIndex::~TQdfIndex() {
  if (TQdfTable* table = table_) {
    DetachTable(table);
    table->IndexRemoved(this);
  }
}

const std::vector<TQdfField*>& TQdfIndex::KeyFields() const {
  static const std::vector<TQdfField*> kNone;
  return key_class_ != nullptr ? key_class_->KeyFields() : kNone;
}

TQdfField* TQdfIndex::StructureField(int i) const {
  return structure_fields_[static_cast<size_t>(i)];
}

int TQdfIndex::StructureFieldCount() const { return static_cast<int>(structure_fields_.size()); }

void TQdfIndex::Loaded() {
  TQdfBtreeList::Loaded();
  key_class_ = nullptr;
  structure_ = nullptr;
  structure_fields_.clear();
  reference_field_ = reference_in_key_ = -1;
  TQdfPersistentObject* order = ChildByName("IDX$Order");
  if (order == nullptr || !order->IsKindOf(TQdfIndexObject::kClassInfo)) {
    SetCompare(nullptr, nullptr);
    SetSeparator(nullptr, nullptr);
    return;
  }
  key_class_ = static_cast<TQdfIndexObject*>(order);
  structure_ = key_class_->KeyStructure();
  key_class_->SetProvider(cursor_.get());
  for (int i = 0; i < structure_->FieldCount(); ++i) {
    TQdfField* f = structure_->FieldAt(i);
    // Keys have no class prefix: every key passes.
    f->SetItemClass(structure_, nullptr);
    structure_fields_.push_back(f);
    if (f->IsKindOf(TQdfShortReferenceField::kClassInfo) &&
        SameText(f->ObjectName().substr(0, 4), "REF$")) {
      reference_field_ = i;
    }
  }
  const std::vector<TQdfField*>& keys = key_class_->KeyFields();
  for (size_t j = 0; j < keys.size(); ++j) {
    if (reference_field_ >= 0 &&
        keys[j] == structure_fields_[static_cast<size_t>(reference_field_)]) {
      reference_in_key_ = static_cast<int>(j);
    }
  }
  SetCompare(this, &TQdfIndex::CompareRoutine);
  SetSeparator(this, &TQdfIndex::SeparatorRoutine);
}

void TQdfIndex::ClearData() {
  TQdfBtreeList::ClearData();
  pending_ = false;
  low_.clear();
  high_.clear();
}

// ---- comparison ----

int TQdfIndex::CompareRoutine(void* context, const uint8_t* item, const uint8_t* key) {
  const auto* self = static_cast<const TQdfIndex*>(context);
  const std::vector<TKeyField>& fields = self->key_class_->KeySpecs();
  const int count = static_cast<int>(fields.size());
  const int r = CompareKeys(item + kKeyItemPrefix, BodySize(item), key + kKeyItemPrefix,
                            BodySize(key), fields.data(), count, false);
  if (r != 0) return r;
  // A shorter tree item is a separator: it sorts below every key it was cut
  // from. A shorter search key matches every key that begins with its values.
  const int item_fields = FieldCountOf(item);
  if (item_fields < FieldCountOf(key) && item_fields < count) return -(item_fields + 1);
  return 0;
}

int TQdfIndex::SeparatorRoutine(void* context, const uint8_t* left, const uint8_t* right,
                                uint8_t* out, int capacity) {
  return static_cast<const TQdfIndex*>(context)->key_class_->MakeSeparator(left, right, out,
                                                                           capacity);
}

int TQdfIndex::ComparePartial(const uint8_t* a, const uint8_t* b) const {
  const std::vector<TKeyField>& fields = key_class_->KeySpecs();
  return CompareKeys(a + kKeyItemPrefix, BodySize(a), b + kKeyItemPrefix, BodySize(b),
                     fields.data(), static_cast<int>(fields.size()), false);
}

// ---- table binding ----

bool TQdfIndex::AttachTable(TQdfTable* table) {
  if (!Active() || table == nullptr || table->ItemClass() == nullptr) return false;
  if (table_ != nullptr) DetachTable(table_);
  TQdfItemClass* covered =
      table->ItemClass()->ClassByName(key_class_->IndexObjectHeader()->BaseObjectClass());
  if (covered == nullptr) return false;
  std::vector<TQdfField*> linked(structure_fields_.size(), nullptr);
  for (size_t i = 0; i < structure_fields_.size(); ++i) {
    TQdfField* f = structure_fields_[i];
    TQdfField* tf = covered->FieldByName(f->ObjectName());
    if (static_cast<int>(i) == reference_field_) continue;
    if (tf == nullptr) return false;
    linked[i] = tf;
  }
  linked_ = std::move(linked);
  covered_ = covered;
  table_ = table;
  SetListening(true);
  return true;
}

void TQdfIndex::DetachTable(TQdfTable* table) {
  if (table == nullptr || table != table_) return;
  SetListening(false);
  table_ = nullptr;
  covered_ = nullptr;
  linked_.clear();
  pending_ = false;
}

void TQdfIndex::SetListening(bool on) {
  if (table_ == nullptr) {
    listening_ = false;
    return;
  }
  if (on == listening_) return;
  listening_ = on;
  if (!on) {
    table_->Events().Remove(this);
    return;
  }
  TQdfEventListner& l = table_->Events().Add(this);
  l.before_post = [this](TQdfPersistentObject*, void* cls) {
    OnBeforePost(static_cast<TQdfItemClass*>(cls));
  };
  l.after_post = [this](TQdfPersistentObject*, void*) { OnAfterPost(); };
  l.abandon = [this](TQdfPersistentObject*, void*) { OnAbandon(); };
  l.before_delete = [this](TQdfPersistentObject*, void* cls) {
    OnBeforeDelete(static_cast<TQdfItemClass*>(cls));
  };
}

bool TQdfIndex::Covers(const TQdfItemClass* record_class) const {
  return covered_ != nullptr && record_class != nullptr && covered_->IsKindOfClass(record_class);
}

// ---- keys ----

int TQdfIndex::BuildKeyFromFields(bool trim) {
  const int n = StructureFieldCount();
  int count = n;
  if (trim) {
    while (count > 1 && structure_fields_[static_cast<size_t>(count - 1)]->IsNull()) --count;
  }
  key_buffer_.Init(count);
  for (int i = 0; i < count; ++i) {
    int len = 0;
    const uint8_t* data = structure_fields_[static_cast<size_t>(i)]->GetData(&len);
    if (data != nullptr && len > 0) key_buffer_.AddField(i, len, data);
  }
  const int size = key_buffer_.Close();
  SetMode(kModeBrowse);
  return size;
}

int TQdfIndex::BuildKeyFromRecord() {
  QDF_ASSERT(table_ != nullptr, "QdfIndex");
  TQdfItemProvider& rc = table_->Cursor();
  const uint8_t* item = rc.Item();
  const uint8_t* body = item != nullptr ? item + kRecBodyStart : nullptr;
  const int body_size = item != nullptr ? LoadU16(item) - kRecBodyStart : 0;
  const int n = StructureFieldCount();
  key_buffer_.Init(n);
  for (int i = 0; i < n; ++i) {
    if (i == reference_field_) {
      key_buffer_.AddValue(i, rc.Address());
      continue;
    }
    const TQdfField* tf = linked_[static_cast<size_t>(i)];
    if (tf == nullptr || body == nullptr) continue;
    int len = 0;
    const uint8_t* v = BoundedField(body, body_size, tf->FieldIndex(), &len);
    if (v != nullptr && len > 0) key_buffer_.AddField(i, len, v);
  }
  return key_buffer_.Close();
}

std::vector<uint8_t> TQdfIndex::TakeKey() {
  return std::vector<uint8_t>(key_buffer_.Key(), key_buffer_.Key() + key_buffer_.Size());
}

TItemAdr TQdfIndex::RecordOfKey(const uint8_t* key) const {
  if (key == nullptr || reference_field_ < 0) return kNullAdr;
  int len = 0;
  const uint8_t* v = BoundedField(key + kKeyItemPrefix, BodySize(key), reference_field_, &len);
  return v != nullptr && len >= kItemAdrSize ? LoadAdr(v) : kNullAdr;
}

void TQdfIndex::SetMode(int mode) {
  mode_ = mode;
  cursor_->mode = mode;
}

void TQdfIndex::LoadFields(const uint8_t* key) {
  SetMode(kModeEdit);
  for (int i = 0; i < StructureFieldCount(); ++i) {
    int len = 0;
    const uint8_t* v =
        key != nullptr ? BoundedField(key + kKeyItemPrefix, BodySize(key), i, &len) : nullptr;
    structure_fields_[static_cast<size_t>(i)]->SetData(v, len);
  }
}

std::string TQdfIndex::KeyText(const uint8_t* key) {
  const int saved = cursor_->mode;
  std::string text;
  try {
    cursor_->mode = kModeEdit;
    const std::vector<TQdfField*>& keys = KeyFields();
    for (size_t j = 0; j < keys.size(); ++j) {
      if (static_cast<int>(j) == reference_in_key_) continue;
      int len = 0;
      const uint8_t* v =
          BoundedField(key + kKeyItemPrefix, BodySize(key), keys[j]->FieldIndex(), &len);
      keys[j]->SetData(v, len);
      if (!text.empty()) text += ",";
      text += keys[j]->GetAsString();
    }
  } catch (const std::exception&) {
    text = "Invalid Key-Value";
  }
  cursor_->mode = saved;
  return text;
}

std::string TQdfIndex::OrderText(bool reversed) const {
  std::string text;
  for (const TQdfField* f : KeyFields()) {
    if (!text.empty()) text += ",";
    if (f->Ascending() == reversed) text += "DESC ";
    text += f->ObjectName();
  }
  return text;
}

// ---- rebuild ----

void TQdfIndex::Rebuild(bool restrict_to_class) {
  if (table_ == nullptr || !Active()) {
    throw EQdfException("Index " + ObjectName() + " is not attached to a table");
  }
  TQdfItemProvider& rc = table_->Cursor();
  const TItemAdr saved = rc.Address();
  ClearPages();
  DropTree(false);
  // Every record in physical order: the table's current index may be this
  // one, or ranged. No reader bracket around the walk: the record pointer is
  // used before the key is appended, and the cache may trim between records
  // instead of holding every page of the table at once.
  TItemAdr adr = kBeforeFirstAdr;
  while (uint8_t* item = table_->NextItem(adr)) {
    if (restrict_to_class) {
      const TQdfItemClass* cls =
          table_->ItemClass()->ClassByAddress(LoadAdr(item + kRecClassOffset));
      if (!Covers(cls)) continue;
    }
    rc.SetAddress(adr);
    BuildKeyFromRecord();
    AppendCopy(key_buffer_.Key());
  }
  if (ItemListHeader()->CountIt() > 0) Sort();
  SetSorted(true);
  if (Unique()) {
    // Equal neighbours after the sort are duplicates.
    std::vector<uint8_t> prev;
    TItemAdr k = kBeforeFirstAdr;
    while (uint8_t* key = NextItem(k)) {
      if (!prev.empty() && CompareRoutine(this, prev.data(), key) == 0) {
        const std::string value = KeyText(key);
        ClearPages();
        rc.SetAddress(saved);
        throw EQdfException::FmtHelp(kHelpDuplicateKey, "Duplicate Key in Index: %s Value: %s",
                                     ObjectName().c_str(), value.c_str());
      }
      prev.assign(key, key + LoadU16(key));
    }
  }
  BuildTree();
  rc.SetAddress(saved);
  MoveTo(kBeforeFirstAdr);
}

// ---- ranges ----

void TQdfIndex::SetRange(const uint8_t* low, const uint8_t* high) {
  if (low != nullptr) {
    low_.assign(low, low + LoadU16(low));
  } else {
    low_.clear();
  }
  if (high != nullptr) {
    high_.assign(high, high + LoadU16(high));
  } else {
    high_.clear();
  }
}

int TQdfIndex::InRange(const uint8_t* key) const {
  if (key == nullptr) return -2;
  if (!low_.empty() && ComparePartial(key, low_.data()) < 0) return -1;
  if (!high_.empty() && ComparePartial(key, high_.data()) > 0) return 1;
  return 0;
}

// ---- cursor ----

void TQdfIndex::MoveTo(const TItemAdr& adr, bool move_table) {
  const TItemAdr to = Normalised(adr);
  cursor_->SetAddress(to);
  eof_ = to.IsNull();
  bof_ = to == kBeforeFirstAdr;
  if (table_ == nullptr || !move_table) return;
  const uint8_t* key = to.page != kNoPage ? cursor_->Item() : nullptr;
  table_->Cursor().SetAddress(key != nullptr ? RecordOfKey(key) : to);
}

void TQdfIndex::SyncWithTable() {
  if (table_ == nullptr) return;
  const TItemAdr table_adr = table_->Cursor().Address();
  const uint8_t* key = cursor_->Address().page != kNoPage ? cursor_->Item() : nullptr;
  const TItemAdr mine = key != nullptr ? RecordOfKey(key) : cursor_->Address();
  if (mine == table_adr) return;
  if (table_adr.page == kNoPage) {
    cursor_->SetAddress(table_adr);
    return;
  }
  if (table_->Cursor().Item() == nullptr) return;
  BuildKeyFromRecord();
  TItemAdr found;
  if (Find(key_buffer_.Key(), &found, true)) cursor_->SetAddress(found);
}

void TQdfIndex::First() {
  TReaderUse use(PageReader());
  TItemAdr adr = kBeforeFirstAdr;
  if (!low_.empty()) {
    FindFirst(low_.data(), &adr, true);
    adr = Normalised(adr);
    if (adr == kBeforeFirstAdr) NextItem(adr);
  } else {
    NextItem(adr);
  }
  for (;;) {
    const uint8_t* key = adr.page != kNoPage ? GetItem(adr) : nullptr;
    const int where = InRange(key);
    if (where == -1) {
      NextItem(adr);
      continue;
    }
    if (where != 0) adr = kNullAdr;
    break;
  }
  MoveTo(adr);
}

void TQdfIndex::Last() {
  TReaderUse use(PageReader());
  TItemAdr adr = kNullAdr;
  if (!high_.empty()) {
    FindKey(high_.data(), &adr);
    adr = Normalised(adr);
    if (adr == kBeforeFirstAdr) NextItem(adr);
    while (adr.page != kNoPage) {
      const uint8_t* key = GetItem(adr);
      if (key == nullptr || InRange(key) == 1) break;
      NextItem(adr);
    }
  }
  PriorItem(adr);
  const uint8_t* key = adr.page != kNoPage ? GetItem(adr) : nullptr;
  if (key != nullptr && InRange(key) != 0) adr = kBeforeFirstAdr;
  MoveTo(adr);
}

void TQdfIndex::Next() {
  TReaderUse use(PageReader());
  SyncWithTable();
  TItemAdr adr = cursor_->Address();
  if (adr.IsNull()) {
    MoveTo(adr);
    return;
  }
  const uint8_t* key = NextItem(adr);
  if (key != nullptr && InRange(key) != 0) adr = kNullAdr;
  MoveTo(adr);
}

void TQdfIndex::Prior() {
  TReaderUse use(PageReader());
  SyncWithTable();
  TItemAdr adr = cursor_->Address();
  if (adr == kBeforeFirstAdr) {
    MoveTo(adr);
    return;
  }
  const uint8_t* key = PriorItem(adr);
  if (key != nullptr && InRange(key) != 0) adr = kBeforeFirstAdr;
  MoveTo(adr);
}

void TQdfIndex::StepKey(bool backward) {
  TReaderUse use(PageReader());
  TItemAdr adr = cursor_->Address();
  if (backward) {
    if (adr == kBeforeFirstAdr) return;
    const uint8_t* key = PriorItem(adr);
    if (key != nullptr && InRange(key) != 0) adr = kBeforeFirstAdr;
  } else {
    if (adr.IsNull()) return;
    uint8_t* key = NextItem(adr);
    if (key != nullptr && InRange(key) == 0) {
      // The common step: the next key, in range, is at hand already.
      cursor_->SetFound(adr, key);
      eof_ = bof_ = false;
      return;
    }
    if (key != nullptr) adr = kNullAdr;
  }
  MoveTo(adr, false);
}

const uint8_t* TQdfIndex::KeyField(const uint8_t* key, int i, int* length) const {
  *length = 0;
  if (key == nullptr) return nullptr;
  return BoundedField(key + kKeyItemPrefix, BodySize(key), i, length);
}

void TQdfIndex::Edit() {
  if (mode_ != kModeBrowse) return;
  const uint8_t* key = cursor_->Address().page != kNoPage ? cursor_->Item() : nullptr;
  if (key == nullptr) throw EQdfException("Cannot edit EOF: " + AdrToText(cursor_->Address()));
  LoadFields(key);
}

TQdfItemClass* TQdfIndex::Insert() {
  SetMode(kModeInsert);
  for (TQdfField* f : structure_fields_) f->SetData(nullptr, 0);
  return structure_;
}

void TQdfIndex::Cancel() { SetMode(kModeBrowse); }

void TQdfIndex::Post() {
  if (mode_ != kModeEdit && mode_ != kModeInsert) return;
  const int mode = mode_;
  TQdfPageReader* r = PageReader();
  TReaderUse use(r);
  BuildKeyFromFields(false);
  const uint8_t* key = key_buffer_.Key();
  TItemAdr adr;
  if (mode == kModeInsert) {
    if (!TQdfBtreeList::Insert(key, &adr)) throw EAbort("Key Violation");
    cursor_->SetAddress(adr);
    return;
  }
  adr = cursor_->Address();
  const uint8_t* current = adr.page != kNoPage ? cursor_->Item() : nullptr;
  if (current == nullptr) throw EQdfException("Cannot edit EOF: " + AdrToText(adr));
  if (LoadU16(current) == key_buffer_.Size() && CompareRoutine(this, current, key) == 0) {
    // Same key fields, same length: only what is outside the key changed.
    uint8_t* dest = EditItem(adr);
    std::memcpy(dest + kKeyItemPrefix, key + kKeyItemPrefix,
                static_cast<size_t>(key_buffer_.Size() - kKeyItemPrefix));
    return;
  }
  // Check before touching the old key, so that a refused key loses nothing.
  TItemAdr other;
  if (Find(key, &other, true) && other != adr) throw EAbort("Key Violation");
  std::vector<uint8_t> copy = TakeKey();
  DeleteAt(adr);
  if (!TQdfBtreeList::Insert(copy.data(), &adr)) throw EAbort("Key Violation");
  cursor_->SetAddress(adr);
}

void TQdfIndex::DeleteCurrent() {
  TItemAdr adr = cursor_->Address();
  if (adr.page == kNoPage) return;
  DeleteAt(adr);
  MoveTo(adr);
}

int64_t TQdfIndex::Count() { return ItemListHeader()->CountIt(); }

bool TQdfIndex::GotoKey(bool back, bool move_table) {
  TReaderUse use(PageReader());
  BuildKeyFromFields(true);
  const std::vector<uint8_t> key = TakeKey();
  TItemAdr adr;
  const bool found = FindFirst(key.data(), &adr, true);
  adr = Normalised(adr);
  if (adr == kBeforeFirstAdr) NextItem(adr);
  while (adr.page != kNoPage) {
    const uint8_t* item = GetItem(adr);
    if (item == nullptr || CompareRoutine(this, item, key.data()) != 0) break;
    NextItem(adr);
  }
  // Backwards: the last key at or below the search key, also when no key
  // equals it.
  if (back) PriorItem(adr);
  MoveTo(adr, move_table);
  return found;
}

bool TQdfIndex::GotoNearest(bool forward, bool move_table) {
  TReaderUse use(PageReader());
  BuildKeyFromFields(true);
  const std::vector<uint8_t> key = TakeKey();
  TItemAdr adr;
  bool found = FindFirst(key.data(), &adr, forward);
  adr = Normalised(adr);
  if (adr.page == kNoPage && !forward && adr.IsNull()) adr = kBeforeFirstAdr;
  if (found && !forward) found = PriorItem(adr) != nullptr;
  MoveTo(adr, move_table);
  return found;
}

// ---- table events ----

void TQdfIndex::OnBeforePost(TQdfItemClass* record_class) {
  pending_ = false;
  if (!Covers(record_class)) return;
  const int state = table_->State();
  if (state != kModeEdit && state != kModeInsert) return;
  if (state == kModeEdit) {
    bool touched = false;
    for (const TQdfField* f : linked_) touched = touched || (f != nullptr && f->Modified());
    if (!touched) return;
    // The record's stored key may be among the deferred ones.
    FlushDeferred();
    BuildKeyFromRecord();
    TItemAdr adr;
    if (!Find(key_buffer_.Key(), &adr, true)) throw EQdfException("Index out of order");
    cursor_->SetAddress(adr);
  }
  SetMode(state);
  const TItemAdr record = state == kModeEdit ? table_->Cursor().Address() : kNullAdr;
  for (int i = 0; i < StructureFieldCount(); ++i) {
    TQdfField* f = structure_fields_[static_cast<size_t>(i)];
    if (i == reference_field_) {
      uint8_t b[kItemAdrSize];
      StoreAdr(b, record);
      f->SetData(b, kItemAdrSize);
      continue;
    }
    int len = 0;
    const uint8_t* v = linked_[static_cast<size_t>(i)]->GetData(&len);
    f->SetData(v, len);
  }
  pending_mode_ = state;
  if (Unique()) {
    try {
      Post();
    } catch (const EAbort&) {
      SetMode(kModeBrowse);
      const std::string value = KeyText(key_buffer_.Key());
      throw EQdfException::FmtHelp(kHelpDuplicateKey, "Duplicate Key in Index: %s Value: %s",
                                   ObjectName().c_str(), value.c_str());
    }
    // The trial key stands at the cursor until the record's address is known.
  }
  pending_ = true;
}

void TQdfIndex::OnAfterPost() {
  if (!pending_) return;
  pending_ = false;
  TReaderUse use(PageReader());
  if (Unique()) LoadFields(cursor_->Item());
  SetMode(Unique() ? kModeEdit : pending_mode_);
  uint8_t b[kItemAdrSize];
  StoreAdr(b, table_->Cursor().Address());
  if (reference_field_ >= 0)
    structure_fields_[static_cast<size_t>(reference_field_)]->SetData(b, kItemAdrSize);
  if (deferring_ && pending_mode_ == kModeInsert) {
    BuildKeyFromFields(false);
    DeferKey(deferred_inserts_);
    return;
  }
  Post();
}

void TQdfIndex::OnAbandon() {
  if (!pending_) return;
  pending_ = false;
  SetMode(kModeBrowse);
  if (!Unique()) return;
  TReaderUse use(PageReader());
  TItemAdr adr = cursor_->Address();
  if (adr.page != kNoPage) DeleteAt(adr);
  if (pending_mode_ == kModeEdit) {
    // The edited record keeps its stored values: its key goes back.
    BuildKeyFromRecord();
    if (!TQdfBtreeList::Insert(key_buffer_.Key(), &adr)) throw EQdfException("Key Violation");
    cursor_->SetAddress(adr);
  }
}

void TQdfIndex::OnBeforeDelete(TQdfItemClass* record_class) {
  if (!Covers(record_class)) return;
  TReaderUse use(PageReader());
  if (deferring_) {
    // A record inserted in this run may be deleted in it: its key first.
    if (!deferred_inserts_.empty()) FlushDeferred();
    BuildKeyFromRecord();
    DeferKey(deferred_deletes_);
    return;
  }
  BuildKeyFromRecord();
  TItemAdr adr;
  const TItemAdr record = table_->Cursor().Address();
  const uint8_t* key = Find(key_buffer_.Key(), &adr, true) ? GetItem(adr) : nullptr;
  // In a unique index the record address is not part of the key: make sure
  // the key found is this record's, not another record's with equal values.
  if (key == nullptr || (reference_field_ >= 0 && RecordOfKey(key) != record)) {
    throw EQdfException::Fmt("Index %s out of order", ObjectName().c_str());
  }
  DeleteAt(adr);
}

// ---- deferred upkeep ----

namespace {
// Upkeep is deferred for a tree of more pages than this share of the cache
// (1/8): the keys of a bulk operation in random order would then keep
// reading its pages back.
constexpr int64_t kDeferAboveCacheShare = 8;
// Between rows, a bulk operation applies the keys an index collected once
// they reach this many bytes, so that an operation of any size holds little
// memory. A run of 1 MB (some 40,000 short keys) still visits each leaf
// once.
constexpr size_t kDeferredBytesLimit = size_t{1} << 20;
}  // namespace

bool TQdfIndex::DeferUpkeep() {
  if (Unique() || !Active()) return false;
  // A tree that stays in the cache takes its keys as well in any order:
  // sorting them would only add work. The configured size, not the budget
  // of the moment, which follows it only at the next trim.
  if (PageListHeader()->CountPg() * kDeferAboveCacheShare <= TCachePool::Instance().CacheSize()) {
    return false;
  }
  deferring_ = true;
  return true;
}

void TQdfIndex::DeferKey(std::vector<uint32_t>& offsets) {
  const size_t size = static_cast<size_t>(key_buffer_.Size());
  if (deferred_keys_.size() + size > UINT32_MAX) {
    // Offsets are 32 bits: apply what was collected (the key buffer is
    // rebuilt from a copy, as applying searches with it).
    std::vector<uint8_t> key(key_buffer_.Key(), key_buffer_.Key() + size);
    FlushDeferred();
    offsets.push_back(0);
    deferred_keys_.assign(key.begin(), key.end());
    return;
  }
  offsets.push_back(static_cast<uint32_t>(deferred_keys_.size()));
  deferred_keys_.insert(deferred_keys_.end(), key_buffer_.Key(), key_buffer_.Key() + size);
}

void TQdfIndex::FlushDeferred() {
  if (deferred_inserts_.empty() && deferred_deletes_.empty()) return;
  // Taken out first: whatever happens below, no key is applied twice.
  std::vector<uint8_t> keys;
  std::vector<uint32_t> inserts, deletes;
  keys.swap(deferred_keys_);
  inserts.swap(deferred_inserts_);
  deletes.swap(deferred_deletes_);
  const uint8_t* base = keys.data();
  auto in_key_order = [this, base](uint32_t a, uint32_t b) {
    return CompareRoutine(this, base + a, base + b) < 0;
  };
  // Keys often come in order already (records deleted from the last page
  // down, rows copied in the order of a field that grows with them).
  auto order = [&in_key_order](std::vector<uint32_t>& offsets) {
    if (std::is_sorted(offsets.begin(), offsets.end(), in_key_order)) return;
    if (std::is_sorted(offsets.rbegin(), offsets.rend(), in_key_order)) {
      std::reverse(offsets.begin(), offsets.end());
      return;
    }
    std::sort(offsets.begin(), offsets.end(), in_key_order);
  };
  order(deletes);
  order(inserts);
  TItemAdr adr;
  // A reader bracket per key, not around the loop: the cache may trim
  // between keys instead of holding every page the run touches.
  for (const uint32_t at : deletes) {
    TReaderUse use(PageReader());
    const uint8_t* key = base + at;
    const uint8_t* found = Find(key, &adr, true) ? GetItem(adr) : nullptr;
    if (found == nullptr || (reference_field_ >= 0 && RecordOfKey(found) != RecordOfKey(key))) {
      throw EQdfException::Fmt("Index %s out of order", ObjectName().c_str());
    }
    DeleteAt(adr);
  }
  for (const uint32_t at : inserts) {
    TReaderUse use(PageReader());
    if (!TQdfBtreeList::Insert(base + at, &adr)) throw EAbort("Key Violation");
    cursor_->SetAddress(adr);
  }
}

void TQdfIndex::ApplyDeferred() {
  deferring_ = false;
  FlushDeferred();
}

TDeferredIndexUpkeep::TDeferredIndexUpkeep(TQdfTable& table) {
  for (TQdfIndex* ix : table.Indexes()) {
    if (ix != nullptr && !ix->Deferring() && ix->DeferUpkeep()) indexes_.push_back(ix);
  }
}

TDeferredIndexUpkeep::~TDeferredIndexUpkeep() {
  for (TQdfIndex* ix : indexes_) {
    try {
      ix->ApplyDeferred();
    } catch (const std::exception& e) {
      Trace(std::string("Index ") + ix->ObjectName() + ": deferred keys not applied: " + e.what());
    }
  }
}

void TDeferredIndexUpkeep::Step() {
  for (TQdfIndex* ix : indexes_) {
    if (ix->DeferredBytes() >= kDeferredBytesLimit) ix->FlushDeferred();
  }
}

void TDeferredIndexUpkeep::Apply() {
  std::vector<TQdfIndex*> indexes;
  indexes.swap(indexes_);
  for (size_t i = 0; i < indexes.size(); ++i) {
    try {
      indexes[i]->ApplyDeferred();
    } catch (...) {
      // The others still get their keys (the destructor applies them).
      indexes_.assign(indexes.begin() + static_cast<std::ptrdiff_t>(i) + 1, indexes.end());
      throw;
    }
  }
}

void TQdfIndex::BuildSearchKey(int count) {
  const std::vector<TQdfField*>& keys = KeyFields();
  // The same values as a key (trailing nulls dropped) in the key buffer.
  key_buffer_.Init(count > 0 ? count : 1);
  for (int i = 0; i < count; ++i) {
    TQdfField* key = keys[static_cast<size_t>(i)];
    int length = 0;
    const uint8_t* data = key->GetData(&length);
    if (data != nullptr && length > 0) key_buffer_.AddField(i, length, data);
  }
  key_buffer_.Close();
}

}  // namespace qdf
