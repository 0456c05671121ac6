#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
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

int CompareValues(void* context, const uint8_t* item, const uint8_t* key) {
  if (context != nullptr) ++*static_cast<int64_t*>(context);
  const uint32_t a = ValueOf(item), b = ValueOf(key);
  return a < b ? -1 : a > b ? 1 : 0;
}

void Append(TQdfSortableList& list, uint32_t value, int size) {
  TItemAdr adr;
  uint8_t* item = list.AppendItem(size, &adr);
  StoreU32(item + 2, value);
  std::memset(item + 6, static_cast<int>(value & 0xFF), static_cast<size_t>(size - 6));
}

struct TWalk {
  std::vector<uint32_t> values;
  bool fillers_intact = true;
};

TWalk Walk(TQdfSortableList& list) {
  TWalk w;
  TItemAdr adr = kBeforeFirstAdr;
  while (const uint8_t* item = list.NextItem(adr)) {
    w.values.push_back(ValueOf(item));
    for (int i = 6; i < LoadU16(item); ++i) {
      if (item[i] != (ValueOf(item) & 0xFF)) w.fillers_intact = false;
    }
  }
  return w;
}

TEST(SortableList, TinyChainsSortInPlaceAndSortingNeedsARoutine) {
  qdf_test::TListFixture fx;
  auto list = fx.New<TQdfSortableList>();
  for (uint32_t v : {42u, 7u}) Append(*list, v, 20);
  EXPECT_THROW(list->Sort(), EAssertionFailed);
  list->SetCompare(nullptr, CompareValues);
  const uint32_t first = list->PageListHeader()->FirstPg();
  for (uint32_t v : {99u, 3u, 42u}) Append(*list, v, 20);
  list->Sort();
  EXPECT_EQ(Walk(*list).values, (std::vector<uint32_t>{3, 7, 42, 42, 99}));
  EXPECT_EQ(list->PageListHeader()->FirstPg(), first);  // sorted in place
  EXPECT_EQ(list->PageListHeader()->CountPg(), 1);
}

// Enough data for more than 16 runs of 256 KB, so that the runs are merged
// in two rounds; item sizes vary, and values repeat.
TEST(SortableList, ManyRunsMergeIntoOneOrderedChain) {
  qdf_test::TListFixture fx;
  auto list = fx.New<TQdfSortableList>();
  int64_t compares = 0;
  list->SetCompare(&compares, CompareValues);
  std::mt19937 rng(1);
  std::vector<uint32_t> values;
  int64_t bytes = 0;
  while (bytes < 18 * int64_t{TQdfSortableList::kSortWorkArea}) {
    const uint32_t v = std::uniform_int_distribution<uint32_t>(0, 50000)(rng);
    const int size = std::uniform_int_distribution<int>(8, 700)(rng);
    Append(*list, v, size);
    values.push_back(v);
    bytes += size + 4;
  }
  // A few very large items and pages left empty by deletes on the way.
  Append(*list, 7, list->MaxItemSize());
  values.push_back(7);
  Append(*list, 8, 8000);
  values.push_back(8);
  const int32_t pages_before = list->PageListHeader()->CountPg();
  list->Sort();
  std::sort(values.begin(), values.end());
  const TWalk w = Walk(*list);
  EXPECT_EQ(w.values, values);
  EXPECT_TRUE(w.fillers_intact);
  EXPECT_EQ(list->Count(), static_cast<int64_t>(values.size()));
  qdf_test::CheckChain(*list, fx.Reader());
  // The output pages are filled: no more pages than before.
  EXPECT_LE(list->PageListHeader()->CountPg(), pages_before);
  EXPECT_GT(compares, static_cast<int64_t>(values.size()));

  // Sorting a sorted chain keeps it as it is.
  list->Sort();
  EXPECT_EQ(Walk(*list).values, values);
  qdf_test::CheckChain(*list, fx.Reader());
}

TEST(SortableList, EmptyPagesAndFreeSlotsAreHandled) {
  qdf_test::TListFixture fx;
  auto list = fx.New<TQdfSortableList>();
  list->SetCompare(nullptr, CompareValues);
  std::vector<uint32_t> values;
  for (uint32_t i = 0; i < 400; ++i) {
    const uint32_t v = (i * 7919) % 1000;
    Append(*list, v, 100);
    values.push_back(v);
  }
  ASSERT_GT(list->PageListHeader()->CountPg(), 3);
  TQdfPageReader* r = fx.Reader();
  // Empty the second page item by item (its slots go, the page stays), and
  // leave a free slot on the first page.
  const uint32_t first = list->PageListHeader()->FirstPg();
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
  EXPECT_EQ(Walk(*list).values, values);
  EXPECT_EQ(list->Count(), static_cast<int64_t>(values.size()));
  qdf_test::CheckChain(*list, r);
}

}  // namespace
}  // namespace qdf
