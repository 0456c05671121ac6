#include "list/QHStorage.h"

#include <climits>

namespace qdf {
namespace {

template <typename H>
H& As(TObject& o) {
  return static_cast<H&>(o);
}
template <typename H>
const H& As(const TObject& o) {
  return static_cast<const H&>(o);
}

template <typename H>
TObject* CreateHeader(TQdfPersistentObject* owner) {
  return new H(owner);
}

const TPropInfo kStorageProps[] = {
    {"SchemaTAN", TPropKind::kCardinal, false,
     [](const TObject& o) { return IntToText(As<TQHStorage>(o).SchemaTAN()); },
     [](TObject& o, const std::string& v) {
       As<TQHStorage>(o).SetSchemaTAN(static_cast<uint32_t>(TextToInt(v, 0, UINT32_MAX)));
     }},
    {"SchemaVersion", TPropKind::kInteger, false,
     [](const TObject& o) { return IntToText(As<TQHStorage>(o).SchemaVersion()); },
     [](TObject& o, const std::string& v) {
       As<TQHStorage>(o).SetSchemaVersion(static_cast<int32_t>(TextToInt(v, INT32_MIN, INT32_MAX)));
     }},
};

const TPropInfo kTableProps[] = {
    {"BaseStructureName", TPropKind::kString, false,
     [](const TObject& o) { return As<TQHTable>(o).BaseStructureName(); },
     [](TObject& o, const std::string& v) { As<TQHTable>(o).SetBaseStructureName(v); }},
    {"MaxFieldCount", TPropKind::kInteger, true,
     [](const TObject& o) { return IntToText(As<TQHTable>(o).MaxFieldCount()); }, nullptr},
    {"MaxStructureSize", TPropKind::kInteger, false,
     [](const TObject& o) { return IntToText(As<TQHTable>(o).MaxStructureSize()); },
     [](TObject& o, const std::string& v) {
       As<TQHTable>(o).SetMaxStructureSize(
           static_cast<int32_t>(TextToInt(v, INT32_MIN, INT32_MAX)));
     }},
};

}  // namespace

const TClassInfo TQHStorage::kClassInfo = {"TQHStorage", &TQHDataList::kClassInfo,
                                           CreateHeader<TQHStorage>, kStorageProps, 2};
const TClassInfo TQHTable::kClassInfo = {"TQHTable", &TQHDataList::kClassInfo,
                                         CreateHeader<TQHTable>, kTableProps, 3};

// ---- TQHStorage ----

void TQHStorage::ReadHeader(const uint8_t* item) {
  TQHDataList::ReadHeader(item);
  TFieldCursor cur;
  if (OpenSection(item, kClassInfo.Depth(), 2, cur)) {
    schema_tan_ = cur.ReadU32(0);
    schema_version_ = static_cast<int32_t>(cur.ReadU32(0));
  } else {
    schema_tan_ = 0;
    schema_version_ = 0;
  }
}

void TQHStorage::WriteHeader(TFieldCursor& body) {
  TQHDataList::WriteHeader(body);
  TFieldCursor sec;
  BeginSection(body, kClassInfo.Depth(), 2, sec);
  sec.WriteU32(schema_tan_);
  sec.WriteU32(static_cast<uint32_t>(schema_version_));
  EndSection(body, sec);
}

// ---- TQHTable ----

void TQHTable::SetBaseStructureName(const std::string& v) {
  if (v == base_structure_name_) return;
  base_structure_name_ = v;
  Touch();
  RecordSchemaChange();
}

void TQHTable::ReadHeader(const uint8_t* item) {
  TQHDataList::ReadHeader(item);
  TFieldCursor cur;
  if (OpenSection(item, kClassInfo.Depth(), 3, cur)) {
    base_structure_name_ = cur.ReadText();
    max_field_count_ = static_cast<int32_t>(cur.ReadU32(0));
    // Field 2 holds the same count; the later field wins.
    max_field_count_ = static_cast<int32_t>(cur.ReadU32(0));
  } else {
    base_structure_name_.clear();
    max_field_count_ = 0;
  }
}

void TQHTable::WriteHeader(TFieldCursor& body) {
  TQHDataList::WriteHeader(body);
  TFieldCursor sec;
  BeginSection(body, kClassInfo.Depth(), 3, sec);
  sec.WriteText(base_structure_name_);
  sec.WriteU32(static_cast<uint32_t>(max_field_count_));
  sec.WriteU32(static_cast<uint32_t>(max_field_count_));
  EndSection(body, sec);
}

}  // namespace qdf
