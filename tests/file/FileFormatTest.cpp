#include <gtest/gtest.h>

#include "file/FileFormat.h"

namespace qdf {
namespace {

TEST(FileFormat, PageTableCoordinates) {
  auto at = [](uint32_t n) { return LocateEntry(n); };
  EXPECT_EQ(at(1).table_page, 0u);
  EXPECT_EQ(at(1).slot, 0);
  EXPECT_EQ(at(639).slot, 638);
  EXPECT_EQ(at(641).table_page, 640u);
  EXPECT_EQ(at(641).slot, 0);
  EXPECT_EQ(at(1000).table_page, 640u);
  EXPECT_EQ(at(1000).slot, 359);
  EXPECT_EQ(at(1000).level, -1);
  // Level-0 tables live in level-1 blocks.
  EXPECT_EQ(at(640).level, 0);
  EXPECT_EQ(at(640).table_page, 0xFFFFFFFEu);
  EXPECT_EQ(at(640).slot, 1);
  EXPECT_EQ(at(409600).table_page, 409598u);
  EXPECT_EQ(at(409600).slot, 0);
  // Level-1 tables live in level-2 blocks.
  EXPECT_EQ(at(409598).level, 1);
  EXPECT_EQ(at(409598).table_page, 0xFFFFFFFDu);
  EXPECT_EQ(at(409598).slot, 1);
  // Level-2 tables live in the top block.
  EXPECT_EQ(at(262143997).level, 2);
  EXPECT_EQ(at(262143997).table_page, kTopPage);
  EXPECT_EQ(at(262143997).slot, 1);
  // The four anchored in the header.
  EXPECT_EQ(at(0).root_index, 0);
  EXPECT_EQ(at(0xFFFFFFFEu).root_index, 1);
  EXPECT_EQ(at(0xFFFFFFFDu).root_index, 2);
  EXPECT_EQ(at(kTopPage).root_index, 3);
  EXPECT_EQ(at(kTopPage).level, 3);
}

TEST(FileFormat, ReservedNumbersAreSkipped) {
  EXPECT_EQ(SkipReservedPages(639), 639u);
  EXPECT_EQ(SkipReservedPages(640), 641u);
  EXPECT_EQ(SkipReservedPages(409598), 409599u);
  EXPECT_EQ(SkipReservedPages(409599), 409599u);
  EXPECT_EQ(SkipReservedPages(409600), 409601u);
  EXPECT_EQ(SkipReservedPages(262143997), 262143999u);  // level-2 and level-1 blocks
  EXPECT_EQ(SkipReservedPages(262144000), 262144001u);
  for (uint64_t n = 1; n < 2000000; ++n) {
    uint64_t m = SkipReservedPages(n);
    ASSERT_FALSE(IsTablePage(static_cast<uint32_t>(m))) << n;
  }
}

TEST(FileFormat, EntriesRoundTripWithSixtyFourBitPositions) {
  uint8_t raw[12];
  TPageEntry e{0x123456789A00LL, 7, kEntryCompressed | kEntryCarried, 0xDEADBEEF};
  EncodeEntry(raw, e);
  uint32_t code = 0;
  EXPECT_EQ(DecodeEntry(raw, &code), e);
  EXPECT_EQ(code, 6u);
  EXPECT_EQ(LoadU32(raw) & 0x3F, 6u);
  EXPECT_EQ(LoadU32(raw + 4), 0x1234u);
  TPageEntry plain{512, 16, 0, 2};
  EncodeEntry(raw, plain);
  EXPECT_EQ(LoadU32(raw), 512u | 15u);
  EXPECT_EQ(DecodeEntry(raw).StoredSize(), 8192);
}

}  // namespace
}  // namespace qdf
