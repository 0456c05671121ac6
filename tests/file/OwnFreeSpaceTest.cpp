// The transaction's own free space against a model: a bit per unit, whose
// runs of free units are the extents; the last one ends at the file's end.
// Size from QDF_OWN_SPACE_OPS.
#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

#include "EnvSize.h"
#include "ErrorText.h"
#include "file/OwnFreeSpace.h"

namespace qdf {
namespace {

constexpr int64_t U = 512;  // one unit
constexpr int kUnits = 160;

using TExtents = std::vector<std::pair<int64_t, uint32_t>>;  // (position in units, units)

// The runs of free units, in position order.
TExtents Runs(const std::vector<bool>& free) {
  TExtents runs;
  for (int i = 0; i < kUnits; ++i) {
    if (!free[static_cast<size_t>(i)]) continue;
    if (i > 0 && free[static_cast<size_t>(i - 1)]) {
      ++runs.back().second;
    } else {
      runs.emplace_back(i, 1);
    }
  }
  return runs;
}

// Drains a copy in position order.
TExtents Extents(TOwnFreeSpace s) {
  TExtents out;
  int64_t position = 0;
  uint32_t units = 0;
  while (s.TakeFirst(&position, &units)) out.emplace_back(position / U, units);
  return out;
}

TEST(OwnFreeSpace, MergesTakesFirstFitAndRefusesSpaceFreedTwiceAsTheModelDoes) {
  std::mt19937 rng(4711);
  std::vector<bool> free(kUnits, false);
  TOwnFreeSpace s;
  const long ops = qdf_test::EnvSize("QDF_OWN_SPACE_OPS", 3000);
  for (long op = 0; op < ops; ++op) {
    const int at = static_cast<int>(rng() % (kUnits - 16));
    const uint32_t units = 1 + rng() % 16;
    const TExtents runs = Runs(free);
    switch (rng() % 3) {
      case 0: {  // add
        bool overlaps = false;
        for (uint32_t i = 0; i < units; ++i) overlaps = overlaps || free[at + i];
        const std::string error = qdf_test::MessageOf([&] { s.Add(at * U, units); });
        if (overlaps) {
          EXPECT_NE(error.find("freed twice"), std::string::npos) << error;
        } else {
          EXPECT_EQ(error, "<no error>");
          for (uint32_t i = 0; i < units; ++i) free[at + i] = true;
        }
        break;
      }
      case 1: {  // take, first fit, starting below a limit
        const int64_t limit = rng() % 2 ? kUnits : at;
        int64_t want = -1;
        for (const auto& [start, length] : runs) {
          if (start < limit && length >= units) {
            want = start;
            break;
          }
        }
        int64_t position = -1;
        ASSERT_EQ(s.Take(units, &position, limit * U), want >= 0) << op;
        if (want < 0) break;
        ASSERT_EQ(position, want * U) << op;
        for (uint32_t i = 0; i < units; ++i) free[static_cast<size_t>(want) + i] = false;
        break;
      }
      default: {  // give back the last extent when it ends at the file's end
        const bool tail = !runs.empty() && rng() % 4 != 0;
        const int64_t end = tail ? runs.back().first + runs.back().second : at;
        const bool ends = !runs.empty() && runs.back().first + runs.back().second == end;
        int64_t held = 0;
        for (const auto& run : runs) held += run.second;
        ASSERT_EQ(s.UnitsBefore(end * U), held - (ends ? runs.back().second : 0)) << op;
        int64_t start = -1;
        ASSERT_EQ(s.TakeEndingAt(end * U, &start), ends) << op;
        if (!ends) break;
        ASSERT_EQ(start, runs.back().first * U);
        for (int64_t i = start / U; i < end; ++i) free[static_cast<size_t>(i)] = false;
      }
    }
    const TExtents now = Runs(free);
    ASSERT_EQ(Extents(s), now) << op;
    int64_t held = 0;
    for (const auto& run : now) held += run.second;
    ASSERT_EQ(s.Units(), held) << op;
  }
}

}  // namespace
}  // namespace qdf
