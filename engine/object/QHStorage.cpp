#include "object/QHStorage.h"

#include <climits>

namespace qdf {
namespace {

const TPropInfo kStorageProps[] = {
    QDF_PROP_UINT32(TQHStorage, "SchemaTAN", SchemaTAN, SetSchemaTAN),
    QDF_PROP_INT32(TQHStorage, "SchemaVersion", SchemaVersion, SetSchemaVersion),
};

const TPropInfo kTableProps[] = {
    QDF_PROP_STRING(TQHTable, "BaseStructureName", BaseStructureName, SetBaseStructureName),
    {"MaxFieldCount", TPropKind::kInteger, true,
     [](const TObject& o) { return IntToText(HeaderAs<TQHTable>(o).MaxFieldCount()); }, nullptr},
    QDF_PROP_INT32(TQHTable, "MaxStructureSize", MaxStructureSize, SetMaxStructureSize),
};

}  // namespace

const TClassInfo TQHStorage::kClassInfo = {"TQHStorage", &TQHDataList::kClassInfo,
                                           CreateHeaderObject<TQHStorage>, kStorageProps, 2};
const TClassInfo TQHTable::kClassInfo = {"TQHTable", &TQHDataList::kClassInfo,
                                         CreateHeaderObject<TQHTable>, kTableProps, 3};

// ---- TQHStorage ----

void TQHStorage::ReadHeader(const uint8_t* item) {
  TQHDataList::ReadHeader(item);
  TFieldCursor cur;
  if (OpenSection(item, kClassInfo.Depth(), 2, cur)) {
    schema_tan_ = cur.ReadU32(0);
    schema_version_ = static_cast<int32_t>(cur.ReadU32(0));
    id_high_water_ = cur.ReadU64(0);
  } else {
    schema_tan_ = 0;
    schema_version_ = 0;
    id_high_water_ = 0;
  }
}

void TQHStorage::WriteHeader(TFieldCursor& body) {
  TQHDataList::WriteHeader(body);
  TFieldCursor sec;
  BeginSection(body, kClassInfo.Depth(), 3, sec);
  sec.WriteU32(schema_tan_);
  sec.WriteU32(static_cast<uint32_t>(schema_version_));
  sec.WriteU64(id_high_water_);
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
