#include <gtest/gtest.h>

#include <tuple>

#include "BaseTestUtil.h"
#include "base/DynamicByteArray.h"
#include "base/Helpers.h"
#include "base/ItemAdr.h"
#include "base/QdfException.h"

namespace qdf {
namespace {

using qdf_test::TextOf;

TEST(Version, ConvertsBothWaysAndRejectsOutOfRangeParts) {
  EXPECT_EQ(VersionToInt("1.2.3.4"), 10203004);
  EXPECT_EQ(IntToVersion(10203004), "1.2.3.4");
  EXPECT_EQ(VersionToInt("1..3"), 10003000);  // an empty part counts 0
  EXPECT_EQ(VersionToInt("99.99.99.999"), 999999999);
  EXPECT_EQ(IntToVersion(999999999), "99.99.99.999");
  for (const char* bad : {"100.0.0.0", "1.2.3.1000", "1.100.0.0", "-1.0.0.0"})
    EXPECT_EQ(TextOf<EConvertError>([&] { VersionToInt(bad); }),
              std::string("Illegal Version String: ") + bad);
  EXPECT_THROW(VersionToInt("1.x.3.4"), EConvertError);
  EXPECT_THROW(VersionToInt("1.2.3.4.5"), EConvertError);  // "4.5" is no number
}

TEST(Like, FollowsFirstOccurrenceMatching) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      // text, pattern, match
      {"abc", "a%", true},
      {"abcd", "abc", true},  // text left over is ignored
      {"ab", "a_c", false},
      {"xaXb", "%a%b", true},
      {"aab", "%ab", true},
      {"ab", "ab%b", false},
      {"", "%x", true},
      {"", "", true},
      {"a", "", false},
      {"", "a", false},
      {"", "_", false},
      {"one houndred fifty two", "%fifty%", true},
      {"one houndred fifteen", "%fifty%", false},
      {"Fifty", "%fifty%", false},  // case-sensitive
      {"abc", "_b_", true},
      {"a", "a_", false},  // '_' needs a character
      // Only the first occurrence after '%' is tried.
      {"abxaxc", "%a_c", false},
      {"axc", "%a_c", true},
  };
  for (const auto& [text, pattern, match] : cases)
    EXPECT_EQ(Like(text, pattern), match) << text << " / " << pattern;
}

TEST(TextHelpers, SplitFieldNumbersAndItemAddresses) {
  std::string text = "alias=file.qdf";
  std::string head;
  SplitAt(text, '=', head);
  EXPECT_EQ(head, "alias");
  EXPECT_EQ(text, "file.qdf");
  SplitAt(text, '=', head);
  EXPECT_EQ(head, "file.qdf");
  EXPECT_EQ(text, "");

  EXPECT_EQ(Field("a;b;;d", 2, ';'), "");
  EXPECT_EQ(Field("a;b;;d", 3, ';'), "d");
  EXPECT_EQ(Field("a;b;;d", 4, ';'), "");

  EXPECT_EQ(NthNumber("v 1.25 and 7", 1, '.'), "1.25");
  EXPECT_EQ(NthNumber("v 1.25 and 7", 2, '.'), "7");
  EXPECT_EQ(NthNumber("v 1.25 and 7", 2), "25");
  EXPECT_EQ(NthNumber("1,234,567", 1, '\0', ','), "1234567");  // extra2 is skipped
  EXPECT_EQ(NthNumber(".5", 1, '.'), "5");                     // an extra never starts a run
  EXPECT_EQ(NthInteger("-5", 1), 5);
  EXPECT_THROW(NthInteger("99999999999", 1), EConvertError);
  EXPECT_THROW(NthInteger("none", 1), EConvertError);

  EXPECT_FALSE(StartsWithText("server1", "server"));
  EXPECT_EQ(Trim("  x y \t"), "x y");
  // A long message is not cut.
  EXPECT_EQ(Format("%s!", std::string(1000, 'x').c_str()).size(), 1001u);
  // Item addresses as text.
  EXPECT_EQ(AdrToText(TItemAdr{12, 3}), "(12:3)");
  EXPECT_EQ(AdrToText(kNullAdr), "(4294967295:0)");
  EXPECT_EQ(TextToAdr("12:3"), (TItemAdr{12, 3}));
  EXPECT_THROW(TextToAdr("(12:3)"), EConvertError);  // parentheses are not stripped
  EXPECT_THROW(TextToAdr("12"), EConvertError);
  EXPECT_THROW(TextToAdr("1:70000"), EConvertError);
}

TEST(NumberHelpers, RoundToEncodeBaseAndBitSets) {
  EXPECT_DOUBLE_EQ(RoundTo(2.5, 0), 3.0);
  EXPECT_DOUBLE_EQ(RoundTo(-2.5, 0), -3.0);
  EXPECT_DOUBLE_EQ(RoundTo(1.2345, 2), 1.23);
  EXPECT_DOUBLE_EQ(RoundTo(1250, -2), 1300);
  EXPECT_DOUBLE_EQ(RoundTo(1.23456, 9), 1.23456);  // outside -8..8: unchanged
  // EncodeBase gives nine digits.
  const std::string alphabet = "0123456789ABCDEF";
  EXPECT_EQ(EncodeBase(alphabet, 15, 255), "0000000FF");
  EXPECT_EQ(EncodeBase(alphabet, 9, 1234567890), "234567890");  // high digits dropped
  EXPECT_THROW(EncodeBase("01", 15, 5), EConvertError);
  EXPECT_THROW(EncodeBase(alphabet, 15, -1), EConvertError);
  // Bit sets.
  TDynamicByteArray bits;
  SetBitCount(bits, 17);
  ASSERT_EQ(bits.size(), 3u);
  for (int bit : {0, 9, 16, 24}) SetBit(bits, bit, true);  // 24 is beyond the array: ignored
  EXPECT_EQ(bits[1], 0x02);
  EXPECT_TRUE(TestBit(bits, 9));
  EXPECT_FALSE(TestBit(bits, 24));
  EXPECT_FALSE(TestBit(bits, 0, 9));  // high index 0 hides byte 1
  SetBit(bits, 9, false);
  EXPECT_FALSE(TestBit(bits, 9));

  TDynamicByteArray more;
  SetBitCount(more, 8);
  SetBit(more, 3, true);
  OrBits(bits, more);
  EXPECT_EQ(bits[0], 0x09);
  EXPECT_EQ(bits[2], 0x01);
}

}  // namespace
}  // namespace qdf
