// A typical record page for the micro-benchmarks: a data page filled with
// records of a 13-byte prefix and three fields (two integers and the English
// words of the second, as SpeedTrial writes them).
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "NumberSpeller.h"
#include "base/Bytes.h"
#include "base/ItemArea.h"
#include "base/PackedItem.h"

namespace qdf_bench {

inline constexpr int kPage = 8192;

// Fills `page` (kPage bytes) with records up to `fill_percent` of its item
// area (the rest stays zero, as in a page after a split); `seed` varies the
// values.
inline void FillRecordPage(uint8_t* page, uint32_t seed, int fill_percent = 100) {
  std::memset(page, 0, kPage);
  qdf::TItemArea area = qdf::TItemArea::InitDataPage(page, kPage);
  uint32_t x = 12345 + seed * 7919u;
  for (uint32_t i = 1;; ++i) {
    x = x * 1103515245u + 12345u;
    const uint32_t b = (x >> 8) % 999999;
    uint8_t item[256];
    qdf::TFieldCursor cur;
    cur.OpenWrite(item + 13, 3, sizeof item - 13);
    cur.WriteU32(seed * 1000 + i);
    cur.WriteU32(b);
    cur.WriteText(speedtrial::NumberToWords(static_cast<int32_t>(b)));
    const int size = qdf::PackedLength(item + 13, 13);
    if (size + 2 >= area.Available()) break;
    if ((area.Used() + size + 2) * 100 > area.Size() * fill_percent) break;
    std::memset(item, 0, 13);
    qdf::StoreU64BE(item + 2, 1000 + i);
    std::memcpy(area.AddItem(size) + 2, item + 2, static_cast<size_t>(size - 2));
  }
  area.Compact();
}

inline std::vector<uint8_t> RecordPage(uint32_t seed = 0, int fill_percent = 100) {
  std::vector<uint8_t> page(kPage);
  FillRecordPage(page.data(), seed, fill_percent);
  return page;
}

}  // namespace qdf_bench
