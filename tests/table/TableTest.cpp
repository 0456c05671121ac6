#include <gtest/gtest.h>

#include <functional>
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

TEST(Table, ErrorsNameTheProblem) {
  qdf_test::TListFixture fx;
  TDb db(fx);
  auto t = db.storage->TableByName("t1");
  t->First();
  EXPECT_EQ(MessageOf([&] { t->Edit(); }), "Cannot edit EOF: (4294967295:0)");
  EXPECT_EQ(MessageOf([&] { t->Delete(false); }), "Cannot delete EOF: (4294967295:0)");
  EXPECT_EQ(MessageOf([&] { t->DeleteCurrent(); }), "Cannot delete EOF: (4294967295:0)");
  EXPECT_EQ(MessageOf([&] { t->InsertByName("TObj"); }), "Try to append unknown class: TObj");
  // A class without an accessor gives none; the template's class names the
  // same class as the instance's copy.
  TQdfItemClass* sub = t->ItemClass()->ClassByName("TSub");
  EXPECT_EQ(t->InsertByName("TSub"), nullptr);
  EXPECT_EQ(t->CursorClass(), sub);
  t->Cancel();
  EXPECT_EQ(t->Insert(db.storage->ClassByPath("TBench.TSub")), sub);
  t->Cancel();
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
