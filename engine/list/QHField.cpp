#include "list/QHField.h"

#include <climits>

namespace qdf {
namespace {

TQHField& Field(TObject& o) { return static_cast<TQHField&>(o); }
const TQHField& Field(const TObject& o) { return static_cast<const TQHField&>(o); }

template <typename H>
TObject* CreateHeader(TQdfPersistentObject* owner) {
  return new H(owner);
}

int32_t ToInt32(const std::string& v) {
  return static_cast<int32_t>(TextToInt(v, INT32_MIN, INT32_MAX));
}

const TPropInfo kFieldProps[] = {
    {"FieldIndex", TPropKind::kInteger, false,
     [](const TObject& o) { return IntToText(Field(o).FieldIndex()); },
     [](TObject& o, const std::string& v) { Field(o).SetFieldIndex(ToInt32(v)); }},
    {"ixAscending", TPropKind::kBoolean, false,
     [](const TObject& o) { return BoolToText(Field(o).IxAscending()); },
     [](TObject& o, const std::string& v) { Field(o).SetIxAscending(TextToBool(v)); }},
    {"DefSize", TPropKind::kInteger, false,
     [](const TObject& o) { return IntToText(Field(o).DefSize()); },
     [](TObject& o, const std::string& v) { Field(o).SetDefSize(ToInt32(v)); }},
    {"UserInfo", TPropKind::kInteger, false,
     [](const TObject& o) { return IntToText(Field(o).UserInfo()); },
     [](TObject& o, const std::string& v) { Field(o).SetUserInfo(ToInt32(v)); }},
};

}  // namespace

const TClassInfo TQHField::kClassInfo = {"TQHField", &TQHPersistentObject::kClassInfo,
                                         CreateHeader<TQHField>, kFieldProps, 4};
const TClassInfo TQHIntegerField::kClassInfo = {"TQHIntegerField", &TQHField::kClassInfo,
                                                CreateHeader<TQHIntegerField>, nullptr, 0};
const TClassInfo TQHFloatField::kClassInfo = {"TQHFloatField", &TQHField::kClassInfo,
                                              CreateHeader<TQHFloatField>, nullptr, 0};
const TClassInfo TQHCharField::kClassInfo = {"TQHCharField", &TQHField::kClassInfo,
                                             CreateHeader<TQHCharField>, nullptr, 0};

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
