#include "record/DynamicKeyBuffer.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "base/Bytes.h"
#include "base/QdfException.h"
#include "base/Variant.h"
#include "record/Field.h"

namespace qdf {

TDynamicKeyBuffer::TDynamicKeyBuffer(int capacity) {
  buffer_.resize(static_cast<size_t>(capacity > kPrefixSize + 2 ? capacity : kPrefixSize + 2));
  Init(0);
}

void TDynamicKeyBuffer::Reserve(int size) {
  if (static_cast<size_t>(size) > buffer_.size()) {
    buffer_.resize(std::max(static_cast<size_t>(size), buffer_.size() * 2));
  }
}

void TDynamicKeyBuffer::Init(int field_count) {
  const int packed = 2 * field_count + 2;
  if (field_count < 0 || packed > kMaxKeySize) {
    throw EQdfException::Fmt("Invalid Key Size: %d", packed);
  }
  size_ = kPrefixSize + packed;  // = (field_count - 1) * 2 + 10
  Reserve(size_);
  StoreU16(buffer_.data(), static_cast<uint16_t>(size_));
  StoreU32(buffer_.data() + 2, kNoPage);
  uint8_t* item = Packed();
  StoreU16(item, static_cast<uint16_t>(field_count));
  std::memset(item + 2, 0, 2 * static_cast<size_t>(field_count));
  field_count_ = field_count;
  next_field_ = 0;
}

void TDynamicKeyBuffer::AddField(int index, int size, const void* data) {
  if (size < 0 || size > kMaxFieldSize) {
    throw EQdfException::Fmt("Invalid Key Size: %d for Field N0: %d", size, index);
  }
  QDF_ASSERT(index >= next_field_ && index < field_count_, "QdfList");
  const int packed_end = size_ - kPrefixSize + size;
  if (packed_end > kMaxKeySize) throw EQdfException::Fmt("Invalid Key Size: %d", packed_end);
  Reserve(size_ + size);
  uint8_t* item = Packed();
  // Skipped fields end where the last placed one ends: absent.
  const auto current_end = static_cast<uint16_t>(size_ - kPrefixSize);
  for (int i = next_field_; i < index; ++i) StoreU16(item + 2 + 2 * i, current_end);
  if (size > 0) std::memcpy(buffer_.data() + size_, data, static_cast<size_t>(size));
  size_ += size;
  StoreU16(item + 2 + 2 * index, static_cast<uint16_t>(packed_end));
  next_field_ = index + 1;
}

void TDynamicKeyBuffer::AddValue(int index, int32_t value) {
  uint8_t b[4];
  StoreU32(b, static_cast<uint32_t>(value));
  AddField(index, 4, b);
}

void TDynamicKeyBuffer::AddValue(int index, int64_t value) {
  uint8_t b[8];
  StoreU64(b, static_cast<uint64_t>(value));
  AddField(index, 8, b);
}

void TDynamicKeyBuffer::AddValue(int index, bool value) {
  const uint8_t b = value ? 1 : 0;
  AddField(index, 1, &b);
}

void TDynamicKeyBuffer::AddValue(int index, char value) { AddField(index, 1, &value); }

void TDynamicKeyBuffer::AddValue(int index, double value) {
  uint8_t b[8];
  StoreU64(b, std::bit_cast<uint64_t>(value));
  AddField(index, 8, b);
}

void TDynamicKeyBuffer::AddValue(int index, long double value) {
  AddValue(index, static_cast<double>(value));
}

void TDynamicKeyBuffer::AddValue(int index, std::string_view text) {
  // A char field stores the empty text as null: a search key must do the same,
  // or it would sort above every null key it should match.
  if (text.empty()) return;
  const int size = static_cast<int>(text.size()) + 1;
  if (size > kMaxFieldSize) {
    throw EQdfException::Fmt("Invalid Key Size: %d for Field N0: %d", size, index);
  }
  char b[kMaxFieldSize];
  if (!text.empty()) std::memcpy(b, text.data(), text.size());
  b[text.size()] = 0;
  AddField(index, size, b);
}

void TDynamicKeyBuffer::AddValue(int index, const char* text) {
  AddValue(index, text == nullptr ? std::string_view() : std::string_view(text));
}

void TDynamicKeyBuffer::AddValue(int index, const TItemAdr& adr) {
  uint8_t b[kItemAdrSize];
  StoreAdr(b, adr);
  AddField(index, kItemAdrSize, b);
}

void TDynamicKeyBuffer::AddValue(int index, const TObjectID& id) {
  AddField(index, static_cast<int>(id.size()), id.data());
}

void TDynamicKeyBuffer::AddValue(int index, TQdfField* field) {
  int length = 0;
  const uint8_t* data = field != nullptr ? field->GetData(&length) : nullptr;
  AddField(index, data != nullptr ? length : 0, data);
}

void TDynamicKeyBuffer::AddCurrency(int index, int64_t scaled) {
  AddValue(index, static_cast<double>(scaled) / 10000.0);
}

void TDynamicKeyBuffer::AddVariant(int index, const TVariant& value) {
  switch (value.Type()) {
    case TVarType::kInteger:
      AddValue(index, value.RawInteger());
      break;
    case TVarType::kInt64:
      AddValue(index, value.RawInt64());
      break;
    case TVarType::kDouble:
    case TVarType::kDateTime:
      AddValue(index, value.RawDouble());
      break;
    case TVarType::kBoolean:
      AddValue(index, value.RawBoolean());
      break;
    case TVarType::kString:
      AddValue(index, std::string_view(value.RawString()));
      break;
    case TVarType::kNull:
      AddField(index, 0, nullptr);
      break;
  }
}

void TDynamicKeyBuffer::SetSize(int size) {
  if (size < 0 || size > kMaxKeySize) throw EQdfException::Fmt("Invalid Key Size: %d", size);
  StoreU16(buffer_.data(), static_cast<uint16_t>(size + kPrefixSize));
}

int TDynamicKeyBuffer::Close() {
  // Fields never added are absent: they end where the last placed one ends.
  uint8_t* item = Packed();
  const auto current_end = static_cast<uint16_t>(size_ - kPrefixSize);
  for (int i = next_field_; i < field_count_; ++i) StoreU16(item + 2 + 2 * i, current_end);
  next_field_ = field_count_;
  SetSize(size_ - kPrefixSize);
  return size_;
}

}  // namespace qdf
