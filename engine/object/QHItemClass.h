// Headers of record classes and of index key classes.
//
//   TQHItemClass (1):   InterfaceAlias text (empty): class name of the typed
//                       record accessor made for the class
//   TQHIndexObject (2): BaseObjectClass text (empty): the record class the
//                       index covers; Flags i32 (0)
#pragma once

#include <cstdint>
#include <string>

#include "object/QHPersistentObject.h"

namespace qdf {

class TQHItemClass : public TQHPersistentObject {
  QDF_CLASS_INFO(TQHItemClass)

 public:
  using TQHPersistentObject::TQHPersistentObject;
  void ReadHeader(const uint8_t* item) override;
  void WriteHeader(TFieldCursor& body) override;

  // Part of the schema.
  const std::string& InterfaceAlias() const { return interface_alias_; }
  void SetInterfaceAlias(const std::string& v);

 private:
  std::string interface_alias_;
};

class TQHIndexObject : public TQHItemClass {
  QDF_CLASS_INFO(TQHIndexObject)

 public:
  using TQHItemClass::TQHItemClass;
  void ReadHeader(const uint8_t* item) override;
  void WriteHeader(TFieldCursor& body) override;

  // Part of the schema.
  const std::string& BaseObjectClass() const { return base_object_class_; }
  void SetBaseObjectClass(const std::string& v);
  int32_t Flags() const { return flags_; }
  void SetFlags(int32_t v);

 private:
  std::string base_object_class_;
  int32_t flags_ = 0;
};

}  // namespace qdf
