// Persistent objects over an in-memory store: header items, the object tree,
// flushing, reloading, deleting, cloning, SetProperties.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "EnvSize.h"
#include "ErrorText.h"
#include "base/QdfException.h"
#include "object/FakeObjectStore.h"
#include "object/PersistentObject.h"
#include "object/QHBtreeList.h"
#include "object/QHField.h"
#include "reader/PageReader.h"

namespace qdf {
namespace {

using qdf_test::TFakeObjectStore;

// A persistent class with a B-tree header that counts its ClearData calls.
class TTestTree : public TQdfPersistentObject {
  QDF_CLASS_INFO(TTestTree)

 public:
  const TClassInfo& HeaderClass() const override { return TQHBtreeList::kClassInfo; }
  void ClearData() override { ++cleared_total; }
  TQHBtreeList& Btree() const { return static_cast<TQHBtreeList&>(*Header()); }
  static int cleared_total;  // ClearData calls of every TTestTree
};
int TTestTree::cleared_total = 0;
QDF_DEFINE_PERSISTENT_CLASS(TTestTree, TQdfPersistentObject);

// A schema object with a field header.
class TTestField : public TQdfSchemaObject {
  QDF_CLASS_INFO(TTestField)

 public:
  const TClassInfo& HeaderClass() const override { return TQHField::kClassInfo; }
  TQHField& Field() const { return static_cast<TQHField&>(*Header()); }
};
QDF_DEFINE_PERSISTENT_CLASS(TTestField, TQdfSchemaObject);

// A class without a creator: its objects cannot be cloned.
class TTestAbstract : public TQdfPersistentObject {
  QDF_CLASS_INFO(TTestAbstract)
};
const TClassInfo TTestAbstract::kClassInfo = {"TTestAbstract", &TQdfPersistentObject::kClassInfo,
                                              nullptr, nullptr, 0};

class TShadowReader : public TQdfPageReader {
 public:
  TShadowReader() { shadow_ = true; }
};

template <typename T>
std::unique_ptr<T> NewTemplate(const std::string& name = "") {
  std::unique_ptr<TQdfPersistentObject> o = TQdfPersistentObject::Create(T::kClassInfo, nullptr);
  if (!name.empty()) o->Header()->SetObjectName(name);
  return std::unique_ptr<T>(static_cast<T*>(o.release()));
}

// A new template named `name` as the last child of `parent`, working in the
// parent's storage and page reader. As the statements that create objects
// do, its header is saved at once when there is a storage (unless `save` is
// false: then the next flush saves it), so that its own children can record
// its address.
template <typename T>
T* AddChild(TQdfPersistentObject* parent, const std::string& name, bool save = true) {
  T* child = NewTemplate<T>(name).release();
  child->SetStorage(parent->Storage());
  child->SetPageReader(parent->PageReader());
  child->SetParent(parent);
  if (child->Storage() != nullptr && save) child->SaveHeader();
  return child;
}

std::vector<std::string> ChildNames(const TQdfPersistentObject* o) {
  std::vector<std::string> out;
  for (int i = 0; i < o->ObjectsCount(); ++i) out.push_back(o->ChildAt(i)->ObjectName());
  return out;
}

// root (tree) -> a (field), b (tree) -> c (tree), over a store and a reader.
class PersistentObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = NewTemplate<TTestTree>("root");
    root_->SetStorage(&store_);
    root_->SetPageReader(&reader_);
    root_->SaveHeader();
    a_ = AddChild<TTestField>(root_.get(), "a");
    b_ = AddChild<TTestTree>(root_.get(), "b");
    c_ = AddChild<TTestTree>(b_, "c");
    root_->Flush(false);
  }
  void TearDown() override {
    root_.reset();
    store_.FreeAllInstances();
  }

  TFakeObjectStore store_;
  TQdfPageReader reader_;
  std::unique_ptr<TTestTree> root_;
  TTestField* a_ = nullptr;
  TTestTree* b_ = nullptr;
  TTestTree* c_ = nullptr;
};

// ---- flush and reload ----

// Random adds (saved at once or by the next flush), renames, moves, deletes,
// value changes, flushes and reloads against a reference tree. After every
// step each object lists its children in order and finds them by name in any
// case; each stored item names its object, its parent's item, its place there
// and its saved value, and nothing else is stored. A reload brings the saved
// values back (schema objects and what is below them only when asked); a
// flush with nothing changed writes nothing; deleting a subtree clears every
// list in it.
TEST_F(PersistentObjectTest, RandomTreeOperationsMatchAReference) {
  struct TNode {
    TQdfPersistentObject* o;  // nullptr once deleted
    int parent;
    std::vector<int> kids;
    int saved, value;  // Balance of a tree, DefSize of a field
  };
  std::vector<TNode> n = {{root_.get(), -1, {1, 2}, 50, 50},
                          {a_, 0, {}, 0, 0},
                          {b_, 0, {3}, 50, 50},
                          {c_, 2, {}, 50, 50}};
  auto is_field = [&](int k) { return n[k].o->IsKindOf(TTestField::kClassInfo); };
  auto prop = [&](int k) {
    return n[k].o->Header()->ClassInfo()->FindProperty(is_field(k) ? "DefSize" : "Balance");
  };
  auto below = [&](int k, int top) {  // k in the subtree of top
    for (; k >= 0; k = n[k].parent) {
      if (k == top) return true;
    }
    return false;
  };
  auto unlink = [&](int k) {
    std::vector<int>& kids = n[n[k].parent].kids;
    kids.erase(std::find(kids.begin(), kids.end(), k));
  };
  bool set_since_flush = false;
  auto flush = [&] {
    set_since_flush = false;
    root_->Flush(false);
    for (TNode& x : n) x.saved = x.value;
  };
  std::mt19937 rng(3);
  const long steps = qdf_test::EnvSize("QDF_RANDOM_STEPS", 1500);
  for (int step = 0; step < steps; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    std::vector<int> live;
    for (int k = 0; k < static_cast<int>(n.size()); ++k) {
      if (n[k].o != nullptr) live.push_back(k);
    }
    const int i = live[rng() % live.size()], j = live[rng() % live.size()];
    const std::string name = "n" + std::to_string(step);
    const unsigned op = rng() % 7;
    if (op == 0) {
      const bool save = rng() % 2 == 0;
      TQdfPersistentObject* o =
          rng() % 2 == 0
              ? static_cast<TQdfPersistentObject*>(AddChild<TTestField>(n[i].o, name, save))
              : AddChild<TTestTree>(n[i].o, name, save);
      n[i].kids.push_back(static_cast<int>(n.size()));
      const int v = o->IsKindOf(TTestField::kClassInfo) ? 0 : 50;
      n.push_back({o, i, {}, v, v});
      flush();
    } else if (op == 1 && i != 0) {
      const std::string old = n[i].o->ObjectName();
      store_.schema_changes = 0;
      n[i].o->Header()->SetObjectName(name);
      EXPECT_EQ(store_.schema_changes, 1);
      ASSERT_EQ(n[n[i].parent].o->ChildByName(old), nullptr);
      flush();
    } else if (op == 2 && i != 0 && j != n[i].parent && !below(j, i)) {
      const TQdfPersistentObject* left = n[n[i].parent].o;
      unlink(i);
      n[j].kids.push_back(i);
      n[i].parent = j;
      n[i].o->SetParent(n[j].o);
      ASSERT_EQ(left->ChildByName(n[i].o->ObjectName()), nullptr);
      ASSERT_EQ(n[i].o->Header()->ParentIndex(), static_cast<int>(n[j].kids.size()) - 1);
      flush();
    } else if (op == 3 && i != 0) {
      std::vector<int> doomed;
      int trees = 0;
      for (int k : live) {
        if (!below(k, i)) continue;
        doomed.push_back(k);
        trees += is_field(k) ? 0 : 1;
      }
      unlink(i);
      TTestTree::cleared_total = 0;
      store_.schema_changes = 0;
      n[i].o->DeleteObject();
      EXPECT_EQ(TTestTree::cleared_total, trees);
      EXPECT_GE(store_.schema_changes, 1);
      for (int k : doomed) n[k].o = nullptr;
      flush();
    } else if (op == 4) {
      n[i].value = 1 + static_cast<int>(rng() % 99);
      set_since_flush = true;
      ASSERT_TRUE(n[i].o->Header()->SetPropertyText(prop(i)->name, std::to_string(n[i].value)));
    } else if (op == 5) {
      const int writes = set_since_flush ? -1 : store_.writes;
      flush();
      EXPECT_TRUE(writes < 0 || store_.writes == writes);
    } else if (op == 6) {
      const bool skip_schema = rng() % 2 == 0;
      root_->Reload(skip_schema);
      for (int k : live) {  // a skipped schema object keeps its subtree as it is
        bool skipped = false;
        for (int u = k; u > 0; u = n[u].parent) skipped = skipped || is_field(u);
        if (!skip_schema || !skipped) n[k].value = n[k].saved;
      }
    }
    size_t stored_count = 0;
    for (int k = 0; k < static_cast<int>(n.size()); ++k) {
      if (n[k].o == nullptr) continue;
      ++stored_count;
      const TQdfPersistentObject& o = *n[k].o;
      std::vector<std::string> names;
      for (int c : n[k].kids) names.push_back(n[c].o->ObjectName());
      ASSERT_EQ(ChildNames(&o), names);
      ASSERT_EQ(prop(k)->get(*o.Header()), std::to_string(n[k].value));
      auto stored = NewHeader(*o.Header()->ClassInfo(), nullptr);
      stored->ReadHeader(store_.Item(o.Address()).data());
      ASSERT_EQ(stored->ObjectName(), o.ObjectName());
      ASSERT_EQ(prop(k)->get(*stored), std::to_string(n[k].saved));
      if (k == 0) continue;
      const TNode& p = n[n[k].parent];
      std::string upper = o.ObjectName();
      for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      ASSERT_EQ(p.o->ChildByName(upper), &o);
      ASSERT_EQ(stored->ParentAddress(), p.o->Address());
      ASSERT_EQ(stored->ParentIndex(), std::find(p.kids.begin(), p.kids.end(), k) - p.kids.begin());
    }
    ASSERT_EQ(store_.items.size(), stored_count);
  }
  b_ = c_ = nullptr;
}

// Pages of a read-only or shadow reader are never written: a flush leaves
// the headers modified.
TEST_F(PersistentObjectTest,
       FlushWritesNothingThroughReadOnlyOrShadowReaderBadItemsLoadAsDefaultsCloningSetProperties) {
  c_->Btree().SetRootPg(3);
  const int writes = store_.writes;
  TShadowReader shadow;
  reader_.SetReadOnly(true);
  for (TQdfPageReader* r : std::vector<TQdfPageReader*>{&reader_, &shadow}) {
    root_->SetPageReader(r);
    root_->Flush(false);
  }
  EXPECT_EQ(store_.writes, writes);
  EXPECT_TRUE(c_->Header()->Modified());
  root_->SetPageReader(&reader_);
  reader_.SetReadOnly(false);
  // A header item shorter than its prefix, or gone, loads as defaults.
  store_.items[TFakeObjectStore::KeyOf(root_->Address())] = std::vector<uint8_t>(5, 0xFF);
  root_->LoadHeader();
  EXPECT_EQ(root_->ObjectName(), "");
  store_.items.clear();
  root_->Header()->SetObjectName("x");
  root_->LoadHeader();
  EXPECT_EQ(root_->ObjectName(), "");
  // Cloning a class without a creator raises.
  std::unique_ptr<TTestAbstract> thing(new TTestAbstract());
  thing->Construct(nullptr);
  thing->SetParent(root_.get());
  TTestAbstract* raw = thing.release();
  EXPECT_QDF_ERROR(root_->CreateInstance(nullptr, &store_, &reader_),
                   "Class: TTestAbstract kann nicht generiert werden");
  EXPECT_EQ(root_->ObjectsCount(), 3);
  EXPECT_EQ(root_->ChildAt(2), raw);
  // SetProperties reaches children and skips unknown names.
  root_->SetProperties(
      " Balance = 70 ;a.FieldIndex= 3;b.c.RootPg=9;Unknown=1;zz.Balance=5;a.Nothing=1;"
      "AllowDuplicates=true;b.ObjectName=bb;;novalue");
  EXPECT_EQ(root_->Btree().Balance(), 70);
  EXPECT_TRUE(root_->Btree().AllowDuplicates());
  EXPECT_EQ(a_->Field().FieldIndex(), 3);
  EXPECT_EQ(c_->Btree().RootPg(), 9u);
  EXPECT_EQ(b_->ObjectName(), "bb");
  EXPECT_EQ(root_->ChildByName("bb"), b_);
  EXPECT_EQ(b_->Btree().Balance(), 50);

  // Read-only and object-valued names are skipped; bad values raise.
  root_->SetProperties("ObjectsCount=3;Header=x");
  EXPECT_THROW(root_->SetProperties("a.ixAscending=maybe"), EConvertError);
  EXPECT_TRUE(a_->Field().IxAscending());
  // A working instance belongs to its caller and may outlive its template:
  // its header (shared with the template) must stay valid.
  std::unique_ptr<TQdfPersistentObject> tmpl =
      TQdfPersistentObject::Create(TQdfPersistentObject::kClassInfo, nullptr);
  tmpl->Header()->SetObjectName("kept");
  std::unique_ptr<TQdfPersistentObject> instance(tmpl->CreateInstance(nullptr, nullptr, nullptr));
  tmpl.reset();
  EXPECT_EQ(instance->ObjectName(), "kept");
  instance->Header()->SetObjectName("renamed");  // no call into the gone template
  EXPECT_EQ(instance->ObjectName(), "renamed");
}

}  // namespace
}  // namespace qdf
