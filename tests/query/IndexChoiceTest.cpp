// Index filters, ApplyFilter and the index choice: which index a filter
// takes, how the index is positioned, and that walking the chosen key range
// returns exactly the records of a full scan.
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
// key while the index filter holds, testing the remaining filter (and the
// record's class for an index on a base class) per record. Without an index
// it scans the table with the remaining filter.
// `steps` (may be nullptr) counts the keys examined.
Ks Walk(TQdfTable& t, TIndexChoice& choice, TQdfItemClass* op_class = nullptr,
        int* steps = nullptr) {
  if (choice.index == nullptr) return qdf_test::Scan(t, choice.remaining.get());
  EXPECT_FALSE(choice.object_id);
  if (op_class == nullptr) op_class = t.ItemClass();
  auto& k = static_cast<TQdfIntegerField&>(qdf_test::Fld(t, "k"));
  Ks out;
  PositionOnRange(choice);
  TQdfIndex* ix = choice.index;
  for (;;) {
    const TItemAdr pos = ix->Position();
    if (pos.IsNull() || pos == kBeforeFirstAdr) break;
    if (steps != nullptr) ++*steps;
    if (!qdf_test::EvalBool(choice.index_filter.get())) break;
    if ((!choice.check_class || op_class->AcceptsRecord(t.Cursor().Item())) &&
        qdf_test::EvalBool(choice.remaining.get())) {
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
  // Rows k = 1..n with a = k % 5, b = k, c = "r" + k.
  void Fill(int n) {
    for (int k = 1; k <= n; ++k) {
      qdf_test::Insert(*t_, TRow{k, k % 5, k, "r" + std::to_string(k), {}, {}});
    }
  }
  TIndexChoice Choose(const std::string& text, TQdfItemClass* op_class = nullptr) {
    return ChooseIndex(t_->CompileFilter(text, op_class), *t_, op_class);
  }
  std::string IndexName(const TIndexChoice& c) {
    return c.index != nullptr ? c.index->ObjectName() : std::string("<none>");
  }
  bool RemainingIsTrue(const TIndexChoice& c) {
    return c.remaining->IsConstant() && qdf_test::EvalBool(c.remaining.get());
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

TEST_F(IndexChoiceTest, EqualityPrefersMoreMatchedKeyFieldsThenTheEarliest) {
  db_.AddIndex("ia", {{kInt, "a"}});
  db_.AddIndex("iab", {{kInt, "a"}, {kInt, "b"}});
  db_.AddIndex("ia2", {{kInt, "a"}});
  Open();
  Fill(40);
  TIndexChoice c = Choose("a = 1 and b = 6");
  EXPECT_EQ(IndexName(c), "iab");
  EXPECT_EQ(c.relation, TIndexRelation::kEqual);
  ASSERT_NE(c.index_filter, nullptr);
  EXPECT_EQ(c.index_filter->KeyCount(), 2);
  EXPECT_TRUE(RemainingIsTrue(c));
  EXPECT_EQ(Walk(*t_, c), (Ks{6}));
  // The order of the comparisons does not matter; what is left stays.
  c = Choose("b = 11 and c <> 'x' and a = 1");
  EXPECT_EQ(IndexName(c), "iab");
  EXPECT_FALSE(c.remaining->IsConstant());
  EXPECT_EQ(Walk(*t_, c), (Ks{11}));
  // One matched field: the earliest index with it first.
  c = Choose("a = 1");
  EXPECT_EQ(IndexName(c), "ia");
  EXPECT_EQ(Sorted(Walk(*t_, c)), (Ks{1, 6, 11, 16, 21, 26, 31, 36}));
  // b alone is not the first key field of any index.
  EXPECT_EQ(IndexName(Choose("b = 3")), "<none>");
  // A value that reads the record is no key.
  EXPECT_EQ(IndexName(Choose("a = b")), "<none>");
  EXPECT_EQ(ByIndex("a = b"), ByScan("a = b"));
}

TEST_F(IndexChoiceTest, RangesAndTheirDirection) {
  db_.AddIndex("ib", {{kInt, "b"}});
  Open();
  Fill(30);
  // An upper bound alone walks backward from the last key in range.
  TIndexChoice c = Choose("b < 10");
  EXPECT_EQ(IndexName(c), "ib");
  EXPECT_EQ(c.relation, TIndexRelation::kUpper);
  EXPECT_TRUE(c.Backward());
  EXPECT_EQ(Walk(*t_, c), (Ks{9, 8, 7, 6, 5, 4, 3, 2, 1}));
  c = Choose("b <= 10");
  EXPECT_EQ(Walk(*t_, c), (Ks{10, 9, 8, 7, 6, 5, 4, 3, 2, 1}));
  // A lower bound takes its upper bound along as a check.
  c = Choose("b >= 10 and b < 14");
  EXPECT_EQ(c.relation, TIndexRelation::kLower);
  EXPECT_FALSE(c.Backward());
  ASSERT_NE(c.index_filter, nullptr);
  EXPECT_EQ(c.index_filter->Count(), 2);
  EXPECT_EQ(c.index_filter->KeyCount(), 1);
  EXPECT_TRUE(RemainingIsTrue(c));
  EXPECT_EQ(Walk(*t_, c), (Ks{10, 11, 12, 13}));
  // A restart builds the same search key: the check is not part of it.
  EXPECT_EQ(c.index->ApplyFilter(c.index_filter.get()), 1);
  EXPECT_EQ(Walk(*t_, c), (Ks{10, 11, 12, 13}));
  c = Choose("b > 10 and b <= 12");
  EXPECT_EQ(Walk(*t_, c), (Ks{11, 12}));
  // "<>" bounds nothing.
  EXPECT_EQ(IndexName(Choose("b <> 3")), "<none>");
  // Empty ranges at both ends.
  EXPECT_EQ(ByIndex("b > 30"), Ks{});
  EXPECT_EQ(ByIndex("b < 1"), Ks{});
}

TEST_F(IndexChoiceTest, DescendingFirstKeyFieldsBoundNoRange) {
  db_.AddIndex("ibd", {{kInt, "b", false}});
  Open();
  Fill(20);
  EXPECT_EQ(IndexName(Choose("b >= 15")), "<none>");
  EXPECT_EQ(IndexName(Choose("b < 3")), "<none>");
  EXPECT_EQ(ByIndex("b >= 15"), (Ks{15, 16, 17, 18, 19, 20}));
  // Equality does not depend on the direction.
  TIndexChoice c = Choose("b = 7");
  EXPECT_EQ(IndexName(c), "ibd");
  EXPECT_EQ(Walk(*t_, c), (Ks{7}));
}

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

TEST_F(IndexChoiceTest, LikeGivesALowerBound) {
  db_.AddIndex("ic", {{kChar, "c"}});
  Open();
  const char* texts[] = {"abc", "abd", "ab", "b", "abcd", "aab", "", "\xE9"};
  int k = 0;
  for (const char* c : texts) qdf_test::Insert(*t_, TRow{++k, {}, {}, c, {}, {}});
  TIndexChoice c = Choose("c like 'abc%'");
  EXPECT_EQ(IndexName(c), "ic");
  EXPECT_EQ(c.relation, TIndexRelation::kLower);
  EXPECT_EQ(&c.remaining->ClassInfo(), &TsfLikeNoOpt::kClass);
  EXPECT_EQ(Sorted(Walk(*t_, c)), (Ks{1, 5}));
  c = Choose("(c like 'ab%') and c < 'abd'");
  EXPECT_EQ(c.index_filter->Count(), 2);
  EXPECT_EQ(Sorted(Walk(*t_, c)), (Ks{1, 3, 5}));
  EXPECT_EQ(IndexName(Choose("c like '%b'")), "<none>");
  EXPECT_EQ(ByIndex("c > 'b'"), (Ks{8}));
  EXPECT_EQ(ByIndex("c like 'ab'"), (Ks{3}));
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
    EXPECT_EQ(Sorted(Walk(*t_, c, nullptr, &steps)), tc.rows);
    EXPECT_EQ(steps, tc.steps);
  }
}

TEST_F(IndexChoiceTest, ObjectIDIndexAndBaseClassIndexes) {
  db_.AddIndex("ia", {{kInt, "a"}});
  Open();
  Fill(5);
  TQdfItemClass* sub = t_->ItemClass()->ClassByName("TSub");
  t_->Insert(sub);
  qdf_test::SetInt(*t_, "k", 6, sub);
  qdf_test::SetInt(*t_, "a", 1, sub);
  t_->Post();
  // ThisID = n is a direct lookup.
  auto& id = static_cast<TQdfObjectIDField&>(qdf_test::Fld(*t_, "ThisID"));
  const int64_t n = id.AsInt64();
  if (n > 0) {
    TIndexChoice c = Choose("ThisID = " + std::to_string(n) + " and a = 1");
    EXPECT_TRUE(c.object_id);
    auto* storage = db_.storage.get();
    EXPECT_EQ(c.index, storage->IDIndex());
    EXPECT_FALSE(c.remaining->IsConstant());
  }
  // An index on the base class serves the subclass; the walk skips records
  // of other classes.
  TIndexChoice c = Choose("a = 1", sub);
  EXPECT_EQ(IndexName(c), "ia");
  EXPECT_TRUE(c.check_class);
  EXPECT_EQ(Walk(*t_, c, sub), (Ks{6}));
  c = Choose("a = 1");
  EXPECT_FALSE(c.check_class);
  EXPECT_EQ(Sorted(Walk(*t_, c)), (Ks{1, 6}));
  // A named index is the only candidate.
  TQdfIndex* ia = t_->IndexByName("ia");
  c = ChooseIndex(t_->CompileFilter("b = 2"), *t_, nullptr, ia);
  EXPECT_EQ(c.index, nullptr);
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
