// qdf check FILE: the integrity check of a database file. Each problem is
// one line; the last line says "FILE: sound" or "FILE: N problem(s)". Exit
// status 0 when sound, 1 when not (or when the file cannot be checked).
#include <cstdio>
#include <string>

#include "Commands.h"
#include "ToolSupport.h"

namespace qdf::tool {

int CheckCommand(int argc, char** argv) {
  if (argc != 1) return UsageError("check FILE");
  const std::string file = argv[0];
  return RunGuarded([&] {
    RequireDatabaseFile(file);
    const dbquillon::CheckReport report = dbquillon::CheckFile(file);
    std::string out;
    for (const std::string& problem : report.problems) out += problem + "\n";
    const int64_t n = report.found;
    if (n == 0) {
      out += file + ": sound\n";
    } else {
      out += file + ": " + std::to_string(n) + (n == 1 ? " problem\n" : " problems\n");
    }
    if (!WriteText(stdout, out) || std::fflush(stdout) != 0) {
      PrintError("cannot write to standard output");
      return kExitFailed;
    }
    return report.sound() ? kExitOk : kExitFailed;
  });
}

}  // namespace qdf::tool
