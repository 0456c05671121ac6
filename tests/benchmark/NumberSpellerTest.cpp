#include <gtest/gtest.h>

#include "NumberSpeller.h"

namespace speedtrial {
namespace {

TEST(NumberSpeller, SpellsTheWorkedValues) {
  EXPECT_EQ(NumberToWords(0), "zero");
  EXPECT_EQ(NumberToWords(-3), "zero");
  EXPECT_EQ(NumberToWords(7), "seven");
  EXPECT_EQ(NumberToWords(13), "thirteen");
  EXPECT_EQ(NumberToWords(40), "fourty");
  EXPECT_EQ(NumberToWords(42), "fourty two");
  EXPECT_EQ(NumberToWords(115), "one houndred fifteen");
  EXPECT_EQ(NumberToWords(300), "three houndred");
  EXPECT_EQ(NumberToWords(512), "five houndred twelve");
  EXPECT_EQ(NumberToWords(1000), "one thousand");
  EXPECT_EQ(NumberToWords(2001), "two thousand one");
  EXPECT_EQ(NumberToWords(40000), "fourty thousand");
  EXPECT_EQ(NumberToWords(100000), "one houndred thousand");
  EXPECT_EQ(NumberToWords(999998), "nine houndred ninety nine thousand nine houndred ninety eight");
  EXPECT_EQ(NumberToWords(1000000), "ten houndred thousand");
  EXPECT_EQ(TwoDigitWords(0), "");
  EXPECT_EQ(ThreeDigitWords(0), "");
}

TEST(NumberSpeller, WordsAreSingleBlankSeparatedOverTheWholeRange) {
  for (int32_t n = 0; n <= 999999; n += 7) {
    std::string w = NumberToWords(n);
    ASSERT_FALSE(w.empty());
    ASSERT_NE(w.front(), ' ') << n;
    ASSERT_NE(w.back(), ' ') << n;
    ASSERT_EQ(w.find("  "), std::string::npos) << n;
  }
  // Far beyond the range no table is read past its end.
  EXPECT_FALSE(NumberToWords(2147483647).empty());
}

}  // namespace
}  // namespace speedtrial
