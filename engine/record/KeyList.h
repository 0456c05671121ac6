// Key lists: the text that names an index's key fields and their order,
// "a, DESC b", as statements and result sets write it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qdf {

// One item of a key list ("a, DESC b"): a field name and its direction.
struct TKeyListItem {
  std::string name;
  bool ascending = true;
};
// Splits a key list at ",": each item trimmed, a leading "ASC " or "DESC "
// (without regard to case) taken as its direction. Every item is returned,
// also an empty one (the empty text gives one empty item).
std::vector<TKeyListItem> SplitKeyList(std::string_view text);

}  // namespace qdf
