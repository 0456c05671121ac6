#include "file/OwnFreeSpace.h"

#include <iterator>

#include "base/QdfException.h"
#include "file/FileFormat.h"

namespace qdf {

void TOwnFreeSpace::Insert(int64_t position, uint32_t units) {
  by_position_.emplace(position, units);
  by_size_.emplace(units, position);
  units_ += units;
}

void TOwnFreeSpace::Erase(std::map<int64_t, uint32_t>::iterator it) {
  by_size_.erase({it->second, it->first});
  units_ -= it->second;
  by_position_.erase(it);
}

void TOwnFreeSpace::Add(int64_t position, uint32_t units) {
  if (units == 0) return;
  int64_t end = position + int64_t{units} * kUnitSize;
  auto next = by_position_.lower_bound(position);
  if (next != by_position_.end() && next->first < end) {
    throw EQdfException(Format("File space at 0x%llx is freed twice in one transaction",
                               static_cast<unsigned long long>(next->first)));
  }
  if (next != by_position_.begin()) {
    auto prev = std::prev(next);
    const int64_t prev_end = prev->first + int64_t{prev->second} * kUnitSize;
    if (prev_end > position) {
      throw EQdfException(Format("File space at 0x%llx is freed twice in one transaction",
                                 static_cast<unsigned long long>(position)));
    }
    if (prev_end == position) {
      position = prev->first;
      Erase(prev);
    }
  }
  if (next != by_position_.end() && next->first == end) {
    end += int64_t{next->second} * kUnitSize;
    Erase(next);
  }
  Insert(position, static_cast<uint32_t>((end - position) / kUnitSize));
}

bool TOwnFreeSpace::Take(uint32_t units, int64_t* position, int64_t limit) {
  if (by_size_.empty() || by_size_.rbegin()->first < units) return false;
  // First fit: the lowest extent that holds the request. Filling the file
  // from its front leaves the space that stays free at its end, where the
  // commit gives it back.
  auto it = by_position_.begin();
  while (it != by_position_.end() && it->first < limit && it->second < units) ++it;
  if (it == by_position_.end() || it->first >= limit) return false;
  const int64_t start = it->first;
  const uint32_t have = it->second;
  Erase(it);
  if (have > units) Insert(start + int64_t{units} * kUnitSize, have - units);
  *position = start;
  return true;
}

int64_t TOwnFreeSpace::UnitsBefore(int64_t end) const {
  if (by_position_.empty()) return 0;
  const auto last = std::prev(by_position_.end());
  const bool tail = last->first + int64_t{last->second} * kUnitSize == end;
  return units_ - (tail ? last->second : 0);
}

bool TOwnFreeSpace::TakeEndingAt(int64_t end, int64_t* start) {
  if (by_position_.empty()) return false;
  auto last = std::prev(by_position_.end());
  if (last->first + int64_t{last->second} * kUnitSize != end) return false;
  *start = last->first;
  Erase(last);
  return true;
}

bool TOwnFreeSpace::TakeFirst(int64_t* position, uint32_t* units) {
  if (by_position_.empty()) return false;
  auto first = by_position_.begin();
  *position = first->first;
  *units = first->second;
  Erase(first);
  return true;
}

void TOwnFreeSpace::Clear() {
  by_position_.clear();
  by_size_.clear();
  units_ = 0;
}

}  // namespace qdf
