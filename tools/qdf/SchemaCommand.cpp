// qdf schema FILE [--all]: the item classes with their fields, the tables
// with their record class and the indexes of each table with their keys.
//
//   class TBench
//     a: TQdfIntegerField
//   class TSub extends TBench
//     x: TQdfCharField
//   table t1 on TBench
//     index i1 (a)
//     unique index u1 (c, DESC b)
//
// Everything appears in the order of the object tree, which the file keeps,
// so the text is the same on every run. The engine's own objects ($ID, the
// blob table and its classes) are left out unless --all is given.
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "Commands.h"
#include "ToolSupport.h"
#include "db/InTransStorage.h"
#include "query/TableOp.h"
#include "record/Field.h"
#include "record/IndexObject.h"
#include "record/ItemClass.h"
#include "table/Index.h"
#include "table/Table.h"

namespace qdf::tool {

namespace {

class TSchemaWriter {
 public:
  TSchemaWriter(TQdfStorage& storage, bool all) : storage_(storage), all_(all) {}

  std::string Text() {
    if (!all_) CollectInternalClassTrees();
    CollectIndexes(&storage_);
    for (int i = 0; i < storage_.ObjectsCount(); ++i) {
      TQdfPersistentObject* child = storage_.ChildAt(i);
      if (IsClass(child)) WriteClass(static_cast<TQdfItemClass*>(child));
    }
    for (int i = 0; i < storage_.ObjectsCount(); ++i) {
      TQdfPersistentObject* child = storage_.ChildAt(i);
      if (child->IsKindOf(TQdfTable::kClassInfo)) WriteTable(static_cast<TQdfTable*>(child));
    }
    // Indexes of no table of the storage ($ID with --all), by their path.
    for (const auto& [table, indexes] : indexes_by_table_) {
      if (written_tables_.count(table) != 0) continue;
      for (TQdfIndex* index : indexes) {
        out_ += "index " + index->FullName() + " (" + Keys(*index) + ")\n";
      }
    }
    return out_;
  }

 private:
  static bool IsClass(const TQdfPersistentObject* object) {
    return object->IsKindOf(TQdfItemClass::kClassInfo) &&
           !object->IsKindOf(TQdfIndexObject::kClassInfo);
  }

  bool Hidden(const TQdfPersistentObject* object) const {
    return !all_ && IsInternalName(object->ObjectName());
  }

  // The class trees that internal tables ($BLOB) keep their records in.
  void CollectInternalClassTrees() {
    for (int i = 0; i < storage_.ObjectsCount(); ++i) {
      TQdfPersistentObject* child = storage_.ChildAt(i);
      if (!child->IsKindOf(TQdfTable::kClassInfo) || !IsInternalName(child->ObjectName())) continue;
      const std::string& cls_name =
          static_cast<TQdfTable*>(child)->TableHeader()->BaseStructureName();
      if (TQdfItemClass* cls = storage_.ClassByPath(cls_name)) {
        internal_roots_.insert(cls->RootClass() != nullptr ? cls->RootClass() : cls);
      }
    }
  }

  // Every index of the tree, by the name of the table it indexes: the
  // table named by its REF$ field, else the table it is a child of.
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

  // "a, DESC b": the key fields in key order.
  static std::string Keys(const TQdfIndex& index) {
    const std::string order = OrderTextOf(index, false);
    std::string keys;
    for (char c : order) {
      keys += c;
      if (c == ',') keys += ' ';
    }
    return keys;
  }

  void WriteClass(TQdfItemClass* cls) {
    if (Hidden(cls)) return;
    if (!all_ && internal_roots_.count(cls->RootClass()) != 0) return;
    out_ += "class " + cls->ObjectName();
    if (TQdfItemClass* base = cls->BaseClass()) out_ += " extends " + base->ObjectName();
    out_ += "\n";
    for (int i = 0; i < cls->FieldCount(); ++i) {
      TQdfField* field = cls->FieldAt(i);
      if (field->Parent() != cls) continue;  // inherited: shown with its class
      out_ += "  " + field->ObjectName() + ": " + field->ClassInfo()->name + "\n";
    }
    for (int i = 0; i < cls->ObjectsCount(); ++i) {
      TQdfPersistentObject* child = cls->ChildAt(i);
      if (IsClass(child)) WriteClass(static_cast<TQdfItemClass*>(child));
    }
  }

  void WriteTable(TQdfTable* table) {
    if (Hidden(table)) return;
    written_tables_.insert(table->ObjectName());
    out_ +=
        "table " + table->ObjectName() + " on " + table->TableHeader()->BaseStructureName() + "\n";
    auto it = indexes_by_table_.find(table->ObjectName());
    if (it == indexes_by_table_.end()) return;
    for (TQdfIndex* index : it->second) {
      out_ += "  ";
      if (index->Unique()) out_ += "unique ";
      // An index kept elsewhere than under its table goes by its path.
      out_ += "index " + (index->Parent() == table ? index->ObjectName() : index->FullName());
      out_ += " (" + Keys(*index) + ")\n";
    }
  }

  TQdfStorage& storage_;
  const bool all_;
  std::string out_;
  std::set<const TQdfItemClass*> internal_roots_;
  std::map<std::string, std::vector<TQdfIndex*>> indexes_by_table_;
  std::set<std::string> written_tables_;
};

}  // namespace

int SchemaCommand(int argc, char** argv) {
  constexpr const char* kUsage = "schema FILE [--all]";
  std::string file;
  bool all = false;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--all") == 0) {
      all = true;
    } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
      return UsageError(kUsage);
    } else if (file.empty()) {
      file = argv[i];
    } else {
      return UsageError(kUsage);
    }
  }
  if (file.empty()) return UsageError(kUsage);
  return RunGuarded([&] {
    TReadSession session(file);
    const std::string text = TSchemaWriter(session.Storage(), all).Text();
    if (!WriteText(stdout, text) || std::fflush(stdout) != 0) {
      PrintError("cannot write to standard output");
      return kExitFailed;
    }
    return kExitOk;
  });
}

}  // namespace qdf::tool
