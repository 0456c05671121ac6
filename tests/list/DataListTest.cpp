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

TEST(DataList, DamagedStubsRaiseInsteadOfWandering) {
  qdf_test::TListFixture fx;
  auto storage = fx.CreateStorage();
  TQdfDataList& list = *fx.AddList<TQdfDataList>(storage.get(), "records");
  TItemAdr a, b;
  list.AppendItem(100, &a);
  list.AppendItem(100, &b);
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
    auto storage = fx.CreateStorage();
    list_adr = fx.AddList<TQdfDataList>(storage.get(), "records")->Address();
    auto* orphan = fx.AddList<TQdfItemList>(storage.get(), "lost");
    orphan->Header()->SetParentAddress(TItemAdr{999, 9});
    orphan->SaveHeader();
    orphan_adr = orphan->Address();
    storage->Flush(false);
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
