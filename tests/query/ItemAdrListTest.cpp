#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "EnvSize.h"
#include "query/ItemAdrList.h"

namespace qdf {
namespace {

std::vector<TItemAdr> Adrs(const TaItemAdrList& list) {
  std::vector<TItemAdr> out;
  for (const TItemAdrEntry& e : list) out.push_back(e.adr);
  return out;
}

class Tracked : public TObject {
 public:
  explicit Tracked(int id, std::vector<int>* freed) : id_(id), freed_(freed) {}
  ~Tracked() override { freed_->push_back(id_); }

 private:
  int id_;
  std::vector<int>* freed_;
};

// Find's answer and the index it gives.
std::pair<bool, int> FindIn(const TaItemAdrList& list, const TItemAdr& adr) {
  int index = -1;
  const bool found = list.Find(adr, &index);
  return {found, index};
}

int ComparePageDescending(const TItemAdrEntry& a, const TItemAdrEntry& b, void*) {
  return a.adr.page == b.adr.page ? 0 : a.adr.page > b.adr.page ? -1 : 1;
}

TEST(ItemAdrListTest, SortFindDuplicateModesAndInsertPositions) {
  TaItemAdrList list;
  list.Append({5, 2});
  list.Append({3, 7});
  list.Add({5, 1}, 42);
  EXPECT_FALSE(list.Searchable());
  EXPECT_EQ(FindIn(list, {9, 9}), std::make_pair(false, 3));  // unsearchable miss: the count
  EXPECT_EQ(FindIn(list, {5, 1}), std::make_pair(true, 2));

  list.Sort();
  EXPECT_EQ(Adrs(list), (std::vector<TItemAdr>{{3, 7}, {5, 1}, {5, 2}}));
  EXPECT_EQ(list.Items(1).value, 42u);
  EXPECT_TRUE(list.Searchable());
  EXPECT_FALSE(list.Sorted());  // sorting once does not make Add keep order
  EXPECT_EQ(FindIn(list, {4, 0}), std::make_pair(false, 1));  // searchable miss: the insertion
  EXPECT_EQ(FindIn(list, {5, 3}), std::make_pair(false, 3));  // position
  EXPECT_EQ(FindIn(list, {5, 2}), std::make_pair(true, 2));

  list.Sort(&ComparePageDescending);
  EXPECT_FALSE(list.Searchable());
  EXPECT_EQ(list.Adr(0).page, 5u);
  EXPECT_EQ(list.Adr(2), (TItemAdr{3, 7}));
  EXPECT_EQ(FindIn(list, {3, 7}), std::make_pair(true, 2));  // linear search

  list.Sort();
  list.Insert(0, TItemAdrEntry{{1, 1}});
  EXPECT_FALSE(list.Searchable());  // cleared by an unordered insert

  // Appending in order keeps a sorted-once list searchable; out of order
  // does not (a binary search would miss entries).
  list.Sort();
  list.Append({9, 0});
  EXPECT_TRUE(list.Searchable());
  list.Append({2, 0});
  EXPECT_FALSE(list.Searchable());
  EXPECT_EQ(FindIn(list, {2, 0}), std::make_pair(true, 5));

  // Duplicate modes of a sorted list, then of an unsorted one.
  TaItemAdrList sorted;
  sorted.SetSorted(true);
  sorted.SetDuplicates(kDupIgnore);
  sorted.Add({7, 1}, 1);
  EXPECT_EQ(sorted.Add({2, 0}, 2), 0);
  EXPECT_EQ(sorted.Add({7, 1}, 3), 1);  // same address: its index
  EXPECT_EQ(sorted.Count(), 2);
  EXPECT_EQ(sorted.Items(1).value, 1u);

  sorted.SetDuplicates(kDupReplace);
  EXPECT_EQ(sorted.Add({7, 1}, 5), 1);
  EXPECT_EQ(sorted.Items(1).value, 5u);
  EXPECT_EQ(sorted.Count(), 2);

  sorted.SetDuplicates(kDupError);
  EXPECT_THROW(sorted.Add({2, 0}), EAListError);

  sorted.SetDuplicates(kDupAccept);
  EXPECT_EQ(sorted.Add({7, 1}, 6), 2);  // after the equal entry
  EXPECT_EQ(sorted.Add({5, 0}, 7), 1);
  EXPECT_EQ(Adrs(sorted), (std::vector<TItemAdr>{{2, 0}, {5, 0}, {7, 1}, {7, 1}}));

  TaItemAdrList plain;  // unsorted: linear search unless duplicates accepted
  plain.Append({4, 4});
  plain.Append({4, 4});
  EXPECT_EQ(plain.Count(), 2);
  plain.SetDuplicates(kDupIgnore);
  EXPECT_EQ(plain.Append({4, 4}), 0);
  EXPECT_EQ(plain.Append({1, 1}), 2);
  plain.SetDuplicates(kDupReplace);
  EXPECT_EQ(plain.Add({1, 1}, 9), 2);
  EXPECT_EQ(plain.Items(2).value, 9u);
  plain.SetDuplicates(kDupError);
  EXPECT_THROW(plain.Append({1, 1}), EAListError);
  EXPECT_THROW(plain.Insert(0, TItemAdrEntry{{4, 4}}), EAListError);
  // Insert takes an index up to Count() (the end too), none beyond.
  EXPECT_THROW(plain.Insert(4, TItemAdrEntry{{6, 6}}), EAListError);
  plain.Insert(3, TItemAdrEntry{{6, 6}});
  EXPECT_EQ(plain.Count(), 4);
}

TEST(ItemAdrListTest, OwnedObjectsDestroyedOnceLastToFirst) {
  std::vector<int> freed;
  {
    TaItemAdrList list;
    list.SetOwnsEntries(true);
    for (int i = 0; i < 5; ++i)
      list.AddObject({static_cast<uint32_t>(i), 0}, 0, new Tracked(i, &freed));
    list.Delete(1);
    EXPECT_EQ(freed, (std::vector<int>{1}));
    list.SetDuplicates(kDupReplace);
    list.AddObject({3, 0}, 0, new Tracked(33, &freed));  // replaces 3
    EXPECT_EQ(freed, (std::vector<int>{1, 3}));
    TObject* same = list.Items(0).object;
    list.AddObject({0, 0}, 8, same);  // same object again: kept
    EXPECT_EQ(freed.size(), 2u);
    list.Clear();
    EXPECT_EQ(freed, (std::vector<int>{1, 3, 4, 33, 2, 0}));
    list.AddObject({9, 9}, 0, new Tracked(9, &freed));
  }
  EXPECT_EQ(freed, (std::vector<int>{1, 3, 4, 33, 2, 0, 9}));

  // Not owning: objects are left alone.
  Tracked kept(7, &freed);
  {
    TaItemAdrList list;
    list.AddObject({1, 1}, 0, &kept);
    list.Delete(0);
    list.AddObject({1, 1}, 0, &kept);
  }
  EXPECT_EQ(freed.size(), 7u);
}

TEST(ItemAdrListTest, RandomSortedAddsStayOrdered) {
  const long steps = qdf_test::EnvSize("QDF_RANDOM_STEPS", 3000);
  std::mt19937 rng(5);
  TaItemAdrList sorted;
  sorted.SetSorted(true);
  TaItemAdrList unsorted;
  for (int i = 0; i < steps; ++i) {
    TItemAdr adr{static_cast<uint32_t>(rng() % 50), static_cast<uint16_t>(rng() % 4)};
    sorted.Add(adr, static_cast<uint32_t>(i));
    unsorted.Add(adr, static_cast<uint32_t>(i));
  }
  std::vector<TItemAdr> a = Adrs(sorted);
  ASSERT_TRUE(std::is_sorted(a.begin(), a.end(), [](const TItemAdr& x, const TItemAdr& y) {
    return x.page != y.page ? x.page < y.page : x.slot < y.slot;
  }));
  // Equal addresses keep their arrival order (values rise).
  for (int i = 1; i < sorted.Count(); ++i)
    if (sorted.Adr(i) == sorted.Adr(i - 1)) {
      ASSERT_LT(sorted.Items(i - 1).value, sorted.Items(i).value);
    }
  unsorted.Sort();
  EXPECT_EQ(Adrs(unsorted), a);
  for (uint32_t page = 0; page < 51; ++page) {
    const auto [found, got] = FindIn(sorted, {page, 2});
    ASSERT_EQ(FindIn(unsorted, {page, 2}), std::make_pair(found, got));
    if (found) {
      ASSERT_TRUE(got == 0 || !(sorted.Adr(got - 1) == TItemAdr{page, 2}));
    }
  }
}

}  // namespace
}  // namespace qdf
