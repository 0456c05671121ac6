// Records of a CSV text appended to a table: the part of qdf import that
// reads values, without the file and the transaction around it.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "Csv.h"

namespace qdf {
class TQdfField;
class TQdfTable;
}  // namespace qdf

namespace qdf::tool {

// Reads the header record of `csv` and returns the table's field for each
// column, in column order. Raises Exception naming the CSV line for an
// empty input, a column that names no field and a field named twice.
std::vector<TQdfField*> MapCsvHeader(TCsvReader& csv, TQdfTable& table);

// Appends one record to `table` for each further record of `csv`, the values
// going to `fields` (from MapCsvHeader). An empty value leaves its field
// null; a ThisID column is skipped, since every new record receives an
// object ID of its own. Calls `progress` (when set) after every record with
// the count so far; returns the number of records added. Raises Exception
// naming the CSV line for a record with more or fewer values than the
// header, a value its field cannot take and a record the table refuses;
// records added before stay in the running transaction.
int64_t ImportCsvRecords(TCsvReader& csv, TQdfTable& table, const std::vector<TQdfField*>& fields,
                         const std::function<void(int64_t)>& progress = nullptr);

}  // namespace qdf::tool
