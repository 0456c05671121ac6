// CheckFile of the public API over the engine's integrity check.
#include <filesystem>
#include <string>
#include <system_error>

#include "api/ApiImpl.h"
#include "base/QdfException.h"
#include "check/IntegrityCheck.h"

namespace dbquillon {

namespace detail {

void RequireFile(const std::string& file) {
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status(file, ec);
  if (status.type() == std::filesystem::file_type::not_found) {
    Fail(ErrorCode::NotFound, file + ": no such file");
  }
  if (ec) Fail(ErrorCode::Io, file + ": " + ec.message());
}

}  // namespace detail

CheckReport CheckFile(const std::string& file) {
  detail::RequireFile(file);
  return detail::Guarded([&] {
    qdf::TQdfCheckReport engine;
    try {
      engine = qdf::CheckDatabase(file);
    } catch (const qdf::EQdfException& e) {
      // The check reports every problem of a database file; it raises only
      // for a file it cannot open, or one that is no database at all.
      Error error = detail::Translate(e);
      if (error.code() == ErrorCode::Internal) {
        throw Error(ErrorCode::Damaged, error.what(), error.helpContext());
      }
      throw error;
    }
    const qdf::TQdfFileFigures& f = engine.figures;
    CheckReport report;
    report.problems = std::move(engine.problems);
    report.found = engine.found;
    FileFigures& out = report.figures;
    out.fileSize = f.file_size;
    out.majorVersion = f.major_version;
    out.minorVersion = f.minor_version;
    out.transaction = f.transaction;
    out.previousTransaction = f.previous_transaction;
    out.highWater = f.high_water;
    out.allocationEnd = f.allocation_end;
    out.nextPage = f.next_page;
    out.pages = f.pages;
    out.compressedPages = f.compressed_pages;
    out.tableBlocks = f.table_blocks;
    out.storedBytes = f.stored_bytes;
    out.freeBlocks = f.free_blocks;
    out.freeBytes = f.free_bytes;
    out.objects = f.objects;
    out.classes = f.classes;
    out.tables = f.tables;
    out.indexes = f.indexes;
    out.records = f.records;
    return report;
  });
}

}  // namespace dbquillon
