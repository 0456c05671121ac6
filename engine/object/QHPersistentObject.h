// TQHPersistentObject: the header of a persistent object, the in-memory form
// of its stored properties.
//
// Header classes mirror the persistent classes level by level. Each level
// reads and writes its own section of the object's header item: the item is a
// 13-byte record prefix followed by a packed item whose field k is the section
// of the header class at depth k below TQHPersistentObject; each section is a
// packed item of that level's properties. A missing or empty section (or one
// with too few fields) reads as the level's defaults.
//
// Section 0 (this class): ParentAddress (6 bytes), ParentIndex (4),
// ObjectName, ObjectClassName, ObjectModulName (text + zero byte; nothing for
// the empty text).
#pragma once

#include <climits>
#include <cstdint>
#include <memory>
#include <string>

#include "base/ItemAdr.h"
#include "base/PackedItem.h"
#include "object/ClassInfo.h"

namespace qdf {

class TQdfPersistentObject;

inline constexpr int kRecordPrefixSize = 13;

class TQHPersistentObject : public TObject {
  QDF_ROOT_CLASS_INFO(TQHPersistentObject)

 public:
  // Call Init() (or use NewHeader) once the object is complete: it sets the
  // defaults by reading from no item.
  explicit TQHPersistentObject(TQdfPersistentObject* owner) : owner_(owner) {}

  // Reads every level from the header item (prefix included), or sets the
  // defaults when `item` is nullptr. REQUIRES: a present item's packed body
  // was checked (ValidPackedItem) by the caller.
  virtual void ReadHeader(const uint8_t* item);
  // Writes every level's section into the body cursor, which was opened for
  // Depth() + 1 fields.
  virtual void WriteHeader(TFieldCursor& body);

  // Section number of the header's class.
  int Depth() const { return ClassInfo()->Depth(); }

  TQdfPersistentObject* Owner() const { return owner_; }
  // The owning template is going away while instances still share this header.
  void ClearOwner() { owner_ = nullptr; }
  bool Modified() const { return modified_; }
  void SetModified(bool value) { modified_ = value; }
  // Address of the header item: not stored in the item, it is where the item is.
  const TItemAdr& Address() const { return address_; }
  void SetAddress(const TItemAdr& adr) { address_ = adr; }

  const TItemAdr& ParentAddress() const { return parent_address_; }
  void SetParentAddress(const TItemAdr& adr);
  int32_t ParentIndex() const { return parent_index_; }
  void SetParentIndex(int32_t v);
  const std::string& ObjectName() const { return object_name_; }
  // Also renames the entry in the parent's child index.
  void SetObjectName(const std::string& v);
  const std::string& ObjectClassName() const { return object_class_name_; }
  void SetObjectClassName(const std::string& v);
  const std::string& ObjectModulName() const { return object_modul_name_; }
  void SetObjectModulName(const std::string& v);

  // Sets a published property by name from text; false for an unknown or
  // read-only property (nothing happens). Raises EConvertError for a value
  // that does not fit the property's kind.
  bool SetPropertyText(const std::string& name, const std::string& value);

 protected:
  // Records a schema change in the owner's storage (its SchemaTAN becomes the
  // current transaction number).
  void RecordSchemaChange();
  // Marks the header modified.
  void Touch() { modified_ = true; }

  // Opens the cursor on `section` of the item when it is there with at least
  // `fields` fields; false means: take the defaults.
  static bool OpenSection(const uint8_t* item, int section, int fields, TFieldCursor& cur);
  // Starts writing `section` with `fields` fields / completes it.
  static void BeginSection(TFieldCursor& body, int section, int fields, TFieldCursor& sec);
  static void EndSection(TFieldCursor& body, const TFieldCursor& sec);

 private:
  TQdfPersistentObject* owner_;
  bool modified_ = false;
  TItemAdr address_ = kNullAdr;
  TItemAdr parent_address_ = kNullAdr;
  int32_t parent_index_ = 0;
  std::string object_name_;
  std::string object_class_name_;
  std::string object_modul_name_;
};

// Creates a header of class `info` for `owner` with its defaults set.
std::unique_ptr<TQHPersistentObject> NewHeader(const TClassInfo& info, TQdfPersistentObject* owner);

// Helpers for property tables: conversions between values and text.
std::string IntToText(int64_t v);
std::string BoolToText(bool v);
bool TextToBool(const std::string& v);  // "True"/"False" (any case), else EConvertError
int64_t TextToInt(const std::string& v, int64_t lo, int64_t hi);  // range-checked

// The header behind a property table's TObject reference.
template <typename H>
H& HeaderAs(TObject& o) {
  return static_cast<H&>(o);
}
template <typename H>
const H& HeaderAs(const TObject& o) {
  return static_cast<const H&>(o);
}
// Creator of a header class for its TClassInfo.
template <typename H>
TObject* CreateHeaderObject(TQdfPersistentObject* owner) {
  return new H(owner);
}

}  // namespace qdf

// Property table entries of header classes: name, getter and setter of the
// header class H, converted from and to text by kind.
#define QDF_PROP_INT32(H, NAME, GET, SET)                                                      \
  {                                                                                            \
    NAME, ::qdf::TPropKind::kInteger, false,                                                   \
        [](const ::qdf::TObject& o) { return ::qdf::IntToText(::qdf::HeaderAs<H>(o).GET()); }, \
        [](::qdf::TObject& o, const std::string& v) {                                          \
          ::qdf::HeaderAs<H>(o).SET(                                                           \
              static_cast<int32_t>(::qdf::TextToInt(v, INT32_MIN, INT32_MAX)));                \
        }                                                                                      \
  }
#define QDF_PROP_UINT32(H, NAME, GET, SET)                                                      \
  {                                                                                             \
    NAME, ::qdf::TPropKind::kCardinal, false,                                                   \
        [](const ::qdf::TObject& o) { return ::qdf::IntToText(::qdf::HeaderAs<H>(o).GET()); },  \
        [](::qdf::TObject& o, const std::string& v) {                                           \
          ::qdf::HeaderAs<H>(o).SET(static_cast<uint32_t>(::qdf::TextToInt(v, 0, UINT32_MAX))); \
        }                                                                                       \
  }
#define QDF_PROP_INT64(H, NAME, GET, SET)                                                      \
  {                                                                                            \
    NAME, ::qdf::TPropKind::kInt64, false,                                                     \
        [](const ::qdf::TObject& o) { return ::qdf::IntToText(::qdf::HeaderAs<H>(o).GET()); }, \
        [](::qdf::TObject& o, const std::string& v) {                                          \
          ::qdf::HeaderAs<H>(o).SET(::qdf::TextToInt(v, INT64_MIN, INT64_MAX));                \
        }                                                                                      \
  }
#define QDF_PROP_BOOL(H, NAME, GET, SET)                                                        \
  {                                                                                             \
    NAME, ::qdf::TPropKind::kBoolean, false,                                                    \
        [](const ::qdf::TObject& o) { return ::qdf::BoolToText(::qdf::HeaderAs<H>(o).GET()); }, \
        [](::qdf::TObject& o, const std::string& v) {                                           \
          ::qdf::HeaderAs<H>(o).SET(::qdf::TextToBool(v));                                      \
        }                                                                                       \
  }
#define QDF_PROP_STRING(H, NAME, GET, SET)                                                \
  {                                                                                       \
    NAME, ::qdf::TPropKind::kString, false,                                               \
        [](const ::qdf::TObject& o) { return std::string(::qdf::HeaderAs<H>(o).GET()); }, \
        [](::qdf::TObject& o, const std::string& v) { ::qdf::HeaderAs<H>(o).SET(v); }     \
  }
