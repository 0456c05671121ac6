// Helpers shared by the qdf subcommands: error lines, checking a database
// file before the engine sees it, opening one read-only, and the table
// lookup that several subcommands need. The tool works through the public
// API (include/dbquillon) alone.
#pragma once

#include <dbquillon/dbquillon.h>

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

namespace qdf::tool {

// Exit codes of every subcommand.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// Prints "qdf: <message>" as one line on standard error.
void PrintError(const std::string& message);

// Prints "usage: qdf <usage>" on standard error and returns kExitUsage.
int UsageError(const char* usage);

// Runs `body` and returns its exit code. An exception it raises (the API's
// Error, the tool's own std::runtime_error or any other) is printed with
// PrintError and gives kExitFailed, so that no subcommand ends with an
// uncaught exception.
int RunGuarded(const std::function<int()>& body);

// Throws std::runtime_error with a message the user can act on when `file`
// cannot be a database: missing, not a regular file, or empty. The engine
// itself recognises a file of another kind by its header.
void RequireDatabaseFile(const std::string& file);

// Writes `text` to `out`; false when the stream refused it (full disk,
// closed pipe). Prints nothing.
bool WriteText(FILE* out, std::string_view text);

// `file` (after RequireDatabaseFile) opened read-only, so that nothing the
// command does can change its bytes or its modification time.
dbquillon::Database OpenReadOnly(const std::string& file);

// The table `name` of the transaction. Raises "no table '<name>' in <file>"
// when there is none.
dbquillon::Table OpenTable(dbquillon::Transaction& transaction, const std::string& name,
                           const std::string& file);

}  // namespace qdf::tool
