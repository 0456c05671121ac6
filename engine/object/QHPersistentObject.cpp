#include "object/QHPersistentObject.h"

#include <cinttypes>

#include "base/Helpers.h"
#include "base/QdfException.h"
#include "object/PersistentObject.h"

namespace qdf {
namespace {

const TPropInfo kProps[] = {
    QDF_PROP_INT32(TQHPersistentObject, "ParentIndex", ParentIndex, SetParentIndex),
    QDF_PROP_STRING(TQHPersistentObject, "ObjectName", ObjectName, SetObjectName),
    QDF_PROP_STRING(TQHPersistentObject, "ObjectClassName", ObjectClassName, SetObjectClassName),
    QDF_PROP_STRING(TQHPersistentObject, "ObjectModulName", ObjectModulName, SetObjectModulName),
};

}  // namespace

const TClassInfo TQHPersistentObject::kClassInfo = {
    "TQHPersistentObject", nullptr, CreateHeaderObject<TQHPersistentObject>, kProps, 4};

std::string IntToText(int64_t v) { return Format("%" PRId64, v); }
std::string BoolToText(bool v) { return v ? "True" : "False"; }

bool TextToBool(const std::string& v) {
  if (SameText(v, "True")) return true;
  if (SameText(v, "False")) return false;
  throw EConvertError(Format("'%s' is not a valid boolean value", v.c_str()));
}

int64_t TextToInt(const std::string& v, int64_t lo, int64_t hi) {
  int64_t out;
  if (!TryStrToInt64(v, &out) || out < lo || out > hi) {
    throw EConvertError(Format("'%s' is not a valid integer value", v.c_str()));
  }
  return out;
}

std::unique_ptr<TQHPersistentObject> NewHeader(const TClassInfo& info,
                                               TQdfPersistentObject* owner) {
  QDF_ASSERT(info.create != nullptr, "QdfList");
  std::unique_ptr<TQHPersistentObject> h(static_cast<TQHPersistentObject*>(info.create(owner)));
  h->ReadHeader(nullptr);
  h->SetModified(false);
  return h;
}

// ---- sections ----

bool TQHPersistentObject::OpenSection(const uint8_t* item, int section, int fields,
                                      TFieldCursor& cur) {
  if (item == nullptr) return false;
  int length = 0;
  const uint8_t* sec = GetField(item + kRecordPrefixSize, section, &length);
  if (sec == nullptr || length < 2 || !ValidPackedItem(sec, static_cast<size_t>(length)) ||
      FieldCount(sec) < fields) {
    return false;
  }
  cur.OpenRead(sec);
  return true;
}

void TQHPersistentObject::BeginSection(TFieldCursor& body, int section, int fields,
                                       TFieldCursor& sec) {
  uint8_t* p = body.SkipTo(section);
  size_t room =
      body.capacity == SIZE_MAX ? SIZE_MAX : body.capacity - static_cast<size_t>(p - body.item);
  sec.OpenWrite(p, fields, room);
}

void TQHPersistentObject::EndSection(TFieldCursor& body, const TFieldCursor& sec) {
  body.Advance(PackedLength(sec.item));
}

// ---- level 0 ----

void TQHPersistentObject::ReadHeader(const uint8_t* item) {
  BumpObjectTreeEpoch();
  TFieldCursor cur;
  const std::string own_class = owner_ ? owner_->ClassInfo()->name : std::string();
  if (OpenSection(item, 0, 5, cur)) {
    parent_address_ = cur.ReadAdr(kNullAdr);
    parent_index_ = static_cast<int32_t>(cur.ReadU32(0));
    object_name_ = cur.ReadText();
    object_class_name_ = cur.ReadText(own_class);
    object_modul_name_ = cur.ReadText();
  } else {
    parent_address_ = kNullAdr;
    parent_index_ = 0;
    object_name_.clear();
    object_class_name_ = own_class;
    object_modul_name_.clear();
  }
}

void TQHPersistentObject::WriteHeader(TFieldCursor& body) {
  TFieldCursor sec;
  BeginSection(body, 0, 5, sec);
  sec.WriteAdr(parent_address_);
  sec.WriteU32(static_cast<uint32_t>(parent_index_));
  sec.WriteText(object_name_);
  sec.WriteText(object_class_name_);
  sec.WriteText(object_modul_name_);
  EndSection(body, sec);
}

void TQHPersistentObject::RecordSchemaChange() {
  if (owner_) owner_->RecordSchemaChange();
}

void TQHPersistentObject::SetParentAddress(const TItemAdr& adr) {
  if (adr == parent_address_) return;
  parent_address_ = adr;
  Touch();
  RecordSchemaChange();
}

void TQHPersistentObject::SetParentIndex(int32_t v) {
  if (v == parent_index_) return;
  parent_index_ = v;
  Touch();
}

void TQHPersistentObject::SetObjectName(const std::string& v) {
  BumpObjectTreeEpoch();
  if (v == object_name_) return;
  if (owner_) owner_->RenameInParent(object_name_, v);
  object_name_ = v;
  Touch();
  RecordSchemaChange();
}

void TQHPersistentObject::SetObjectClassName(const std::string& v) {
  if (v == object_class_name_) return;
  object_class_name_ = v;
  Touch();
  RecordSchemaChange();
}

void TQHPersistentObject::SetObjectModulName(const std::string& v) {
  if (v == object_modul_name_) return;
  object_modul_name_ = v;
  Touch();
  RecordSchemaChange();
}

bool TQHPersistentObject::SetPropertyText(const std::string& name, const std::string& value) {
  const TPropInfo* p = ClassInfo()->FindProperty(Trim(name));
  if (p == nullptr || p->read_only || p->set == nullptr || p->kind == TPropKind::kObject) {
    return false;
  }
  p->set(*this, Trim(value));
  return true;
}

}  // namespace qdf
