#include "base/Variant.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "base/Helpers.h"
#include "base/QdfException.h"

namespace qdf {

const char* VarTypeName(TVarType type) {
  switch (type) {
    case TVarType::kNull:
      return "Null";
    case TVarType::kInteger:
      return "Integer";
    case TVarType::kInt64:
      return "Int64";
    case TVarType::kDouble:
      return "Double";
    case TVarType::kBoolean:
      return "Boolean";
    case TVarType::kString:
      return "String";
    case TVarType::kDateTime:
      return "Date";
  }
  return "Unknown";
}

namespace {

[[noreturn]] void CannotConvert(TVarType from, TVarType to) {
  throw EConvertError(Format("Could not convert variant of type (%s) into type (%s)",
                             VarTypeName(from), VarTypeName(to)));
}

[[noreturn]] void InvalidInteger(std::string_view text) {
  throw EConvertError(
      Format("'%.*s' is not a valid integer value", static_cast<int>(text.size()), text.data()));
}

// Strips leading blanks (the runtime's integer conversion accepts them).
std::string_view SkipBlanks(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  return text.substr(i);
}

}  // namespace

std::string DoubleToText(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  char buf[400];  // fixed notation of 5e-324 takes 330 bytes
  // The shortest digits that read back as v; their decimal exponent decides
  // between plain and scientific notation (plain for 1e-4 <= |v| < 1e16).
  auto sci = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  *sci.ptr = '\0';
  const char* e = std::find(buf, sci.ptr, 'e');
  const int exponent = std::atoi(e + 1);
  if (exponent < -4 || exponent >= 16) return std::string(buf, sci.ptr);
  auto fixed = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
  return std::string(buf, fixed.ptr);
}

int64_t TextToInt64(std::string_view text) {
  int64_t v;
  if (!TryStrToInt64(text, &v)) InvalidInteger(text);
  return v;
}

int32_t TextToInt32(std::string_view text) {
  int32_t v;
  if (!TryStrToInt(text, &v)) InvalidInteger(text);
  return v;
}

double TextToDouble(std::string_view text) {
  std::string_view t = SkipBlanks(text);
  while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.remove_suffix(1);
  const char* first = t.data();
  const char* last = t.data() + t.size();
  if (first != last && *first == '+') ++first;
  double value = 0;
  auto res = std::from_chars(first, last, value, std::chars_format::general);
  if (res.ptr != last || first == last ||
      (res.ec != std::errc() && res.ec != std::errc::result_out_of_range)) {
    throw EConvertError(Format("'%.*s' is not a valid floating point value",
                               static_cast<int>(text.size()), text.data()));
  }
  if (res.ec == std::errc::result_out_of_range) {
    // from_chars reports both overflow and underflow; underflow reads as the
    // nearest tiny value or zero, overflow is an error.
    std::string copy(first, last);
    value = std::strtod(copy.c_str(), nullptr);
  }
  // "nan", "inf" and "infinity" parse, and overflow gives an infinity: none
  // of them is a number a field or an expression can order.
  if (!std::isfinite(value)) {
    throw EConvertError(Format("'%.*s' is not a valid floating point value",
                               static_cast<int>(text.size()), text.data()));
  }
  return value;
}

namespace {

// Days since 1970-01-01 to civil date (proleptic Gregorian).
void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += (m <= 2);
}

// Day 0 of the date-time scale (1899-12-30) in days since 1970-01-01.
constexpr int64_t kDateTimeEpoch = -25569;
// 0001-01-01 and 9999-12-31 on the date-time scale.
constexpr double kMinDateTime = -693593.0;
constexpr double kMaxDateTime = 2958466.0;

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool LeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && LeapYear(y) ? 29 : kDays[m - 1];
}

// Reads 1..max_digits decimal digits at text[pos].
bool ReadNumber(std::string_view text, size_t& pos, int max_digits, int* out) {
  int digits = 0;
  int value = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < max_digits) {
    value = value * 10 + (text[pos] - '0');
    ++pos;
    ++digits;
  }
  *out = value;
  return digits > 0;
}

bool ReadChar(std::string_view text, size_t& pos, char c) {
  if (pos < text.size() && text[pos] == c) {
    ++pos;
    return true;
  }
  return false;
}

// "yyyy-mm-dd", "yyyy-mm-dd hh:nn[:ss[.zzz]]" or "hh:nn[:ss[.zzz]]" (the form
// DateTimeToText writes) to days since 1899-12-30.
}  // namespace

double TextToDateTime(const std::string& original) {
  const std::string text = Trim(original);
  auto fail = [&original]() -> double {
    throw EConvertError(Format("'%s' is not a valid date and time", original.c_str()));
  };
  size_t pos = 0;
  int64_t days = 0;
  bool has_date = text.find('-') != std::string::npos;
  if (has_date) {
    int y, m, d;
    if (!ReadNumber(text, pos, 4, &y) || !ReadChar(text, pos, '-') ||
        !ReadNumber(text, pos, 2, &m) || !ReadChar(text, pos, '-') ||
        !ReadNumber(text, pos, 2, &d)) {
      return fail();
    }
    if (y < 1 || m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m)) return fail();
    // Day 0 of the scale, 1899-12-30, is day -25569 since 1970-01-01.
    days = DaysFromCivil(y, static_cast<unsigned>(m), static_cast<unsigned>(d)) - kDateTimeEpoch;
    if (pos == text.size()) return static_cast<double>(days);
    if (text[pos] != ' ') return fail();
    while (pos < text.size() && text[pos] == ' ') ++pos;
  }
  int h, n, s = 0, ms = 0;
  if (!ReadNumber(text, pos, 2, &h) || !ReadChar(text, pos, ':') || !ReadNumber(text, pos, 2, &n)) {
    return fail();
  }
  if (ReadChar(text, pos, ':')) {
    if (!ReadNumber(text, pos, 2, &s)) return fail();
    if (ReadChar(text, pos, '.')) {
      const size_t start = pos;
      if (!ReadNumber(text, pos, 3, &ms) || pos - start != 3) return fail();
    }
  }
  if (pos != text.size() || h > 23 || n > 59 || s > 59) return fail();
  const double time = (((h * 60.0 + n) * 60.0 + s) * 1000.0 + ms) / 86400000.0;
  // Before the scale's day 0 the time of day counts away from zero.
  return days < 0 ? static_cast<double>(days) - time : static_cast<double>(days) + time;
}

std::string DateTimeToText(double days) {
  if (!(days >= kMinDateTime && days < kMaxDateTime)) {
    throw EConvertError(Format("Invalid date-time value: %s", DoubleToText(days).c_str()));
  }
  int64_t whole = static_cast<int64_t>(days);  // toward zero, as the runtime does
  double frac = std::fabs(days - static_cast<double>(whole));
  int64_t ms = static_cast<int64_t>(std::llround(frac * 86400000.0));
  if (ms >= 86400000) ms = 86400000 - 1;
  int64_t y;
  unsigned m, d;
  CivilFromDays(whole + kDateTimeEpoch, y, m, d);
  int64_t hh = ms / 3600000, nn = ms / 60000 % 60, ss = ms / 1000 % 60, zzz = ms % 1000;
  std::string out =
      Format("%04lld-%02u-%02u %02lld:%02lld:%02lld", static_cast<long long>(y), m, d,
             static_cast<long long>(hh), static_cast<long long>(nn), static_cast<long long>(ss));
  if (zzz != 0) out += Format(".%03lld", static_cast<long long>(zzz));
  return out;
}

int64_t RoundToInt64(double v) {
  // 2^63 is exactly representable; everything below it fits.
  if (!(v >= -9223372036854775808.0 && v < 9223372036854775808.0)) {
    throw EConvertError(Format("Invalid floating point operation: %s out of integer range",
                               DoubleToText(v).c_str()));
  }
  double r = std::nearbyint(v);  // default rounding mode: half to even
  if (!(r >= -9223372036854775808.0 && r < 9223372036854775808.0)) {
    throw EConvertError(Format("Invalid floating point operation: %s out of integer range",
                               DoubleToText(v).c_str()));
  }
  return static_cast<int64_t>(r);
}

int64_t TruncToInt64(double v) {
  if (!(v > -9223372036854775809.0 && v < 9223372036854775808.0)) {
    throw EConvertError(Format("Invalid floating point operation: %s out of integer range",
                               DoubleToText(v).c_str()));
  }
  return static_cast<int64_t>(v);
}

int32_t TVariant::AsInteger() const {
  switch (type_) {
    case TVarType::kInteger:
      return u_.i;
    case TVarType::kBoolean:
      return u_.b ? 1 : 0;
    case TVarType::kString:
      return TextToInt32(s_);
    case TVarType::kInt64:
      if (u_.i64 < std::numeric_limits<int32_t>::min() ||
          u_.i64 > std::numeric_limits<int32_t>::max())
        break;
      return static_cast<int32_t>(u_.i64);
    case TVarType::kDouble:
    case TVarType::kDateTime: {
      if (!(u_.d > -2147483649.0 && u_.d < 2147483648.0)) break;
      int64_t r = RoundToInt64(u_.d);
      if (r < std::numeric_limits<int32_t>::min() || r > std::numeric_limits<int32_t>::max()) break;
      return static_cast<int32_t>(r);
    }
    case TVarType::kNull:
      break;
  }
  CannotConvert(type_, TVarType::kInteger);
}

int64_t TVariant::AsInt64() const {
  switch (type_) {
    case TVarType::kInteger:
      return u_.i;
    case TVarType::kInt64:
      return u_.i64;
    case TVarType::kBoolean:
      return u_.b ? 1 : 0;
    case TVarType::kString:
      return TextToInt64(s_);
    case TVarType::kDouble:
    case TVarType::kDateTime:
      if (!(u_.d >= -9223372036854775808.0 && u_.d < 9223372036854775808.0)) break;
      return RoundToInt64(u_.d);
    case TVarType::kNull:
      break;
  }
  CannotConvert(type_, TVarType::kInt64);
}

double TVariant::AsDouble() const {
  switch (type_) {
    case TVarType::kInteger:
      return u_.i;
    case TVarType::kInt64:
      return static_cast<double>(u_.i64);
    case TVarType::kDouble:
    case TVarType::kDateTime:
      return u_.d;
    case TVarType::kBoolean:
      return u_.b ? 1.0 : 0.0;
    case TVarType::kString:
      return TextToDouble(s_);
    case TVarType::kNull:
      break;
  }
  CannotConvert(type_, TVarType::kDouble);
}

bool TVariant::AsBoolean() const {
  switch (type_) {
    case TVarType::kInteger:
      return u_.i != 0;
    case TVarType::kInt64:
      return u_.i64 != 0;
    case TVarType::kDouble:
    case TVarType::kDateTime:
      return u_.d != 0.0;
    case TVarType::kBoolean:
      return u_.b;
    case TVarType::kString: {
      std::string_view t = s_;
      while (!t.empty() && t.front() == ' ') t.remove_prefix(1);
      while (!t.empty() && t.back() == ' ') t.remove_suffix(1);
      if (SameText(t, "true")) return true;
      if (SameText(t, "false")) return false;
      try {
        return TextToDouble(t) != 0.0;
      } catch (const EConvertError&) {
        throw EConvertError(Format("'%s' is not a valid boolean value", s_.c_str()));
      }
    }
    case TVarType::kNull:
      break;
  }
  CannotConvert(type_, TVarType::kBoolean);
}

std::string TVariant::AsString() const {
  switch (type_) {
    case TVarType::kNull:
      return std::string();
    case TVarType::kInteger:
      return std::to_string(u_.i);
    case TVarType::kInt64:
      return std::to_string(u_.i64);
    case TVarType::kDouble:
      return DoubleToText(u_.d);
    case TVarType::kDateTime:
      return DateTimeToText(u_.d);
    case TVarType::kBoolean:
      return u_.b ? "True" : "False";
    case TVarType::kString:
      return s_;
  }
  return std::string();
}

bool operator==(const TVariant& a, const TVariant& b) {
  if (a.type_ != b.type_) return false;
  switch (a.type_) {
    case TVarType::kNull:
      return true;
    case TVarType::kInteger:
      return a.u_.i == b.u_.i;
    case TVarType::kInt64:
      return a.u_.i64 == b.u_.i64;
    case TVarType::kDouble:
    case TVarType::kDateTime:
      return a.u_.d == b.u_.d;
    case TVarType::kBoolean:
      return a.u_.b == b.u_.b;
    case TVarType::kString:
      return a.s_ == b.s_;
  }
  return false;
}

}  // namespace qdf
