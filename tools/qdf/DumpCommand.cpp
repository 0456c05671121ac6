// qdf dump FILE TABLE [--where FILTER] [--columns LIST] [--csv]: the rows of
// a table that satisfy a filter, as an aligned text table (default) or CSV.
//
// The filter is the engine's filter language, compiled against the table's
// record class; the rows come from the engine's filtered walk, so an index
// range is used when the filter allows it. Columns are field names or
// expressions ("a + b AS total"), separated by commas outside parentheses
// and quotes; without --columns every field of the record class is shown,
// in field order.
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Commands.h"
#include "Csv.h"
#include "ToolSupport.h"

namespace qdf::tool {

namespace {

constexpr const char* kUsage = "dump FILE TABLE [--where FILTER] [--columns LIST] [--csv]";

// Rows the aligned format looks at to size its columns; later rows use the
// widths found (a longer value just pushes its line to the right).
constexpr size_t kWidthSampleRows = 1000;

// One output column: a column of the table read directly, or an
// expression computed per row.
struct TDumpColumn {
  std::string name;
  std::optional<dbquillon::Column> column;
  std::optional<dbquillon::Expression> expression;
};

// The text without the blanks and control characters around it.
std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return std::string(s.substr(b, e - b));
}

// Splits a column list at the commas that stand outside parentheses,
// brackets and quoted strings.
std::vector<std::string> SplitColumnList(std::string_view list) {
  std::vector<std::string> texts;
  std::string current;
  int depth = 0;
  char quote = 0;
  for (char c : list) {
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if (c == '(' || c == '[') {
      ++depth;
    } else if ((c == ')' || c == ']') && depth > 0) {
      --depth;
    } else if (c == ',' && depth == 0) {
      texts.push_back(Trim(current));
      current.clear();
      continue;
    }
    current += c;
  }
  texts.push_back(Trim(current));
  return texts;
}

std::vector<TDumpColumn> BuildColumns(dbquillon::Table& table, const std::string& list) {
  std::vector<TDumpColumn> columns;
  auto add_column = [&](dbquillon::Column column) {
    TDumpColumn c;
    c.name = column.name();
    c.column = std::move(column);
    columns.push_back(std::move(c));
  };
  if (list.empty() || Trim(list) == "*") {
    for (dbquillon::Column& column : table.columns()) add_column(std::move(column));
    return columns;
  }
  for (const std::string& text : SplitColumnList(list)) {
    if (text.empty()) throw std::runtime_error("--columns: empty column in '" + list + "'");
    try {
      add_column(table.column(text));
      continue;
    } catch (const dbquillon::Error& e) {
      if (e.code() != dbquillon::ErrorCode::NotFound) throw;
    }
    TDumpColumn column;
    try {
      column.expression =
          table.PrepareExpression(text, "Field_" + std::to_string(columns.size() + 1));
    } catch (const dbquillon::Error& e) {
      throw std::runtime_error("--columns: '" + text + "': " + e.what());
    }
    column.name = column.expression->name();
    columns.push_back(std::move(column));
  }
  return columns;
}

// Expression values that could not be computed (shown empty).
struct TFailures {
  int64_t count = 0;
  std::string first;  // the first failure's message
};

// The text of a column on `row`, into `cell` (whose buffer is reused from
// row to row). An expression that cannot be computed on the row gives an
// empty cell, and is counted.
void ReadCell(TDumpColumn& column, const dbquillon::Row& row, std::string& cell,
              TFailures& failures) {
  if (column.column) {
    row.GetText(*column.column, cell);
    return;
  }
  try {
    column.expression->Text(row, cell);
  } catch (const dbquillon::Error& e) {
    if (e.code() != dbquillon::ErrorCode::Type) throw;
    cell.clear();
    if (failures.count++ == 0) failures.first = e.what();
  }
}

// Characters on screen of a UTF-8 text (continuation bytes do not count).
size_t DisplayWidth(std::string_view text) {
  size_t n = 0;
  for (char c : text) n += (static_cast<uint8_t>(c) & 0xC0) != 0x80;
  return n;
}

// Control characters would break the one-line-per-row layout.
void AppendEscaped(std::string& out, std::string_view text) {
  for (char c : text) {
    const auto u = static_cast<uint8_t>(c);
    if (u >= 0x20 && u != 0x7F) {
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", u);
      out += buf;
    }
  }
}

// Writes rows either as CSV or as an aligned table.
class TRowWriter {
 public:
  TRowWriter(bool csv, size_t columns) : csv_(csv), widths_(columns, 0) {}

  void Row(const std::vector<std::string>& cells) {
    if (csv_) {
      line_.clear();
      for (size_t i = 0; i < cells.size(); ++i) {
        if (i > 0) line_ += ',';
        AppendCsvField(line_, cells[i]);
      }
      line_ += '\n';
      Emit(line_);
      return;
    }
    if (sampling_) {
      std::vector<std::string>& row = sample_.emplace_back(cells.size());
      for (size_t i = 0; i < cells.size(); ++i) {
        AppendEscaped(row[i], cells[i]);
        widths_[i] = std::max(widths_[i], DisplayWidth(row[i]));
      }
      if (sample_.size() >= kWidthSampleRows) Flush();
      return;
    }
    for (size_t i = 0; i < cells.size(); ++i) {
      escaped_[i].clear();
      AppendEscaped(escaped_[i], cells[i]);
    }
    WriteAligned(escaped_);
  }

  // Ends the output (the sampled rows of the aligned format go out now).
  // Returns false when standard output refused what was written.
  bool Finish() {
    Flush();
    return ok_ && std::fflush(stdout) == 0;
  }

 private:
  void Flush() {
    if (!sampling_) return;
    sampling_ = false;
    for (const std::vector<std::string>& row : sample_) WriteAligned(row);
    sample_.clear();
    escaped_.assign(widths_.size(), std::string());
  }

  void WriteAligned(const std::vector<std::string>& row) {
    line_.clear();
    for (size_t i = 0; i < row.size(); ++i) {
      line_ += row[i];
      if (i + 1 < row.size()) {
        const size_t w = DisplayWidth(row[i]);
        line_.append(widths_[i] > w ? widths_[i] - w + 2 : 2, ' ');
      }
    }
    while (!line_.empty() && line_.back() == ' ') line_.pop_back();
    line_ += '\n';
    Emit(line_);
  }

  void Emit(const std::string& text) {
    if (ok_) ok_ = WriteText(stdout, text);
  }

  const bool csv_;
  bool sampling_ = true;
  bool ok_ = true;
  std::vector<size_t> widths_;
  std::vector<std::vector<std::string>> sample_;
  std::vector<std::string> escaped_;
  std::string line_;
};

}  // namespace

int DumpCommand(int argc, char** argv) {
  std::vector<std::string> operands;
  std::string where;
  std::string column_list;
  bool has_where = false;
  bool csv = false;
  for (int i = 0; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--csv") == 0) {
      csv = true;
    } else if (std::strcmp(arg, "--where") == 0 || std::strcmp(arg, "--columns") == 0) {
      if (i + 1 == argc) return UsageError(kUsage);
      (arg[2] == 'w' ? where : column_list) = argv[++i];
      has_where |= arg[2] == 'w';
    } else if (arg[0] == '-' && arg[1] != '\0') {
      return UsageError(kUsage);
    } else {
      operands.push_back(arg);
    }
  }
  if (operands.size() != 2) return UsageError(kUsage);
  const std::string& file = operands[0];
  const std::string& table_name = operands[1];
  return RunGuarded([&] {
    dbquillon::Database db = OpenReadOnly(file);
    dbquillon::Transaction transaction = db.BeginRead();
    dbquillon::Table table = OpenTable(transaction, table_name, file);
    std::vector<TDumpColumn> columns = BuildColumns(table, column_list);
    std::optional<dbquillon::Query> filter;
    if (has_where && !Trim(where).empty()) {
      try {
        filter = table.Prepare(where);
      } catch (const dbquillon::Error& e) {
        throw std::runtime_error("--where '" + where + "': " + e.what());
      }
    }
    TRowWriter writer(csv, columns.size());
    std::vector<std::string> cells(columns.size());
    for (size_t i = 0; i < columns.size(); ++i) cells[i] = columns[i].name;
    writer.Row(cells);
    TFailures failures;
    dbquillon::Rows rows = filter ? filter->rows() : table.rows();
    dbquillon::Rows::iterator it;
    try {
      it = rows.begin();
    } catch (const dbquillon::Error& e) {
      if (!filter) throw;
      // A parameter (":name") of the filter that nothing binds.
      throw std::runtime_error("--where '" + where + "': " + e.what());
    }
    for (; it != rows.end(); ++it) {
      for (size_t i = 0; i < columns.size(); ++i) ReadCell(columns[i], *it, cells[i], failures);
      writer.Row(cells);
    }
    if (!writer.Finish()) {
      PrintError("cannot write to standard output");
      return kExitFailed;
    }
    if (failures.count > 0) {
      PrintError(std::to_string(failures.count) + " value(s) could not be computed and are " +
                 "shown empty; the first: " + failures.first);
      return kExitFailed;
    }
    return kExitOk;
  });
}

}  // namespace qdf::tool
