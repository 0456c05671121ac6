#include "record/Fields.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>

#include "base/Bytes.h"
#include "base/Helpers.h"

namespace qdf {

QDF_DEFINE_PERSISTENT_CLASS(TQdfBooleanField, TQdfField);
QDF_DEFINE_PERSISTENT_CLASS(TQdfIntegerField, TQdfField);
QDF_DEFINE_PERSISTENT_CLASS(TQdfFloatField, TQdfField);
QDF_DEFINE_PERSISTENT_CLASS(TQdfDateTimeField, TQdfFloatField);
QDF_DEFINE_PERSISTENT_CLASS(TQdfCharField, TQdfField);
QDF_DEFINE_PERSISTENT_CLASS(TQdfByteArrayField, TQdfField);
QDF_DEFINE_PERSISTENT_CLASS(TQdfObjectIDField, TQdfField);
QDF_DEFINE_PERSISTENT_CLASS(TQdfShortReferenceField, TQdfField);
QDF_DEFINE_PERSISTENT_CLASS(TQdfReferenceField, TQdfShortReferenceField);

namespace {

bool IsNullVariant(const TVariant& v) {
  return v.IsNull() || (v.IsString() && v.RawString().empty());
}

// ---- decoding of stored values (bounded by their length) ----

// 1 byte: not 0; 2 bytes: the u16 above 0.
// A stored value of a length its type never writes: the record is damaged
// (or was written under another schema), never a caller's mistake.
[[noreturn]] void InvalidFieldSize() { throw EQdfException("Invalid Field Size"); }

bool DecodeBoolean(const uint8_t* data, int length) {
  if (length == 1) return data[0] != 0;
  if (length == 2) return LoadU16(data) > 0;
  InvalidFieldSize();
}

int32_t DecodeInteger(const uint8_t* data, int length) {
  if (length != 4) InvalidFieldSize();
  return static_cast<int32_t>(LoadU32(data));
}

double DecodeDouble(const uint8_t* data, int length) {
  if (length != 8) InvalidFieldSize();
  return std::bit_cast<double>(LoadU64(data));
}

// The text of a char value: up to its zero byte, never past `length`.
std::string DecodeText(const uint8_t* data, int length) {
  const void* zero = std::memchr(data, 0, static_cast<size_t>(length));
  const size_t n = zero != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - data)
                                   : static_cast<size_t>(length);
  return std::string(reinterpret_cast<const char*>(data), n);
}

// ---- date-time text ----

std::atomic<TQdfReferenceField::TPendingEntryHook> g_pending_entry_hook{nullptr};

}  // namespace

// ---- boolean ----

void TQdfBooleanField::Construct(TQdfPersistentObject* class_object) {
  TQdfField::Construct(class_object);
  SetFixedSize(1);
}

bool TQdfBooleanField::AsBoolean() {
  int length;
  const uint8_t* data = GetData(&length);
  return data != nullptr && DecodeBoolean(data, length);
}

void TQdfBooleanField::SetAsBoolean(bool value) {
  CheckEdit();
  const uint8_t byte = value ? 1 : 0;
  StoreValue(&byte, 1, true);
}

std::string TQdfBooleanField::GetAsString() {
  if (IsNull()) return std::string();
  return AsBoolean() ? "True" : "False";
}

void TQdfBooleanField::SetAsString(const std::string& text) {
  CheckEdit();
  const std::string word = UpperCase(text);
  if (word == "TRUE" || word == "1" || word == "YES") {
    SetAsBoolean(true);
  } else if (word == "FALSE" || word == "0" || word == "NO") {
    SetAsBoolean(false);
  } else if (text.empty()) {
    StoreNull(true);
  } else {
    // Any other word would be stored as something it does not say.
    throw EQdfException(
        Format("Field %s cannot take '%s': a boolean field takes True, False, Yes, No, 1 or 0",
               ObjectName().c_str(), text.c_str()));
  }
}

TVariant TQdfBooleanField::GetAsVariant() {
  if (IsNull()) return TVariant();
  return TVariant(AsBoolean());
}

void TQdfBooleanField::SetAsVariant(const TVariant& value) {
  CheckEdit();
  if (IsNullVariant(value)) {
    StoreNull(true);
  } else if (value.IsString()) {
    SetAsString(value.RawString());
  } else {
    SetAsBoolean(value.AsBoolean());
  }
}

void TQdfBooleanField::SetData(const uint8_t* data, int length) {
  if (NullIfMissing(data, length)) return;
  if (length == 1) {
    StoreValue(data, 1, false);  // as it is
    return;
  }
  const uint8_t byte = DecodeBoolean(data, length) ? 1 : 0;
  StoreValue(&byte, 1, false);
}

void TQdfBooleanField::Assign(TQdfField& other) {
  if (!other.IsKindOf(TQdfBooleanField::kClassInfo)) {
    TQdfField::Assign(other);
    return;
  }
  auto& src = static_cast<TQdfBooleanField&>(other);
  CheckEdit();
  if (src.IsNull()) {
    StoreNull(true);
  } else {
    SetAsBoolean(src.AsBoolean());
  }
}

// ---- integer ----

void TQdfIntegerField::Construct(TQdfPersistentObject* class_object) {
  TQdfField::Construct(class_object);
  SetFixedSize(4);
}

int32_t TQdfIntegerField::AsInteger() {
  int length;
  const uint8_t* data = GetData(&length);
  return data == nullptr ? 0 : DecodeInteger(data, length);
}

void TQdfIntegerField::SetAsInteger(int32_t value) {
  CheckEdit();
  uint8_t bytes[4];
  StoreU32(bytes, static_cast<uint32_t>(value));
  StoreValue(bytes, 4, true);
}

std::string TQdfIntegerField::GetAsString() {
  if (IsNull()) return std::string();
  return std::to_string(AsInteger());
}

void TQdfIntegerField::SetAsString(const std::string& text) {
  if (NullIfEmpty(text.empty())) return;
  SetAsInteger(TextToInt32(text));
}

TVariant TQdfIntegerField::GetAsVariant() {
  if (IsNull()) return TVariant();
  return TVariant(AsInteger());
}

void TQdfIntegerField::SetAsVariant(const TVariant& value) {
  if (NullIfEmpty(IsNullVariant(value))) return;
  SetAsInteger(value.AsInteger());
}

void TQdfIntegerField::SetData(const uint8_t* data, int length) {
  if (NullIfMissing(data, length)) return;
  DecodeInteger(data, length);  // checks the size
  StoreValue(data, 4, false);
}

void TQdfIntegerField::Assign(TQdfField& other) {
  const bool from_integer = other.IsKindOf(TQdfIntegerField::kClassInfo);
  const bool from_float = other.IsKindOf(TQdfFloatField::kClassInfo);
  if (!from_integer && !from_float) {
    TQdfField::Assign(other);
    return;
  }
  CheckEdit();
  if (other.IsNull()) {
    StoreNull(true);
  } else if (from_integer) {
    SetAsInteger(static_cast<TQdfIntegerField&>(other).AsInteger());
  } else {
    // Half to even; EConvertError outside the 32-bit range.
    SetAsInteger(TVariant(static_cast<TQdfFloatField&>(other).AsFloat()).AsInteger());
  }
}

// ---- float ----

void TQdfFloatField::Construct(TQdfPersistentObject* class_object) {
  TQdfField::Construct(class_object);
  SetFixedSize(8);
}

double TQdfFloatField::AsFloat() {
  int length;
  const uint8_t* data = GetData(&length);
  return data == nullptr ? 0.0 : DecodeDouble(data, length);
}

void TQdfFloatField::SetAsFloat(double value) {
  CheckEdit();
  // Keys of float fields are ordered by value: NaN has no place in that
  // order, and infinities are refused with it (text never gives them).
  if (!std::isfinite(value)) {
    throw EQdfException(Format("Field %s cannot take %s: a float field holds finite numbers only",
                               ObjectName().c_str(), DoubleToText(value).c_str()));
  }
  uint8_t bytes[8];
  StoreU64(bytes, std::bit_cast<uint64_t>(value));
  StoreValue(bytes, 8, true);
}

std::string TQdfFloatField::GetAsString() {
  if (IsNull()) return std::string();
  return DoubleToText(AsFloat());
}

void TQdfFloatField::SetAsString(const std::string& text) {
  if (NullIfEmpty(text.empty())) return;
  SetAsFloat(TextToDouble(text));
}

TVariant TQdfFloatField::GetAsVariant() {
  if (IsNull()) return TVariant();
  return TVariant(AsFloat());
}

void TQdfFloatField::SetAsVariant(const TVariant& value) {
  if (NullIfEmpty(IsNullVariant(value))) return;
  SetAsFloat(value.AsDouble());
}

void TQdfFloatField::SetData(const uint8_t* data, int length) {
  if (NullIfMissing(data, length)) return;
  DecodeDouble(data, length);  // checks the size
  StoreValue(data, 8, false);
}

void TQdfFloatField::Assign(TQdfField& other) {
  const bool from_float = other.IsKindOf(TQdfFloatField::kClassInfo);
  const bool from_integer = other.IsKindOf(TQdfIntegerField::kClassInfo);
  if (!from_float && !from_integer) {
    TQdfField::Assign(other);
    return;
  }
  CheckEdit();
  if (other.IsNull()) {
    StoreNull(true);
  } else if (from_float) {
    SetAsFloat(static_cast<TQdfFloatField&>(other).AsFloat());
  } else {
    SetAsFloat(static_cast<TQdfIntegerField&>(other).AsInteger());
  }
}

// ---- date-time ----

std::string TQdfDateTimeField::GetAsString() {
  if (IsNull()) return std::string();
  return DateTimeToText(AsFloat());
}

void TQdfDateTimeField::SetAsString(const std::string& text) {
  if (NullIfEmpty(text.empty())) return;
  SetAsFloat(TextToDateTime(text));
}

TVariant TQdfDateTimeField::GetAsVariant() {
  if (IsNull()) return TVariant();
  return TVariant::DateTime(AsFloat());
}

void TQdfDateTimeField::SetAsVariant(const TVariant& value) {
  CheckEdit();
  if (IsNullVariant(value)) {
    StoreNull(true);
  } else if (value.IsString()) {
    SetAsString(value.RawString());
  } else {
    SetAsFloat(value.AsDouble());
  }
}

// ---- char ----

std::string TQdfCharField::GetAsString() {
  int length;
  const uint8_t* data = GetData(&length);
  return data == nullptr ? std::string() : DecodeText(data, length);
}

void TQdfCharField::SetAsString(const std::string& text) {
  CheckEdit();
  // A zero byte ends the stored text: a text with one cannot be kept whole.
  const size_t n = text.find('\0');
  if (n != std::string::npos) {
    throw EQdfException(
        Format("Field %s cannot take a text with a zero byte (byte %zu): a char field "
               "holds text without zero bytes",
               ObjectName().c_str(), n + 1));
  }
  if (text.empty()) {
    StoreNull(true);
    return;
  }
  std::vector<uint8_t> bytes(text.size() + 1, 0);
  std::memcpy(bytes.data(), text.data(), text.size());
  StoreValue(bytes.data(), static_cast<int>(text.size() + 1), true);
}

TVariant TQdfCharField::GetAsVariant() {
  if (IsNull()) return TVariant();
  return TVariant(GetAsString());
}

void TQdfCharField::SetData(const uint8_t* data, int length) {
  if (NullIfMissing(data, length)) return;
  // At most the stored length: a damaged value without its zero byte ends
  // at the end of the field.
  const std::string text = DecodeText(data, length);
  if (text.empty()) {
    StoreNull(false);
    return;
  }
  std::vector<uint8_t> bytes(text.size() + 1, 0);
  std::memcpy(bytes.data(), text.data(), text.size());
  StoreValue(bytes.data(), static_cast<int>(bytes.size()), false);
}

bool TQdfCharField::ValueIsNull(const uint8_t* data, int length) const {
  return length <= 0 || data[0] == 0;
}

// ---- byte array ----

std::string TQdfByteArrayField::GetAsString() {
  int length;
  const uint8_t* data = GetData(&length);
  return data == nullptr
             ? std::string()
             : std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
}

void TQdfByteArrayField::SetAsString(const std::string& text) {
  SetAsBytes(reinterpret_cast<const uint8_t*>(text.data()), static_cast<int>(text.size()));
}

std::vector<uint8_t> TQdfByteArrayField::AsBytes() {
  int length;
  const uint8_t* data = GetData(&length);
  return data == nullptr ? std::vector<uint8_t>() : std::vector<uint8_t>(data, data + length);
}

void TQdfByteArrayField::SetAsBytes(const uint8_t* data, int length) {
  CheckEdit();
  if (data == nullptr || length <= 0) {
    StoreNull(true);
  } else {
    StoreValue(data, length, true);
  }
}

// ---- object ID ----

void TQdfObjectIDField::Construct(TQdfPersistentObject* class_object) {
  TQdfField::Construct(class_object);
  SetFixedSize(8);
}

TObjectID TQdfObjectIDField::AsID() {
  TObjectID id{};
  int length;
  const uint8_t* data = GetData(&length);
  if (data != nullptr) {
    if (length != 8) InvalidFieldSize();
    std::memcpy(id.data(), data, 8);
  }
  return id;
}

void TQdfObjectIDField::SetAsID(const TObjectID& id) {
  CheckEdit();
  if (ValueIsNull(id.data(), 8)) {
    StoreNull(true);
  } else {
    StoreValue(id.data(), 8, true);
  }
}

int64_t TQdfObjectIDField::AsInt64() {
  const TObjectID id = AsID();
  return static_cast<int64_t>(LoadU64(id.data()));
}

void TQdfObjectIDField::SetAsInt64(int64_t value) {
  TObjectID id;
  StoreU64(id.data(), static_cast<uint64_t>(value));
  SetAsID(id);
}

std::string TQdfObjectIDField::GetAsString() {
  if (IsNull()) return std::string();
  return std::to_string(AsInt64());
}

void TQdfObjectIDField::SetAsString(const std::string& text) {
  if (NullIfEmpty(text.empty())) return;
  SetAsInt64(TextToInt64(text));
}

TVariant TQdfObjectIDField::GetAsVariant() {
  if (IsNull()) return TVariant();
  return TVariant(AsInt64());
}

void TQdfObjectIDField::SetAsVariant(const TVariant& value) {
  if (NullIfEmpty(IsNullVariant(value))) return;
  SetAsInt64(value.AsInt64());
}

void TQdfObjectIDField::SetData(const uint8_t* data, int length) {
  if (NullIfMissing(data, length)) return;
  if (length != 8) InvalidFieldSize();
  if (ValueIsNull(data, length)) {
    StoreNull(false);
  } else {
    StoreValue(data, 8, false);
  }
}

void TQdfObjectIDField::Assign(TQdfField& other) {
  if (!other.IsKindOf(TQdfObjectIDField::kClassInfo)) {
    TQdfField::Assign(other);
    return;
  }
  SetAsID(static_cast<TQdfObjectIDField&>(other).AsID());
}

bool TQdfObjectIDField::ValueIsNull(const uint8_t* data, int length) const {
  for (int i = 0; i < length; ++i) {
    if (data[i] != 0) return false;
  }
  return true;
}

// ---- short reference ----

void TQdfShortReferenceField::Construct(TQdfPersistentObject* class_object) {
  TQdfField::Construct(class_object);
  SetValueSize();
}

TItemAdr TQdfShortReferenceField::AsAddress() {
  int length;
  const uint8_t* data = GetData(&length);
  if (data == nullptr) return kNullAdr;
  if (length < kItemAdrSize) InvalidFieldSize();
  return LoadAdr(data);
}

void TQdfShortReferenceField::SetAsAddress(const TItemAdr& adr) {
  CheckEdit();
  StoreAddress(adr);
}

void TQdfShortReferenceField::StoreAddress(const TItemAdr& adr) {
  uint8_t bytes[kItemAdrSize];
  StoreAdr(bytes, adr);
  StoreValue(bytes, kItemAdrSize, true);
}

std::string TQdfShortReferenceField::GetAsString() {
  if (IsNull()) return std::string();
  return AdrToText(AsAddress());
}

void TQdfShortReferenceField::SetAsString(const std::string& text) {
  if (NullIfEmpty(text.empty())) return;
  // Takes back what GetAsString gives: the parentheses are optional.
  std::string_view s = text;
  if (s.size() >= 2 && s.front() == '(' && s.back() == ')') s = s.substr(1, s.size() - 2);
  SetAsAddress(TextToAdr(s));
}

void TQdfShortReferenceField::SetData(const uint8_t* data, int length) {
  if (NullIfMissing(data, length)) return;
  if (length < kItemAdrSize) InvalidFieldSize();
  StoreValue(data, kItemAdrSize, false);
}

// ---- reference ----

void TQdfReferenceField::SetPendingEntryHook(TPendingEntryHook hook) {
  g_pending_entry_hook.store(hook, std::memory_order_relaxed);
}

void TQdfReferenceField::SetData(const uint8_t* data, int length) {
  if (NullIfMissing(data, length)) return;
  if (length < kItemAdrSize) InvalidFieldSize();
  uint8_t bytes[kItemAdrSize + 1];
  std::memcpy(bytes, data, kItemAdrSize);
  bytes[kItemAdrSize] = length > kItemAdrSize ? data[kItemAdrSize] : 0;
  StoreValue(bytes, bytes[kItemAdrSize] != 0 ? kItemAdrSize + 1 : kItemAdrSize, false);
}

uint8_t TQdfReferenceField::Flag() {
  int length;
  const uint8_t* data = GetData(&length);
  return data != nullptr && length > kItemAdrSize ? data[kItemAdrSize] : 0;
}

void TQdfReferenceField::StoreAddress(const TItemAdr& adr) {
  uint8_t flag = Flag();
  TPendingEntryHook hook = g_pending_entry_hook.load(std::memory_order_relaxed);
  if (hook != nullptr && Storage() != nullptr && hook(Storage(), adr)) {
    flag = static_cast<uint8_t>(flag | 1);
  } else {
    flag = static_cast<uint8_t>(flag & ~1);
  }
  uint8_t bytes[kItemAdrSize + 1];
  StoreAdr(bytes, adr);
  bytes[kItemAdrSize] = flag;
  StoreValue(bytes, flag != 0 ? kItemAdrSize + 1 : kItemAdrSize, true);
}

}  // namespace qdf
