// TVariant: the engine's one dynamically typed value.
//
// Holds null, a 32-bit or 64-bit integer, a double, a boolean, a byte string
// or a date-time (a double: days since 1899-12-30, fraction = time of day).
// Non-string values live inline; only a string longer than the small-string
// buffer allocates. Conversions follow the runtime's rules and raise
// EConvertError when a value cannot be converted.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qdf {

enum class TVarType : uint8_t {
  kNull,
  kInteger,   // int32_t
  kInt64,     // int64_t
  kDouble,    // double
  kBoolean,   // bool
  kString,    // std::string (bytes)
  kDateTime,  // double, days since 1899-12-30
};

// Printed name of a variant type, as used in conversion messages
// ("Null", "Integer", "Int64", "Double", "Boolean", "String", "Date").
const char* VarTypeName(TVarType type);

class TVariant {
 public:
  TVariant() : type_(TVarType::kNull) { u_.i64 = 0; }
  TVariant(int32_t v) : type_(TVarType::kInteger) {
    u_.i64 = 0;
    u_.i = v;
  }
  TVariant(int64_t v) : type_(TVarType::kInt64) { u_.i64 = v; }
  TVariant(double v) : type_(TVarType::kDouble) { u_.d = v; }
  TVariant(bool v) : type_(TVarType::kBoolean) {
    u_.i64 = 0;
    u_.b = v;
  }
  TVariant(std::string v) : type_(TVarType::kString), s_(std::move(v)) { u_.i64 = 0; }
  TVariant(const char* v) : TVariant(std::string(v)) {}

  // A date-time value (days since 1899-12-30).
  static TVariant DateTime(double days) {
    TVariant v(days);
    v.type_ = TVarType::kDateTime;
    return v;
  }

  TVarType Type() const { return type_; }
  bool IsNull() const { return type_ == TVarType::kNull; }
  bool IsString() const { return type_ == TVarType::kString; }

  void Clear() {
    type_ = TVarType::kNull;
    s_.clear();
  }
  void SetInteger(int32_t v) {
    Clear();
    type_ = TVarType::kInteger;
    u_.i = v;
  }
  void SetInt64(int64_t v) {
    Clear();
    type_ = TVarType::kInt64;
    u_.i64 = v;
  }
  void SetDouble(double v) {
    Clear();
    type_ = TVarType::kDouble;
    u_.d = v;
  }
  void SetBoolean(bool v) {
    Clear();
    type_ = TVarType::kBoolean;
    u_.b = v;
  }
  void SetDateTime(double v) {
    Clear();
    type_ = TVarType::kDateTime;
    u_.d = v;
  }
  void SetString(std::string_view v) {
    type_ = TVarType::kString;
    s_.assign(v);
  }

  // Raw access; REQUIRES: the matching type.
  int32_t RawInteger() const { return u_.i; }
  int64_t RawInt64() const { return u_.i64; }
  double RawDouble() const { return u_.d; }
  bool RawBoolean() const { return u_.b; }
  const std::string& RawString() const { return s_; }

  // Conversions. Numbers convert numerically (doubles to integers round half
  // to even and must fit the target range); strings are parsed as decimal
  // text (C locale); booleans are 1 and 0. Null converts only to the empty
  // string; every failure raises EConvertError.
  int32_t AsInteger() const;
  int64_t AsInt64() const;
  double AsDouble() const;
  // Strings "true"/"false" (any case) or a number (non-zero is true).
  bool AsBoolean() const;
  // Integers in decimal, doubles in shortest round-trip form with '.',
  // booleans "True"/"False", date-times "yyyy-mm-dd hh:nn:ss[.zzz]".
  std::string AsString() const;

  friend bool operator==(const TVariant& a, const TVariant& b);

 private:
  TVarType type_;
  union {
    int32_t i;
    int64_t i64;
    double d;
    bool b;
  } u_;
  std::string s_;
};

// Text helpers shared by variants, the scanner and the tools.

// Shortest text that reads back as the same double, C locale: plain notation
// for 1e-4 <= |v| < 1e16 ("3.5", "3000000000"), else scientific ("1e+20",
// "1.5e-07"); "inf", "-inf", "nan".
std::string DoubleToText(double v);
// Parses a whole text as an integer (leading blanks, a sign and "$" or "0x"
// hex allowed, as StrToInt);
// raises EConvertError "'<text>' is not a valid integer value" otherwise or when
// the value does not fit.
int32_t TextToInt32(std::string_view text);
int64_t TextToInt64(std::string_view text);
// Parses a whole text as a C-locale float; raises EConvertError
// "'<text>' is not a valid floating point value", also for "nan", "inf",
// "infinity" and values beyond the double range: text gives finite numbers.
double TextToDouble(std::string_view text);
// "yyyy-mm-dd hh:nn:ss" and ".zzz" when there are milliseconds; raises
// EConvertError for values outside years 1..9999.
std::string DateTimeToText(double days);
// "yyyy-mm-dd", "yyyy-mm-dd hh:nn[:ss[.zzz]]" or "hh:nn[:ss[.zzz]]" (the form
// DateTimeToText writes) to days since 1899-12-30. Raises EConvertError
// "'<text>' is not a valid date and time".
double TextToDateTime(const std::string& text);
// Rounds half to even into int64 range; raises EConvertError for NaN and values
// outside the range of int64_t.
int64_t RoundToInt64(double v);
// Truncates toward zero into int64 range; raises as RoundToInt64.
int64_t TruncToInt64(double v);

}  // namespace qdf
