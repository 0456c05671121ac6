#include "ToolSupport.h"

#include <exception>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace qdf::tool {

void PrintError(const std::string& message) {
  std::string line = "qdf: " + message + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

int UsageError(const char* usage) {
  std::fprintf(stderr, "usage: qdf %s\n", usage);
  return kExitUsage;
}

int RunGuarded(const std::function<int()>& body) {
  try {
    return body();
  } catch (const std::exception& e) {
    PrintError(e.what());
  }
  return kExitFailed;
}

void RequireDatabaseFile(const std::string& file) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::file_status status = fs::status(file, ec);
  if (status.type() == fs::file_type::not_found) {
    throw std::runtime_error(file + ": no such file");
  }
  if (ec) throw std::runtime_error(file + ": " + ec.message());
  if (status.type() != fs::file_type::regular) {
    throw std::runtime_error(file + ": not a regular file");
  }
  const uintmax_t size = fs::file_size(file, ec);
  if (ec) throw std::runtime_error(file + ": " + ec.message());
  if (size == 0) throw std::runtime_error(file + ": empty file, not a dbQuillon database");
}

bool WriteText(FILE* out, std::string_view text) {
  return std::fwrite(text.data(), 1, text.size(), out) == text.size();
}

dbquillon::Database OpenReadOnly(const std::string& file) {
  RequireDatabaseFile(file);
  dbquillon::Options options;
  options.readOnly = true;
  options.createIfMissing = false;
  return dbquillon::Database(file, options);
}

dbquillon::Table OpenTable(dbquillon::Transaction& transaction, const std::string& name,
                           const std::string& file) {
  try {
    return transaction.OpenTable(name);
  } catch (const dbquillon::Error& e) {
    if (e.code() != dbquillon::ErrorCode::NotFound) throw;
  }
  throw std::runtime_error("no table '" + name + "' in " + file);
}

}  // namespace qdf::tool
