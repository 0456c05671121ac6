// Bulk copies and deletes defer the upkeep of large non-unique indexes and
// apply the collected keys sorted afterwards. Whatever way a deferral ends,
// every index must then name exactly the table's records, each key with its
// record's values.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "EnvSize.h"
#include "QueryTestUtil.h"
#include "query/TableOp.h"
#include "reader/CachePool.h"

namespace qdf {
namespace {

using qdf_test::TRow;

constexpr const char* kInt = "TQdfIntegerField";
constexpr const char* kChar = "TQdfCharField";

using TAdrSet = std::set<std::pair<uint32_t, uint16_t>>;

// Every key of `ix` names a record of `t` whose `field` holds the key's
// first value, and every record is named once.
void ExpectIndexMatchesTable(TQdfTable& t, TQdfIndex& ix, const char* field) {
  SCOPED_TRACE(ix.ObjectName());
  TAdrSet records, named;
  for (t.First(); t.Cursor().Item() != nullptr; t.Next()) {
    records.insert({t.Cursor().Address().page, t.Cursor().Address().slot});
  }
  TQdfField& f = qdf_test::Fld(t, field);
  auto text = [](const uint8_t* bytes, int length) {
    return std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
  };
  TItemAdr at = kBeforeFirstAdr;
  while (const uint8_t* key = ix.NextItem(at)) {
    const TItemAdr record = ix.RecordOfKey(key);
    int key_length = 0, length = 0;
    const uint8_t* key_value = ix.KeyField(key, 0, &key_length);
    const std::string key_text = text(key_value, key_length);  // before the page may go
    ASSERT_TRUE(named.insert({record.page, record.slot}).second) << "a record named twice";
    ASSERT_TRUE(records.count({record.page, record.slot})) << "a key of no record: " << key_text;
    t.SetCursorAddress(record);
    const uint8_t* value = f.GetData(&length);
    EXPECT_EQ(key_text, text(value, length));
  }
  EXPECT_EQ(named.size(), records.size());
}

class DeferredUpkeep : public ::testing::Test {
 protected:
  DeferredUpkeep() : db_(fx_), rng_(7) {
    // Whether an index defers depends on the cache: the size a fresh
    // process has, whatever earlier tests in this process set.
    TCachePool::Instance().SetCacheSize(TCachePool::kDefaultCacheSize);
    db_.AddIndex("ic", {{kChar, "c"}});  // long keys: a tree larger than an eighth of the cache
    db_.AddIndex("ib", {{kInt, "b"}});   // small: kept up row by row
    db_.AddIndex("uk", {{kInt, "k"}}, true);  // unique: never deferred
    db_.storage->CreateSchemaObject("TQdfTable", "src", false)
        ->SetProperties("BaseStructureName=TRec");
    db_.storage->PopUntil(nullptr);
    t_ = db_.Open();
    ic_ = t_->IndexByName("ic");
    rows_ = static_cast<int>(qdf_test::EnvSize("QDF_DEFERRED_UPKEEP_ROWS", 3000));
    for (int k = 1; k <= rows_; ++k) qdf_test::Insert(*t_, Row(k));
  }

  // c is long: the keys of one bulk operation exceed what an index collects
  // before it applies them (1 MB), so runs are applied on the way too.
  TRow Row(int k) {
    const int v = static_cast<int>(rng_() % 100000);
    TRow row{k, 0, static_cast<int>(rng_() % 1000), "", {}, {}};
    row.c = std::string(400, static_cast<char>('a' + v % 26)) + std::to_string(v);
    return row;
  }

  void ExpectIndexesMatchTable() {
    ExpectIndexMatchesTable(*t_, *ic_, "c");
    ExpectIndexMatchesTable(*t_, *t_->IndexByName("ib"), "b");
    ExpectIndexMatchesTable(*t_, *t_->IndexByName("uk"), "k");
  }

  qdf_test::TListFixture fx_;
  qdf_test::TQueryDb db_;
  std::mt19937 rng_;
  std::unique_ptr<TQdfTable> t_;
  TQdfIndex* ic_ = nullptr;
  int rows_ = 0;
};

TEST_F(DeferredUpkeep, BulkCopiesAndDeletesKeepEveryIndexEqualToItsTable) {
  {
    TDeferredIndexUpkeep probe(*t_);
    ASSERT_TRUE(ic_->Deferring()) << "the table is too small to defer: the test misses its path";
    EXPECT_FALSE(t_->IndexByName("uk")->Deferring());
  }
  EXPECT_FALSE(ic_->Deferring());
  auto src = db_.storage->TableByName("src");
  for (int k = rows_ + 1; k <= 2 * rows_; ++k) qdf_test::Insert(*src, Row(k));
  TQdfFilteredTableOp copy(*src, kOpDefault, nullptr, nullptr, nullptr, {"k", "a", "b", "c"});
  TQdfItemClass* cls = t_->ItemClass();
  EXPECT_EQ(copy.InsertInto(*t_, {cls->FieldByName("k"), cls->FieldByName("a"),
                                  cls->FieldByName("b"), cls->FieldByName("c")}),
            rows_);
  ExpectIndexesMatchTable();
  // Through the index on b, then through a scan.
  const int64_t deleted = t_->DeleteWhere(t_->CompileFilter("b < 333"));
  EXPECT_GT(deleted, 0);
  EXPECT_EQ(t_->Count(), 2 * rows_ - deleted);
  EXPECT_GT(t_->DeleteWhere(t_->CompileFilter("c like \"b%\"")), 0);
  ExpectIndexesMatchTable();
}

// Inside a deferral: an edit of a record inserted in it finds its key, a
// delete of another takes its pending key along, and a deferral left by an
// error still applies what it collected.
TEST_F(DeferredUpkeep, EditsDeletesAndErrorsInsideADeferral) {
  for (const bool fail : {false, true}) {
    SCOPED_TRACE(fail ? "left by an error" : "applied");
    t_->First();
    const TItemAdr older = t_->Cursor().Address();
    try {
      TDeferredIndexUpkeep upkeep(*t_);
      std::vector<TItemAdr> added;
      for (int i = 1; i <= 20; ++i) {
        qdf_test::Insert(*t_, Row(10 * rows_ + i + (fail ? 100 : 0)));
        added.push_back(t_->Cursor().Address());
      }
      t_->SetCursorAddress(added[3]);
      t_->Edit();
      qdf_test::Fld(*t_, "c").SetAsString("edited");
      t_->Post();
      t_->SetCursorAddress(added[7]);
      t_->Delete(false);
      t_->SetCursorAddress(older);
      t_->Delete(false);
      for (int i = 21; i <= 25; ++i) qdf_test::Insert(*t_, Row(10 * rows_ + i + (fail ? 100 : 0)));
      t_->Delete(false);  // the row just inserted: its key is still pending
      if (fail) throw std::runtime_error("the bulk operation fails");
      upkeep.Apply();
    } catch (const std::runtime_error&) {
    }
    EXPECT_FALSE(ic_->Deferring());
    ExpectIndexesMatchTable();
  }
}

}  // namespace
}  // namespace qdf
