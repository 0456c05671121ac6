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

// A process-wide strictly increasing 64-bit stamp: the system time as a file
// time shifted right by 11 bits, or the last value + 1 when the clock has not
// moved on. Safe to call from several threads.
int64_t UniqueTime();

}  // namespace qdf
