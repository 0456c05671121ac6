#include "base/PackedItem.h"

#include <cstring>

#include "base/QdfException.h"

namespace qdf {

namespace {

constexpr const char* kUnit = "QdfBase";

inline int EndOffset(const uint8_t* item, int i) { return LoadU16(item + 2 + 2 * i); }
inline int FirstFieldStart(int n) { return 2 * (n + 1); }

// Bytes of field i as [*start, end); false when i is beyond the last field.
// An end offset below the field's start means a corrupt item.
inline bool FieldBounds(const uint8_t* item, int i, int* start, int* end) {
  int n = FieldCount(item);
  if (i < 0 || i >= n) return false;
  *start = i == 0 ? FirstFieldStart(n) : EndOffset(item, i - 1);
  *end = EndOffset(item, i);
  QDF_ASSERT(*end >= *start, kUnit);
  return true;
}

// Text up to the first zero byte within the field.
inline std::string FieldText(const uint8_t* p, int length) {
  const void* zero = std::memchr(p, 0, static_cast<size_t>(length));
  size_t n = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - p)
                  : static_cast<size_t>(length);
  return std::string(reinterpret_cast<const char*>(p), n);
}

}  // namespace

int PackedLength(const uint8_t* item, int base) {
  int n = FieldCount(item);
  return base + (n == 0 ? 2 : EndOffset(item, n - 1));
}

bool ValidPackedItem(const uint8_t* item, size_t size) {
  if (size < 2) return false;
  int n = FieldCount(item);
  size_t pos = static_cast<size_t>(FirstFieldStart(n));
  if (pos > size) return false;
  for (int i = 0; i < n; ++i) {
    size_t end = EndOffset(item, i);
    if (end < pos || end > size) return false;
    pos = end;
  }
  return true;
}

const uint8_t* GetField(const uint8_t* item, int i, int* length) {
  int start, end;
  if (!FieldBounds(item, i, &start, &end) || end == start) {
    *length = 0;
    return nullptr;
  }
  *length = end - start;
  return item + start;
}

std::vector<uint8_t> GetFieldBytes(const uint8_t* item, int i) {
  int length;
  const uint8_t* p = GetField(item, i, &length);
  if (!p) return {};
  return std::vector<uint8_t>(p, p + length);
}

std::string GetFieldText(const uint8_t* item, int i, std::string_view def) {
  int length;
  const uint8_t* p = GetField(item, i, &length);
  if (!p) return std::string(def);
  return FieldText(p, length);
}

TItemAdr GetFieldAdr(const uint8_t* item, int i, const TItemAdr& def) {
  int length;
  const uint8_t* p = GetField(item, i, &length);
  if (!p || length < kItemAdrSize) return def;
  return LoadAdr(p);
}

void InitPacked(uint8_t* item, int n) {
  QDF_ASSERT(n >= 0 && n <= 0x7FFF, kUnit);
  StoreU16(item, static_cast<uint16_t>(n));
  std::memset(item + 2, 0, 2 * static_cast<size_t>(n));
}

void SetField(uint8_t* item, int i, int length, const void* data) {
  int n = FieldCount(item);
  QDF_ASSERT(i >= 0 && i < n && length >= 0, kUnit);
  int start = i == 0 ? FirstFieldStart(n) : EndOffset(item, i - 1);
  // A zero end offset before field i means field i-1 was never set.
  QDF_ASSERT(start >= FirstFieldStart(n), kUnit);
  int end = start + length;
  QDF_ASSERT(end <= 0xFFFF, kUnit);
  if (length > 0) std::memcpy(item + start, data, static_cast<size_t>(length));
  StoreU16(item + 2 + 2 * i, static_cast<uint16_t>(end));
}

void SetFieldText(uint8_t* item, int i, std::string_view text) {
  if (text.empty()) {
    SetField(item, i, 0, nullptr);
    return;
  }
  SetField(item, i, static_cast<int>(text.size()), text.data());
  int end = EndOffset(item, i);
  QDF_ASSERT(end < 0xFFFF, kUnit);
  item[end] = 0;
  StoreU16(item + 2 + 2 * i, static_cast<uint16_t>(end + 1));
}

// ---- TFieldCursor ----------------------------------------------------------

void TFieldCursor::OpenRead(const uint8_t* p) {
  // The read cursor never writes; the pointer is shared with the write side.
  item = const_cast<uint8_t*>(p);
  count = FieldCount(p);
  index = -1;
  offset = FirstFieldStart(count);
  capacity = SIZE_MAX;
}

void TFieldCursor::OpenWrite(uint8_t* p, int n, size_t cap) {
  QDF_ASSERT(static_cast<size_t>(PackedSize(n)) <= cap, kUnit);
  InitPacked(p, n);
  item = p;
  count = n;
  index = -1;
  offset = FirstFieldStart(n);
  capacity = cap;
}

const uint8_t* TFieldCursor::NextField(int* length) {
  *length = 0;
  if (index + 1 >= count) {
    index = count;
    return nullptr;
  }
  ++index;
  int start = offset;
  int end = EndOffset(item, index);
  QDF_ASSERT(end >= start, kUnit);
  offset = end;
  if (end == start) return nullptr;
  *length = end - start;
  return item + start;
}

std::string TFieldCursor::ReadText(std::string_view def) {
  int length;
  const uint8_t* p = NextField(&length);
  return p ? FieldText(p, length) : std::string(def);
}

uint8_t TFieldCursor::ReadByte(uint8_t def) {
  int length;
  const uint8_t* p = NextField(&length);
  return p ? p[0] : def;
}

uint32_t TFieldCursor::ReadU32(uint32_t def) {
  int length;
  const uint8_t* p = NextField(&length);
  return p && length >= 4 ? LoadU32(p) : def;
}

uint64_t TFieldCursor::ReadU64(uint64_t def) {
  int length;
  const uint8_t* p = NextField(&length);
  return p && length >= 8 ? LoadU64(p) : def;
}

TItemAdr TFieldCursor::ReadAdr(const TItemAdr& def) {
  int length;
  const uint8_t* p = NextField(&length);
  return p && length >= kItemAdrSize ? LoadAdr(p) : def;
}

void TFieldCursor::WriteBytes(int length, const void* data) {
  QDF_ASSERT(length >= 0, kUnit);
  uint8_t* dst = SkipTo(index + 1);
  QDF_ASSERT(static_cast<size_t>(offset) + static_cast<size_t>(length) <= capacity, kUnit);
  if (length > 0) std::memcpy(dst, data, static_cast<size_t>(length));
  Advance(length);
}

void TFieldCursor::WriteText(std::string_view text) {
  if (text.empty()) {
    WriteBytes(0, nullptr);
    return;
  }
  uint8_t* dst = SkipTo(index + 1);
  QDF_ASSERT(static_cast<size_t>(offset) + text.size() + 1 <= capacity, kUnit);
  std::memcpy(dst, text.data(), text.size());
  dst[text.size()] = 0;
  Advance(static_cast<int>(text.size()) + 1);
}

void TFieldCursor::WriteByteArray(std::span<const uint8_t> bytes) {
  WriteBytes(static_cast<int>(bytes.size()), bytes.data());
}

void TFieldCursor::WriteByte(uint8_t v) { WriteBytes(1, &v); }

void TFieldCursor::WriteU32(uint32_t v) {
  uint8_t b[4];
  StoreU32(b, v);
  WriteBytes(4, b);
}

void TFieldCursor::WriteU64(uint64_t v) {
  uint8_t b[8];
  StoreU64(b, v);
  WriteBytes(8, b);
}

void TFieldCursor::WriteAdr(const TItemAdr& adr) {
  uint8_t b[kItemAdrSize];
  StoreAdr(b, adr);
  WriteBytes(kItemAdrSize, b);
}

uint8_t* TFieldCursor::SkipTo(int field) {
  QDF_ASSERT(field > index && field < count, kUnit);
  while (index + 1 < field) {
    ++index;
    StoreU16(item + 2 + 2 * index, static_cast<uint16_t>(offset));
  }
  return item + offset;
}

void TFieldCursor::Advance(int n) {
  QDF_ASSERT(n >= 0 && index + 1 < count, kUnit);
  int end = offset + n;
  QDF_ASSERT(end <= 0xFFFF && static_cast<size_t>(end) <= capacity, kUnit);
  ++index;
  offset = end;
  StoreU16(item + 2 + 2 * index, static_cast<uint16_t>(end));
}

void TFieldCursor::Finish() {
  while (index + 1 < count) {
    ++index;
    StoreU16(item + 2 + 2 * index, static_cast<uint16_t>(offset));
  }
}

// ---- TPackedItemBuffer -----------------------------------------------------

void TPackedItemBuffer::Clear() {
  owned_.reset();
  SetBuffer(nullptr);
}

void TPackedItemBuffer::Allocate(size_t size) {
  Clear();
  owned_ = std::make_unique<uint8_t[]>(size);
  SetBuffer(owned_.get());
}

}  // namespace qdf
