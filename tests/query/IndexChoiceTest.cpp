// Index filters, ApplyFilter and the index choice at the edges the random
// filters of the differential query test seldom reach: null keys, LIKE
// prefixes of 0xFF bytes, filters that cannot key an index.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "ErrorText.h"
#include "QueryTestUtil.h"
#include "base/Helpers.h"
#include "base/QdfException.h"
#include "query/IndexFilter.h"
#include "query/QScript.h"

namespace qdf {
namespace {

using qdf_test::TKey;
using qdf_test::TQueryDb;
using qdf_test::TRow;
using Ks = std::vector<int>;

constexpr const char* kInt = "TQdfIntegerField";
constexpr const char* kChar = "TQdfCharField";

// Walks the chosen range as a filtered operation does: from the positioned
// key while the index filter holds, testing the remaining filter per record.
// Without an index it scans the table with the remaining filter.
// `steps` (may be nullptr) counts the keys examined.
Ks Walk(TQdfTable& t, TIndexChoice& choice, int* steps = nullptr) {
  if (choice.index == nullptr) return qdf_test::Scan(t, choice.remaining.get());
  EXPECT_FALSE(choice.object_id);
  auto& k = static_cast<TQdfIntegerField&>(qdf_test::Fld(t, "k"));
  Ks out;
  PositionOnRange(choice);
  TQdfIndex* ix = choice.index;
  for (;;) {
    const TItemAdr pos = ix->Position();
    if (pos.IsNull() || pos == kBeforeFirstAdr) break;
    if (steps != nullptr) ++*steps;
    if (!qdf_test::EvalBool(choice.index_filter.get())) break;
    if (qdf_test::EvalBool(choice.remaining.get())) {
      out.push_back(k.AsInteger());
    }
    if (choice.Backward()) {
      ix->Prior();
    } else {
      ix->Next();
    }
  }
  return out;
}

Ks Sorted(Ks v) {
  std::sort(v.begin(), v.end());
  return v;
}

class IndexChoiceTest : public ::testing::Test {
 protected:
  IndexChoiceTest() : db_(fx_) {}

  void Open() { t_ = db_.Open(); }
  TIndexChoice Choose(const std::string& text) {
    return ChooseIndex(t_->CompileFilter(text), *t_, nullptr);
  }
  std::string IndexName(const TIndexChoice& c) {
    return c.index != nullptr ? c.index->ObjectName() : std::string("<none>");
  }
  // The records of `text` through its index choice, and through a full scan.
  Ks ByIndex(const std::string& text) {
    TIndexChoice c = Choose(text);
    return Sorted(Walk(*t_, c));
  }
  Ks ByScan(const std::string& text) {
    auto filter = t_->CompileFilter(text);
    return Sorted(qdf_test::Scan(*t_, filter.get()));
  }

  qdf_test::TListFixture fx_;
  TQueryDb db_;
  std::unique_ptr<TQdfTable> t_;
};

TEST_F(IndexChoiceTest, NullComparisonsAreNoRangeBounds) {
  db_.AddIndex("ib", {{kInt, "b"}});
  db_.AddIndex("iab", {{kInt, "a"}, {kChar, "c", false}});
  db_.AddIndex("ic", {{kChar, "c"}});
  db_.AddIndex("icd", {{kChar, "c", false}});
  Open();
  for (int k = 1; k <= 12; ++k) {
    TRow row{k, 1, k % 3 == 0 ? std::optional<int>() : k, "", {}, {}};
    if (k % 4 != 0) row.c = "c" + std::to_string(k);
    qdf_test::Insert(*t_, row);
  }
  // "isnot null" would be an empty search key: a full scan instead.
  TIndexChoice c = Choose("b isnot null");
  EXPECT_EQ(IndexName(c), "<none>");
  EXPECT_EQ(Sorted(Walk(*t_, c)), (Ks{1, 2, 4, 5, 7, 8, 10, 11}));
  // An equality with null works on an ascending first key field.
  c = Choose("b = null");
  EXPECT_EQ(IndexName(c), "ib");
  EXPECT_EQ(Sorted(Walk(*t_, c)), (Ks{3, 6, 9, 12}));
  c = Choose("c = ''");
  EXPECT_EQ(IndexName(c), "ic");
  EXPECT_EQ(Sorted(Walk(*t_, c)), (Ks{4, 8, 12}));
  // ... not on a later one, where the null value would be cut off the key
  // and the descending order puts the null keys last.
  c = Choose("a = 1 and c is null");
  EXPECT_EQ(IndexName(c), "iab");
  EXPECT_EQ(c.index_filter->KeyCount(), 1);
  EXPECT_EQ(Sorted(Walk(*t_, c)), (Ks{4, 8, 12}));
  EXPECT_EQ(ByIndex("a = 1 and c = ''"), (Ks{4, 8, 12}));
}

TEST_F(IndexChoiceTest, LikePrefixBoundsBothEndsOfTheRange) {
  db_.AddIndex("ic", {{kChar, "c"}});
  Open();
  // Key order (bytes unsigned): null, "@", "A", "Az", "A\xff", "A\xff\xff",
  // "B", "Ba", "\xff", "\xffa", "\xff\xff".
  const char* texts[] = {"A",
                         "A\xff",
                         "A\xff\xff",
                         "Az",
                         "B",
                         "Ba",
                         "\xff",
                         "\xff\xff",
                         "\xff"
                         "a",
                         "@",
                         ""};
  int k = 0;
  for (const char* c : texts) qdf_test::Insert(*t_, TRow{++k, {}, {}, c, {}, {}});
  struct {
    const char* filter;
    Ks rows;
    int bounds;  // comparisons in the index filter (0: no index)
    int steps;   // keys examined: the range and the first key past it
  } cases[] = {
      {"c like 'A%'", {1, 2, 3, 4}, 2, 5},
      {"c like 'A\xff%'", {2, 3}, 2, 3},
      {"c like 'B%'", {5, 6}, 2, 3},
      // A prefix of 0xFF bytes has no text above it: open to the end.
      {"c like '\xff%'", {7, 8, 9}, 1, 3},
      {"c like '\xff\xff%'", {8}, 1, 1},
      // No prefix: no range.
      {"c like '%'", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 0, 0},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.filter);
    EXPECT_EQ(ByScan(tc.filter), tc.rows);
    TIndexChoice c = Choose(tc.filter);
    if (tc.bounds == 0) {
      EXPECT_EQ(IndexName(c), "<none>");
      continue;
    }
    ASSERT_EQ(IndexName(c), "ic");
    EXPECT_EQ(c.relation, TIndexRelation::kLower);
    EXPECT_EQ(c.index_filter->Count(), tc.bounds);
    int steps = 0;
    EXPECT_EQ(Sorted(Walk(*t_, c, &steps)), tc.rows);
    EXPECT_EQ(steps, tc.steps);
  }
}

TEST_F(IndexChoiceTest, ApplyFilterChecksItsFilter) {
  db_.AddIndex("ia", {{kInt, "a"}});
  db_.AddIndex("ic", {{kChar, "c"}});
  Open();
  TQdfIndex* ia = t_->IndexByName("ia");
  TQdfIndex* ic = t_->IndexByName("ic");
  auto plain = t_->CompileFilter("a = 1 and c = 'x'");
  EXPECT_EQ(qdf_test::MessageOf([&] { ia->ApplyFilter(plain.get()); }), "Invalid Filter Type");
  EXPECT_EQ(qdf_test::MessageOf([&] { ia->ApplyFilter(nullptr); }), "Invalid Filter Type");
  auto comparison = [&](const char* text) {
    return std::unique_ptr<TfComp>(static_cast<TfComp*>(t_->CompileFilter(text).release()));
  };
  // An integer comparison cannot key a char field.
  EXPECT_EQ(
      qdf_test::MessageOf([&] { TbIndexFilter::Create(comparison("a = 1"), ic->KeyFields()[0]); }),
      "Invalid Filter Type");
  // A filter on another index's key fields.
  auto on_c = TbIndexFilter::Create(comparison("c = 'x'"), ic->KeyFields()[0]);
  EXPECT_EQ(qdf_test::MessageOf([&] { ia->ApplyFilter(on_c.get()); }), "Invalid Filter Type");
  EXPECT_EQ(ic->ApplyFilter(on_c.get()), 1);
  EXPECT_EQ(on_c->Comparison(5), nullptr);
  // Trailing null values are left out of the search key.
  auto null_key = TbIndexFilter::Create(comparison("c = ''"), ic->KeyFields()[0]);
  EXPECT_EQ(ic->ApplyFilter(null_key.get()), 0);
}

}  // namespace
}  // namespace qdf
