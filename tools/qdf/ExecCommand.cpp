// qdf exec FILE 'STATEMENTS': runs data-definition statements on a database
// file in one transaction and commits. The file is created when missing.
#include <dbquillon/dbquillon.h>

#include <cstdio>
#include <exception>
#include <string>

#include "Commands.h"
#include "ToolSupport.h"

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
  try {
    dbquillon::Database db(file);
    // A transaction that fails rolls back when it ends: nothing of the
    // text stays.
    dbquillon::Transaction transaction = db.BeginWrite();
    transaction.Execute(text);
    transaction.Commit();
    return 0;
  } catch (const std::exception& e) {
    PrintError(NamingFile(file, e.what()));
  }
  return 1;
}

}  // namespace qdf::tool
