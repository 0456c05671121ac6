#include "base/ItemAdr.h"

#include "base/Helpers.h"
#include "base/QdfException.h"

namespace qdf {

std::string AdrToText(const TItemAdr& adr) {
  return Format("(%u:%u)", adr.page, static_cast<unsigned>(adr.slot));
}

TItemAdr TextToAdr(std::string_view text) {
  std::string rest(text);
  std::string head;
  SplitAt(rest, ':', head);
  int64_t page, slot;
  if (!TryStrToInt64(head, &page) || page < 0 || page > 0xFFFFFFFFLL) {
    throw EConvertError(Format("'%s' is not a valid integer value", head.c_str()));
  }
  if (!TryStrToInt64(rest, &slot) || slot < 0 || slot > 0xFFFF) {
    throw EConvertError(Format("'%s' is not a valid integer value", rest.c_str()));
  }
  return TItemAdr{static_cast<uint32_t>(page), static_cast<uint16_t>(slot)};
}

}  // namespace qdf
