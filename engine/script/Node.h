// TvNode: the evaluable form of an expression, and its base-type classes.
//
// A compiled expression is a tree of typed nodes. Every node computes one
// value of a fixed base type (integer, boolean, string, double, variant,
// 64-bit integer, object). Nodes are built bottom-up by CreateNode, which
// folds constant subtrees at once and lets the class replace the node
// (Optimize). Evaluation allocates nothing except for string and variant
// results: operands are evaluated in place, constants are never re-evaluated.
//
// Hot-path invariant: a parent reads an operand's value through the operand's
// typed accessor (Int(), Bool(), Str(), Dbl(), ...) after calling
// EvaluateIfNeeded(operand). Variable nodes read their host variable through
// a pointer, so they need no evaluation at all.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/Object.h"
#include "base/Variant.h"

namespace qdf {

class TvNode;
using TvNodeArray = std::vector<std::unique_ptr<TvNode>>;

// Operand kinds of a node class, one character per operand in a node-class
// record: 'i' integer, 'b' boolean, 's' string, 'd' double, 'v' variant,
// 'l' 64-bit integer (TvInt64 and TvObjectID), 'o' object, '?' any node.
// A signature that starts with '*' takes any number of operands of the kind
// that follows (missing operands allowed), e.g. "*b" for a conjunction.
enum TNodeKind : char {
  kKindNone = 'n',
  kKindInt = 'i',
  kKindBool = 'b',
  kKindString = 's',
  kKindDouble = 'd',
  kKindVariant = 'v',
  kKindInt64 = 'l',
  kKindObject = 'o',
};

// Class record of a node class: what a word names as the class to
// instantiate. `create` is null for abstract classes; `operands` is the
// operand signature checked by CreateNode (null: not created with operands).
struct TNodeClass {
  const char* name;
  const TNodeClass* parent;
  TvNode* (*create)();
  const char* operands;

  // True when this class is `other` or derives from it.
  bool InheritsFrom(const TNodeClass& other) const {
    for (const TNodeClass* c = this; c != nullptr; c = c->parent)
      if (c == &other) return true;
    return false;
  }
};

// Declares the class record and its accessor inside a node class.
#define QDF_NODE_CLASS(T)                                         \
 public:                                                          \
  static const TNodeClass kClass;                                 \
  const TNodeClass& ClassInfo() const override { return kClass; } \
                                                                  \
 private:

// Defines the record of a concrete node class in a .cpp file.
#define QDF_DEFINE_NODE_CLASS(T, Parent, Operands)                   \
  const TNodeClass T::kClass {                                       \
#T, &Parent::kClass, []() -> TvNode* { return new T; }, Operands \
  }
// Defines the record of an abstract node class.
#define QDF_DEFINE_ABSTRACT_NODE_CLASS(T, Parent) \
  const TNodeClass T::kClass { #T, &Parent::kClass, nullptr, nullptr }

// The root of every node. Value tags (ValueTag) tell GetVariant's consumers
// which value form a node holds: 0 integer, 1 boolean, 7 object, 11 string,
// 13 variant, 16 64-bit integer, 50 double, 51 object ID, -1 none.
class TvNode : public TObject {
 public:
  static const TNodeClass kClass;
  virtual const TNodeClass& ClassInfo() const { return kClass; }

  TvNode() = default;
  TvNode(const TvNode&) = delete;
  TvNode& operator=(const TvNode&) = delete;
  ~TvNode() override = default;

  // Given this node just built with its operands, returns the node to use
  // instead, or null to keep this one. Base: keep.
  virtual std::unique_ptr<TvNode> Optimize() { return nullptr; }
  // Computes the value. Base: evaluates every operand that needs it.
  virtual void Evaluate();
  // A new constant node holding the same value when the value is known,
  // else null. Base: null.
  virtual std::unique_ptr<TvNode> ConstCopy() const { return nullptr; }
  // True when this node or an operand refers to the given item list (field
  // nodes of the query language). Base: asks the operands.
  virtual bool RefersTo(const void* item_list) const;
  // The value as a variant. REQUIRES: the node is constant or evaluated.
  virtual void GetVariant(TVariant& out) const { out.Clear(); }
  // Comparison classes accept a mask (bit 0 less, bit 1 equal, bit 2
  // greater); others return false.
  virtual bool SetMask(uint8_t /*mask*/) { return false; }

  int32_t ValueTag() const { return value_tag_; }
  char Kind() const { return kind_; }
  bool IsConstant() const { return is_constant_; }
  bool Foldable() const { return foldable_; }
  // Constant for folding: the value is known and does not depend on a record.
  bool FoldsAsConstant() const { return is_constant_ && foldable_; }
  bool NeedsEvaluation() const { return needs_eval_; }
  // The value cannot change while records are walked: the node is constant,
  // reads a host variable (a parameter of the expression), or computes from
  // such nodes alone without reading a record.
  bool FixedDuringWalk() const;
  void SetConstant(bool constant) {
    is_constant_ = constant;
    needs_eval_ = !constant && !by_ref_;
  }

  size_t ArgCount() const { return args_.size(); }
  TvNode* Arg(size_t i) const { return args_[i].get(); }
  TvNodeArray& Args() { return args_; }

  bool InheritsFrom(const TNodeClass& cls) const { return ClassInfo().InheritsFrom(cls); }

 protected:
  friend std::unique_ptr<TvNode> CreateNode(const TNodeClass&, TvNodeArray, int);

  // Clears Foldable: for nodes whose value depends on the current record.
  void SetNotFoldable() { foldable_ = false; }
  // Marks a node that reads its value through a reference and therefore
  // never needs evaluation (variable nodes).
  void SetReadsByRef() {
    by_ref_ = true;
    needs_eval_ = false;
  }

  TvNodeArray args_;
  int32_t value_tag_ = -1;
  char kind_ = kKindNone;
  bool is_constant_ = false;
  bool foldable_ = true;
  bool by_ref_ = false;
  bool needs_eval_ = true;
};

inline void EvaluateIfNeeded(TvNode* node) {
  if (node->NeedsEvaluation()) node->Evaluate();
}

// Creates a node of class `cls` over `args` (in the order of the word's
// arguments): checks the operand signature, sets the comparison mask when
// `mask` >= 0, evaluates the node at once and marks it constant when every
// present operand FoldsAsConstant and the node is foldable, then applies the
// class's Optimize. Callers use the returned node, never the one they asked
// for. Raises Exception for an abstract class or operands of the wrong kind or
// number; folding passes on conversion errors.
std::unique_ptr<TvNode> CreateNode(const TNodeClass& cls, TvNodeArray args, int mask = -1);

// Convenience for fixed operand lists.
std::unique_ptr<TvNode> CreateNode(const TNodeClass& cls, std::unique_ptr<TvNode> a);
std::unique_ptr<TvNode> CreateNode(const TNodeClass& cls, std::unique_ptr<TvNode> a,
                                   std::unique_ptr<TvNode> b, int mask = -1);

// ---- base-type classes --------------------------------------------------

class TvBool : public TvNode {
  QDF_NODE_CLASS(TvBool)
 public:
  TvBool() {
    value_tag_ = 1;
    kind_ = kKindBool;
  }
  bool Bool() const { return value_; }
  void SetValue(bool v) { value_ = v; }
  std::unique_ptr<TvNode> Optimize() override;
  std::unique_ptr<TvNode> ConstCopy() const override;
  void GetVariant(TVariant& out) const override { out.SetBoolean(value_); }

 protected:
  bool value_ = false;
};

class TvInt : public TvNode {
  QDF_NODE_CLASS(TvInt)
 public:
  TvInt() {
    value_tag_ = 0;
    kind_ = kKindInt;
  }
  int32_t Int() const { return *ref_; }
  void SetValue(int32_t v) { value_ = v; }
  std::unique_ptr<TvNode> Optimize() override;
  std::unique_ptr<TvNode> ConstCopy() const override;
  void GetVariant(TVariant& out) const override { out.SetInteger(Int()); }

 protected:
  int32_t value_ = 0;
  const int32_t* ref_ = &value_;  // the value, or the host variable
};

class TvString : public TvNode {
  QDF_NODE_CLASS(TvString)
 public:
  TvString() {
    value_tag_ = 11;
    kind_ = kKindString;
  }
  const std::string& Str() const { return *ref_; }
  void SetValue(std::string v) { value_ = std::move(v); }
  std::unique_ptr<TvNode> Optimize() override;
  std::unique_ptr<TvNode> ConstCopy() const override;
  void GetVariant(TVariant& out) const override { out.SetString(Str()); }

 protected:
  std::string value_;
  const std::string* ref_ = &value_;
};

class TvDouble : public TvNode {
  QDF_NODE_CLASS(TvDouble)
 public:
  TvDouble() {
    value_tag_ = 50;
    kind_ = kKindDouble;
  }
  double Dbl() const { return *ref_; }
  void SetValue(double v) { value_ = v; }
  std::unique_ptr<TvNode> Optimize() override;
  std::unique_ptr<TvNode> ConstCopy() const override;
  void GetVariant(TVariant& out) const override { out.SetDouble(Dbl()); }

 protected:
  double value_ = 0;
  const double* ref_ = &value_;
};

// A variant value, null when created. A constant null becomes a TvNull.
class TvVariant : public TvNode {
  QDF_NODE_CLASS(TvVariant)
 public:
  TvVariant() {
    value_tag_ = 13;
    kind_ = kKindVariant;
  }
  const TVariant& Var() const { return value_; }
  void SetValue(TVariant v) { value_ = std::move(v); }
  std::unique_ptr<TvNode> Optimize() override;
  std::unique_ptr<TvNode> ConstCopy() const override;
  void GetVariant(TVariant& out) const override { out = value_; }

 protected:
  TVariant value_;
};

// 64-bit values travel inside variants as a 9-byte string: 0x01 and the
// eight bytes of the value, least significant first.
std::string Int64ToVariantForm(int64_t v);
// Reads a 64-bit value from a variant: the 9-byte form, a native integer, or
// decimal text. Raises EConvertError otherwise.
int64_t VariantToInt64(const TVariant& v);

// A 64-bit object identifier.
class TvObjectID : public TvNode {
  QDF_NODE_CLASS(TvObjectID)
 public:
  TvObjectID() {
    value_tag_ = 51;
    kind_ = kKindInt64;
  }
  int64_t I64() const { return value_; }
  void SetValue(int64_t v) { value_ = v; }
  std::unique_ptr<TvNode> Optimize() override;
  std::unique_ptr<TvNode> ConstCopy() const override;
  void GetVariant(TVariant& out) const override { out.SetString(Int64ToVariantForm(value_)); }

 protected:
  int64_t value_ = 0;
};

// A 64-bit integer.
class TvInt64 : public TvNode {
  QDF_NODE_CLASS(TvInt64)
 public:
  TvInt64() {
    value_tag_ = 16;
    kind_ = kKindInt64;
  }
  int64_t I64() const { return value_; }
  void SetValue(int64_t v) { value_ = v; }
  std::unique_ptr<TvNode> Optimize() override;
  std::unique_ptr<TvNode> ConstCopy() const override;
  void GetVariant(TVariant& out) const override { out.SetString(Int64ToVariantForm(value_)); }

 protected:
  int64_t value_ = 0;
};

// Holds an object reference (not owned): item classes and providers of the
// query language.
class TvObjectNode : public TvNode {
  QDF_NODE_CLASS(TvObjectNode)
 public:
  TvObjectNode() {
    value_tag_ = 7;
    kind_ = kKindObject;
  }
  TObject* Object() const { return object_; }
  // Makes this a constant node holding `object` (object words).
  virtual void SetObject(TObject* object) {
    object_ = object;
    SetConstant(true);
  }
  std::unique_ptr<TvNode> Optimize() override;
  std::unique_ptr<TvNode> ConstCopy() const override;

 protected:
  TObject* object_ = nullptr;
};

// The 64-bit value of a node of kind 'l' (TvInt64 or TvObjectID).
inline int64_t Int64Of(const TvNode* n) {
  return n->InheritsFrom(TvInt64::kClass) ? static_cast<const TvInt64*>(n)->I64()
                                          : static_cast<const TvObjectID*>(n)->I64();
}

// The operand's value as a variant for conversions: 64-bit nodes give a
// native 64-bit variant (so casts convert numerically), others GetVariant.
void OperandVariant(const TvNode* n, TVariant& out);

// ---- literals and variables ---------------------------------------------

std::unique_ptr<TvNode> NewIntLiteral(int32_t v);
std::unique_ptr<TvNode> NewBoolLiteral(bool v);
std::unique_ptr<TvNode> NewStringLiteral(std::string v);
std::unique_ptr<TvNode> NewDoubleLiteral(double v);
std::unique_ptr<TvNode> NewInt64Literal(int64_t v);
std::unique_ptr<TvNode> NewObjectIDLiteral(int64_t v);
// A null variant gives a TvNull.
std::unique_ptr<TvNode> NewVariantLiteral(TVariant v);
std::unique_ptr<TvNode> NewObjectLiteral(TObject* object);

// Variable nodes read the host variable at every evaluation; the variable must
// outlive the node.
std::unique_ptr<TvNode> NewIntVar(const int32_t* variable);
std::unique_ptr<TvNode> NewDoubleVar(const double* variable);
std::unique_ptr<TvNode> NewStringVar(const std::string* variable);

}  // namespace qdf
