#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "ErrorText.h"
#include "base/QdfException.h"
#include "list/ListTestUtil.h"
#include "record/Fields.h"
#include "record/ItemClass.h"
#include "storage/Storage.h"
#include "table/Index.h"
#include "table/Table.h"

namespace qdf {
namespace {

using qdf_test::MessageOf;

// TBench (a, b: integer, c: char) with subclass TSub (d: char); TObj (ThisID,
// v: integer); tables t1 on TBench and t2 on TObj.
void BuildSchema(TQdfStorage& s) {
  s.CreateSchemaObject("TQdfItemClass", "TBench", false);
  s.CreateSchemaObject("TQdfIntegerField", "a", true);
  s.CreateSchemaObject("TQdfIntegerField", "b", true);
  s.CreateSchemaObject("TQdfCharField", "c", true);
  s.CreateSchemaObject("TQdfItemClass", "TSub", false);
  s.CreateSchemaObject("TQdfCharField", "d", true);
  s.PopUntil(nullptr);
  s.CreateSchemaObject("TQdfItemClass", "TObj", false);
  s.CreateSchemaObject("TQdfObjectIDField", "ThisID", true);
  s.CreateSchemaObject("TQdfIntegerField", "v", true);
  s.PopUntil(nullptr);
  s.CreateSchemaObject("TQdfTable", "t1", false)->SetProperties("BaseStructureName=TBench");
  s.PopUntil(nullptr);
  s.CreateSchemaObject("TQdfTable", "t2", false)->SetProperties("BaseStructureName=TObj");
  s.PopUntil(nullptr);
  s.StoreModified();
}

struct TDb {
  explicit TDb(qdf_test::TListFixture& fx) : storage(fx.New<TQdfStorage>()) {
    storage->CreateRoot(fx.Reader());
    BuildSchema(*storage);
  }
  std::unique_ptr<TQdfStorage> storage;
};

TQdfIntegerField& Int(TQdfTable& t, const char* name, TQdfItemClass* cls = nullptr) {
  TQdfField* f = cls ? cls->FieldByName(name) : t.FieldByName(name);
  EXPECT_NE(f, nullptr) << name;
  return *static_cast<TQdfIntegerField*>(f);
}
TQdfField& Fld(TQdfTable& t, const char* name) { return *t.FieldByName(name); }

void Add(TQdfTable& t, int a, const std::string& c) {
  t.Insert();
  Int(t, "a").SetAsInteger(a);
  Int(t, "b").SetAsInteger(a * 10);
  Fld(t, "c").SetAsString(c);
  t.Post();
}

// The a values in physical order.
std::vector<int> Walk(TQdfTable& t) {
  std::vector<int> out;
  for (t.First(); t.Cursor().Item() != nullptr; t.Next()) out.push_back(Int(t, "a").AsInteger());
  return out;
}

TEST(Table, RecordPrefixNamesClassAndWritingTransaction) {
  qdf_test::TListFixture fx;
  TDb db(fx);
  auto t = db.storage->TableByName("t1");
  Add(*t, 7, "x");
  const uint8_t* item = t->Cursor().Item();
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(LoadAdr(item + kRecClassOffset), db.storage->ClassByPath("TBench")->Address());
  EXPECT_EQ(LoadU32(item + kRecVersionOffset), fx.Reader()->TransactionNumber());
  const TItemAdr adr = t->Cursor().Address();
  // A post without changes writes nothing: the version stays that of the
  // transaction that wrote the record.
  const uint32_t old_version = fx.Reader()->TransactionNumber();
  db.storage->StoreModified();
  fx.Commit();
  ASSERT_NE(fx.Reader()->TransactionNumber(), old_version);
  t->Cursor().SetAddress(kNullAdr);
  t->Cursor().SetAddress(adr);
  t->Edit();
  t->Post();
  EXPECT_EQ(LoadU32(t->Cursor().Item() + kRecVersionOffset), old_version);
  t->Edit();
  Int(*t, "a").SetAsInteger(8);
  t->Post();
  EXPECT_EQ(LoadU32(t->Cursor().Item() + kRecVersionOffset), fx.Reader()->TransactionNumber());
}

TEST(Table, EditKeepsTheAddressAlsoWhenTheRecordOutgrowsItsPage) {
  qdf_test::TListFixture fx;
  TDb db(fx);
  auto t = db.storage->TableByName("t1");
  for (int i = 1; i <= 40; ++i) Add(*t, i, std::string(150, 'a'));
  t->First();
  t->Next();
  const TItemAdr adr = t->Cursor().Address();
  for (const size_t len : {3000u, 6000u, 5u}) {
    t->Edit();
    Fld(*t, "c").SetAsString(std::string(len, 'z'));
    Int(*t, "b").Clear();
    t->Post();
    EXPECT_EQ(t->Cursor().Address(), adr);
    t->First();
    t->Next();
    ASSERT_EQ(t->Cursor().Address(), adr);
    EXPECT_EQ(Fld(*t, "c").GetAsString(), std::string(len, 'z'));
    EXPECT_EQ(Int(*t, "a").AsInteger(), 2);  // unchanged fields are kept
    EXPECT_TRUE(Int(*t, "b").IsNull());
  }
  EXPECT_EQ(t->Count(), 40);
  // A record too big for any page is refused before anything is written.
  t->Edit();
  Fld(*t, "c").SetAsString(std::string(9000, 'q'));
  EXPECT_EQ(MessageOf([&] { t->Post(); }), "Item of 9026 bytes does not fit a page");
  EXPECT_EQ(t->State(), kModeBrowse);
  EXPECT_EQ(Fld(*t, "c").GetAsString(), "zzzzz");
}

TEST(Table, NavigationAndCancelDiscardUnpostedChanges) {
  qdf_test::TListFixture fx;
  TDb db(fx);
  auto t = db.storage->TableByName("t1");
  Add(*t, 1, "one");
  Add(*t, 2, "two");
  t->First();
  t->Edit();
  Int(*t, "a").SetAsInteger(99);
  t->Next();  // discards the edit
  EXPECT_EQ(t->State(), kModeBrowse);
  t->Post();  // nothing to post any more
  EXPECT_EQ(Walk(*t), (std::vector<int>{1, 2}));
  t->Insert();
  Int(*t, "a").SetAsInteger(3);
  t->First();
  EXPECT_EQ(t->Count(), 2);
  t->Edit();
  Int(*t, "a").SetAsInteger(50);
  EXPECT_EQ(Int(*t, "a").AsInteger(), 50);
  t->Cancel();
  EXPECT_EQ(Int(*t, "a").AsInteger(), 1);  // the stored value shows again
  // Re-reading the edited record itself keeps the edit.
  t->Edit();
  Int(*t, "a").SetAsInteger(51);
  t->Cursor().Refresh();
  EXPECT_EQ(t->State(), kModeEdit);
  t->Post();
  EXPECT_EQ(Walk(*t), (std::vector<int>{51, 2}));
}

TEST(Table, SubclassRecordsShareTheBaseFields) {
  qdf_test::TListFixture fx;
  TDb db(fx);
  auto t = db.storage->TableByName("t1");
  TQdfItemClass* sub = t->ItemClass()->ClassByName("TSub");
  ASSERT_NE(sub, nullptr);
  EXPECT_EQ(t->InsertByName("TSub"), nullptr);  // no accessor
  EXPECT_EQ(t->CursorClass(), sub);
  Int(*t, "a", sub).SetAsInteger(1);
  sub->FieldByName("d")->SetAsString("sub only");
  t->Post();
  Add(*t, 2, "base");
  t->First();
  EXPECT_EQ(t->CursorClass(), sub);
  EXPECT_EQ(Int(*t, "a").AsInteger(), 1);  // read through the base class's field
  EXPECT_EQ(sub->FieldByName("d")->GetAsString(), "sub only");
  t->Next();
  EXPECT_EQ(t->CursorClass(), t->ItemClass());
  EXPECT_EQ(Int(*t, "a").AsInteger(), 2);
  EXPECT_TRUE(sub->FieldByName("d")->IsNull());  // a base record has no d
  EXPECT_EQ(Fld(*t, "c").GetAsString(), "base");
  t->Next();
  EXPECT_EQ(t->CursorClass(), nullptr);
  EXPECT_TRUE(t->Eof());
  // The template's class names the same class as the instance's copy.
  EXPECT_EQ(t->Insert(db.storage->ClassByPath("TBench.TSub")), sub);
  t->Cancel();
}

TEST(Table, DeleteMovesOnOrStays) {
  qdf_test::TListFixture fx;
  TDb db(fx);
  auto t = db.storage->TableByName("t1");
  for (int i = 1; i <= 6; ++i) Add(*t, i, "r");
  t->First();
  t->Next();
  t->DeleteCurrent();
  EXPECT_EQ(Int(*t, "a").AsInteger(), 3);
  t->Delete(true);
  EXPECT_EQ(Int(*t, "a").AsInteger(), 4);
  t->Delete(false);
  EXPECT_EQ(t->Cursor().Item(), nullptr);
  EXPECT_EQ(t->Count(), 3);
  EXPECT_EQ(Walk(*t), (std::vector<int>{1, 5, 6}));
  t->Last();
  t->DeleteCurrent();  // the last record: nothing follows
  EXPECT_EQ(t->Cursor().Item(), nullptr);
  EXPECT_EQ(Walk(*t), (std::vector<int>{1, 5}));
  // Deleting during an edit drops the edit.
  t->First();
  t->Edit();
  Int(*t, "a").SetAsInteger(77);
  t->Delete(true);
  EXPECT_EQ(t->State(), kModeBrowse);
  EXPECT_EQ(Walk(*t), (std::vector<int>{5}));
}

TEST(Table, ErrorsNameTheProblem) {
  qdf_test::TListFixture fx;
  TDb db(fx);
  auto t = db.storage->TableByName("t1");
  t->First();
  EXPECT_EQ(MessageOf([&] { t->Edit(); }), "Cannot edit EOF: (4294967295:0)");
  EXPECT_EQ(MessageOf([&] { t->Delete(false); }), "Cannot delete EOF: (4294967295:0)");
  EXPECT_EQ(MessageOf([&] { t->DeleteCurrent(); }), "Cannot delete EOF: (4294967295:0)");
  EXPECT_EQ(MessageOf([&] { t->InsertByName("TObj"); }), "Try to append unknown class: TObj");
  EXPECT_EQ(MessageOf([&] { t->Insert(db.storage->ClassByPath("TObj")); }),
            "Try to append unknown class");
  EXPECT_EQ(t->State(), kModeBrowse);
  EXPECT_EQ(MessageOf([&] { Int(*t, "a").SetAsInteger(1); }), "Cannot edit");
  Add(*t, 1, "x");
  t->Edit();
  EXPECT_EQ(MessageOf([&] { t->Edit(); }), "Already in Edit-Mode");
  t->Cancel();
  // A record whose class is not in the table's class tree.
  TItemAdr adr;
  uint8_t* raw = t->AppendItem(kRecBodyStart + 2, &adr);
  const TItemAdr foreign = db.storage->ClassByPath("TObj")->Address();
  StoreAdr(raw + kRecClassOffset, foreign);
  t->Cursor().SetAddress(adr);
  EXPECT_EQ(t->CursorClass(), nullptr);
  EXPECT_EQ(MessageOf([&] { t->Edit(); }),
            "Item at: " + AdrToText(adr) + " try to edit Unknown class: " + AdrToText(foreign));
  // A table whose class does not exist binds none.
  db.storage->CreateSchemaObject("TQdfTable", "t9", false)
      ->SetProperties("BaseStructureName=TNone");
  db.storage->PopUntil(nullptr);
  auto t9 = db.storage->TableByName("t9");
  EXPECT_EQ(t9->ItemClass(), nullptr);
  EXPECT_EQ(MessageOf([&] { t9->Insert(); }), "Try to append unknown class");
}

TEST(Table, ThisIDIsDrawnOnInsertAndCannotBeChanged) {
  qdf_test::TListFixture fx;
  TDb db(fx);
  auto t = db.storage->TableByName("t2");
  std::set<TObjectID> ids;
  for (int i = 0; i < 50; ++i) {
    t->Insert();
    Int(*t, "v").SetAsInteger(i);
    t->Post();
    auto* id = static_cast<TQdfObjectIDField*>(t->FieldByName("ThisID"));
    ASSERT_FALSE(id->IsNull());
    ids.insert(id->AsID());
  }
  EXPECT_EQ(ids.size(), 50u);
  t->First();
  auto* id = static_cast<TQdfObjectIDField*>(t->FieldByName("ThisID"));
  const TObjectID first = id->AsID();
  t->Edit();
  id->SetAsInt64(12345);
  EXPECT_EQ(MessageOf([&] { t->Post(); }), "ThisID may not be modified");
  EXPECT_EQ(t->State(), kModeBrowse);
  EXPECT_EQ(id->AsID(), first);
  t->Edit();
  Int(*t, "v").SetAsInteger(500);
  t->Post();
  EXPECT_EQ(id->AsID(), first);
  EXPECT_EQ(Int(*t, "v").AsInteger(), 500);
  t->Delete(true);
  EXPECT_EQ(t->Count(), 49);
}

// Records the events it is told; can be made to fail at one of them.
struct TRecorder {
  TRecorder(TQdfTable& t, std::vector<std::string>& out, std::string who)
      : log(out), name(std::move(who)) {
    TQdfEventListner& l = t.Events().Add(this);
    l.insert = [this](TQdfPersistentObject*, void*) { Note("insert"); };
    l.before_post = [this](TQdfPersistentObject*, void*) { Note("before_post"); };
    l.after_post = [this](TQdfPersistentObject*, void*) { Note("after_post"); };
    l.before_delete = [this](TQdfPersistentObject*, void*) { Note("before_delete"); };
    l.abandon = [this](TQdfPersistentObject*, void*) { Note("abandon"); };
  }
  void Note(const std::string& what) {
    log.push_back(name + ":" + what);
    if (what == fail_at) throw EQdfException(name + " refuses " + what);
  }
  std::vector<std::string>& log;
  std::string name;
  std::string fail_at;
};

TEST(Table, ListenersHearOfPostsAndOfAbandonedPosts) {
  qdf_test::TListFixture fx;
  TDb db(fx);
  auto t = db.storage->TableByName("t1");
  std::vector<std::string> log;
  TRecorder one(*t, log, "1"), two(*t, log, "2");
  Add(*t, 1, "x");
  EXPECT_EQ(log, (std::vector<std::string>{"1:insert", "2:insert", "1:before_post", "2:before_post",
                                           "1:after_post", "2:after_post"}));
  // A listener that refuses before the write: nothing written, the ones told
  // before it abandon.
  log.clear();
  two.fail_at = "before_post";
  t->Insert();
  Int(*t, "a").SetAsInteger(2);
  EXPECT_EQ(MessageOf([&] { t->Post(); }), "2 refuses before_post");
  EXPECT_EQ(log, (std::vector<std::string>{"1:insert", "2:insert", "1:before_post", "2:before_post",
                                           "1:abandon"}));
  EXPECT_EQ(t->State(), kModeBrowse);
  EXPECT_EQ(t->Count(), 1);
  // A failure after the write takes the new record back: a listener that
  // completed after_post hears of its deletion, the others abandon.
  two.fail_at = "after_post";
  t->Insert();
  Int(*t, "a").SetAsInteger(3);
  log.clear();
  EXPECT_EQ(MessageOf([&] { t->Post(); }), "2 refuses after_post");
  EXPECT_EQ(log, (std::vector<std::string>{"1:before_post", "2:before_post", "1:after_post",
                                           "2:after_post", "1:before_delete", "2:abandon"}));
  EXPECT_EQ(t->Count(), 1);
  EXPECT_EQ(Walk(*t), (std::vector<int>{1}));
  t->First();
  t->Edit();
  Fld(*t, "c").SetAsString(std::string(5000, 'g'));  // grows, then shrinks back
  log.clear();
  EXPECT_EQ(MessageOf([&] { t->Post(); }), "2 refuses after_post");
  EXPECT_EQ(log.back(), "1:abandon");
  t->First();
  EXPECT_EQ(Fld(*t, "c").GetAsString(), "x");
  EXPECT_EQ(Int(*t, "b").AsInteger(), 10);
  // A post that writes nothing tells no listener of a post (none may refuse
  // it or prepare for it).
  two.fail_at = "before_post";
  log.clear();
  t->Insert();
  t->Post();
  EXPECT_EQ(log, (std::vector<std::string>{"1:insert", "2:insert"}));
  two.fail_at.clear();
  log.clear();
  t->First();
  one.fail_at = "before_delete";
  EXPECT_EQ(MessageOf([&] { t->Delete(true); }), "1 refuses before_delete");
  EXPECT_EQ(t->Count(), 1);
  one.fail_at.clear();
  t->Delete(true);
  EXPECT_EQ(t->Count(), 0);
  t->Events().Remove(&one);
  t->Events().Remove(&two);
}

// Records the statements instead of running them.
class TRecordingStorage : public TQdfStorage {
 public:
  void Execute(const std::string& text) override { statements.push_back(text); }
  std::vector<std::string> statements;
};

TEST(Table, CreateIndexWritesTheStatement) {
  qdf_test::TListFixture fx;
  auto s = std::make_unique<TRecordingStorage>();
  s->Construct(nullptr);
  s->CreateRoot(fx.Reader());
  BuildSchema(*s);
  auto t = s->TableByName("t1");
  auto* tmpl = static_cast<TQdfTable*>(s->ChildByName("t1"));
  tmpl->CreateIndex("u", " a , desc  d ", false, nullptr, true, "TSub");
  EXPECT_EQ(s->statements.back(),
            "parent t1;create TQdfIndex u (TQdfIndexObject IDX$Order [BaseObjectClass=TSub] "
            "(TQdfIntegerField a [ixAscending=True];TQdfCharField d [ixAscending=False];"
            "TQdfItemClass IDX$Structure (TQdfShortReferenceField REF$t1 )));");
  // Into another storage: no parent, an old index of that name dropped first.
  qdf_test::TListFixture other_fx;
  auto other = std::make_unique<TRecordingStorage>();
  other->Construct(nullptr);
  other->CreateRoot(other_fx.Reader());
  other->CreateSchemaObject("TQdfIndex", "q", true);
  t->CreateIndex("q", "ASC b", true, other.get(), false, "");
  EXPECT_EQ(other->statements.back(),
            "drop q;create TQdfIndex q (TQdfIndexObject IDX$Order [BaseObjectClass=TBench] "
            "(TQdfIntegerField b [ixAscending=True];TQdfShortReferenceField REF$t1 ));");
  // Unknown fields and classes make nothing, without a statement.
  const size_t count = s->statements.size();
  EXPECT_EQ(t->CreateIndex("x", "a, zz", true, nullptr, false, ""), nullptr);
  EXPECT_EQ(t->CreateIndex("x", "d", true, nullptr, false, ""), nullptr);  // d is TSub's
  EXPECT_EQ(t->CreateIndex("x", "a", true, nullptr, false, "TNope"), nullptr);
  EXPECT_EQ(s->statements.size(), count);
  EXPECT_EQ(MessageOf([&] { t->CreateIndex("$SPARE", "a", true, nullptr, false, ""); }),
            "$SPARE existiert bereits in t1");
}

}  // namespace
}  // namespace qdf

// Tables with indexes: these need the index operations.
namespace qdf {
namespace {

TEST(TableIndex, CreateIndexOnAWorkingInstance) {
  qdf_test::TListFixture fx;
  auto storage = fx.New<TQdfStorage>();
  storage->OpenRoot(fx.Reader());
  BuildSchema(*storage);
  auto t = storage->TableByName("t1");
  for (int a : {5, 3, 9}) Add(*t, a, "r");
  TQdfIndex* ix = t->CreateIndex("ic", "DESC a", true, nullptr, false, "");
  ASSERT_NE(ix, nullptr);
  EXPECT_EQ(ix->Parent(), t.get());
  EXPECT_EQ(t->IndexByName("ic"), ix);
  EXPECT_NE(storage->ChildByPath("t1.ic"), nullptr);
  t->SetCurrentIndex(ix);
  EXPECT_EQ(Walk(*t), (std::vector<int>{9, 5, 3}));
  Add(*t, 7, "r");
  EXPECT_EQ(Walk(*t), (std::vector<int>{9, 7, 5, 3}));
  EXPECT_EQ(t->Count(), 4);
  EXPECT_EQ(MessageOf([&] { t->CreateIndex("ic", "a", true, nullptr, false, ""); }),
            "ic existiert bereits in t1");
  // A unique index refuses a duplicate before the record is written.
  ASSERT_NE(t->CreateIndex("ua", "a", true, nullptr, true, ""), nullptr);
  t->Insert();
  Int(*t, "a").SetAsInteger(5);
  EXPECT_NE(MessageOf([&] { t->Post(); }).find("Duplicate Key in Index: ua"), std::string::npos);
  EXPECT_EQ(t->Count(), 4);
  t->SetCurrentIndex(t->IndexByName("ua"));
  EXPECT_EQ(Walk(*t), (std::vector<int>{3, 5, 7, 9}));
  EXPECT_EQ(t->Count(), t->IndexByName("ua")->Count());
  // Deleting through the index leaves the cursor on the next key.
  t->First();
  t->Next();
  t->DeleteCurrent();
  EXPECT_EQ(Int(*t, "a").AsInteger(), 7);
  EXPECT_EQ(Walk(*t), (std::vector<int>{3, 7, 9}));
}

}  // namespace
}  // namespace qdf
