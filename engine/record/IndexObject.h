// TQdfIndexObject: the key structure of an index. Its own fields are the key
// fields (in FieldIndex order, each with its direction); its descendant
// "IDX$Structure" adds the reference to the indexed record. Keys are B-tree
// items: a 6-byte prefix (length, link) and a packed body whose fields are
// the key fields, then the record address.
#pragma once

#include <cstdint>
#include <vector>

#include "list/KeyCompare.h"
#include "object/QHItemClass.h"
#include "record/ItemClass.h"

namespace qdf {

inline constexpr int kKeyItemPrefix = 6;

class TQdfIndexObject : public TQdfItemClass {
  QDF_CLASS_INFO(TQdfIndexObject)

 public:
  const TClassInfo& HeaderClass() const override { return TQHIndexObject::kClassInfo; }
  TQHIndexObject* IndexObjectHeader() const { return static_cast<TQHIndexObject*>(Header()); }

  // Builds the structure, then takes the key fields and the key structure.
  void Loaded() override;

  // Compares two key bodies (packed items): 0, or +-k with k the 1-based key
  // field that decided; a key with fewer fields sorts first.
  int CompareKeys(const uint8_t* a, int size_a, const uint8_t* b, int size_b) const {
    return qdf::CompareKeys(a, size_a, b, size_b, key_specs_.data(),
                            static_cast<int>(key_specs_.size()), true);
  }

  // Writes into `out` a key that sorts above `left` and not above `right`
  // (both key items), shortened where the deciding field allows; returns its
  // length, or 0 when the right key itself should be used. Raises "Index out
  // of order" when left sorts above right.
  int MakeSeparator(const uint8_t* left, const uint8_t* right, uint8_t* out, int capacity) const;

  const std::vector<TQdfField*>& KeyFields() const { return key_fields_; }
  const std::vector<TKeyField>& KeySpecs() const { return key_specs_; }
  // "IDX$Structure" when present, else this class.
  TQdfItemClass* KeyStructure() const { return structure_; }

 private:
  std::vector<TQdfField*> key_fields_;
  std::vector<TKeyField> key_specs_;
  TQdfItemClass* structure_ = nullptr;
};

}  // namespace qdf
