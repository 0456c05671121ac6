// qdf import FILE TABLE CSV: appends the records of a CSV file to a table in
// one transaction. The first CSV line names the fields; an empty value
// leaves its field null. Any error (unknown column, a value the field cannot
// take, a duplicate key) rolls everything back and names the CSV line.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "Csv.h"
#include "ToolSupport.h"
#include "base/QdfException.h"
#include "db/InTransStorage.h"
#include "db/System.h"
#include "db/Transaction.h"
#include "record/Field.h"
#include "record/Fields.h"
#include "record/ItemClass.h"
#include "table/Table.h"

namespace qdf::tool {

namespace {

// Progress goes to a terminal only, one line per this many records.
constexpr int64_t kProgressEvery = 10000;

// Closes the CSV file on every path.
struct TFileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

// The table fields the CSV columns go to, in column order. ThisID is not
// imported: the engine gives every new record an object ID of its own.
std::vector<TQdfField*> MapHeader(TCsvReader& csv, TQdfTable& table) {
  if (!csv.Next()) throw Exception(csv.Name() + ": empty file, no header line with field names");
  TQdfItemClass* cls = table.ItemClass();
  std::vector<TQdfField*> fields;
  for (int i = 0; i < csv.Count(); ++i) {
    const std::string& name = csv.Field(i);
    TQdfField* field = cls != nullptr ? cls->FieldByName(name) : nullptr;
    if (field == nullptr) {
      throw Exception(csv.Name() + " line " + std::to_string(csv.RecordLine()) + ": table " +
                      table.ObjectName() + " has no field '" + name + "'");
    }
    for (TQdfField* seen : fields) {
      if (seen == field) {
        throw Exception(csv.Name() + " line " + std::to_string(csv.RecordLine()) + ": field '" +
                        name + "' named twice");
      }
    }
    fields.push_back(field);
  }
  return fields;
}

}  // namespace

int ImportCommand(int argc, char** argv) {
  if (argc != 3) return UsageError("import FILE TABLE CSV");
  const std::string file = argv[0];
  const std::string table_name = argv[1];
  const std::string csv_name = argv[2];
  std::unique_ptr<TQdfTransaction> transaction;
  bool reading = false;  // past the header: a failure discards records
  const int code = RunGuarded([&] {
    RequireDatabaseFile(file);
    std::unique_ptr<FILE, TFileCloser> in(std::fopen(csv_name.c_str(), "rb"));
    if (!in) throw Exception(csv_name + ": cannot open: " + std::strerror(errno));
    TCsvReader csv(in.get(), csv_name);

    transaction = QdfSystem()->NewTransaction("qdf import");
    TQdfInTransStorage* storage = transaction->OpenStorage(file, false, file);
    transaction->SetActive(true);
    std::unique_ptr<TQdfTable> table = OpenTable(*storage, table_name, file);
    const std::vector<TQdfField*> fields = MapHeader(csv, *table);
    TQdfItemClass* cls = table->ItemClass();
    const TQdfField* this_id = cls->ThisIDField();
    const bool progress = isatty(STDERR_FILENO) != 0;
    reading = true;

    int64_t rows = 0;
    while (csv.Next()) {
      // Only an error message spends an allocation on the line's name.
      auto where = [&] { return "line " + std::to_string(csv.RecordLine()); };
      if (csv.Count() != static_cast<int>(fields.size())) {
        throw Exception(csv_name + " " + where() + ": " + std::to_string(csv.Count()) +
                        " values, the header names " + std::to_string(fields.size()));
      }
      table->Insert();
      for (size_t i = 0; i < fields.size(); ++i) {
        const std::string& value = csv.Field(static_cast<int>(i));
        if (value.empty() || fields[i] == this_id) continue;
        try {
          fields[i]->SetAsString(value);
        } catch (const std::exception& e) {
          table->Cancel();
          throw Exception(csv_name + " " + where() + ", field " + fields[i]->ObjectName() + ": " +
                          e.what());
        }
      }
      try {
        table->Post();
      } catch (const std::exception& e) {
        throw Exception(csv_name + " " + where() + ": " + e.what());
      }
      ++rows;
      if (progress && rows % kProgressEvery == 0) {
        std::fprintf(stderr, "qdf import: %lld records read\n", static_cast<long long>(rows));
      }
    }
    table.reset();
    transaction->Commit(true);
    transaction.reset();
    std::printf("imported %lld records into %s\n", static_cast<long long>(rows),
                table_name.c_str());
    return kExitOk;
  });
  if (code != kExitOk && reading) {
    PrintError("nothing was imported");
  }
  transaction.reset();  // a running transaction rolls back: nothing stays
  return code;
}

}  // namespace qdf::tool
