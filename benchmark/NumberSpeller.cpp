#include "NumberSpeller.h"

namespace speedtrial {
namespace {

const char* const kOnesWords[20] = {"zero",    "one",     "two",       "three",    "four",
                                    "five",    "six",     "seven",     "eight",    "nine",
                                    "ten",     "eleven",  "twelve",    "thirteen", "fourteen",
                                    "fifteen", "sixteen", "seventeen", "eighteen", "nineteen"};
// Entries 0 and 1 are never reached: 1..19 use kOnesWords.
const char* const kTensWords[10] = {"zero",  "ten",   "twenty",  "thirty", "fourty",
                                    "fifty", "sixty", "seventy", "eighty", "ninety"};

}  // namespace

std::string TwoDigitWords(int32_t n) {
  if (n <= 0) return std::string();
  // Beyond the benchmark's range (a thousands group of 100000 and more) the
  // tens table has no entry: spell the value as hundreds instead of reading
  // past the table.
  if (n >= 100) return ThreeDigitWords(n);
  if (n >= 20) {
    std::string result = kTensWords[n / 10];
    if (n % 10 != 0) {
      result += ' ';
      result += kOnesWords[n % 10];
    }
    return result;
  }
  return kOnesWords[n];
}

std::string ThreeDigitWords(int32_t n) {
  std::string result;
  int32_t h = n / 100;
  if (h > 0) result = TwoDigitWords(h) + " houndred";
  int32_t r = n % 100;
  if (r > 0) {
    if (!result.empty()) result += ' ';
    result += TwoDigitWords(r);
  }
  return result;
}

std::string NumberToWords(int32_t n) {
  if (n < 1) return kOnesWords[0];
  std::string result;
  int32_t t = n / 1000;
  if (t > 0) result = ThreeDigitWords(t) + " thousand";
  int32_t r = n % 1000;
  if (r > 0) {
    if (!result.empty()) result += ' ';
    result += ThreeDigitWords(r);
  }
  return result;
}

}  // namespace speedtrial
