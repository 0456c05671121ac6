#include <gtest/gtest.h>

#include <cstring>

#include "base/ItemArea.h"
#include "base/QdfException.h"
#include "file/FileFormat.h"
#include "list/DataList.h"
#include "list/ListTestUtil.h"
#include "storage/Storage.h"

namespace qdf {
namespace {

// A storage on the fixture's file with one data list under it.
struct TStorageWithList {
  explicit TStorageWithList(qdf_test::TListFixture& fx)
      : storage(fx.CreateStorage()), list(fx.AddList<TQdfDataList>(storage.get(), "records")) {}
  std::unique_ptr<TQdfStorage> storage;
  TQdfDataList* list;  // owned by the storage
};

// Records carry an id (4 bytes) after the 13-byte prefix, then filler.
TItemAdr AddRecord(TQdfDataListBase& list, uint32_t id, int size) {
  TItemAdr adr;
  uint8_t* item = list.AppendItem(size, &adr);
  StoreU32(item + 13, id);
  std::memset(item + 17, static_cast<int>(id & 0xFF), static_cast<size_t>(size - 17));
  return adr;
}

TEST(DataListBase, FreedSpaceIsFoundAgainAlsoInAPageThatWasFull) {
  qdf_test::TListFixture fx;
  TStorageWithList s(fx);
  TQdfDataList& list = *s.list;
  std::vector<TItemAdr> adrs;
  for (uint32_t i = 1; i <= 200; ++i) adrs.push_back(AddRecord(list, i, 400));
  const int pages = list.PageListHeader()->CountPg();
  const uint32_t first_page = adrs[0].page;
  // Empty the (full) first page completely: it stands last in the list of
  // nearly full pages, far from its head.
  for (const TItemAdr& a : adrs) {
    if (a.page == first_page) list.DeleteItem(a);
  }
  const uint8_t* emptied = fx.Reader()->GetPage(first_page, kGpRead);
  EXPECT_EQ(static_cast<int16_t>(LoadU16(emptied + kDpFreeClass)), 6);  // back in a list
  // New records fill the free room (the emptied page among it) before the
  // chain grows.
  int placed_in_emptied = 0;
  for (uint32_t i = 0; list.PageListHeader()->CountPg() == pages; ++i) {
    TItemAdr a = AddRecord(list, 1000 + i, 400);
    if (a.page == first_page) ++placed_in_emptied;
    ASSERT_LT(i, 100u);
  }
  EXPECT_GE(placed_in_emptied, 19);
  // A big record takes a page only when its free bytes really reach its size.
  TItemAdr big = AddRecord(list, 5000, 5000);
  const uint8_t* page = fx.Reader()->GetPage(big.page, kGpRead);
  EXPECT_GE(TItemArea::OfPage(const_cast<uint8_t*>(page)).Available() + 5000 + 2, 5000);
}

TEST(DataList, DamagedStubsRaiseInsteadOfWandering) {
  qdf_test::TListFixture fx;
  TStorageWithList s(fx);
  TQdfDataList& list = *s.list;
  const TItemAdr a = AddRecord(list, 1, 100);
  const TItemAdr b = AddRecord(list, 2, 100);
  // a forwards to a $SPARE address that does not exist.
  uint8_t* item = list.EditItem(a);
  item[2] = kRecForwarded;
  StoreAdr(item + 3, TItemAdr{0x7777, 3});
  EXPECT_THROW(list.GetItem(a), EQdfException);
  // b claims its body in a packed item far outside itself.
  item = list.EditItem(b);
  item[2] = kRecInPacked;
  StoreU16(item + 9, 5000);
  EXPECT_THROW(list.GetItem(b), EQdfException);
}

// A header item that moved to $SPARE and is then rewritten in place must be
// written out with its new content.
TEST(Storage, ForwardedHeaderItemsAreRewrittenDurably) {
  qdf_test::TListFixture fx;
  TItemAdr adr;
  {
    auto storage = fx.CreateStorage();
    std::vector<uint8_t> item(100, 0);
    StoreU16(item.data(), 100);
    storage->WriteHeaderItem(adr, item.data(), 100);
    for (int i = 0; i < 75; ++i) {  // fill its page
      TItemAdr other;
      storage->WriteHeaderItem(other, item.data(), 100);
    }
    std::vector<uint8_t> big(3000, 0x11);
    StoreU16(big.data(), 3000);
    std::memset(big.data() + 2, 0, 11);
    storage->WriteHeaderItem(adr, big.data(), 3000);  // forwarded now
    ASSERT_EQ(storage->EditItem(adr)[2] & 3, kRecForwarded);
    storage->Flush(false);
    fx.Commit();  // the $SPARE page is clean from here on
    big[500] = 0x22;
    storage->WriteHeaderItem(adr, big.data(), 3000);  // same size, in $SPARE
    storage->Flush(false);
    fx.Commit();
  }
  fx.Close();
  fx.Open();
  auto storage = fx.New<TQdfStorage>();
  storage->OpenRootHeader(fx.Reader());
  int size = 0;
  const uint8_t* item = storage->ReadHeaderItem(adr, &size);
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(size, 3000);
  EXPECT_EQ(item[500], 0x22);
  EXPECT_EQ(item[501], 0x11);
}

// A header item whose parent is gone is dropped when the tree loads: no
// object, no address, no item left behind.
TEST(StorageTree, OrphanedHeaderItemsAreDroppedOnLoading) {
  qdf_test::TListFixture fx;
  TItemAdr list_adr, orphan_adr;
  {
    TStorageWithList s(fx);
    list_adr = s.list->Address();
    auto* orphan = fx.AddList<TQdfItemList>(s.storage.get(), "lost");
    orphan->Header()->SetParentAddress(TItemAdr{999, 9});
    orphan->SaveHeader();
    orphan_adr = orphan->Address();
    s.storage->Flush(false);
    fx.Commit();
  }
  auto storage = fx.ReopenStorage();
  ASSERT_EQ(storage->ObjectsCount(), 1);
  EXPECT_EQ(storage->ChildAt(0)->Address(), list_adr);
  EXPECT_EQ(storage->ObjectAt(orphan_adr), nullptr);
  int size = 0;
  EXPECT_EQ(storage->ReadHeaderItem(orphan_adr, &size), nullptr);
}

}  // namespace
}  // namespace qdf
