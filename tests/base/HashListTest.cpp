#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/HashList.h"
#include "base/Helpers.h"
#include "base/QdfException.h"

namespace qdf {
namespace {

// Steps of the randomised tests: QDF_RANDOM_STEPS, else a modest default.
int RandomSteps(int fallback) {
  const char* env = std::getenv("QDF_RANDOM_STEPS");
  if (env && std::atoi(env) > 0) return std::atoi(env);
  return fallback;
}

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

template <typename F>
std::string ErrorOf(F&& f) {
  try {
    f();
  } catch (const EHashList& e) {
    return e.what();
  }
  return "<no EHashList>";
}

TEST(HashListTraitsTest, ElfHashOverUpperCase) {
  EXPECT_EQ(ElfHashUpper(""), 0u);
  EXPECT_EQ(ElfHashUpper("a"), 65u);
  EXPECT_EQ(ElfHashUpper("ab"), 65u * 16 + 66);
  // Reference formulation of the ELF hash, long enough to fold the top bits.
  auto reference = [](const std::string& s) {
    uint32_t h = 0;
    for (unsigned char c : s) {
      h = (h << 4) + c;
      uint32_t g = h & 0xF0000000u;
      if (g) h ^= g >> 24;
      h &= ~g;
    }
    return h;
  };
  std::string key = "The_Quick_Brown_Fox.Jumps#Over$The_Lazy_Dog\xE4\xFF";
  EXPECT_EQ(ElfHashUpper(key), reference(Upper(key)));
  EXPECT_EQ(ElfHashUpper("Section"), ElfHashUpper("SECTION"));
}

TEST(HashListTraitsTest, CompareTextIgnoresAsciiCaseOnly) {
  EXPECT_EQ(CompareText("abc", "ABC"), 0);
  EXPECT_LT(CompareText("abc", "ABD"), 0);
  EXPECT_LT(CompareText("ab", "ABC"), 0);  // prefix first
  EXPECT_GT(CompareText("abc", "AB"), 0);
  // Upper-casing: 'a' becomes 'A' (41h), which sorts before '_' (5Fh).
  EXPECT_LT(CompareText("a", "_"), 0);
  // Bytes above 7Fh compare unsigned and are not case-folded.
  EXPECT_GT(CompareText("\xE4", "z"), 0);
  EXPECT_NE(CompareText("\xE4", "\xC4"), 0);
}

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

  EXPECT_EQ(ErrorOf([&] { list.Add("Abc", Tag(2)); }), "Duplicate hash list entry: Abc");
  EXPECT_EQ(list.Count(), 1u);
  EXPECT_EQ(list.Get("abc"), Tag(1));

  list.Put("ABC", Tag(3));  // replaces
  list.Put("def", Tag(4));  // adds
  EXPECT_EQ(list.Count(), 2u);
  EXPECT_EQ(list.Get("abc"), Tag(3));

  EXPECT_EQ(list.Remove("DEF"), Tag(4));
  EXPECT_EQ(ErrorOf([&] { list.Remove("def"); }), "Tried to remove invalid node: def");
  EXPECT_EQ(list.Count(), 1u);
}

TEST(HashListTest, RequiresTraits) {
  try {
    THashList list(nullptr, 10);
    FAIL() << "no assertion";
  } catch (const EAssertionFailed& e) {
    EXPECT_NE(std::string(e.what()).find("HashList must have traits"), std::string::npos);
  }
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

  EXPECT_EQ(ErrorOf([&] { list.SetSize(0); }), "HashList: must be empty to set size to zero");
  EXPECT_EQ(list.Count(), 500u);
  list.Clear();
  EXPECT_EQ(list.disposed, 500);
  list.SetSize(0);
  EXPECT_EQ(list.BucketCount(), 0u);
  EXPECT_FALSE(list.Exists("key1"));
  EXPECT_EQ(ErrorOf([&] { list.Add("x", nullptr); }), "HashList: no buckets");
  EXPECT_EQ(ErrorOf([&] { list.Remove("x"); }), "Tried to remove invalid node: x");
  list.SetSize(5);
  list.Add("x", Tag(9));
  EXPECT_EQ(list.Get("X"), Tag(9));
}

TEST(HashListTest, RemovalAlternatesSuccessorAndPredecessor) {
  ProbeHashList list(1);  // one bucket: one tree
  for (const char* k : {"M", "F", "T", "C", "H", "P", "W", "R", "K"}) list.Add(k, nullptr);
  ASSERT_EQ(list.Root(0)->key, "M");

  list.Remove("M");  // first removal: leftmost of the right subtree
  EXPECT_EQ(list.Root(0)->key, "P");
  list.Remove("P");  // second removal: rightmost of the left subtree
  EXPECT_EQ(list.Root(0)->key, "K");
  list.Remove("K");  // and the successor again
  EXPECT_EQ(list.Root(0)->key, "R");

  std::vector<std::string> keys;
  ProbeHashList::InOrder(list.Root(0), &keys);
  EXPECT_EQ(keys, (std::vector<std::string>{"C", "F", "H", "R", "T", "W"}));
  EXPECT_EQ(list.Count(), 6u);

  // A node with one child is replaced by that child.
  list.Remove("W");  // leaf
  list.Remove("C");  // leaf
  list.Remove("F");  // only a right child (H)
  ASSERT_NE(list.Root(0)->left, nullptr);
  EXPECT_EQ(list.Root(0)->left->key, "H");
  keys.clear();
  ProbeHashList::InOrder(list.Root(0), &keys);
  EXPECT_EQ(keys, (std::vector<std::string>{"H", "R", "T"}));
  EXPECT_EQ(list.created - list.disposed, 3);
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
  const int steps = RandomSteps(4000);
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
