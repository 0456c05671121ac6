// TQdfServerUpdateList: the changes a transaction on a remote database makes
// to its tables, kept as "$UPDATE_LIST" until they are sent at commit. At most
// one entry per record.
//
// An entry is a record with prefix flags 3, body offset 13 (bytes 9-10) and
// field index 4 (bytes 11-12); its packed body holds: 0 the record's address
// in its table (6 bytes), 1 the table's header address (6), 2 the kind (1:
// insert, 3: update, 4: delete; 2 counts as 1), 3 for deletes the 4-byte
// value of the record's prefix bytes 9-12, otherwise the table's byte
// string, 4 (not for deletes) the record body.
#pragma once

#include <cstdint>
#include <string_view>

#include "list/DataListBase.h"

namespace qdf {

inline constexpr uint8_t kUpdateInsert = 1;
inline constexpr uint8_t kUpdateInsert2 = 2;
inline constexpr uint8_t kUpdateUpdate = 3;
inline constexpr uint8_t kUpdateDelete = 4;

class TQdfServerUpdateList : public TQdfDataListBase {
  QDF_CLASS_INFO(TQdfServerUpdateList)

 public:
  // Records a change of the record at `record` in the table whose header is
  // at `table`. `entry` is the record's current entry (the address its stub
  // names), or null. For deletes, `bytes` is ignored and `prefix_value` kept;
  // otherwise `bytes` is the table's string and `body` the record body.
  // Returns the address of the record's entry afterwards (null when an
  // insert and a delete cancelled out). Conflicting kinds raise "Undefined
  // Condition"; a failed write raises "Cannot add item to Update-List".
  TItemAdr AddUpdate(const TItemAdr& table, const TItemAdr& record, const TItemAdr& entry,
                     std::string_view body, std::string_view bytes, uint8_t kind,
                     uint32_t prefix_value = 0);

  // The kind of the entry at `entry`, or 0 when there is no such entry.
  uint8_t KindOf(const TItemAdr& entry);

 private:
  TItemAdr WriteEntry(const TItemAdr& existing, const TItemAdr& table, const TItemAdr& record,
                      std::string_view body, std::string_view bytes, uint8_t kind,
                      uint32_t prefix_value);
};

}  // namespace qdf
