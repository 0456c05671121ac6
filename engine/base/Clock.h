// Clocks of the platform.
#pragma once

#include <cstdint>

namespace qdf {

// Monotonic milliseconds as an unsigned 32-bit count; wraps after ~49.7 days,
// so differences are taken as unsigned 32-bit subtraction.
uint32_t GetTickCount();

// File time: 100 ns units since 1601-01-01 UTC.
inline constexpr int64_t kUnixEpochAsFileTime = 116444736000000000LL;
inline int64_t UnixNanosToFileTime(int64_t unix_nanos) {
  return unix_nanos / 100 + kUnixEpochAsFileTime;
}
// The current system time as a file time.
int64_t SystemTimeAsFileTime();

}  // namespace qdf
