// The subcommands of the qdf tool. Each takes the arguments after its name
// and returns the process exit code: 0 success, 1 the command failed (its
// message is on standard error), 2 wrong usage.
#pragma once

namespace qdf::tool {

// qdf eval EXPRESSION: compiles the expression with the system arithmetic,
// evaluates it once and prints "<TYPE> <value>".
int EvalCommand(int argc, char** argv);

// qdf exec FILE STATEMENTS: runs data-definition statements on the database
// file (created when missing) in one transaction and commits. On an error the
// engine's message goes to standard error and nothing is committed.
int ExecCommand(int argc, char** argv);

}  // namespace qdf::tool
