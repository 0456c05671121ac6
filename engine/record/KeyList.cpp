#include "record/KeyList.h"

#include "base/Helpers.h"

namespace qdf {

std::vector<TKeyListItem> SplitKeyList(std::string_view text) {
  std::vector<TKeyListItem> items;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find(',', pos);
    if (end == std::string_view::npos) end = text.size();
    TKeyListItem item{Trim(text.substr(pos, end - pos)), true};
    pos = end + 1;
    for (std::string_view prefix : {std::string_view("ASC "), std::string_view("DESC ")}) {
      if (item.name.size() >= prefix.size() &&
          SameText(std::string_view(item.name).substr(0, prefix.size()), prefix)) {
        item.name = Trim(std::string_view(item.name).substr(prefix.size()));
        item.ascending = prefix.size() == 4;
        break;
      }
    }
    items.push_back(std::move(item));
  }
  return items;
}

}  // namespace qdf
