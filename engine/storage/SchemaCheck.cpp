#include "storage/SchemaCheck.h"

#include "record/Field.h"
#include "record/IndexObject.h"
#include "record/ItemClass.h"
#include "storage/Storage.h"
#include "table/Index.h"
#include "table/Table.h"

namespace qdf {

namespace {

std::string NameOf(const TQdfPersistentObject& o) {
  const std::string name = o.FullName();
  return name.empty() ? "$ROOT" : name;
}

// A class that can hold records: an item class, not an index's key class.
bool IsRecordClass(const TQdfPersistentObject* o) {
  return o != nullptr && o->IsKindOf(TQdfItemClass::kClassInfo) &&
         !o->IsKindOf(TQdfIndexObject::kClassInfo);
}

// `tree`: the table's record class.
void CheckIndex(const TQdfIndex& index, const TQdfTable& table, const TQdfItemClass* tree,
                std::vector<std::string>& problems) {
  const TQdfIndexObject* key = index.KeyClass();
  if (key == nullptr) return;  // an index without key class is never used
  const std::string covered_name = key->IndexObjectHeader()->BaseObjectClass();
  const TQdfItemClass* covered = tree->ClassByName(covered_name);
  if (covered == nullptr) {
    problems.push_back(NameOf(index) + ": covers class " + covered_name +
                       ", which is not in the class tree of " + NameOf(table));
    return;
  }
  for (int i = 0; i < index.StructureFieldCount(); ++i) {
    const TQdfField* f = index.StructureField(i);
    if (f->ObjectName().starts_with("REF$")) continue;
    const TQdfField* tf = covered->FieldByName(f->ObjectName());
    if (tf == nullptr) {
      problems.push_back(NameOf(index) + ": its key field " + f->ObjectName() +
                         " is not a field of " + covered->ObjectName());
    } else if (tf->ClassInfo() != f->ClassInfo()) {
      problems.push_back(NameOf(index) + ": its key field " + f->ObjectName() + " is a " +
                         f->ClassInfo()->name + ", but " + covered->ObjectName() + "." +
                         tf->ObjectName() + " is a " + tf->ClassInfo()->name);
    }
  }
}

void CheckTable(const TQdfStorage& storage, const TQdfTable& table,
                std::vector<std::string>& problems) {
  const TQdfPersistentObject* parent = table.Parent();
  if (parent == nullptr || !parent->IsKindOf(TQdfStorage::kClassInfo)) {
    problems.push_back(NameOf(table) + ": a table belongs directly under its database, not under " +
                       (parent != nullptr ? NameOf(*parent) : std::string("nothing")));
    return;
  }
  const std::string class_name = table.TableHeader()->BaseStructureName();
  const TQdfItemClass* cls = storage.ClassByPath(class_name);
  if (class_name.empty()) {
    problems.push_back(NameOf(table) + ": names no record class (BaseStructureName is empty)");
  } else if (cls == nullptr) {
    problems.push_back(NameOf(table) + ": its record class " + class_name + " does not exist");
  } else if (!IsRecordClass(cls) ||
             (IsSystemObject(storage, *cls) && !IsSystemObject(storage, table))) {
    problems.push_back(NameOf(table) + ": " + class_name + " is not a record class");
  } else {
    // Every index below the table, also one that could not attach to it.
    for (int i = 0; i < table.ObjectsCount(); ++i) {
      const TQdfPersistentObject* child = table.ChildAt(i);
      if (child->IsKindOf(TQdfIndex::kClassInfo)) {
        CheckIndex(static_cast<const TQdfIndex&>(*child), table, cls, problems);
      }
    }
  }
}

void Walk(const TQdfStorage& storage, const TQdfPersistentObject& o,
          std::vector<std::string>& problems) {
  if (o.IsKindOf(TQdfTable::kClassInfo)) {
    CheckTable(storage, static_cast<const TQdfTable&>(o), problems);
  }
  for (int i = 0; i < o.ObjectsCount(); ++i) Walk(storage, *o.ChildAt(i), problems);
}

}  // namespace

bool IsSystemObject(const TQdfStorage& storage, const TQdfPersistentObject& object) {
  const TQdfPersistentObject* top = &object;
  while (top->Parent() != nullptr && top->Parent() != &storage) top = top->Parent();
  return top->ObjectName().starts_with("$") || top->ObjectName() == "TBlobClassNode";
}

std::vector<std::string> SchemaProblems(const TQdfStorage& storage) {
  std::vector<std::string> problems;
  for (int i = 0; i < storage.ObjectsCount(); ++i) Walk(storage, *storage.ChildAt(i), problems);
  return problems;
}

}  // namespace qdf
