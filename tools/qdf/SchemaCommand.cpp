// qdf schema FILE [--all]: the item classes with their fields, the tables
// with their record class and the indexes of each table with their keys.
//
//   class TBench
//     a: TQdfIntegerField
//   class TSub extends TBench
//     x: TQdfCharField
//   table t1 on TBench
//     index i1 (a)
//     unique index u1 (c, DESC b)
//
// Everything appears in the order of the object tree, which the file keeps,
// so the text is the same on every run. The engine's own objects ($ID, the
// blob table and its classes) are left out unless --all is given.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Commands.h"
#include "ToolSupport.h"

namespace qdf::tool {

namespace {

// "a, DESC b": the key fields in key order.
std::string Keys(const dbquillon::IndexInfo& index) {
  std::string keys;
  for (const std::string& key : index.keys) keys += (keys.empty() ? "" : ", ") + key;
  return keys;
}

std::string SchemaText(const dbquillon::Schema& schema) {
  std::string out;
  for (const dbquillon::ClassInfo& cls : schema.classes) {
    out += "class " + cls.name;
    if (!cls.base.empty()) out += " extends " + cls.base;
    out += "\n";
    for (const dbquillon::FieldInfo& field : cls.fields) {
      if (!field.inherited) out += "  " + field.name + ": " + field.typeName + "\n";
    }
  }
  for (const dbquillon::TableInfo& table : schema.tables) {
    out += "table " + table.name + " on " + table.classPath + "\n";
    for (const dbquillon::IndexInfo& index : table.indexes) {
      out += "  ";
      if (index.unique) out += "unique ";
      // An index kept elsewhere than under its table goes by its path.
      out += "index " + (index.path.empty() ? index.name : index.path);
      out += " (" + Keys(index) + ")\n";
    }
  }
  for (const dbquillon::IndexInfo& index : schema.otherIndexes) {
    out += "index " + index.path + " (" + Keys(index) + ")\n";
  }
  return out;
}

}  // namespace

int SchemaCommand(int argc, char** argv) {
  constexpr const char* kUsage = "schema FILE [--all]";
  std::string file;
  bool all = false;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--all") == 0) {
      all = true;
    } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
      return UsageError(kUsage);
    } else if (file.empty()) {
      file = argv[i];
    } else {
      return UsageError(kUsage);
    }
  }
  if (file.empty()) return UsageError(kUsage);
  return RunGuarded([&] {
    dbquillon::Database db = OpenReadOnly(file);
    dbquillon::Transaction transaction = db.BeginRead();
    const std::string text = SchemaText(transaction.GetSchema(all));
    if (!WriteText(stdout, text) || std::fflush(stdout) != 0) {
      PrintError("cannot write to standard output");
      return kExitFailed;
    }
    return kExitOk;
  });
}

}  // namespace qdf::tool
