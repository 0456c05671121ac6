#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

#include "ErrorText.h"
#include "base/QdfException.h"
#include "reader/CachePool.h"
#include "reader/IndirectBlock.h"
#include "reader/PageReader.h"

namespace qdf {
namespace {

// A cache over an in-memory "file": pages read back what was written.
class TMemoryReader : public TQdfPageReader {
 public:
  void ReadPage(uint32_t page, uint8_t* buffer) override {
    if (page == failing_page) throw EQdfException("bad page");
    ++reads;
    auto it = store.find(page);
    if (it == store.end()) {
      std::memset(buffer, 0, kPageSize);
      buffer[100] = static_cast<uint8_t>(page);
    } else {
      std::memcpy(buffer, it->second.data(), kPageSize);
    }
  }
  void WritePage(uint32_t page, uint8_t* buffer) override {
    store[page].assign(buffer, buffer + kPageSize);
    if (on_write) on_write(page);
  }

  using TQdfPageReader::TrimRequest;

  std::map<uint32_t, std::vector<uint8_t>> store;
  int reads = 0;
  uint32_t failing_page = 0;
  std::function<void(uint32_t)> on_write;
};

TEST(PageMap, DroppingTheLastPageReturnsEveryTable) {
  TIndirectBlockPool& pool = TIndirectBlockPool::Instance();
  const size_t free_before = pool.FreeCount();
  const size_t tables_before = pool.TableCount();
  {
    TMemoryReader r;
    r.GetPage(0x12345678u, kGpRead);  // root 4: four tables
    r.GetPage(0x12345679u, kGpRead);
    r.GetPage(1000, kGpRead);  // root 2: two tables
    r.FreePage(0x12345678u);
    EXPECT_NE(r.RootTable(3), nullptr);
    r.FreePage(0x12345679u);
    EXPECT_EQ(r.RootTable(3), nullptr);
    r.FreePage(1000);
    EXPECT_TRUE(r.IsMapEmpty());
    EXPECT_EQ(r.HeldCount(), 0);
  }
  // Every table the reader took (new ones and reused ones) is free again.
  EXPECT_EQ(pool.FreeCount() - free_before, pool.TableCount() - tables_before);
  EXPECT_GE(pool.FreeCount(), 6u);
}

TEST(PageReaderFlags, LookupUpdateAndPinRules) {
  TMemoryReader r;
  EXPECT_EQ(r.GetPage(7, kGpLookup), nullptr);
  EXPECT_EQ(r.CachedPage(7), nullptr);  // look-up never creates

  // Update without read: zero-filled, dirty, nothing read, not "modified".
  uint8_t* p = r.GetPage(8, kGpUpdate);
  EXPECT_EQ(r.reads, 0);
  EXPECT_EQ(p[100], 0);
  EXPECT_TRUE(r.CachedPage(8)->dirty);
  EXPECT_FALSE(r.Modified());
  // Read for update: read first, modified.
  p = r.EditPage(9);
  EXPECT_EQ(r.reads, 1);
  EXPECT_EQ(p[100], 9);
  EXPECT_TRUE(r.Modified());

  r.PinPage(9);
  r.GetPage(9, kGpPin | kGpUnpin);  // pin wins
  EXPECT_EQ(r.CachedPage(9)->pin_count, 2);
  r.GetPage(9, kGpLookup);  // exactly 1: clean and unpinned
  EXPECT_EQ(r.CachedPage(9)->pin_count, 0);
  EXPECT_FALSE(r.CachedPage(9)->dirty);

  uint8_t* buf = r.EditPage(10);
  r.PinPage(10);
  r.ReleaseEdited(buf, 10);
  EXPECT_EQ(r.CachedPage(10)->pin_count, 0);
  EXPECT_TRUE(r.CachedPage(10)->dirty);
  r.FreePage(10);
  EXPECT_QDF_ERROR_HELP(r.ReleaseEdited(buf, 10), "Access to Released Cache-Page",
                        kHelpReleasedPage);

  r.SetReadOnly(true);
  EXPECT_QDF_ERROR_HELP(r.EditPage(9), "Updaterequest in ReadOnly Mode", kHelpReadOnlyReader);
  EXPECT_NE(r.GetPage(9, kGpRead), nullptr);  // reading stays allowed
}

TEST(PageReaderTrim, KeepsFortyPagesPinnedAndFrozenOnes) {
  TMemoryReader r;
  for (uint32_t p = 1; p <= 40; ++p) r.GetPage(p, kGpRead);
  r.TrimRequest(1000);
  EXPECT_EQ(r.HeldCount(), 40);  // fewer than 41 unfrozen blocks: nothing goes

  for (uint32_t p = 41; p <= 140; ++p) r.GetPage(p, kGpRead);
  for (uint32_t p = 1; p <= 10; ++p) r.PinPage(p);
  r.TrimRequest(1000);
  EXPECT_EQ(r.HeldCount(), 40);
  for (uint32_t p = 1; p <= 10; ++p) EXPECT_NE(r.CachedPage(p), nullptr) << p;
  EXPECT_EQ(r.CachedPage(11), nullptr);  // the oldest unpinned pages went first

  for (uint32_t p = 200; p <= 260; ++p) r.GetPage(p, kGpRead);
  r.Freeze();
  const int frozen = r.FrozenCount();
  EXPECT_EQ(frozen, r.HeldCount());
  EXPECT_THROW(r.Freeze(), EQdfException);
  for (uint32_t p = 1000; p <= 1100; ++p) r.GetPage(p, kGpRead);
  r.TrimRequest(100000);
  for (uint32_t p = 200; p <= 260; ++p) EXPECT_NE(r.CachedPage(p), nullptr) << p;
  EXPECT_EQ(r.HeldCount(), frozen + 40);  // frozen ones plus forty
  r.UnFreeze();
  r.UnFreeze();  // nothing frozen: nothing to undo
  EXPECT_EQ(r.FrozenCount(), 0);
  r.TrimRequest(100000);
  EXPECT_EQ(r.HeldCount(), 40);
  EXPECT_EQ(r.CachedPage(200), nullptr);  // evictable again

  // A dirty page is written before it is evicted.
  r.GetPage(5000, kGpUpdate)[0] = 0x5A;
  for (uint32_t p = 6000; p <= 6100; ++p) r.GetPage(p, kGpRead);
  r.GetPage(5000, kGpLookup | kGpUpdate);  // to the oldest end, still dirty
  r.TrimRequest(1);
  EXPECT_EQ(r.CachedPage(5000), nullptr);
  ASSERT_EQ(r.store.count(5000), 1u);
  EXPECT_EQ(r.store[5000][0], 0x5A);
}

// A failing read leaves no block behind under that page number; a failing
// write keeps the page dirty.
TEST(PageReaderFailures, FailedReadDropsTheBlockAndFailedWriteKeepsItDirty) {
  TMemoryReader r;
  r.failing_page = 13;
  const int in_use = TCachePool::Instance().InUse();
  EXPECT_THROW(r.GetPage(13, kGpRead), EQdfException);
  EXPECT_EQ(r.CachedPage(13), nullptr);
  EXPECT_EQ(r.HeldCount(), 0);
  EXPECT_EQ(TCachePool::Instance().InUse(), in_use);
  EXPECT_TRUE(r.IsMapEmpty());

  // A failing write keeps the page dirty.
  r.GetPage(3, kGpUpdate);
  r.on_write = [](uint32_t) { throw EQdfException("disk gone"); };
  EXPECT_THROW(r.Flush(kFlushWrite), EQdfException);
  EXPECT_TRUE(r.CachedPage(3)->dirty);
  EXPECT_TRUE(r.WriteFailed());
  EXPECT_EQ(r.DirtyCount(), 1);
  EXPECT_TRUE(r.CompressionEnabled());
}

}  // namespace
}  // namespace qdf
