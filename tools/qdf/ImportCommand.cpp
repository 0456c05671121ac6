// qdf import FILE TABLE CSV: appends the records of a CSV file to a table in
// one transaction. The first CSV line names the fields; an empty value
// leaves its field null. Any error (unknown column, a value the field cannot
// take, a duplicate key) rolls everything back and names the CSV line.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "Commands.h"
#include "Csv.h"
#include "CsvImport.h"
#include "ToolSupport.h"

namespace qdf::tool {

namespace {

// Progress goes to a terminal only, one line per this many records.
constexpr int64_t kProgressEvery = 10000;

// Closes the CSV file on every path.
struct TFileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

}  // namespace

int ImportCommand(int argc, char** argv) {
  if (argc != 3) return UsageError("import FILE TABLE CSV");
  const std::string file = argv[0];
  const std::string table_name = argv[1];
  const std::string csv_name = argv[2];
  bool reading = false;  // past the header: a failure discards records
  const int code = RunGuarded([&] {
    RequireDatabaseFile(file);
    std::unique_ptr<FILE, TFileCloser> in(std::fopen(csv_name.c_str(), "rb"));
    if (!in) throw std::runtime_error(csv_name + ": cannot open: " + std::strerror(errno));
    TCsvReader csv(in.get(), csv_name);

    dbquillon::Options options;
    options.createIfMissing = false;
    dbquillon::Database db(file, options);
    // Rolled back when it ends uncommitted: nothing of a failed import stays.
    dbquillon::Transaction transaction = db.BeginWrite();
    dbquillon::Table table = OpenTable(transaction, table_name, file);
    const std::vector<dbquillon::Column> columns = MapCsvHeader(csv, table);
    const bool progress = isatty(STDERR_FILENO) != 0;
    reading = true;
    const int64_t rows = ImportCsvRecords(csv, table, columns, [&](int64_t n) {
      if (progress && n % kProgressEvery == 0) {
        std::fprintf(stderr, "qdf import: %lld records read\n", static_cast<long long>(n));
      }
    });
    transaction.Commit();
    std::printf("imported %lld records into %s\n", static_cast<long long>(rows),
                table_name.c_str());
    return kExitOk;
  });
  if (code != kExitOk && reading) {
    PrintError("nothing was imported");
  }
  return code;
}

}  // namespace qdf::tool
