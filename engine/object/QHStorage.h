// Headers of the storage and of tables. Both are data lists (section 4 is the
// data list's $SPARE address), each with its own section 5:
//
//   TQHStorage (5): SchemaTAN u32 (0), SchemaVersion i32 (0), IDHighWater u64
//                   (0; files written before it have two fields, and
//                   readers that know two ignore the third)
//   TQHTable (5):   BaseStructureName text (empty), MaxFieldCount i32 (0),
//                   MaxFieldCount again i32 (0; read back into MaxFieldCount)
//
// MaxStructureSize of a table lives in memory only: reading a header leaves it
// as it is.
#pragma once

#include <cstdint>
#include <string>

#include "object/QHPageList.h"

namespace qdf {

class TQHStorage : public TQHDataList {
  QDF_CLASS_INFO(TQHStorage)

 public:
  using TQHDataList::TQHDataList;
  void ReadHeader(const uint8_t* item) override;
  void WriteHeader(TFieldCursor& body) override;

  // Number of the transaction that last changed the schema.
  uint32_t SchemaTAN() const { return schema_tan_; }
  void SetSchemaTAN(uint32_t v) {
    schema_tan_ = v;
    Touch();
  }
  // The highest object ID drawn for this database so far (0: none known).
  uint64_t IDHighWater() const { return id_high_water_; }
  void SetIDHighWater(uint64_t v) {
    id_high_water_ = v;
    Touch();
  }
  // Schema version in VersionToInt form.
  int32_t SchemaVersion() const { return schema_version_; }
  void SetSchemaVersion(int32_t v) {
    schema_version_ = v;
    Touch();
  }

 private:
  uint32_t schema_tan_ = 0;
  int32_t schema_version_ = 0;
  uint64_t id_high_water_ = 0;
};

class TQHTable : public TQHDataList {
  QDF_CLASS_INFO(TQHTable)

 public:
  using TQHDataList::TQHDataList;
  void ReadHeader(const uint8_t* item) override;
  void WriteHeader(TFieldCursor& body) override;

  // Name of the record class the table holds. Part of the schema.
  const std::string& BaseStructureName() const { return base_structure_name_; }
  void SetBaseStructureName(const std::string& v);
  // Largest field count of the record class tree. Published read-only; the
  // table sets it when it binds its class, without marking the header modified.
  int32_t MaxFieldCount() const { return max_field_count_; }
  void SetMaxFieldCount(int32_t v) { max_field_count_ = v; }
  // Not stored; setting it does not mark the header modified.
  int32_t MaxStructureSize() const { return max_structure_size_; }
  void SetMaxStructureSize(int32_t v) { max_structure_size_ = v; }

 private:
  std::string base_structure_name_;
  int32_t max_field_count_ = 0;
  int32_t max_structure_size_ = 0;
};

}  // namespace qdf
