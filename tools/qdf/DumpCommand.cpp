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
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Commands.h"
#include "Csv.h"
#include "ToolSupport.h"
#include "base/Helpers.h"
#include "base/QdfException.h"
#include "base/Variant.h"
#include "db/InTransStorage.h"
#include "query/Column.h"
#include "query/FieldExpr.h"
#include "query/QScript.h"
#include "query/TableOp.h"
#include "record/Field.h"
#include "record/Fields.h"
#include "record/ItemClass.h"
#include "script/Node.h"
#include "table/Table.h"

namespace qdf::tool {

namespace {

constexpr const char* kUsage = "dump FILE TABLE [--where FILTER] [--columns LIST] [--csv]";

// Rows the aligned format looks at to size its columns; later rows use the
// widths found (a longer value just pushes its line to the right).
constexpr size_t kWidthSampleRows = 1000;

// One output column: a field of the record class read directly, or a
// compiled expression.
struct TDumpColumn {
  std::string name;
  TQdfField* field = nullptr;
  bool char_field = false;
  std::unique_ptr<TQdfColumn> expression;
};

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

// The expression part of "expr AS name" (the whole text otherwise).
std::string ExpressionPart(const std::string& text) {
  std::string_view rest = text;
  while (!rest.empty() && rest.back() == ' ') rest.remove_suffix(1);
  size_t blank = rest.find_last_of(' ');
  if (blank == std::string_view::npos) return text;
  std::string_view head = rest.substr(0, blank);
  while (!head.empty() && head.back() == ' ') head.remove_suffix(1);
  blank = head.find_last_of(' ');
  const std::string_view word = head.substr(blank == std::string_view::npos ? 0 : blank + 1);
  if (!SameText(word, "AS")) return text;
  return std::string(head.substr(0, blank == std::string_view::npos ? 0 : blank));
}

std::vector<TDumpColumn> BuildColumns(TQdfItemClass* cls, const std::string& list) {
  std::vector<TDumpColumn> columns;
  auto add_field = [&](TQdfField* field) {
    TDumpColumn column;
    column.name = field->ObjectName();
    column.field = field;
    column.char_field = field->IsKindOf(TQdfCharField::kClassInfo);
    columns.push_back(std::move(column));
  };
  if (list.empty() || Trim(list) == "*") {
    for (int i = 0; i < cls->FieldCount(); ++i) add_field(cls->FieldAt(i));
    return columns;
  }
  TQScript& script = QueryScript();
  TFromScope scope(script, cls);
  for (const std::string& text : SplitColumnList(list)) {
    if (text.empty()) throw Exception("--columns: empty column in '" + list + "'");
    if (TQdfField* field = cls->FieldByName(text)) {
      add_field(field);
      continue;
    }
    TDumpColumn column;
    column.expression =
        std::make_unique<TQdfColumn>(text, "Field_" + std::to_string(columns.size() + 1));
    if (column.expression->Node() == nullptr) {
      // Compile once more for the reason.
      try {
        script.Scan(ExpressionPart(text));
        script.Compile();
        script.TakeResult();
      } catch (const std::exception& e) {
        script.TakeResult();
        throw Exception("--columns: '" + text + "': " + e.what());
      }
      throw Exception("--columns: '" + text + "': a value of this type cannot be shown");
    }
    column.name = column.expression->Name();
    columns.push_back(std::move(column));
  }
  return columns;
}

// Expression values that could not be computed (shown empty).
struct TFailures {
  int64_t count = 0;
  std::string first;  // the first failure's message
};

// The text of a column on the table's current record, into `cell` (whose
// buffer is reused from row to row). An expression that cannot be computed
// on the record gives an empty cell.

void ReadCell(TDumpColumn& column, std::string& cell, TVariant& scratch, TFailures& failures) {
  if (column.field != nullptr) {
    if (column.char_field) {
      // The stored text up to its zero byte, without a temporary string.
      int length = 0;
      const uint8_t* data = column.field->GetData(&length);
      const void* zero =
          data != nullptr ? std::memchr(data, 0, static_cast<size_t>(length)) : nullptr;
      const size_t n = zero != nullptr
                           ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - data)
                           : static_cast<size_t>(data != nullptr ? length : 0);
      cell.assign(reinterpret_cast<const char*>(data), n);
    } else {
      cell = column.field->GetAsString();
    }
    return;
  }
  TvNode* node = column.expression->Node();
  if (node->InheritsFrom(TndField::kClass)) {
    TQdfField* field = static_cast<TndField*>(node)->Field();
    cell = field != nullptr ? field->GetAsString() : std::string();
    return;
  }
  try {
    if (!node->IsConstant()) node->Evaluate();
    OperandVariant(node, scratch);
    cell = scratch.AsString();
  } catch (const Exception& e) {
    // Arithmetic on a null field raises the conversion error of a null
    // variant: the value is unknown, and so is the result, shown empty.
    // Any other failure is counted and reported after the rows.
    cell.clear();
    if (e.Message().find("(Null)") == std::string::npos) {
      if (failures.count++ == 0) failures.first = e.Message();
    }
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
    TReadSession session(file);
    std::unique_ptr<TQdfTable> table = OpenTable(session.Storage(), table_name, file);
    TQdfItemClass* cls = table->ItemClass();
    if (cls == nullptr) throw Exception("table '" + table_name + "' has no record class");
    std::vector<TDumpColumn> columns = BuildColumns(cls, column_list);
    std::unique_ptr<TvNode> filter;
    if (has_where && !Trim(where).empty()) {
      try {
        filter = table->CompileFilter(where);
      } catch (const std::exception& e) {
        throw Exception("--where '" + where + "': " + e.what());
      }
    }
    TRowWriter writer(csv, columns.size());
    std::vector<std::string> cells(columns.size());
    for (size_t i = 0; i < columns.size(); ++i) cells[i] = columns[i].name;
    writer.Row(cells);
    TVariant scratch;
    TFailures failures;
    table->ForEachMatch(std::move(filter), kOpDefault, [&](TQdfTable&, bool&) {
      for (size_t i = 0; i < columns.size(); ++i) ReadCell(columns[i], cells[i], scratch, failures);
      writer.Row(cells);
    });
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
