// qdf info FILE: the figures of a database file, one "name: value" line each.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "Commands.h"
#include "ToolSupport.h"

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
    const dbquillon::CheckReport report = dbquillon::CheckFile(file);
    const dbquillon::FileFigures& f = report.figures;
    std::string out = "file: " + file + "\n";
    Line(out, "file size", f.fileSize, " bytes");
    out += "format version: " + std::to_string(f.majorVersion) + "." +
           std::to_string(f.minorVersion) + "\n";
    Line(out, "committed transaction", f.transaction);
    Line(out, "previous transaction", f.previousTransaction);
    Line(out, "high water mark", f.highWater, " bytes");
    Line(out, "allocation end", f.allocationEnd, " bytes");
    Line(out, "next page number", f.nextPage);
    Line(out, "pages", f.pages);
    Line(out, "compressed pages", f.compressedPages);
    Line(out, "page-table blocks", f.tableBlocks);
    Line(out, "stored bytes", f.storedBytes);
    Line(out, "free blocks", f.freeBlocks);
    Line(out, "free bytes", f.freeBytes);
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
