#include "script/NodesArith.h"

#include <cmath>

#include "base/Helpers.h"
#include "base/QdfException.h"

namespace qdf {

QDF_DEFINE_NODE_CLASS(TiVar, TvInt, nullptr);
QDF_DEFINE_NODE_CLASS(TiNeg, TvInt, "i");
QDF_DEFINE_ABSTRACT_NODE_CLASS(TiIntOp2, TvInt);
QDF_DEFINE_NODE_CLASS(TiPlus, TiIntOp2, "ii");
QDF_DEFINE_NODE_CLASS(TiMinus, TiIntOp2, "ii");
QDF_DEFINE_NODE_CLASS(TiMul, TiIntOp2, "ii");
QDF_DEFINE_NODE_CLASS(TiCast, TvInt, "?");
QDF_DEFINE_NODE_CLASS(TiTrunc, TvInt, "d");
QDF_DEFINE_NODE_CLASS(TiRound, TvInt, "d");

QDF_DEFINE_NODE_CLASS(TsVar, TvString, nullptr);
QDF_DEFINE_ABSTRACT_NODE_CLASS(TsStrOp2, TvString);
QDF_DEFINE_NODE_CLASS(TsPlus, TsStrOp2, "ss");
QDF_DEFINE_NODE_CLASS(TsSubString, TvString, "sii");
QDF_DEFINE_NODE_CLASS(TsUpperCase, TvString, "s");
QDF_DEFINE_NODE_CLASS(TsCast, TvString, "?");

QDF_DEFINE_NODE_CLASS(TvNull, TvVariant, "");
QDF_DEFINE_NODE_CLASS(TvCast, TvVariant, "?");

QDF_DEFINE_NODE_CLASS(TdVar, TvDouble, nullptr);
QDF_DEFINE_NODE_CLASS(TdNeg, TvDouble, "d");
QDF_DEFINE_ABSTRACT_NODE_CLASS(TdDoubleOp2, TvDouble);
QDF_DEFINE_NODE_CLASS(TdPlus, TdDoubleOp2, "dd");
QDF_DEFINE_NODE_CLASS(TdMinus, TdDoubleOp2, "dd");
QDF_DEFINE_NODE_CLASS(TdMul, TdDoubleOp2, "dd");
QDF_DEFINE_NODE_CLASS(TdCast, TvDouble, "?");
QDF_DEFINE_NODE_CLASS(TdRound, TvDouble, "di");
QDF_DEFINE_ABSTRACT_NODE_CLASS(TvDateTime, TvDouble);
QDF_DEFINE_NODE_CLASS(TdtDate, TvDateTime, "iii");
QDF_DEFINE_NODE_CLASS(TdtTime, TvDateTime, "iiii");

QDF_DEFINE_NODE_CLASS(ToidCast, TvObjectID, "?");

namespace {

inline int32_t IntArg(const TvNode* n) { return static_cast<const TvInt*>(n)->Int(); }
inline double DblArg(const TvNode* n) { return static_cast<const TvDouble*>(n)->Dbl(); }
inline const std::string& StrArg(const TvNode* n) { return static_cast<const TvString*>(n)->Str(); }

// Wrapping 32-bit arithmetic without signed overflow.
inline int32_t Wrap(uint32_t v) { return static_cast<int32_t>(v); }

}  // namespace

// ---- integer ---------------------------------------------------------------------

void TiNeg::Evaluate() {
  TvNode* a = args_[0].get();
  EvaluateIfNeeded(a);
  value_ = Wrap(0u - static_cast<uint32_t>(IntArg(a)));
}

void TiPlus::Evaluate() {
  TvNode* a = args_[0].get();
  TvNode* b = args_[1].get();
  EvaluateIfNeeded(a);
  EvaluateIfNeeded(b);
  value_ = Wrap(static_cast<uint32_t>(IntArg(a)) + static_cast<uint32_t>(IntArg(b)));
}

void TiMinus::Evaluate() {
  TvNode* a = args_[0].get();
  TvNode* b = args_[1].get();
  EvaluateIfNeeded(a);
  EvaluateIfNeeded(b);
  value_ = Wrap(static_cast<uint32_t>(IntArg(a)) - static_cast<uint32_t>(IntArg(b)));
}

void TiMul::Evaluate() {
  TvNode* a = args_[0].get();
  TvNode* b = args_[1].get();
  EvaluateIfNeeded(a);
  EvaluateIfNeeded(b);
  value_ = Wrap(static_cast<uint32_t>(IntArg(a)) * static_cast<uint32_t>(IntArg(b)));
}

void TiCast::Evaluate() {
  TvNode* a = args_[0].get();
  EvaluateIfNeeded(a);
  if (a->Kind() == kKindInt) {
    value_ = IntArg(a);
    return;
  }
  TVariant v;
  OperandVariant(a, v);
  value_ = v.AsInteger();
}

void TiTrunc::Evaluate() {
  TvNode* a = args_[0].get();
  EvaluateIfNeeded(a);
  value_ = Wrap(static_cast<uint32_t>(static_cast<uint64_t>(TruncToInt64(DblArg(a)))));
}

void TiRound::Evaluate() {
  TvNode* a = args_[0].get();
  EvaluateIfNeeded(a);
  value_ = Wrap(static_cast<uint32_t>(static_cast<uint64_t>(RoundToInt64(DblArg(a)))));
}

// ---- string ------------------------------------------------------------------------

void TsPlus::Evaluate() {
  TvNode* a = args_[0].get();
  TvNode* b = args_[1].get();
  EvaluateIfNeeded(a);
  EvaluateIfNeeded(b);
  const std::string& x = StrArg(a);
  const std::string& y = StrArg(b);
  // Reuses the value's buffer: no allocation once it is large enough.
  value_.assign(x);
  value_.append(y);
}

void TsSubString::Evaluate() {
  for (auto& a : args_) EvaluateIfNeeded(a.get());
  const std::string& s = StrArg(args_[0].get());
  int64_t index = IntArg(args_[1].get());
  int64_t count = IntArg(args_[2].get());
  if (index < 1) index = 1;
  int64_t len = static_cast<int64_t>(s.size());
  if (count <= 0 || index > len) {
    value_.clear();
    return;
  }
  if (count > len - index + 1) count = len - index + 1;
  value_.assign(s, static_cast<size_t>(index - 1), static_cast<size_t>(count));
}

void TsUpperCase::Evaluate() {
  TvNode* a = args_[0].get();
  EvaluateIfNeeded(a);
  const std::string& s = StrArg(a);
  value_.resize(s.size());
  for (size_t i = 0; i < s.size(); ++i) value_[i] = UpCase(s[i]);
}

void TsCast::Evaluate() {
  TvNode* a = args_[0].get();
  EvaluateIfNeeded(a);
  if (a->Kind() == kKindString) {
    value_.assign(StrArg(a));
    return;
  }
  TVariant v;
  OperandVariant(a, v);
  value_ = v.AsString();
}

// ---- variant -----------------------------------------------------------------------

void TvCast::Evaluate() {
  TvNode* a = args_[0].get();
  EvaluateIfNeeded(a);
  TVariant v;
  OperandVariant(a, v);
  value_ = std::move(v);
}

// ---- double -------------------------------------------------------------------------

void TdNeg::Evaluate() {
  TvNode* a = args_[0].get();
  EvaluateIfNeeded(a);
  value_ = -DblArg(a);
}

void TdPlus::Evaluate() {
  TvNode* a = args_[0].get();
  TvNode* b = args_[1].get();
  EvaluateIfNeeded(a);
  EvaluateIfNeeded(b);
  value_ = DblArg(a) + DblArg(b);
}

void TdMinus::Evaluate() {
  TvNode* a = args_[0].get();
  TvNode* b = args_[1].get();
  EvaluateIfNeeded(a);
  EvaluateIfNeeded(b);
  value_ = DblArg(a) - DblArg(b);
}

void TdMul::Evaluate() {
  TvNode* a = args_[0].get();
  TvNode* b = args_[1].get();
  EvaluateIfNeeded(a);
  EvaluateIfNeeded(b);
  value_ = DblArg(a) * DblArg(b);
}

void TdCast::Evaluate() {
  TvNode* a = args_[0].get();
  EvaluateIfNeeded(a);
  switch (a->Kind()) {
    case kKindDouble:
      value_ = DblArg(a);
      return;
    case kKindInt:
      value_ = IntArg(a);
      return;
    case kKindInt64:
      value_ = static_cast<double>(Int64Of(a));
      return;
    default:
      break;
  }
  TVariant v;
  a->GetVariant(v);
  value_ = v.AsDouble();
}

void TdRound::Evaluate() {
  TvNode* a = args_[0].get();
  TvNode* b = args_[1].get();
  EvaluateIfNeeded(a);
  EvaluateIfNeeded(b);
  value_ = RoundTo(DblArg(a), IntArg(b));
}

namespace {

bool IsLeapYear(int32_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

}  // namespace

double EncodeDate(int32_t year, int32_t month, int32_t day) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0)) {
    throw EConvertError("Invalid argument to date encode");
  }
  return static_cast<double>(
      DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) + 25569);
}

double EncodeTime(int32_t hour, int32_t minute, int32_t second, int32_t msec) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || msec < 0 ||
      msec > 999) {
    throw EConvertError("Invalid argument to time encode");
  }
  return (hour * 3600000.0 + minute * 60000.0 + second * 1000.0 + msec) / 86400000.0;
}

void TdtDate::Evaluate() {
  for (auto& a : args_) EvaluateIfNeeded(a.get());
  value_ = EncodeDate(IntArg(args_[0].get()), IntArg(args_[1].get()), IntArg(args_[2].get()));
}

void TdtTime::Evaluate() {
  for (auto& a : args_) EvaluateIfNeeded(a.get());
  value_ = EncodeTime(IntArg(args_[0].get()), IntArg(args_[1].get()), IntArg(args_[2].get()),
                      IntArg(args_[3].get()));
}

// ---- 64-bit ---------------------------------------------------------------------------

void ToidCast::Evaluate() {
  TvNode* a = args_[0].get();
  EvaluateIfNeeded(a);
  switch (a->Kind()) {
    case kKindInt64:
      value_ = Int64Of(a);
      return;
    case kKindInt:
      value_ = IntArg(a);
      return;
    default:
      break;
  }
  TVariant v;
  a->GetVariant(v);
  value_ = VariantToInt64(v);
}

}  // namespace qdf
