// A page of a table's chain whose stored block is damaged: every walk over
// the table raises the engine's error instead of ending early with fewer
// records.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ErrorText.h"
#include "FileBytes.h"
#include "base/Bytes.h"
#include "db/SystemTestUtil.h"
#include "file/FileFormat.h"
#include "query/TableOp.h"
#include "record/Fields.h"
#include "table/Table.h"

namespace {

using qdf_test::MessageOf;
using qdf_test::TSystemFixture;

constexpr int kRows = 300;

// Overwrites the stored block of data page n (n < 640, its entry in the
// level-0 table block) with zeros.
void ZeroBlockOfPage(const std::string& path, uint32_t n) {
  std::vector<uint8_t> bytes = qdf_test::ReadFileBytes(path);
  const int64_t table_block = qdf::DecodeEntry(&bytes[qdf::kHdrRoot + qdf::kRootEntries]).position;
  const qdf::TPageEntry e =
      qdf::DecodeEntry(&bytes[static_cast<size_t>(table_block) + qdf::kIbEntries + 12 * (n - 1)]);
  ASSERT_GT(e.position, 0);
  std::memset(&bytes[static_cast<size_t>(e.position)], 0, static_cast<size_t>(e.StoredSize()));
  qdf_test::WriteFileBytes(path, bytes);
}

class DamagedChainTest : public ::testing::Test {
 protected:
  // A table t (n: indexed integer, c: text of 100 bytes) of kRows records,
  // committed; pages_ holds its chain.
  void SetUp() override {
    auto t = fx_.system->NewTransaction("build");
    qdf::TQdfInTransStorage* s = t->OpenStorage("DB", false, fx_.Db());
    t->SetActive(true);
    s->Execute(
        "create TQdfItemClass TRow (TQdfIntegerField n; TQdfCharField c); "
        "create table t on TRow; create index by_n on t (n)");
    t->CommitAndContinue();
    {
      std::unique_ptr<qdf::TQdfTable> table = s->TableByName("t");
      for (int i = 0; i < kRows; ++i) {
        table->Insert();
        static_cast<qdf::TQdfIntegerField*>(table->FieldByName("n"))->SetAsInteger(i);
        table->FieldByName("c")->SetAsString(std::string(100, static_cast<char>('a' + i % 26)));
        table->Post();
      }
      for (uint32_t p = table->FirstPage(); p != qdf::kNoPage; p = table->NextPage(p)) {
        pages_.push_back(p);
      }
    }
    t->Commit(true);
    t.reset();
    fx_.Restart();  // closes the file
  }

  // Runs `walk` on table t in a read transaction; the EQdfException's message.
  std::string WalkMessage(const std::function<void(qdf::TQdfTable&)>& walk) {
    auto t = fx_.system->NewTransaction("read");
    qdf::TQdfInTransStorage* s = t->OpenStorage("DB", true, fx_.Db());
    t->SetActive(true);
    std::unique_ptr<qdf::TQdfTable> table = s->TableByName("t");
    return MessageOf([&] { walk(*table); });
  }

  TSystemFixture fx_;
  std::vector<uint32_t> pages_;
};

TEST_F(DamagedChainTest, EveryWalkRaisesInsteadOfEndingEarly) {
  ASSERT_GE(pages_.size(), 3u);
  int rows = 0;
  auto full_walk = [&](qdf::TQdfTable& table) {
    rows = 0;
    table.SetCurrentIndex(nullptr);
    for (table.First(); !table.Eof(); table.Next()) ++rows;
  };
  auto filtered = [&](const char* filter, uint8_t options) {
    return [&rows, filter, options](qdf::TQdfTable& table) {
      rows = 0;
      table.ForEachMatch(table.CompileFilter(filter), options,
                         [&rows](qdf::TQdfTable&, bool&) { ++rows; });
    };
  };
  struct TWalk {
    const char* name;
    std::function<void(qdf::TQdfTable&)> walk;
  };
  const TWalk walks[] = {
      {"First/Next", full_walk},
      {"filter in physical order", filtered("c <> ''", qdf::kOpDefault)},
      {"filter in chain order", filtered("c <> ''", qdf::kOpFromEnd)},
      {"filter through the index", filtered("n >= 0", qdf::kOpDefault)},
  };
  // The sound file: every walk sees every record.
  for (const TWalk& w : walks) {
    EXPECT_EQ(WalkMessage(w.walk), "<no error>") << w.name;
    EXPECT_EQ(rows, kRows) << w.name;
  }
  ZeroBlockOfPage(fx_.Db(), pages_[pages_.size() / 2]);
  for (const TWalk& w : walks) {
    const std::string message = WalkMessage(w.walk);
    EXPECT_NE(message, "<no error>") << w.name << " ended after " << rows << " records";
    EXPECT_LT(rows, kRows) << w.name;
  }
}

// Finding a record by its address (references, object IDs) on a damaged
// page raises too, instead of answering that no record is there.
TEST_F(DamagedChainTest, RecordAtADamagedPageRaises) {
  const qdf::TItemAdr adr{pages_[pages_.size() / 2], 0};
  auto lookup = [&](bool* found) {
    auto t = fx_.system->NewTransaction("read");
    qdf::TQdfInTransStorage* s = t->OpenStorage("DB", true, fx_.Db());
    t->SetActive(true);
    return MessageOf([&] { *found = s->RecordAt(adr) != nullptr; });
  };
  bool found = false;
  EXPECT_EQ(lookup(&found), "<no error>");
  EXPECT_TRUE(found);
  ZeroBlockOfPage(fx_.Db(), adr.page);
  found = false;
  EXPECT_NE(lookup(&found), "<no error>");
  EXPECT_FALSE(found);
}

}  // namespace
