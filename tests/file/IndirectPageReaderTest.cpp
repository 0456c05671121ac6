// The page reader of a local file: copies moved down into space the
// transaction freed, pages changed after they were packed, refused writes,
// damaged blocks and a full disk.
#include <gtest/gtest.h>

#include <fstream>

#include "ErrorText.h"
#include "TestDir.h"
#include "base/QdfException.h"
#include "file/FileTestUtil.h"
#include "file/IndirectPageReader.h"
#include "platform/FaultFileSystem.h"

namespace qdf {
namespace {

using qdf_test::PageIs;
using qdf_test::PutPage;
using qdf_test::TFilerRef;

class IndirectPageReader : public ::testing::Test {
 protected:
  static void Begin(TQdfIndirectPageReader& r) {
    r.Open(false);
    r.StartTransaction();
  }
  qdf_test::TTestDir dir_;
  const std::string path_ = dir_.File("p.qdf");
};

// Space a transaction freed below one of its own copies: the copy moves
// down into it, so that the free space ends the file and goes back to it.
// A flush packs the pages it will write ahead, in batches, on other threads.
// Writing one page may change others (the free list's pages, when blocks are
// freed): a page changed after its batch was packed must be written as it is
// now, not as it was packed.
TEST_F(IndirectPageReader, APageChangedAfterItWasPackedAheadIsWrittenAsChanged) {
  class TChangingReader : public TQdfIndirectPageReader {
   public:
    using TQdfIndirectPageReader::TQdfIndirectPageReader;
    std::vector<uint32_t> pages;
    uint32_t first = 0;  // the page written first; the others change then
    void WritePage(uint32_t page, uint8_t* buffer) override {
      TQdfIndirectPageReader::WritePage(page, buffer);
      if (first != 0) return;
      first = page;
      for (uint32_t p : pages) {
        if (p != page) PutPage(*this, p, 2, true);
      }
    }
  };
  uint32_t first = 0;
  {
    TFilerRef f(path_, false);
    TChangingReader r(f.filer);
    Begin(r);
    for (int i = 0; i < 40; ++i) r.pages.push_back(PutPage(r, 0, 1, true));
    r.Flush(kFlushWriteUnpin);
    r.Commit(false);
    first = r.first;
  }
  TFilerRef f(path_, true);
  TQdfIndirectPageReader r(f.filer);
  r.Open(true);
  for (int i = 0; i < 40; ++i) {
    const uint32_t page = static_cast<uint32_t>(i + 1);
    EXPECT_TRUE(PageIs(r, page, page == first ? 1 : 2, true)) << page;
    EXPECT_NE(r.EntryOf(page).flags & kEntryCompressed, 0u) << page;
  }
}

TEST_F(IndirectPageReader, OwnCopiesMoveDownAndTheFileEndsAtTheLastOne) {
  TFilerRef f(path_, false);
  TQdfIndirectPageReader r(f.filer);
  Begin(r);
  const uint32_t a = PutPage(r, 0, 1, false);
  std::vector<uint32_t> shrinking;
  for (int i = 0; i < 3; ++i) shrinking.push_back(PutPage(r, 0, 2 + i, false));
  r.Flush(kFlushWrite);  // plain, in descending page order: a lands last
  const int64_t a_was = r.EntryOf(a).position;
  ASSERT_GT(a_was, r.EntryOf(shrinking[0]).position);
  for (int i = 0; i < 3; ++i) PutPage(r, shrinking[static_cast<size_t>(i)], 10 + i, true);
  r.Flush(kFlushWrite);  // they shrink: free space below a (and its table block)
  EXPECT_LT(r.EntryOf(a).position, a_was);
  int64_t stored = 512 + r.EntryOf(a).StoredSize() + r.EntryOf(0).StoredSize();
  for (uint32_t p : shrinking) stored += r.EntryOf(p).StoredSize();
  EXPECT_EQ(int64_t{f.filer->AllocationEnd()} * 512, stored);
  r.Commit(false);
  TQdfIndirectPageReader check(f.filer);
  check.Open(true);
  EXPECT_TRUE(PageIs(check, a, 1, false));
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(PageIs(check, shrinking[static_cast<size_t>(i)], 10 + i, true));
  }
}

// Readers that may not write refuse to, and damaged files raise clear errors
// instead of overrunning buffers.
TEST_F(IndirectPageReader, IdleReadersCannotWriteAndDamagedBlocksAndEntriesAreReported) {
  int64_t packed_pos = 0, plain_pos = 0, table_pos = 0;
  uint32_t packed_page = 0, plain_page = 0;
  {
    TFilerRef f(path_, false);
    TQdfIndirectPageReader r(f.filer);
    r.Open(true);
    // Its table block was never written.
    EXPECT_QDF_ERROR_HELP(r.GetPage(1, kGpRead), "Block: 0  not allocated", kHelpDataNotAllocated);
    uint32_t page = 0;
    EXPECT_QDF_ERROR_HELP(r.AllocatePage(page), "Page allocation on a reader opened read-only",
                          kHelpReadOnlyReader);
    r.StartTransaction();  // read-only: no write transaction
    EXPECT_FALSE(r.InWriteTransaction());
    r.Commit(false);

    TQdfIndirectPageReader w(f.filer);
    w.Open(false);  // writable but no transaction yet
    EXPECT_THROW(w.AllocatePage(page), EQdfException);
    w.StartTransaction();
    packed_page = PutPage(w, 0, 1, true);
    plain_page = PutPage(w, 0, 1, false);
    w.Flush(kFlushWrite);
    packed_pos = w.EntryOf(packed_page).position;
    plain_pos = w.EntryOf(plain_page).position;
    table_pos = w.EntryOf(0).position;
    w.Commit(false);
    // After the commit the number is committed: writing again needs a new transaction.
    ASSERT_NE(w.GetPage(1, kGpRead | kGpUpdate), nullptr);
    EXPECT_QDF_ERROR_HELP(w.Flush(kFlushWrite), "", kHelpReadOnlyReader);
    w.Rollback();
  }
  auto poke = [&](int64_t pos, uint8_t value) {
    std::fstream io(path_, std::ios::in | std::ios::out | std::ios::binary);
    io.seekp(pos);
    io.put(static_cast<char>(value));
  };
  auto read_fails = [&](uint32_t page) {
    TFilerRef f(path_, true);
    TQdfIndirectPageReader r(f.filer);
    r.Open(true);
    return qdf_test::MessageOf([&] { r.GetPage(page, kGpRead); });
  };
  EXPECT_EQ(read_fails(packed_page), "<no error>");
  poke(packed_pos + 1, 0x7F);  // packed length far beyond the block
  EXPECT_NE(read_fails(packed_page).find("Expand Error reading Page"), std::string::npos);
  poke(plain_pos, 0x11);  // size word
  EXPECT_NE(read_fails(plain_page).find("is damaged"), std::string::npos);
  // Entry of packed_page (slot 0 of table 0): size code 40.
  poke(table_pos + kIbEntries, 40);
  EXPECT_NE(read_fails(packed_page).find("is damaged"), std::string::npos);
  poke(table_pos + kIbLevel, 3);
  EXPECT_NE(read_fails(plain_page).find("is damaged"), std::string::npos);
}

// A full disk while pages are written ends the transaction: it can only be
// rolled back, the file keeps its committed state and takes writes again.
TEST_F(IndirectPageReader, FullDiskMakesTheTransactionRollbackOnly) {
  TFaultFileSystem fs;
  {
    qdf_test::TFaultScope scope(fs);
    TFilerRef f(path_, false);
    TQdfIndirectPageReader r(f.filer);
    Begin(r);
    uint32_t page = PutPage(r, 0, 1, true);
    r.Flush(kFlushWrite);
    r.Commit(false);

    Begin(r);
    PutPage(r, page, 2, true);
    PutPage(r, 0, 2, false);
    fs.SetDiskFull(true);
    EXPECT_THROW(r.Flush(kFlushWriteUnpin), EQdfException);
    fs.SetDiskFull(false);
    EXPECT_TRUE(r.WriteFailed());
    EXPECT_THROW(r.Commit(false), EQdfException);
    r.Rollback();
    r.Open(true);
    EXPECT_TRUE(PageIs(r, page, 1, true));

    Begin(r);
    PutPage(r, page, 4, true);
    r.Flush(kFlushWrite);
    r.Commit(false);  // the file is usable again
  }
  TFilerRef f(path_, true);
  TQdfIndirectPageReader r(f.filer);
  r.Open(true);
  EXPECT_TRUE(PageIs(r, 1, 4, true));
}

}  // namespace
}  // namespace qdf
