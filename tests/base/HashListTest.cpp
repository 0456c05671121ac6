#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "BaseTestUtil.h"
#include "EnvSize.h"
#include "base/HashList.h"
#include "base/Helpers.h"
#include "base/QdfException.h"

namespace qdf {
namespace {

using qdf_test::TextOf;

void* Tag(uintptr_t n) { return reinterpret_cast<void*>(n); }

// Exposes the tree structure and counts node creation and disposal.
class ProbeHashList : public THashList {
 public:
  ProbeHashList(size_t buckets) : THashList(&CaseInsensitiveTraits(), buckets) {}
  ~ProbeHashList() override { Clear(); }

  const Node* Root(size_t bucket) const { return BucketRoot(bucket); }

  // In-order keys of one bucket's tree.
  static void InOrder(const Node* n, std::vector<std::string>* out) {
    if (!n) return;
    InOrder(n->left, out);
    out->push_back(n->key);
    InOrder(n->right, out);
  }

  int created = 0;
  int disposed = 0;

 protected:
  Node* NewNode(std::string_view key, void* data) override {
    ++created;
    return THashList::NewNode(key, data);
  }
  void DisposeNode(Node* node) override {
    ++disposed;
    THashList::DisposeNode(node);
  }
};

// Random adds, puts, removes, look-ups, removals by data and resizes against
// a map; after every step the count matches and no node was made or freed
// beyond the entries (a resize moves nodes, it never copies them). At the end
// every bucket tree is a search tree, and a list without buckets refuses
// every call cleanly.
TEST(HashListTest, RandomOperationsMatchMap) {
  const int steps = qdf_test::EnvSize("QDF_RANDOM_STEPS", 4000);
  std::mt19937 rng(20261206);
  ProbeHashList list(3);
  std::map<std::string, void*> model;  // upper-cased key -> data
  auto random_key = [&] {
    std::string k;
    int len = 1 + static_cast<int>(rng() % 3);
    for (int i = 0; i < len; ++i) {
      char c = static_cast<char>('a' + rng() % 6);
      if (rng() % 2) c = static_cast<char>(c - 32);
      k += c;
    }
    return k;
  };
  for (int step = 0; step < steps; ++step) {
    std::string key = random_key();
    std::string norm = UpperCase(key);
    bool present = model.count(norm) > 0;
    void* data = Tag(1 + rng() % 6);  // shared by several keys, for RemoveData
    switch (rng() % 7) {
      case 0:
      case 1:
        if (present) {
          EXPECT_THROW(list.Add(key, data), EHashList);
        } else {
          list.Add(key, data);
          model[norm] = data;
        }
        break;
      case 2:
        list.Put(key, data);
        model[norm] = data;
        break;
      case 3:
      case 4:
        if (present) {
          ASSERT_EQ(list.Remove(key), model[norm]);
          model.erase(norm);
        } else {
          EXPECT_THROW(list.Remove(key), EHashList);
        }
        break;
      case 5:
        if (rng() % 8 == 0) {
          const int made = list.created;
          list.SetSize(1 + rng() % 40);
          ASSERT_EQ(list.created, made);  // nodes move, no copies
        }
        ASSERT_EQ(list.Get(key), present ? model[norm] : nullptr);
        break;
      case 6:
        if (rng() % 8 == 0) {
          size_t expected = std::erase_if(model, [&](const auto& e) { return e.second == data; });
          ASSERT_EQ(list.RemoveData(data), expected);
        } else {
          // An iteration stops at the first false.
          const int stop = static_cast<int>(rng() % 8);
          int visited = 0;
          EXPECT_EQ(list.Iterate([&](const std::string&, void*) { return ++visited <= stop; }),
                    static_cast<size_t>(stop) >= model.size());
          ASSERT_EQ(visited, std::min<int>(stop + 1, static_cast<int>(model.size())));
        }
        break;
    }
    ASSERT_EQ(list.Count(), model.size()) << "step " << step;
    ASSERT_EQ(list.created - list.disposed, static_cast<int>(model.size())) << "step " << step;
  }
  std::map<std::string, void*> seen;
  list.Iterate([&](const std::string& key, void* data) {
    EXPECT_TRUE(seen.emplace(UpperCase(key), data).second) << key;
    return true;
  });
  EXPECT_EQ(seen, model);
  // Every bucket tree is a search tree.
  for (size_t b = 0; b < list.BucketCount(); ++b) {
    std::vector<std::string> keys;
    ProbeHashList::InOrder(list.Root(b), &keys);
    for (size_t i = 1; i < keys.size(); ++i) EXPECT_LT(CompareText(keys[i - 1], keys[i]), 0);
  }
  // Zero buckets only when empty; then every call is refused cleanly.
  if (!model.empty()) {
    EXPECT_THROW(list.SetSize(0), EHashList);
  }
  list.Clear();
  EXPECT_EQ(list.created, list.disposed);
  list.SetSize(0);
  EXPECT_FALSE(list.Exists("key1"));
  EXPECT_EQ(TextOf<EHashList>([&] { list.Add("x", nullptr); }), "HashList: no buckets");
  EXPECT_THROW(list.Remove("x"), EHashList);
}

}  // namespace
}  // namespace qdf
