// Readers on different threads share the cache pool and the page-map tables;
// requests for a page that another thread is still reading wait for it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "reader/CachePool.h"
#include "reader/PageReader.h"

namespace qdf {
namespace {

// Pages read back as their own number; reading is slow enough for another
// thread to ask for the same page meanwhile.
class TSlowReader : public TQdfPageReader {
 public:
  void ReadPage(uint32_t page, uint8_t* buffer) override {
    reads.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    std::memset(buffer, 0, kPageSize);
    std::memcpy(buffer + 64, &page, sizeof page);
  }
  std::atomic<int> reads{0};
};

uint32_t PageNumberIn(const uint8_t* buffer) {
  uint32_t v;
  std::memcpy(&v, buffer + 64, sizeof v);
  return v;
}

TEST(PageReaderThreads, ConcurrentRequestsForOnePageSeeItFilled) {
  TSlowReader r;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (uint32_t p = 1; p <= 50; ++p) {
        const uint8_t* b = r.GetPage(p, kGpRead | kGpPin);
        if (PageNumberIn(b) != p) wrong.fetch_add(1);
        r.UnpinPage(p);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(r.reads.load(), 50);  // every page was read exactly once
  EXPECT_EQ(r.HeldCount(), 50);
}

TEST(PageReaderThreads, ReadersOnSeveralThreadsShareThePool) {
  const int in_use_before = TCachePool::Instance().InUse();
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      TSlowReader r;
      for (uint32_t i = 0; i < 1500; ++i) {
        uint32_t p = (i * 7919u + static_cast<uint32_t>(t)) % 100000u + 1;
        const uint8_t* b = r.GetPage(p, kGpRead);
        if (PageNumberIn(b) != p) wrong.fetch_add(1);
        if (i % 7 == 0) r.GetPage(p, kGpUpdate);
      }
      r.Flush(kFlushDrop);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(TCachePool::Instance().InUse(), in_use_before);
}

}  // namespace
}  // namespace qdf
