#include "query/ResultSet.h"

#include <exception>
#include <string_view>

#include "base/Helpers.h"
#include "base/QdfException.h"
#include "platform/Trace.h"
#include "record/Field.h"
#include "record/Fields.h"
#include "record/IndexObject.h"
#include "record/ItemClass.h"
#include "record/KeyList.h"
#include "storage/Storage.h"
#include "table/Table.h"

namespace qdf {

QDF_DEFINE_PERSISTENT_CLASS(TQdfResultSet, TQdfIndex);

namespace {

constexpr std::string_view kKeyObject = "IDX$Order";

bool IsReference(const TQdfPersistentObject* o) {
  return o->IsKindOf(TQdfShortReferenceField::kClassInfo) &&
         SameText(std::string_view(o->ObjectName()).substr(0, 4), "REF$");
}

}  // namespace

void TQdfResultSet::Loaded() {
  TQdfIndex::Loaded();
  if (reloading_) return;
  // Only the error text: the stored key structure already follows the text.
  try {
    Parse(ResultSetHeader()->OrderBy());
  } catch (const std::exception& e) {
    Trace("Result set " + ObjectName() + ": " + e.what());
  }
}

TQdfResultSet::TOrder TQdfResultSet::Parse(const std::string& text) {
  error_text_.clear();
  TOrder order;
  if (KeyClass() == nullptr) return order;
  const std::string& covered_name = KeyClass()->IndexObjectHeader()->BaseObjectClass();
  TQdfItemClass* cls = nullptr;
  if (Table() != nullptr && Table()->ItemClass() != nullptr) {
    cls = Table()->ItemClass()->ClassByName(covered_name);
  } else if (auto* storage = dynamic_cast<TQdfStorage*>(Storage())) {
    cls = storage->ClassByPath(covered_name);
  }
  if (cls == nullptr) return order;
  for (const TKeyListItem& key : SplitKeyList(text)) {
    const std::string& item = key.name;
    const bool ascending = key.ascending;
    if (item.empty() && text.find_first_not_of(' ') == std::string::npos) break;
    TQdfField* field = cls->FieldByName(item);
    if (field == nullptr) {
      error_text_ = Format("Unknown Field %s", item.c_str());
      break;
    }
    order.emplace_back(field, ascending);
  }
  return order;
}

void TQdfResultSet::SetOrderBy(const std::string& text) {
  ResultSetHeader()->SetOrderBy(text);
  const TOrder order = Parse(text);
  if (order.empty() || !Active()) return;
  // Any difference counts, also a field added or dropped at the end: the
  // keys must hold exactly the fields they are compared by.
  std::vector<TQdfField*> current;
  for (TQdfField* f : KeyFields()) {
    if (!IsReference(f)) current.push_back(f);
  }
  bool changed = current.size() != order.size();
  for (size_t i = 0; !changed && i < order.size(); ++i) {
    changed = !SameText(current[i]->ObjectName(), order[i].first->ObjectName()) ||
              current[i]->Ascending() != order[i].second;
  }
  if (!changed) return;
  ReplaceKeyFields(order);
  if (Table() != nullptr) {
    Rebuild(false);
  } else {
    // No records to build from: at least no keys of the old order stay.
    ClearPages();
  }
}

void TQdfResultSet::ReplaceKeyFields(const TOrder& order) {
  auto* storage = dynamic_cast<TQdfStorage*>(Storage());
  auto* tmpl = IsTemplate() ? this : dynamic_cast<TQdfResultSet*>(ClassObject());
  TQdfPersistentObject* key = tmpl != nullptr ? tmpl->ChildByName(kKeyObject) : nullptr;
  if (storage == nullptr || key == nullptr) {
    throw EQdfException("Result set " + ObjectName() + " has no stored key structure");
  }
  // The key fields go; the record reference (in IDX$Order, or in its
  // subclass IDX$Structure for a unique result set) moves behind the new ones.
  std::vector<TQdfPersistentObject*> old;
  TQdfPersistentObject* ref = nullptr;
  for (int i = 0; i < key->ObjectsCount(); ++i) {
    TQdfPersistentObject* child = key->ChildAt(i);
    if (child->IsKindOf(TQdfItemClass::kClassInfo)) {
      for (int j = 0; j < child->ObjectsCount(); ++j) {
        if (IsReference(child->ChildAt(j))) ref = child->ChildAt(j);
      }
    } else if (child->IsKindOf(TQdfField::kClassInfo)) {
      if (IsReference(child)) {
        ref = child;
      } else {
        old.push_back(child);
      }
    }
  }
  const int n = static_cast<int>(order.size());
  for (TQdfPersistentObject* o : old) o->DeleteObject();
  if (ref != nullptr) ref->SetProperties(Format("FieldIndex=%d", n));
  storage->PushParent(key);
  for (int i = 0; i < n; ++i) {
    TQdfPersistentObject* f =
        storage->CreateSchemaObject(order[static_cast<size_t>(i)].first->ClassInfo()->name,
                                    order[static_cast<size_t>(i)].first->ObjectName(), false);
    f->SetProperties(Format("FieldIndex=%d;ixAscending=%s", i,
                            order[static_cast<size_t>(i)].second ? "True" : "False"));
    storage->Pop();
  }
  storage->PopUntil(nullptr);  // stores the headers, builds the key structure

  reloading_ = true;
  try {
    // The template and this instance take the new structure; an attached
    // table binds its fields to it again.
    if (tmpl != this) {
      tmpl->Loaded();
      if (tmpl->Table() != nullptr) tmpl->Table()->AttachIndex(tmpl);
      TQdfPersistentObject* mine = ChildByName(kKeyObject);
      if (mine != nullptr) {
        RemoveChild(mine);
        delete mine;
      }
      key->CreateInstance(this, Storage(), PageReader());
    }
    TQdfTable* table = Table();
    TQdfIndex::Loaded();
    if (table != nullptr) table->AttachIndex(this);
  } catch (...) {
    reloading_ = false;
    throw;
  }
  reloading_ = false;
}

}  // namespace qdf
