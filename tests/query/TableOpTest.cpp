// Filtered, updateable and copying table operations, and the table walks
// built on them (ForEachMatch, DeleteWhere, emptying the table).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ErrorText.h"
#include "QueryTestUtil.h"
#include "base/QdfException.h"
#include "query/Column.h"
#include "query/TableOp.h"
#include "reader/CachePool.h"
#include "record/Fields.h"
#include "table/BlobField.h"

namespace qdf {
namespace {

using qdf_test::TQueryDb;
using qdf_test::TRow;
using Ks = std::vector<int>;

constexpr const char* kInt = "TQdfIntegerField";

Ks Sorted(Ks v) {
  std::sort(v.begin(), v.end());
  return v;
}

class TableOpTest : public ::testing::Test {
 protected:
  TableOpTest() : db_(fx_) {}

  void Open() {
    t_ = db_.Open();
    k_ = static_cast<TQdfIntegerField*>(&qdf_test::Fld(*t_, "k"));
  }
  // Rows k = 1..n with a = k % 5, b = k, c = "r" + k.
  void Fill(int n) {
    for (int k = 1; k <= n; ++k) {
      qdf_test::Insert(*t_, TRow{k, k % 5, k, "r" + std::to_string(k), {}, {}});
    }
  }
  std::unique_ptr<TQdfFilteredTableOp> Op(const std::string& text, uint8_t options = kOpDefault,
                                          TQdfItemClass* cls = nullptr) {
    auto filter = text.empty() ? nullptr : t_->CompileFilter(text, cls);
    return std::make_unique<TQdfFilteredTableOp>(*t_, options, nullptr, cls, std::move(filter));
  }
  // The k of every row, read through the table's cursor.
  Ks Rows(TQdfCustomTableOp& op) {
    Ks out;
    op.First();
    while (op.Next()) out.push_back(k_->AsInteger());
    return out;
  }
  Ks Rows(const std::string& text, uint8_t options = kOpDefault) {
    auto op = Op(text, options);
    return Rows(*op);
  }
  int64_t IDCount() { return db_.storage->IDIndex()->Count(); }

  qdf_test::TListFixture fx_;
  TQueryDb db_;
  std::unique_ptr<TQdfTable> t_;
  TQdfIntegerField* k_ = nullptr;
};

TEST_F(TableOpTest, EqualityObjectIDAndBaseClassIndexes) {
  db_.AddIndex("ia", {{kInt, "a"}});
  Open();
  Fill(40);
  // ThisID = n reads that one record.
  t_->First();
  t_->Next();
  auto& id = static_cast<TQdfObjectIDField&>(qdf_test::Fld(*t_, "ThisID"));
  const int64_t n = id.AsInt64();
  ASSERT_NE(n, 0);
  auto op = Op("ThisID = " + std::to_string(n));
  EXPECT_EQ(Rows(*op), (Ks{2}));
  EXPECT_TRUE(op->ObjectIDLookup());
  EXPECT_EQ(op->Visited(), 0);
  EXPECT_EQ(Rows("ThisID = " + std::to_string(n) + " and a = 4"), Ks{});
  EXPECT_EQ(Rows("ThisID = 999999999"), Ks{});
  // An index on the base class serves a subclass operation, which returns
  // only records of the subclass.
  TQdfItemClass* sub = t_->ItemClass()->ClassByName("TSub");
  qdf_test::Insert(*t_, TRow{41, 1, 41, "s", {}, {}}, sub);
  auto sub_op = Op("a = 1", kOpDefault, sub);
  EXPECT_EQ(Rows(*sub_op), (Ks{41}));
  ASSERT_NE(sub_op->ChosenIndex(), nullptr);
  // The same through a table scan.
  EXPECT_EQ(Rows(*Op("b > 0", kOpDefault, sub)), (Ks{41}));
  // The ThisID of a TRec record is no row of a TSub operation.
  EXPECT_EQ(Rows(*Op("ThisID = " + std::to_string(n), kOpDefault, sub)), Ks{});
}

TEST_F(TableOpTest, PhysicalScanSeesEveryPageOfATableLargerThanTheCache) {
  Open();
  // Rows of about 400 bytes: 20 a page. Three times the cache by default.
  const int pages = qdf_test::EnvSize("QDF_TABLEOP_PAGES", 3 * TCachePool::kDefaultCacheSize);
  const int n = pages * 20;
  const std::string pad(380, 'x');
  for (int k = 1; k <= n; ++k) qdf_test::Insert(*t_, TRow{k, k % 7, k, pad, {}, {}});
  db_.storage->StoreModified();
  fx_.Commit();
  ASSERT_GT(t_->PageListHeader()->CountPg(), TCachePool::kDefaultCacheSize * 2);
  auto op = Op("a = 3");
  TaItemAdrList seen;
  int count = 0;
  op->First();
  while (op->Next()) {
    ++count;
    seen.Append(t_->Cursor().Address());
  }
  EXPECT_EQ(op->ChosenIndex(), nullptr);
  EXPECT_EQ(count, (n + 4) / 7);
  EXPECT_EQ(op->Visited(), n);
  // In ascending page order.
  for (int i = 1; i < seen.Count(); ++i) {
    ASSERT_LT(TaItemAdrList::CompareAdr(seen.Items(i - 1), seen.Items(i), nullptr), 0) << i;
  }

  // The page order is kept between scans; pages that another instance of the
  // table adds or frees meanwhile must still be seen (or not).
  auto other = db_.Open();
  for (int k = n + 1; k <= n + 700; ++k) qdf_test::Insert(*other, TRow{k, 3, k, pad, {}, {}});
  EXPECT_EQ(Rows("a = 3").size(), static_cast<size_t>((n + 4) / 7 + 700));
  EXPECT_EQ(other->DeleteWhere(other->CompileFilter("k <= " + std::to_string(n))), n);
  EXPECT_EQ(Rows("a = 3").size(), 700u);
  EXPECT_EQ(other->DeleteWhere(nullptr), 700);
  EXPECT_TRUE(Rows("a = 3").empty());
}

TEST_F(TableOpTest, OptionsFromTheCurrentRowBackwardAndStopAfterFirst) {
  Open();
  Fill(10);
  // Physical order by chain from the record the cursor stands on.
  t_->First();
  for (int i = 1; i < 5; ++i) t_->Next();
  ASSERT_EQ(k_->AsInteger(), 5);
  EXPECT_EQ(Rows("b > 0", kOpExamineCurrent), (Ks{5, 6, 7, 8, 9, 10}));
  t_->First();
  for (int i = 1; i < 5; ++i) t_->Next();
  EXPECT_EQ(Rows("b > 0", 0), (Ks{6, 7, 8, 9, 10}));
  EXPECT_EQ(Rows("b > 7", kOpFromEnd | kOpBackward), (Ks{10, 9, 8}));
  EXPECT_EQ(Rows("b > 3", kOpDefault | kOpStopAfterFirst), (Ks{4}));
  // A failure after a pass ends the scan with 0x20.
  EXPECT_EQ(Rows("b < 3 or b > 5", kOpFromEnd | kOpStopAtFail), (Ks{1, 2}));
  EXPECT_EQ(Rows("b < 3 or b > 5", kOpFromEnd | kOpStopAtFail | kOpPassedClear), (Ks{1, 2}));
  EXPECT_EQ(Rows("b > 8", kOpFromEnd | kOpStopAtFail | kOpPassedClear), (Ks{9, 10}));
  EXPECT_EQ(Rows("b > 8", kOpFromEnd | kOpStopAtFail), Ks{});
  // Without a filter every record, once.
  EXPECT_EQ(Rows(""), (Ks{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
}

// The updateable loop with a change of the current row: through a table
// scan and through an index, deleting or moving the row's key.
TEST_F(TableOpTest, UpdateableLoopChangesTheCurrentRowWithoutSkipOrRepeat) {
  db_.AddIndex("ib", {{kInt, "b"}});
  Open();
  Fill(200);
  auto& b = static_cast<TQdfIntegerField&>(qdf_test::Fld(*t_, "b"));
  for (const char* text : {"c <> ''", "b >= 1"}) {
    SCOPED_TRACE(text);
    const bool by_index = std::string(text) == "b >= 1";
    const int64_t before = t_->Count();
    TQdfUpdateableFilterOp op(*t_, kOpDefault, nullptr, nullptr, t_->CompileFilter(text));
    std::multiset<int> seen;
    op.First();
    while (op.Next()) {
      const int k = k_->AsInteger();
      seen.insert(k);
      if (k % 3 == 0) {
        t_->Delete(false);
      } else {
        // Moves the key ahead of an index walk.
        t_->Edit();
        b.SetAsInteger(b.AsInteger() + 1000);
        t_->Post();
      }
    }
    EXPECT_EQ(op.ChosenIndex() != nullptr, by_index);
    EXPECT_EQ(static_cast<int64_t>(seen.size()), before);
    for (int k : seen) EXPECT_EQ(seen.count(k), 1u) << k;
    EXPECT_EQ(t_->Count(),
              before - static_cast<int64_t>(std::count_if(seen.begin(), seen.end(),
                                                          [](int k) { return k % 3 == 0; })));
    EXPECT_EQ(t_->IndexByName("ib")->Count(), t_->Count());
  }
  // Nothing left with k % 3 == 0; b moved twice for the others.
  EXPECT_EQ(Rows("b < 2000"), Ks{});
  EXPECT_EQ(Rows("b >= 2001 and b <= 2002"), (Ks{1, 2}));
}

TEST_F(TableOpTest, DeleteWhereAndClearPagesKeepIndexesAndIDsInStep) {
  db_.AddIndex("ib", {{kInt, "b"}});
  Open();
  const int64_t ids = IDCount();
  Fill(100);
  TQdfIndex* ib = t_->IndexByName("ib");
  EXPECT_EQ(IDCount(), ids + 100);
  // Through the index, then through a scan.
  EXPECT_EQ(t_->DeleteWhere(t_->CompileFilter("b > 80")), 20);
  EXPECT_EQ(t_->DeleteWhere(t_->CompileFilter("c like '%5%'")), 17);
  EXPECT_EQ(t_->Count(), 63);
  EXPECT_EQ(ib->Count(), 63);
  EXPECT_EQ(IDCount(), ids + 63);
  EXPECT_EQ(Rows("b >= 75"), (Ks{76, 77, 78, 79, 80}));
  EXPECT_EQ(t_->DeleteWhere(nullptr), 63);
  EXPECT_EQ(t_->Count(), 0);
  EXPECT_EQ(ib->Count(), 0);
  EXPECT_EQ(IDCount(), ids);
  // Emptying the table at once.
  Fill(50);
  EXPECT_EQ(IDCount(), ids + 50);
  t_->ClearPages();
  EXPECT_EQ(t_->Count(), 0);
  EXPECT_EQ(t_->PageListHeader()->CountPg(), 0);
  EXPECT_EQ(ib->Count(), 0);
  EXPECT_EQ(IDCount(), ids);
  // The indexes listen again.
  Fill(3);
  EXPECT_EQ(ib->Count(), 3);
  EXPECT_EQ(Rows("b = 2"), (Ks{2}));
}

TEST_F(TableOpTest, ForEachMatchVisitsStopsAndDefers) {
  db_.AddIndex("ib", {{kInt, "b"}});
  Open();
  Fill(20);
  Ks seen;
  t_->ForEachMatch(t_->CompileFilter("b >= 5 and b < 9"), kOpDefault,
                   [&](TQdfTable&, bool&) { seen.push_back(k_->AsInteger()); });
  EXPECT_EQ(seen, (Ks{5, 6, 7, 8}));
  seen.clear();
  t_->ForEachMatch(t_->CompileFilter("b > 10"), kOpDefault, [&](TQdfTable&, bool& stop) {
    seen.push_back(k_->AsInteger());
    stop = seen.size() == 3;
  });
  EXPECT_EQ(seen, (Ks{11, 12, 13}));
  // The deferred visitor sees the rows from the last to the first and may
  // delete them.
  seen.clear();
  t_->ForEachMatch(t_->CompileFilter("b <= 4"), kOpDefault, nullptr, [&](TQdfTable& t, bool&) {
    seen.push_back(k_->AsInteger());
    t.Delete(false);
  });
  EXPECT_EQ(seen, (Ks{1, 2, 3, 4}));  // the walk went backward from 4
  EXPECT_EQ(t_->Count(), 16);
}

// Rows whose key order is not their page order: b = k * 7919 mod n (each
// b from 0 to n - 1 once), a = k % 5, c a pad that spreads them over pages.
class AnyOrderTest : public TableOpTest {
 protected:
  static constexpr int kRows = 3000;
  void FillScattered(bool index_a = false) {
    db_.AddIndex("ib", {{kInt, "b"}});
    if (index_a) db_.AddIndex("ia", {{kInt, "a"}});
    Open();
    const std::string pad(150, 'x');
    for (int k = 1; k <= kRows; ++k) {
      qdf_test::Insert(*t_, TRow{k, k % 5, (k * 7919) % kRows, pad, {}, {}});
    }
    b_ = static_cast<TQdfIntegerField*>(&qdf_test::Fld(*t_, "b"));
    a_ = static_cast<TQdfIntegerField*>(&qdf_test::Fld(*t_, "a"));
  }
  // The k of the rows whose b lies in [lo, hi) and whose a is not `not_a`.
  static Ks Expected(int lo, int hi, int not_a = -1) {
    Ks out;
    for (int k = 1; k <= kRows; ++k) {
      const int b = (k * 7919) % kRows;
      if (b >= lo && b < hi && k % 5 != not_a) out.push_back(k);
    }
    return out;
  }
  TQdfIntegerField* a_ = nullptr;
  TQdfIntegerField* b_ = nullptr;
};

TEST_F(AnyOrderTest, VisitorsMovingTheirKeysSeeEveryRowOnce) {
  FillScattered();
  // A visitor that moves the keys it is shown still sees every row once.
  Ks seen;
  TVisitNeeds needs;
  needs.ordered = false;
  t_->ForEachMatch(
      t_->CompileFilter("b >= 1000 and b < 1300"), kOpDefault,
      [&](TQdfTable& t, bool&) {
        seen.push_back(k_->AsInteger());
        t.Edit();
        b_->SetAsInteger(b_->AsInteger() + kRows);
        t.Post();
      },
      nullptr, needs);
  EXPECT_EQ(Sorted(seen), Expected(1000, 1300));
  EXPECT_EQ(Sorted(Rows("b >= " + std::to_string(kRows))), Expected(1000, 1300));
  // The deferred phase goes down the pages.
  TaItemAdrList deferred;
  t_->ForEachMatch(
      t_->CompileFilter("b >= 2000 and b < 2100"), kOpDefault, nullptr,
      [&](TQdfTable& t, bool&) { deferred.Append(t.Cursor().Address()); }, needs);
  ASSERT_EQ(deferred.Count(), 100);
  for (int i = 1; i < deferred.Count(); ++i) {
    EXPECT_GT(TaItemAdrList::CompareAdr(deferred.Items(i - 1), deferred.Items(i), nullptr), 0);
  }
}

TEST_F(AnyOrderTest, ImagesGiveWayToTheRecordForEditsDeletesAndCursorMoves) {
  FillScattered(true);
  TVisitNeeds needs;
  needs.reads_known = true;
  needs.reads = {b_};
  needs.ordered = false;
  // The visitor declared b only, yet edits another field: the edit starts
  // from the stored record, so a and k survive.
  int visits = 0;
  t_->ForEachMatch(
      t_->CompileFilter("b >= 500 and b < 520"), kOpDefault,
      [&](TQdfTable& t, bool&) {
        ++visits;
        EXPECT_TRUE(t.CursorOnImage());
        t.Edit();
        EXPECT_FALSE(t.CursorOnImage());
        t.FieldByName("c")->SetAsString("edited");
        t.Post();
      },
      nullptr, needs);
  EXPECT_EQ(visits, 20);
  Ks edited;
  for (t_->First(); t_->Cursor().Item() != nullptr; t_->Next()) {
    if (t_->FieldByName("c")->GetAsString() != "edited") continue;
    edited.push_back(k_->AsInteger());
    EXPECT_EQ(a_->AsInteger(), k_->AsInteger() % 5);
  }
  EXPECT_EQ(Sorted(edited), Expected(500, 520));
  // Deleting the record an image stands for deletes it with all its keys
  // (the key of ia is built from the stored a, which the image lacks).
  auto del = Op("b = 600", kOpDefault);
  del->SetReads({b_});
  del->First();
  ASSERT_TRUE(del->Next());
  ASSERT_TRUE(t_->CursorOnImage());
  t_->Delete(false);
  del.reset();
  EXPECT_EQ(Rows("a >= 0").size(), static_cast<size_t>(kRows - 1));
  EXPECT_TRUE(Rows("b = 600").empty());
  // Moving the cursor to the imaged record reads the record.
  auto op = Op("b = 700", kOpDefault);
  op->SetReads({b_});
  op->First();
  ASSERT_TRUE(op->Next());
  ASSERT_TRUE(t_->CursorOnImage());
  EXPECT_TRUE(a_->IsNull());
  t_->SetCursorAddress(t_->Cursor().Address());
  EXPECT_FALSE(t_->CursorOnImage());
  EXPECT_EQ(a_->AsInteger(), k_->AsInteger() % 5);
}

TEST_F(TableOpTest, ColumnsAndInsertIntoMapByPosition) {
  db_.storage->CreateSchemaObject("TQdfTable", "u", false)->SetProperties("BaseStructureName=TRec");
  db_.storage->PopUntil(nullptr);
  Open();
  Fill(5);
  TQdfItemClass* cls = t_->ItemClass();
  {
    TQdfColumnSelection all(cls, {"*"});
    ASSERT_EQ(all.Count(), cls->FieldCount());
    EXPECT_EQ(all.Column(0).Name(), "ThisID");
    EXPECT_EQ(all.Column(1).Name(), "k");
    EXPECT_EQ(all.Column(4).Name(), "c");
    EXPECT_EQ(all.Column(4).FieldClassName(), "TQdfCharField");
    // Unnamed expressions count only the columns kept; a column that does
    // not compile or gives no field value is dropped.
    TQdfColumnSelection some(
        cls, {"a + 1", "a +", "Field(TRec, \"a\")", "b * 2", "a + b AS total", "f * 2", "c"});
    ASSERT_EQ(some.Count(), 5);
    EXPECT_EQ(some.Column(0).Name(), "Field_1");
    EXPECT_EQ(some.Column(0).FieldClassName(), "TQdfIntegerField");
    EXPECT_EQ(some.Column(1).Name(), "Field_2");
    EXPECT_EQ(some.Column(2).Name(), "total");
    EXPECT_EQ(some.Column(3).FieldClassName(), "TQdfFloatField");
    EXPECT_EQ(some.Column(4).Name(), "c");
  }
  auto u = db_.storage->TableByName("u");
  TQdfItemClass* ucls = u->ItemClass();
  std::vector<TQdfField*> dest = {ucls->FieldByName("k"), ucls->FieldByName("a"),
                                  ucls->FieldByName("b"), ucls->FieldByName("c")};
  {
    TQdfFilteredTableOp op(*t_, kOpDefault, nullptr, nullptr, t_->CompileFilter("b >= 2"),
                           {"k", "b", "a * 10 AS x", "c"});
    EXPECT_EQ(qdf_test::MessageOf([&] {
                op.InsertInto(*u, {dest[0], dest[1]});
              }),
              "Source and Destination Columns do not match");
    EXPECT_EQ(qdf_test::MessageOf([&] { op.InsertInto(*u); }),
              "Source and Destination Columns do not match");
    EXPECT_EQ(u->Count(), 0);
    EXPECT_EQ(op.InsertInto(*u, dest), 4);
  }
  // Column b went to field a, a * 10 to field b.
  auto& ua = static_cast<TQdfIntegerField&>(*ucls->FieldByName("a"));
  auto& ub = static_cast<TQdfIntegerField&>(*ucls->FieldByName("b"));
  Ks got;
  for (u->First(); u->Cursor().Item() != nullptr; u->Next()) {
    got.push_back(ua.AsInteger() * 1000 + ub.AsInteger());
    EXPECT_EQ(ucls->FieldByName("c")->GetAsString(), "r" + std::to_string(ua.AsInteger()));
  }
  EXPECT_EQ(got, (Ks{2020, 3030, 4040, 5000}));
  // Every field by "*": the copies get IDs of their own.
  const int64_t ids = IDCount();
  TQdfBasicTableOp all(*t_, nullptr, {"*"});
  EXPECT_EQ(all.InsertInto(*u), 5);
  EXPECT_EQ(u->Count(), 9);
  EXPECT_EQ(IDCount(), ids + 5);
}

// A copied row gets its own copy of each blob: deleting the source leaves
// the copy whole, and a copy into another database takes the bytes along.
TEST_F(TableOpTest, InsertIntoGivesEachCopyABlobOfItsOwn) {
  auto build = [](TQdfStorage& s, std::vector<const char*> tables) {
    s.CreateSchemaObject("TQdfItemClass", "TDoc", false);
    s.CreateSchemaObject("TQdfCharField", "name", true);
    // A blob type (UserInfo 62) whose column reads as an object ID, so that
    // a column selection keeps it.
    s.CreateSchemaObject("TQdfBlobField", "body", true)->SetProperties("UserInfo=62");
    s.PopUntil(nullptr);
    for (const char* name : tables) {
      s.CreateSchemaObject("TQdfTable", name, false)->SetProperties("BaseStructureName=TDoc");
      s.PopUntil(nullptr);
    }
  };
  // name -> (blob ID, bytes) of every record.
  using TBlobs = std::map<std::string, std::pair<int64_t, std::string>>;
  auto blobs = [](TQdfTable& t) {
    TBlobs out;
    for (t.First(); t.Cursor().Item() != nullptr; t.Next()) {
      auto& body = static_cast<TQdfBlobField&>(*t.FieldByName("body"));
      out[t.FieldByName("name")->GetAsString()] = {body.AsInt64(), body.GetAsString()};
    }
    return out;
  };
  build(*db_.storage, {"src", "dst"});
  auto src = db_.storage->TableByName("src");
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"long", std::string(5000, 'x') + "end"}, {"short", "abc"}, {"none", ""}};
  for (const auto& [name, bytes] : rows) {
    src->Insert();
    src->FieldByName("name")->SetAsString(name);
    src->FieldByName("body")->SetAsString(bytes);
    src->Post();
  }
  const TBlobs original = blobs(*src);
  auto dst = db_.storage->TableByName("dst");
  {
    TQdfBasicTableOp all(*src, nullptr, {"*"});
    EXPECT_EQ(all.InsertInto(*dst), 3);
  }
  const TBlobs copied = blobs(*dst);
  ASSERT_EQ(copied.size(), 3u);
  for (const auto& [name, blob] : copied) {
    SCOPED_TRACE(name);
    EXPECT_EQ(blob.second, original.at(name).second);
    if (name != "none") {
      EXPECT_NE(blob.first, original.at(name).first);
    }
  }
  src->DeleteWhere(nullptr);
  EXPECT_EQ(blobs(*dst), copied);
  EXPECT_EQ(db_.storage->BlobTable()->Count(), 3 + 1);

  // Into a table of another database.
  qdf_test::TListFixture other_fx;
  auto other = other_fx.New<TQdfStorage>();
  other->OpenRoot(other_fx.Reader());
  build(*other, {"far"});
  auto far = other->TableByName("far");
  {
    TQdfBasicTableOp all(*dst, nullptr, {"*"});
    EXPECT_EQ(all.InsertInto(*far), 3);
  }
  TBlobs arrived = blobs(*far);
  ASSERT_EQ(arrived.size(), 3u);
  for (const auto& [name, blob] : arrived) EXPECT_EQ(blob.second, copied.at(name).second) << name;
  EXPECT_EQ(other->BlobTable()->Count(), 3 + 1);
}

TEST_F(TableOpTest, ApplyUpdateReplaysInsertsUpdatesAndChecks) {
  db_.AddIndex("ib", {{kInt, "b"}});
  Open();
  Fill(3);
  TQdfIndex* ib = t_->IndexByName("ib");
  t_->First();
  const TItemAdr first = t_->Cursor().Address();
  const uint8_t* rec = t_->Cursor().Item();
  std::vector<uint8_t> item(rec, rec + LoadU16(rec));
  // The replayed record keeps its ThisID: the original goes first.
  t_->Delete(false);
  t_->ApplyUpdate(first, 1, item.data(), 0);
  const TItemAdr adr = t_->Cursor().Address();
  EXPECT_EQ(t_->Count(), 3);
  EXPECT_EQ(ib->Count(), 3);
  EXPECT_EQ(Rows("b = 1"), (Ks{1}));
  t_->SetCursorAddress(adr);
  // An update of field b (mask bit 3) from an item of a later version.
  const uint8_t* now = t_->Cursor().Item();
  std::vector<uint8_t> newer(now, now + LoadU16(now));
  auto& b = static_cast<TQdfIntegerField&>(qdf_test::Fld(*t_, "b"));
  t_->Edit();
  b.SetAsInteger(77);
  k_->SetAsInteger(99);
  t_->Post();
  const uint8_t* changed = t_->Cursor().Item();
  std::vector<uint8_t> update(changed, changed + LoadU16(changed));
  // Put the record back as it was, then replay only b.
  StoreU32(newer.data() + kRecVersionOffset, LoadU32(update.data() + kRecVersionOffset));
  t_->ApplyUpdate(adr, 3, newer.data(), 0xFF);
  EXPECT_EQ(Rows("b = 1"), (Ks{1}));
  t_->ApplyUpdate(adr, 3, update.data(), uint64_t{1} << 3);
  EXPECT_EQ(Rows("b = 77"), (Ks{1}));
  EXPECT_EQ(ib->Count(), 3);
  // Checks.
  StoreU32(update.data() + kRecVersionOffset, 0);
  EXPECT_EQ(qdf_test::MessageOf([&] { t_->ApplyUpdate(adr, 3, update.data(), 1); }),
            "Record updated by another transaction");
  EXPECT_EQ(qdf_test::MessageOf([&] { t_->ApplyUpdate(adr, 4, update.data(), 0); }),
            "Record updated by another transaction");
  t_->SetCursorAddress(adr);
  t_->Delete(false);
  EXPECT_EQ(qdf_test::MessageOf([&] { t_->ApplyUpdate(adr, 3, newer.data(), 1); }),
            "Updating deleted Record");
  EXPECT_EQ(qdf_test::MessageOf([&] { t_->ApplyUpdate(adr, 4, newer.data(), 0); }), "<no error>");
}

}  // namespace
}  // namespace qdf
