#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "ErrorText.h"
#include "file/OwnFreeSpace.h"

namespace qdf {
namespace {

constexpr int64_t U = 512;  // one unit

using TExtents = std::vector<std::pair<int64_t, uint32_t>>;  // (position in units, units)

// Drains the space in position order.
TExtents Extents(TOwnFreeSpace s) {
  TExtents out;
  int64_t position = 0;
  uint32_t units = 0;
  while (s.TakeFirst(&position, &units)) out.emplace_back(position / U, units);
  return out;
}

TOwnFreeSpace Make(const TExtents& adds) {
  TOwnFreeSpace s;
  for (const auto& [at, units] : adds) s.Add(at * U, units);
  return s;
}

struct TMergeCase {
  const char* name;
  TExtents adds;
  TExtents held;
};

TEST(OwnFreeSpace, NeighboursMerge) {
  const TMergeCase cases[] = {
      {"apart", {{10, 2}, {20, 3}}, {{10, 2}, {20, 3}}},
      {"after", {{10, 2}, {12, 3}}, {{10, 5}}},
      {"before", {{12, 3}, {10, 2}}, {{10, 5}}},
      {"between", {{10, 2}, {14, 1}, {12, 2}}, {{10, 5}}},
      {"gap of one unit stays", {{10, 2}, {13, 1}}, {{10, 2}, {13, 1}}},
  };
  for (const TMergeCase& c : cases) {
    TOwnFreeSpace s = Make(c.adds);
    EXPECT_EQ(Extents(s), c.held) << c.name;
    int64_t units = 0;
    for (const auto& e : c.held) units += e.second;
    EXPECT_EQ(s.Units(), units) << c.name;
  }
}

struct TTakeCase {
  const char* name;
  TExtents adds;
  uint32_t units;
  int64_t limit;        // in units; 0 = none
  int64_t expect;       // position in units, -1 = nothing
  TExtents held_after;  // what stays
};

TEST(OwnFreeSpace, TakesTheLowestExtentThatHoldsTheRequest) {
  const TTakeCase cases[] = {
      {"lowest fitting, split",
       {{10, 2}, {20, 8}, {40, 16}},
       3,
       0,
       20,
       {{10, 2}, {23, 5}, {40, 16}}},
      {"exact fit removes it", {{10, 2}, {20, 3}}, 3, 0, 20, {{10, 2}}},
      {"lower small extent first", {{10, 4}, {20, 16}}, 4, 0, 10, {{20, 16}}},
      {"nothing large enough", {{10, 2}, {20, 3}}, 4, 0, -1, {{10, 2}, {20, 3}}},
      {"only below the limit", {{10, 2}, {20, 8}}, 3, 20, -1, {{10, 2}, {20, 8}}},
      {"below the limit", {{10, 4}, {20, 8}}, 3, 15, 10, {{13, 1}, {20, 8}}},
      {"empty", {}, 1, 0, -1, {}},
  };
  for (const TTakeCase& c : cases) {
    TOwnFreeSpace s = Make(c.adds);
    int64_t position = -U;
    const bool taken =
        c.limit == 0 ? s.Take(c.units, &position) : s.Take(c.units, &position, c.limit * U);
    EXPECT_EQ(taken, c.expect >= 0) << c.name;
    if (taken) {
      EXPECT_EQ(position / U, c.expect) << c.name;
    }
    EXPECT_EQ(Extents(s), c.held_after) << c.name;
  }
}

TEST(OwnFreeSpace, GivesBackOnlyTheExtentThatEndsAtTheEnd) {
  TOwnFreeSpace s = Make({{10, 2}, {20, 5}});
  int64_t start = 0;
  EXPECT_EQ(s.UnitsBefore(25 * U), 2);  // the extent ending at 25 does not count
  EXPECT_EQ(s.UnitsBefore(30 * U), 7);
  EXPECT_FALSE(s.TakeEndingAt(30 * U, &start));
  ASSERT_TRUE(s.TakeEndingAt(25 * U, &start));
  EXPECT_EQ(start, 20 * U);
  EXPECT_EQ(Extents(s), (TExtents{{10, 2}}));
}

TEST(OwnFreeSpace, SpaceFreedTwiceIsRefused) {
  const TExtents overlaps[] = {{{10, 2}}, {{11, 1}}, {{9, 2}}, {{8, 10}}};
  for (const TExtents& second : overlaps) {
    TOwnFreeSpace s = Make({{10, 2}});
    EXPECT_NE(qdf_test::MessageOf([&] {
                s.Add(second[0].first * U, second[0].second);
              }).find("freed twice"),
              std::string::npos)
        << second[0].first;
    EXPECT_EQ(Extents(s), (TExtents{{10, 2}}));  // unchanged
  }
}

}  // namespace
}  // namespace qdf
