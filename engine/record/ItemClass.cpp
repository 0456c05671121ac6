#include "record/ItemClass.h"

#include <algorithm>

#include "base/Helpers.h"
#include "base/QdfException.h"
#include "list/DataList.h"
#include "object/PersistentObjectFactory.h"
#include "record/Fields.h"
#include "record/InterfaceStruct.h"

namespace qdf {

QDF_DEFINE_PERSISTENT_CLASS(TQdfItemClass, TQdfSchemaObject);

namespace {

bool AdrLess(const TItemAdr& a, const TItemAdr& b) {
  return a.page != b.page ? a.page < b.page : a.slot < b.slot;
}

// The record class filter fields use: the record's class from its prefix.
bool RecordFilter(const TQdfPersistentObject* item_class, const uint8_t* record) {
  return static_cast<const TQdfItemClass*>(item_class)->AcceptsRecord(record);
}

}  // namespace

TQdfItemClass::TQdfItemClass()
    : field_index_(std::make_unique<THashList>(&CaseInsensitiveTraits(), 500)) {}

TQdfItemClass::~TQdfItemClass() {
  if (accessor_) accessor_->SetItemClass(nullptr);
  // Only its own fields: inherited ones may be gone already when a base
  // class frees its children.
  if (!IsTemplate()) {
    for (int i = 0; i < ObjectsCount(); ++i) {
      if (ChildAt(i)->IsKindOf(TQdfField::kClassInfo)) {
        static_cast<TQdfField*>(ChildAt(i))->SetProvider(nullptr);
      }
    }
  }
}

TQdfField* TQdfItemClass::FieldByName(std::string_view name) const {
  return static_cast<TQdfField*>(field_index_->Get(std::string(name)));
}

bool TQdfItemClass::IsDescendantOrSelf(const TQdfItemClass* c) const {
  for (; c != nullptr; c = c->base_class_) {
    if (c == this) return true;
  }
  return false;
}

TQdfItemClass* TQdfItemClass::ClassByName(std::string_view name) const {
  if (root_class_ == nullptr || !root_class_->class_index_) return nullptr;
  auto* c = static_cast<TQdfItemClass*>(root_class_->class_index_->Get(std::string(name)));
  return c != nullptr && IsDescendantOrSelf(c) ? c : nullptr;
}

TQdfItemClass* TQdfItemClass::ClassByAddress(const TItemAdr& adr) const {
  if (root_class_ == nullptr) return nullptr;
  const auto& table = root_class_->class_table_;
  auto it = std::lower_bound(table.begin(), table.end(), adr,
                             [](const auto& e, const TItemAdr& a) { return AdrLess(e.first, a); });
  if (it == table.end() || !(it->first == adr)) return nullptr;
  return IsDescendantOrSelf(it->second) ? it->second : nullptr;
}

bool TQdfItemClass::IsKindOfClass(const TQdfItemClass* record_class) const {
  for (const TQdfItemClass* c = record_class; c != nullptr; c = c->base_class_) {
    if (c->ClassObject() == ClassObject()) return true;
  }
  return false;
}

bool TQdfItemClass::AcceptsRecord(const uint8_t* record) const {
  if (record == nullptr || LoadU16(record) < kRecordPrefixSize) return false;
  const TItemAdr adr = LoadAdr(record + kRecLink);
  if (adr.IsNull()) return true;      // a record without class reads with every class
  if (adr == Address()) return true;  // a record of this very class: no lookup
  const TQdfItemClass* record_class = root_class_ ? root_class_->ClassByAddress(adr) : nullptr;
  return record_class != nullptr && IsKindOfClass(record_class);
}

void TQdfItemClass::BuildStructure(int base_count) {
  if (base_count == 0) {
    if (!class_index_) {
      class_index_ = std::make_unique<THashList>(&CaseInsensitiveTraits(), 100);
    } else {
      class_index_->Clear();
    }
    base_class_ = nullptr;
    root_class_ = this;
    max_field_count_ = 0;
  }
  subclasses_.clear();
  field_index_->Clear();
  std::vector<TQdfField*> list;
  if (base_class_ != nullptr) list = base_class_->fields_;
  list.resize(static_cast<size_t>(std::max<int>(base_count, static_cast<int>(list.size()))));
  for (TQdfField* f : list) {
    if (f != nullptr) field_index_->Put(f->ObjectName(), f);
  }
  for (int i = 0; i < ObjectsCount(); ++i) {
    TQdfPersistentObject* child = ChildAt(i);
    if (child->IsKindOf(TQdfItemClass::kClassInfo)) {
      auto* sub = static_cast<TQdfItemClass*>(child);
      subclasses_.push_back(sub);
      sub->base_class_ = this;
      sub->root_class_ = root_class_;
      continue;
    }
    if (!child->IsKindOf(TQdfField::kClassInfo)) continue;
    auto* field = static_cast<TQdfField*>(child);
    int index = field->FieldIndex();
    if (index < 0) {
      index = static_cast<int>(list.size());
      field->FieldHeader()->SetFieldIndex(index);
      list.push_back(field);
    } else {
      if (static_cast<size_t>(index) >= list.size()) list.resize(static_cast<size_t>(index) + 1);
      TQdfField*& place = list[static_cast<size_t>(index)];
      if (place != nullptr) {
        throw EQdfException(Format("Fields: %s and %s have the same FieldIndex: %d",
                                   field->ObjectName().c_str(), place->ObjectName().c_str(),
                                   index));
      }
      place = field;
    }
    field->SetItemClass(ClassObject(), RecordFilter);
    field_index_->Put(field->ObjectName(), field);
  }
  reference_fields_.clear();
  this_id_ = nullptr;
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i] == nullptr) {
      throw EQdfException(Format("No Field for FieldIndex: %d", static_cast<int>(i)));
    }
    if (list[i]->IsKindOf(TQdfReferenceField::kClassInfo)) reference_fields_.push_back(list[i]);
    if (list[i]->IsKindOf(TQdfObjectIDField::kClassInfo) &&
        SameText(list[i]->ObjectName(), "ThisID")) {
      this_id_ = static_cast<TQdfObjectIDField*>(list[i]);
    }
  }
  fields_ = std::move(list);
  for (TQdfItemClass* sub : subclasses_) sub->BuildStructure(FieldCount());
  root_class_->class_index_->Put(ObjectName(), this);
  root_class_->max_field_count_ = std::max(root_class_->max_field_count_, FieldCount());
  LinkAccessor();
}

void TQdfItemClass::LinkAccessor() {
  if (!accessor_) return;
  const TQdfPersistentObjectFactory& factory = TQdfPersistentObjectFactory::Instance();
  const char* failed = nullptr;
  for (const TPropInfo* p : accessor_->ClassInfo()->AllProperties()) {
    if (p->kind != TPropKind::kObject || p->type_name == nullptr || p->set_object == nullptr ||
        factory.FindClass(p->type_name, TQdfPersistentObject::kClassInfo) == nullptr) {
      continue;
    }
    TQdfField* field = FieldByName(p->name);
    if (field != nullptr && SameText(field->ClassInfo()->name, p->type_name)) {
      p->set_object(*accessor_, field);
    } else {
      p->set_object(*accessor_, nullptr);
      if (failed == nullptr) failed = p->name;
    }
  }
  if (failed != nullptr) throw EQdfException(std::string("Can not link Property: ") + failed);
  accessor_->SetItemClass(this);
}

void TQdfItemClass::Loaded() {
  TQdfSchemaObject::Loaded();
  if (accessor_) accessor_->SetItemClass(nullptr);
  accessor_.reset();
  if (!ItemClassHeader()->InterfaceAlias().empty()) {
    std::unique_ptr<TObject> made =
        TQdfPersistentObjectFactory::Instance().CreateObject(ItemClassHeader()->InterfaceAlias());
    if (auto* acc = dynamic_cast<TQdfInterfaceStruct*>(made.get())) {
      made.release();
      accessor_.reset(acc);
    }
  }
  if (Parent() != nullptr && Parent()->IsKindOf(TQdfItemClass::kClassInfo)) return;
  BuildStructure(0);
  class_table_.clear();
  class_index_->Iterate([this](const std::string&, void* data) {
    auto* c = static_cast<TQdfItemClass*>(data);
    class_table_.emplace_back(c->Address(), c);
    return true;
  });
  std::sort(class_table_.begin(), class_table_.end(),
            [](const auto& a, const auto& b) { return AdrLess(a.first, b.first); });
}

void TQdfItemClass::ClearData() {
  TQdfSchemaObject::ClearData();
  fields_.clear();
  reference_fields_.clear();
  subclasses_.clear();
}

void TQdfItemClass::SetProvider(TQdfItemProvider* cursor) {
  cursor_ = cursor;
  for (TQdfField* f : fields_) f->SetProvider(cursor);
  for (TQdfItemClass* sub : subclasses_) sub->SetProvider(cursor);
}

}  // namespace qdf
