// Random filters over random records, some of them edited or deleted after
// their insert: the filtered operation with its index choice, the same
// operation forced to scan the table, and a plain evaluation of the filter's
// meaning in the test must return the same rows.
// QDF_DIFF_ROWS and QDF_DIFF_FILTERS size the run.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "RandomFilter.h"
#include "query/IndexFilter.h"
#include "query/PreparedFilter.h"
#include "query/TableOp.h"

namespace qdf {
namespace {

using qdf_test::TFilter;
using qdf_test::TFilterMaker;
using qdf_test::TRow;
using Ks = std::vector<int>;

constexpr const char* kInt = "TQdfIntegerField";
constexpr const char* kChar = "TQdfCharField";
constexpr const char* kFloat = "TQdfFloatField";
constexpr const char* kBool = "TQdfBooleanField";

Ks Sorted(Ks v) {
  std::sort(v.begin(), v.end());
  return v;
}

TEST(QueryDifferential, IndexChoiceScanAndPlainEvaluationAgree) {
  qdf_test::TListFixture fx;
  qdf_test::TQueryDb db(fx);
  db.AddIndex("ia", {{kInt, "a"}});
  db.AddIndex("ib", {{kInt, "b"}});
  db.AddIndex("ic", {{kChar, "c"}});
  db.AddIndex("iab", {{kInt, "a"}, {kInt, "b"}});
  db.AddIndex("ibd", {{kInt, "b", false}});
  db.AddIndex("ica", {{kChar, "c"}, {kInt, "a"}});
  db.AddIndex("iba", {{kInt, "b"}, {kInt, "a", false}});
  db.AddIndex("if", {{kFloat, "f"}});
  db.AddIndex("iflag", {{kBool, "flag"}, {kChar, "c", false}});
  // Indexes that hold every field a filter reads, and k: walks through them
  // test the filter on images built from the keys, and answer from the keys
  // alone when the caller reads only k.
  const char* covering[] = {"iall", "icall", "iball"};
  db.AddIndex(covering[0], {{kInt, "a"}, {kInt, "b"}, {kChar, "c"}, {kInt, "k"}});
  db.AddIndex(covering[1], {{kChar, "c"}, {kInt, "b"}, {kInt, "a"}, {kInt, "k"}}, true);
  db.AddIndex(covering[2], {{kInt, "b", false}, {kInt, "k"}, {kChar, "c"}, {kInt, "a"}});
  auto t = db.Open();
  auto& k = static_cast<TQdfIntegerField&>(qdf_test::Fld(*t, "k"));

  const int rows = qdf_test::EnvSize("QDF_DIFF_ROWS", 1500);
  const int filters = qdf_test::EnvSize("QDF_DIFF_FILTERS", 600);
  TFilterMaker maker(20261206);
  std::vector<TRow> model;
  for (int i = 1; i <= rows; ++i) {
    model.push_back(maker.Row(i));
    qdf_test::Insert(*t, model.back());
  }
  // Edits and deletes move and drop the keys of every index (k = 0 marks a
  // deleted row of the model).
  for (t->First(); t->Cursor().Item() != nullptr;) {
    TRow& row = model[static_cast<size_t>(k.AsInteger() - 1)];
    const int pick = maker.Rand(0, 9);
    if (pick == 0) {
      row.k = 0;
      t->Delete(true);
      continue;
    }
    if (pick == 1) {
      row = maker.Row(row.k);
      t->Edit();
      qdf_test::Put(*t, row);
      t->Post();
    }
    t->Next();
  }

  // The rows in the order the operation gives them, and how it found them.
  struct TWalk {
    Ks rows;
    bool indexed = false, from_keys = false, page_order = false;
  };
  auto walk = [&](const std::string& text, uint8_t options, TQdfIndex* index, bool reads_k) {
    TQdfFilteredTableOp op(*t, options, index, nullptr, t->CompileFilter(text));
    if (reads_k) op.SetReads({&k});
    TWalk w;
    op.First();
    while (op.Next()) w.rows.push_back(k.AsInteger());
    w.indexed = op.ChosenIndex() != nullptr;
    w.from_keys = op.AnswersFromKeys();
    w.page_order = op.InPageOrder();
    return w;
  };
  int by_index = 0;
  int by_relation[3] = {0, 0, 0};
  int from_keys = 0;
  int in_page_order = 0;
  for (int n = 0; n < filters; ++n) {
    const TFilter f = maker.Make(3);
    SCOPED_TRACE(f.text);
    Ks expected;
    for (const TRow& r : model) {
      if (r.k != 0 && f.eval(r)) expected.push_back(r.k);
    }
    const TWalk plain = walk(f.text, kOpDefault, nullptr, false);
    ASSERT_EQ(Sorted(plain.rows), expected);
    const TIndexChoice choice = ChooseIndex(t->CompileFilter(f.text), *t, nullptr);
    if (choice.index != nullptr && !choice.object_id) {
      ++by_relation[static_cast<int>(choice.relation)];
    }
    ASSERT_EQ(Sorted(walk(f.text, kOpFromEnd, nullptr, false).rows), expected);
    by_index += plain.indexed ? 1 : 0;
    // Through each covering index: answers from the keys (reading k only),
    // from images that only filter, and from records in page order equal the
    // answers from records; in key order, in the same order.
    for (const char* name : covering) {
      SCOPED_TRACE(name);
      TQdfIndex* index = t->IndexByName(name);
      const TWalk by_records = walk(f.text, kOpDefault, index, false);
      ASSERT_EQ(Sorted(by_records.rows), expected);
      if (!by_records.indexed) continue;  // a table scan, as above
      const TWalk by_keys = walk(f.text, kOpDefault, index, true);
      ASSERT_EQ(by_keys.rows, by_records.rows);
      ASSERT_TRUE(by_keys.indexed);
      from_keys += by_keys.from_keys ? 1 : 0;
      ASSERT_EQ(Sorted(walk(f.text, kOpDefault | kOpAnyOrder, index, true).rows), expected);
      const TWalk by_pages = walk(f.text, kOpDefault | kOpAnyOrder, index, false);
      ASSERT_EQ(Sorted(by_pages.rows), expected);
      in_page_order += by_pages.page_order ? 1 : 0;
    }
    // ForEachMatch for a visitor that reads k only, in any order.
    TVisitNeeds needs;
    needs.reads_known = true;
    needs.reads = {&k};
    needs.ordered = false;
    Ks visited;
    t->ForEachMatch(
        t->CompileFilter(f.text), kOpDefault,
        [&](TQdfTable&, bool&) { visited.push_back(k.AsInteger()); }, nullptr, needs);
    ASSERT_EQ(Sorted(visited), expected);
  }
  // The random filters exercised the index paths too.
  EXPECT_GT(by_index, filters / 10);
  EXPECT_GT(from_keys, filters / 10);
  EXPECT_GT(in_page_order, filters / 10);
  for (int relation : by_relation) EXPECT_GT(relation, 0);
}

// Prepared filters with parameters give the rows of the same filters written
// with literals, on the same indexes; a filter prepared once and bound again
// with the values of the next filter of the same shape compiles nothing.
TEST(QueryDifferential, PreparedFiltersWithBoundValuesAgreeWithLiterals) {
  qdf_test::TListFixture fx;
  qdf_test::TQueryDb db(fx);
  db.AddIndex("ia", {{kInt, "a"}});
  db.AddIndex("ib", {{kInt, "b"}});
  // A descending text key, first for "c = ..." (names order the indexes).
  db.AddIndex("ic_desc", {{kChar, "c", false}});
  db.AddIndex("ica", {{kChar, "c"}, {kInt, "a"}});
  db.AddIndex("ibd", {{kInt, "b", false}});
  auto t = db.Open();
  auto& k = static_cast<TQdfIntegerField&>(qdf_test::Fld(*t, "k"));
  const int rows = qdf_test::EnvSize("QDF_DIFF_ROWS", 1500);
  const int filters = qdf_test::EnvSize("QDF_DIFF_FILTERS", 600) / 2;
  TFilterMaker maker(20261207);
  for (int i = 1; i <= rows; ++i) qdf_test::Insert(*t, maker.Row(i));
  auto rows_of = [&](TQdfFilteredTableOp& op) {
    Ks out;
    while (op.Next()) out.push_back(k.AsInteger());
    return out;
  };
  int indexed = 0;
  // First a text that grows too long for a key (a search key would raise),
  // then random ones.
  TFilter fixed{"c = 'b'", nullptr, "c = :p0_", {}, {{"p0_", "b"}}};
  for (int n = -1; n < filters; ++n) {
    const TFilter f = n < 0 ? fixed : maker.Make(2);
    SCOPED_TRACE(f.prepared);
    TQdfFilteredTableOp literal(*t, kOpDefault, nullptr, nullptr, t->CompileFilter(f.text));
    literal.First();
    const Ks expected = rows_of(literal);
    TQdfPreparedFilter prepared(*t, f.prepared);
    auto bind = [&](const TFilter& g) {
      for (const auto& [name, v] : g.ints) {
        prepared.Params().SetInteger(prepared.Params().IndexOf(name), v);
      }
      for (const auto& [name, v] : g.texts) {
        prepared.Params().SetText(prepared.Params().IndexOf(name), v);
      }
    };
    bind(f);
    TQdfFilteredTableOp& op = prepared.Start(TQdfPreparedFilter::TWalk::kRows);
    indexed += op.ChosenIndex() == literal.ChosenIndex() && op.ChosenIndex() != nullptr;
    ASSERT_EQ(Sorted(rows_of(op)), Sorted(expected));
    int64_t count = 0;
    TQdfFilteredTableOp& counting = prepared.Start(TQdfPreparedFilter::TWalk::kCount);
    while (counting.Next()) ++count;
    ASSERT_EQ(count, static_cast<int64_t>(expected.size()));
    // The values of another filter of this shape: the texts' values change
    // in place, and so do the rows.
    if (f.ints.empty() && f.texts.empty()) continue;
    TFilter g = f;
    for (auto& [name, v] : g.ints) v = maker.Rand(-5, 305);
    // Texts may turn empty, which keys as null: the index choice is made
    // again for them.
    for (auto& [name, v] : g.texts) v = n < 0 ? std::string(3000, 'b') : maker.Text(3);
    bind(g);
    std::string text = f.prepared;
    auto put = [&](const std::string& name, const std::string& literal) {
      text.replace(text.find(":" + name), name.size() + 1, literal);
    };
    for (const auto& [name, v] : g.ints) put(name, std::to_string(v));
    for (const auto& [name, v] : g.texts) put(name, "'" + v + "'");
    const int compiles = prepared.Compiles();
    TQdfFilteredTableOp again(*t, kOpDefault, nullptr, nullptr, t->CompileFilter(text));
    again.First();
    // Both walks move the table's one cursor: the literal one runs out first.
    const Ks literal_rows = Sorted(rows_of(again));
    ASSERT_EQ(Sorted(rows_of(prepared.Start(TQdfPreparedFilter::TWalk::kRows))), literal_rows)
        << text;
    // Only a text that became empty or too long for a key (or stopped
    // being so) chooses again.
    bool same_class = n >= 0;
    for (size_t i = 0; i < f.texts.size(); ++i) {
      same_class = same_class && f.texts[i].second.empty() == g.texts[i].second.empty();
    }
    if (same_class) {
      ASSERT_EQ(prepared.Compiles(), compiles);
    }
  }
  // Most filters bound a range or a key: the parameters took part in the
  // index choice as the literals did.
  EXPECT_GT(indexed, filters / 10);
}

}  // namespace
}  // namespace qdf
