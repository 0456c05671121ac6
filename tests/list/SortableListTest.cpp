#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/ItemArea.h"
#include "base/QdfException.h"
#include "file/FileFormat.h"
#include "list/ListTestUtil.h"
#include "list/SortableList.h"

namespace qdf {
namespace {

// Items: length word, a u32 sort value, then filler up to the item's size.
uint32_t ValueOf(const uint8_t* item) { return LoadU32(item + 2); }

int CompareValues(void*, const uint8_t* item, const uint8_t* key) {
  const uint32_t a = ValueOf(item), b = ValueOf(key);
  return a < b ? -1 : a > b ? 1 : 0;
}

void Append(TQdfSortableList& list, uint32_t value, int size) {
  TItemAdr adr;
  uint8_t* item = list.AppendItem(size, &adr);
  StoreU32(item + 2, value);
  std::memset(item + 6, static_cast<int>(value & 0xFF), static_cast<size_t>(size - 6));
}

std::vector<uint32_t> Walk(TQdfSortableList& list) {
  std::vector<uint32_t> values;
  TItemAdr adr = kBeforeFirstAdr;
  while (const uint8_t* item = list.NextItem(adr)) values.push_back(ValueOf(item));
  return values;
}

TEST(SortableList, SortsInPlaceNeedsARoutineAndHandlesEmptyPagesAndFreeSlots) {
  qdf_test::TListFixture fx;
  auto list = fx.New<TQdfSortableList>();
  for (uint32_t v : {42u, 7u}) Append(*list, v, 20);
  EXPECT_THROW(list->Sort(), EAssertionFailed);
  list->SetCompare(nullptr, CompareValues);
  const uint32_t first = list->PageListHeader()->FirstPg();
  for (uint32_t v : {99u, 3u, 42u}) Append(*list, v, 20);
  list->Sort();
  EXPECT_EQ(Walk(*list), (std::vector<uint32_t>{3, 7, 42, 42, 99}));
  EXPECT_EQ(list->PageListHeader()->FirstPg(), first);  // sorted in place
  EXPECT_EQ(list->PageListHeader()->CountPg(), 1);

  std::vector<uint32_t> values = Walk(*list);
  for (uint32_t i = 0; i < 400; ++i) {
    const uint32_t v = (i * 7919) % 1000;
    Append(*list, v, 100);
    values.push_back(v);
  }
  ASSERT_GT(list->PageListHeader()->CountPg(), 3);
  TQdfPageReader* r = fx.Reader();
  // Empty the second page item by item (its slots go, the page stays), and
  // leave a free slot on the first page.
  const uint32_t second = LoadU32(r->GetPage(first, kGpRead) + kPgNext);
  {
    TItemArea area = TItemArea::OfPage(r->EditPage(second));
    while (area.SlotCount() > 0) {
      values.erase(std::find(values.begin(), values.end(), ValueOf(area.ItemAt(0))));
      area.DeleteSlot(0);
    }
    TItemArea head = TItemArea::OfPage(r->EditPage(first));
    values.erase(std::find(values.begin(), values.end(), ValueOf(head.ItemAt(1))));
    head.FreeItem(1);
  }
  list->Sort();
  std::sort(values.begin(), values.end());
  EXPECT_EQ(Walk(*list), values);
  EXPECT_EQ(list->Count(), static_cast<int64_t>(values.size()));
  qdf_test::CheckChain(*list, r);
}

}  // namespace
}  // namespace qdf
