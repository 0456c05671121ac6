// TOwnFreeSpace: file space that the running write transaction allocated and
// gave back again before its commit.
//
// Such space is named by nothing committed: the last committed header, its
// page table and its free list never saw these units as live (they lay past
// the committed allocation end, held a copy this transaction wrote itself,
// or were free in the committed state), and no attached reader can see them.
// So the transaction may reuse them at once, in any split, without a record
// in the persistent free list. A crash loses only this bookkeeping: the
// committed state still counts the units as free or beyond its end.
//
// Extents are kept coalesced (neighbours merge) and are handed out first
// fit: the extent at the lowest position that holds the request, its first
// units taken and the rest kept. Positions are byte
// offsets, multiples of 512; sizes are counted in 512-byte units.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <set>
#include <utility>

namespace qdf {

class TOwnFreeSpace {
 public:
  // Adds `units` units at `position`, merging with neighbours. Raises
  // EQdfException when the range overlaps space already held (a block freed
  // twice), which would otherwise hand one block out twice.
  void Add(int64_t position, uint32_t units);
  // Takes `units` units first fit, starting below `limit`; false when no
  // extent there is large enough.
  bool Take(uint32_t units, int64_t* position, int64_t limit = std::numeric_limits<int64_t>::max());
  // Removes the extent that ends exactly at `end`, if any; returns its start.
  bool TakeEndingAt(int64_t end, int64_t* start);
  // Removes the extent at the lowest position; false when empty.
  bool TakeFirst(int64_t* position, uint32_t* units);

  bool Empty() const { return by_position_.empty(); }
  int64_t Units() const { return units_; }
  // Units held below `end`, not counting the extent that ends at `end`.
  int64_t UnitsBefore(int64_t end) const;
  size_t Extents() const { return by_position_.size(); }
  void Clear();

 private:
  void Insert(int64_t position, uint32_t units);
  void Erase(std::map<int64_t, uint32_t>::iterator it);

  std::map<int64_t, uint32_t> by_position_;         // start -> units
  std::set<std::pair<uint32_t, int64_t>> by_size_;  // (units, start)
  int64_t units_ = 0;
};

}  // namespace qdf
