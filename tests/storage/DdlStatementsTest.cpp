#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ErrorText.h"
#include "base/QdfException.h"
#include "list/ListTestUtil.h"
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

// Statements that would leave the database unable to load, records without
// their class, or a table the engine could not find again by its path are
// refused before anything changes.
TEST(DdlStatements, EveryMalformedOneIsReportedWithItsPlaceDropRemovesSubtreesGuardsRefuse) {
  qdf_test::TListFixture fx;
  auto storage = fx.New<TQdfStorage>();
  storage->OpenRoot(fx.Reader());  // with the database's own objects
  TQdfStorage& s = *storage;
  // The run is over: no statement counted, nothing left on the parent stack.
  auto expect_idle = [&s] {
    EXPECT_EQ(s.nesting_count, 0);
    EXPECT_EQ(s.Top(), &s);
  };
  // Every malformed statement is reported with its place; drop removes subtrees.
  s.Execute(std::string(kBench) + "; create table t1 on TBench");
  const std::pair<const char*, const char*> cases[] = {
      {"create unique index i1 on t1 [TBench] ;", "create index i1 on t1 ^( expected. Found: "},
      {"create TQdfIntegerField ()", "Unexpected DDL: TQdfIntegerField "},
      {"create // nothing but a comment", "Create: \"Type\" \"Name\" expected"},
      {"parent TBench; create TQdfIntegerField A", "A existiert bereits in TBench"},
  };
  for (const auto& [text, message] : cases) {
    EXPECT_EQ(ErrorOf(s, text), message) << text;
    expect_idle();
  }
  // Drop removes subtrees (the table t1), and an empty statement ends the run.
  s.Execute("create TQdfIntegerField t2");
  s.Execute("drop t1;;drop t2;");
  EXPECT_EQ(s.ChildByName("t1"), nullptr);
  EXPECT_NE(s.ChildByName("t2"), nullptr);
  s.Execute("drop nothing; drop TBench.nothing; DROP TBench.c");
  EXPECT_EQ(s.ChildByName("TBench")->ObjectsCount(), 2);
  // Dropping the current parent (or what holds it) must not leave it on the
  // stack: later definitions go to the storage.
  s.Execute("parent TBench.a; drop TBench; create TQdfIntegerField z");
  EXPECT_EQ(s.ChildByName("TBench"), nullptr);
  EXPECT_NE(s.ChildByName("z"), nullptr);
  expect_idle();
  // Guards: refused before anything changes.
  s.Execute(std::string(kBench) +
            ";create TQdfItemClass Free (TQdfIntegerField x; TQdfIntegerField y);"
            "create TQdfItemClass K (TQdfIntegerField a; TQdfIntegerField b)");
  EXPECT_NE(ErrorOf(s, "create table t on Missing"), "");
  EXPECT_EQ(s.ChildByName("t"), nullptr);
  s.Execute("create table t on TBench");
  EXPECT_NE(ErrorOf(s, "create index i on t (a, DESC nope)"), "");
  EXPECT_EQ(s.ChildByPath("t.i"), nullptr);
  EXPECT_EQ(ErrorOf(s, "set Free [ObjectName=A;UserInfo=x]"), "");  // unknown names are skipped
  const std::string dotted =
      ": an object name cannot contain \".\", which separates the names "
      "of a path";
  const std::string own = ": the database's own objects cannot be changed";
  const std::pair<std::string, std::string> kRefused[] = {
      {"create table a.b on TBench", "a.b" + dotted},
      {"create TQdfItemClass x.y (TQdfIntegerField n)", "x.y" + dotted},
      {"parent TBench; create TQdfIntegerField d.e", "d.e" + dotted},
      {"set t [ObjectName=x.y]", "set t [^ObjectName=x.y]" + dotted},
      {"set TBench [a.ObjectName=1.5]", "set TBench [^a.ObjectName=1.5]" + dotted},
      {"set TBlobClassNode.Position [ObjectName=Pos]", "set ^TBlobClassNode.Position" + own},
      {"set $BLOB [BaseStructureName=TBench]", "set ^$BLOB" + own},
      {"set $ID [ObjectName=Ids]", "set ^$ID" + own},
      {"set TBlobClassNode.TBlobClass.BlobSize [ixAscending=False]",
       "set ^TBlobClassNode.TBlobClass.BlobSize" + own},
      // A zero byte would end the stored name early.
      {std::string("create TQdfTable (x\0y)", 22),
       "x\\0y: an object name cannot contain a zero byte"},
      {std::string("set t [ObjectName=u\0v]", 22),
       "set t [^ObjectName=u\\0v]: an object name cannot contain a zero byte"},
      // What the engine keeps itself, and names that would clash.
      {"set K.b [FieldIndex=0]",
       "set K.b [^FieldIndex=0]: FieldIndex is kept by the engine and cannot be set"},
      {"set K [UserInfo=1; b.countit=7]",
       "set K [^UserInfo=1; b.countit=7]: CountIt is kept by the engine and cannot be set"},
      {"set K [ObjectName=A]", "A existiert bereits in $ROOT"},
      {"set K [ObjectName= ]", "set K [^ObjectName= ]: an object needs a name"},
  };
  for (const auto& [statement, error] : kRefused)
    EXPECT_EQ(ErrorOf(s, statement), error) << statement;
  for (const char* name :
       {"$ID", "$BLOB", "TBlobClassNode", "$BLOB.IDX_POSITION", "TBlobClassNode.TBlobClass"}) {
    EXPECT_EQ(ErrorOf(s, std::string("drop ") + name),
              std::string("drop ^") + name + ": the database's own objects cannot be dropped");
  }
  EXPECT_EQ(s.ChildByName(std::string("x\0y", 3)), nullptr);
  EXPECT_EQ(s.ChildByName("a.b"), nullptr);
  EXPECT_EQ(s.ChildByName("x.y"), nullptr);
  EXPECT_NE(s.ChildByPath("TBlobClassNode.Position"), nullptr);
  EXPECT_NE(s.ChildByName("$ID"), nullptr);
  EXPECT_NE(s.TableByName("t"), nullptr);
  EXPECT_NE(s.ChildByPath("TBench.a"), nullptr);
  EXPECT_EQ(static_cast<qdf::TQdfField*>(s.ChildByPath("K.b"))->FieldIndex(), 1);
  EXPECT_EQ(ErrorOf(s, "set K [ObjectName=K]"), "");  // its own name is no clash
  s.Execute("drop A.y; drop A.x; drop t; drop TBench");
  EXPECT_EQ(s.ChildByName("TBench"), nullptr);
  EXPECT_NE(ErrorOf(s, "set A.nothing [x=1]"), "");
  EXPECT_EQ(ErrorOf(s, "create TQdfIntegerField f; set f [DefSize=big]")
                .rfind("set f [^DefSize=big]: ", 0),
            0u);
}

}  // namespace
}  // namespace qdf
