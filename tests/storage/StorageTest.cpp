#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ErrorText.h"
#include "base/QdfException.h"
#include "check/IntegrityCheck.h"
#include "db/SystemTestUtil.h"
#include "list/ListTestUtil.h"
#include "record/BlobClass.h"
#include "record/Fields.h"
#include "record/ItemClass.h"
#include "storage/Storage.h"
#include "table/Index.h"
#include "table/Table.h"

namespace qdf {
namespace {

// An accessor whose property names a field of another class.
class TWrongAccessor : public TQdfInterfaceStruct {
  QDF_CLASS_INFO(TWrongAccessor)

 public:
  TQdfIntegerField* x = nullptr;
};
const TPropInfo kWrongProps[] = {QDF_ACCESSOR_FIELD(TWrongAccessor, TQdfIntegerField, x)};
QDF_DEFINE_INTERFACE_CLASS(TWrongAccessor, TQdfInterfaceStruct, kWrongProps, 1);

TEST(StorageBootstrap, ObjectsByPathTablesAnObjectIDIndexThatFollowsTheRecordsAndAccessors) {
  qdf_test::TListFixture fx;
  auto s = fx.New<TQdfStorage>();
  s->OpenRoot(fx.Reader());
  // Objects by path, and the object-ID index.
  s->Execute(
      "create TQdfItemClass TRec (TQdfObjectIDField ThisID; TQdfIntegerField v);"
      "create table t on TRec;");
  auto a = s->TableByName("t");
  auto b = s->TableByName("t");
  EXPECT_NE(a.get(), b.get());
  EXPECT_FALSE(a->IsTemplate());
  EXPECT_EQ(a->ClassObject(), s->ChildByName("t"));
  EXPECT_EQ(s->ObjectByPath("t.nothing"), nullptr);
  EXPECT_QDF_ERROR(s->ObjectByPath("nothing"), "Objekt: nothing existiert nicht.");
  EXPECT_THROW(s->TableByName("TRec"), EQdfException);
  EXPECT_EQ(s->ClassByPath("TRec"), s->ChildByName("TRec"));
  EXPECT_EQ(s->ClassByPath("TRec.Missing"), nullptr);
  // The tree cannot be reloaded while working instances are out.
  EXPECT_THROW(s->LoadObjectTree(), EQdfException);
  a.reset();
  b.reset();
  EXPECT_NO_THROW(s->LoadObjectTree());
  // The object-ID index follows the records.
  auto t = s->TableByName("t");
  std::vector<TObjectID> ids;
  std::vector<TItemAdr> adrs;
  for (int i = 0; i < 50; ++i) {
    t->Insert();
    static_cast<TQdfIntegerField*>(t->FieldByName("v"))->SetAsInteger(i);
    ids.push_back(static_cast<TQdfObjectIDField*>(t->FieldByName("ThisID"))->AsID());
    t->Post();
    adrs.push_back(t->Cursor().Address());
  }
  EXPECT_EQ(s->IDIndex()->Count(), 50);
  for (size_t i = 0; i < ids.size(); i += 7) {
    TItemAdr adr;
    ASSERT_TRUE(s->AddressOfID(ids[i], &adr));
    EXPECT_EQ(adr, adrs[i]);
    TQdfTable* owner = s->RecordByID(ids[i]);
    ASSERT_NE(owner, nullptr);
    EXPECT_EQ(owner->FieldByName("v")->GetAsString(), std::to_string(i));
  }
  TObjectID unknown{};
  unknown[0] = 0xEE;
  TItemAdr adr;
  EXPECT_FALSE(s->AddressOfID(unknown, &adr));
  EXPECT_TRUE(adr.IsNull());
  EXPECT_EQ(s->RebuildIDIndex(false), 0);
  // Deleting a record removes its entry.
  t->First();
  t->Delete(false);
  EXPECT_EQ(s->IDIndex()->Count(), 49);
  EXPECT_FALSE(s->AddressOfID(ids[0], &adr));
  // Records deleted behind the index's back leave stale entries: counted,
  // then removed by the rebuild.
  t->DeleteItem(adrs[1]);
  t->DeleteItem(adrs[2]);
  EXPECT_EQ(s->RebuildIDIndex(false), 2);
  EXPECT_EQ(s->IDIndex()->Count(), 49);
  s->Execute("rebuild $ID;");
  EXPECT_EQ(s->IDIndex()->Count(), 47);
  EXPECT_EQ(s->RebuildIDIndex(false), 0);
  EXPECT_FALSE(s->AddressOfID(ids[1], &adr));
  EXPECT_TRUE(s->AddressOfID(ids[3], &adr));
  // A new record claiming a taken ID is refused and not kept.
  t->Insert();
  auto* id = static_cast<TQdfObjectIDField*>(t->FieldByName("ThisID"));
  id->SetAsID(ids[3]);
  EXPECT_QDF_ERROR(t->Post(), "Key Violation on ThisID: ");
  EXPECT_EQ(t->Count(), 47);
  // A record whose entry is gone cannot be deleted.
  ASSERT_TRUE(s->DeleteIDEntry(ids[3]));
  t->SetCursorAddress(adrs[3]);
  EXPECT_QDF_ERROR(t->Delete(true), "ID index out of order");
  EXPECT_EQ(t->Count(), 47);
  // Classes from accessors, and linking.
  // Everything exists after the bootstrap: nothing to generate.
  EXPECT_EQ(s->ItemClassStatements(TBlobClass::kClassInfo, ""), "");
  TQdfPersistentObjectFactory::Instance().RegisterClass(TWrongAccessor::kClassInfo);
  EXPECT_EQ(s->ItemClassStatements(TWrongAccessor::kClassInfo, "InterfaceAlias=TWrongAccessor"),
            "create TQdfItemClass TWrongAccessor [InterfaceAlias=TWrongAccessor] "
            "(TQdfIntegerField x;\r\n)");
  s->GenerateItemClasses(TWrongAccessor::kClassInfo, "InterfaceAlias=TWrongAccessor");
  auto* cls = static_cast<TQdfItemClass*>(s->ChildByName("TWrongAccessor"));
  ASSERT_NE(cls, nullptr);
  ASSERT_NE(cls->Accessor(), nullptr);
  EXPECT_EQ(static_cast<TWrongAccessor*>(cls->Accessor())->x, cls->FieldByName("x"));
  EXPECT_EQ(cls->Accessor()->ItemClass(), cls);
  // A table's own class tree has accessors of its own, bound to its fields.
  s->Execute("create table w on TWrongAccessor;");
  {
    auto w = s->TableByName("w");
    auto* acc = static_cast<TWrongAccessor*>(w->InsertByName("TWrongAccessor"));
    ASSERT_NE(acc, nullptr);
    EXPECT_EQ(acc->x, w->FieldByName("x"));
    acc->x->SetAsInteger(42);
    w->Post();
    w->First();
    EXPECT_EQ(acc->x->AsInteger(), 42);
  }
  // A field of the property's name but another class does not link.
  EXPECT_QDF_ERROR(
      s->Execute("create TQdfItemClass Other [InterfaceAlias=TWrongAccessor] (TQdfFloatField x);"),
      "Can not link Property: x");
}

// The running write transaction allocates file space through its free
// list, which lives in the tree ($FREE_LIST): reloading the tree under it
// is refused (it freed that list, and the commit then wrote through it).
TEST(StorageBootstrap, TreeIsNotReloadedUnderTheWriteTransactionsFreeList) {
  qdf_test::TSystemFixture fx;
  fx.Write([](TQdfInTransStorage* s) {
    s->Execute("create TQdfItemClass R (TQdfIntegerField a); create table t on R");
  });
  fx.Write([](TQdfInTransStorage* s) {
    EXPECT_QDF_ERROR(s->LoadObjectTree(), "its free list is in use; commit or roll back first");
    s->Execute("drop t; create table u on R");  // frees blocks through the free list
  });
  EXPECT_NE(fx.Open("DB", true)->ChildByName("u"), nullptr);
  fx.kept.clear();
  EXPECT_TRUE(CheckDatabase(fx.Db()).Sound());
}

}  // namespace
}  // namespace qdf
