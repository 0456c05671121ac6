// Readers on different threads share the cache pool and the page-map tables;
// requests for a page that another thread is still reading wait for it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "reader/CachePool.h"
#include "reader/PageReader.h"

namespace qdf {
namespace {

// Pages read back as their own number, slowly enough for the threads to
// interleave.
class TSlowReader : public TQdfPageReader {
 public:
  void ReadPage(uint32_t page, uint8_t* buffer) override {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    std::memset(buffer, 0, kPageSize);
    std::memcpy(buffer + 64, &page, sizeof page);
  }
};

uint32_t PageNumberIn(const uint8_t* buffer) {
  uint32_t v;
  std::memcpy(&v, buffer + 64, sizeof v);
  return v;
}

// A reader whose first read of page 7 waits until the test lets it go.
class TGatedReader : public TQdfPageReader {
 public:
  void ReadPage(uint32_t page, uint8_t* buffer) override {
    std::unique_lock<std::mutex> lock(mutex);
    if (page == 7) {
      started = true;
      changed.notify_all();
      changed.wait(lock, [this] { return released; });
    }
    std::memset(buffer, 0, kPageSize);
    std::memcpy(buffer + 64, &page, sizeof page);
  }
  std::mutex mutex;
  std::condition_variable changed;
  bool started = false;
  bool released = false;
};

TEST(PageReaderThreads, AWaiterInsideAUseBracketLetsTheLoaderFinish) {
  TGatedReader r;
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
