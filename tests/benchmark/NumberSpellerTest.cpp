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

}  // namespace
}  // namespace speedtrial
