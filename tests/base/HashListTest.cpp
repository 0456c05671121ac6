#include <gtest/gtest.h>

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

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return s;
}

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

TEST(HashListTest, CaseInsensitiveLookupAndDuplicates) {
  THashList list(&CaseInsensitiveTraits(), 7);
  list.Add("abc", Tag(1));
  EXPECT_TRUE(list.Exists("ABC"));
  EXPECT_EQ(list.Get("AbC"), Tag(1));
  void* data = nullptr;
  EXPECT_TRUE(list.Find("aBc", &data));
  EXPECT_EQ(data, Tag(1));
  EXPECT_FALSE(list.Find("abcd", &data));
  EXPECT_EQ(list.Get("missing"), nullptr);

  EXPECT_EQ(TextOf<EHashList>([&] { list.Add("Abc", Tag(2)); }), "Duplicate hash list entry: Abc");
  EXPECT_EQ(list.Count(), 1u);
  EXPECT_EQ(list.Get("abc"), Tag(1));

  list.Put("ABC", Tag(3));  // replaces
  list.Put("def", Tag(4));  // adds
  EXPECT_EQ(list.Count(), 2u);
  EXPECT_EQ(list.Get("abc"), Tag(3));

  EXPECT_EQ(list.Remove("DEF"), Tag(4));
  EXPECT_EQ(TextOf<EHashList>([&] { list.Remove("def"); }), "Tried to remove invalid node: def");
  EXPECT_EQ(list.Count(), 1u);
}

TEST(HashListTest, SetSizeKeepsEveryEntry) {
  ProbeHashList list(10);
  for (int i = 0; i < 500; ++i) list.Add("key" + std::to_string(i), Tag(i + 1));
  list.SetSize(1000);
  EXPECT_EQ(list.BucketCount(), 1000u);
  EXPECT_EQ(list.Count(), 500u);
  for (int i = 0; i < 500; ++i) ASSERT_EQ(list.Get("KEY" + std::to_string(i)), Tag(i + 1)) << i;
  list.SetSize(3);  // and shrinking
  for (int i = 0; i < 500; ++i) ASSERT_EQ(list.Get("key" + std::to_string(i)), Tag(i + 1)) << i;
  EXPECT_EQ(list.created, 500);  // nodes are moved, not recreated
  EXPECT_EQ(list.disposed, 0);

  EXPECT_EQ(TextOf<EHashList>([&] { list.SetSize(0); }),
            "HashList: must be empty to set size to zero");
  EXPECT_EQ(list.Count(), 500u);
  list.Clear();
  EXPECT_EQ(list.disposed, 500);
  list.SetSize(0);
  EXPECT_EQ(list.BucketCount(), 0u);
  EXPECT_FALSE(list.Exists("key1"));
  EXPECT_EQ(TextOf<EHashList>([&] { list.Add("x", nullptr); }), "HashList: no buckets");
  EXPECT_EQ(TextOf<EHashList>([&] { list.Remove("x"); }), "Tried to remove invalid node: x");
  list.SetSize(5);
  list.Add("x", Tag(9));
  EXPECT_EQ(list.Get("X"), Tag(9));
}

TEST(HashListTest, IterateRemoveDataAndClear) {
  ProbeHashList list(4);
  for (int i = 0; i < 20; ++i) list.Add("k" + std::to_string(i), Tag(i % 3 + 1));
  int visited = 0;
  EXPECT_TRUE(list.Iterate([&](const std::string&, void*) { return ++visited, true; }));
  EXPECT_EQ(visited, 20);
  visited = 0;
  EXPECT_FALSE(list.Iterate([&](const std::string&, void*) { return ++visited < 5; }));
  EXPECT_EQ(visited, 5);

  EXPECT_EQ(list.RemoveData(Tag(2)), 7u);  // i = 1, 4, ..., 19
  EXPECT_EQ(list.Count(), 13u);
  list.Iterate([&](const std::string& key, void* data) {
    EXPECT_NE(data, Tag(2)) << key;
    return true;
  });
  list.Clear();
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_EQ(list.created, list.disposed);
  EXPECT_EQ(list.BucketCount(), 4u);
}

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
    std::string norm = Upper(key);
    bool present = model.count(norm) > 0;
    void* data = Tag(static_cast<uintptr_t>(step + 1));
    switch (rng() % 6) {
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
        if (rng() % 8 == 0) list.SetSize(1 + rng() % 40);
        ASSERT_EQ(list.Get(key), present ? model[norm] : nullptr);
        break;
    }
    ASSERT_EQ(list.Count(), model.size()) << "step " << step;
  }
  std::map<std::string, void*> seen;
  list.Iterate([&](const std::string& key, void* data) {
    EXPECT_TRUE(seen.emplace(Upper(key), data).second) << key;
    return true;
  });
  EXPECT_EQ(seen, model);
  // Every bucket tree is a search tree.
  for (size_t b = 0; b < list.BucketCount(); ++b) {
    std::vector<std::string> keys;
    ProbeHashList::InOrder(list.Root(b), &keys);
    for (size_t i = 1; i < keys.size(); ++i) EXPECT_LT(CompareText(keys[i - 1], keys[i]), 0);
  }
}

}  // namespace
}  // namespace qdf
