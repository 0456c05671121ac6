// Sequential scans of more pages than the cache holds: they must not push
// out the other pages, and the part of the scanned pages that is cached must
// serve the next scan.
#include <gtest/gtest.h>

#include <cstring>

#include "reader/CachePool.h"
#include "reader/PageReader.h"

namespace qdf {
namespace {

// Pages of zeros read from nowhere, counted.
class TCountingReader : public TQdfPageReader {
 public:
  void ReadPage(uint32_t, uint8_t* buffer) override {
    ++reads;
    std::memset(buffer, 0, kPageSize);
  }
  int reads = 0;
};

int ReadsFor(TCountingReader& r, uint32_t first, uint32_t last, int flags) {
  const int before = r.reads;
  for (uint32_t p = first; p <= last; ++p) r.GetPage(p, flags);
  return r.reads - before;
}

TEST(ScanCache, ScansLargerThanTheCacheKeepOtherPagesAndServeTheNextScan) {
  TCachePool& pool = TCachePool::Instance();
  pool.SetCacheSize(512);  // whatever an earlier test in this process left
  pool.SetCacheSize(100);  // too small: ignored
  EXPECT_EQ(pool.CacheSize(), 512);
  TCountingReader r;
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

}  // namespace
}  // namespace qdf
