#include <gtest/gtest.h>

#include <set>

#include "platform/Clock.h"

namespace qdf {
namespace {

TEST(Clock, UniqueTimeNeverRepeats) {
  std::set<int64_t> seen;
  int64_t last = 0;
  for (int i = 0; i < 10000; ++i) {
    int64_t t = UniqueTime();
    EXPECT_GT(t, last);
    last = t;
    seen.insert(t);
  }
  EXPECT_EQ(seen.size(), 10000u);
}

}  // namespace
}  // namespace qdf
