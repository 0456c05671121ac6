// Random filters over the rows of TQueryDb, each with its meaning evaluated
// in the test, and the same filter with its values as parameters.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "QueryTestUtil.h"
#include "base/Helpers.h"

namespace qdf_test {

// `prepared` is `text` with the values of integer and char comparisons as
// parameters ":pN_" (no name is the beginning of another), `ints` / `texts`
// their values.
struct TFilter {
  std::string text;
  std::function<bool(const TRow&)> eval;
  std::string prepared = {};
  std::vector<std::pair<std::string, int>> ints = {};
  std::vector<std::pair<std::string, std::string>> texts = {};
};

class TFilterMaker {
 public:
  explicit TFilterMaker(uint32_t seed) : rng_(seed) {}

  int Rand(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

  // Up to `max_length` bytes of "a", "b", "c" and 0xE9 (above every ASCII
  // byte), or of "a", "b", "c", "%", "_" for a pattern.
  std::string Text(int max_length, bool wildcards = false) {
    static const char* kPlain[] = {"a", "b", "c", "\xE9"};
    static const char* kWild[] = {"a", "b", "c", "%", "_"};
    std::string s;
    const int n = Rand(0, max_length);
    for (int i = 0; i < n; ++i) s += wildcards ? kWild[Rand(0, 4)] : kPlain[Rand(0, 3)];
    return s;
  }

  // A row k with a in 0..29, b in -50..249, c of up to 3 bytes, f in
  // -10.0..10.0 and flag, each null now and then.
  TRow Row(int k) {
    TRow r;
    r.k = k;
    if (Rand(0, 9) > 0) r.a = Rand(0, 29);
    if (Rand(0, 7) > 0) r.b = Rand(-50, 249);
    r.c = Text(3);
    if (Rand(0, 5) > 0) r.f = Rand(-100, 100) / 10.0;
    if (Rand(0, 3) > 0) r.flag = Rand(0, 1) == 0;
    return r;
  }

  TFilter Make(int depth) {
    const int pick = Rand(0, 9);
    if (depth <= 0 || pick < 5) return Atom();
    TFilter f = Make(depth - 1);
    if (pick < 9) {
      // The operands in locals: argument evaluation order is unspecified.
      TFilter g = Make(depth - 1);
      return Both(std::move(f), std::move(g), pick < 7);
    }
    f.text = "not (" + f.text + ")";
    f.prepared = "not (" + f.prepared + ")";
    f.eval = [inner = f.eval](const TRow& r) { return !inner(r); };
    return f;
  }

 private:
  static bool Relation(int cmp, int op) {
    static const uint8_t kMasks[] = {2, 5, 1, 3, 4, 6};  // = <> < <= > >=
    return (kMasks[op] & (cmp < 0 ? 1 : cmp == 0 ? 2 : 4)) != 0;
  }
  template <typename T>
  static int Cmp(const T& x, const T& y) {
    return x < y ? -1 : y < x ? 1 : 0;
  }
  static std::string Literal(int v) { return v < 0 ? "-" + std::to_string(-v) : std::to_string(v); }

  TFilter Both(TFilter x, TFilter y, bool conj) {
    const char* op = conj ? ") and (" : ") or (";
    TFilter f;
    f.text = "(" + x.text + op + y.text + ")";
    f.prepared = "(" + x.prepared + op + y.prepared + ")";
    f.ints = x.ints;
    f.ints.insert(f.ints.end(), y.ints.begin(), y.ints.end());
    f.texts = x.texts;
    f.texts.insert(f.texts.end(), y.texts.begin(), y.texts.end());
    if (conj) {
      f.eval = [ex = x.eval, ey = y.eval](const TRow& r) { return ex(r) && ey(r); };
    } else {
      f.eval = [ex = x.eval, ey = y.eval](const TRow& r) { return ex(r) || ey(r); };
    }
    return f;
  }
  std::string NextParam() { return "p" + std::to_string(++params_) + "_"; }

  TFilter Atom() {
    static const char* kOps[] = {"=", "<>", "<", "<=", ">", ">="};
    const int op = Rand(0, 5);
    const std::string o = kOps[op];
    const int kind = Rand(0, 11);
    if (kind < 5) {
      // An integer field: a null fails every comparison with a value.
      const bool is_a = Rand(0, 1) == 0;
      const std::string name = is_a ? "a" : "b";
      const int v = is_a ? Rand(-3, 32) : Rand(-60, 260);
      const std::string p = NextParam();
      auto eval = [is_a, op, v](const TRow& r) {
        const std::optional<int>& x = is_a ? r.a : r.b;
        return x.has_value() && Relation(Cmp(*x, v), op);
      };
      return {name + " " + o + " " + Literal(v), eval, name + " " + o + " :" + p, {{p, v}}};
    }
    if (kind < 8) {
      // The char field: a null reads as the empty text, compared byte-wise.
      const std::string v = Text(3);
      const std::string p = NextParam();
      auto eval = [op, v](const TRow& r) { return Relation(Cmp(r.c, v), op); };
      return {"c " + o + " '" + v + "'", eval, "c " + o + " :" + p, {}, {{p, v}}};
    }
    TFilter f;
    if (kind == 8) {
      // LIKE ignores text left after the last segment; a pattern without
      // wildcards is plain equality.
      const std::string pattern = Text(4, true);
      const bool plain = pattern.find_first_of("%_") == std::string::npos;
      f = {"c like '" + pattern + "'", [pattern, plain](const TRow& r) {
             return plain ? r.c == pattern : qdf::Like(r.c, pattern);
           }};
    } else if (kind == 9) {
      const int tenths = Rand(-100, 100);
      std::string lit = std::to_string(std::abs(tenths) / 10);
      if (tenths % 10 != 0) lit += "." + std::to_string(std::abs(tenths) % 10);
      if (tenths < 0) lit = "-" + lit;
      const double v = tenths / 10.0;
      f = {"f " + o + " " + lit,
           [=](const TRow& r) { return r.f.has_value() && Relation(Cmp(*r.f, v), op); }};
    } else if (kind == 10) {
      const bool v = Rand(0, 1) == 0;
      f = {"flag " + o + (v ? " true" : " false"),
           [=](const TRow& r) { return r.flag.has_value() && Relation(Cmp(*r.flag, v), op); }};
    } else {
      static const char* kFields[] = {"a", "b", "c", "f", "flag"};
      static const char* kTests[] = {"= null", "is null", "<> null", "isnot null"};
      const int field = Rand(0, 4);
      const int test = Rand(0, 3);
      f = {std::string(kFields[field]) + " " + kTests[test], [=](const TRow& r) {
             const bool null = field == 0   ? !r.a
                               : field == 1 ? !r.b
                               : field == 2 ? r.c.empty()
                               : field == 3 ? !r.f
                                            : !r.flag;
             return test < 2 ? null : !null;
           }};
    }
    f.prepared = f.text;
    return f;
  }

  std::mt19937 rng_;
  int params_ = 0;
};

}  // namespace qdf_test
