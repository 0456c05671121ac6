#include "object/ClassInfo.h"

#include <algorithm>

#include "base/Helpers.h"

namespace qdf {

std::vector<const TPropInfo*> TClassInfo::AllProperties() const {
  std::vector<const TClassInfo*> chain;
  for (const TClassInfo* c = this; c; c = c->parent) chain.push_back(c);
  std::vector<const TPropInfo*> out;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    for (int i = 0; i < (*it)->prop_count; ++i) out.push_back(&(*it)->props[i]);
  }
  return out;
}

const TPropInfo* TClassInfo::FindProperty(std::string_view prop_name) const {
  for (const TClassInfo* c = this; c; c = c->parent) {
    for (int i = 0; i < c->prop_count; ++i) {
      if (SameText(c->props[i].name, prop_name)) return &c->props[i];
    }
  }
  return nullptr;
}

}  // namespace qdf
