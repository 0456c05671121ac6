// The field classes: how each type stores its value in a record, its null
// rule, text and variant conversions and index order.
//
//   class                    stored value                        bytes  null
//   TQdfBooleanField         0 or 1 (a 2-byte u16 reads > 0)     1      empty
//   TQdfIntegerField         int32, little-endian                4      empty
//   TQdfFloatField           IEEE double, little-endian          8      empty
//   TQdfDateTimeField        double: days since 1899-12-30,      8      empty
//                            time of day as the fraction
//   TQdfCharField            characters, then one zero byte      len+1  empty text
//   TQdfByteArrayField       raw bytes                           any    empty
//   TQdfObjectIDField        object ID, big-endian               8      empty or 0
//   TQdfShortReferenceField  item address (u32 page, u16 slot)   6      empty
//   TQdfReferenceField       item address, then a flag byte      6 / 7  empty
//                            when the flag is not 0
//   TQdfBlobField            object ID of the blob               8      empty or 0
//
// Typed getters return the type's zero value for null. Every setter raises
// EQdfException "Cannot edit" outside edit mode, stores the value, clears the
// null flag and sets the modified flag; on a conversion error the field keeps
// its previous value.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/ItemAdr.h"
#include "object/PersistentObjectFactory.h"
#include "record/Field.h"

namespace qdf {

class TQdfObjectStore;

class TQdfBooleanField : public TQdfField {
  QDF_CLASS_INFO(TQdfBooleanField)

 public:
  void Construct(TQdfPersistentObject* class_object) override;
  // "True" / "False".
  std::string GetAsString() override;
  // After upper-casing: "TRUE", "1", "YES" set true; "FALSE", "0", "NO" set
  // false; the empty text sets null. Any other text raises EQdfException
  // "Field <name> cannot take '<text>': ...".
  void SetAsString(const std::string& text) override;
  TVariant GetAsVariant() override;
  // Strings as SetAsString, other variants by their boolean value.
  void SetAsVariant(const TVariant& value) override;
  // 1 byte as it is, or 2 bytes (true when the u16 is above 0); any other
  // length raises "Invalid Field Size".
  void SetData(const uint8_t* data, int length) override;
  void Assign(TQdfField& other) override;
  bool HoldsLength(int length) const override { return length == 1 || length == 2; }
  uint16_t TypeCode() const override { return kFieldTypeBoolean; }

  bool AsBoolean();
  void SetAsBoolean(bool value);
};

class TQdfIntegerField : public TQdfField {
  QDF_CLASS_INFO(TQdfIntegerField)

 public:
  const TClassInfo& HeaderClass() const override { return TQHIntegerField::kClassInfo; }
  void Construct(TQdfPersistentObject* class_object) override;
  // Decimal.
  std::string GetAsString() override;
  // Decimal (as StrToInt); raises EConvertError for other text.
  void SetAsString(const std::string& text) override;
  TVariant GetAsVariant() override;
  void SetAsVariant(const TVariant& value) override;
  // 4 bytes; any other length raises "Invalid Field Size".
  void SetData(const uint8_t* data, int length) override;
  TFieldCompare GetCompare() const override { return CompareInteger; }
  TFieldSeparator GetSeparator() const override { return SeparateWhole; }
  // From an integer field, or a float field rounded half to even; otherwise
  // through text.
  void Assign(TQdfField& other) override;
  bool HoldsLength(int length) const override { return length == 4; }
  uint16_t TypeCode() const override { return kFieldTypeInteger; }

  int32_t AsInteger();
  void SetAsInteger(int32_t value);
};

class TQdfFloatField : public TQdfField {
  QDF_CLASS_INFO(TQdfFloatField)

 public:
  const TClassInfo& HeaderClass() const override { return TQHFloatField::kClassInfo; }
  void Construct(TQdfPersistentObject* class_object) override;
  // Shortest round-trip form, C locale.
  std::string GetAsString() override;
  void SetAsString(const std::string& text) override;
  TVariant GetAsVariant() override;
  void SetAsVariant(const TVariant& value) override;
  // 8 bytes; any other length raises "Invalid Field Size".
  void SetData(const uint8_t* data, int length) override;
  TFieldCompare GetCompare() const override { return CompareFloat; }
  TFieldSeparator GetSeparator() const override { return SeparateWhole; }
  // From a float or an integer field; otherwise through text.
  void Assign(TQdfField& other) override;
  bool HoldsLength(int length) const override { return length == 8; }
  uint16_t TypeCode() const override { return kFieldTypeFloat; }

  double AsFloat();
  // Every setter of a float or date-time field ends here: NaN and the
  // infinities raise EQdfException "Field <name> cannot take nan: ...".
  void SetAsFloat(double value);
};

class TQdfDateTimeField : public TQdfFloatField {
  QDF_CLASS_INFO(TQdfDateTimeField)

 public:
  // "yyyy-mm-dd hh:nn:ss", and ".zzz" when there are milliseconds.
  std::string GetAsString() override;
  // "yyyy-mm-dd", "yyyy-mm-dd hh:nn[:ss[.zzz]]" or "hh:nn[:ss[.zzz]]";
  // raises EConvertError for other text.
  void SetAsString(const std::string& text) override;
  TVariant GetAsVariant() override;
  // Strings as SetAsString, other variants by their numeric value.
  void SetAsVariant(const TVariant& value) override;
  uint16_t TypeCode() const override { return kFieldTypeDateTime; }

  double AsDateTime() { return AsFloat(); }
  void SetAsDateTime(double value) { SetAsFloat(value); }
};

class TQdfCharField : public TQdfField {
  QDF_CLASS_INFO(TQdfCharField)

 public:
  const TClassInfo& HeaderClass() const override { return TQHCharField::kClassInfo; }
  std::string GetAsString() override;
  // The text; the empty text sets null. A zero byte ends a stored text, so a
  // text holding one raises EQdfException instead of being cut there.
  void SetAsString(const std::string& text) override;
  TVariant GetAsVariant() override;
  // The text up to its first zero byte, at most `length` bytes of it.
  void SetData(const uint8_t* data, int length) override;
  TFieldCompare GetCompare() const override { return CompareChar; }
  TFieldSeparator GetSeparator() const override { return SeparateChar; }
  uint16_t TypeCode() const override { return kFieldTypeChar; }

  std::string AsString() { return GetAsString(); }

 protected:
  bool ValueIsNull(const uint8_t* data, int length) const override;
};

class TQdfByteArrayField : public TQdfField {
  QDF_CLASS_INFO(TQdfByteArrayField)

 public:
  // The bytes as they are.
  std::string GetAsString() override;
  void SetAsString(const std::string& text) override;

  std::vector<uint8_t> AsBytes();
  // No bytes set null.
  void SetAsBytes(const uint8_t* data, int length);
};

// Object IDs are stored big-endian, so that byte order is ID order. Their
// text and variant forms (and 64-bit key values) read the 8 stored bytes as
// a little-endian signed number, as the engine's 64-bit values travel.
class TQdfObjectIDField : public TQdfField {
  QDF_CLASS_INFO(TQdfObjectIDField)

 public:
  void Construct(TQdfPersistentObject* class_object) override;
  // AsInt64 in decimal.
  std::string GetAsString() override;
  // A decimal 64-bit number; 0 sets null.
  void SetAsString(const std::string& text) override;
  // An Int64 variant of AsInt64.
  TVariant GetAsVariant() override;
  void SetAsVariant(const TVariant& value) override;
  // 8 bytes (any other length raises "Invalid Field Size"); all zero is null.
  void SetData(const uint8_t* data, int length) override;
  void Assign(TQdfField& other) override;
  bool HoldsLength(int length) const override { return length == 8; }
  uint16_t TypeCode() const override { return kFieldTypeObjectID; }

  // The stored bytes (all zero for null).
  TObjectID AsID();
  // An ID of 0 sets null.
  void SetAsID(const TObjectID& id);
  // The stored bytes read little-endian (see above).
  int64_t AsInt64();
  void SetAsInt64(int64_t value);

 protected:
  bool ValueIsNull(const uint8_t* data, int length) const override;
};

class TQdfShortReferenceField : public TQdfField {
  QDF_CLASS_INFO(TQdfShortReferenceField)

 public:
  void Construct(TQdfPersistentObject* class_object) override;
  // "(" page ":" slot ")".
  std::string GetAsString() override;
  // "page:slot" in decimal, with or without the parentheses GetAsString
  // adds; raises EConvertError for other text.
  void SetAsString(const std::string& text) override;
  // Takes the first 6 bytes; fewer raise "Invalid Field Size".
  void SetData(const uint8_t* data, int length) override;
  TFieldSeparator GetSeparator() const override { return SeparateWhole; }
  bool HoldsLength(int length) const override { return length >= kItemAdrSize; }
  void SetValueSize() override { SetFixedSize(kItemAdrSize); }

  // The null address for null.
  TItemAdr AsAddress();
  void SetAsAddress(const TItemAdr& adr);

 protected:
  // Stores the address (edit mode checked by the caller).
  virtual void StoreAddress(const TItemAdr& adr);
};

// A reference with a flag byte after the address. Bit 0 of the flag says
// that the referenced record had a pending server update entry (an insert)
// when the field was set. The flag byte is stored only when it is not 0.
class TQdfReferenceField : public TQdfShortReferenceField {
  QDF_CLASS_INFO(TQdfReferenceField)

 public:
  // Asks the storage whether the record at `record` has a pending server
  // update entry of kind 1 or 2, and turns kind 1 into kind 2. The storage
  // module installs it; without one there is never a pending entry.
  using TPendingEntryHook = bool (*)(TQdfObjectStore* storage, const TItemAdr& record);
  static void SetPendingEntryHook(TPendingEntryHook hook);

  // 6 bytes, flag 0; or 7 bytes, the last is the flag. Fewer than 6 raise
  // "Invalid Field Size".
  void SetData(const uint8_t* data, int length) override;
  TFieldCompare GetCompare() const override { return CompareReference; }
  uint16_t TypeCode() const override { return kFieldTypeReference; }
  void SetValueSize() override { SetFixedSize(kItemAdrSize + 1); }

  // The flag byte of the current value (0 for null).
  uint8_t Flag();

 protected:
  void StoreAddress(const TItemAdr& adr) override;
};

}  // namespace qdf
