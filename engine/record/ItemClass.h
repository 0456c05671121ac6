// TQdfItemClass: a record type. Its children are its fields and its
// subclasses; a subclass has all the fields of its base first, then its own.
// Every record names the header address of its class in its prefix, and a
// field reads a record only when the record's class is the field's class or
// derived from it.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "base/HashList.h"
#include "object/PersistentObject.h"
#include "object/QHItemClass.h"

namespace qdf {

class TQdfField;
class TQdfInterfaceStruct;
class TQdfItemProvider;
class TQdfObjectIDField;

class TQdfItemClass : public TQdfSchemaObject {
  QDF_CLASS_INFO(TQdfItemClass)

 public:
  TQdfItemClass();
  ~TQdfItemClass() override;
  const TClassInfo& HeaderClass() const override { return TQHItemClass::kClassInfo; }
  TQHItemClass* ItemClassHeader() const { return static_cast<TQHItemClass*>(Header()); }

  // A root class builds the structure of its whole tree and its class table.
  void Loaded() override;
  void ClearData() override;

  // Places the fields by FieldIndex after the base's `base_count` fields
  // (FieldIndex -1 appends and is assigned), recursively for the subclasses.
  // Raises "Fields: %s and %s have the same FieldIndex: %d" and
  // "No Field for FieldIndex: %d".
  void BuildStructure(int base_count);

  int FieldCount() const { return static_cast<int>(fields_.size()); }
  TQdfField* FieldAt(int index) const { return fields_[static_cast<size_t>(index)]; }
  // By name, without regard to case; nullptr when there is none.
  TQdfField* FieldByName(std::string_view name) const;
  const std::vector<TQdfField*>& ReferenceFields() const { return reference_fields_; }
  TQdfObjectIDField* ThisIDField() const { return this_id_; }

  // This class or one of its descendants by name / by header address.
  TQdfItemClass* ClassByName(std::string_view name) const;
  TQdfItemClass* ClassByAddress(const TItemAdr& adr) const;
  // True when `record_class` is this class or derived from it (instances
  // count as their templates).
  bool IsKindOfClass(const TQdfItemClass* record_class) const;
  // Whether a record (prefix included) belongs to this class or a subclass.
  bool AcceptsRecord(const uint8_t* record) const;

  const std::vector<TQdfItemClass*>& Subclasses() const { return subclasses_; }
  TQdfItemClass* BaseClass() const { return base_class_; }
  TQdfItemClass* RootClass() const { return root_class_; }
  int MaxFieldCount() const { return max_field_count_; }

  // Gives the cursor to every field and every subclass.
  void SetProvider(TQdfItemProvider* cursor);
  TQdfItemProvider* Provider() const { return cursor_; }

  // The typed accessor named by InterfaceAlias (nullptr when none).
  TQdfInterfaceStruct* Accessor() const { return accessor_.get(); }
  // Binds the accessor's published field properties to the fields of the
  // same name and class. Raises "Can not link Property: <name>" for the
  // first property that has no such field (every property is tried; failing
  // ones are unbound).
  void LinkAccessor();

 private:
  bool IsDescendantOrSelf(const TQdfItemClass* c) const;

  std::vector<TQdfField*> fields_;            // by FieldIndex, inherited first
  std::vector<TQdfField*> reference_fields_;  // in FieldIndex order
  std::unique_ptr<THashList> field_index_;    // name -> field
  std::vector<TQdfItemClass*> subclasses_;
  TQdfItemClass* base_class_ = nullptr;
  TQdfItemClass* root_class_ = nullptr;
  // Root only: name -> class, and (header address, class) sorted by address.
  std::unique_ptr<THashList> class_index_;
  std::vector<std::pair<TItemAdr, TQdfItemClass*>> class_table_;
  int max_field_count_ = 0;
  TQdfObjectIDField* this_id_ = nullptr;
  TQdfItemProvider* cursor_ = nullptr;
  std::unique_ptr<TQdfInterfaceStruct> accessor_;
};

}  // namespace qdf
