// Packed items: the self-describing record of variable-length fields in which
// the engine stores header properties, records and index keys.
//
// Layout (all integers u16 little-endian):
//
//   offset 0          field count N
//   offset 2 + 2*i    end offset of field i (i = 0 .. N-1), from the item start
//   offset 2*(N+1)    field bytes, field 0 first
//
// Field 0 starts at 2*(N+1); field i >= 1 starts where field i-1 ends. A field
// of length 0 is absent and reads as the caller's default. The total length of
// an item is the end offset of its last field (2 when N = 0).
//
// Encodings written by the cursor: byte 1 byte, 32-bit integer 4 bytes,
// 64-bit integer 8 bytes (little-endian), item address 6 bytes (u32 page,
// u16 slot), text = its characters plus one zero byte (nothing for the empty
// text), byte array = its bytes.
//
// The functions take a raw pointer to the item; the caller guarantees that the
// whole item is readable (and, when building, that the buffer has room).
// Offsets that run backwards are detected and raise EAssertionFailed instead of
// producing a negative length; ValidPackedItem checks a whole item against a
// buffer size before it is trusted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/ItemAdr.h"

namespace qdf {

// Room for the count and the N end offsets plus a caller's prefix of `base`
// bytes: base + 2*N + 2.
inline int PackedSize(int n, int base = 0) { return base + 2 * n + 2; }

// Number of fields of `item`.
inline int FieldCount(const uint8_t* item) { return LoadU16(item); }

// base + the total length of a complete item (2 when it has no fields).
int PackedLength(const uint8_t* item, int base = 0);

// True when the item at `item` lies within `size` bytes and its end offsets
// never run backwards. Use before trusting an item read from a file.
bool ValidPackedItem(const uint8_t* item, size_t size);

// Field i of `item`: returns a pointer to its bytes and stores its length in
// *length; returns nullptr (length 0) when i >= N or the field is absent.
const uint8_t* GetField(const uint8_t* item, int i, int* length);

// Copy of field i (empty when absent).
std::vector<uint8_t> GetFieldBytes(const uint8_t* item, int i);

// Text of field i up to its zero byte (or the field end), `def` when absent.
std::string GetFieldText(const uint8_t* item, int i, std::string_view def = {});

// Item address in field i; `def` when absent or shorter than 6 bytes.
TItemAdr GetFieldAdr(const uint8_t* item, int i, const TItemAdr& def = kNullAdr);

// Starts an item of N fields: stores the count and zeroes the N end offsets.
// REQUIRES: PackedSize(n) bytes writable at item; 0 <= n <= 32767.
void InitPacked(uint8_t* item, int n);

// Places field i right after field i-1 and sets its end offset. Fields must be
// set in order 0, 1, ... (an absent one with length 0).
// REQUIRES: room for the bytes; the item stays below 64 KiB.
void SetField(uint8_t* item, int i, int length, const void* data);

// Field i as text: its characters and a zero byte; absent for the empty text.
void SetFieldText(uint8_t* item, int i, std::string_view text);

// Sequential reader and writer of a packed item in field order.
//
// State: the item, the offset where the next field's bytes start, the index of
// the current field (-1 before the first) and the field count. Reading methods
// return the default for an absent field or past the last field. A write
// cursor may be given a capacity (bytes writable at the item); every write is
// then checked against it.
struct TFieldCursor {
  uint8_t* item = nullptr;
  int offset = 0;
  int index = -1;
  int count = 0;
  size_t capacity = SIZE_MAX;

  // Positions before field 0 of an existing item.
  void OpenRead(const uint8_t* item);
  // Starts a new item of n fields (as InitPacked) and positions before field 0.
  void OpenWrite(uint8_t* item, int n, size_t capacity = SIZE_MAX);

  // Steps to the next field: pointer to its bytes and its length, or nullptr
  // (length 0) when absent or past the last field.
  const uint8_t* NextField(int* length);
  std::string ReadText(std::string_view def = {});
  uint8_t ReadByte(uint8_t def = 0);
  uint32_t ReadU32(uint32_t def = 0);
  uint64_t ReadU64(uint64_t def = 0);
  TItemAdr ReadAdr(const TItemAdr& def = kNullAdr);

  // Each writer advances to the next field, appends its bytes and stores the
  // new end offset. REQUIRES: a field is left (index + 1 < count).
  void WriteBytes(int length, const void* data);
  void WriteText(std::string_view text);
  void WriteByteArray(std::span<const uint8_t> bytes);
  void WriteByte(uint8_t v);
  void WriteU32(uint32_t v);
  void WriteU64(uint64_t v);
  void WriteAdr(const TItemAdr& adr);

  // Writes absent fields up to (not including) field `field` and returns the
  // place where its bytes go; the caller writes them and calls Advance(n).
  // REQUIRES: index < field < count.
  uint8_t* SkipTo(int field);
  // Completes the next field with n bytes the caller already wrote.
  void Advance(int n);
  // Makes every remaining field absent; the item is then complete.
  void Finish();
};

// Holds a pointer to a packed item buffer, which it may own.
//
// Create = the default constructor (no buffer, not owned); Destroy = the
// destructor, which clears. An owned buffer is held by a unique_ptr and stays
// alive until Clear, Allocate or destruction, so SetBuffer can never free or
// leak it: SetBuffer only changes the pointer the holder exposes.
class TPackedItemBuffer {
 public:
  TPackedItemBuffer() = default;
  virtual ~TPackedItemBuffer() = default;
  TPackedItemBuffer(const TPackedItemBuffer&) = delete;
  TPackedItemBuffer& operator=(const TPackedItemBuffer&) = delete;

  // Stores the pointer. Overrides must call this base version.
  virtual void SetBuffer(uint8_t* buffer) { buffer_ = buffer; }

  // Frees the buffer when owned; afterwards no buffer, not owned.
  void Clear();
  // Clears, then gets a zeroed buffer of `size` bytes which it owns; announces
  // it through SetBuffer.
  void Allocate(size_t size);

  uint8_t* Buffer() const { return buffer_; }
  bool OwnsBuffer() const { return owned_ != nullptr; }

 private:
  uint8_t* buffer_ = nullptr;
  std::unique_ptr<uint8_t[]> owned_;
};

}  // namespace qdf
