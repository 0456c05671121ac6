// Runs another program for a test: with a clean environment, a time limit,
// its standard output and error captured, and its exit status.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace qdf_test {

struct TRunOptions {
  // Working folder; also QUILLON_CONFIG_DIR and TMPDIR of the child, so that
  // it never sees the caller's configuration or temporary files. Empty: the
  // caller's working folder and environment for these two.
  std::string dir;
  // Further variables of the child's environment ("NAME", "value").
  std::vector<std::pair<std::string, std::string>> env;
  int timeout_seconds = 60;
  bool merge_stderr = true;  // standard error into the captured output
};

struct TRunResult {
  int code = -1;  // exit status; -1 when killed, signalled or not started
  bool timed_out = false;
  std::string output;  // standard output (and error when merged), in order
};

// Runs `command` with /bin/sh -c. QUILLON_TRACE is 0 in the child.
TRunResult RunProcess(const std::string& command, const TRunOptions& options = {});

// `s` in single quotes for the shell.
std::string ShellQuote(const std::string& s);

// The path of the running test program, for tests that run it again as a
// child (selecting a child role by an environment variable).
std::string SelfExe();

}  // namespace qdf_test
