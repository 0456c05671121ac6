#include <gtest/gtest.h>

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

TEST(Table, ErrorsNameTheProblem) {
  qdf_test::TListFixture fx;
  std::unique_ptr<TQdfStorage> storage = fx.CreateStorage();
  BuildSchema(*storage);
  auto t = storage->TableByName("t1");
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
  EXPECT_EQ(t->Insert(storage->ClassByPath("TBench.TSub")), sub);
  t->Cancel();
  EXPECT_EQ(MessageOf([&] { t->Insert(storage->ClassByPath("TObj")); }),
            "Try to append unknown class");
  EXPECT_EQ(t->State(), kModeBrowse);
  auto& a = static_cast<TQdfIntegerField&>(*t->FieldByName("a"));
  EXPECT_EQ(MessageOf([&] { a.SetAsInteger(1); }), "Cannot edit");
  t->Insert();
  a.SetAsInteger(1);
  t->Post();
  t->Edit();
  EXPECT_EQ(MessageOf([&] { t->Edit(); }), "Already in Edit-Mode");
  t->Cancel();
  // A record whose class is not in the table's class tree.
  TItemAdr adr;
  uint8_t* raw = t->AppendItem(kRecBodyStart + 2, &adr);
  const TItemAdr foreign = storage->ClassByPath("TObj")->Address();
  StoreAdr(raw + kRecClassOffset, foreign);
  t->Cursor().SetAddress(adr);
  EXPECT_EQ(t->CursorClass(), nullptr);
  EXPECT_EQ(MessageOf([&] { t->Edit(); }),
            "Item at: " + AdrToText(adr) + " try to edit Unknown class: " + AdrToText(foreign));
  // A table whose class does not exist binds none.
  storage->CreateSchemaObject("TQdfTable", "t9", false)->SetProperties("BaseStructureName=TNone");
  storage->PopUntil(nullptr);
  auto t9 = storage->TableByName("t9");
  EXPECT_EQ(t9->ItemClass(), nullptr);
  EXPECT_EQ(MessageOf([&] { t9->Insert(); }), "Try to append unknown class");
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
