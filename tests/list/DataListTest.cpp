#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>

#include "base/ItemArea.h"
#include "base/QdfException.h"
#include "file/FileFormat.h"
#include "list/DataList.h"
#include "list/ListTestUtil.h"
#include "record/Fields.h"
#include "record/ItemClass.h"
#include "storage/Storage.h"
#include "table/Table.h"

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

uint32_t IdAt(TQdfDataListBase& list, const TItemAdr& adr) {
  const uint8_t* item = list.GetItem(adr);
  return item ? LoadU32(item + 13) : 0;
}

TEST(DataListBase, AddressesStayValidAndSlotsAreReusedOnlyWhenAsked) {
  for (bool reuse : {false, true}) {
    qdf_test::TListFixture fx;
    TStorageWithList s(fx);
    TQdfDataList& list = *s.list;
    list.DataListBaseHeader()->SetReuseAddresses(reuse);
    std::vector<TItemAdr> adrs;
    for (uint32_t i = 1; i <= 40; ++i) adrs.push_back(AddRecord(list, i, 100));
    list.DeleteItem(adrs[3]);
    list.DeleteItem(adrs[5]);
    for (uint32_t i = 1; i <= 40; ++i) {
      if (i == 4 || i == 6) continue;
      ASSERT_EQ(IdAt(list, adrs[i - 1]), i) << "reuse " << reuse;  // nothing moved
    }
    EXPECT_EQ(list.GetItem(adrs[3]), nullptr);
    const TItemAdr again = AddRecord(list, 99, 100);
    if (reuse) {
      EXPECT_EQ(again, adrs[5]);  // the free-slot chain hands out the last freed slot
    } else {
      EXPECT_NE(again, adrs[3]);
      EXPECT_NE(again, adrs[5]);
    }
    EXPECT_EQ(list.Count(), 39);
  }
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

TEST(DataList, RecordThatOutgrowsItsPageKeepsItsAddressThroughSpare) {
  qdf_test::TListFixture fx;
  TStorageWithList s(fx);
  TQdfDataList& list = *s.list;
  std::vector<TItemAdr> adrs;
  for (uint32_t i = 1; i <= 18; ++i) adrs.push_back(AddRecord(list, i, 400));
  const TItemAdr adr = adrs[2];
  ASSERT_EQ(adr.page, adrs[17].page);  // its page is nearly full
  uint8_t* body = list.ResizeRecord(adr, 3000);
  EXPECT_EQ(LoadU32(body + 13), 3u);  // content kept
  EXPECT_EQ(LoadU16(body), 3000);     // the new item keeps its own length word
  // The slot now holds a stub; reading goes to the $SPARE copy.
  uint8_t* stub = TItemArea::OfPage(fx.Reader()->EditPage(adr.page)).ItemAt(adr.slot);
  EXPECT_EQ(stub[2] & 3, kRecForwarded);
  EXPECT_EQ(LoadU16(stub), kStubSize);
  EXPECT_EQ(IdAt(list, adr), 3u);
  ASSERT_NE(list.Spare(), nullptr);
  EXPECT_EQ(list.Spare()->Count(), 1);
  // Growing again moves the $SPARE item; the address still holds.
  body = list.ResizeRecord(adr, 7000);
  EXPECT_EQ(LoadU32(body + 13), 3u);
  EXPECT_EQ(IdAt(list, adr), 3u);
  EXPECT_EQ(list.Spare()->Count(), 1);
  // Deleting the record deletes both.
  list.DeleteItem(adr);
  EXPECT_EQ(list.Spare()->Count(), 0);
  EXPECT_EQ(list.GetItem(adr), nullptr);
  EXPECT_EQ(IdAt(list, adrs[3]), 4u);
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

TEST(StorageTree, ReopenedDatabaseLoadsTheSameTreeAndDropsOrphans) {
  qdf_test::TListFixture fx;
  TItemAdr list_adr, class_adr, orphan_adr;
  {
    auto storage = fx.CreateStorage();
    auto add = [&](TQdfPersistentObject* parent, const TClassInfo& info, const char* name) {
      std::unique_ptr<TQdfPersistentObject> made = TQdfPersistentObject::Create(info, nullptr);
      TQdfPersistentObject* raw = made.get();
      raw->SetStorage(storage.get());
      raw->SetPageReader(fx.Reader());
      raw->Header()->SetObjectName(name);
      made.release()->SetParent(parent);
      raw->SaveHeader();
      return raw;
    };
    TQdfPersistentObject* cls = add(storage.get(), TQdfItemClass::kClassInfo, "TBench");
    add(cls, TQdfIntegerField::kClassInfo, "a");
    add(cls, TQdfCharField::kClassInfo, "c");
    add(cls, TQdfItemClass::kClassInfo, "TSub");
    TQdfPersistentObject* list = add(storage.get(), TQdfDataList::kClassInfo, "t1");
    list_adr = list->Address();
    class_adr = cls->Address();
    // A header item whose parent does not exist.
    TQdfPersistentObject* orphan = add(list, TQdfItemList::kClassInfo, "lost");
    orphan->Header()->SetParentAddress(TItemAdr{999, 9});
    orphan->SaveHeader();
    orphan_adr = orphan->Address();
    storage->Flush(false);
    fx.Commit();
  }
  auto storage = fx.ReopenStorage();
  ASSERT_EQ(storage->ObjectsCount(), 2);
  EXPECT_EQ(storage->ChildAt(0)->ObjectName(), "TBench");
  EXPECT_EQ(storage->ChildAt(1)->ObjectName(), "t1");
  EXPECT_EQ(storage->ChildAt(1)->Address(), list_adr);
  auto* cls = static_cast<TQdfItemClass*>(storage->ChildByName("tbench"));
  ASSERT_NE(cls, nullptr);
  EXPECT_EQ(cls->Address(), class_adr);
  EXPECT_EQ(cls->FieldCount(), 2);  // the structure was built on loading
  EXPECT_EQ(cls->FieldByName("c")->FieldIndex(), 1);
  ASSERT_NE(storage->ChildByPath("TBench.TSub"), nullptr);
  EXPECT_EQ(storage->ObjectAt(class_adr), cls);
  EXPECT_EQ(storage->ObjectAt(orphan_adr), nullptr);
  int size = 0;
  EXPECT_EQ(storage->ReadHeaderItem(orphan_adr, &size), nullptr);  // its item is gone
  EXPECT_FALSE(cls->Header()->Modified());
}

}  // namespace
}  // namespace qdf
