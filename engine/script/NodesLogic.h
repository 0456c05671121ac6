// Boolean node classes: logic, comparisons, LIKE and the boolean cast.
//
// These are the nodes of every filter. TbAnd and TbOr stop early; TbAnd
// flattens nested conjunctions and drops constant operands when built, TbOr
// and TsLike rewrite themselves into cheaper forms when an operand is
// constant. String comparison is byte-wise, unsigned and case-sensitive.
#pragma once

#include "script/Node.h"

namespace qdf {

// Comparison masks: bit 0 = result when the left operand is less, bit 1 when
// equal, bit 2 when greater.
inline constexpr uint8_t kMaskLT = 1;
inline constexpr uint8_t kMaskEQ = 2;
inline constexpr uint8_t kMaskLE = 3;
inline constexpr uint8_t kMaskGT = 4;
inline constexpr uint8_t kMaskNEQ = 5;
inline constexpr uint8_t kMaskGE = 6;

class TbNot : public TvBool {
  QDF_NODE_CLASS(TbNot)
 public:
  void Evaluate() override;
};

class TvBoolOp2 : public TvBool {
  QDF_NODE_CLASS(TvBoolOp2)
};

// Conjunction of any number of boolean operands (missing operands allowed),
// evaluated in order up to the first false. Optimize flattens operands that
// are plain TbAnd nodes, drops missing and constant-true operands, and turns
// into a constant false when an operand is constant false (constant true when
// nothing remains).
class TbAnd : public TvBoolOp2 {
  QDF_NODE_CLASS(TbAnd)
 public:
  // A conjunction with the single operand `node`, or constant true when
  // `node` is null. Not optimized: callers may add operands.
  static std::unique_ptr<TbAnd> Create(std::unique_ptr<TvNode> node);
  // Appends an operand; the conjunction is no longer constant.
  void AddOperand(std::unique_ptr<TvNode> node);

  void Evaluate() override;
  std::unique_ptr<TvNode> Optimize() override;
};

// Disjunction of two booleans; the second is evaluated only when the first
// is false. Optimize: a constant-true operand makes the node constant true.
class TbOr : public TvBoolOp2 {
  QDF_NODE_CLASS(TbOr)
 public:
  void Evaluate() override;
  std::unique_ptr<TvNode> Optimize() override;
};

// Signed 32-bit comparisons.
class TbIntOp2 : public TvBool {
  QDF_NODE_CLASS(TbIntOp2)
};

#define QDF_INT_COMPARE(T)    \
  class T : public TbIntOp2 { \
    QDF_NODE_CLASS(T)         \
   public:                    \
    void Evaluate() override; \
  };
QDF_INT_COMPARE(TiLT)
QDF_INT_COMPARE(TiLE)
QDF_INT_COMPARE(TiEQ)
QDF_INT_COMPARE(TiNEQ)
QDF_INT_COMPARE(TiGE)
QDF_INT_COMPARE(TiGT)
#undef QDF_INT_COMPARE

// String comparison under a mask; created directly with an explicit mask
// (mask 2 is equality) or through the subclasses that preset it.
class TsComp : public TvBool {
  QDF_NODE_CLASS(TsComp)
 public:
  bool SetMask(uint8_t mask) override {
    mask_ = mask & 7;
    return true;
  }
  uint8_t Mask() const { return mask_; }
  void Evaluate() override;

 protected:
  uint8_t mask_ = 0;
};

// Double comparison under a mask. NaN is unordered: a comparison with it is
// false, except "<>" (mask LT|GT), which is true.
class TdComp : public TvBool {
  QDF_NODE_CLASS(TdComp)
 public:
  bool SetMask(uint8_t mask) override {
    mask_ = mask & 7;
    return true;
  }
  uint8_t Mask() const { return mask_; }
  void Evaluate() override;

 protected:
  uint8_t mask_ = 0;
};

#define QDF_MASK_COMPARE(T, Base, M) \
  class T : public Base {            \
    QDF_NODE_CLASS(T)                \
   public:                           \
    T() { mask_ = M; }               \
  };
QDF_MASK_COMPARE(TsLT, TsComp, kMaskLT)
QDF_MASK_COMPARE(TsEq, TsComp, kMaskEQ)
QDF_MASK_COMPARE(TsLE, TsComp, kMaskLE)
QDF_MASK_COMPARE(TsGT, TsComp, kMaskGT)
QDF_MASK_COMPARE(TsNEQ, TsComp, kMaskNEQ)
QDF_MASK_COMPARE(TsGE, TsComp, kMaskGE)
QDF_MASK_COMPARE(TdLT, TdComp, kMaskLT)
QDF_MASK_COMPARE(TdEq, TdComp, kMaskEQ)
QDF_MASK_COMPARE(TdLE, TdComp, kMaskLE)
QDF_MASK_COMPARE(TdGT, TdComp, kMaskGT)
QDF_MASK_COMPARE(TdNEQ, TdComp, kMaskNEQ)
QDF_MASK_COMPARE(TdGE, TdComp, kMaskGE)
#undef QDF_MASK_COMPARE

// LIKE of a string against a pattern ('%' any run, '_' one byte, no escape).
// Optimize: a constant pattern without wildcards becomes string equality.
class TsLike : public TvBool {
  QDF_NODE_CLASS(TsLike)
 public:
  void Evaluate() override;
  std::unique_ptr<TvNode> Optimize() override;
};

// False for a null operand, else the operand's value converted to boolean.
class TbCast : public TvBool {
  QDF_NODE_CLASS(TbCast)
 public:
  void Evaluate() override;
};

}  // namespace qdf
