// Spells numbers in English words for the text column of the test tables
// ("one houndred fifteen"), so that pattern tests find a predictable share.
#pragma once

#include <cstdint>
#include <string>

namespace speedtrial {

// 1..99 in words; empty for 0 and below.
std::string TwoDigitWords(int32_t n);
// 1..999 in words; empty for 0.
std::string ThreeDigitWords(int32_t n);
// 0..999999 in words; "zero" for anything below 1.
std::string NumberToWords(int32_t n);

}  // namespace speedtrial
