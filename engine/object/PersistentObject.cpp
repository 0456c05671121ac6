#include "object/PersistentObject.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/Helpers.h"
#include "base/QdfException.h"
#include "reader/PageReader.h"

namespace qdf {

const TClassInfo TQdfPersistentObject::kClassInfo = {
    "TQdfPersistentObject", nullptr,
    [](TQdfPersistentObject* class_object) -> TObject* {
      std::unique_ptr<TQdfPersistentObject> o(new TQdfPersistentObject());
      o->Construct(class_object);
      return o.release();
    },
    nullptr, 0};

const TClassInfo TQdfSchemaObject::kClassInfo = {
    "TQdfSchemaObject", &TQdfPersistentObject::kClassInfo, nullptr, nullptr, 0};

// ---- events ----

TQdfEventListner& TQdfEvents::Add(const void* subscriber) {
  if (TQdfEventListner* l = Find(subscriber)) return *l;
  list_.push_back(std::make_unique<TQdfEventListner>());
  list_.back()->subscriber = subscriber;
  return *list_.back();
}

TQdfEventListner* TQdfEvents::Find(const void* subscriber) {
  for (auto it = list_.rbegin(); it != list_.rend(); ++it) {
    if ((*it)->subscriber == subscriber) return it->get();
  }
  return nullptr;
}

void TQdfEvents::Remove(const void* subscriber) {
  for (auto it = list_.end(); it != list_.begin();) {
    --it;
    if ((*it)->subscriber == subscriber) {
      list_.erase(it);
      return;
    }
  }
}

// ---- construction ----

std::unique_ptr<TQdfPersistentObject> TQdfPersistentObject::Create(
    const TClassInfo& info, TQdfPersistentObject* class_object) {
  if (info.create == nullptr || !info.InheritsFrom(&TQdfPersistentObject::kClassInfo)) {
    return nullptr;
  }
  return std::unique_ptr<TQdfPersistentObject>(
      static_cast<TQdfPersistentObject*>(info.create(class_object)));
}

const TClassInfo& TQdfPersistentObject::HeaderClass() const {
  return TQHPersistentObject::kClassInfo;
}

void TQdfPersistentObject::Construct(TQdfPersistentObject* class_object) {
  if (class_object != nullptr) {
    header_holder_ = class_object->header_holder_;
    header_ = class_object->header_;
    is_template_ = false;
    class_object_ = class_object;
  } else {
    header_holder_ = NewHeader(HeaderClass(), this);
    header_ = header_holder_.get();
    is_template_ = true;
    class_object_ = this;
    header_->SetAddress(kNullAdr);
  }
}

TQdfPersistentObject::TQdfPersistentObject() { BumpObjectTreeEpoch(); }

TQdfPersistentObject::~TQdfPersistentObject() {
  BumpObjectTreeEpoch();
  // Children first (last to first), then leave the parent and the storage.
  while (!children_.empty()) {
    TQdfPersistentObject* child = children_.back();
    children_.pop_back();
    child->parent_ = nullptr;
    delete child;
  }
  if (parent_ != nullptr) parent_->RemoveChild(this);
  if (storage_ != nullptr) storage_->ObjectRemoved(this);
  if (is_template_ && header_holder_.use_count() > 1) header_holder_->ClearOwner();
}

// ---- tree ----

int TQdfPersistentObject::IndexOfChild(const TQdfPersistentObject* child) const {
  auto it = std::find(children_.begin(), children_.end(), child);
  return it == children_.end() ? -1 : static_cast<int>(it - children_.begin());
}

void TQdfPersistentObject::AddChild(TQdfPersistentObject* child) {
  BumpObjectTreeEpoch();
  children_.push_back(child);
  if (!child_index_) child_index_ = std::make_unique<THashList>(&CaseInsensitiveTraits(), 1000);
  child_index_->Put(child->ObjectName(), child);
}

void TQdfPersistentObject::RemoveChild(TQdfPersistentObject* child) {
  BumpObjectTreeEpoch();
  auto it = std::find(children_.begin(), children_.end(), child);
  if (it == children_.end()) return;
  children_.erase(it);
  if (child_index_ && child_index_->Get(child->ObjectName()) == child) {
    child_index_->Remove(child->ObjectName());
  }
  child->parent_ = nullptr;
}

void TQdfPersistentObject::RenameInParent(const std::string& old_name,
                                          const std::string& new_name) {
  if (parent_ == nullptr || !parent_->child_index_) return;
  THashList& index = *parent_->child_index_;
  if (index.Get(old_name) == this) index.Remove(old_name);
  index.Put(new_name, this);
}

void TQdfPersistentObject::SetParent(TQdfPersistentObject* parent) {
  if (parent == parent_) return;
  if (parent_ != nullptr) parent_->RemoveChild(this);
  if (parent == nullptr) return;
  auto* store = dynamic_cast<TQdfObjectStore*>(parent);
  if (!is_template_ && store != nullptr) {
    // A working instance under the storage: registered, not a child.
    store->RegisterInstance(this);
    return;
  }
  parent_ = parent;
  parent->AddChild(this);
  header_->SetParentIndex(static_cast<int32_t>(parent->children_.size() - 1));
  header_->SetParentAddress(parent->Address());
}

TQdfPersistentObject* TQdfPersistentObject::ChildByName(std::string_view name) const {
  if (!child_index_) return nullptr;
  return static_cast<TQdfPersistentObject*>(child_index_->Get(std::string(name)));
}

TQdfPersistentObject* TQdfPersistentObject::ChildByPath(std::string_view path) const {
  const TQdfPersistentObject* node = this;
  while (node != nullptr) {
    size_t dot = path.find('.');
    std::string_view part = path.substr(0, dot);
    node = node->ChildByName(part);
    if (dot == std::string_view::npos) break;
    path = path.substr(dot + 1);
  }
  return const_cast<TQdfPersistentObject*>(node);
}

std::string TQdfPersistentObject::FullName() const {
  std::vector<const TQdfPersistentObject*> chain;
  for (const TQdfPersistentObject* o = this; o != nullptr; o = o->parent_) {
    if (dynamic_cast<const TQdfObjectStore*>(o) != nullptr) break;
    chain.push_back(o);
  }
  std::string out;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!out.empty()) out += '.';
    out += (*it)->ObjectName();
  }
  return out;
}

void TQdfPersistentObject::SetProperties(const std::string& text) {
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find(';', pos);
    if (end == std::string::npos) end = text.size();
    std::string assignment = text.substr(pos, end - pos);
    pos = end + 1;
    size_t eq = assignment.find('=');
    if (eq == std::string::npos) continue;
    std::string name = Trim(assignment.substr(0, eq));
    size_t dot = name.find('.');
    if (dot != std::string::npos) {
      // "child.rest=value": the rest of the assignment goes to the child.
      TQdfPersistentObject* child = ChildByName(name.substr(0, dot));
      size_t raw_dot = assignment.find('.');
      if (child != nullptr) child->SetProperties(assignment.substr(raw_dot + 1));
      continue;
    }
    header_->SetPropertyText(name, assignment.substr(eq + 1));
  }
}

// ---- context ----

void TQdfPersistentObject::SetStorage(TQdfObjectStore* storage) {
  storage_ = storage;
  for (TQdfPersistentObject* c : children_) c->SetStorage(storage);
}

void TQdfPersistentObject::SetPageReader(TQdfPageReader* reader) {
  page_reader_ = reader;
  for (TQdfPersistentObject* c : children_) c->SetPageReader(reader);
}

void TQdfPersistentObject::RecordSchemaChange() {
  if (storage_ != nullptr) storage_->RecordSchemaChange();
}

TQdfEvents& TQdfPersistentObject::Events() {
  if (!events_) events_ = std::make_unique<TQdfEvents>();
  return *events_;
}

bool TQdfPersistentObject::CanWrite() const {
  return page_reader_ != nullptr && !page_reader_->ReadOnly() && !page_reader_->Shadow();
}

// ---- stored header ----

void TQdfPersistentObject::LoadHeader() {
  const uint8_t* item = nullptr;
  int size = 0;
  if (storage_ != nullptr && !Address().IsNull()) {
    item = storage_->ReadHeaderItem(Address(), &size);
  }
  // An item whose body is damaged or has no fields counts as absent.
  if (item != nullptr &&
      (size < kRecordPrefixSize + 2 ||
       !ValidPackedItem(item + kRecordPrefixSize, static_cast<size_t>(size - kRecordPrefixSize)) ||
       FieldCount(item + kRecordPrefixSize) < 1)) {
    item = nullptr;
  }
  header_->ReadHeader(item);
}

void TQdfPersistentObject::SaveHeader() {
  QDF_ASSERT(storage_ != nullptr, "QdfList");
  // Header items are small; one page bounds them.
  uint8_t buffer[8192];
  std::memset(buffer, 0, kRecordPrefixSize);
  TFieldCursor body;
  body.OpenWrite(buffer + kRecordPrefixSize, header_->Depth() + 1,
                 sizeof buffer - kRecordPrefixSize);
  try {
    header_->WriteHeader(body);
  } catch (const EAssertionFailed&) {
    // The packer refuses to run past the buffer: only names and settings a
    // user gave can make a header that large.
    std::string name = header_->ObjectName();
    if (name.size() > 40) name = name.substr(0, 40) + "...";
    throw EQdfException(Format(
        "The header of %s does not fit a page: a name or setting is too long", name.c_str()));
  }
  body.Finish();
  const int size = PackedLength(buffer + kRecordPrefixSize, kRecordPrefixSize);
  StoreU16(buffer, static_cast<uint16_t>(size));
  buffer[2] = 0;                     // flags
  std::memset(buffer + 3, 0xFF, 6);  // no link
  TItemAdr adr = Address();
  storage_->WriteHeaderItem(adr, buffer, size);
  header_->SetAddress(adr);
}

void TQdfPersistentObject::Loaded() {}
void TQdfPersistentObject::ClearData() {}

TQdfPersistentObject* TQdfPersistentObject::CreateInstance(TQdfPersistentObject* parent,
                                                           TQdfObjectStore* storage,
                                                           TQdfPageReader* reader) {
  std::unique_ptr<TQdfPersistentObject> copy = Create(*ClassInfo(), this);
  if (!copy) {
    throw EQdfException("Class: " + header_->ObjectClassName() + " kann nicht generiert werden");
  }
  copy->SetStorage(storage);
  copy->SetPageReader(reader);
  TQdfPersistentObject* result = copy.get();
  // An instance under the storage is only registered there: the caller keeps it.
  const bool owned_by_parent =
      parent != nullptr && dynamic_cast<TQdfObjectStore*>(parent) == nullptr;
  if (owned_by_parent) copy.release();
  if (parent != nullptr) result->SetParent(parent);
  try {
    for (TQdfPersistentObject* child : children_) child->CreateInstance(result, storage, reader);
    result->Loaded();
  } catch (...) {
    if (owned_by_parent) {
      parent->RemoveChild(result);
      delete result;
    }
    throw;
  }
  copy.release();
  return result;
}

void TQdfPersistentObject::Flush(bool skip_unmodified_schema) {
  if (!CanWrite()) return;
  for (size_t i = 0; i < children_.size(); ++i) {
    TQdfPersistentObject* child = children_[i];
    if (skip_unmodified_schema && child->IsKindOf(TQdfSchemaObject::kClassInfo) &&
        !child->header_->Modified()) {
      continue;
    }
    child->header_->SetParentIndex(static_cast<int32_t>(i));
    child->Flush(skip_unmodified_schema);
  }
  if (header_->Modified()) {
    SaveHeader();
    header_->SetModified(false);
  }
}

void TQdfPersistentObject::Reload(bool skip_schema) {
  LoadHeader();
  header_->SetModified(false);
  for (TQdfPersistentObject* child : children_) {
    if (skip_schema && child->IsKindOf(TQdfSchemaObject::kClassInfo)) continue;
    child->Reload(skip_schema);
  }
}

void TQdfPersistentObject::DeleteObject() {
  if (page_reader_ == nullptr || page_reader_->ReadOnly()) return;
  RecordSchemaChange();
  ClearData();
  while (!children_.empty()) {
    TQdfPersistentObject* child = children_.front();
    child->DeleteObject();
    // A child that stayed has no writable page reader of its own; stop
    // instead of looping on it.
    QDF_ASSERT(children_.empty() || children_.front() != child, "QdfList");
  }
  if (is_template_ && storage_ != nullptr) storage_->FreeInstancesOf(this);
  if (storage_ != nullptr && !Address().IsNull()) storage_->DeleteHeaderItem(Address());
  header_->SetAddress(kNullAdr);
  if (parent_ != nullptr) parent_->RemoveChild(this);
  delete this;
}

}  // namespace qdf
