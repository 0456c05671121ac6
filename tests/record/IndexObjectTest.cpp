#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "ErrorText.h"
#include "base/PackedItem.h"
#include "record/Fields.h"
#include "record/IndexObject.h"

namespace qdf {
namespace {

// Makes an object of class `info` named `name`, under `parent` when there is one.
TQdfPersistentObject* Make(const TClassInfo& info, const char* name,
                           TQdfPersistentObject* parent = nullptr) {
  TQdfPersistentObject* o = TQdfPersistentObject::Create(info, nullptr).release();
  o->Header()->SetObjectName(name);
  if (parent != nullptr) o->SetParent(parent);
  return o;
}

void AddKeyField(TQdfPersistentObject* parent, const TClassInfo& info, const char* name,
                 bool ascending) {
  static_cast<TQdfField*>(Make(info, name, parent))->FieldHeader()->SetIxAscending(ascending);
}

// A key item: 6-byte prefix, then name, n and the record address.
std::vector<uint8_t> Key(const std::string& name, int32_t n, uint32_t page = 1) {
  std::vector<uint8_t> k(200, 0);
  TFieldCursor cur;
  cur.OpenWrite(k.data() + 6, 3, k.size() - 6);
  cur.WriteText(name);
  cur.WriteU32(static_cast<uint32_t>(n));
  cur.WriteAdr(TItemAdr{page, 0});
  const int size = 6 + PackedLength(k.data() + 6);
  StoreU16(k.data(), static_cast<uint16_t>(size));
  k.resize(static_cast<size_t>(size));
  return k;
}

int Compare(const TQdfIndexObject& o, const std::vector<uint8_t>& a,
            const std::vector<uint8_t>& b) {
  return o.CompareKeys(a.data() + 6, static_cast<int>(a.size()) - 6, b.data() + 6,
                       static_cast<int>(b.size()) - 6);
}

TEST(IndexObject, SeparatorsSitBetweenTheirKeys) {
  // IDX$Order (name ascending, n descending) with IDX$Structure adding REF$t.
  std::unique_ptr<TQdfIndexObject> order(
      static_cast<TQdfIndexObject*>(Make(TQdfIndexObject::kClassInfo, "IDX$Order")));
  AddKeyField(order.get(), TQdfCharField::kClassInfo, "name", true);
  AddKeyField(order.get(), TQdfIntegerField::kClassInfo, "n", false);
  TQdfPersistentObject* structure = Make(TQdfItemClass::kClassInfo, "IDX$Structure", order.get());
  AddKeyField(structure, TQdfShortReferenceField::kClassInfo, "REF$t", true);
  order->Loaded();
  const TQdfIndexObject& o = *order;
  uint8_t out[300];
  auto left = Key("apple", 5), right = Key("banana", 1);
  const int size = o.MakeSeparator(left.data(), right.data(), out, sizeof out);
  ASSERT_GT(size, 0);
  ASSERT_LT(size, static_cast<int>(right.size()));
  std::vector<uint8_t> sep(out, out + size);
  EXPECT_LT(Compare(o, left, sep), 0);
  EXPECT_LE(Compare(o, sep, right), 0);
  EXPECT_EQ(FieldCount(out + 6), 1);  // the later fields are dropped

  // The deciding field is the last one and cannot be shortened: the right key.
  EXPECT_EQ(o.MakeSeparator(Key("x", 9).data(), Key("x", 3).data(), out, sizeof out), 0);
  EXPECT_EQ(o.MakeSeparator(Key("x", 3).data(), Key("x", 3).data(), out, sizeof out), 0);
  EXPECT_QDF_ERROR(o.MakeSeparator(right.data(), left.data(), out, sizeof out),
                   "Index out of order");
}

}  // namespace
}  // namespace qdf
