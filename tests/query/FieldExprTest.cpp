// Field expressions compiled with the query script against a table's record
// class: null semantics of every comparison, LIKE and its rewrite, byte-wise
// text order, class tests, fields by name and through references, errors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "QueryTestUtil.h"
#include "base/BaseTestUtil.h"
#include "base/QdfException.h"
#include "query/ClassExpr.h"
#include "query/FieldExpr.h"
#include "query/QScript.h"

namespace qdf {
namespace {

using qdf_test::TQueryDb;
using qdf_test::TRow;
using Ks = std::vector<int>;

class FieldExprTest : public ::testing::Test {
 protected:
  FieldExprTest() : db_(fx_), t_(db_.Open()) {
    // k: 1 all null; 2 a=1 b=5 c="abc" f=1.5 flag=true; 3 a=2 b=-7 c="abd"
    // f=2 flag=false; 4 c="\xE9t\xE9" (a high byte); 5 a TSub with d=4.
    qdf_test::Insert(*t_, TRow{1, {}, {}, "", {}, {}});
    qdf_test::Insert(*t_, TRow{2, 1, 5, "abc", 1.5, true});
    qdf_test::Insert(*t_, TRow{3, 2, -7, "abd", 2.0, false});
    qdf_test::Insert(*t_, TRow{4, 3, 0, "\xE9t\xE9", {}, {}});
    TQdfItemClass* sub = t_->ItemClass()->ClassByName("TSub");
    t_->Insert(sub);
    qdf_test::SetInt(*t_, "k", 5, sub);
    qdf_test::SetInt(*t_, "a", 9, sub);
    qdf_test::SetInt(*t_, "d", 4, sub);
    t_->Post();
  }

  std::unique_ptr<TvNode> Compile(const std::string& text) { return t_->CompileFilter(text); }
  Ks Match(const std::string& text) {
    std::unique_ptr<TvNode> filter = Compile(text);
    return qdf_test::Scan(*t_, filter.get());
  }
  // Script errors are plain Exceptions, not only the engine's error.
  std::string ErrorOf(const std::string& text) {
    return qdf_test::TextOf([&] { Compile(text); });
  }

  qdf_test::TListFixture fx_;
  TQueryDb db_;
  std::unique_ptr<TQdfTable> t_;
};

// Compiles reuse the name table of the last class; a field added to the
// class, or another class compiled in between, must still be seen at once.
TEST_F(FieldExprTest, CompilesSeeFieldsAddedBetweenThemErrorsAndFromBookLifetime) {
  qdf::TQdfStorage& s = *db_.storage;
  TQdfItemClass* sub = static_cast<TQdfItemClass*>(s.ChildByName("TRec"))->ClassByName("TSub");
  ASSERT_NE(sub, nullptr);
  auto compile_sub = [&](const std::string& text) {
    return qdf_test::TextOf([&] { t_->CompileFilter(text, sub); });
  };
  EXPECT_EQ(compile_sub("d = 4"), "<no error>");
  EXPECT_NE(compile_sub("z = 1"), "<no error>");
  EXPECT_EQ(Match("k = 2"), Ks({2}));  // another class in between
  EXPECT_NE(compile_sub("z = 1"), "<no error>");
  s.PushParent(sub);
  s.CreateSchemaObject("TQdfIntegerField", "z", true);
  s.PopUntil(nullptr);
  sub->RootClass()->BuildStructure(0);
  ASSERT_NE(sub->FieldByName("z"), nullptr);
  EXPECT_EQ(compile_sub("z = 1"), "<no error>");
  EXPECT_EQ(compile_sub("d = 4 and z = 1"), "<no error>");
  EXPECT_EQ(Match("k = 3"), Ks({3}));
  // Errors.
  EXPECT_EQ(ErrorOf("a + 1"), "Filter is no boolean expression: a + 1");
  EXPECT_EQ(ErrorOf("a = 'x'").rfind("could not find matching cast for ", 0), 0u);
  EXPECT_EQ(ErrorOf("c like 5").rfind("could not find matching cast for ", 0), 0u);
  EXPECT_NE(ErrorOf("TRec.nope = 1"), "<no error>");
  // The FROM book lives only during the compile, also after an error.
  TQScript& qs = QueryScript();
  EXPECT_EQ(qs.ExternalBook("FROM"), nullptr);
  EXPECT_EQ(qs.FromClass(), nullptr);
  qs.Scan("a = 1");
  EXPECT_ANY_THROW(qs.Compile());  // "a" is unknown without FROM
  // A filter compiled for the subclass sees its own fields.
  auto node = t_->CompileFilter("d = 4", t_->ItemClass()->ClassByName("TSub"));
  EXPECT_EQ(qdf_test::Scan(*t_, node.get()), (Ks{5}));
  EXPECT_EQ(ErrorOf("d = 4").rfind("could not find matching cast for ", 0), 0u);
}

// Comparisons of one field with a literal, nulls included, are checked
// against a model by the differential query test; here two fields, and a
// field found by name, which take other paths.
TEST_F(FieldExprTest, FieldAgainstFieldClassesMembersAndFieldsByName) {
  // A null on either side fails, never raises.
  EXPECT_EQ(Match("a < b"), (Ks{2}));
  EXPECT_EQ(Match("b > a"), (Ks{2}));
  EXPECT_EQ(Match("a >= b"), (Ks{3, 4}));
  EXPECT_EQ(Match("a <> b"), (Ks{2, 3, 4}));
  EXPECT_EQ(Match("f > a"), (Ks{2}));
  EXPECT_EQ(Match("c >= c"), (Ks{1, 2, 3, 4, 5}));
  EXPECT_EQ(Match("c < c"), (Ks{}));
  // Through the generic comparison a null field is the empty text: below
  // every non-empty text, equal only to ''.
  EXPECT_EQ(Match("TRec::c < 'a'"), (Ks{1, 5}));
  EXPECT_EQ(Match("TRec::c > 'a'"), (Ks{2, 3, 4}));
  EXPECT_EQ(Match("TRec::c = ''"), (Ks{1, 5}));
  EXPECT_EQ(Match("TRec::c <> ''"), (Ks{2, 3, 4}));
  EXPECT_EQ(Match("Field(TRec, 'c') = 'abd'"), (Ks{3}));
  // Class tests and members.
  EXPECT_EQ(Match("This is TSub"), (Ks{5}));
  EXPECT_EQ(Match("This is TRec"), (Ks{1, 2, 3, 4, 5}));
  EXPECT_EQ(Match("TSub is TRec and a = 1"), (Ks{2}));  // folded to true
  EXPECT_TRUE(Compile("TRec is TSub")->IsConstant());
  // Members of a class word: a field, and a subclass's field.
  EXPECT_EQ(Match("TRec.a = 2"), (Ks{3}));
  EXPECT_EQ(Match("TSub.d = 4"), (Ks{5}));
  EXPECT_EQ(Match("TRec.TSub.d = 4"), (Ks{5}));
  EXPECT_EQ(Match("TSub::d = 4"), (Ks{5}));
  EXPECT_EQ(Match("AsString(a) = '9'"), (Ks{5}));
  EXPECT_EQ(Match("ToString(c) = 'abd'"), (Ks{3}));
  // An unknown field name yields no field, which reads as null.
  EXPECT_EQ(Match("Field(TRec, 'nope') = null"), (Ks{1, 2, 3, 4, 5}));
  EXPECT_EQ(Match("Field(TRec, 'nope') = 3"), (Ks{}));
}

TEST_F(FieldExprTest, FieldsAndClassesThroughObjectIDs) {
  // Record 2 refers to record 5 (a TSub), record 3 to an ID that does not
  // exist, record 4 to record 2.
  // The ID field of record k.
  auto id_of = [&](int k, const char* field) -> TQdfObjectIDField& {
    for (t_->First(); t_->Cursor().Item() != nullptr; t_->Next()) {
      if (static_cast<TQdfIntegerField&>(qdf_test::Fld(*t_, "k")).AsInteger() == k) break;
    }
    return static_cast<TQdfObjectIDField&>(qdf_test::Fld(*t_, field));
  };
  const int64_t id5 = id_of(5, "ThisID").AsInt64(), id2 = id_of(2, "ThisID").AsInt64();
  ASSERT_NE(id5, 0);
  auto set_ref = [&](int k, int64_t id) {
    TQdfObjectIDField& r = id_of(k, "r");
    t_->Edit();
    r.SetAsInt64(id);
    t_->Post();
  };
  set_ref(2, id5);
  set_ref(3, id5 + 1000);
  set_ref(4, id2);
  EXPECT_EQ(Match("Ref(r, 'a') = 9"), (Ks{2}));
  EXPECT_EQ(Match("r::a = 1"), (Ks{4}));
  EXPECT_EQ(Match("Ref(r, 'a') = null"), (Ks{1, 3, 5}));  // no reference, or a dead one
  EXPECT_EQ(Match("Ref(r) is TSub"), (Ks{2}));
  EXPECT_EQ(Match("Ref(r) is TRec"), (Ks{2, 4}));
  // A negative ID has no literal (a leading "-" is an operator).
  if (id2 > 0) {
    EXPECT_EQ(Match("r = " + std::to_string(id2)), (Ks{4}));
    EXPECT_EQ(Match("ThisID = " + std::to_string(id2)), (Ks{2}));
  }
}

}  // namespace
}  // namespace qdf
