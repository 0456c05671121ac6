// The engine's one quicksort: non-recursive, with an explicit stack of
// pending ranges, finishing small ranges by insertion sort. Used for slot
// tables, collected items and the template lists.
#pragma once

#include <utility>

namespace qdf {

enum class TPivotRule {
  kMiddle,         // the middle item of the range
  kMedianOfThree,  // the median of the first, middle and last items
};

// Sorts v[0 .. count) ascending by `compare` (negative, 0, positive).
// Ranges of fewer than `min_partition` items are finished by insertion sort.
// The larger part of each split is pushed and the smaller sorted next, so the
// stack never holds more than log2(count) ranges; the scans are bounded, so an
// inconsistent comparator cannot run them off the range. Not stable.
template <typename T, typename Compare>
void QuickSort(T* v, int count, Compare&& compare, TPivotRule pivot_rule, int min_partition) {
  if (count < 2) return;
  struct TRange {
    int lo, hi;  // inclusive
  };
  TRange stack[64];
  int sp = 0;
  stack[sp++] = {0, count - 1};
  while (sp > 0) {
    auto [lo, hi] = stack[--sp];
    while (hi - lo + 1 >= min_partition && hi > lo) {
      const int mid = lo + (hi - lo) / 2;
      if (pivot_rule == TPivotRule::kMedianOfThree) {
        if (compare(v[mid], v[lo]) < 0) std::swap(v[mid], v[lo]);
        if (compare(v[hi], v[lo]) < 0) std::swap(v[hi], v[lo]);
        if (compare(v[hi], v[mid]) < 0) std::swap(v[hi], v[mid]);
      }
      const T pivot = v[mid];
      int i = lo, j = hi;
      // Hoare partition; stopping on equal items splits runs of them evenly.
      while (i <= j) {
        while (i < hi && compare(v[i], pivot) < 0) ++i;
        while (j > lo && compare(pivot, v[j]) < 0) --j;
        if (i <= j) {
          if (i != j) std::swap(v[i], v[j]);
          ++i;
          --j;
        }
      }
      // Now [lo..j] <= pivot <= [i..hi].
      if (j - lo < hi - i) {
        if (i < hi) stack[sp++] = {i, hi};
        hi = j;
      } else {
        if (lo < j) stack[sp++] = {lo, j};
        lo = i;
      }
    }
    for (int k = lo + 1; k <= hi; ++k) {
      if (!(compare(v[k], v[k - 1]) < 0)) continue;
      T x = std::move(v[k]);
      int m = k;
      do {
        v[m] = std::move(v[m - 1]);
        --m;
      } while (m > lo && compare(x, v[m - 1]) < 0);
      v[m] = std::move(x);
    }
  }
}

}  // namespace qdf
