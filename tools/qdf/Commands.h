// The subcommands of the qdf tool. Each takes the arguments after its name
// and returns the process exit code: 0 success, 1 the command failed (its
// message is on standard error), 2 wrong usage.
#pragma once

namespace qdf::tool {

// qdf eval EXPRESSION: compiles the expression with the system arithmetic,
// evaluates it once and prints "<TYPE> <value>".
int EvalCommand(int argc, char** argv);

}  // namespace qdf::tool
