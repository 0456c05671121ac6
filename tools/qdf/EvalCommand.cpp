// qdf eval EXPRESSION
#include <dbquillon/dbquillon.h>

#include <cstdio>
#include <string>

#include "Commands.h"

namespace qdf::tool {

int EvalCommand(int argc, char** argv) {
  if (argc != 1) {
    std::fprintf(stderr, "usage: qdf eval EXPRESSION\n");
    return 2;
  }
  try {
    const dbquillon::Evaluation value = dbquillon::Evaluate(argv[0]);
    std::string line = value.type + " " + value.text + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    return 0;
  } catch (const dbquillon::Error& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}

}  // namespace qdf::tool
