#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "EnvSize.h"
#include "base/ItemArea.h"
#include "base/PackedItem.h"
#include "base/QdfException.h"
#include "file/FileFormat.h"
#include "list/BtreeList.h"
#include "list/ListTestUtil.h"
#include "storage/Storage.h"

namespace qdf {
namespace {

// A key as an index on one integer field builds it: the 6-byte prefix
// (length, link), then a packed item with the value (4 bytes, big-endian with
// the sign bit flipped, so byte order is value order), a 6-byte record
// reference and, when asked, a filler field that makes the key longer.
std::vector<uint8_t> IntKey(int32_t value, uint32_t ref = 0, int filler = 0) {
  const int fields = filler > 0 ? 3 : 2;
  const int packed = PackedSize(fields) + 4 + 6 + filler;
  std::vector<uint8_t> key(static_cast<size_t>(6 + packed), 0);
  uint8_t* p = key.data();
  StoreU16(p, static_cast<uint16_t>(key.size()));
  StoreU32(p + 2, 0x12345678u);
  uint8_t* body = p + 6;
  StoreU16(body, static_cast<uint16_t>(fields));
  int at = PackedSize(fields);
  StoreU16(body + 2, static_cast<uint16_t>(at + 4));
  StoreU16(body + 4, static_cast<uint16_t>(at + 10));
  if (filler > 0) StoreU16(body + 6, static_cast<uint16_t>(at + 10 + filler));
  const uint32_t biased = static_cast<uint32_t>(value) ^ 0x80000000u;
  body[at] = static_cast<uint8_t>(biased >> 24);
  body[at + 1] = static_cast<uint8_t>(biased >> 16);
  body[at + 2] = static_cast<uint8_t>(biased >> 8);
  body[at + 3] = static_cast<uint8_t>(biased);
  StoreAdr(body + at + 4, TItemAdr{ref, 7});
  std::memset(body + at + 10, 0xA5, static_cast<size_t>(filler));
  return key;
}

int32_t KeyValue(const uint8_t* item) {
  int len = 0;
  const uint8_t* f = GetField(item + 6, 0, &len);
  if (f == nullptr || len != 4) return INT32_MIN;
  const uint32_t biased =
      (uint32_t{f[0]} << 24) | (uint32_t{f[1]} << 16) | (uint32_t{f[2]} << 8) | f[3];
  return static_cast<int32_t>(biased ^ 0x80000000u);
}

uint32_t KeyRef(const uint8_t* item) {
  int len = 0;
  const uint8_t* f = GetField(item + 6, 1, &len);
  return f != nullptr && len == 6 ? LoadU32(f) : 0xFFFFFFFFu;
}

// The key class's rule for one ascending field: bytes over the shorter
// length, then the shorter first. The record reference is not a key field.
int CompareIntField(void* context, const uint8_t* item, const uint8_t* key) {
  if (context != nullptr) ++*static_cast<int64_t*>(context);
  int la = 0, lb = 0;
  const uint8_t* a = GetField(item + 6, 0, &la);
  const uint8_t* b = GetField(key + 6, 0, &lb);
  const int common = std::min(la, lb);
  if (common > 0) {
    if (int c = std::memcmp(a, b, static_cast<size_t>(common))) return c;
  }
  return la - lb;
}

struct TTree {
  explicit TTree(bool duplicates = false, int balance = 50) {
    list = fx.New<TQdfBtreeList>();
    list->SetCompare(nullptr, CompareIntField);
    list->BtreeHeader()->SetAllowDuplicates(duplicates);
    list->BtreeHeader()->SetBalance(balance);
  }
  bool Insert(int32_t value, uint32_t ref = 0, TItemAdr* adr = nullptr, int filler = 0) {
    std::vector<uint8_t> key = IntKey(value, ref, filler);
    return list->Insert(key.data(), adr);
  }
  bool FindFirst(int32_t value, TItemAdr* adr) {
    std::vector<uint8_t> key = IntKey(value);
    return list->FindFirst(key.data(), adr, false);
  }
  int32_t ValueAt(const TItemAdr& adr) {
    const uint8_t* item = list->GetItem(adr);
    return item ? KeyValue(item) : INT32_MIN;
  }
  std::vector<int32_t> Values() {
    std::vector<int32_t> v;
    TItemAdr adr = kBeforeFirstAdr;
    while (const uint8_t* item = list->NextItem(adr)) v.push_back(KeyValue(item));
    return v;
  }
  TQdfPageReader* Reader() { return fx.Reader(); }

  qdf_test::TListFixture fx;
  std::unique_ptr<TQdfBtreeList> list;
};

bool IsInner(const uint8_t* page) { return (LoadU16(page + kPgFlags) & 3) == 3; }

// Walks the tree from the root and checks every invariant a search relies
// on: keys ordered in every page, every key of a subtree within the bounds of
// its separators, leaves reached from left to right in chain order, and the
// counters CountPg and CountUnused.
class TTreeCheck {
 public:
  TTreeCheck(TQdfBtreeList& list, TQdfPageReader* r) : list_(list), r_(r) {}

  void Run() {
    ASSERT_TRUE(list_.HasTree());
    dup_ = list_.BtreeHeader()->AllowDuplicates();
    Walk(list_.BtreeHeader()->RootPg(), {}, {}, 0);
    std::vector<uint32_t> chain;
    for (uint32_t p = list_.PageListHeader()->FirstPg(); p != kNoPage && chain.size() < 1000000;) {
      chain.push_back(p);
      p = LoadU32(r_->GetPage(p, kGpRead) + kPgNext);
    }
    EXPECT_EQ(chain, leaves_);
    EXPECT_EQ(list_.PageListHeader()->CountPg(), static_cast<int32_t>(leaves_.size()) + inner_);
    EXPECT_EQ(list_.BtreeHeader()->CountUnused(), unused_);
  }
  int Height() const { return height_; }
  int Inner() const { return inner_; }
  const std::vector<uint32_t>& Leaves() const { return leaves_; }

 private:
  using TKey = std::vector<uint8_t>;
  void Walk(uint32_t page, const TKey& lower, const TKey& upper, int depth) {
    ASSERT_LT(depth, 40);
    height_ = std::max(height_, depth + 1);
    uint8_t* buf = r_->GetPage(page, kGpRead);
    ASSERT_EQ(LoadAdr(buf + kPgOwner), list_.Address());
    TItemArea area = TItemArea::OfPage(buf);
    ASSERT_TRUE(area.CheckArea());
    unused_ += area.Available();
    const int n = area.SlotCount();
    std::vector<TKey> keys;
    for (int s = 0; s < n; ++s) {
      const uint8_t* item = area.ItemAt(s);
      ASSERT_NE(item, nullptr);
      keys.emplace_back(item, item + LoadU16(item));
    }
    for (int s = 1; s < n; ++s) {
      const int c = list_.Compare(keys[s - 1].data(), keys[s].data());
      if (dup_) {
        ASSERT_LE(c, 0) << "page " << page;
      } else {
        ASSERT_LT(c, 0) << "page " << page;
      }
    }
    for (const TKey& k : keys) {
      if (!lower.empty()) {
        ASSERT_GE(list_.Compare(k.data(), lower.data()), 0);
      }
      if (!upper.empty()) {
        const int c = list_.Compare(k.data(), upper.data());
        if (dup_) {
          ASSERT_LE(c, 0);
        } else {
          ASSERT_LT(c, 0);
        }
      }
    }
    if (!IsInner(buf)) {
      if (leaf_depth_ < 0) leaf_depth_ = depth;
      EXPECT_EQ(depth, leaf_depth_) << "leaves on different levels";
      leaves_.push_back(page);
      return;
    }
    ++inner_;
    EXPECT_EQ(LoadU32(buf + kPgPrior), kNoPage);
    const uint32_t leftmost = LoadU32(buf + kPgNext);
    Walk(leftmost, lower, n > 0 ? keys[0] : upper, depth + 1);
    for (int s = 0; s < n; ++s) {
      Walk(LoadU32(keys[s].data() + 2), keys[s], s + 1 < n ? keys[s + 1] : upper, depth + 1);
    }
  }

  TQdfBtreeList& list_;
  TQdfPageReader* r_;
  bool dup_ = false;
  std::vector<uint32_t> leaves_;
  int inner_ = 0;
  int32_t unused_ = 0;
  int height_ = 0;
  int leaf_depth_ = -1;
};

void CheckTree(TTree& t) {
  TTreeCheck check(*t.list, t.Reader());
  check.Run();
}

// ---- the first key, searching, rejected duplicates ----

TEST(Btree, FirstInsertMakesAOnePageTreeAndSearchNeedsARoutine) {
  TTree t;
  TItemAdr adr;
  EXPECT_FALSE(t.FindFirst(5, &adr));
  EXPECT_TRUE(adr.IsNull());
  ASSERT_TRUE(t.Insert(5, 1, &adr));
  EXPECT_EQ(t.list->BtreeHeader()->RootPg(), t.list->PageListHeader()->FirstPg());
  CheckTree(t);
  t.list->SetCompare(nullptr, nullptr);
  std::vector<uint8_t> key = IntKey(5);
  EXPECT_THROW(t.list->Find(key.data(), &adr, false), EAssertionFailed);
  EXPECT_THROW(t.list->Insert(key.data(), &adr), EAssertionFailed);
}

TEST(Btree, KeysOfABadSizeAreRefused) {
  TTree t;
  uint8_t tiny[8] = {5, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_THROW(t.list->Insert(tiny, nullptr), EQdfException);
  std::vector<uint8_t> huge = IntKey(1, 0, 7983);  // 8007 bytes
  ASSERT_EQ(huge.size(), 8007u);
  EXPECT_THROW(t.list->Insert(huge.data(), nullptr), EQdfException);
  EXPECT_EQ(t.list->Count(), 0);
}

// ---- random inserts and deletes against a model ----

class BtreeRandom : public ::testing::TestWithParam<bool> {};

TEST_P(BtreeRandom, OrderedWalkEqualsSortedModelAndEveryKeyIsFound) {
  const bool dup = GetParam();
  const int n = qdf_test::EnvSize("QDF_BTREE_KEYS", 20000);
  TTree t(dup);
  std::mt19937 rng(dup ? 7u : 11u);
  // With duplicates the values repeat about four times each.
  std::uniform_int_distribution<int32_t> value(dup ? -n / 8 : INT32_MIN, dup ? n / 8 : INT32_MAX);
  std::multiset<int32_t> model;
  std::vector<int32_t> live;
  auto delete_one = [&]() {
    const size_t i = std::uniform_int_distribution<size_t>(0, live.size() - 1)(rng);
    const int32_t v = live[i];
    live[i] = live.back();
    live.pop_back();
    TItemAdr adr;
    ASSERT_TRUE(t.FindFirst(v, &adr)) << v;
    ASSERT_EQ(t.ValueAt(adr), v);
    t.list->DeleteAt(adr);
    model.erase(model.find(v));
  };
  for (int i = 0; i < n; ++i) {
    const int32_t v = i == 0 ? INT32_MIN : i == 1 ? INT32_MAX : value(rng);
    TItemAdr adr;
    const bool inserted = t.Insert(v, static_cast<uint32_t>(i), &adr);
    ASSERT_EQ(t.ValueAt(adr), v);
    if (!dup && model.count(v) != 0) {
      ASSERT_FALSE(inserted);
    } else {
      ASSERT_TRUE(inserted);
      EXPECT_EQ(KeyRef(t.list->GetItem(adr)), static_cast<uint32_t>(i));
      model.insert(v);
      live.push_back(v);
    }
    if (i % 3 == 2) delete_one();
  }
  auto check_all = [&]() {
    EXPECT_EQ(t.list->Count(), static_cast<int64_t>(model.size()));
    const std::vector<int32_t> walked = t.Values();
    ASSERT_TRUE(std::equal(walked.begin(), walked.end(), model.begin(), model.end()));
    for (auto it = model.begin(); it != model.end(); it = model.upper_bound(*it)) {
      TItemAdr adr;
      ASSERT_TRUE(t.FindFirst(*it, &adr)) << *it;
      ASSERT_EQ(t.ValueAt(adr), *it);
      // The first of the equal keys: nothing equal stands before it.
      TItemAdr before = adr;
      if (const uint8_t* item = t.list->PriorItem(before)) {
        ASSERT_LT(KeyValue(item), *it);
      }
    }
    CheckTree(t);
  };
  check_all();
  // Mass deletes: the tree compacts itself on the way and still finds the rest.
  const int32_t pages_before = t.list->PageListHeader()->CountPg();
  const size_t keep = model.size() / 100 + 1;
  while (live.size() > keep) delete_one();
  EXPECT_LT(t.list->PageListHeader()->CountPg(), pages_before / 3);
  check_all();
  // Keys that were never there are not found, and FindKey stands above them.
  for (int i = 0; i < 200; ++i) {
    const int32_t v = value(rng);
    if (model.count(v) != 0) continue;
    TItemAdr adr;
    std::vector<uint8_t> key = IntKey(v);
    ASSERT_FALSE(t.list->FindKey(key.data(), &adr));
    auto above = model.upper_bound(v);
    if (above == model.end()) {
      EXPECT_TRUE(adr.IsNull());
    } else {
      EXPECT_EQ(t.ValueAt(adr), *above);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Btree, BtreeRandom, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Duplicates" : "Unique";
                         });

// ---- duplicates ----

TEST(Btree, FindFirstFindsTheFirstOfALongRunOfEqualKeys) {
  TItemAdr adr;
  // A long run of equal keys spans many leaves; keys around it keep coming,
  // so separators equal to the run's key appear at several levels.
  TTree big(true);
  for (int i = 0; i < 20000; ++i) {
    const int32_t v = i % 3 == 0 ? 500 : (i * 7919) % 1000;
    ASSERT_TRUE(big.Insert(v, static_cast<uint32_t>(i)));
  }
  CheckTree(big);
  for (int32_t v : {0, 499, 500, 501, 999}) {
    ASSERT_TRUE(big.FindFirst(v, &adr)) << v;
    TItemAdr before = adr;
    const uint8_t* prior = big.list->PriorItem(before);
    ASSERT_TRUE(prior == nullptr || KeyValue(prior) < v) << v;
  }
  // FindKey with duplicates is a first-of-equals search as well.
  std::vector<uint8_t> key = IntKey(500);
  ASSERT_TRUE(big.list->FindKey(key.data(), &adr));
  TItemAdr before = adr;
  ASSERT_LT(KeyValue(big.list->PriorItem(before)), 500);
}

TEST(Btree, SearchBelowALeafWhoseFirstKeysWereDeletedEndsOnThePreviousLeaf) {
  TTree t;
  for (int32_t v = 0; v < 4000; ++v) ASSERT_TRUE(t.Insert(v * 10));
  CheckTree(t);
  // Empty the start of every second leaf: the separators above keep the old
  // first keys, so searches for them end before the leaf's first key.
  TTreeCheck check(*t.list, t.Reader());
  check.Run();
  std::vector<int32_t> gone;
  for (size_t i = 1; i < check.Leaves().size(); i += 2) {
    for (int k = 0; k < 3; ++k) {
      TItemAdr adr{check.Leaves()[i], 0};
      gone.push_back(t.ValueAt(adr));
      t.list->DeleteAt(adr);
    }
  }
  // Below every key: FindKey stands on the first key.
  std::vector<uint8_t> lowest = IntKey(-5);
  TItemAdr first;
  ASSERT_FALSE(t.list->FindKey(lowest.data(), &first));
  EXPECT_EQ(t.ValueAt(first), 0);
  for (int32_t v : gone) {
    for (int32_t probe : {v, v + 1}) {
      std::vector<uint8_t> key = IntKey(probe);
      TItemAdr adr;
      ASSERT_FALSE(t.list->Find(key.data(), &adr, false));
      // The address names the last key below: a "<" scan starts there.
      const uint8_t* item = t.list->GetItem(adr);
      ASSERT_NE(item, nullptr) << probe;
      EXPECT_LT(KeyValue(item), probe);
      TItemAdr next = adr;
      const uint8_t* above = t.list->NextItem(next);
      ASSERT_NE(above, nullptr);
      EXPECT_GT(KeyValue(above), probe);
      ASSERT_FALSE(t.list->FindFirst(key.data(), &adr, true));
      EXPECT_EQ(t.ValueAt(adr), KeyValue(above));
    }
  }
}

// ---- page filling and splits ----

double AverageLeafFill(TTree& t) {
  TTreeCheck check(*t.list, t.Reader());
  check.Run();
  double sum = 0;
  const auto& leaves = check.Leaves();
  for (size_t i = 0; i + 1 < leaves.size(); ++i) {  // the last leaf is still filling
    TItemArea area = TItemArea::OfPage(t.Reader()->GetPage(leaves[i], kGpRead));
    sum += 1.0 - static_cast<double>(area.Available()) / (area.Size() - 14);
  }
  return sum / static_cast<double>(leaves.size() - 1);
}

TEST(Btree, KeysInOrderFillLeavesAsBalanceSays) {
  // A balance outside 1..99 counts as 50.
  for (int balance : {95, 0}) {
    TTree t(false, balance);
    for (int32_t v = 0; v < 20000; ++v) ASSERT_TRUE(t.Insert(v));
    EXPECT_NEAR(AverageLeafFill(t), balance == 0 ? 0.5 : 0.95, 0.04) << "balance " << balance;
  }
}

TEST(Btree, LargeKeyThatFitsBesideNoNeighbourGoesOnAPageOfItsOwn) {
  TTree t;
  TItemAdr adr;
  ASSERT_TRUE(t.Insert(10, 1, &adr, 4000));
  ASSERT_TRUE(t.Insert(30, 3, &adr, 4000));
  EXPECT_EQ(t.list->PageListHeader()->CountPg(), 1);
  // 8006 bytes between two 4024-byte keys: three leaves, the new key alone.
  ASSERT_TRUE(t.Insert(20, 2, &adr, 7982));
  EXPECT_EQ(LoadU16(t.list->GetItem(adr)), 8006);
  EXPECT_EQ(t.ValueAt(adr), 20);
  EXPECT_EQ(t.Values(), (std::vector<int32_t>{10, 20, 30}));
  TTreeCheck check(*t.list, t.Reader());
  check.Run();
  EXPECT_EQ(check.Leaves().size(), 3u);
  TItemArea middle = TItemArea::OfPage(t.Reader()->GetPage(adr.page, kGpRead));
  EXPECT_EQ(middle.SlotCount(), 1);
}

// A separator routine as an index sets it: the right key cut down to its
// first field (the record reference and filler are dropped).
int FirstFieldSeparator(void* context, const uint8_t*, const uint8_t* right, uint8_t* out,
                        int capacity) {
  ++*static_cast<int*>(context);
  int len = 0;
  const uint8_t* f = GetField(right + 6, 0, &len);
  const int size = 6 + PackedSize(1) + len;
  if (size > capacity) return 0;
  StoreU16(out, static_cast<uint16_t>(size));
  StoreU32(out + 2, 0);
  StoreU16(out + 6, 1);
  StoreU16(out + 8, static_cast<uint16_t>(PackedSize(1) + len));
  std::memcpy(out + 6 + PackedSize(1), f, static_cast<size_t>(len));
  return size;
}

// A broken routine: its "separator" is the left key, which does not separate.
int LeftKeySeparator(void* context, const uint8_t* left, const uint8_t*, uint8_t* out,
                     int capacity) {
  ++*static_cast<int*>(context);
  const int len = LoadU16(left);
  if (len > capacity) return 0;
  std::memcpy(out, left, static_cast<size_t>(len));
  return len;
}

TEST(Btree, SeparatorRoutineShortensInnerKeysAndOneThatDoesNotSeparateIsIgnored) {
  for (bool broken : {false, true}) {
    TTree t;
    int calls = 0;
    t.list->SetSeparator(&calls, broken ? LeftKeySeparator : FirstFieldSeparator);
    std::mt19937 rng(5);
    std::set<int32_t> model;
    for (int i = 0; i < 6000; ++i) {
      const int32_t v = std::uniform_int_distribution<int32_t>(0, 1 << 20)(rng);
      if (t.Insert(v, 0, nullptr, 200)) model.insert(v);
    }
    EXPECT_GT(calls, 10);
    CheckTree(t);
    // Inner keys are 14 bytes when shortened, the whole right key otherwise.
    const uint8_t* root = t.Reader()->GetPage(t.list->BtreeHeader()->RootPg(), kGpRead);
    ASSERT_TRUE(IsInner(root));
    TItemArea area = TItemArea::OfPage(const_cast<uint8_t*>(root));
    EXPECT_EQ(LoadU16(area.ItemAt(0)), broken ? 224 : 14);
    for (int32_t v : model) {
      TItemAdr adr;
      ASSERT_TRUE(t.FindFirst(v, &adr));
    }
    // The bulk build shortens the same way.
    t.list->DropTree(true);
    t.list->BuildTree();
    CheckTree(t);
    root = t.Reader()->GetPage(t.list->BtreeHeader()->RootPg(), kGpRead);
    area = TItemArea::OfPage(const_cast<uint8_t*>(root));
    EXPECT_EQ(LoadU16(area.ItemAt(0)), broken ? 224 : 14);
  }
}

// ---- bulk build ----

TEST(Btree, BulkBuildFromAnUnsortedChainEqualsInsertion) {
  const int n = qdf_test::EnvSize("QDF_BTREE_BULK", 50000);
  std::vector<int32_t> values(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) values[i] = i * 3 - n;
  std::mt19937 rng(9);
  std::shuffle(values.begin(), values.end(), rng);

  TTree bulk;
  for (int32_t v : values) {
    std::vector<uint8_t> key = IntKey(v, static_cast<uint32_t>(v));
    bulk.list->AppendCopy(key.data());
  }
  EXPECT_FALSE(bulk.list->HasTree());
  EXPECT_FALSE(bulk.list->Sorted());
  bulk.list->BuildTree();
  EXPECT_TRUE(bulk.list->Sorted());
  EXPECT_EQ(bulk.list->Count(), n);
  CheckTree(bulk);

  std::vector<int32_t> sorted = values;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(bulk.Values(), sorted);
  for (int i = 0; i < n; i += 7) {
    TItemAdr adr;
    ASSERT_TRUE(bulk.FindFirst(values[i], &adr));
    EXPECT_EQ(KeyRef(bulk.list->GetItem(adr)), static_cast<uint32_t>(values[i]));
  }
  // The bulk-built tree takes further inserts and deletes.
  for (int i = 0; i < 2000; ++i) ASSERT_TRUE(bulk.Insert(i * 3 - n + 1));
  TItemAdr adr;
  for (int i = 0; i < 2000; ++i) {
    ASSERT_TRUE(bulk.FindFirst(i * 3 - n, &adr));
    bulk.list->DeleteAt(adr);
  }
  CheckTree(bulk);
  EXPECT_EQ(bulk.list->Count(), n);
}

// An item list's load leaves items without a tree, and an unsorted append
// drops the tree: the next search sorts and builds it again.
TEST(Btree, TreeIsBuiltLazilyAndDroppedOnUnsortedAppends) {
  TTree t;
  for (int32_t v = 0; v < 3000; ++v) ASSERT_TRUE(t.Insert(v));
  t.list->Loaded();  // as on opening: a list with its tree is sorted
  EXPECT_TRUE(t.list->Sorted());
  t.list->DropTree(true);
  t.list->Loaded();
  EXPECT_FALSE(t.list->Sorted());
  TItemAdr adr;
  ASSERT_TRUE(t.FindFirst(1234, &adr));
  EXPECT_TRUE(t.list->HasTree());
  CheckTree(t);
  std::vector<uint8_t> key = IntKey(-1);
  t.list->AppendCopy(key.data());
  EXPECT_FALSE(t.list->HasTree());
  ASSERT_TRUE(t.FindFirst(-1, &adr));
  EXPECT_EQ(adr, (TItemAdr{t.list->PageListHeader()->FirstPg(), 0}));
  CheckTree(t);
  t.list->ClearPages();
  EXPECT_EQ(t.list->BtreeHeader()->RootPg(), kNoPage);
  ASSERT_TRUE(t.Insert(3));
  CheckTree(t);
}

// ---- deletion and compaction ----

TEST(Btree, DeleteAtRemovesTheKeyWhereItWas) {
  TTree t;
  for (int32_t v = 0; v < 2000; ++v) ASSERT_TRUE(t.Insert(v));
  const uint32_t first = t.list->PageListHeader()->FirstPg();
  const int n = TItemArea::OfPage(t.Reader()->GetPage(first, kGpRead)).SlotCount();
  const uint32_t second = LoadU32(t.Reader()->GetPage(first, kGpRead) + kPgNext);
  const int32_t last_value = t.ValueAt(TItemAdr{first, static_cast<uint16_t>(n - 1)});
  const int32_t next_value = t.ValueAt(TItemAdr{second, 0});

  // The last key of a leaf: the address moves on to the next leaf's first
  // key, and that key stays.
  TItemAdr adr{first, static_cast<uint16_t>(n - 1)};
  t.list->DeleteAt(adr);
  EXPECT_EQ(adr, (TItemAdr{second, 0}));
  EXPECT_EQ(t.ValueAt(adr), next_value);
  TItemAdr probe;
  EXPECT_FALSE(t.FindFirst(last_value, &probe));
  EXPECT_TRUE(t.FindFirst(next_value, &probe));

  // A key inside a leaf: the address then names the key that followed.
  adr = TItemAdr{first, 3};
  t.list->DeleteAt(adr);
  EXPECT_EQ(adr, (TItemAdr{first, 3}));
  EXPECT_EQ(t.ValueAt(adr), 4);

  // The very last key: the address becomes null.
  adr = TItemAdr{t.list->PageListHeader()->LastPg(), 0};
  adr.slot = static_cast<uint16_t>(
      TItemArea::OfPage(t.Reader()->GetPage(adr.page, kGpRead)).SlotCount() - 1);
  t.list->DeleteAt(adr);
  EXPECT_TRUE(adr.IsNull());

  // Addresses that name nothing change nothing.
  const int64_t count = t.list->Count();
  adr = TItemAdr{t.list->BtreeHeader()->RootPg(), 0};  // an inner page
  t.list->DeleteAt(adr);
  adr = kNullAdr;
  t.list->DeleteAt(adr);
  EXPECT_EQ(t.list->Count(), count);
  CheckTree(t);
}

TEST(Btree, CompactRefillsPagesAndKeepsTheAddressOnItsKey) {
  TTree t;
  std::mt19937 rng(21);
  std::vector<int32_t> values(20000);
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<int32_t>(i);
  std::shuffle(values.begin(), values.end(), rng);
  for (int32_t v : values) ASSERT_TRUE(t.Insert(v));
  // Delete one key in three: pages thin out, not yet enough for a compaction.
  std::set<int32_t> model(values.begin(), values.end());
  for (int32_t v = 0; v < 20000; ++v) {
    if (v % 3 != 0) continue;
    TItemAdr adr;
    ASSERT_TRUE(t.FindFirst(v, &adr));
    t.list->DeleteAt(adr);
    model.erase(v);
  }
  const int32_t pages = t.list->PageListHeader()->CountPg();
  TItemAdr adr;
  ASSERT_TRUE(t.FindFirst(15001, &adr));
  t.list->Compact(&adr, TQdfBtreeList::kCompactReserve);
  EXPECT_EQ(t.ValueAt(adr), 15001);
  EXPECT_LT(t.list->PageListHeader()->CountPg(), pages);
  CheckTree(t);
  // Every leaf but the last is filled to within the reserve of its next key.
  TTreeCheck check(*t.list, t.Reader());
  check.Run();
  for (size_t i = 0; i + 1 < check.Leaves().size(); ++i) {
    TItemArea area = TItemArea::OfPage(t.Reader()->GetPage(check.Leaves()[i], kGpRead));
    EXPECT_LT(area.Available(), 22 + TQdfBtreeList::kCompactReserve);
  }
  for (int32_t v : model) ASSERT_TRUE(t.FindFirst(v, &adr)) << v;
  EXPECT_EQ(t.Values(), std::vector<int32_t>(model.begin(), model.end()));
}

// ---- damage ----

TEST(Btree, DamagedLinksRaiseInsteadOfLoopingOrOverrunning) {
  TTree t;
  for (int32_t v = 0; v < 3000; ++v) ASSERT_TRUE(t.Insert(v * 2));
  const uint32_t root = t.list->BtreeHeader()->RootPg();
  ASSERT_TRUE(IsInner(t.Reader()->GetPage(root, kGpRead)));
  std::vector<uint8_t> low = IntKey(-10);
  TItemAdr adr;

  // The leftmost child points back at the root: a cycle.
  uint8_t* buf = t.Reader()->EditPage(root);
  const uint32_t leftmost = LoadU32(buf + kPgNext);
  StoreU32(buf + kPgNext, root);
  EXPECT_THROW(t.list->Find(low.data(), &adr, false), EQdfException);
  EXPECT_THROW(t.list->Insert(low.data(), &adr), EQdfException);

  // A link to a page of another list: a search raises (it never ends as if
  // the key were missing), and so does an insertion.
  auto other = t.fx.New<TQdfBtreeList>();
  other->Header()->SetAddress(TItemAdr{77, 1});
  other->SetCompare(nullptr, CompareIntField);
  std::vector<uint8_t> k = IntKey(1);
  ASSERT_TRUE(other->Insert(k.data(), nullptr));
  buf = t.Reader()->EditPage(root);
  StoreU32(buf + kPgNext, other->PageListHeader()->FirstPg());
  EXPECT_THROW(t.list->Find(low.data(), &adr, false), EQdfException);
  EXPECT_THROW(t.list->Insert(low.data(), &adr), EQdfException);

  // A link to no page at all.
  buf = t.Reader()->EditPage(root);
  StoreU32(buf + kPgNext, kNoPage);
  EXPECT_THROW(t.list->Find(low.data(), &adr, false), EQdfException);
  EXPECT_THROW(t.list->Insert(low.data(), &adr), EQdfException);

  // An inner key too short to hold a link.
  buf = t.Reader()->EditPage(root);
  StoreU32(buf + kPgNext, leftmost);
  TItemArea area = TItemArea::OfPage(buf);
  StoreU16(area.ItemAt(area.SlotCount() - 1), 4);
  std::vector<uint8_t> high = IntKey(100000);
  EXPECT_THROW(t.list->Insert(high.data(), &adr), EQdfException);
}

}  // namespace
}  // namespace qdf
