// Where the page table keeps the entry of a page, and the entry's bytes.
#include <gtest/gtest.h>

#include "file/FileFormat.h"

namespace qdf {
namespace {

TEST(FileFormat, PageTableCoordinates) {
  struct TCase {
    uint32_t page;
    int level;
    uint32_t table_page;
    int slot;
  };
  const TCase cases[] = {
      {1, -1, 0, 0},
      {639, -1, 0, 638},
      {641, -1, 640, 0},
      {1000, -1, 640, 359},
      {409600, 0, 409598, 0},
      {640, 0, 0xFFFFFFFEu, 1},  // level-0 tables live in level-1 blocks
      {409598, 1, 0xFFFFFFFDu, 1},
      {262143997, 2, kTopPage, 1},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.page);
    const auto at = LocateEntry(c.page);
    EXPECT_EQ(at.level, c.level);
    EXPECT_EQ(at.table_page, c.table_page);
    EXPECT_EQ(at.slot, c.slot);
  }
  // The four anchored in the header.
  const uint32_t anchored[] = {0, 0xFFFFFFFEu, 0xFFFFFFFDu, kTopPage};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(LocateEntry(anchored[i]).root_index, i);
}

TEST(FileFormat, ReservedNumbersAreSkipped) {
  EXPECT_EQ(SkipReservedPages(409599), 409599u);
  EXPECT_EQ(SkipReservedPages(262143997), 262143999u);  // level-2 and level-1 blocks
  for (uint64_t n = 1; n < 2000000; ++n) {
    uint64_t m = SkipReservedPages(n);
    ASSERT_FALSE(IsTablePage(static_cast<uint32_t>(m))) << n;
    ASSERT_LE(m, n + 2) << n;
  }
}

TEST(FileFormat, EntriesRoundTripWithSixtyFourBitPositions) {
  uint8_t raw[12];
  TPageEntry e{0x123456789A00LL, 7, kEntryCompressed | kEntryCarried, 0xDEADBEEF};
  EncodeEntry(raw, e);
  EXPECT_EQ(DecodeEntry(raw), e);
  TPageEntry plain{512, 16, 0, 2};
  EncodeEntry(raw, plain);
  EXPECT_EQ(LoadU32(raw), 512u | 15u);
  EXPECT_EQ(DecodeEntry(raw).StoredSize(), 8192);
}

}  // namespace
}  // namespace qdf
