// Result sets: the key order follows OrderBy, survives a reopen, and an
// unknown field is reported, not raised.
#include <gtest/gtest.h>

#include <vector>

#include "QueryTestUtil.h"
#include "query/ResultSet.h"
#include "query/TableOp.h"

namespace qdf {
namespace {

using qdf_test::TRow;
using Ks = std::vector<int>;

// The k of every record in the result set's order.
Ks Walk(TQdfTable& t, TQdfIndex& rs) {
  auto& k = static_cast<TQdfIntegerField&>(qdf_test::Fld(t, "k"));
  Ks out;
  for (rs.First(); !rs.Position().IsNull(); rs.Next()) out.push_back(k.AsInteger());
  return out;
}

TEST(ResultSet, OrderByOrdersRebuildsAndReportsUnknownFields) {
  qdf_test::TListFixture fx;
  auto db = std::make_unique<qdf_test::TQueryDb>(fx);
  db->AddIndex("rs", {{"TQdfIntegerField", "a"}}, false, "TRec", "TQdfResultSet");  // by a
  auto t = db->Open();
  for (int k = 1; k <= 9; ++k) qdf_test::Insert(*t, TRow{k, k % 3, k, "", {}, {}});
  auto* rs = dynamic_cast<TQdfResultSet*>(t->IndexByName("rs"));
  ASSERT_NE(rs, nullptr);
  EXPECT_EQ(OrderTextOf(*rs, false), "a");

  rs->SetOrderBy("DESC a, b");
  EXPECT_EQ(rs->ErrorText(), "");
  EXPECT_EQ(OrderTextOf(*rs, false), "DESC a,b");
  EXPECT_EQ(Walk(*t, *rs), (Ks{2, 5, 8, 1, 4, 7, 3, 6, 9}));
  // Only a field added at the end: the keys are built again all the same.
  rs->SetOrderBy("DESC a");
  rs->SetOrderBy("desc a, DESC b");
  EXPECT_EQ(Walk(*t, *rs), (Ks{8, 5, 2, 7, 4, 1, 9, 6, 3}));
  // An unknown field keeps the fields before it.
  rs->SetOrderBy(" b , x, a");
  EXPECT_EQ(rs->ErrorText(), "Unknown Field x");
  EXPECT_EQ(rs->OrderBy(), " b , x, a");
  EXPECT_EQ(OrderTextOf(*rs, false), "b");
  EXPECT_EQ(Walk(*t, *rs), (Ks{1, 2, 3, 4, 5, 6, 7, 8, 9}));
  // The table keeps it in step, and filters may use it.
  qdf_test::Insert(*t, TRow{10, 1, 0, "", {}, {}});
  EXPECT_EQ(Walk(*t, *rs), (Ks{10, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  {
    TQdfFilteredTableOp op(*t, kOpDefault, rs, nullptr, t->CompileFilter("b < 3"));
    Ks rows;
    op.First();
    auto& k = static_cast<TQdfIntegerField&>(qdf_test::Fld(*t, "k"));
    while (op.Next()) rows.push_back(k.AsInteger());
    EXPECT_EQ(op.ChosenIndex(), rs);
    EXPECT_EQ(rows, (Ks{2, 1, 10}));
  }
  rs->SetOrderBy("DESC b");
  t.reset();
  db->storage->StoreModified();
  fx.Commit();

  // Stored: the text, the key structure and the keys.
  db->storage.reset();
  auto storage = fx.ReopenStorage();
  t = storage->TableByName("t");
  rs = dynamic_cast<TQdfResultSet*>(t->IndexByName("rs"));
  ASSERT_NE(rs, nullptr);
  EXPECT_EQ(rs->OrderBy(), "DESC b");
  EXPECT_EQ(OrderTextOf(*rs, false), "DESC b");
  EXPECT_EQ(Walk(*t, *rs), (Ks{9, 8, 7, 6, 5, 4, 3, 2, 1, 10}));
  rs->SetOrderBy("a, nope");
  EXPECT_EQ(rs->ErrorText(), "Unknown Field nope");
  EXPECT_EQ(Walk(*t, *rs).size(), 10u);
}

}  // namespace
}  // namespace qdf
