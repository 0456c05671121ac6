// The page cache of a reader: the page map, the request flags, trimming,
// failed reads and writes, scans, and readers on several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
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

// A failing read leaves no block behind under that page number; a failing
// write keeps the page dirty.
TEST(PageReaderFlags, LookupUpdateAndPinRulesAndFailedReadsAndWrites) {
  TMemoryReader r;
  r.failing_page = 13;
  const int in_use = TCachePool::Instance().InUse();
  EXPECT_THROW(r.GetPage(13, kGpRead), EQdfException);
  EXPECT_EQ(r.CachedPage(13), nullptr);
  EXPECT_EQ(r.HeldCount(), 0);
  EXPECT_EQ(TCachePool::Instance().InUse(), in_use);
  EXPECT_TRUE(r.IsMapEmpty());

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

  r.GetPage(3, kGpUpdate);
  r.on_write = [](uint32_t) { throw EQdfException("disk gone"); };
  EXPECT_THROW(r.Flush(kFlushWrite), EQdfException);
  EXPECT_TRUE(r.CachedPage(3)->dirty);
  EXPECT_TRUE(r.WriteFailed());
  EXPECT_EQ(r.DirtyCount(), 2);  // pages 3 and 8
  EXPECT_TRUE(r.CompressionEnabled());

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

// Sequential scans of more pages than the cache holds must not push out the
// other pages, and the part of the scanned pages that is cached must serve
// the next scan.
int ReadsFor(TMemoryReader& r, uint32_t first, uint32_t last, int flags) {
  const int before = r.reads;
  for (uint32_t p = first; p <= last; ++p) r.GetPage(p, flags);
  return r.reads - before;
}

TEST(ScanCache, ScansLargerThanTheCacheKeepOtherPagesAndServeTheNextScan) {
  TCachePool& pool = TCachePool::Instance();
  pool.SetCacheSize(512);  // whatever an earlier test in this process left
  pool.SetCacheSize(100);  // too small: ignored
  EXPECT_EQ(pool.CacheSize(), 512);
  TMemoryReader r;
  constexpr uint32_t kHot = 100000;  // pages read often, e.g. an index's upper levels
  ASSERT_EQ(ReadsFor(r, kHot, kHot + 99, kGpRead), 100);
  for (int scan = 0; scan < 3; ++scan) {
    const int reads = ReadsFor(r, 1, 2000, kGpRead | kGpScan);
    if (scan == 0) {
      EXPECT_EQ(reads, 2000);
    } else {
      // Most of what the cache holds is the table's first pages.
      EXPECT_LT(reads, 2000 - 250) << "scan " << scan;
    }
    EXPECT_LT(ReadsFor(r, kHot, kHot + 99, kGpRead), 20) << "scan " << scan;
  }
  // Plain reads still age out by recency.
  ReadsFor(r, 5001, 8000, kGpRead);
  EXPECT_GT(ReadsFor(r, kHot, kHot + 99, kGpRead), 80);
  r.Flush(kFlushDrop);
}

// Readers on different threads share the cache pool and the page-map tables;
// requests for a page that another thread is still reading wait for it.

// Pages read back as their own number, slowly enough for the threads to
// interleave; the first read of page `gate` waits until the test lets it go.
class TTestReader : public TQdfPageReader {
 public:
  explicit TTestReader(uint32_t gate_page = 0) : gate(gate_page) {}
  void ReadPage(uint32_t page, uint8_t* buffer) override {
    if (page == gate) {
      std::unique_lock<std::mutex> lock(mutex);
      started = true;
      changed.notify_all();
      changed.wait(lock, [this] { return released; });
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    std::memset(buffer, 0, kPageSize);
    std::memcpy(buffer + 64, &page, sizeof page);
  }
  const uint32_t gate;
  std::mutex mutex;
  std::condition_variable changed;
  bool started = false;
  bool released = false;
};

uint32_t PageNumberIn(const uint8_t* buffer) {
  uint32_t v;
  std::memcpy(&v, buffer + 64, sizeof v);
  return v;
}

TEST(PageReaderThreads, AWaiterInsideAUseBracketLetsTheLoaderFinishAndReadersShareThePool) {
  TTestReader r(7);
  std::thread loader([&] {
    r.GetPage(7, kGpRead | kGpPin);
    r.UnpinPage(7);
  });
  {
    std::unique_lock<std::mutex> lock(r.mutex);
    r.changed.wait(lock, [&] { return r.started; });
  }
  std::atomic<bool> done{false};
  // A deadlock cannot be taken back: report it and end the test process.
  std::thread watchdog([&] {
    for (int i = 0; i < 1000 && !done.load(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!done.load()) {
      std::fprintf(stderr, "deadlock: the waiter inside a use bracket blocks the loader\n");
      std::_Exit(1);
    }
  });
  std::thread waiter([&] {
    TReaderUse use(&r);  // holds the reader's lock for the bracket
    const uint8_t* b = r.GetPage(7, kGpRead | kGpPin);
    EXPECT_EQ(PageNumberIn(b), 7u);
    r.UnpinPage(7);
    done.store(true);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the waiter waits now
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    r.released = true;
  }
  r.changed.notify_all();
  waiter.join();
  loader.join();
  done.store(true);
  watchdog.join();

  // Three threads, each with a reader of its own, share the pool.
  const int in_use_before = TCachePool::Instance().InUse();
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      TTestReader own;
      for (uint32_t i = 0; i < 1500; ++i) {
        uint32_t p = (i * 7919u + static_cast<uint32_t>(t)) % 100000u + 1;
        const uint8_t* b = own.GetPage(p, kGpRead);
        if (PageNumberIn(b) != p) wrong.fetch_add(1);
        if (i % 7 == 0) own.GetPage(p, kGpUpdate);
      }
      own.Flush(kFlushDrop);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(TCachePool::Instance().InUse(), in_use_before);
}

}  // namespace
}  // namespace qdf
