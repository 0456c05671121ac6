#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ErrorText.h"
#include "ProcessRun.h"
#include "base/QdfException.h"
#include "check/IntegrityCheck.h"
#include "db/SystemTestUtil.h"
#include "file/IndirectPageReader.h"
#include "file/LocalFiler.h"
#include "list/ListTestUtil.h"
#include "record/BlobClass.h"
#include "record/Fields.h"
#include "record/IndexObject.h"
#include "record/ItemClass.h"
#include "storage/Storage.h"
#include "table/Index.h"
#include "table/Table.h"

namespace qdf {
namespace {

std::vector<std::string> ChildNames(const TQdfPersistentObject& o) {
  std::vector<std::string> names;
  for (int i = 0; i < o.ObjectsCount(); ++i) names.push_back(o.ChildAt(i)->ObjectName());
  return names;
}

// Name, class and address of every object of the tree, depth first.
std::vector<std::string> Tree(const TQdfPersistentObject& o) {
  std::vector<std::string> out;
  for (int i = 0; i < o.ObjectsCount(); ++i) {
    const TQdfPersistentObject* c = o.ChildAt(i);
    out.push_back(c->FullName() + " " + c->ClassInfo()->name + " " + AdrToText(c->Address()));
    for (const std::string& s : Tree(*c)) out.push_back(s);
  }
  return out;
}

std::unique_ptr<TQdfStorage> OpenStorage(qdf_test::TListFixture& fx) {
  auto storage = fx.New<TQdfStorage>();
  storage->OpenRoot(fx.Reader());
  return storage;
}

// The system schema a new database gets (a fresh process reads it back
// below).
TEST(StorageBootstrap, NewDatabaseGetsTheSystemSchema) {
  qdf_test::TListFixture fx;
  {
    auto s = OpenStorage(fx);
    EXPECT_EQ(ChildNames(*s), (std::vector<std::string>{"$ID", "TBlobClassNode", "$BLOB"}));
    EXPECT_NE(s->ChildByPath("$ID.IDX$Order.IDX$Structure.REF$ThisID"), nullptr);
    ASSERT_NE(s->IDIndex(), nullptr);
    ASSERT_NE(s->BlobTable(), nullptr);
    TQdfIndex* position = s->BlobTable()->IndexByName("IDX_POSITION");
    ASSERT_NE(position, nullptr);
    EXPECT_TRUE(position->Unique());
    EXPECT_EQ(position->OrderText(false), "BlobID,Position");
  }
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  return text;
}

// Run by FreshProcessSeesTheBootstrapTree in a process of its own: prints
// the tree of the database named by QDF_STORAGE_CHILD_DB, opened read-only.
TEST(StorageChild, PrintTree) {
  const char* path = std::getenv("QDF_STORAGE_CHILD_DB");
  if (path == nullptr) GTEST_SKIP() << "runs only as the child of FreshProcessSeesTheBootstrapTree";
  auto* filer = new TQdfLocalFiler(path, true, "CHILD");
  {
    TQdfIndirectPageReader reader(filer);
    reader.Open(true);
    auto s = std::unique_ptr<TQdfStorage>(static_cast<TQdfStorage*>(
        TQdfPersistentObject::Create(TQdfStorage::kClassInfo, nullptr).release()));
    s->OpenRoot(&reader);
    std::printf("TREE-BEGIN\n%sTREE-END\n", Joined(Tree(*s)).c_str());
  }
  filer->Release();
}

TEST(StorageBootstrap, FreshProcessSeesTheBootstrapTree) {
  qdf_test::TListFixture fx;
  std::string tree;
  {
    auto s = OpenStorage(fx);
    tree = Joined(Tree(*s));
    fx.Commit();
  }
  fx.Close();
  qdf_test::TRunOptions options;
  options.env = {{"QDF_STORAGE_CHILD_DB", fx.Path()}};
  const qdf_test::TRunResult run = qdf_test::RunProcess(
      qdf_test::ShellQuote(qdf_test::SelfExe()) + " --gtest_filter=StorageChild.PrintTree",
      options);
  const std::string& out = run.output;
  EXPECT_EQ(run.code, 0) << out;
  const size_t begin = out.find("TREE-BEGIN\n");
  const size_t end = out.find("TREE-END");
  ASSERT_NE(begin, std::string::npos) << out;
  ASSERT_NE(end, std::string::npos) << out;
  EXPECT_EQ(out.substr(begin + 11, end - begin - 11), tree);
  fx.Open();
}

TEST(StorageBootstrap, ObjectsByPathAndTables) {
  qdf_test::TListFixture fx;
  auto s = OpenStorage(fx);
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

TEST(StorageIDs, ObjectIDIndexFollowsRecords) {
  qdf_test::TListFixture fx;
  auto s = OpenStorage(fx);
  s->Execute(
      "create TQdfItemClass TRec (TQdfObjectIDField ThisID; TQdfIntegerField v);"
      "create table t on TRec;");
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
}

TEST(StorageIndexes, CreatedByStatementsAndRebuilt) {
  qdf_test::TListFixture fx;
  auto s = OpenStorage(fx);
  s->Execute(
      "create TQdfItemClass TBench (TQdfIntegerField a; TQdfIntegerField b; TQdfCharField c);"
      "create table t3 on TBench;");
  {
    auto t = s->TableByName("t3");
    for (int i = 0; i < 20; ++i) {
      t->Insert();
      static_cast<TQdfIntegerField*>(t->FieldByName("a"))->SetAsInteger(20 - i);
      t->FieldByName("c")->SetAsString(std::string(1, static_cast<char>('a' + i % 5)));
      t->Post();
    }
  }
  // Built from the existing records at once.
  s->Execute("create index i3 on t3(c);create unique index u3 on t3 (DESC a);");
  auto t = s->TableByName("t3");
  TQdfIndex* i3 = t->IndexByName("i3");
  TQdfIndex* u3 = t->IndexByName("u3");
  ASSERT_NE(i3, nullptr);
  ASSERT_NE(u3, nullptr);
  EXPECT_EQ(i3->Count(), 20);
  EXPECT_EQ(u3->Count(), 20);
  EXPECT_EQ(i3->OrderText(false), "c,REF$t3");
  EXPECT_EQ(u3->OrderText(false), "DESC a");
  u3->First();
  EXPECT_EQ(t->FieldByName("a")->GetAsString(), "20");
  s->Execute("rebuild t3.u3;");
  EXPECT_EQ(u3->Count(), 20);
  EXPECT_THROW(s->Execute("rebuild t3;"), EQdfException);
  // Dropping a table takes its indexes along.
  t.reset();
  s->Execute("drop t3;");
  EXPECT_EQ(s->ChildByName("t3"), nullptr);
  EXPECT_EQ(s->ChildByPath("t3.i3"), nullptr);
}

// An accessor whose property names a field of another class.
class TWrongAccessor : public TQdfInterfaceStruct {
  QDF_CLASS_INFO(TWrongAccessor)

 public:
  TQdfIntegerField* x = nullptr;
};
const TPropInfo kWrongProps[] = {QDF_ACCESSOR_FIELD(TWrongAccessor, TQdfIntegerField, x)};
QDF_DEFINE_INTERFACE_CLASS(TWrongAccessor, TQdfInterfaceStruct, kWrongProps, 1);

TEST(StorageAccessors, ClassesFromAccessorsAndLinking) {
  qdf_test::TListFixture fx;
  auto s = OpenStorage(fx);
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

}  // namespace
}  // namespace qdf
