#include <gtest/gtest.h>

#include "platform/Clock.h"

namespace qdf {
namespace {

TEST(Clock, UniqueTimeNeverRepeats) {
  int64_t last = 0;
  for (int i = 0; i < 10000; ++i) {
    const int64_t t = UniqueTime();
    ASSERT_GT(t, last);
    last = t;
  }
}

}  // namespace
}  // namespace qdf
