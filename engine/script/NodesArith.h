// Value-computing node classes: integer, string, variant, double, date-time
// and 64-bit operations, casts and variables.
//
// Every operation evaluates each operand that needs it, in operand order,
// then computes into a temporary and stores it, so a failed evaluation keeps
// the previous value. Operand kinds are checked when the node is created
// (CreateNode), so Evaluate reads them without tests.
#pragma once

#include "script/Node.h"

namespace qdf {

// ---- integer (32-bit, wrapping) -------------------------------------------

// Reads a host int32_t variable; never constant.
class TiVar : public TvInt {
  QDF_NODE_CLASS(TiVar)
 public:
  TiVar() = default;
  explicit TiVar(const int32_t* variable) { Bind(variable); }
  void Bind(const int32_t* variable) {
    ref_ = variable;
    SetReadsByRef();
  }
  void Evaluate() override { value_ = *ref_; }
};

class TiNeg : public TvInt {
  QDF_NODE_CLASS(TiNeg)
 public:
  void Evaluate() override;
};

// Binary integer operation; results wrap modulo 2^32.
class TiIntOp2 : public TvInt {
  QDF_NODE_CLASS(TiIntOp2)
};

class TiPlus : public TiIntOp2 {
  QDF_NODE_CLASS(TiPlus)
 public:
  void Evaluate() override;
};

class TiMinus : public TiIntOp2 {
  QDF_NODE_CLASS(TiMinus)
 public:
  void Evaluate() override;
};

class TiMul : public TiIntOp2 {
  QDF_NODE_CLASS(TiMul)
 public:
  void Evaluate() override;
};

// The operand's value converted to integer.
class TiCast : public TvInt {
  QDF_NODE_CLASS(TiCast)
 public:
  void Evaluate() override;
};

// A double truncated toward zero, low 32 bits.
class TiTrunc : public TvInt {
  QDF_NODE_CLASS(TiTrunc)
 public:
  void Evaluate() override;
};

// A double rounded to the nearest integer, halves to even, low 32 bits.
class TiRound : public TvInt {
  QDF_NODE_CLASS(TiRound)
 public:
  void Evaluate() override;
};

// ---- string -------------------------------------------------------------------

// Reads a host std::string variable; never constant.
class TsVar : public TvString {
  QDF_NODE_CLASS(TsVar)
 public:
  TsVar() = default;
  explicit TsVar(const std::string* variable) { Bind(variable); }
  void Bind(const std::string* variable) {
    ref_ = variable;
    SetReadsByRef();
  }
  void Evaluate() override { value_ = *ref_; }
};

class TsStrOp2 : public TvString {
  QDF_NODE_CLASS(TsStrOp2)
};

// Concatenation.
class TsPlus : public TsStrOp2 {
  QDF_NODE_CLASS(TsPlus)
 public:
  void Evaluate() override;
};

// Copy(s, index, count): count bytes from the 1-based index; an index below 1
// counts as 1, the count is cut at the end, a negative count gives "".
class TsSubString : public TvString {
  QDF_NODE_CLASS(TsSubString)
 public:
  void Evaluate() override;
};

// Upper case of ASCII letters; other bytes unchanged.
class TsUpperCase : public TvString {
  QDF_NODE_CLASS(TsUpperCase)
 public:
  void Evaluate() override;
};

// The operand's value converted to text.
class TsCast : public TvString {
  QDF_NODE_CLASS(TsCast)
 public:
  void Evaluate() override;
};

// ---- variant ------------------------------------------------------------------

// The null value.
class TvNull : public TvVariant {
  QDF_NODE_CLASS(TvNull)
 public:
  void Evaluate() override { value_.Clear(); }
};

// The operand's value as a variant; 64-bit operands give a native 64-bit
// variant.
class TvCast : public TvVariant {
  QDF_NODE_CLASS(TvCast)
 public:
  void Evaluate() override;
};

// ---- double and date-time ---------------------------------------------------

// Reads a host double variable; never constant.
class TdVar : public TvDouble {
  QDF_NODE_CLASS(TdVar)
 public:
  TdVar() = default;
  explicit TdVar(const double* variable) { Bind(variable); }
  void Bind(const double* variable) {
    ref_ = variable;
    SetReadsByRef();
  }
  void Evaluate() override { value_ = *ref_; }
};

class TdNeg : public TvDouble {
  QDF_NODE_CLASS(TdNeg)
 public:
  void Evaluate() override;
};

class TdDoubleOp2 : public TvDouble {
  QDF_NODE_CLASS(TdDoubleOp2)
};

class TdPlus : public TdDoubleOp2 {
  QDF_NODE_CLASS(TdPlus)
 public:
  void Evaluate() override;
};

class TdMinus : public TdDoubleOp2 {
  QDF_NODE_CLASS(TdMinus)
 public:
  void Evaluate() override;
};

class TdMul : public TdDoubleOp2 {
  QDF_NODE_CLASS(TdMul)
 public:
  void Evaluate() override;
};

// The operand's value converted to double (64-bit operands numerically).
class TdCast : public TvDouble {
  QDF_NODE_CLASS(TdCast)
 public:
  void Evaluate() override;
};

// Round(x, n): x rounded to n decimal places, halves away from zero; for n
// outside -8..8 the result is x.
class TdRound : public TvDouble {
  QDF_NODE_CLASS(TdRound)
 public:
  void Evaluate() override;
};

// Date-time values (days since 1899-12-30, fraction = time of day).
class TvDateTime : public TvDouble {
  QDF_NODE_CLASS(TvDateTime)
};

// Date(year, month, day); EConvertError "Invalid argument to date encode" for
// an invalid date.
class TdtDate : public TvDateTime {
  QDF_NODE_CLASS(TdtDate)
 public:
  void Evaluate() override;
};

// Time(hour, minute, second, millisecond); EConvertError "Invalid argument to
// time encode" for an invalid time.
class TdtTime : public TvDateTime {
  QDF_NODE_CLASS(TdtTime)
 public:
  void Evaluate() override;
};

// ---- 64-bit ---------------------------------------------------------------------

// The operand read as a 64-bit value: the 9-byte variant form, a number or
// decimal text.
class ToidCast : public TvObjectID {
  QDF_NODE_CLASS(ToidCast)
 public:
  void Evaluate() override;
};

// Days since 1899-12-30 of a civil date; raises EConvertError when invalid.
double EncodeDate(int32_t year, int32_t month, int32_t day);
// Fraction of a day; raises EConvertError when invalid.
double EncodeTime(int32_t hour, int32_t minute, int32_t second, int32_t msec);

}  // namespace qdf
