// TQdfInterfaceStruct: a typed record accessor. An application class derived
// from it publishes one property per field (of the matching field class); when
// an item class whose InterfaceAlias names the accessor's class is linked,
// those properties are bound by name to the class's fields, which then read
// and write the record the accessor points at.
//
// The record buffer is either borrowed (the default: it points into a page or
// another holder's buffer) or owned by the accessor.
#pragma once

#include <cstdint>
#include <memory>

#include "object/ClassInfo.h"

namespace qdf {

class TQdfPersistentObject;

class TQdfInterfaceStruct : public TObject {
  QDF_ROOT_CLASS_INFO(TQdfInterfaceStruct)

 public:
  TQdfInterfaceStruct() = default;
  ~TQdfInterfaceStruct() override = default;
  TQdfInterfaceStruct(const TQdfInterfaceStruct&) = delete;
  TQdfInterfaceStruct& operator=(const TQdfInterfaceStruct&) = delete;

  // The item class the accessor is linked to (nullptr until linked).
  TQdfPersistentObject* ItemClass() const { return item_class_; }
  virtual void SetItemClass(TQdfPersistentObject* item_class) { item_class_ = item_class; }

  // The current record's item.
  uint8_t* RecordBuffer() const { return buffer_; }
  bool OwnsBuffer() const { return owned_ != nullptr; }
  // Points the accessor at a borrowed record; a previously owned buffer is
  // freed. Passing the owned buffer itself changes nothing (it stays owned).
  void SetRecordBuffer(uint8_t* buffer);
  // Points the accessor at a record it owns from now on (the previous owned
  // buffer is freed).
  void AdoptRecordBuffer(std::unique_ptr<uint8_t[]> buffer);

 private:
  TQdfPersistentObject* item_class_ = nullptr;
  uint8_t* buffer_ = nullptr;
  std::unique_ptr<uint8_t[]> owned_;  // == buffer_ when owned
};

// An accessor of records that carry an object ID.
class TQdfInterfaceObject : public TQdfInterfaceStruct {
  QDF_CLASS_INFO(TQdfInterfaceObject)

 public:
  // The record's ThisID field (nullptr until bound).
  TQdfPersistentObject* ThisID() const { return this_id_; }
  void SetThisID(TQdfPersistentObject* field) { this_id_ = field; }

 private:
  TQdfPersistentObject* this_id_ = nullptr;
};

}  // namespace qdf

// Defines T::kClassInfo for an accessor class with a default constructor and
// the published properties `props` (an array, or nullptr with count 0).
#define QDF_DEFINE_INTERFACE_CLASS(T, BASE, props, prop_count) \
  const ::qdf::TClassInfo T::kClassInfo = {                    \
      #T, &BASE::kClassInfo,                                   \
      [](::qdf::TQdfPersistentObject*) -> ::qdf::TObject* { return new T(); }, props, prop_count}

// A published object property NAME of accessor class T, declared as a pointer
// to the field class FIELD (T must have a public member `FIELD* NAME`).
#define QDF_ACCESSOR_FIELD(T, FIELD, NAME)                                         \
  ::qdf::TPropInfo {                                                               \
#NAME, ::qdf::TPropKind::kObject, false,                                         \
        [](const ::qdf::TObject&) -> std::string { return {}; }, nullptr, #FIELD,    \
        [](::qdf::TObject& self, ::qdf::TObject* value) {                            \
          static_cast<T&>(self).NAME = dynamic_cast<FIELD*>(value);                  \
        } \
  }
