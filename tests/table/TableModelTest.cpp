// A table with two unique indexes (a; b and a null flag) against a model (k -> a, b, c, ThisID,
// address, class): random inserts of base and subclass records, edits and
// deletes that end in a post, a cancel, a move of the cursor or a refusal (a
// duplicate key, a record too big for any page, a changed ThisID), and an
// index created on the working table midway. After every step the records,
// every index walk and the object-ID index must match the model.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "ErrorText.h"
#include "query/QueryTestUtil.h"

namespace qdf {
namespace {

using qdf_test::TQueryDb;

struct TModelRow {
  int a, b;
  std::string c;
  int64_t id;
  TItemAdr adr;
  bool sub;  // a TSub record, whose d is 2 * k
};

class TableModel : public ::testing::Test {
 protected:
  TableModel() : db_(fx_) {
    db_.AddIndex("u", {{"TQdfIntegerField", "a"}}, true);
    db_.AddIndex("u2", {{"TQdfIntegerField", "b"}, {"TQdfBooleanField", "flag"}}, true);
    t_ = db_.Open();
    sub_ = t_->ItemClass()->ClassByName("TSub");
  }
  TQdfIntegerField& Int(const char* name) {
    return static_cast<TQdfIntegerField&>(qdf_test::Fld(*t_, name));
  }
  TQdfObjectIDField& ID() { return static_cast<TQdfObjectIDField&>(qdf_test::Fld(*t_, "ThisID")); }
  // The k of the records in physical order.
  std::vector<int> Physical() {
    std::vector<int> out;
    for (t_->First(); t_->Cursor().Item() != nullptr; t_->Next())
      out.push_back(Int("k").AsInteger());
    return out;
  }
  // The index holds one key per record, in key order, each naming its record.
  void CheckIndex(const char* index, const char* field, bool descending = false) {
    TQdfIndex* ix = t_->IndexByName(index);
    std::vector<int> want;
    for (const auto& [k, row] : model_) want.push_back(std::string(field) == "a" ? row.a : row.b);
    std::sort(want.begin(), want.end());
    if (descending) std::reverse(want.begin(), want.end());
    std::vector<int> got;
    for (ix->First(); !ix->Position().IsNull(); ix->Next()) {
      got.push_back(Int(field).AsInteger());
      ASSERT_EQ(ix->RecordOfKey(ix->CurrentKey()), t_->Cursor().Address()) << index;
    }
    ASSERT_EQ(got, want) << index;
  }
  void Check() {
    ASSERT_EQ(t_->State(), kModeBrowse);
    ASSERT_EQ(t_->Count(), static_cast<int64_t>(model_.size()));
    ASSERT_EQ(db_.storage->IDIndex()->Count(), ids_ + static_cast<int64_t>(model_.size()));
    size_t seen = 0;
    for (t_->First(); t_->Cursor().Item() != nullptr; t_->Next(), ++seen) {
      const int k = Int("k").AsInteger();
      ASSERT_TRUE(model_.count(k)) << k;
      const TModelRow& row = model_[k];
      ASSERT_EQ(Int("a").AsInteger(), row.a) << k;
      ASSERT_EQ(Int("b").AsInteger(), row.b) << k;
      ASSERT_EQ(qdf_test::Fld(*t_, "c").GetAsString(), row.c) << k;
      ASSERT_EQ(ID().AsInt64(), row.id) << k;
      ASSERT_EQ(t_->Cursor().Address(), row.adr) << k;
      ASSERT_EQ(t_->CursorClass(), row.sub ? sub_ : t_->ItemClass()) << k;
      ASSERT_EQ(sub_->FieldByName("d")->GetAsString(), row.sub ? std::to_string(2 * k) : "") << k;
    }
    ASSERT_EQ(seen, model_.size());
    CheckIndex("u", "a");
    CheckIndex("u2", "b");
    if (t_->IndexByName("ic") != nullptr) CheckIndex("ic", "b", true);
  }
  bool Taken(const char* field, int value, int except) const {
    for (const auto& [k, row] : model_) {
      if (k != except && (std::string(field) == "a" ? row.a : row.b) == value) return true;
    }
    return false;
  }

  qdf_test::TListFixture fx_;
  TQueryDb db_;
  std::unique_ptr<TQdfTable> t_;
  TQdfItemClass* sub_ = nullptr;
  std::map<int, TModelRow> model_;
  int64_t ids_ = db_.storage->IDIndex()->Count();
};

TEST_F(TableModel, RandomInsertsEditsAndDeletesMatchTheModel) {
  const long steps = qdf_test::EnvSize("QDF_TABLE_STEPS", 400);
  std::mt19937 rng(11);
  std::set<int64_t> ids_drawn;
  int next_k = 1;
  const size_t lengths[] = {0, 5, 150, 3000, 6000, 9000};
  auto any_k = [&] { return std::next(model_.begin(), static_cast<long>(rng() % model_.size())); };
  for (long step = 0; step < steps; ++step) {
    SCOPED_TRACE(step);
    if (step == steps / 3) {  // an index made on the working table keys the records it has
      ASSERT_NE(t_->CreateIndex("ic", "DESC b", true, nullptr, false, ""), nullptr);
      EXPECT_QDF_ERROR(t_->CreateIndex("ic", "a", true, nullptr, false, ""),
                       "ic existiert bereits in t");
    }
    const bool insert = model_.empty() || rng() % 2 == 0;
    if (!insert && rng() % 3 == 0) {
      // Delete(false) leaves the table, Delete(true) moves to the next record
      // in the pages, DeleteCurrent to the next in the current order.
      const auto it = any_k();
      const int how = static_cast<int>(rng() % 3);
      const bool by_index = rng() % 2 == 0;
      std::vector<int> order;
      if (how == 2 && by_index) {
        for (const auto& [k, row] : model_) order.push_back(k);
        std::sort(order.begin(), order.end(),
                  [&](int x, int y) { return model_[x].a < model_[y].a; });
      } else {
        order = Physical();
      }
      const auto pos = std::find(order.begin(), order.end(), it->first) - order.begin();
      const int next = how != 0 && pos + 1 < static_cast<long>(order.size()) ? order[pos + 1] : 0;
      t_->SetCurrentIndex(by_index ? t_->IndexByName("u") : nullptr);
      t_->SetCursorAddress(it->second.adr);
      how == 0 ? t_->Delete(false) : how == 1 ? t_->Delete(true) : t_->DeleteCurrent();
      t_->SetCurrentIndex(nullptr);
      model_.erase(it);
      ASSERT_EQ(t_->Cursor().Item() != nullptr ? Int("k").AsInteger() : 0, next);  // 0: none
      ASSERT_NO_FATAL_FAILURE(Check());
      continue;
    }
    const int k = insert ? next_k++ : any_k()->first;
    TModelRow row = insert ? TModelRow{0, 0, "", 0, kNullAdr, rng() % 4 == 0} : model_[k];
    if (insert) {
      t_->Insert(row.sub ? sub_ : nullptr);
      Int("k").SetAsInteger(k);
      if (row.sub) sub_->FieldByName("d")->SetAsString(std::to_string(2 * k));
    } else {
      t_->SetCursorAddress(row.adr);
      t_->Edit();
    }
    // An edit changes some fields and keeps the others.
    if (insert || rng() % 2) Int("a").SetAsInteger(row.a = static_cast<int>(rng() % 80));
    if (insert || rng() % 2) Int("b").SetAsInteger(row.b = static_cast<int>(rng() % 80));
    if (insert || rng() % 2) {
      row.c = std::string(lengths[rng() % 6], static_cast<char>('a' + rng() % 26));
      qdf_test::Fld(*t_, "c").SetAsString(row.c);
    }
    const bool new_id = !insert && row.c.size() < 9000 && rng() % 8 == 0;
    if (new_id) ID().SetAsInt64(row.id + 1000000);
    const int end = static_cast<int>(rng() % 8);
    if (end == 0) {
      t_->Cancel();
      EXPECT_EQ(insert ? 0 : Int("a").AsInteger(), insert ? 0 : model_[k].a);  // the stored a again
    } else if (end == 1) {
      t_->First();  // moving the cursor drops the change
      t_->Post();   // and leaves nothing to post
    } else {
      if (!insert && end == 2) t_->Cursor().Refresh();  // re-reading the record keeps the edit
      // Every refusal that applies; the post raises one of them.
      std::vector<std::string> errors;
      if (row.c.size() >= 9000) errors.push_back("does not fit a page");
      if (new_id) errors.push_back("ThisID may not be modified");
      const std::string taken = "Duplicate Key in Index: ";
      if (Taken("a", row.a, k)) errors.push_back(taken + "u Value: " + std::to_string(row.a));
      if (Taken("b", row.b, k))
        errors.push_back(taken + "u2 Value: " + std::to_string(row.b) + ",");
      const std::string got = qdf_test::MessageOf([&] { t_->Post(); });
      if (!errors.empty()) {
        EXPECT_TRUE(std::any_of(errors.begin(), errors.end(), [&](const std::string& e) {
          return got.find(e) != std::string::npos;
        })) << got;
      } else {
        ASSERT_EQ(got, "<no error>");
        if (insert) {
          row.id = ID().AsInt64();
          EXPECT_TRUE(ids_drawn.insert(row.id).second) << row.id;
          row.adr = t_->Cursor().Address();
        }
        EXPECT_EQ(t_->Cursor().Address(), row.adr);  // an edit keeps the address
        model_[k] = row;
      }
    }
    ASSERT_NO_FATAL_FAILURE(Check());
  }
}

}  // namespace
}  // namespace qdf
