// A page of a table's chain whose stored block is damaged: every walk over
// the table raises the engine's error instead of ending early with fewer
// records.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
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

  // Runs `walk` in a read transaction; the EQdfException's message.
  std::string ReadMessage(const std::function<void(qdf::TQdfInTransStorage&)>& walk) {
    auto t = fx_.system->NewTransaction("read");
    qdf::TQdfInTransStorage* s = t->OpenStorage("DB", true, fx_.Db());
    t->SetActive(true);
    return MessageOf([&] { walk(*s); });
  }

  TSystemFixture fx_;
  std::vector<uint32_t> pages_;
};

// Walks over the table, and finding a record by its address (references,
// object IDs), on a damaged page raise instead of ending early or answering
// that no record is there.
TEST_F(DamagedChainTest, EveryWalkAndLookupRaisesInsteadOfEndingEarly) {
  ASSERT_GE(pages_.size(), 3u);
  const uint32_t damaged = pages_[pages_.size() / 2];
  int rows = 0;
  auto filtered = [&rows](const char* filter, uint8_t options) {
    return [&rows, filter, options](qdf::TQdfInTransStorage& s) {
      std::unique_ptr<qdf::TQdfTable> table = s.TableByName("t");
      table->ForEachMatch(table->CompileFilter(filter), options,
                          [&rows](qdf::TQdfTable&, bool&) { ++rows; });
    };
  };
  struct TWalk {
    const char* name;
    std::function<void(qdf::TQdfInTransStorage&)> walk;
  };
  const TWalk walks[] = {
      {"First/Next",
       [&](qdf::TQdfInTransStorage& s) {
         std::unique_ptr<qdf::TQdfTable> table = s.TableByName("t");
         table->SetCurrentIndex(nullptr);
         for (table->First(); !table->Eof(); table->Next()) ++rows;
       }},
      {"filter in physical order", filtered("c <> ''", qdf::kOpDefault)},
      {"filter in chain order", filtered("c <> ''", qdf::kOpFromEnd)},
      {"filter through the index", filtered("n >= 0", qdf::kOpDefault)},
      {"record at its address",
       [&](qdf::TQdfInTransStorage& s) {
         if (s.RecordAt(qdf::TItemAdr{damaged, 0}) != nullptr) rows = kRows;
       }},
  };
  auto run = [&](const TWalk& w) {
    rows = 0;
    return ReadMessage(w.walk);
  };
  // The sound file: every walk sees every record.
  for (const TWalk& w : walks) {
    EXPECT_EQ(run(w), "<no error>") << w.name;
    EXPECT_EQ(rows, kRows) << w.name;
  }
  ZeroBlockOfPage(fx_.Db(), damaged);
  for (const TWalk& w : walks) {
    EXPECT_NE(run(w), "<no error>") << w.name << " ended after " << rows << " records";
    EXPECT_LT(rows, kRows) << w.name;
  }
}

}  // namespace
