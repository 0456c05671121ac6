#include "record/IndexObject.h"

#include <algorithm>
#include <cstring>

#include "base/PackedItem.h"
#include "base/QdfException.h"
#include "record/DynamicKeyBuffer.h"
#include "record/Field.h"

namespace qdf {

QDF_DEFINE_PERSISTENT_CLASS(TQdfIndexObject, TQdfItemClass);

void TQdfIndexObject::Loaded() {
  TQdfItemClass::Loaded();
  key_fields_.clear();
  for (int i = 0; i < ObjectsCount(); ++i) {
    if (ChildAt(i)->IsKindOf(TQdfField::kClassInfo)) {
      key_fields_.push_back(static_cast<TQdfField*>(ChildAt(i)));
    }
  }
  std::sort(key_fields_.begin(), key_fields_.end(), [](const TQdfField* a, const TQdfField* b) {
    return a->FieldIndex() < b->FieldIndex();
  });
  key_specs_.clear();
  for (const TQdfField* f : key_fields_) key_specs_.push_back(f->KeyField());
  structure_ = ClassByName("IDX$Structure");
  if (structure_ == nullptr) structure_ = this;
}

int TQdfIndexObject::MakeSeparator(const uint8_t* left, const uint8_t* right, uint8_t* out,
                                   int capacity) const {
  const int left_size = LoadU16(left) - kKeyItemPrefix;
  const int right_size = LoadU16(right) - kKeyItemPrefix;
  const uint8_t* lbody = left + kKeyItemPrefix;
  const uint8_t* rbody = right + kKeyItemPrefix;
  const int r = CompareKeys(lbody, left_size, rbody, right_size);
  if (r > 0) throw EQdfException("Index out of order");
  if (r == 0) return 0;
  const int k = -r - 1;  // the deciding key field, 0-based
  if (k >= static_cast<int>(key_fields_.size())) return 0;
  const TQdfField* field = key_fields_[static_cast<size_t>(k)];
  int rlen = 0, llen = 0;
  const uint8_t* rvalue = BoundedField(rbody, right_size, key_specs_[k].field_index, &rlen);
  if (rvalue == nullptr) return 0;
  const uint8_t* lvalue = BoundedField(lbody, left_size, key_specs_[k].field_index, &llen);
  uint8_t shortened[TDynamicKeyBuffer::kMaxKeySize];
  int slen = rlen;
  if (field->Ascending() && rlen <= static_cast<int>(sizeof shortened)) {
    slen = field->GetSeparator()(lvalue, llen, rvalue, rlen, rlen, shortened);
  }
  const bool last = k + 1 == static_cast<int>(key_fields_.size());
  if (slen >= rlen && last) return 0;
  const uint8_t* value = slen < rlen ? shortened : rvalue;
  const int vlen = std::min(slen, rlen);
  // The right key's prefix and fields before k, then the (shortened) field k.
  const int fields = key_specs_[k].field_index + 1;
  if (capacity < kKeyItemPrefix + PackedSize(fields) + right_size) return 0;
  std::memcpy(out, right, kKeyItemPrefix);
  TFieldCursor cur;
  cur.OpenWrite(out + kKeyItemPrefix, fields, static_cast<size_t>(capacity - kKeyItemPrefix));
  for (int i = 0; i + 1 < fields; ++i) {
    int len = 0;
    static const uint8_t kNothing = 0;
    const uint8_t* v = BoundedField(rbody, right_size, i, &len);
    cur.WriteBytes(len, v != nullptr ? v : &kNothing);
  }
  cur.WriteBytes(vlen, value);
  const int size = kKeyItemPrefix + PackedLength(out + kKeyItemPrefix);
  StoreU16(out, static_cast<uint16_t>(size));
  return size;
}

}  // namespace qdf
