// Filtered and copying table operations, index filters, and the table walks
// built on them.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "ErrorText.h"
#include "QueryTestUtil.h"
#include "base/QdfException.h"
#include "query/Column.h"
#include "query/IndexFilter.h"
#include "query/TableOp.h"
#include "record/Fields.h"
#include "table/BlobField.h"

namespace qdf {
namespace {

using qdf_test::TQueryDb;
using qdf_test::TRow;
using Ks = std::vector<int>;

constexpr const char* kInt = "TQdfIntegerField";

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
  const int64_t n = static_cast<TQdfObjectIDField&>(qdf_test::Fld(*t_, "ThisID")).AsInt64();
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

TEST_F(TableOpTest, OptionsFromTheCurrentRowBackwardAndStopAfterFirst) {
  Open();
  Fill(10);
  // Physical order by chain from the record the cursor stands on.
  auto from_5 = [&](uint8_t options) {
    t_->First();
    for (int i = 1; i < 5; ++i) t_->Next();
    return Rows("b > 0", options);
  };
  EXPECT_EQ(from_5(kOpExamineCurrent), (Ks{5, 6, 7, 8, 9, 10}));
  EXPECT_EQ(from_5(0), (Ks{6, 7, 8, 9, 10}));
  EXPECT_EQ(Rows("b > 7", kOpFromEnd | kOpBackward), (Ks{10, 9, 8}));
  EXPECT_EQ(Rows("b > 3", kOpDefault | kOpStopAfterFirst), (Ks{4}));
  // A failure after a pass ends the scan with 0x20.
  EXPECT_EQ(Rows("b < 3 or b > 5", kOpFromEnd | kOpStopAtFail), (Ks{1, 2}));
  EXPECT_EQ(Rows("b < 3 or b > 5", kOpFromEnd | kOpStopAtFail | kOpPassedClear), (Ks{1, 2}));
  EXPECT_EQ(Rows("b > 8", kOpFromEnd | kOpStopAtFail | kOpPassedClear), (Ks{9, 10}));
  EXPECT_EQ(Rows("b > 8", kOpFromEnd | kOpStopAtFail), Ks{});
  // Without a filter every record, once.
  EXPECT_EQ(Rows(""), (Ks{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  // A visitor stops the walk; the deferred one then goes back from the last
  // row visited.
  Ks seen;
  t_->ForEachMatch(
      t_->CompileFilter("b > 5"), kOpDefault,
      [&](TQdfTable&, bool& stop) {
        seen.push_back(k_->AsInteger());
        stop = seen.size() == 2;
      },
      [&](TQdfTable&, bool&) { seen.push_back(-k_->AsInteger()); });
  EXPECT_EQ(seen, (Ks{6, 7, -7, -6}));
}

// Index ranges at their edges: null keys, LIKE prefixes of 0xFF bytes.
TEST_F(TableOpTest, IndexRangesOfNullsAndOfHighBytePrefixesAndApplyFilterChecks) {
  db_.AddIndex("ia", {{kInt, "a"}});
  db_.AddIndex("ib", {{kInt, "b"}});
  db_.AddIndex("ic", {{"TQdfCharField", "c"}});
  Open();
  int k = 0;
  for (const char* c : {"A", "A\xff", "A\xff\xff", "B", "\xff", "\xff\xff", ""}) {
    ++k;
    qdf_test::Insert(*t_, TRow{k, {}, k % 2 == 0 ? std::optional<int>() : k, c, {}, {}});
  }
  EXPECT_EQ(Rows("c like 'A\xff%'"), (Ks{2, 3}));
  EXPECT_EQ(Rows("c like '\xff%'"), (Ks{5, 6}));
  EXPECT_EQ(Rows("c = ''"), (Ks{7}));
  EXPECT_EQ(Rows("b = null"), (Ks{2, 4, 6}));
  EXPECT_EQ(Rows("b isnot null"), (Ks{1, 3, 5, 7}));
  // ApplyFilter takes only a comparison on the index's own key fields.
  TQdfIndex* ia = t_->IndexByName("ia");
  TQdfIndex* ic = t_->IndexByName("ic");
  auto plain = t_->CompileFilter("a = 1 and c = 'x'");
  EXPECT_EQ(qdf_test::MessageOf([&] { ia->ApplyFilter(plain.get()); }), "Invalid Filter Type");
  EXPECT_EQ(qdf_test::MessageOf([&] { ia->ApplyFilter(nullptr); }), "Invalid Filter Type");
  auto comparison = [&](const char* text) {
    return std::unique_ptr<TfComp>(static_cast<TfComp*>(t_->CompileFilter(text).release()));
  };
  // An integer comparison cannot key a char field.
  EXPECT_QDF_ERROR(TbIndexFilter::Create(comparison("a = 1"), ic->KeyFields()[0]),
                   "Invalid Filter Type");
  // A filter on another index's key fields.
  auto on_c = TbIndexFilter::Create(comparison("c = 'x'"), ic->KeyFields()[0]);
  EXPECT_EQ(qdf_test::MessageOf([&] { ia->ApplyFilter(on_c.get()); }), "Invalid Filter Type");
  EXPECT_EQ(ic->ApplyFilter(on_c.get()), 1);
  EXPECT_EQ(on_c->Comparison(5), nullptr);
  // Trailing null values are left out of the search key.
  auto null_key = TbIndexFilter::Create(comparison("c = ''"), ic->KeyFields()[0]);
  EXPECT_EQ(ic->ApplyFilter(null_key.get()), 0);
}

// A walk through an index that holds every field read answers from the keys:
// the cursor stands on an image. An edit or a delete works on the stored
// record, so the fields the image lacks, and their keys, survive or go.
TEST_F(TableOpTest, ImagesGiveWayToTheRecordForEditsAndDeletesAndApplyUpdateReplays) {
  db_.AddIndex("ib", {{kInt, "b"}});
  db_.AddIndex("ia", {{kInt, "a"}});
  Open();
  Fill(20);
  TQdfField* b = t_->FieldByName("b");
  TVisitNeeds needs;
  needs.reads_known = true;
  needs.reads = {b};
  t_->ForEachMatch(
      t_->CompileFilter("b >= 5 and b < 8"), kOpDefault,
      [&](TQdfTable& t, bool&) {
        EXPECT_TRUE(t.CursorOnImage());
        t.Edit();
        t.FieldByName("c")->SetAsString("edited");
        t.Post();
      },
      nullptr, needs);
  EXPECT_EQ(Rows("c = 'edited'"), (Ks{5, 6, 7}));
  EXPECT_EQ(Rows("a >= 0").size(), 20u);
  auto del = Op("b = 9");
  del->SetReads({b});
  del->First();
  ASSERT_TRUE(del->Next());
  ASSERT_TRUE(t_->CursorOnImage());
  t_->Delete(false);
  del.reset();
  EXPECT_EQ(Rows("a >= 0").size(), 19u);

  // ApplyUpdate replays an insert, then an update, and checks versions.
  TQdfIndex* ib = t_->IndexByName("ib");
  t_->First();
  const TItemAdr first = t_->Cursor().Address();
  const uint8_t* rec = t_->Cursor().Item();
  std::vector<uint8_t> item(rec, rec + LoadU16(rec));
  // The replayed record keeps its ThisID: the original goes first.
  t_->Delete(false);
  t_->ApplyUpdate(first, 1, item.data(), 0);
  const TItemAdr adr = t_->Cursor().Address();
  EXPECT_EQ(t_->Count(), 19);
  EXPECT_EQ(ib->Count(), 19);
  EXPECT_EQ(Rows("b = 1"), (Ks{1}));
  t_->SetCursorAddress(adr);
  // An update of field b (mask bit 3) from an item of a later version.
  const uint8_t* now = t_->Cursor().Item();
  std::vector<uint8_t> newer(now, now + LoadU16(now));
  t_->Edit();
  static_cast<TQdfIntegerField*>(b)->SetAsInteger(77);
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
  EXPECT_EQ(ib->Count(), 19);
  // Checks.
  StoreU32(update.data() + kRecVersionOffset, 0);
  EXPECT_QDF_ERROR(t_->ApplyUpdate(adr, 3, update.data(), 1),
                   "Record updated by another transaction");
  EXPECT_QDF_ERROR(t_->ApplyUpdate(adr, 4, update.data(), 0),
                   "Record updated by another transaction");
  t_->SetCursorAddress(adr);
  t_->Delete(false);
  EXPECT_QDF_ERROR(t_->ApplyUpdate(adr, 3, newer.data(), 1), "Updating deleted Record");
  EXPECT_EQ(qdf_test::MessageOf([&] { t_->ApplyUpdate(adr, 4, newer.data(), 0); }), "<no error>");
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
    EXPECT_QDF_ERROR(op.InsertInto(*u, {dest[0], dest[1]}),
                     "Source and Destination Columns do not match");
    EXPECT_QDF_ERROR(op.InsertInto(*u), "Source and Destination Columns do not match");
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
  // A blob type (UserInfo 62) whose column reads as an object ID, so that a
  // column selection keeps it.
  const char* const kBody = "UserInfo=62";
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
  qdf_test::BuildDocs(*db_.storage, {"src", "dst"}, kBody);
  auto src = db_.storage->TableByName("src");
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"long", std::string(5000, 'x') + "end"}, {"short", "abc"}, {"none", ""}};
  for (const auto& [name, bytes] : rows) qdf_test::AddDoc(*src, name, bytes);
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
  qdf_test::BuildDocs(*other, {"far"}, kBody);
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

}  // namespace
}  // namespace qdf
