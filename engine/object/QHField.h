// Headers of fields.
//
//   TQHField (1): FieldIndex i32 (-1: not yet placed in its item class),
//                 ixAscending u8 (1), DefSize i32 (0), UserInfo i32 (0)
//   TQHIntegerField, TQHFloatField, TQHCharField (2): no section of their own
#pragma once

#include <cstdint>

#include "object/QHPersistentObject.h"

namespace qdf {

class TQHField : public TQHPersistentObject {
  QDF_CLASS_INFO(TQHField)

 public:
  using TQHPersistentObject::TQHPersistentObject;
  void ReadHeader(const uint8_t* item) override;
  void WriteHeader(TFieldCursor& body) override;

  // Position of the field in its record; -1 until the item class assigns one.
  // Part of the schema.
  int32_t FieldIndex() const { return field_index_; }
  void SetFieldIndex(int32_t v);
  // Sort direction of the field in index keys. Part of the schema.
  bool IxAscending() const { return ix_ascending_; }
  void SetIxAscending(bool v);
  int32_t DefSize() const { return def_size_; }
  void SetDefSize(int32_t v);
  // Free for applications.
  int32_t UserInfo() const { return user_info_; }
  void SetUserInfo(int32_t v) {
    user_info_ = v;
    Touch();
  }

 private:
  int32_t field_index_ = -1;
  bool ix_ascending_ = true;
  int32_t def_size_ = 0;
  int32_t user_info_ = 0;
};

class TQHIntegerField : public TQHField {
  QDF_CLASS_INFO(TQHIntegerField)

 public:
  using TQHField::TQHField;
};

class TQHFloatField : public TQHField {
  QDF_CLASS_INFO(TQHFloatField)

 public:
  using TQHField::TQHField;
};

class TQHCharField : public TQHField {
  QDF_CLASS_INFO(TQHCharField)

 public:
  using TQHField::TQHField;
};

}  // namespace qdf
