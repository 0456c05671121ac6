#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "EnvSize.h"
#include "ErrorText.h"
#include "base/QdfException.h"
#include "file/FileFormat.h"
#include "list/ItemList.h"
#include "list/ListTestUtil.h"

namespace qdf {
namespace {

// Items carry a 4-byte id after their length word.
uint32_t IdOf(const uint8_t* item) { return LoadU32(item + 2); }

TItemAdr AppendId(TQdfItemList& list, uint32_t id, int size) {
  TItemAdr adr;
  uint8_t* item = list.AppendItem(size, &adr);
  StoreU32(item + 2, id);
  return adr;
}

std::vector<uint32_t> WalkForward(TQdfItemList& list) {
  std::vector<uint32_t> ids;
  TItemAdr adr = kBeforeFirstAdr;
  while (const uint8_t* item = list.NextItem(adr)) ids.push_back(IdOf(item));
  EXPECT_TRUE(adr.IsNull());
  EXPECT_TRUE(list.Eof());
  return ids;
}

std::vector<uint32_t> WalkBackward(TQdfItemList& list) {
  std::vector<uint32_t> ids;
  TItemAdr adr = kNullAdr;
  while (const uint8_t* item = list.PriorItem(adr)) ids.push_back(IdOf(item));
  EXPECT_EQ(adr, kBeforeFirstAdr);
  EXPECT_TRUE(list.Bof());
  return ids;
}

TEST(ItemList, BadAddressesRaiseAndWalksAgreeWithAModelAfterRandomAppendsAndDeletes) {
  qdf_test::TListFixture fx;
  auto list = fx.New<TQdfItemList>();
  TItemAdr adr;
  const int updates = list->ItemListHeader()->UpdateCount();
  TItemAdr first = AppendId(*list, 7, 40);
  EXPECT_EQ(list->ItemListHeader()->UpdateCount(), updates + 1);  // every CountIt change counts
  EXPECT_QDF_ERROR(list->EditItem(TItemAdr{first.page, 5}),
                   Format("Access Violation at (%u:5)", first.page));
  EXPECT_THROW(list->AppendItem(9000, &adr), EQdfException);
  // An address of a damaged file that names a page without an item area.
  uint32_t blank = 0;
  fx.Reader()->AllocatePage(blank);  // zero-filled: no owner, no item area
  EXPECT_QDF_ERROR(
      list->EditItem(TItemAdr{blank, 0}),
      Format("Access Violation at (%u:0): not an item page of ", blank) + list->ObjectName());
  EXPECT_EQ(IdOf(list->GetItem(first)), 7u);

  // Random appends and deletes.
  std::mt19937 rng(42);
  std::vector<uint32_t> model = {7};
  uint32_t next_id = 8;
  const long steps = qdf_test::EnvSize("QDF_RANDOM_STEPS", 1500);
  for (int step = 0; step < steps; ++step) {
    if (model.empty() || rng() % 3 != 0) {
      AppendId(*list, next_id, 6 + static_cast<int>(rng() % 700));
      model.push_back(next_id++);
    } else {
      // Delete a random live item, found by walking to it.
      const uint32_t victim = model[rng() % model.size()];
      TItemAdr adr = kBeforeFirstAdr;
      while (const uint8_t* item = list->NextItem(adr)) {
        if (IdOf(item) == victim) break;
      }
      ASSERT_FALSE(adr.IsNull());
      list->DeleteItem(adr);
      model.erase(std::find(model.begin(), model.end(), victim));
    }
    if (step % 100 == 0) {
      ASSERT_EQ(WalkForward(*list), model);
      qdf_test::CheckChain(*list, fx.Reader());
    }
  }
  EXPECT_EQ(WalkForward(*list), model);
  EXPECT_EQ(WalkBackward(*list), std::vector<uint32_t>(model.rbegin(), model.rend()));
  EXPECT_EQ(list->Count(), static_cast<int64_t>(model.size()));

  // The cursor walks the same way and deletes as it goes.
  list->First();
  size_t seen = 0;
  while (list->Cursor().Item() != nullptr) {
    ASSERT_EQ(IdOf(list->Cursor().Item()), model[seen++]);
    list->Next();
  }
  EXPECT_EQ(seen, model.size());
  list->First();
  while (list->Cursor().Item() != nullptr) list->DeleteCurrent();
  EXPECT_EQ(list->Count(), 0);
  EXPECT_EQ(list->PageListHeader()->CountPg(), 0);
  EXPECT_EQ(list->PageListHeader()->FirstPg(), kNoPage);
  // Walks over the empty list end at once, where they should.
  EXPECT_TRUE(WalkForward(*list).empty());
  EXPECT_TRUE(WalkBackward(*list).empty());
}

}  // namespace
}  // namespace qdf
