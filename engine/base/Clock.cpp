#include "base/Clock.h"

#include <time.h>

namespace qdf {

uint32_t GetTickCount() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

int64_t SystemTimeAsFileTime() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return UnixNanosToFileTime(static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec);
}

}  // namespace qdf
