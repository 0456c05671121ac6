#include "object/QHItemClass.h"

#include <climits>

namespace qdf {
namespace {

const TPropInfo kItemClassProps[] = {
    QDF_PROP_STRING(TQHItemClass, "InterfaceAlias", InterfaceAlias, SetInterfaceAlias),
};

const TPropInfo kIndexObjectProps[] = {
    QDF_PROP_STRING(TQHIndexObject, "BaseObjectClass", BaseObjectClass, SetBaseObjectClass),
    QDF_PROP_INT32(TQHIndexObject, "Flags", Flags, SetFlags),
};

}  // namespace

const TClassInfo TQHItemClass::kClassInfo = {"TQHItemClass", &TQHPersistentObject::kClassInfo,
                                             CreateHeaderObject<TQHItemClass>, kItemClassProps, 1};
const TClassInfo TQHIndexObject::kClassInfo = {"TQHIndexObject", &TQHItemClass::kClassInfo,
                                               CreateHeaderObject<TQHIndexObject>,
                                               kIndexObjectProps, 2};

// ---- TQHItemClass ----

void TQHItemClass::SetInterfaceAlias(const std::string& v) {
  if (v == interface_alias_) return;
  interface_alias_ = v;
  Touch();
  RecordSchemaChange();
}

void TQHItemClass::ReadHeader(const uint8_t* item) {
  TQHPersistentObject::ReadHeader(item);
  TFieldCursor cur;
  interface_alias_ = OpenSection(item, kClassInfo.Depth(), 1, cur) ? cur.ReadText() : std::string();
}

void TQHItemClass::WriteHeader(TFieldCursor& body) {
  TQHPersistentObject::WriteHeader(body);
  TFieldCursor sec;
  BeginSection(body, kClassInfo.Depth(), 1, sec);
  sec.WriteText(interface_alias_);
  EndSection(body, sec);
}

// ---- TQHIndexObject ----

void TQHIndexObject::SetBaseObjectClass(const std::string& v) {
  if (v == base_object_class_) return;
  base_object_class_ = v;
  Touch();
  RecordSchemaChange();
}

void TQHIndexObject::SetFlags(int32_t v) {
  if (v == flags_) return;
  flags_ = v;
  Touch();
}

void TQHIndexObject::ReadHeader(const uint8_t* item) {
  TQHItemClass::ReadHeader(item);
  TFieldCursor cur;
  if (OpenSection(item, kClassInfo.Depth(), 2, cur)) {
    base_object_class_ = cur.ReadText();
    flags_ = static_cast<int32_t>(cur.ReadU32(0));
  } else {
    base_object_class_.clear();
    flags_ = 0;
  }
}

void TQHIndexObject::WriteHeader(TFieldCursor& body) {
  TQHItemClass::WriteHeader(body);
  TFieldCursor sec;
  BeginSection(body, kClassInfo.Depth(), 2, sec);
  sec.WriteText(base_object_class_);
  sec.WriteU32(static_cast<uint32_t>(flags_));
  EndSection(body, sec);
}

}  // namespace qdf
