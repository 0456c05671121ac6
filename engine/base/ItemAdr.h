// TItemAdr: the address of an item, a page number and a slot within the page.
//
// Stored as 6 bytes, little-endian: u32 page, u16 slot. The null address is
// page FFFFFFFF slot 0; the position before the first item is page FFFFFFFF slot 1.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/Bytes.h"

namespace qdf {

inline constexpr uint32_t kNoPage = 0xFFFFFFFFu;

struct TItemAdr {
  uint32_t page = kNoPage;
  uint16_t slot = 0;

  friend bool operator==(const TItemAdr&, const TItemAdr&) = default;

  bool IsNull() const { return page == kNoPage && slot == 0; }
};

inline constexpr TItemAdr kNullAdr{kNoPage, 0};
inline constexpr TItemAdr kBeforeFirstAdr{kNoPage, 1};
inline constexpr int kItemAdrSize = 6;

inline TItemAdr LoadAdr(const void* p) {
  return TItemAdr{LoadU32(p), LoadU16(static_cast<const uint8_t*>(p) + 4)};
}
inline void StoreAdr(void* p, const TItemAdr& a) {
  StoreU32(p, a.page);
  StoreU16(static_cast<uint8_t*>(p) + 4, a.slot);
}

// "(" page ":" slot ")" in decimal.
std::string AdrToText(const TItemAdr& adr);
// Splits at the first ':'; page from the first part, slot from the rest, both
// decimal. Does not strip the parentheses AdrToText adds, so "(1:2)" is a
// conversion error; "1:2" is page 1 slot 2.
TItemAdr TextToAdr(std::string_view text);

}  // namespace qdf
