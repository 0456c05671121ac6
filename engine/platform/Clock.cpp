#include "platform/Clock.h"

#include <time.h>

#include <atomic>

namespace qdf {

uint32_t GetTickCount() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms =
      static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

int64_t SystemTimeAsFileTime() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return UnixNanosToFileTime(static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec);
}

int64_t UniqueTime() {
  static std::atomic<int64_t> last{0};
  int64_t now = SystemTimeAsFileTime() >> 11;
  int64_t prev = last.load(std::memory_order_relaxed);
  for (;;) {
    int64_t next = now > prev ? now : prev + 1;
    if (last.compare_exchange_weak(prev, next, std::memory_order_relaxed)) return next;
  }
}

}  // namespace qdf
