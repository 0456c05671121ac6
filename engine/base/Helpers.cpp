#include "base/Helpers.h"

#include <atomic>
#include <cmath>
#include <limits>

#include "base/QdfException.h"

namespace qdf {

char UpCase(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

std::string UpperCase(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = UpCase(c);
  return out;
}

int CompareText(std::string_view a, std::string_view b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    auto ca = static_cast<unsigned char>(UpCase(a[i]));
    auto cb = static_cast<unsigned char>(UpCase(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CompareText(a, b) == 0;
}

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return std::string(s.substr(b, e - b));
}

bool TryStrToInt64(std::string_view s, int64_t* out) {
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;  // leading blanks are tolerated
  bool neg = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
  bool hex = false;
  if (i < s.size() && s[i] == '$') {
    hex = true;
    ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= s.size()) return false;
  uint64_t v = 0;
  const uint64_t limit = neg ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  for (; i < s.size(); ++i) {
    unsigned d;
    char c = s[i];
    if (c >= '0' && c <= '9') {
      d = static_cast<unsigned>(c - '0');
    } else if (hex && UpCase(c) >= 'A' && UpCase(c) <= 'F') {
      d = static_cast<unsigned>(UpCase(c) - 'A' + 10);
    } else {
      return false;
    }
    uint64_t base = hex ? 16 : 10;
    if (v > (limit - d) / base) return false;
    v = v * base + d;
  }
  *out = neg ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
  return true;
}

bool TryStrToInt(std::string_view s, int32_t* out) {
  int64_t v;
  if (!TryStrToInt64(s, &v) || v < std::numeric_limits<int32_t>::min() ||
      v > std::numeric_limits<int32_t>::max()) {
    return false;
  }
  *out = static_cast<int32_t>(v);
  return true;
}

int32_t StrToInt(std::string_view s) {
  int32_t v;
  if (!TryStrToInt(s, &v)) {
    throw EConvertError(
        Format("'%.*s' is not a valid integer value", static_cast<int>(s.size()), s.data()));
  }
  return v;
}

bool StartsWithText(std::string_view prefix, std::string_view text) {
  return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

void SplitAt(std::string& text, char ch, std::string& head) {
  size_t p = text.find(ch);
  if (p == std::string::npos) {
    head = std::move(text);
    text.clear();
    return;
  }
  std::string rest = text.substr(p + 1);
  head = text.substr(0, p);
  text = std::move(rest);
}

std::string Field(std::string_view text, int n, char ch) {
  if (n < 0) return std::string();
  size_t start = 0;
  for (int i = 0; i < n; ++i) {
    size_t p = text.find(ch, start);
    if (p == std::string_view::npos) return std::string();
    start = p + 1;
  }
  size_t end = text.find(ch, start);
  return std::string(text.substr(start, end == std::string_view::npos ? end : end - start));
}

std::string NthNumber(std::string_view text, int n, char extra1, char extra2) {
  auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  int run = 0;
  size_t i = 0;
  while (i < text.size()) {
    if (!is_digit(text[i])) {
      ++i;
      continue;
    }
    ++run;
    std::string out;
    while (i < text.size()) {
      char c = text[i];
      if (is_digit(c) || (extra1 != '\0' && c == extra1)) {
        out.push_back(c);
      } else if (!(extra2 != '\0' && c == extra2)) {
        break;
      }
      ++i;
    }
    if (run == n) return out;
  }
  return std::string();
}

int32_t NthInteger(std::string_view text, int n) { return StrToInt(NthNumber(text, n)); }

double RoundTo(double value, int digits) {
  static constexpr double kPowers[17] = {1e-8, 1e-7, 1e-6, 1e-5, 1e-4, 1e-3, 1e-2, 1e-1, 1e0,
                                         1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8};
  if (digits < -8 || digits > 8) return value;
  double m = kPowers[digits + 8];
  double x = value * m;
  // From 2^52 on a double has no fraction left to round, and the product of
  // a huge value may overflow to infinity: the value stays as it is.
  if (!(std::fabs(x) < 4503599627370496.0)) return value;
  double whole = std::trunc(x);
  return (whole + std::trunc(2.0 * (x - whole))) / m;
}

std::string EncodeBase(std::string_view alphabet, int base_minus_1, int64_t value) {
  int64_t base = int64_t{base_minus_1} + 1;
  if (base < 2 || static_cast<int64_t>(alphabet.size()) < base) {
    throw EConvertError(Format("EncodeBase: alphabet of %zu characters for base %lld",
                               alphabet.size(), static_cast<long long>(base)));
  }
  if (value < 0) {
    throw EConvertError(Format("EncodeBase: negative value %lld", static_cast<long long>(value)));
  }
  std::string out(9, alphabet[0]);
  for (int i = 8; i >= 0; --i) {
    out[static_cast<size_t>(i)] = alphabet[static_cast<size_t>(value % base)];
    value /= base;
  }
  return out;
}

bool Like(std::string_view text, std::string_view pattern) {
  if (pattern.empty()) return text.empty();
  if (text.empty()) return pattern[0] == '%';
  size_t t = 0;  // position in text
  size_t p = 0;  // position in pattern
  bool floating = false;
  while (p < pattern.size()) {
    char c = pattern[p];
    if (c == '%') {
      floating = true;
      ++p;
      continue;
    }
    if (c == '_') {
      if (t >= text.size()) return false;
      ++t;
      ++p;
      floating = false;
      continue;
    }
    size_t seg_end = pattern.find_first_of("%_", p);
    if (seg_end == std::string_view::npos) seg_end = pattern.size();
    std::string_view seg = pattern.substr(p, seg_end - p);
    if (floating) {
      size_t at = text.find(seg, t);
      if (at == std::string_view::npos) return false;
      t = at + seg.size();
    } else {
      if (text.substr(t, seg.size()) != seg) return false;
      t += seg.size();
    }
    floating = false;
    p = seg_end;
  }
  return true;
}

int32_t VersionToInt(std::string_view text) {
  static constexpr int32_t kWeights[4] = {10000000, 100000, 1000, 1};
  static constexpr int32_t kMax[4] = {99, 99, 99, 999};
  std::string rest(text);
  int32_t result = 0;
  for (int i = 0; i < 4; ++i) {
    std::string part;
    if (i < 3) {
      SplitAt(rest, '.', part);
    } else {
      part = std::move(rest);
    }
    int32_t v = part.empty() ? 0 : StrToInt(part);
    if (v < 0 || v > kMax[i]) {
      throw EConvertError(
          Format("Illegal Version String: %.*s", static_cast<int>(text.size()), text.data()));
    }
    result += v * kWeights[i];
  }
  return result;
}

std::string IntToVersion(int32_t value) {
  int32_t d = value % 1000;
  int32_t c = (value / 1000) % 100;
  int32_t b = (value / 100000) % 100;
  int32_t a = (value / 10000000) % 100;
  return Format("%d.%d.%d.%d", a, b, c, d);
}

}  // namespace qdf
