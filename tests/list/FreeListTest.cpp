#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "EnvSize.h"
#include "base/QdfException.h"
#include "list/DataList.h"
#include "list/FreeList.h"
#include "list/ListTestUtil.h"
#include "storage/Storage.h"

namespace qdf {
namespace {

// A database with a $FREE_LIST and a record list, committed transaction by
// transaction through one writer, the way a storage drives it.
class TFreeListDb {
 public:
  explicit TFreeListDb(qdf_test::TListFixture& fx) : fx_(fx), storage_(fx.CreateStorage()) {
    free_ = fx.AddList<TQdfDataListBase>(storage_.get(), "$FREE_LIST");
    records_ = fx.AddList<TQdfDataList>(storage_.get(), "records");
    TakeFreeList();
  }
  // The lists of a file written before, their header items at `records` and `free`.
  TFreeListDb(qdf_test::TListFixture& fx, const TItemAdr& records, const TItemAdr& free)
      : fx_(fx), storage_(fx.New<TQdfStorage>()) {
    storage_->OpenRootHeader(fx.Reader());
    records_ = fx.LoadList<TQdfDataList>(storage_.get(), records);
    free_ = fx.LoadList<TQdfDataListBase>(storage_.get(), free);
    TakeFreeList();
  }
  void TakeFreeList() {
    free_list_ = std::make_unique<TQdfFreeList>(fx_.Filer(), fx_.Reader(), free_);
    free_list_->Take();
  }

  // Stores the headers, writes the pages (twice: writing changes the free
  // list, whose pages are then written again) and commits; the next write
  // transaction starts and takes the free list again.
  void Commit() {
    TQdfIndirectPageReader* r = fx_.Reader();
    storage_->Flush(false);
    r->Flush(kFlushWriteUnpin);
    storage_->Flush(false);
    r->Flush(kFlushWriteUnpin);
    r->Commit(true);
    r->Open(false);
    r->StartTransaction();
    free_list_->Take();
  }

  TQdfDataList& Records() { return *records_; }
  TQdfDataListBase& FreeListObject() { return *free_; }
  TQdfFreeList& FreeList() { return *free_list_; }
  int64_t FileEnd() const { return static_cast<int64_t>(fx_.Filer()->AllocationEnd()) * 512; }

 private:
  qdf_test::TListFixture& fx_;
  std::unique_ptr<TQdfStorage> storage_;
  TQdfDataListBase* free_ = nullptr;
  TQdfDataList* records_ = nullptr;
  std::unique_ptr<TQdfFreeList> free_list_;
};

std::vector<TItemAdr> AddRecords(TQdfDataList& list, int n, int size) {
  std::vector<TItemAdr> adrs;
  for (int i = 0; i < n; ++i) {
    TItemAdr adr;
    uint8_t* item = list.AppendItem(size, &adr);
    StoreU32(item + 13, static_cast<uint32_t>(i));
    adrs.push_back(adr);
  }
  return adrs;
}

// Changes every record; random-looking bytes keep the pages from packing
// well, so each rewrite needs whole blocks.
void RewriteRecords(TQdfDataList& list, const std::vector<TItemAdr>& adrs, uint32_t round) {
  uint32_t x = round * 2654435761u + 1;
  for (const TItemAdr& adr : adrs) {
    uint8_t* item = list.EditItem(adr);
    const int size = LoadU16(item);
    StoreU32(item + 17, round);
    for (int i = 21; i < size; ++i) {
      x = x * 1103515245u + 12345u;
      item[i] = static_cast<uint8_t>(x >> 24);
    }
  }
}

TEST(FreeList, BlocksOfTheRunningTransactionAreReusedAtOnce) {
  qdf_test::TListFixture fx;
  TFreeListDb db(fx);
  auto adrs = AddRecords(db.Records(), 40, 180);
  db.Commit();
  // Written twice in one transaction with another size: the first copy is
  // this transaction's own and goes straight to the current root.
  RewriteRecords(db.Records(), adrs, 1);
  fx.Reader()->Flush(kFlushWrite);
  const TItemAdr current = db.FreeList().CurrentRoot();
  int before = 0;
  for (int k = 0; k < kSizeClasses; ++k) before += db.FreeList().CountBlocks(current, k);
  std::memset(db.Records().EditItem(adrs[0]) + 30, 0, 100);  // packs differently now
  for (const TItemAdr& a : adrs) std::memset(db.Records().EditItem(a) + 21, 0, 150);
  fx.Reader()->Flush(kFlushWrite);
  int after = 0;
  for (int k = 0; k < kSizeClasses; ++k) after += db.FreeList().CountBlocks(current, k);
  EXPECT_GT(after, before);  // the plain copies went to the current root
  const int64_t end = db.FileEnd();
  RewriteRecords(db.Records(), adrs, 2);  // plain again: takes those blocks back
  fx.Reader()->Flush(kFlushWrite);
  EXPECT_EQ(db.FileEnd(), end);
  db.Commit();
}

// Pages the cache evicts in mid-transaction are stored plain and replaced by
// compressed copies at the commit; the plain blocks are this transaction's
// own space, so the compressed copies fill them from the front and the rest
// goes back to the file.
TEST(FreeList, ACommitGivesBackTheSpaceItsEvictionsTook) {
  qdf_test::TListFixture fx;
  TFreeListDb db(fx);
  // 1500 pages of compressible records, three times the cache: the first
  // page-table block is evicted (plain) half-way, among the plain data pages,
  // and would pin the end of the file there unless it moves down.
  const int pages = 1500;
  AddRecords(db.Records(), 7 * pages, 1100);
  db.Commit();
  const int64_t end = db.FileEnd();
  EXPECT_LT(end, pages * 8192 / 8);  // far less than the plain pages took
  // The file itself ends there once the next transaction runs.
  EXPECT_EQ(static_cast<int64_t>(std::filesystem::file_size(fx.Path())), end);
}

// The own space of a transaction is named by nothing committed: after a
// rollback the committed state is whole and the file is cut back to it.
TEST(FreeList, ARolledBackTransactionLeavesNothingBehind) {
  qdf_test::TListFixture fx;
  TFreeListDb db(fx);
  auto adrs = AddRecords(db.Records(), 60, 400);
  db.Commit();
  const int64_t end = db.FileEnd();
  const int64_t size = static_cast<int64_t>(std::filesystem::file_size(fx.Path()));
  AddRecords(db.Records(), 7 * 700, 1100);  // grows the file past the cache
  RewriteRecords(db.Records(), adrs, 3);
  fx.Reader()->Flush(kFlushWrite);
  EXPECT_GT(static_cast<int64_t>(std::filesystem::file_size(fx.Path())), size);
  fx.Reader()->Rollback();
  fx.Reader()->Open(false);
  fx.Reader()->StartTransaction();
  EXPECT_EQ(static_cast<int64_t>(std::filesystem::file_size(fx.Path())), size);
  EXPECT_EQ(db.FileEnd(), end);
}

// Splitting, merging, moving copies down and cutting the file never touch a
// block that an attached older reader still sees; once it detaches, its
// blocks come back and the file stops growing.
TEST(FreeList, AnOlderReaderKeepsItsViewWhileTheFileShrinks) {
  qdf_test::TListFixture fx;
  TFreeListDb db(fx);
  auto adrs = AddRecords(db.Records(), 7 * 650, 1100);
  RewriteRecords(db.Records(), adrs, 1);  // plain: incompressible bytes
  db.Commit();
  auto old_reader = std::make_unique<TQdfIndirectPageReader>(fx.Filer());
  old_reader->Open(true);
  std::vector<uint32_t> pages;
  std::vector<std::vector<uint8_t>> seen;
  for (size_t i = 0; i < adrs.size(); i += 97) {
    const uint8_t* page = old_reader->GetPage(adrs[i].page, kGpRead);
    pages.push_back(adrs[i].page);
    seen.emplace_back(page, page + 8192);
  }
  for (uint32_t round = 2; round < 6; ++round) {
    // Every other round packs well: the stored sizes change class each time.
    if (round % 2 == 0) {
      for (const TItemAdr& a : adrs) std::memset(db.Records().EditItem(a) + 21, 0, 1000);
    } else {
      RewriteRecords(db.Records(), adrs, round);
    }
    db.Commit();
    EXPECT_EQ(static_cast<int64_t>(std::filesystem::file_size(fx.Path())), db.FileEnd());
  }
  old_reader->Invalidate();
  old_reader->Flush(kFlushDrop);
  for (size_t i = 0; i < pages.size(); ++i) {
    const uint8_t* page = old_reader->GetPage(pages[i], kGpRead);
    ASSERT_EQ(std::vector<uint8_t>(page, page + 8192), seen[i]) << pages[i];
  }
  const int64_t grown = db.FileEnd();
  old_reader.reset();
  int64_t settled = 0;
  for (uint32_t round = 6; round < 14; ++round) {
    RewriteRecords(db.Records(), adrs, round);
    db.Commit();
    if (round == 9) settled = db.FileEnd();
  }
  EXPECT_EQ(db.FileEnd(), settled);
  EXPECT_LE(settled, grown + 64 * 8192);
}

TEST(FreeList, SteadyUpdatesStopGrowingTheFile) {
  qdf_test::TListFixture fx;
  auto db_owner = std::make_unique<TFreeListDb>(fx);
  TFreeListDb& db = *db_owner;
  auto adrs = AddRecords(db.Records(), 50, 300);
  db.Commit();
  const int rounds = qdf_test::EnvSize("QDF_STEADY_TRANSACTIONS", 200);
  int64_t at_quarter = 0;
  for (int round = 1; round <= rounds; ++round) {
    RewriteRecords(db.Records(), adrs, static_cast<uint32_t>(round));
    db.Commit();
    if (round == rounds / 4) at_quarter = db.FileEnd();
  }
  const int64_t at_end = db.FileEnd();
  RecordProperty("file_bytes_at_quarter", std::to_string(at_quarter));
  RecordProperty("file_bytes_at_end", std::to_string(at_end));
  std::printf("steady updates: %d transactions, file end %lld bytes after %d, %lld at the end\n",
              rounds, static_cast<long long>(at_quarter), rounds / 4,
              static_cast<long long>(at_end));
  EXPECT_EQ(at_end, at_quarter);

  // Records and the free list survive closing and reopening the file: the
  // blocks recorded as free are used again by the next writer.
  std::vector<uint8_t> expected;
  {
    const uint8_t* item = db.Records().GetItem(adrs[7]);
    expected.assign(item, item + LoadU16(item));
  }
  const TItemAdr records_adr = db.Records().Address();
  const TItemAdr free_adr = db.FreeListObject().Address();
  db.Commit();
  fx.Reader()->Commit(false);
  db_owner.reset();  // its objects work on this reader and filer
  fx.Close();
  fx.Open();
  TFreeListDb again(fx, records_adr, free_adr);
  const uint8_t* item = again.Records().GetItem(adrs[7]);
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(item, item + LoadU16(item)), expected);
  const int64_t end = again.FileEnd();
  for (uint32_t round = 1000; round < 1010; ++round) {
    RewriteRecords(again.Records(), adrs, round);
    again.Commit();
  }
  EXPECT_EQ(again.FileEnd(), end);
  fx.Reader()->Rollback();
}

}  // namespace
}  // namespace qdf
