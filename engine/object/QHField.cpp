#include "object/QHField.h"

#include <climits>

namespace qdf {
namespace {

const TPropInfo kFieldProps[] = {
    QDF_PROP_INT32(TQHField, "FieldIndex", FieldIndex, SetFieldIndex),
    QDF_PROP_BOOL(TQHField, "ixAscending", IxAscending, SetIxAscending),
    QDF_PROP_INT32(TQHField, "DefSize", DefSize, SetDefSize),
    QDF_PROP_INT32(TQHField, "UserInfo", UserInfo, SetUserInfo),
};

}  // namespace

const TClassInfo TQHField::kClassInfo = {"TQHField", &TQHPersistentObject::kClassInfo,
                                         CreateHeaderObject<TQHField>, kFieldProps, 4};
const TClassInfo TQHIntegerField::kClassInfo = {"TQHIntegerField", &TQHField::kClassInfo,
                                                CreateHeaderObject<TQHIntegerField>, nullptr, 0};
const TClassInfo TQHFloatField::kClassInfo = {"TQHFloatField", &TQHField::kClassInfo,
                                              CreateHeaderObject<TQHFloatField>, nullptr, 0};
const TClassInfo TQHCharField::kClassInfo = {"TQHCharField", &TQHField::kClassInfo,
                                             CreateHeaderObject<TQHCharField>, nullptr, 0};

void TQHField::SetFieldIndex(int32_t v) {
  if (v == field_index_) return;
  field_index_ = v;
  Touch();
  RecordSchemaChange();
}

void TQHField::SetIxAscending(bool v) {
  ix_ascending_ = v;
  Touch();
  RecordSchemaChange();
}

void TQHField::SetDefSize(int32_t v) {
  if (v == def_size_) return;
  def_size_ = v;
  Touch();
}

void TQHField::ReadHeader(const uint8_t* item) {
  TQHPersistentObject::ReadHeader(item);
  TFieldCursor cur;
  if (OpenSection(item, kClassInfo.Depth(), 4, cur)) {
    field_index_ = static_cast<int32_t>(cur.ReadU32(0xFFFFFFFFu));
    ix_ascending_ = cur.ReadByte(1) != 0;
    def_size_ = static_cast<int32_t>(cur.ReadU32(0));
    user_info_ = static_cast<int32_t>(cur.ReadU32(0));
  } else {
    field_index_ = -1;
    ix_ascending_ = true;
    def_size_ = 0;
    user_info_ = 0;
  }
}

void TQHField::WriteHeader(TFieldCursor& body) {
  TQHPersistentObject::WriteHeader(body);
  TFieldCursor sec;
  BeginSection(body, kClassInfo.Depth(), 4, sec);
  sec.WriteU32(static_cast<uint32_t>(field_index_));
  sec.WriteByte(ix_ascending_ ? 1 : 0);
  sec.WriteU32(static_cast<uint32_t>(def_size_));
  sec.WriteU32(static_cast<uint32_t>(user_info_));
  EndSection(body, sec);
}

}  // namespace qdf
