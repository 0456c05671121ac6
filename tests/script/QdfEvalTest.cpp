// The "qdf eval" subcommand, run as a separate process.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

#ifdef QDF_TOOL_EXE

struct RunResult {
  int exit_code;
  std::string out;  // standard output followed by standard error
};

// Quotes a text for the shell.
std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

RunResult RunEval(const std::string& expression, bool with_stderr = false) {
  std::string cmd = std::string(QDF_TOOL_EXE) + " eval " + ShellQuote(expression) +
                    (with_stderr ? " 2>&1" : " 2>/dev/null");
  RunResult r{-1, ""};
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return r;
  char buf[256];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int status = pclose(p);
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

TEST(ScriptQdfEval, PrintsTypeAndValue) {
  struct Case {
    const char* expression;
    const char* line;
  } cases[] = {
      {"1 + 2 * 3", "INTEGER 7\n"},
      {"1 - 2 - 3", "INTEGER -4\n"},
      {"2147483647 + 1", "INTEGER -2147483648\n"},
      {"2147483648", "INT64 2147483648\n"},
      {"1 + 2.5", "DOUBLE 3.5\n"},
      {"Round(2.5, 0)", "DOUBLE 3.0\n"},
      {"pi", "DOUBLE 3.141592653589793\n"},
      {"0.1 + 0.2", "DOUBLE 0.30000000000000004\n"},
      {"1e20", "DOUBLE 1.0e+20\n"},
      {"'ab' 'cd'", "PCHAR abcd\n"},
      {"'a' < 'b'", "BOOLEAN True\n"},
      {"not true", "BOOLEAN False\n"},
      {"null", "NULLVAR \n"},
      {"Date(2024, 2, 29) + Time(13, 5, 9, 0)", "DATETIME 2024-02-29 13:05:09\n"},
      {"Date(2024, 2, 29) * 1", "DOUBLE 45351.0\n"},
      {"Date(2024, 2, 29)", "DATETIME 2024-02-29 00:00:00\n"},
  };
  for (const Case& c : cases) {
    RunResult r = RunEval(c.expression);
    EXPECT_EQ(r.exit_code, 0) << c.expression;
    EXPECT_EQ(r.out, c.line) << c.expression;
  }
}

TEST(ScriptQdfEval, CompileErrorsGoToStandardErrorWithExitCode1) {
  RunResult r = RunEval("1 +");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
  r = RunEval("1 = 'a'", true);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out,
            "could not find matching cast for BOOLEAN operator = presented types: INTEGER (1), "
            "PCHAR (a)\n");
  r = RunEval("12abc", true);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "Error at: 12abc\n");
}

#endif  // QDF_TOOL_EXE

}  // namespace
