#include "list/ServerUpdateList.h"

#include <cstring>

#include "base/PackedItem.h"
#include "base/QdfException.h"
#include "list/DataList.h"
#include "reader/PageReader.h"

namespace qdf {

QDF_DEFINE_PERSISTENT_CLASS(TQdfServerUpdateList, TQdfDataListBase);

namespace {

constexpr int kEntryFields = 5;

// The packed body of an entry, when `item` is one.
const uint8_t* EntryBody(const uint8_t* item) {
  if (item == nullptr || LoadU16(item) < kRecordPrefixSize + 2) return nullptr;
  if ((item[kRecFlags] & 3) != kRecInPacked || LoadU16(item + kRecBodyOffset) != 13 ||
      LoadU16(item + kRecFieldIndex) != 4) {
    return nullptr;
  }
  const uint8_t* body = item + kRecordPrefixSize;
  if (!ValidPackedItem(body, LoadU16(item) - kRecordPrefixSize) ||
      FieldCount(body) != kEntryFields) {
    return nullptr;
  }
  return body;
}

}  // namespace

uint8_t TQdfServerUpdateList::KindOf(const TItemAdr& entry) {
  if (entry.IsNull()) return 0;
  const uint8_t* body = EntryBody(GetItem(entry));
  if (body == nullptr) return 0;
  int length = 0;
  const uint8_t* kind = GetField(body, 2, &length);
  return kind != nullptr && length == 1 ? *kind : 0;
}

TItemAdr TQdfServerUpdateList::WriteEntry(const TItemAdr& existing, const TItemAdr& table,
                                          const TItemAdr& record, std::string_view body,
                                          std::string_view bytes, uint8_t kind,
                                          uint32_t prefix_value) {
  const bool is_delete = kind == kUpdateDelete;
  const int third = is_delete ? 4 : static_cast<int>(bytes.size());
  const int fourth = is_delete ? 0 : static_cast<int>(body.size());
  const int packed = PackedSize(kEntryFields) + 6 + 6 + 1 + third + fourth;
  const int size = kRecordPrefixSize + packed;
  if (size > MaxItemSize()) throw EQdfException("Cannot add item to Update-List");
  TQdfPageReader* r = PageReader();
  TReaderUse use(r);
  TItemAdr adr = existing;
  uint8_t* item;
  try {
    if (adr.IsNull()) {
      item = AppendItem(size, &adr);
    } else {
      item = ResizeItem(adr, size);
    }
  } catch (const EQdfException&) {
    throw EQdfException("Cannot add item to Update-List");
  }
  std::memset(item + 2, 0, kRecordPrefixSize - 2);
  item[kRecFlags] = kRecInPacked;
  std::memset(item + kRecLink, 0xFF, 6);
  StoreU16(item + kRecBodyOffset, 13);
  StoreU16(item + kRecFieldIndex, 4);
  TFieldCursor cur;
  cur.OpenWrite(item + kRecordPrefixSize, kEntryFields, static_cast<size_t>(packed));
  cur.WriteAdr(record);
  cur.WriteAdr(table);
  cur.WriteByte(kind);
  if (is_delete) {
    cur.WriteU32(prefix_value);
  } else {
    cur.WriteBytes(third, bytes.data());
    cur.WriteBytes(fourth, body.data());
  }
  cur.Finish();
  QDF_ASSERT(PackedLength(item + kRecordPrefixSize) <= packed, "QdfList");
  return adr;
}

TItemAdr TQdfServerUpdateList::AddUpdate(const TItemAdr& table, const TItemAdr& record,
                                         const TItemAdr& entry, std::string_view body,
                                         std::string_view bytes, uint8_t kind,
                                         uint32_t prefix_value) {
  const uint8_t existing = KindOf(entry);
  if (existing == 0) {
    return WriteEntry(kNullAdr, table, record, body, bytes, kind, prefix_value);
  }
  const bool was_insert = existing == kUpdateInsert || existing == kUpdateInsert2;
  switch (kind) {
    case kUpdateInsert:
    case kUpdateInsert2:
      throw EQdfException("Undefined Condition");
    case kUpdateUpdate:
      if (existing == kUpdateDelete) throw EQdfException("Undefined Condition");
      return WriteEntry(entry, table, record, body, bytes, existing, prefix_value);
    case kUpdateDelete:
      if (was_insert) {
        DeleteItem(entry);  // the insert and the delete cancel out
        return kNullAdr;
      }
      if (existing == kUpdateDelete) throw EQdfException("Undefined Condition");
      return WriteEntry(entry, table, record, body, bytes, kUpdateDelete, prefix_value);
    default:
      throw EQdfException("Undefined Condition");
  }
}

}  // namespace qdf
