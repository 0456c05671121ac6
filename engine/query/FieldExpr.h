// Expression nodes that read record fields: the field node, field
// comparisons, LIKE on fields with its rewrite, and the field's text.
//
// A field node stands for a field of the current record of a cursor; nodes
// over it read the field's stored bytes at every evaluation. Field
// comparisons read those bytes directly and allocate nothing per record.
// Their relations agree with the key order of indexes (KeyCompare.h), so that
// an index range and a full scan accept the same records:
//   integer   signed 32-bit;  a null field fails every comparison
//   float     numeric, unordered values equal;  null fails
//   object ID signed 64-bit of the field's 64-bit form;  null fails
//   char      byte-wise unsigned;  a null field reads as the empty text
//   other     through variants (TfComp), with the null rules given there.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "script/Node.h"
#include "script/NodesLogic.h"
#include "script/ScriptTypes.h"

namespace qdf {

class TQdfField;

// Type codes of the query language (same space as the script type codes).
inline constexpr TScriptType kTypeItemClass = 12;     // an item class node
inline constexpr TScriptType kTypeItemProvider = 13;  // the record cursor of a class
inline constexpr TScriptType kTypeObjectID = 14;      // a 64-bit object ID
inline constexpr TScriptType kTypeAnyField = 64;      // a field of whatever type
// A field whose type is known only when the expression runs (64 + UNKNOWN).
inline constexpr TScriptType kTypeUnknownField = kTypeAnyField + kTypeUnknown;

// A field of the current record. Bound to a field at creation it is constant
// (its value tag is 7, an object) but never foldable, since what it reads
// changes with the record. Subclasses find their field when evaluated and are
// not bound.
class TndField : public TvNode {
  QDF_NODE_CLASS(TndField)
 public:
  TndField();
  // A bound node on `field` (which must outlive the node).
  explicit TndField(TQdfField* field);

  // The field read now (nullptr: none, which reads as null).
  TQdfField* Field() const { return field_; }
  // True for a node bound to its field once and for all.
  bool IsBound() const { return bound_; }

  void Evaluate() override {}
  // A new bound node on the same field; null for an unbound node.
  std::unique_ptr<TvNode> ConstCopy() const override;
  // True when the field's cursor walks `item_list`; else the operands decide.
  bool RefersTo(const void* item_list) const override;
  // The field's GetAsVariant; null without a field.
  void GetVariant(TVariant& out) const override;

 protected:
  TQdfField* field_ = nullptr;
  bool bound_ = false;
};

// The null field: a field bound to no cursor, always null. One shared node
// lives as long as the process.
class TndNullField : public TndField {
  QDF_NODE_CLASS(TndNullField)
 public:
  TndNullField();
};
// The shared null field node and its field.
TndNullField& NullFieldNode();
TQdfField* NullField();

// A field compared with a value: operands (field node, value node) and a mask
// (bit 0 the result when the field is less than the value, bit 1 when equal,
// bit 2 when greater). This class compares through variants:
//   field not null: a null value gives true exactly for mask 4 ("<>" null),
//     else the variants are compared and the mask decides;
//   field null: a null value gives true exactly for mask 2 ("=" null); a
//     string value counts the null field as the empty text below every
//     non-empty one; any other value gives false.
class TfComp : public TvBool {
  QDF_NODE_CLASS(TfComp)
 public:
  bool SetMask(uint8_t mask) override {
    mask_ = mask & 7;
    return true;
  }
  uint8_t Mask() const { return mask_; }
  TndField* FieldNode() const { return static_cast<TndField*>(args_[0].get()); }
  TvNode* ValueNode() const { return args_[1].get(); }
  // Replaces the field operand by a bound node on `field` (index filters bind
  // comparisons to key fields).
  void RebindField(TQdfField* field);
  void Evaluate() override;

 protected:
  bool Result(int relation) const {
    return (mask_ & (relation < 0 ? kMaskLT : relation == 0 ? kMaskEQ : kMaskGT)) != 0;
  }
  uint8_t mask_ = 0;
};

// Integer field against an integer value.
class TifComp : public TfComp {
  QDF_NODE_CLASS(TifComp)
 public:
  void Evaluate() override;
};

// Char field against a string value.
class TsfComp : public TfComp {
  QDF_NODE_CLASS(TsfComp)
 public:
  void Evaluate() override;
};

// Float (or date-time) field against a double value.
class TdfComp : public TfComp {
  QDF_NODE_CLASS(TdfComp)
 public:
  void Evaluate() override;
};

// Object-ID field against a 64-bit value.
class ToidfComp : public TfComp {
  QDF_NODE_CLASS(ToidfComp)
 public:
  void Evaluate() override;
};

// The text of the char field of its field operand (empty for null).
class TsField : public TvString {
  QDF_NODE_CLASS(TsField)
 public:
  void Evaluate() override;
  std::unique_ptr<TvNode> Optimize() override;
};

// The field operand's GetAsString.
class TsFieldAsString : public TvString {
  QDF_NODE_CLASS(TsFieldAsString)
 public:
  void Evaluate() override;
  std::unique_ptr<TvNode> Optimize() override;
};

// LIKE of a char field's text against a pattern. A constant pattern is
// rewritten when built: without wildcards into field equality; with a
// literal prefix P into (field >= P and field < PrefixUpperBound(P) and the
// LIKE without rewrite), which gives the index choice both ends of a range.
// The upper bound is left out when P has none (only 0xFF bytes).
class TsfLike : public TvBool {
  QDF_NODE_CLASS(TsfLike)
 public:
  void Evaluate() override;
  std::unique_ptr<TvNode> Optimize() override;
};

// The same LIKE, never rewritten.
class TsfLikeNoOpt : public TsfLike {
  QDF_NODE_CLASS(TsfLikeNoOpt)
 public:
  std::unique_ptr<TvNode> Optimize() override { return nullptr; }
};

// The smallest text above every text that begins with `prefix` (byte-wise
// unsigned order): the prefix without its trailing 0xFF bytes and the last
// remaining byte raised by one. Empty when there is no such text (an empty
// prefix, or one of 0xFF bytes only): the range is then open above.
std::string PrefixUpperBound(std::string_view prefix);

// Builds the comparison of field node `field` with `value` under `mask`: a
// bound integer, char, float or object-ID field with a value that is not the
// null literal gives the typed comparison (the value cast to the field's
// type when it is not of it already); anything else a plain TfComp. Raises
// Exception when `field` is not a field node.
std::unique_ptr<TvNode> NewFieldComparison(std::unique_ptr<TvNode> field,
                                           std::unique_ptr<TvNode> value, uint8_t mask);

// Orders two non-null variants: numbers (booleans as 0 and 1) numerically,
// strings byte-wise unsigned, a string against a number by the string's
// numeric value (EConvertError when it has none). Negative, 0 or positive.
int CompareVariants(const TVariant& a, const TVariant& b);

// The text a char field value stands for: its bytes up to the first zero
// byte; empty for null.
std::string_view CharFieldText(TQdfField* field);

}  // namespace qdf
