// TQdfField: one column of a record class, and typed access to that column's
// value in the current record of a cursor.
//
// A field is a schema object (a child of its item class) with a TQHField
// header: FieldIndex (its packed field in the record body), ixAscending (its
// direction in index keys), DefSize and UserInfo. Working instances are made
// per cursor.
//
// Modes follow the cursor (TQdfItemProvider::mode):
//   browse (1)  every read takes the value from the current record: packed
//               field FieldIndex of the body, nothing when the record's class
//               is not the field's item class or derived from it;
//   edit (2+)   the value lives in the field object (its value buffer and
//               null flag); only then are setters allowed.
// A field without a cursor reads as null and cannot be edited.
//
// The value buffer holds the value exactly as it is stored in a record:
// fixed-size types keep it inline, variable-size types in a byte vector.
// Values read from a record are bounded by the record's length word.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/QdfException.h"
#include "base/Variant.h"
#include "list/ItemList.h"
#include "list/KeyCompare.h"
#include "object/PersistentObject.h"
#include "object/QHField.h"

namespace qdf {

// Type codes (TypeCode) of the field classes.
inline constexpr uint16_t kFieldTypeBase = 64;
inline constexpr uint16_t kFieldTypeInteger = 66;
inline constexpr uint16_t kFieldTypeFloat = 67;
inline constexpr uint16_t kFieldTypeBoolean = 68;
inline constexpr uint16_t kFieldTypeChar = 70;
inline constexpr uint16_t kFieldTypeDateTime = 71;
inline constexpr uint16_t kFieldTypeObjectID = 78;
inline constexpr uint16_t kFieldTypeReference = 79;

// Decides whether `record` (an item of the cursor's list, prefix included;
// bytes 3-8 of a record name the header address of its item class) belongs to
// `item_class` or a class derived from it. Supplied by the item class; it
// should be cheap, it runs on every browse-mode read.
using TRecordClassFilter = bool (*)(const TQdfPersistentObject* item_class, const uint8_t* record);

class TQdfField : public TQdfSchemaObject {
  QDF_CLASS_INFO(TQdfField)

 public:
  const TClassInfo& HeaderClass() const override { return TQHField::kClassInfo; }
  // Header, comparison routine, empty value buffer, null.
  void Construct(TQdfPersistentObject* class_object) override;

  TQHField* FieldHeader() const { return static_cast<TQHField*>(Header()); }
  int32_t FieldIndex() const { return FieldHeader()->FieldIndex(); }
  bool Ascending() const { return FieldHeader()->IxAscending(); }

  // ---- typed operations, per class ----

  // Text of the value; empty for null.
  virtual std::string GetAsString();
  // Sets the value from text; the empty text sets null. Raises "Cannot edit"
  // outside edit mode and EConvertError for text the type cannot take.
  virtual void SetAsString(const std::string& text);
  // The value as a variant; a null variant for null.
  virtual TVariant GetAsVariant();
  // A null variant or an empty string sets null; otherwise the type takes
  // the variant's value (converted as the variant converts).
  virtual void SetAsVariant(const TVariant& value);
  // Keeps the cursor the field reads from (nullptr: none).
  virtual void SetProvider(TQdfItemProvider* provider);
  // Loads a stored value (as a record holds it) into the value buffer; null
  // for nullptr or length 0. Does not touch the modified flag. Raises for a
  // length the type cannot store, keeping the previous value.
  virtual void SetData(const uint8_t* data, int length);
  // The value as stored: in browse mode the record's packed field, in edit
  // mode the value buffer. nullptr (length 0) when null. The pointer is valid
  // until the record or the value changes.
  virtual const uint8_t* GetData(int* length);
  // The type's comparison routine (see KeyCompare.h).
  virtual TFieldCompare GetCompare() const;
  // The type's separator routine for B-tree pages (see KeyCompare.h).
  virtual TFieldSeparator GetSeparator() const;
  // Takes the value of `other` (through text unless the types match).
  virtual void Assign(TQdfField& other);
  virtual uint16_t TypeCode() const { return kFieldTypeBase; }
  // Sizes the value buffer of reference fields; nothing for other types.
  virtual void SetValueSize() {}
  // Whether a stored value of `length` bytes (above 0) is one this type
  // writes; a record holding another length is damaged.
  virtual bool HoldsLength(int /*length*/) const { return true; }

  // ---- state ----

  // Browse mode: the record has no value for the field; edit mode: the null
  // flag.
  bool IsNull();
  // Sets null. Raises "Dataset not in Edit Mode" outside edit mode.
  void Clear();
  bool InEditMode() const { return provider_ != nullptr && provider_->mode >= kModeEdit; }
  // Set by every setter; the table clears it when it writes the record.
  bool Modified() const { return modified_; }
  void SetModified(bool value) { modified_ = value; }

  TQdfItemProvider* Provider() const { return provider_; }
  // The item class the field belongs to, used as the record class filter
  // (with no class or no filter every record passes).
  void SetItemClass(TQdfPersistentObject* item_class, TRecordClassFilter filter) {
    item_class_ = item_class;
    class_filter_ = filter;
  }
  TQdfPersistentObject* ItemClass() const { return item_class_; }

  // The comparison routine taken at construction.
  TFieldCompare Compare() const { return compare_; }
  // This field as a key field (routine, FieldIndex, direction).
  TKeyField KeyField() const { return TKeyField{compare_, FieldIndex(), Ascending()}; }

 protected:
  // Raises "Cannot edit" outside edit mode.
  void CheckEdit() const;
  // A stored value that is present but still means null (object ID 0, the
  // empty text).
  virtual bool ValueIsNull(const uint8_t* /*data*/, int /*length*/) const { return false; }
  // Packed field FieldIndex of the cursor's record, bounded by the record;
  // nullptr when there is none or the record's class does not pass.
  const uint8_t* RecordField(int* length);

  // Value buffer. Fixed-size types: `fixed_size` bytes inline (at most 8).
  void SetFixedSize(int fixed_size) { fixed_size_ = fixed_size; }
  int FixedSize() const { return fixed_size_; }
  uint8_t* FixedValue() { return fixed_; }
  // Stores a value (clears the null flag); `touch` sets the modified flag.
  void StoreValue(const uint8_t* data, int length, bool touch);
  // Sets null; `touch` sets the modified flag.
  void StoreNull(bool touch);
  // For setters: checks the edit mode; when `empty` the field becomes null and
  // the result is true (the setter stops there).
  bool NullIfEmpty(bool empty) {
    CheckEdit();
    if (empty) StoreNull(true);
    return empty;
  }
  // For SetData: no stored value makes the field null; the result is true then.
  bool NullIfMissing(const uint8_t* data, int length) {
    const bool missing = data == nullptr || length <= 0;
    if (missing) StoreNull(false);
    return missing;
  }
  // Edit-mode value (nullptr when null).
  const uint8_t* BufferData(int* length) const;

 private:
  TQdfItemProvider* provider_ = nullptr;
  TQdfPersistentObject* item_class_ = nullptr;
  TRecordClassFilter class_filter_ = nullptr;
  TFieldCompare compare_ = CompareBytes;
  bool null_ = true;
  bool modified_ = false;
  int fixed_size_ = 0;  // 0: variable size (var_)
  int length_ = 0;      // stored length of the value; 0 when null
  uint8_t fixed_[8] = {};
  std::vector<uint8_t> var_;
};

}  // namespace qdf
