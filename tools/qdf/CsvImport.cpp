#include "CsvImport.h"

#include <stdexcept>
#include <string>

namespace qdf::tool {

namespace {

// Runs `step`. A refusal of the engine or a conversion error comes back as
// a std::runtime_error that starts with `where()`; a damaged file or a
// fault of the engine itself passes on unchanged, so that it is never taken
// for bad input.
template <class Where, class Step>
void Naming(const Where& where, const Step& step) {
  try {
    step();
  } catch (const dbquillon::Error& e) {
    if (e.code() == dbquillon::ErrorCode::Damaged) throw;
    throw std::runtime_error(where() + e.what());
  }
}

// The ThisID field: an object-ID field of that name (in any case).
bool IsThisID(const dbquillon::Column& column) {
  const std::string& n = column.name();
  if (column.type() != dbquillon::FieldType::ObjectID || n.size() != 6) return false;
  const char* this_id = "thisid";
  for (size_t i = 0; i < n.size(); ++i) {
    const char c = n[i] >= 'A' && n[i] <= 'Z' ? static_cast<char>(n[i] - 'A' + 'a') : n[i];
    if (c != this_id[i]) return false;
  }
  return true;
}

}  // namespace

std::vector<dbquillon::Column> MapCsvHeader(TCsvReader& csv, dbquillon::Table& table) {
  if (!csv.Next()) {
    throw std::runtime_error(csv.Name() + ": empty file, no header line with field names");
  }
  std::vector<dbquillon::Column> columns;
  for (int i = 0; i < csv.Count(); ++i) {
    const std::string& name = csv.Field(i);
    dbquillon::Column column;
    try {
      column = table.column(name);
    } catch (const dbquillon::Error& e) {
      if (e.code() != dbquillon::ErrorCode::NotFound) throw;
      throw std::runtime_error(csv.Name() + " line " + std::to_string(csv.RecordLine()) +
                               ": table " + table.name() + " has no field '" + name + "'");
    }
    for (const dbquillon::Column& seen : columns) {
      if (seen.name() == column.name()) {
        throw std::runtime_error(csv.Name() + " line " + std::to_string(csv.RecordLine()) +
                                 ": field '" + name + "' named twice");
      }
    }
    columns.push_back(std::move(column));
  }
  return columns;
}

int64_t ImportCsvRecords(TCsvReader& csv, dbquillon::Table& table,
                         const std::vector<dbquillon::Column>& columns,
                         const std::function<void(int64_t)>& progress) {
  std::vector<bool> skipped(columns.size());
  for (size_t i = 0; i < columns.size(); ++i) skipped[i] = IsThisID(columns[i]);
  int64_t rows = 0;
  while (csv.Next()) {
    // Only an error message spends an allocation on the line's name.
    auto where = [&] { return csv.Name() + " line " + std::to_string(csv.RecordLine()); };
    if (csv.Count() != static_cast<int>(columns.size())) {
      throw std::runtime_error(where() + ": " + std::to_string(csv.Count()) +
                               " values, the header names " + std::to_string(columns.size()));
    }
    dbquillon::Edit edit = table.Insert();  // dropped unless posted
    for (size_t i = 0; i < columns.size(); ++i) {
      const std::string& value = csv.Field(static_cast<int>(i));
      if (value.empty() || skipped[i]) continue;
      Naming([&] { return where() + ", field " + columns[i].name() + ": "; },
             [&] { edit.SetText(columns[i], value); });
    }
    Naming([&] { return where() + ": "; }, [&] { edit.Post(); });
    ++rows;
    if (progress) progress(rows);
  }
  return rows;
}

}  // namespace qdf::tool
