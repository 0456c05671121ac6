// The runner of tests/db/ReaderProcessTest.cpp: RunProcess with standard
// error kept out of the output.
#pragma once

#include "ProcessRun.h"

namespace qdf_test {

struct TShellRun {
  int code = -1;
  std::string out;
};

inline TShellRun RunShell(const std::string& command) {
  TRunOptions options;
  options.merge_stderr = false;
  const TRunResult r = RunProcess(command, options);
  return {r.code, r.output};
}

}  // namespace qdf_test
