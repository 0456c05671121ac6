#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "BaseTestUtil.h"
#include "EnvSize.h"
#include "base/ObjectList.h"
#include "base/TemplateList.h"

namespace qdf {
namespace {

using qdf_test::TextOf;

int CompareInt(const int& a, const int& b, void*) { return a < b ? -1 : a > b ? 1 : 0; }

// Orders pairs by `first` only, so equal keys with different payloads show
// where duplicates went.
using Pair = std::pair<int, int>;
int CompareFirst(const Pair& a, const Pair& b, void*) {
  return CompareInt(a.first, b.first, nullptr);
}

std::vector<int> Contents(const TaTemplateList<int>& list) {
  return std::vector<int>(list.begin(), list.end());
}

TEST(TemplateListTest, IndexChecksUniqueUnsortedListsAndLateCompare) {
  TaTemplateList<int> list;
  for (int i = 0; i < 5; ++i) list.Add(i);
  // Each out-of-range index is named in the message.
  const std::pair<int, std::function<void()>> bad[] = {
      {6, [&] { list.Insert(6, 9); }}, {-1, [&] { list.Insert(-1, 9); }},
      {5, [&] { list.Delete(5); }},    {-2, [&] { list.Items(-2); }},
      {5, [&] { list.Extract(5); }},
  };
  for (const auto& [index, call] : bad)
    EXPECT_EQ(TextOf<EAListError>(call),
              "Der Index der Liste überschreitet das Maximum (" + std::to_string(index) + ")");
  list.Insert(5, 50);  // at the end is allowed
  EXPECT_EQ(Contents(list), (std::vector<int>{0, 1, 2, 3, 4, 50}));

  TaTemplateList<int> unique(nullptr, nullptr, kDupError, /*unique=*/true);
  unique.Add(3);
  EXPECT_THROW(unique.Add(3), EAListError);
  EXPECT_THROW(unique.Insert(0, 3), EAListError);  // checked on Insert too
  unique.Insert(0, 8);
  EXPECT_EQ(Contents(unique), (std::vector<int>{8, 3}));

  TaTemplateList<int> later;
  for (int v : {4, 2, 8, 6}) later.Add(v);
  later.SetCompare(&CompareInt, nullptr);  // sorts at once
  EXPECT_EQ(later.Add(5), 2);
  EXPECT_EQ(Contents(later), (std::vector<int>{2, 4, 5, 6, 8}));
  later.Insert(0, 9);  // an explicit position breaks the order
  EXPECT_FALSE(later.Sorted());
}

// Random adds under every duplicates mode, and deletes, against a sorted
// vector: an equal item is ignored (its first copy's index back), refused,
// stored after the run of equal items, or replaces the first of them.
TEST(TemplateListTest, SortedListFollowsItsDuplicatesModeUnderRandomAdds) {
  const int steps = qdf_test::EnvSize("QDF_RANDOM_STEPS", 3000);
  std::mt19937 rng(42);
  TaTemplateList<Pair> list(&CompareFirst, nullptr, kDupAccept);
  std::vector<Pair> model;
  auto first_not_below = [&](int v) {
    return std::lower_bound(model.begin(), model.end(), Pair(v, INT_MIN),
                            [](const Pair& a, const Pair& b) { return a.first < b.first; });
  };
  for (int i = 0; i < steps; ++i) {
    const Pair p(static_cast<int>(rng() % 200), i);
    if (rng() % 4 == 0 && list.Count() > 0) {
      int index = static_cast<int>(rng() % static_cast<unsigned>(list.Count()));
      list.Delete(index);
      model.erase(model.begin() + index);
      continue;
    }
    const TDuplicates mode = static_cast<TDuplicates>(rng() % 4);
    list.SetDuplicates(mode);
    auto at = first_not_below(p.first);
    const int index = static_cast<int>(at - model.begin());
    if (at == model.end() || at->first != p.first) {
      ASSERT_EQ(list.Add(p), index);
      model.insert(at, p);
    } else if (mode == kDupIgnore) {
      ASSERT_EQ(list.Add(p), index);
    } else if (mode == kDupError) {
      ASSERT_THROW(list.Add(p), EAListError);
    } else if (mode == kDupReplace) {
      ASSERT_EQ(list.Add(p), index);
      *at = p;
    } else {
      while (at != model.end() && at->first == p.first) ++at;
      ASSERT_EQ(list.Add(p), static_cast<int>(at - model.begin()));
      model.insert(at, p);
    }
    ASSERT_EQ(list.Count(), static_cast<int>(model.size()));
  }
  EXPECT_EQ(std::vector<Pair>(list.begin(), list.end()), model);
  for (int v = 0; v < 200; ++v) {
    auto it = first_not_below(v);
    int expected =
        (it != model.end() && it->first == v) ? static_cast<int>(it - model.begin()) : -1;
    ASSERT_EQ(list.IndexOf(Pair(v, -1)), expected) << v;
  }
}

// Sorts `data` with QuickSortItems, checks the result against std::sort and
// returns the number of comparisons.
long SortAndCheck(std::vector<Pair> data) {
  std::vector<Pair> expected = data;
  std::stable_sort(expected.begin(), expected.end(),
                   [](const Pair& a, const Pair& b) { return a.first < b.first; });
  long compares = 0;
  QuickSortItems(data.data(), static_cast<int>(data.size()), [&](const Pair& a, const Pair& b) {
    ++compares;
    return CompareFirst(a, b, nullptr);
  });
  for (size_t i = 0; i < data.size(); ++i) EXPECT_EQ(data[i].first, expected[i].first) << i;
  // The same pairs: every payload survives beside its key.
  std::sort(data.begin(), data.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(data, expected);
  return compares;
}

TEST(TemplateListTest, SortRandomAndAdversarialData) {
  std::mt19937 rng(7);
  for (int n = 0; n <= 70; ++n) {
    for (int distinct : {1, 2, 3, 1000}) {
      std::vector<Pair> data;
      for (int i = 0; i < n; ++i) data.push_back({static_cast<int>(rng() % distinct), i});
      SortAndCheck(data);
    }
  }
  // Larger inputs: compare counts stay near n log n (a degenerate partition
  // would need about n^2 / 2).
  const int n = 20000;
  const double bound = 4.0 * n * std::log2(n);
  std::vector<std::vector<Pair>> inputs(6);
  for (int i = 0; i < n; ++i) {
    inputs[0].push_back({static_cast<int>(rng()), i});      // random
    inputs[1].push_back({i, i});                            // ascending
    inputs[2].push_back({n - i, i});                        // descending
    inputs[3].push_back({7, i});                            // all equal
    inputs[4].push_back({static_cast<int>(rng() % 3), i});  // many equal
    inputs[5].push_back({i < n / 2 ? i : n - i, i});        // organ pipe
  }
  for (size_t k = 0; k < inputs.size(); ++k)
    EXPECT_LT(SortAndCheck(inputs[k]), bound) << "input " << k;
}

using Counted = qdf_test::TCounted;

int CompareCountedId(Counted* const& a, Counted* const& b, void*) {
  return CompareInt(a->id, b->id, nullptr);
}

TEST(ObjectListTest, OwnedObjectsFreedExactlyOnceAndReplacedDuplicatesFreed) {
  Counted::live = 0;
  {
    TaObjectListOf<Counted> list(/*owns_objects=*/true);
    for (int i = 0; i < 10; ++i) list.Add(new Counted(i));
    EXPECT_EQ(Counted::live, 10);
    list.Delete(0);
    EXPECT_EQ(Counted::live, 9);
    Counted* third = list[2];
    EXPECT_EQ(list.Remove(third), 2);
    EXPECT_EQ(Counted::live, 8);
    Counted* taken = list.Extract(0);  // handed back, not freed
    EXPECT_EQ(Counted::live, 8);
    delete taken;
    EXPECT_EQ(list.Count(), 7);
    // Replacing an entry by itself keeps the object alive.
    list.SetItem(0, list[0]);
    EXPECT_EQ(Counted::live, 7);
    list.SetItem(0, new Counted(99));
    EXPECT_EQ(Counted::live, 7);
    // A sorted list that replaces duplicates frees the displaced object.
    TaObjectListOf<Counted> sorted(true, &CompareCountedId, nullptr, kDupReplace);
    Counted* a = new Counted(1);
    sorted.Add(a);
    sorted.Add(new Counted(2));
    EXPECT_EQ(sorted.Add(a), 0);  // the same object again: kept
    EXPECT_EQ(Counted::live, 9);
    EXPECT_EQ(sorted.Add(new Counted(1)), 0);  // another object with id 1: old one freed
    EXPECT_EQ(Counted::live, 9);
    EXPECT_EQ(sorted.Count(), 2);
  }
  EXPECT_EQ(Counted::live, 0);
}

}  // namespace
}  // namespace qdf
