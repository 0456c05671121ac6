#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
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
  StoreU32BE(body + at, static_cast<uint32_t>(value) ^ 0x80000000u);
  StoreAdr(body + at + 4, TItemAdr{ref, 7});
  std::memset(body + at + 10, 0xA5, static_cast<size_t>(filler));
  return key;
}

int32_t KeyValue(const uint8_t* item) {
  int len = 0;
  const uint8_t* f = GetField(item + 6, 0, &len);
  if (f == nullptr || len != 4) return INT32_MIN;
  return static_cast<int32_t>(LoadU32BE(f) ^ 0x80000000u);
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
    return list->Insert(IntKey(value, ref, filler).data(), adr);
  }
  bool FindFirst(int32_t value, TItemAdr* adr) {
    return list->FindFirst(IntKey(value).data(), adr, false);
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
  const std::vector<uint32_t>& Leaves() const { return leaves_; }

 private:
  using TKey = std::vector<uint8_t>;
  void Walk(uint32_t page, const TKey& lower, const TKey& upper, int depth) {
    ASSERT_LT(depth, 40);
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
    // Equal keys follow each other only in a tree with duplicates.
    const int most = dup_ ? 0 : -1;
    for (int s = 1; s < n; ++s) {
      ASSERT_LE(list_.Compare(keys[s - 1].data(), keys[s].data()), most) << "page " << page;
    }
    for (const TKey& k : keys) {
      if (!lower.empty()) {
        ASSERT_GE(list_.Compare(k.data(), lower.data()), 0);
      }
      if (!upper.empty()) {
        ASSERT_LE(list_.Compare(k.data(), upper.data()), most);
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
  int leaf_depth_ = -1;
};

TTreeCheck CheckTree(TTree& t) {
  TTreeCheck check(*t.list, t.Reader());
  check.Run();
  return check;
}

// ---- the first key, searching, rejected duplicates ----

TEST(Btree, LargeKeyThatFitsBesideNoNeighbourGoesOnAPageOfItsOwnAndBadSizesAreRefused) {
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
  EXPECT_EQ(CheckTree(t).Leaves().size(), 3u);
  TItemArea middle = TItemArea::OfPage(t.Reader()->GetPage(adr.page, kGpRead));
  EXPECT_EQ(middle.SlotCount(), 1);

  uint8_t tiny[8] = {5, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_THROW(t.list->Insert(tiny, nullptr), EQdfException);
  std::vector<uint8_t> huge = IntKey(1, 0, 7983);  // 8007 bytes
  EXPECT_THROW(t.list->Insert(huge.data(), nullptr), EQdfException);
  EXPECT_EQ(t.list->Count(), 3);
  // Without a compare routine a tree cannot be searched.
  t.list->SetCompare(nullptr, nullptr);
  EXPECT_THROW(t.list->Insert(IntKey(5).data(), nullptr), EAssertionFailed);
}

// ---- random inserts, deletes and searches against a model ----

struct TRandomCase {
  const char* name;
  bool duplicates;
  int32_t spread;  // values drawn from -spread..spread; 0: the whole range
};

class BtreeRandom : public ::testing::TestWithParam<TRandomCase> {};

// After every step the tree answers as the sorted model does: the inserted
// key where the address says, DeleteAt's address on the key that followed,
// searches for absent keys between their neighbours. Now and then a
// compaction keeps the address on its key, and an unsorted append drops the
// tree that the next search builds again.
TEST_P(BtreeRandom, EveryStepAnswersAsTheSortedModel) {
  const TRandomCase rc = GetParam();
  const int n = qdf_test::EnvSize("QDF_BTREE_KEYS", 20000);
  TTree t(rc.duplicates);
  std::mt19937 rng(rc.spread == 0 ? 11u : 7u);
  // INT32_MIN stands for "no key"; low - 1 is appended below every key.
  const int32_t low = rc.spread == 0 ? INT32_MIN + 2 : -rc.spread;
  std::uniform_int_distribution<int32_t> value(low, rc.spread == 0 ? INT32_MAX : rc.spread);
  std::multiset<int32_t> model;
  std::vector<int32_t> live;
  auto value_or = [&](const uint8_t* item) { return item ? KeyValue(item) : INT32_MIN; };
  // The model's key after `v` (with `equal`: not below it), INT32_MIN if none.
  auto model_next = [&](int32_t v, bool equal) {
    auto it = equal ? model.lower_bound(v) : model.upper_bound(v);
    return it == model.end() ? INT32_MIN : *it;
  };
  auto probe_absent = [&](int32_t v) {
    if (model.count(v) != 0) return;
    std::vector<uint8_t> key = IntKey(v);
    TItemAdr adr;
    ASSERT_FALSE(t.list->Find(key.data(), &adr, false)) << v;
    // The address names the last key below (a "<" scan starts there).
    auto below = model.lower_bound(v);
    ASSERT_EQ(value_or(t.list->GetItem(adr)),
              below == model.begin() ? INT32_MIN : *std::prev(below))
        << v;
    ASSERT_EQ(value_or(t.list->NextItem(adr)), model_next(v, false)) << v;
    ASSERT_FALSE(t.list->FindKey(key.data(), &adr));
    ASSERT_EQ(value_or(t.list->GetItem(adr)), model_next(v, false)) << v;
    ASSERT_FALSE(t.list->FindFirst(key.data(), &adr, true));
    ASSERT_EQ(value_or(t.list->GetItem(adr)), model_next(v, false)) << v;
  };
  auto delete_one = [&]() {
    const size_t i = std::uniform_int_distribution<size_t>(0, live.size() - 1)(rng);
    const int32_t v = live[i];
    live[i] = live.back();
    live.pop_back();
    TItemAdr adr;
    ASSERT_TRUE(t.FindFirst(v, &adr)) << v;
    ASSERT_EQ(t.ValueAt(adr), v);
    TItemAdr before = adr;
    ASSERT_EQ(value_or(t.list->PriorItem(before)),
              model.lower_bound(v) == model.begin() ? INT32_MIN : *std::prev(model.lower_bound(v)));
    t.list->DeleteAt(adr);
    model.erase(model.find(v));
    ASSERT_EQ(value_or(t.list->GetItem(adr)), model_next(v, true)) << v;
    ASSERT_EQ(adr.IsNull(), model_next(v, true) == INT32_MIN);
    probe_absent(v);
    if (v != INT32_MAX) probe_absent(v + 1);
  };
  auto check_all = [&]() {
    EXPECT_EQ(t.list->Count(), static_cast<int64_t>(model.size()));
    const std::vector<int32_t> walked = t.Values();
    ASSERT_TRUE(std::equal(walked.begin(), walked.end(), model.begin(), model.end()));
    for (auto it = model.begin(); it != model.end(); it = model.upper_bound(*it)) {
      TItemAdr adr;
      ASSERT_TRUE(t.FindFirst(*it, &adr)) << *it;
      ASSERT_EQ(t.ValueAt(adr), *it);
      TItemAdr before = adr;  // the first of the equal keys
      ASSERT_LT(value_or(t.list->PriorItem(before)), *it);
      std::vector<uint8_t> key = IntKey(*it);
      TItemAdr found;
      ASSERT_TRUE(t.list->FindKey(key.data(), &found));
      ASSERT_EQ(found, adr);
    }
    probe_absent(model.empty() ? 0 : *model.begin() - 1);
    CheckTree(t);
  };
  for (int i = 0; i < n; ++i) {
    const int32_t v = i == 0 ? low : i == 1 ? INT32_MAX : value(rng);
    TItemAdr adr;
    const bool inserted = t.Insert(v, static_cast<uint32_t>(i), &adr);
    ASSERT_EQ(t.ValueAt(adr), v);
    if (!rc.duplicates && model.count(v) != 0) {
      ASSERT_FALSE(inserted);
    } else {
      ASSERT_TRUE(inserted);
      EXPECT_EQ(KeyRef(t.list->GetItem(adr)), static_cast<uint32_t>(i));
      model.insert(v);
      live.push_back(v);
    }
    if (i % 3 == 2) delete_one();
    if (i % 4999 == 4998) {
      // A compaction refills the pages and keeps the address on its key.
      const int32_t k = live[live.size() / 2];
      ASSERT_TRUE(t.FindFirst(k, &adr));
      const uint32_t ref = KeyRef(t.list->GetItem(adr));
      t.list->Compact(&adr, TQdfBtreeList::kCompactReserve);
      ASSERT_EQ(t.ValueAt(adr), k);
      ASSERT_EQ(KeyRef(t.list->GetItem(adr)), ref);
      const TTreeCheck check = CheckTree(t);
      for (size_t l = 0; l + 1 < check.Leaves().size(); ++l) {
        TItemArea area = TItemArea::OfPage(t.Reader()->GetPage(check.Leaves()[l], kGpRead));
        ASSERT_LT(area.Available(), 22 + TQdfBtreeList::kCompactReserve);
      }
    }
  }
  check_all();
  // As on opening: a list with its tree is sorted, one without is not; an
  // append below every key drops the tree, the next search builds it again.
  t.list->Loaded();
  EXPECT_TRUE(t.list->Sorted());
  t.list->DropTree(true);
  t.list->Loaded();
  EXPECT_FALSE(t.list->Sorted());
  check_all();  // its searches build the tree again
  t.list->AppendCopy(IntKey(low - 1).data());
  EXPECT_FALSE(t.list->HasTree());
  TItemAdr first;
  ASSERT_TRUE(t.FindFirst(low - 1, &first));
  EXPECT_EQ(first, (TItemAdr{t.list->PageListHeader()->FirstPg(), 0}));
  model.insert(low - 1);
  live.push_back(low - 1);
  check_all();
  // Mass deletes: the tree compacts itself on the way and still finds the rest.
  const int32_t pages_before = t.list->PageListHeader()->CountPg();
  const size_t keep = model.size() / 100 + 1;
  while (live.size() > keep) delete_one();
  EXPECT_LT(t.list->PageListHeader()->CountPg(), pages_before / 3);
  check_all();
  for (int i = 0; i < 200; ++i) probe_absent(value(rng));
  // Addresses that name no key (an inner page, null) delete nothing.
  for (TItemAdr adr : {TItemAdr{t.list->BtreeHeader()->RootPg(), 0}, kNullAdr}) {
    t.list->DeleteAt(adr);
  }
  EXPECT_EQ(t.list->Count(), static_cast<int64_t>(model.size()));
  // A cleared list starts a new tree.
  t.list->ClearPages();
  EXPECT_EQ(t.list->BtreeHeader()->RootPg(), kNoPage);
  model.clear();
  for (int32_t k : {3, 1, 2}) {
    ASSERT_TRUE(t.Insert(k));
    model.insert(k);
  }
  check_all();
}

INSTANTIATE_TEST_SUITE_P(Btree, BtreeRandom,
                         ::testing::Values(TRandomCase{"Unique", false, 0},
                                           TRandomCase{"Duplicates", true, 2500},
                                           // Runs of equal keys over many leaves.
                                           TRandomCase{"LongRuns", true, 20}),
                         [](const ::testing::TestParamInfo<TRandomCase>& info) {
                           return info.param.name;
                         });

// ---- page filling and splits ----

double AverageLeafFill(TTree& t) {
  const TTreeCheck check = CheckTree(t);
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
    // Inner keys are 14 bytes when shortened, the whole right key otherwise.
    auto expect_root_keys = [&] {
      CheckTree(t);
      uint8_t* root = t.Reader()->GetPage(t.list->BtreeHeader()->RootPg(), kGpRead);
      ASSERT_TRUE(IsInner(root));
      EXPECT_EQ(LoadU16(TItemArea::OfPage(root).ItemAt(0)), broken ? 224 : 14);
    };
    expect_root_keys();
    for (int32_t v : model) {
      TItemAdr adr;
      ASSERT_TRUE(t.FindFirst(v, &adr));
    }
    // The bulk build shortens the same way.
    t.list->DropTree(true);
    t.list->BuildTree();
    expect_root_keys();
  }
}

// ---- damage ----

TEST(Btree, DamagedLinksRaiseInsteadOfLoopingOrOverrunning) {
  TTree t;
  for (int32_t v = 0; v < 3000; ++v) ASSERT_TRUE(t.Insert(v * 2));
  const uint32_t root = t.list->BtreeHeader()->RootPg();
  ASSERT_TRUE(IsInner(t.Reader()->GetPage(root, kGpRead)));
  std::vector<uint8_t> low = IntKey(-10);
  TItemAdr adr;
  // The root's leftmost link goes to `page`: a search raises (it never ends
  // as if the key were missing), and so does an insertion.
  auto expect_raises_when_leftmost_is = [&](uint32_t page) {
    StoreU32(t.Reader()->EditPage(root) + kPgNext, page);
    EXPECT_THROW(t.list->Find(low.data(), &adr, false), EQdfException) << page;
    EXPECT_THROW(t.list->Insert(low.data(), &adr), EQdfException) << page;
  };
  const uint32_t leftmost = LoadU32(t.Reader()->GetPage(root, kGpRead) + kPgNext);
  expect_raises_when_leftmost_is(root);  // a cycle
  // A page of another list.
  auto other = t.fx.New<TQdfBtreeList>();
  other->Header()->SetAddress(TItemAdr{77, 1});
  other->SetCompare(nullptr, CompareIntField);
  ASSERT_TRUE(other->Insert(IntKey(1).data(), nullptr));
  expect_raises_when_leftmost_is(other->PageListHeader()->FirstPg());
  expect_raises_when_leftmost_is(kNoPage);

  // An inner key too short to hold a link.
  uint8_t* buf = t.Reader()->EditPage(root);
  StoreU32(buf + kPgNext, leftmost);
  TItemArea area = TItemArea::OfPage(buf);
  StoreU16(area.ItemAt(area.SlotCount() - 1), 4);
  EXPECT_THROW(t.list->Insert(IntKey(100000).data(), &adr), EQdfException);
}

}  // namespace
}  // namespace qdf
