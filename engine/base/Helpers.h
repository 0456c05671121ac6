// Small text and number helpers shared by the whole engine. Texts are 8-bit
// strings; case-insensitive operations fold ASCII letters only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace qdf {

// ---- text ----

// ASCII upper-casing (other bytes unchanged).
std::string UpperCase(std::string_view s);
char UpCase(char c);
// Case-insensitive equality and ordering (ASCII letters folded, bytes unsigned).
bool SameText(std::string_view a, std::string_view b);
int CompareText(std::string_view a, std::string_view b);
// Removes leading and trailing blanks and control characters.
std::string Trim(std::string_view s);

// Strict decimal conversion ('-' allowed, "$" prefix for hex); false on
// anything else, including overflow.
bool TryStrToInt64(std::string_view s, int64_t* out);
bool TryStrToInt(std::string_view s, int32_t* out);
// As TryStrToInt, raising EConvertError "'<s>' is not a valid integer value".
int32_t StrToInt(std::string_view s);

// Case-insensitive: text begins with prefix.
bool StartsWithText(std::string_view prefix, std::string_view text);

// head := part of text before the first ch, text := part after it. Without ch:
// head := text and text := empty.
void SplitAt(std::string& text, char ch, std::string& head);

// The n-th field (0-based) of text separated by ch; empty when there are fewer.
std::string Field(std::string_view text, int n, char ch);

// Scans text for runs of digits and returns the n-th run (counting from 1).
// extra1 and extra2 may continue (not start) a run; digits and extra1 are
// copied, extra2 is skipped. '\0' means "no extra character". Empty when there
// are fewer runs.
std::string NthNumber(std::string_view text, int n, char extra1 = '\0', char extra2 = '\0');
// NthNumber without extras, converted; raises EConvertError when there is no
// such run or it does not fit a 32-bit integer.
int32_t NthInteger(std::string_view text, int n);

// ---- numbers ----

// Rounds value to `digits` decimals (digits in -8..8; other counts return the
// value unchanged); halves round away from zero.
double RoundTo(double value, int digits);

// Nine characters: the last is value mod base, the one before the next digit,
// and so on; each digit is alphabet[digit]. base = base_minus_1 + 1. Raises
// EConvertError for a negative value or an alphabet shorter than base.
std::string EncodeBase(std::string_view alphabet, int base_minus_1, int64_t value);

// Case-sensitive pattern match: '%' any run of characters, '_' exactly one.
// A literal segment after '%' is searched at its first occurrence only; one
// after '_' or at the start (without '%') must stand exactly at the current
// position; text left over after the last segment is ignored. An empty pattern
// matches only the empty text; the empty text matches exactly the patterns
// that begin with '%' (and the empty pattern).
bool Like(std::string_view text, std::string_view pattern);

// ---- versions ----

// "a.b.c.d" -> a*10000000 + b*100000 + c*1000 + d (a, b, c in 0..99, d in
// 0..999; empty parts count 0). Raises EConvertError "Illegal Version String: %s"
// for a part out of range and the integer conversion error for a non-number.
int32_t VersionToInt(std::string_view text);
// The inverse of VersionToInt: 10203004 -> "1.2.3.4".
std::string IntToVersion(int32_t value);

// Frees the object and clears the owner.
template <typename T>
void FreeAndNilRef(std::unique_ptr<T>& ref) {
  ref.reset();
}

}  // namespace qdf
