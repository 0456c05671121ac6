#include <gtest/gtest.h>

#include "ErrorText.h"
#include "base/PackedItem.h"
#include "base/QdfException.h"
#include "list/ListTestUtil.h"
#include "list/ServerUpdateList.h"
#include "storage/Storage.h"

namespace qdf {
namespace {

// Field `index` of an entry's packed item (3: the value, 4: the body).
std::string FieldOf(TQdfServerUpdateList& list, const TItemAdr& entry, int index) {
  int length = 0;
  const uint8_t* f = GetField(list.GetItem(entry) + 13, index, &length);
  return f ? std::string(reinterpret_cast<const char*>(f), static_cast<size_t>(length)) : "";
}

TEST(ServerUpdateList, OneEntryPerRecordFollowsTheKindRules) {
  qdf_test::TListFixture fx;
  auto storage = fx.CreateStorage();
  TQdfServerUpdateList& list = *fx.AddList<TQdfServerUpdateList>(storage.get(), "$UPDATE_LIST");
  const TItemAdr table{7, 1}, rec{20, 3};

  TItemAdr e = list.AddUpdate(table, rec, kNullAdr, "first body", "xy", kUpdateInsert);
  EXPECT_EQ(list.KindOf(e), kUpdateInsert);
  const uint8_t* item = list.GetItem(e);
  EXPECT_EQ(item[2] & 3, 3);
  EXPECT_EQ(LoadU16(item + 9), 13);
  EXPECT_EQ(LoadU16(item + 11), 4);
  EXPECT_EQ(GetFieldAdr(item + 13, 0), rec);
  EXPECT_EQ(GetFieldAdr(item + 13, 1), table);

  // An update of an inserted record stays an insert, with the new body.
  e = list.AddUpdate(table, rec, e, "a much longer second body than before", "xy", kUpdateUpdate);
  EXPECT_EQ(list.KindOf(e), kUpdateInsert);
  EXPECT_EQ(FieldOf(list, e, 4), "a much longer second body than before");
  EXPECT_THROW(list.AddUpdate(table, rec, e, "b", "", kUpdateInsert), EQdfException);
  // Insert and delete cancel out.
  EXPECT_TRUE(list.AddUpdate(table, rec, e, "", "", kUpdateDelete, 42).IsNull());
  EXPECT_EQ(list.Count(), 0);

  // An update of an existing record becomes a delete when it is deleted.
  TItemAdr u = list.AddUpdate(table, rec, kNullAdr, "body", "s", kUpdateUpdate);
  u = list.AddUpdate(table, rec, u, "body 2", "s", kUpdateUpdate);
  EXPECT_EQ(list.KindOf(u), kUpdateUpdate);
  u = list.AddUpdate(table, rec, u, "", "", kUpdateDelete, 0xABCD);
  EXPECT_EQ(list.KindOf(u), kUpdateDelete);
  EXPECT_EQ(FieldOf(list, u, 3), std::string("\xCD\xAB\0\0", 4));
  EXPECT_QDF_ERROR(list.AddUpdate(table, rec, u, "x", "", kUpdateUpdate), "Undefined Condition");
  EXPECT_EQ(list.Count(), 1);
  // An item that is not an entry counts as none.
  EXPECT_EQ(list.KindOf(TItemAdr{u.page, 99}), 0);
}

}  // namespace
}  // namespace qdf
