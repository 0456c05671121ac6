// Records of a CSV text appended to a table: the part of qdf import that
// reads values, without the file and the transaction around it.
#pragma once

#include <dbquillon/dbquillon.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "Csv.h"

namespace qdf::tool {

// Reads the header record of `csv` and returns the table's column for each
// CSV column, in column order. Raises std::runtime_error naming the CSV
// line for an empty input, a column that names no field and a field named
// twice.
std::vector<dbquillon::Column> MapCsvHeader(TCsvReader& csv, dbquillon::Table& table);

// Appends one record to `table` for each further record of `csv`, the values
// going to `columns` (from MapCsvHeader). An empty value leaves its field
// null; a ThisID column is skipped, since every new record receives an
// object ID of its own. Calls `progress` (when set) after every record with
// the count so far; returns the number of records added. Raises
// std::runtime_error naming the CSV line for a record with more or fewer
// values than the header, a value its field cannot take and a record the
// table refuses; an error of the engine itself (Damaged) passes unchanged.
// Records added before stay in the running transaction.
int64_t ImportCsvRecords(TCsvReader& csv, dbquillon::Table& table,
                         const std::vector<dbquillon::Column>& columns,
                         const std::function<void(int64_t)>& progress = nullptr);

}  // namespace qdf::tool
