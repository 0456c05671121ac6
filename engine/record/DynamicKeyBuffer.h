// TDynamicKeyBuffer: builds an index key item in a growing buffer.
//
// Key item layout (as B-tree pages hold it):
//
//   offset 0   u16 total length (prefix included), set by SetSize / Close
//   offset 2   u32 link (FFFFFFFF here; the B-tree sets it)
//   offset 6   packed item: u16 field count N, N u16 end offsets, the fields
//
// Fields are added in increasing index order; skipped ones stay absent
// (null). Limits: one field at most kMaxFieldSize bytes, the packed key at
// most kMaxKeySize bytes.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "base/ItemAdr.h"
#include "object/PersistentObjectFactory.h"

namespace qdf {

class TQdfField;
class TVariant;

class TDynamicKeyBuffer {
 public:
  static constexpr int kPrefixSize = 6;
  static constexpr int kMaxFieldSize = 2048;
  static constexpr int kMaxKeySize = 8000;

  // `capacity`: initial buffer size in bytes (the buffer grows as needed).
  explicit TDynamicKeyBuffer(int capacity = 512);

  // Starts a key of `field_count` fields, all absent: the size becomes
  // (field_count - 1) * 2 + 10. Raises "Invalid Key Size: %d" when that
  // exceeds the key limit.
  void Init(int field_count);
  // Appends `size` bytes as packed field `index`. Raises "Invalid Key Size:
  // %d for Field N0: %d" (size, index) for a size outside 0..2048, and
  // "Invalid Key Size: %d" when the key would outgrow the key limit.
  // REQUIRES: index above every index added since Init and below the field
  // count (EAssertionFailed otherwise).
  void AddField(int index, int size, const void* data);

  // Typed values, encoded as records store them.
  void AddValue(int index, int32_t value);      // 4 bytes, little-endian
  void AddValue(int index, int64_t value);      // 8 bytes, little-endian
  void AddValue(int index, bool value);         // 1 byte
  void AddValue(int index, char value);         // 1 byte
  void AddValue(int index, double value);       // 8 bytes
  void AddValue(int index, long double value);  // as a double
  // Its bytes and a zero byte; the empty text adds nothing (null), as char
  // fields store it.
  void AddValue(int index, std::string_view text);
  void AddValue(int index, const char* text);     // nullptr or "": nothing
  void AddValue(int index, const TItemAdr& adr);  // 6 bytes
  void AddValue(int index, const TObjectID& id);  // the 8 stored bytes
  // The field's value as stored (GetData); nothing for null or nullptr.
  void AddValue(int index, TQdfField* field);
  // A currency value (units of 1/10000) as a double.
  void AddCurrency(int index, int64_t scaled);
  // A variant by its type: integer, 64-bit, double or date-time, boolean and
  // string as above; null adds nothing.
  void AddVariant(int index, const TVariant& value);

  // Sets the length word to size + 6. Raises "Invalid Key Size: %d" for a
  // size outside 0..8000.
  void SetSize(int size);
  // Completes the key: fields not added become absent, then SetSize of the
  // packed item's length. Returns the total length of the key item. No field
  // can be added afterwards until the next Init.
  int Close();

  // The key item (prefix first) and the bytes used so far.
  uint8_t* Key() { return buffer_.data(); }
  const uint8_t* Key() const { return buffer_.data(); }
  // The packed item after the prefix.
  uint8_t* Packed() { return buffer_.data() + kPrefixSize; }
  int Size() const { return size_; }
  int FieldCount() const { return field_count_; }

 private:
  void Reserve(int size);

  std::vector<uint8_t> buffer_;
  int size_ = 0;  // bytes used, prefix included
  int field_count_ = 0;
  int next_field_ = 0;  // fields below it are placed
};

}  // namespace qdf
