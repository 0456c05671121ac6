// qdf info FILE: the figures of a database file, one "name: value" line each.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "Commands.h"
#include "ToolSupport.h"
#include "check/IntegrityCheck.h"

namespace qdf::tool {

namespace {

void Line(std::string& out, const char* name, int64_t value, const char* unit = "") {
  char buf[128];
  std::snprintf(buf, sizeof buf, "%s: %" PRId64 "%s\n", name, value, unit);
  out += buf;
}

}  // namespace

int InfoCommand(int argc, char** argv) {
  if (argc != 1) return UsageError("info FILE");
  const std::string file = argv[0];
  return RunGuarded([&] {
    RequireDatabaseFile(file);
    const TQdfCheckReport report = CheckDatabase(file);
    const TQdfFileFigures& f = report.figures;
    std::string out = "file: " + file + "\n";
    Line(out, "file size", f.file_size, " bytes");
    out += "format version: " + std::to_string(f.major_version) + "." +
           std::to_string(f.minor_version) + "\n";
    Line(out, "committed transaction", f.transaction);
    Line(out, "previous transaction", f.previous_transaction);
    Line(out, "high water mark", f.high_water, " bytes");
    Line(out, "allocation end", f.allocation_end, " bytes");
    Line(out, "next page number", f.next_page);
    Line(out, "pages", f.pages);
    Line(out, "compressed pages", f.compressed_pages);
    Line(out, "page-table blocks", f.table_blocks);
    Line(out, "stored bytes", f.stored_bytes);
    Line(out, "free blocks", f.free_blocks);
    Line(out, "free bytes", f.free_bytes);
    Line(out, "objects", f.objects);
    Line(out, "item classes", f.classes);
    Line(out, "tables", f.tables);
    Line(out, "indexes", f.indexes);
    Line(out, "records", f.records);
    Line(out, "problems", report.found);
    if (!WriteText(stdout, out) || std::fflush(stdout) != 0) {
      PrintError("cannot write to standard output");
      return kExitFailed;
    }
    return kExitOk;
  });
}

}  // namespace qdf::tool
