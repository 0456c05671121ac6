// qdf compact FILE: rewrites the live pages of a database into a fresh file
// beside it, checks the copy, then puts it in the old file's place
// (dbquillon::CompactFile holds the whole procedure and its guarantees).
#include <cstdio>
#include <string>

#include "Commands.h"
#include "ToolSupport.h"

namespace qdf::tool {

int CompactCommand(int argc, char** argv) {
  if (argc != 1) return UsageError("compact FILE");
  const std::string file = argv[0];
  return RunGuarded([&] {
    RequireDatabaseFile(file);
    const dbquillon::CompactResult r = dbquillon::CompactFile(file);
    if (!r.compacted) {
      std::printf("%s is compact already: %lld bytes\n", file.c_str(),
                  static_cast<long long>(r.sizeBefore));
    } else {
      std::printf("compacted %s: %lld pages, %lld bytes before, %lld bytes now\n", file.c_str(),
                  static_cast<long long>(r.pages), static_cast<long long>(r.sizeBefore),
                  static_cast<long long>(r.sizeAfter));
    }
    return kExitOk;
  });
}

}  // namespace qdf::tool
