#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ErrorText.h"
#include "base/Helpers.h"
#include "base/QdfException.h"
#include "list/ListTestUtil.h"
#include "object/QHStorage.h"
#include "record/Field.h"
#include "record/ItemClass.h"
#include "storage/DdlStatements.h"
#include "storage/Storage.h"
#include "table/Table.h"

namespace qdf {
namespace {

// Cuts every statement off `text`, up to and including the first empty one.
std::vector<std::string> Statements(std::string text) {
  std::vector<std::string> out;
  for (;;) {
    out.push_back(NextStatement(text));
    if (out.back().empty()) return out;
  }
}

// The message `text` raises when run, or "" when it runs.
std::string ErrorOf(TQdfStorage& storage, const std::string& text) {
  const std::string m = qdf_test::MessageOf([&] { storage.Execute(text); });
  return m == "<no error>" ? "" : m;
}

// A new database with an empty storage on it.
struct TDdlStorage {
  TDdlStorage() : storage(fx.CreateStorage()) {}
  // The run is over: no statement counted, nothing left on the parent stack.
  void ExpectIdle() const {
    EXPECT_EQ(storage->nesting_count, 0);
    EXPECT_EQ(storage->Top(), storage.get());
  }
  TQdfItemClass* Class(const std::string& name) const {
    return dynamic_cast<TQdfItemClass*>(storage->ChildByName(name));
  }

  qdf_test::TListFixture fx;
  std::unique_ptr<TQdfStorage> storage;
};

const char kBench[] =
    "create TQdfItemClass TBench (TQdfIntegerField a; TQdfIntegerField b; TQdfCharField c;)";

// ---- lexical structure ----

TEST(DdlNextStatement, CutsAtTheFirstSemicolonOutsideGroupsAndComments) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Statements("set x [a=1;b=(2;3)]; create T n (F a; F b);drop y"),
            (V{"set x [a=1;b=(2;3)]", " create T n (F a; F b)", "drop y", ""}));
  EXPECT_EQ(Statements("drop a // not here;\n; drop b"),
            (V{"drop a // not here;\n", "drop b", ""}));
  EXPECT_EQ(Statements("drop a;  ;drop b"), (V{"drop a", "  ", "drop b", ""}));
  EXPECT_EQ(Statements("create T n (F a; drop b"), (V{"create T n (F a; drop b", ""}));
  // A stray ")" must not keep the following ";" from ending the statement.
  EXPECT_EQ(Statements("drop a); drop b \r\n"), (V{"drop a)", "drop b", ""}));
  EXPECT_EQ(Statements(" \n // only a comment; (\n  "), (V{""}));
}

TEST(DdlNextWord, CutsWordsAndGroupsAndLeavesTheRestForTheNextCall) {
  std::string text = "  create\tTBench(a b)[x=(1]2)];next//c\n(A (B b) c";
  const std::pair<std::string, std::string> expected[] = {
      {"create", "create"}, {"TBench", "TBench"}, {"a b", "("}, {"x=(1]2)", "["}, {"", ";"},
      {"next", "next"},     {"A (B b) c", "("},   {"", ""}};
  for (const auto& [word, kind] : expected) {
    std::string k;
    EXPECT_EQ(NextWord(text, &k), word);
    EXPECT_EQ(k, kind);
  }
  text = "create\tTBench";
  NextWord(text, nullptr);
  EXPECT_EQ(text, "TBench");  // the blank that ended the word went with it
  text = "name[x=1]";
  NextWord(text, nullptr);
  EXPECT_EQ(text, "[x=1]");
}

// ---- statements ----

TEST(DdlCreate, GenericDefinitionsBuildTreesInOrderWithTheirSettings) {
  TDdlStorage s;
  s.storage->Execute(std::string(kBench) +
                     ";CrEaTe TQdfItemClass A (TQdfIntegerField a [UserInfo=7; NoSuch=1];"
                     " TQdfItemClass B (TQdfIntegerField b)); CREATE TQdfIntegerField x;"
                     "parent TBench; create TQdfIntegerField d");
  TQdfItemClass* cls = s.Class("TBench");
  ASSERT_NE(cls, nullptr);
  ASSERT_EQ(cls->ObjectsCount(), 4);
  const char* names[] = {"a", "b", "c", "d"};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(cls->ChildAt(i)->ObjectName(), names[i]);
    ASSERT_NE(cls->FieldByName(names[i]), nullptr);
    EXPECT_EQ(cls->FieldByName(names[i])->FieldIndex(), i);
  }
  EXPECT_EQ(std::string(cls->ChildAt(2)->ClassInfo()->name), "TQdfCharField");
  EXPECT_EQ(static_cast<TQdfField*>(s.storage->ChildByPath("A.a"))->FieldHeader()->UserInfo(), 7);
  EXPECT_NE(s.storage->ChildByPath("A.B.b"), nullptr);
  EXPECT_NE(dynamic_cast<TQdfField*>(s.storage->ChildByName("x")), nullptr);
  s.ExpectIdle();
}

TEST(DdlCreate, EveryMalformedStatementIsReportedWithItsPlace) {
  TDdlStorage s;
  s.storage->Execute(std::string(kBench) + "; create table t1 on TBench");
  const std::pair<const char*, const char*> cases[] = {
      {"frobnicate x", "Unknown DDL Command: frobnicate"},
      {"create unique TQdfItemClass X", "Unexpected keyword before ^TQdfItemClass X"},
      {"create on index i on t1 (a)", "Unexpected keyword before ^index i on t1 (a)"},
      {"create unique table t on TBench", "Unexpected keyword before ^table t on TBench"},
      {"create table t3 of TBench", "create Table t3 ^ON expected. Found: of"},
      {"create index i1 at t1 (a)", "create index i1 ^ON expected. Found: at"},
      {"create index i1 on t1 a", "create index i1 on t1 ^( expected. Found: a"},
      {"create unique index i1 on t1 [TBench] ;", "create index i1 on t1 ^( expected. Found: "},
      {"create index i1 on nothing (a)", "create index i1: nothing ist keine Tabelle"},
      {"create (TQdfIntegerField a)", "Error in DDL: Create ^(TQdfIntegerField a)"},
      {"create [UserInfo=1]", "Error in DDL: Create ^[UserInfo=1]"},
      {"create TQdfIntegerField x TQdfIntegerField y", "Unexpected Definition: x"},
      {"create TQdfIntegerField ()", "Unexpected DDL: TQdfIntegerField "},
      {"create TQdfItemClass A (TQdfIntegerField a TQdfIntegerField b)",
       "Unexpected DDL: TQdfIntegerField b "},
      {"create // nothing but a comment", "Create: \"Type\" \"Name\" expected"},
      {"create TQdfNoSuchClass nx", "Class: TQdfNoSuchClass kann nicht generiert werden"},
      {"create TQdfItemClass TBench", "TBench existiert bereits in $ROOT"},
      {"parent TBench; create TQdfIntegerField A", "A existiert bereits in TBench"},
      {"parent TBench.nothing", "Unknown Parent: TBench.nothing"},
      {"set nothing [x=1]", "Unknown Object: nothing"},
      {"set TBench UserInfo=1", "Invalid Command in SET : UserInfo=1"},
  };
  for (const auto& [text, message] : cases) {
    EXPECT_EQ(ErrorOf(*s.storage, text), message) << text;
    s.ExpectIdle();
  }
}

TEST(DdlStatements, DropRemovesSubtreesAndAnEmptyStatementEndsTheRun) {
  TDdlStorage s;
  s.storage->Execute(std::string(kBench) +
                     ";create TQdfIntegerField t1; create TQdfIntegerField t2");
  s.storage->Execute("drop t1;;drop t2;");
  EXPECT_EQ(s.storage->ChildByName("t1"), nullptr);
  EXPECT_NE(s.storage->ChildByName("t2"), nullptr);
  s.storage->Execute("drop nothing; drop TBench.nothing; DROP TBench.c");
  EXPECT_EQ(s.Class("TBench")->ObjectsCount(), 2);
  // Dropping the current parent (or what holds it) must not leave it on the
  // stack: later definitions go to the storage.
  s.storage->Execute("parent TBench.a; drop TBench; create TQdfIntegerField z");
  EXPECT_EQ(s.storage->ChildByName("TBench"), nullptr);
  EXPECT_NE(s.storage->ChildByName("z"), nullptr);
  s.ExpectIdle();
}

TEST(DdlStatements, VersionOnlyEverRises) {
  TDdlStorage s;
  s.storage->Execute("version 1.0.0.0; VERSION 1.0");  // equal is fine
  EXPECT_EQ(ErrorOf(*s.storage, "version 0.9"),
            "Storage Schema has higher Version: 0.9.0.0 than 1.0.0.0");
  s.storage->Execute("version 1.2.3.4");
  EXPECT_EQ(ErrorOf(*s.storage, "version 1.200"), "version ^1.200: Illegal Version String: 1.200");
  EXPECT_NE(ErrorOf(*s.storage, "version one"), "");
  EXPECT_EQ(IntToVersion(s.storage->Root()->SchemaVersion()), "1.2.3.4");
  s.ExpectIdle();
}

// Statements that would leave the database unable to load, or records without
// their class, are refused before anything changes.
TEST(DdlGuards, RefuseWhatWouldBreakTheDatabase) {
  qdf_test::TListFixture fx;
  auto storage = fx.New<TQdfStorage>();
  storage->OpenRoot(fx.Reader());  // with the database's own objects
  TQdfStorage& s = *storage;
  s.Execute(std::string(kBench) +
            ";create TQdfItemClass Free (TQdfIntegerField x; TQdfIntegerField y)");
  EXPECT_EQ(ErrorOf(s, "create table t on Missing"),
            "create Table t on ^Missing: unknown record class");
  EXPECT_EQ(s.ChildByName("t"), nullptr);
  s.Execute("create table t on TBench");
  EXPECT_EQ(ErrorOf(s, "create index i on t (a, DESC nope)"),
            "create index i on t (^nope): unknown field of TBench");
  EXPECT_EQ(ErrorOf(s, "create index i on t [Nope] (a)"),
            "create index i on t [^Nope]: unknown record class");
  EXPECT_EQ(s.ChildByPath("t.i"), nullptr);
  EXPECT_EQ(ErrorOf(s, "drop Free.x"),
            "drop ^Free.x: fields follow it in the record (FieldIndex 0 of 1)");
  EXPECT_EQ(ErrorOf(s, "drop TBench"), "drop ^TBench: the record class is used by table t");
  for (const char* own :
       {"$ID", "$BLOB", "TBlobClassNode", "$BLOB.IDX_POSITION", "TBlobClassNode.TBlobClass"}) {
    EXPECT_EQ(ErrorOf(s, std::string("drop ") + own),
              std::string("drop ^") + own + ": the database's own objects cannot be dropped");
  }
  s.Execute("drop Free.y; drop Free.x; drop t; drop TBench");
  EXPECT_EQ(s.ChildByName("TBench"), nullptr);
  EXPECT_EQ(ErrorOf(s, "set Free [ObjectName=A;UserInfo=x]"), "");  // unknown names are skipped
  EXPECT_NE(ErrorOf(s, "set A.nothing [x=1]"), "");
  EXPECT_EQ(ErrorOf(s, "create TQdfIntegerField f; set f [DefSize=big]")
                .rfind("set f [^DefSize=big]: ", 0),
            0u);
  // What the engine keeps itself, and names that would clash, are refused
  // before anything changes.
  s.Execute("create TQdfItemClass K (TQdfIntegerField a; TQdfIntegerField b)");
  EXPECT_EQ(ErrorOf(s, "set K.b [FieldIndex=0]"),
            "set K.b [^FieldIndex=0]: FieldIndex is kept by the engine and cannot be set");
  EXPECT_EQ(ErrorOf(s, "set K [UserInfo=1; b.countit=7]"),
            "set K [^UserInfo=1; b.countit=7]: CountIt is kept by the engine and cannot be set");
  EXPECT_EQ(ErrorOf(s, "set K [ObjectName=A]"), "A existiert bereits in $ROOT");
  EXPECT_EQ(ErrorOf(s, "set K [ObjectName= ]"), "set K [^ObjectName= ]: an object needs a name");
  EXPECT_EQ(static_cast<qdf::TQdfField*>(s.ChildByPath("K.b"))->FieldIndex(), 1);
  EXPECT_EQ(ErrorOf(s, "set K [ObjectName=K]"), "");  // its own name is no clash
}

// Statements that reported success and left a database the engine could
// no longer open, or a table it could not find again by its path.
TEST(DdlGuards, RefuseDottedNamesAndChangesOfTheDatabasesOwnObjects) {
  qdf_test::TListFixture fx;
  auto storage = fx.New<TQdfStorage>();
  storage->OpenRoot(fx.Reader());  // with the database's own objects
  TQdfStorage& s = *storage;
  s.Execute(std::string(kBench) + ";create table t on TBench");
  const struct {
    const char* statement;
    const char* error;
  } kRefused[] = {
      {"create table a.b on TBench",
       "a.b: an object name cannot contain \".\", which separates the names of a path"},
      {"create TQdfItemClass x.y (TQdfIntegerField n)",
       "x.y: an object name cannot contain \".\", which separates the names of a path"},
      {"parent TBench; create TQdfIntegerField d.e",
       "d.e: an object name cannot contain \".\", which separates the names of a path"},
      {"set t [ObjectName=x.y]",
       "set t [^ObjectName=x.y]: an object name cannot contain \".\", which separates the "
       "names of a path"},
      {"set TBench [a.ObjectName=1.5]",
       "set TBench [^a.ObjectName=1.5]: an object name cannot contain \".\", which separates "
       "the names of a path"},
      {"set TBlobClassNode.Position [ObjectName=Pos]",
       "set ^TBlobClassNode.Position: the database's own objects cannot be changed"},
      {"set $BLOB [BaseStructureName=TBench]",
       "set ^$BLOB: the database's own objects cannot be changed"},
      {"set $ID [ObjectName=Ids]", "set ^$ID: the database's own objects cannot be changed"},
      {"set TBlobClassNode.TBlobClass.BlobSize [ixAscending=False]",
       "set ^TBlobClassNode.TBlobClass.BlobSize: the database's own objects cannot be changed"},
  };
  for (const auto& r : kRefused) {
    EXPECT_EQ(ErrorOf(s, r.statement), r.error) << r.statement;
  }
  // A zero byte would end the stored name early.
  EXPECT_EQ(ErrorOf(s, std::string("create TQdfTable (x\0y)", 22)),
            "x\\0y: an object name cannot contain a zero byte");
  EXPECT_EQ(ErrorOf(s, std::string("set t [ObjectName=u\0v]", 22)),
            "set t [^ObjectName=u\\0v]: an object name cannot contain a zero byte");
  EXPECT_EQ(s.ChildByName(std::string("x\0y", 3)), nullptr);
  EXPECT_EQ(s.ChildByName("a.b"), nullptr);
  EXPECT_EQ(s.ChildByName("x.y"), nullptr);
  EXPECT_NE(s.ChildByPath("TBlobClassNode.Position"), nullptr);
  EXPECT_NE(s.ChildByName("$ID"), nullptr);
  EXPECT_NE(s.TableByName("t"), nullptr);
  EXPECT_NE(s.ChildByPath("TBench.a"), nullptr);
}

TEST(DdlGuards, RenamedClassKeepsItsTablesAndIndexes) {
  qdf_test::TListFixture fx;
  {
    auto storage = fx.New<TQdfStorage>();
    storage->OpenRoot(fx.Reader());
    storage->Execute(std::string(kBench) +
                     ";create table t on TBench;create index i on t (b);"
                     "set TBench [ObjectName=TRenamed]");
    auto t = storage->TableByName("t");
    EXPECT_EQ(t->TableHeader()->BaseStructureName(), "TRenamed");
    ASSERT_NE(t->ItemClass(), nullptr);
    EXPECT_NE(t->IndexByName("i"), nullptr);
    fx.Commit();
  }
  auto storage = fx.ReopenStorage();
  auto t = storage->TableByName("t");
  ASSERT_NE(t->ItemClass(), nullptr);
  EXPECT_EQ(t->ItemClass()->ObjectName(), "TRenamed");
  ASSERT_NE(t->IndexByName("i"), nullptr);  // still attached: it names the class too
}

TEST(DdlExecute, AFailingStatementKeepsWhatWasDoneAndLeavesTheStorageIdle) {
  TDdlStorage s;
  s.storage->Execute(std::string(kBench) + "; create table t1 on TBench");
  // An index on a key field the class lacks must not pass as done.
  EXPECT_THROW(s.storage->Execute("create index i1 on t1 (a, nosuch)"), EQdfException);
  EXPECT_EQ(s.storage->ChildByPath("t1.i1"), nullptr);
  EXPECT_EQ(ErrorOf(*s.storage,
                    "create TQdfIntegerField x; parent TBench; create TQdfIntegerField x;"
                    "parent TBench; create TQdfIntegerField a; create TQdfIntegerField y"),
            "a existiert bereits in TBench");
  s.ExpectIdle();
  EXPECT_NE(s.storage->ChildByName("x"), nullptr);
  EXPECT_NE(s.storage->ChildByPath("TBench.x"), nullptr);
  EXPECT_EQ(s.storage->ChildByName("y"), nullptr);
  // Failing inside a group, definitions still on the stack: what was made
  // stays, the stack is emptied and the storage keeps working.
  EXPECT_NE(ErrorOf(*s.storage, "create TQdfItemClass C (TQdfIntegerField a TQdfIntegerField b)"),
            "");
  s.ExpectIdle();
  EXPECT_NE(s.storage->ChildByPath("C.a"), nullptr);
  s.storage->Execute("parent C; create TQdfIntegerField b");
}

TEST(DdlExecute, TheSchemaSurvivesCommitAndReopen) {
  TDdlStorage s;
  s.storage->Execute(std::string(kBench) +
                     " // the record class\n;"
                     "CREATE TABLE t1 ON TBench [ReuseAddresses=False]; version 2.1;"
                     "set TBench.c [UserInfo=12]");
  const uint32_t tan = s.fx.Reader()->TransactionNumber();
  EXPECT_EQ(s.storage->SchemaTAN(), tan);
  s.fx.Commit();
  s.storage.reset();
  auto storage = s.fx.ReopenStorage();
  EXPECT_EQ(IntToVersion(storage->Root()->SchemaVersion()), "2.1.0.0");
  EXPECT_EQ(storage->SchemaTAN(), tan);
  auto* cls = static_cast<TQdfItemClass*>(storage->ChildByName("TBench"));
  ASSERT_NE(cls, nullptr);
  ASSERT_EQ(cls->FieldCount(), 3);
  EXPECT_EQ(cls->FieldAt(0)->ObjectName(), "a");
  EXPECT_EQ(cls->FieldAt(2)->FieldHeader()->UserInfo(), 12);
  auto* table = storage->ChildByName("t1");
  ASSERT_NE(table, nullptr);
  ASSERT_TRUE(table->IsKindOf(TQdfTable::kClassInfo));
  EXPECT_EQ(static_cast<TQdfTable*>(table)->TableHeader()->BaseStructureName(), "TBench");
  EXPECT_TRUE(static_cast<TQdfTable*>(table)->TableHeader()->ReuseAddresses());  // settings dropped
}

}  // namespace
}  // namespace qdf
