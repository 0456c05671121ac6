#include "table/Aggregat.h"

#include "record/Fields.h"

namespace qdf {

TQdfAggregat::TQdfAggregat(std::vector<TQdfField*> fields)
    : fields_(std::move(fields)), counts_(fields_.size() + 1, 0), sums_(fields_.size(), 0.0) {}

void TQdfAggregat::Accumulate(TQdfTable& /*table*/, bool& /*stop*/) {
  for (size_t i = 0; i < fields_.size(); ++i) {
    TQdfField* f = fields_[i];
    if (f->IsNull()) continue;
    if (f->IsKindOf(TQdfFloatField::kClassInfo)) {
      sums_[i] += static_cast<TQdfFloatField*>(f)->AsFloat();
    } else if (f->IsKindOf(TQdfIntegerField::kClassInfo)) {
      sums_[i] += static_cast<TQdfIntegerField*>(f)->AsInteger();
    }
    ++counts_[i];
  }
  ++counts_.back();
}

}  // namespace qdf
