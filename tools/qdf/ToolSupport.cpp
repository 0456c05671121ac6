#include "ToolSupport.h"

#include <exception>
#include <filesystem>
#include <system_error>

#include "base/QdfException.h"
#include "db/InTransStorage.h"
#include "db/System.h"
#include "db/Transaction.h"
#include "table/Table.h"

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
  } catch (const Exception& e) {
    PrintError(e.Message());
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
    throw Exception(file + ": no such file");
  }
  if (ec) throw Exception(file + ": " + ec.message());
  if (status.type() != fs::file_type::regular) {
    throw Exception(file + ": not a regular file");
  }
  const uintmax_t size = fs::file_size(file, ec);
  if (ec) throw Exception(file + ": " + ec.message());
  if (size == 0) throw Exception(file + ": empty file, not a dbQuillon database");
}

bool WriteText(FILE* out, std::string_view text) {
  return std::fwrite(text.data(), 1, text.size(), out) == text.size();
}

TReadSession::TReadSession(const std::string& file) {
  RequireDatabaseFile(file);
  transaction_ = QdfSystem()->NewTransaction("qdf read");
  try {
    // The file name doubles as the alias, so that the engine's messages
    // about the database name the file.
    storage_ = transaction_->OpenStorage(file, true, file);
    transaction_->SetActive(true);
  } catch (...) {
    transaction_.reset();
    throw;
  }
}

TReadSession::~TReadSession() {
  // A read transaction has nothing to commit: deleting it rolls back and
  // releases the file.
  transaction_.reset();
}

bool IsInternalName(std::string_view name) { return name.find('$') != std::string_view::npos; }

std::unique_ptr<TQdfTable> OpenTable(TQdfInTransStorage& storage, const std::string& name,
                                     const std::string& file) {
  TQdfPersistentObject* object = storage.ChildByName(name);
  if (object == nullptr || !object->IsKindOf(TQdfTable::kClassInfo)) {
    throw Exception("no table '" + name + "' in " + file);
  }
  return storage.TableByName(name);
}

}  // namespace qdf::tool
