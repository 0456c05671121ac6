// Persistent objects over an in-memory store: header items, the object tree,
// templates and instances, flushing, reloading, deleting, SetProperties.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ErrorText.h"
#include "base/Bytes.h"
#include "base/PackedItem.h"
#include "base/QdfException.h"
#include "object/FakeObjectStore.h"
#include "object/PersistentObject.h"
#include "object/QHBtreeList.h"
#include "object/QHField.h"
#include "reader/PageReader.h"

namespace qdf {
namespace {

using qdf_test::TFakeObjectStore;

// A persistent class with a B-tree header that counts its hooks.
class TTestTree : public TQdfPersistentObject {
  QDF_CLASS_INFO(TTestTree)

 public:
  const TClassInfo& HeaderClass() const override { return TQHBtreeList::kClassInfo; }
  void Loaded() override { ++loaded; }
  void ClearData() override { ++cleared_total; }
  TQHBtreeList& Btree() const { return static_cast<TQHBtreeList&>(*Header()); }
  int loaded = 0;
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

// A storage stand-in: a persistent object that is also the store of its tree.
class TTestStorage : public TQdfPersistentObject, public TFakeObjectStore {
  QDF_CLASS_INFO(TTestStorage)

 public:
  ~TTestStorage() override {
    FreeAllInstances();
    ForgetStorage();
  }
};
QDF_DEFINE_PERSISTENT_CLASS(TTestStorage, TQdfPersistentObject);

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
// do, its header is saved at once when there is a storage, so that its own
// children can record its address.
template <typename T>
T* AddChild(TQdfPersistentObject* parent, const std::string& name) {
  T* child = NewTemplate<T>(name).release();
  child->SetStorage(parent->Storage());
  child->SetPageReader(parent->PageReader());
  child->SetParent(parent);
  if (child->Storage() != nullptr) child->SaveHeader();
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

// A header item shorter than its prefix, or gone, loads as defaults.
TEST_F(PersistentObjectTest, ShortOrMissingItemLoadsAsDefaults) {
  store_.PutItem(root_->Address(), std::vector<uint8_t>(5, 0xFF));
  root_->LoadHeader();
  EXPECT_EQ(root_->ObjectName(), "");
  store_.items.clear();
  root_->Header()->SetObjectName("x");
  root_->LoadHeader();
  EXPECT_EQ(root_->ObjectName(), "");
}

// ---- flush and reload ----

TEST_F(PersistentObjectTest, FlushSavesModifiedHeadersAndNumbersChildren) {
  // A tree that was never saved.
  auto top = NewTemplate<TTestTree>("top");
  TTestTree* mid = AddChild<TTestTree>(top.get(), "mid");
  AddChild<TTestField>(mid, "leaf");
  AddChild<TTestField>(mid, "leaf2");
  top->SetStorage(&store_);
  top->SetPageReader(&reader_);
  const size_t before = store_.items.size();
  top->Flush(false);
  EXPECT_EQ(store_.items.size(), before + 4);
  EXPECT_FALSE(mid->ChildAt(1)->Header()->Modified());
  EXPECT_EQ(mid->ChildAt(1)->Header()->ParentIndex(), 1);

  // The stored items link each child to its parent's item.
  const std::vector<uint8_t> c_item = store_.Item(c_->Address());
  TQHBtreeList probe(nullptr);
  probe.ReadHeader(c_item.data());
  EXPECT_EQ(probe.ParentAddress(), b_->Address());
  EXPECT_EQ(probe.ObjectName(), "c");

  // Nothing modified: nothing written.
  const int writes = store_.writes;
  root_->Flush(false);
  EXPECT_EQ(store_.writes, writes);

  // A stale ParentIndex is renumbered and saved, except on an unmodified
  // schema object when those are skipped.
  a_->Header()->SetParentIndex(9);
  b_->Header()->SetParentIndex(9);
  a_->Header()->SetModified(false);
  b_->Header()->SetModified(false);
  root_->Flush(true);
  EXPECT_EQ(a_->Header()->ParentIndex(), 9);
  EXPECT_EQ(b_->Header()->ParentIndex(), 1);
  EXPECT_EQ(store_.writes, writes + 1);  // b only
  root_->Flush(false);
  EXPECT_EQ(a_->Header()->ParentIndex(), 0);
  EXPECT_EQ(store_.writes, writes + 2);
}

TEST_F(PersistentObjectTest, FlushWritesNothingThroughReadOnlyOrShadowReader) {
  c_->Btree().SetRootPg(3);
  const int writes = store_.writes;
  reader_.SetReadOnly(true);
  root_->Flush(false);
  EXPECT_EQ(store_.writes, writes);
  reader_.SetReadOnly(false);

  TShadowReader shadow;
  root_->SetPageReader(&shadow);
  root_->Flush(false);
  EXPECT_EQ(store_.writes, writes);
  EXPECT_TRUE(c_->Header()->Modified());
  root_->SetPageReader(&reader_);
}

// ---- templates and instances ----

TEST_F(PersistentObjectTest, CreateInstanceSharesHeadersAndClonesChildrenInOrder) {
  TQdfPersistentObject* made = root_->CreateInstance(nullptr, &store_, &reader_);
  std::unique_ptr<TTestTree> inst(static_cast<TTestTree*>(made));
  EXPECT_EQ(inst->ClassObject(), root_.get());
  EXPECT_EQ(inst->Header(), root_->Header());
  EXPECT_EQ(inst->loaded, 1);
  ASSERT_EQ(ChildNames(inst.get()), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(inst->ChildAt(0)->ClassObject(), a_);
  TQdfPersistentObject* ic = inst->ChildByPath("b.c");
  ASSERT_NE(ic, nullptr);
  EXPECT_EQ(ic->Header(), c_->Header());
  EXPECT_EQ(static_cast<TTestTree*>(ic)->loaded, 1);
  EXPECT_EQ(ic->Parent(), inst->ChildAt(1));
  // The template tree is unchanged; cloning left the shared headers clean.
  EXPECT_EQ(ChildNames(root_.get()), (std::vector<std::string>{"a", "b"}));
  EXPECT_FALSE(c_->Header()->Modified());

  // Freeing the instance leaves the shared headers to their templates.
  inst.reset();
  EXPECT_EQ(c_->ObjectName(), "c");
  EXPECT_EQ(b_->ChildByName("c"), c_);
}

TEST_F(PersistentObjectTest, CloningAClassWithoutCreatorRaises) {
  std::unique_ptr<TTestAbstract> thing(new TTestAbstract());
  thing->Construct(nullptr);
  thing->SetParent(root_.get());
  TTestAbstract* raw = thing.release();
  EXPECT_QDF_ERROR(root_->CreateInstance(nullptr, &store_, &reader_),
                   "Class: TTestAbstract kann nicht generiert werden");
  EXPECT_EQ(root_->ObjectsCount(), 3);
  EXPECT_EQ(root_->ChildAt(2), raw);
}

TEST(PersistentObjectStorageTest, InstanceUnderTheStorageIsRegisteredNotAdopted) {
  TQdfPageReader reader;
  auto storage = NewTemplate<TTestStorage>("$ROOT");
  storage->SetStorage(storage.get());
  storage->SetPageReader(&reader);
  storage->SaveHeader();
  TTestTree* table = AddChild<TTestTree>(storage.get(), "t1");
  AddChild<TTestTree>(table, "i1");
  storage->Flush(false);

  TQdfPersistentObject* inst = table->CreateInstance(storage.get(), storage.get(), &reader);
  EXPECT_EQ(storage->ObjectsCount(), 1);
  EXPECT_EQ(inst->Parent(), nullptr);
  ASSERT_EQ(storage->instances.size(), 1u);
  EXPECT_EQ(storage->instances[0], inst);
  EXPECT_EQ(inst->ChildByName("i1")->Parent(), inst);

  // Deleting the template frees its instances and every header item below it.
  const int removed = storage->removed;
  table->DeleteObject();
  EXPECT_TRUE(storage->instances.empty());
  EXPECT_EQ(storage->ObjectsCount(), 0);
  EXPECT_EQ(storage->items.size(), 1u);  // the storage's own
  EXPECT_GE(storage->removed, removed + 4);
  EXPECT_GE(storage->schema_changes, 1);
}

// ---- the tree ----

TEST_F(PersistentObjectTest, DeleteObjectRemovesSubtreeAndItsItems) {
  const TItemAdr b_adr = b_->Address();
  const TItemAdr c_adr = c_->Address();
  store_.schema_changes = 0;

  reader_.SetReadOnly(true);
  b_->DeleteObject();  // nothing on a read-only reader
  EXPECT_EQ(root_->ObjectsCount(), 2);
  reader_.SetReadOnly(false);

  TTestTree::cleared_total = 0;
  b_->DeleteObject();
  EXPECT_EQ(TTestTree::cleared_total, 2);  // b and c
  EXPECT_EQ(ChildNames(root_.get()), (std::vector<std::string>{"a"}));
  EXPECT_TRUE(store_.Item(b_adr).empty());
  EXPECT_TRUE(store_.Item(c_adr).empty());
  EXPECT_EQ(store_.items.size(), 2u);
  EXPECT_GE(store_.schema_changes, 1);
  b_ = c_ = nullptr;
}

TEST_F(PersistentObjectTest, DeleteObjectStopsAtAChildItCannotDelete) {
  // A child that never got the page reader cannot be deleted: an error, not a hang.
  TTestTree* stray = NewTemplate<TTestTree>("stray").release();
  stray->SetParent(c_);
  EXPECT_THROW(c_->DeleteObject(), EAssertionFailed);
  EXPECT_EQ(c_->ChildByName("stray"), stray);
}

// Moving to another parent leaves the old one; renaming re-keys the parent's
// index, so the old name no longer resolves.
TEST_F(PersistentObjectTest, SetParentAndRenameKeepTheChildIndexesRight) {
  c_->SetParent(root_.get());
  EXPECT_EQ(b_->ObjectsCount(), 0);
  EXPECT_EQ(ChildNames(root_.get()), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(c_->Header()->ParentIndex(), 2);
  c_->Header()->SetObjectName("renamed");
  EXPECT_EQ(root_->ChildByName("c"), nullptr);
  EXPECT_EQ(root_->ChildByName("RENAMED"), c_);
}

// A rollback reloads the stored headers; on request it leaves the schema
// objects as they are.
TEST_F(PersistentObjectTest, ReloadRestoresStoredValuesAndSkipsSchemaOnRequest) {
  root_->Btree().SetBalance(1);
  a_->Field().SetDefSize(33);
  root_->Reload(true);
  EXPECT_EQ(root_->Btree().Balance(), 50);
  EXPECT_EQ(a_->Field().DefSize(), 33);  // schema object skipped
  root_->Reload(false);
  EXPECT_EQ(a_->Field().DefSize(), 0);
}

TEST_F(PersistentObjectTest, SetPropertiesReachesChildrenAndSkipsUnknownNames) {
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
}

// A working instance belongs to its caller and may outlive its template: its
// header (shared with the template) must stay valid.
TEST(PersistentObjectLifetime, InstanceKeepsItsHeaderAfterItsTemplateIsGone) {
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
