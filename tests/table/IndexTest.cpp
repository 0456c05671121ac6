#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "ErrorText.h"
#include "base/Helpers.h"
#include "query/QueryTestUtil.h"

namespace qdf {
namespace {

using qdf_test::Fld;
using qdf_test::TQueryDb;

// The values of field `name` of the records in index order.
std::vector<std::string> Walk(TQdfTable& t, TQdfIndex& ix, const char* name,
                              bool backwards = false) {
  std::vector<std::string> out;
  if (backwards) {
    for (ix.Last(); !ix.Position().IsNull() && ix.Position() != kBeforeFirstAdr; ix.Prior()) {
      out.push_back(Fld(t, name).GetAsString());
    }
  } else {
    for (ix.First(); !ix.Position().IsNull(); ix.Next()) out.push_back(Fld(t, name).GetAsString());
  }
  return out;
}

using Strings = std::vector<std::string>;

// A post that sets nothing writes nothing, so no index may refuse it: a
// unique index that holds the null key already lets it pass.
TEST(Index, PostWithNothingSetIsNoDuplicate) {
  qdf_test::TListFixture fx;
  TQueryDb db(fx, false);
  db.AddIndex("u", {{"TQdfIntegerField", "a", true}}, true);
  auto t = db.Open();
  t->Insert();
  Fld(*t, "b").SetAsString("1");  // a stays null
  t->Post();
  for (int round = 0; round < 2; ++round) {
    t->Insert();
    EXPECT_NO_THROW(t->Post());
    EXPECT_EQ(t->State(), kModeBrowse);
    t->First();
    t->Edit();
    EXPECT_NO_THROW(t->Post());
  }
  EXPECT_EQ(t->TQdfDataList::Count(), 1);
  EXPECT_EQ(t->IndexByName("u")->Count(), 1);
}

TEST(Index, DescendingRangesAndAMissingKeyOnDelete) {
  qdf_test::TListFixture fx;
  TQueryDb db(fx);
  db.AddIndex("d", {{"TQdfIntegerField", "a", false}}, false);
  auto t = db.Open();
  TQdfIndex* ix = t->IndexByName("d");
  EXPECT_EQ(ix->OrderText(false), "DESC a,REF$t");
  EXPECT_EQ(ix->OrderText(true), "a,DESC REF$t");
  for (int v = 1; v <= 9; ++v) qdf_test::Insert(*t, {0, v * 10, 0, "", {}, {}});
  EXPECT_EQ(Walk(*t, *ix, "a"), (Strings{"90", "80", "70", "60", "50", "40", "30", "20", "10"}));
  auto bound = [&](int v) {
    TDynamicKeyBuffer k;
    k.Init(1);
    k.AddValue(0, static_cast<int32_t>(v));
    k.Close();
    return std::vector<uint8_t>(k.Key(), k.Key() + k.Size());
  };
  // In a descending index the lower bound is the larger value.
  const auto from = bound(65);
  ix->SetRange(from.data(), nullptr);
  EXPECT_EQ(Walk(*t, *ix, "a"), (Strings{"60", "50", "40", "30", "20", "10"}));
  EXPECT_EQ(Walk(*t, *ix, "a", true), (Strings{"10", "20", "30", "40", "50", "60"}));
  const auto to = bound(30);
  ix->SetRange(nullptr, to.data());
  EXPECT_EQ(Walk(*t, *ix, "a"), (Strings{"90", "80", "70", "60", "50", "40", "30"}));
  EXPECT_EQ(Walk(*t, *ix, "a", true), (Strings{"30", "40", "50", "60", "70", "80", "90"}));
  ix->SetRange(from.data(), to.data());
  EXPECT_EQ(Walk(*t, *ix, "a"), (Strings{"60", "50", "40", "30"}));
  EXPECT_EQ(ix->InRange(nullptr), -2);
  const auto empty_from = bound(5);
  ix->SetRange(empty_from.data(), nullptr);
  EXPECT_TRUE(Walk(*t, *ix, "a").empty());
  ix->ClearRange();
  EXPECT_EQ(Walk(*t, *ix, "a").size(), 9u);
  // A record whose key went missing (a = 10, the first record) is not
  // deleted quietly.
  ix->Last();
  ix->DeleteCurrent();
  t->First();
  EXPECT_QDF_ERROR(t->Delete(false), "Index d out of order");
}

TEST(Index, RebuildWalksEveryRecordAndFindsDuplicates) {
  qdf_test::TListFixture fx;
  TQueryDb db(fx);
  db.AddIndex("u", {{"TQdfIntegerField", "a", true}}, true);
  db.AddIndex("sub", {{"TQdfIntegerField", "d", true}}, false, "TSub");
  auto t = db.Open();
  TQdfIndex* u = t->IndexByName("u");
  TQdfIndex* sub = t->IndexByName("sub");
  std::mt19937 rng(7);
  std::vector<int> values(300);
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<int>(i) * 3;
  std::shuffle(values.begin(), values.end(), rng);
  TQdfItemClass* tsub = t->ItemClass()->ClassByName("TSub");
  for (int v : values) {
    t->Insert(v % 2 ? tsub : nullptr);
    static_cast<TQdfIntegerField&>(Fld(*t, "a")).SetAsInteger(v);
    if (v % 2) static_cast<TQdfIntegerField&>(Fld(*t, "d", tsub)).SetAsInteger(-v);
    t->Post();
  }
  EXPECT_EQ(sub->Count(), 150);
  // Rebuilding while the table walks through the index being rebuilt.
  t->SetCurrentIndex(u);
  u->SetRange(nullptr, nullptr);
  u->Rebuild(true);
  EXPECT_EQ(u->Count(), 300);
  Strings walked = Walk(*t, *u, "a");
  ASSERT_EQ(walked.size(), 300u);
  for (size_t i = 0; i < walked.size(); ++i) EXPECT_EQ(walked[i], std::to_string(i * 3));
  sub->Rebuild(true);
  EXPECT_EQ(sub->Count(), 150);
  EXPECT_EQ(Walk(*t, *sub, "a").front(), "897");  // d = -a: the largest odd a first
  // Two records with a = 0: the unique rebuild refuses, naming the value.
  t->SetCurrentIndex(nullptr);
  u->SetListening(false);
  qdf_test::Insert(*t, {0, 0, 0, "", {}, {}});
  u->SetListening(true);
  EXPECT_QDF_ERROR(u->Rebuild(true), "Duplicate Key in Index: u Value: 0");
}

}  // namespace
}  // namespace qdf
