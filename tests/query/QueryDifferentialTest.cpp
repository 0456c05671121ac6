// Random filters over random records: the filtered operation with its index
// choice, the same operation forced to scan the table, and a plain
// evaluation of the filter's meaning in the test must return the same rows.
// QDF_DIFF_ROWS and QDF_DIFF_FILTERS size the run.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "QueryTestUtil.h"
#include "base/Helpers.h"
#include "query/TableOp.h"

namespace qdf {
namespace {

using qdf_test::TRow;
using Ks = std::vector<int>;

constexpr const char* kInt = "TQdfIntegerField";
constexpr const char* kChar = "TQdfCharField";

// A filter: its text and its meaning for one row.
struct TFilter {
  std::string text;
  std::function<bool(const TRow&)> eval;
};

class TFilterMaker {
 public:
  explicit TFilterMaker(uint32_t seed) : rng_(seed) {}

  TFilter Make(int depth) {
    const int pick = Rand(0, 9);
    if (depth <= 0 || pick < 5) return Atom();
    if (pick < 7) return Both(Make(depth - 1), Make(depth - 1), true);
    if (pick < 9) return Both(Make(depth - 1), Make(depth - 1), false);
    TFilter f = Make(depth - 1);
    auto inner = f.eval;
    return {"not (" + f.text + ")", [inner](const TRow& r) { return !inner(r); }};
  }

  int Rand(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

  std::string Text(int max_length, bool wildcards) {
    static const char kAlpha[] = "abc";
    static const char kWild[] = "abc%_";
    std::string s;
    const int n = Rand(0, max_length);
    for (int i = 0; i < n; ++i) s += wildcards ? kWild[Rand(0, 4)] : kAlpha[Rand(0, 2)];
    return s;
  }

 private:
  static bool Relation(int cmp, int op) {
    switch (op) {
      case 0:
        return cmp == 0;
      case 1:
        return cmp != 0;
      case 2:
        return cmp < 0;
      case 3:
        return cmp <= 0;
      case 4:
        return cmp > 0;
      default:
        return cmp >= 0;
    }
  }

  TFilter Both(TFilter x, TFilter y, bool conj) {
    auto ex = x.eval, ey = y.eval;
    std::string text = "(" + x.text + (conj ? ") and (" : ") or (") + y.text + ")";
    if (conj) return {text, [ex, ey](const TRow& r) { return ex(r) && ey(r); }};
    return {text, [ex, ey](const TRow& r) { return ex(r) || ey(r); }};
  }

  TFilter Atom() {
    static const char* kOps[] = {"=", "<>", "<", "<=", ">", ">="};
    const int kind = Rand(0, 9);
    if (kind < 5) {
      // An integer field: a null fails every comparison with a value.
      const bool is_a = Rand(0, 1) == 0;
      const std::string name = is_a ? "a" : "b";
      auto get = [is_a](const TRow& r) { return is_a ? r.a : r.b; };
      if (Rand(0, 9) == 0) {
        static const char* kNullOps[] = {"= null", "is null", "<> null", "isnot null"};
        const int op = Rand(0, 3);
        const bool want_null = op < 2;
        return {name + " " + kNullOps[op],
                [get, want_null](const TRow& r) { return !get(r).has_value() == want_null; }};
      }
      const int op = Rand(0, 5);
      const int v = is_a ? Rand(-1, 21) : Rand(-5, 305);
      return {name + " " + kOps[op] + " " + std::to_string(v), [get, op, v](const TRow& r) {
                const std::optional<int> x = get(r);
                return x.has_value() && Relation(*x < v ? -1 : *x > v ? 1 : 0, op);
              }};
    }
    if (kind < 8) {
      // The char field: a null reads as the empty text, compared byte-wise.
      const int op = Rand(0, 5);
      const std::string v = Text(3, false);
      return {"c " + std::string(kOps[op]) + " '" + v + "'", [op, v](const TRow& r) {
                const int cmp = r.c.compare(v);
                return Relation(cmp < 0 ? -1 : cmp > 0 ? 1 : 0, op);
              }};
    }
    // The engine's LIKE ignores text left after the last segment; a pattern
    // without wildcards is plain equality.
    const std::string pattern = Text(4, true);
    const bool plain = pattern.find_first_of("%_") == std::string::npos;
    return {"c like '" + pattern + "'", [pattern, plain](const TRow& r) {
              return plain ? r.c == pattern : Like(r.c, pattern);
            }};
  }

  std::mt19937 rng_;
};

TEST(QueryDifferential, IndexChoiceScanAndPlainEvaluationAgree) {
  qdf_test::TListFixture fx;
  qdf_test::TQueryDb db(fx);
  db.AddIndex("ia", {{kInt, "a"}});
  db.AddIndex("ib", {{kInt, "b"}});
  db.AddIndex("ic", {{kChar, "c"}});
  db.AddIndex("iab", {{kInt, "a"}, {kInt, "b"}});
  db.AddIndex("ibd", {{kInt, "b", false}});
  db.AddIndex("ica", {{kChar, "c"}, {kInt, "a"}});
  auto t = db.Open();
  auto& k = static_cast<TQdfIntegerField&>(qdf_test::Fld(*t, "k"));

  const int rows = qdf_test::EnvCount("QDF_DIFF_ROWS", 1500);
  const int filters = qdf_test::EnvCount("QDF_DIFF_FILTERS", 600);
  TFilterMaker maker(20261206);
  std::vector<TRow> model;
  for (int i = 1; i <= rows; ++i) {
    TRow r;
    r.k = i;
    if (maker.Rand(0, 9) > 0) r.a = maker.Rand(0, 20);
    if (maker.Rand(0, 9) > 0) r.b = maker.Rand(0, 300);
    r.c = maker.Text(3, false);
    model.push_back(r);
    qdf_test::Insert(*t, r);
  }

  auto run = [&](const std::string& text, uint8_t options, bool* indexed) {
    TQdfFilteredTableOp op(*t, options, nullptr, nullptr, t->CompileFilter(text));
    Ks out;
    op.First();
    while (op.Next()) out.push_back(k.AsInteger());
    if (indexed != nullptr) *indexed = op.ChosenIndex() != nullptr;
    std::sort(out.begin(), out.end());
    return out;
  };
  int by_index = 0;
  for (int n = 0; n < filters; ++n) {
    const TFilter f = maker.Make(3);
    SCOPED_TRACE(f.text);
    Ks expected;
    for (const TRow& r : model) {
      if (f.eval(r)) expected.push_back(r.k);
    }
    bool indexed = false;
    ASSERT_EQ(run(f.text, kOpDefault, &indexed), expected);
    ASSERT_EQ(run(f.text, kOpFromEnd, nullptr), expected);
    by_index += indexed ? 1 : 0;
  }
  // The random filters exercised the index paths too.
  EXPECT_GT(by_index, filters / 10);
}

}  // namespace
}  // namespace qdf
