// qdf exec FILE 'STATEMENTS': runs data-definition statements on a database
// file in one transaction and commits. The file is created when missing.
#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include "Commands.h"
#include "ToolSupport.h"
#include "base/QdfException.h"
#include "db/InTransStorage.h"
#include "db/System.h"
#include "db/Transaction.h"

namespace qdf::tool {

namespace {

// The statements' errors do not name the file they ran on; put it first.
std::string NamingFile(const std::string& file, const std::string& message) {
  return message.find(file) != std::string::npos ? message : file + ": " + message;
}

}  // namespace

int ExecCommand(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: qdf exec FILE 'STATEMENTS'\n");
    return 2;
  }
  const std::string file = argv[0];
  const std::string text = argv[1];
  std::unique_ptr<TQdfTransaction> transaction;
  try {
    transaction = QdfSystem()->NewTransaction("qdf exec");
    TQdfInTransStorage* storage = transaction->OpenStorage("QDF", false, file);
    storage->Execute(text);
    transaction->Commit(true);
    transaction.reset();
    return 0;
  } catch (const Exception& e) {
    PrintError(NamingFile(file, e.Message()));
  } catch (const std::exception& e) {
    PrintError(NamingFile(file, e.what()));
  }
  transaction.reset();  // a running transaction rolls back: nothing of the text stays
  return 1;
}

}  // namespace qdf::tool
