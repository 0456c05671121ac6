#include "record/Field.h"

#include <cstring>

#include "base/Bytes.h"

namespace qdf {

QDF_DEFINE_PERSISTENT_CLASS(TQdfField, TQdfSchemaObject);

void TQdfField::Construct(TQdfPersistentObject* class_object) {
  TQdfSchemaObject::Construct(class_object);
  compare_ = GetCompare();
  var_.clear();
  length_ = 0;
  null_ = true;
}

// ---- value buffer ----

void TQdfField::StoreValue(const uint8_t* data, int length, bool touch) {
  if (fixed_size_ > 0) {
    QDF_ASSERT(length >= 0 && length <= fixed_size_, "QdfList");
    std::memcpy(fixed_, data, static_cast<size_t>(length));
  } else {
    var_.assign(data, data + length);
  }
  length_ = length;
  null_ = false;
  if (touch) modified_ = true;
}

void TQdfField::StoreNull(bool touch) {
  var_.clear();
  length_ = 0;
  null_ = true;
  if (touch) modified_ = true;
}

const uint8_t* TQdfField::BufferData(int* length) const {
  if (null_ || length_ == 0) {
    *length = 0;
    return nullptr;
  }
  *length = length_;
  return fixed_size_ > 0 ? fixed_ : var_.data();
}

void TQdfField::CheckEdit() const {
  if (!InEditMode()) throw EQdfException("Cannot edit");
}

const uint8_t* TQdfField::RecordField(int* length) {
  *length = 0;
  if (provider_ == nullptr) return nullptr;
  const int index = FieldIndex();
  if (index < 0) return nullptr;
  const uint8_t* item = provider_->Item();
  if (item == nullptr) return nullptr;
  if (item_class_ != nullptr && class_filter_ != nullptr && !class_filter_(item_class_, item)) {
    return nullptr;
  }
  // The length word bounds everything read from the record.
  const int body_size = LoadU16(item) - provider_->BodyOffset();
  if (body_size < 2) return nullptr;
  return BoundedField(item + provider_->BodyOffset(), body_size, index, length);
}

// ---- state ----

bool TQdfField::IsNull() {
  if (InEditMode()) return null_;
  int length;
  const uint8_t* data = RecordField(&length);
  return data == nullptr || ValueIsNull(data, length);
}

void TQdfField::Clear() {
  if (!InEditMode()) throw EQdfException("Dataset not in Edit Mode");
  StoreNull(true);
}

// ---- base behaviour: raw bytes ----

std::string TQdfField::GetAsString() { return IsNull() ? std::string() : std::string("abstract"); }

void TQdfField::SetAsString(const std::string&) {}

TVariant TQdfField::GetAsVariant() {
  if (IsNull()) return TVariant();
  return TVariant(GetAsString());
}

void TQdfField::SetAsVariant(const TVariant& value) {
  if (value.IsNull() || (value.IsString() && value.RawString().empty())) {
    CheckEdit();
    StoreNull(true);
    return;
  }
  SetAsString(value.AsString());
}

void TQdfField::SetProvider(TQdfItemProvider* provider) { provider_ = provider; }

void TQdfField::SetData(const uint8_t* data, int length) {
  if (data == nullptr || length <= 0) {
    StoreNull(false);
    return;
  }
  StoreValue(data, length, false);
}

const uint8_t* TQdfField::GetData(int* length) {
  if (InEditMode()) return BufferData(length);
  return RecordField(length);
}

TFieldCompare TQdfField::GetCompare() const { return CompareBytes; }

TFieldSeparator TQdfField::GetSeparator() const { return SeparateBytes; }

void TQdfField::Assign(TQdfField& other) { SetAsString(other.GetAsString()); }

}  // namespace qdf
