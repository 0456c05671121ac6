// Transaction::GetSchema: the classes, tables and indexes of a database,
// read from its object tree in the order the tree keeps (the order they
// were made), so the same database always reads back the same.
//
// An index belongs to the table its key structure's "REF$<table>" field
// names, else to the table it is a child of; an index elsewhere in the tree
// keeps its path. The engine's own objects have '$' in their names; the
// classes of its own tables ($BLOB keeps its chunks in classes of its own)
// count as its own too.
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "api/ApiImpl.h"
#include "db/InTransStorage.h"
#include "record/Field.h"
#include "record/IndexObject.h"
#include "record/ItemClass.h"
#include "table/Index.h"
#include "table/Table.h"

namespace dbquillon {

namespace {

using qdf::TQdfIndex;
using qdf::TQdfItemClass;
using qdf::TQdfPersistentObject;
using qdf::TQdfTable;

bool IsInternalName(std::string_view name) { return name.find('$') != std::string_view::npos; }

bool IsClass(const TQdfPersistentObject* object) {
  return object->IsKindOf(TQdfItemClass::kClassInfo) &&
         !object->IsKindOf(qdf::TQdfIndexObject::kClassInfo);
}

class TSchemaReader {
 public:
  TSchemaReader(qdf::TQdfInTransStorage& storage, bool all) : storage_(storage), all_(all) {}

  Schema Read() {
    if (!all_) CollectInternalClassTrees();
    CollectIndexes(&storage_);
    for (int i = 0; i < storage_.ObjectsCount(); ++i) {
      TQdfPersistentObject* child = storage_.ChildAt(i);
      if (IsClass(child)) AddClass(static_cast<TQdfItemClass*>(child));
    }
    for (int i = 0; i < storage_.ObjectsCount(); ++i) {
      TQdfPersistentObject* child = storage_.ChildAt(i);
      if (child->IsKindOf(TQdfTable::kClassInfo)) AddTable(static_cast<TQdfTable*>(child));
    }
    for (const auto& [table, indexes] : indexes_by_table_) {
      if (tables_seen_.count(table) != 0) continue;
      for (TQdfIndex* index : indexes) schema_.otherIndexes.push_back(Info(*index, true));
    }
    return std::move(schema_);
  }

 private:
  bool Hidden(const TQdfPersistentObject* object) const {
    return !all_ && IsInternalName(object->ObjectName());
  }

  // The class trees that internal tables ($BLOB) keep their records in.
  void CollectInternalClassTrees() {
    for (int i = 0; i < storage_.ObjectsCount(); ++i) {
      TQdfPersistentObject* child = storage_.ChildAt(i);
      if (!child->IsKindOf(TQdfTable::kClassInfo) || !IsInternalName(child->ObjectName())) continue;
      const std::string& path = static_cast<TQdfTable*>(child)->TableHeader()->BaseStructureName();
      if (TQdfItemClass* cls = storage_.ClassByPath(path)) {
        internal_roots_.insert(cls->RootClass() != nullptr ? cls->RootClass() : cls);
      }
    }
  }

  void CollectIndexes(TQdfPersistentObject* object) {
    for (int i = 0; i < object->ObjectsCount(); ++i) {
      TQdfPersistentObject* child = object->ChildAt(i);
      if (Hidden(child)) continue;
      if (child->IsKindOf(TQdfIndex::kClassInfo)) {
        auto* index = static_cast<TQdfIndex*>(child);
        indexes_by_table_[TableOf(*index)].push_back(index);
        continue;
      }
      CollectIndexes(child);
    }
  }

  static std::string TableOf(const TQdfIndex& index) {
    if (TQdfItemClass* structure = index.KeyStructure()) {
      for (int i = 0; i < structure->FieldCount(); ++i) {
        const std::string& name = structure->FieldAt(i)->ObjectName();
        if (name.size() > 4 && name.compare(0, 4, "REF$") == 0) return name.substr(4);
      }
    }
    TQdfPersistentObject* parent = index.Parent();
    return parent != nullptr ? parent->ObjectName() : std::string();
  }

  static IndexInfo Info(TQdfIndex& index, bool with_path) {
    IndexInfo info;
    info.name = index.ObjectName();
    info.unique = index.Unique();
    info.keys = detail::KeyNames(index);
    if (with_path) info.path = index.FullName();
    return info;
  }

  void AddClass(TQdfItemClass* cls) {
    if (Hidden(cls) || cls->ObjectName().empty()) return;
    if (!all_ && internal_roots_.count(cls->RootClass() != nullptr ? cls->RootClass() : cls) != 0) {
      return;
    }
    ClassInfo info;
    info.name = cls->ObjectName();
    if (TQdfItemClass* base = cls->BaseClass()) info.base = base->ObjectName();
    for (int i = 0; i < cls->FieldCount(); ++i) {
      qdf::TQdfField* f = cls->FieldAt(i);
      info.fields.push_back(FieldInfo{f->ObjectName(), detail::FieldTypeOf(f), f->ClassInfo()->name,
                                      f->Parent() != cls});
    }
    schema_.classes.push_back(std::move(info));
    // Derived classes live below their base.
    for (int i = 0; i < cls->ObjectsCount(); ++i) {
      TQdfPersistentObject* child = cls->ChildAt(i);
      if (IsClass(child)) AddClass(static_cast<TQdfItemClass*>(child));
    }
  }

  void AddTable(TQdfTable* table) {
    if (Hidden(table)) return;
    tables_seen_.insert(table->ObjectName());
    TableInfo info;
    info.name = table->ObjectName();
    info.classPath = table->TableHeader()->BaseStructureName();
    if (TQdfItemClass* cls = storage_.ClassByPath(info.classPath))
      info.className = cls->ObjectName();
    auto it = indexes_by_table_.find(table->ObjectName());
    if (it != indexes_by_table_.end()) {
      for (TQdfIndex* index : it->second)
        info.indexes.push_back(Info(*index, index->Parent() != table));
    }
    schema_.tables.push_back(std::move(info));
  }

  qdf::TQdfInTransStorage& storage_;
  const bool all_;
  Schema schema_;
  std::set<const TQdfItemClass*> internal_roots_;
  std::map<std::string, std::vector<TQdfIndex*>> indexes_by_table_;
  std::set<std::string> tables_seen_;
};

}  // namespace

Schema Transaction::GetSchema(bool withInternal) {
  if (!impl_) detail::Fail(ErrorCode::Misuse, "the transaction was moved from");
  return detail::Guarded([&] {
    impl_->CheckActive();
    return TSchemaReader(*impl_->storage, withInternal).Read();
  });
}

}  // namespace dbquillon
