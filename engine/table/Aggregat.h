// TQdfAggregat: counts and sums the values of some fields over the records a
// filtered walk visits (the callback of TQdfTable::ForEachMatch).
#pragma once

#include <cstdint>
#include <vector>

#include "table/Table.h"

namespace qdf {

class TQdfField;

class TQdfAggregat {
 public:
  // The fields read at every record (fields of the walked table's class).
  explicit TQdfAggregat(std::vector<TQdfField*> fields);

  // For each field that is not null: Counts[i] + 1, and its value added to
  // Sums[i] for integer and float fields. The last count counts every call.
  void Accumulate(TQdfTable& table, bool& stop);

  // What Accumulate needs of a walk: its fields, in no particular order.
  TVisitNeeds Needs() const {
    TVisitNeeds needs;
    needs.reads_known = true;
    needs.reads = fields_;
    needs.ordered = false;
    return needs;
  }

  const std::vector<int32_t>& Counts() const { return counts_; }
  const std::vector<double>& Sums() const { return sums_; }

 private:
  std::vector<TQdfField*> fields_;
  std::vector<int32_t> counts_;
  std::vector<double> sums_;
};

}  // namespace qdf
