// Runs a shell command for the tests of the programs: its standard output
// and its exit status.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace qdf_test {

struct TShellRun {
  int code = -1;    // exit status; -1 when the command did not exit normally
  std::string out;  // standard output (add 2>&1 to the command for errors)
};

// `s` in single quotes for the shell.
inline std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

inline TShellRun RunShell(const std::string& command) {
  TShellRun r;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int status = pclose(p);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

}  // namespace qdf_test
