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
struct TFreeListDb {
  explicit TFreeListDb(qdf_test::TListFixture& fx) : fx(fx), storage(fx.CreateStorage()) {
    auto* free = fx.AddList<TQdfDataListBase>(storage.get(), "$FREE_LIST");
    records = fx.AddList<TQdfDataList>(storage.get(), "records");
    free_list = std::make_unique<TQdfFreeList>(fx.Filer(), fx.Reader(), free);
    free_list->Take();
  }

  // Stores the headers, writes the pages (twice: writing changes the free
  // list, whose pages are then written again) and commits; the next write
  // transaction starts and takes the free list again.
  void Commit() {
    storage->Flush(false);
    fx.Reader()->Flush(kFlushWriteUnpin);
    storage->Flush(false);
    fx.Commit();
    free_list->Take();
  }
  int64_t FileEnd() const { return static_cast<int64_t>(fx.Filer()->AllocationEnd()) * 512; }

  qdf_test::TListFixture& fx;
  std::unique_ptr<TQdfStorage> storage;
  TQdfDataList* records = nullptr;
  std::unique_ptr<TQdfFreeList> free_list;
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
  auto adrs = AddRecords(*db.records, 40, 180);
  db.Commit();
  // Written twice in one transaction with another size: the first copy is
  // this transaction's own and goes straight to the current root.
  RewriteRecords(*db.records, adrs, 1);
  fx.Reader()->Flush(kFlushWrite);
  auto blocks = [&, current = db.free_list->CurrentRoot()] {
    int n = 0;
    for (int k = 0; k < kSizeClasses; ++k) n += db.free_list->CountBlocks(current, k);
    return n;
  };
  const int before = blocks();
  std::memset(db.records->EditItem(adrs[0]) + 30, 0, 100);  // packs differently now
  for (const TItemAdr& a : adrs) std::memset(db.records->EditItem(a) + 21, 0, 150);
  fx.Reader()->Flush(kFlushWrite);
  EXPECT_GT(blocks(), before);  // the plain copies went to the current root
  const int64_t end = db.FileEnd();
  RewriteRecords(*db.records, adrs, 2);  // plain again: takes those blocks back
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
  AddRecords(*db.records, 7 * pages, 1100);
  db.Commit();
  const int64_t end = db.FileEnd();
  EXPECT_LT(end, pages * 8192 / 8);  // far less than the plain pages took
  // The file itself ends there once the next transaction runs.
  EXPECT_EQ(static_cast<int64_t>(std::filesystem::file_size(fx.Path())), end);
}

// Rewriting the same records transaction after transaction reuses freed
// blocks: the file stops growing.
TEST(FreeList, SteadyUpdatesStopGrowingTheFile) {
  qdf_test::TListFixture fx;
  TFreeListDb db(fx);
  auto adrs = AddRecords(*db.records, 50, 300);
  db.Commit();
  const int rounds = qdf_test::EnvSize("QDF_STEADY_TRANSACTIONS", 200);
  int64_t at_quarter = 0;
  for (int round = 1; round <= rounds; ++round) {
    RewriteRecords(*db.records, adrs, static_cast<uint32_t>(round));
    db.Commit();
    if (round == rounds / 4) at_quarter = db.FileEnd();
  }
  EXPECT_EQ(db.FileEnd(), at_quarter);
}

}  // namespace
}  // namespace qdf
