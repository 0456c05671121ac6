// qdf: the command-line tool of dbQuillon. One executable, one subcommand per
// source file; this file only dispatches.
#include <cstdio>
#include <cstring>

#include "Commands.h"

namespace {

struct Command {
  const char* name;
  int (*run)(int argc, char** argv);
  const char* usage;
};

constexpr Command kCommands[] = {
    {"eval", &qdf::tool::EvalCommand,
     "eval EXPRESSION   evaluate an expression and print its type and value"},
    {"exec", &qdf::tool::ExecCommand,
     "exec FILE STATEMENTS   run data-definition statements and commit"},
    {"info", &qdf::tool::InfoCommand,
     "info FILE   show the file's header, space and object figures"},
    {"check", &qdf::tool::CheckCommand,
     "check FILE   check the file's integrity (exit 1 when damaged)"},
    {"schema", &qdf::tool::SchemaCommand,
     "schema FILE [--all]   list item classes, tables and indexes"},
    {"dump", &qdf::tool::DumpCommand,
     "dump FILE TABLE [--where FILTER] [--columns LIST] [--csv]   print a table's rows"},
    {"import", &qdf::tool::ImportCommand,
     "import FILE TABLE CSV   append the records of a CSV file"},
    {"compact", &qdf::tool::CompactCommand,
     "compact FILE   rewrite the file without its free space (checked, then replaced)"},
};

void PrintUsage(FILE* out) {
  std::fprintf(out, "usage: qdf COMMAND [ARGS]\ncommands:\n");
  for (const Command& c : kCommands) std::fprintf(out, "  %s\n", c.usage);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(stderr);
    return 2;
  }
  if (std::strcmp(argv[1], "help") == 0 || std::strcmp(argv[1], "--help") == 0) {
    PrintUsage(stdout);
    return 0;
  }
  for (const Command& c : kCommands) {
    if (std::strcmp(argv[1], c.name) == 0) return c.run(argc - 2, argv + 2);
  }
  std::fprintf(stderr, "qdf: unknown command '%s'\n", argv[1]);
  PrintUsage(stderr);
  return 2;
}
