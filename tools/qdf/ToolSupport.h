// Helpers shared by the qdf subcommands: error lines, checking a database
// file before the engine sees it, a read-only session on one database, and
// the table and field lookups that several subcommands need.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace qdf {
class TQdfField;
class TQdfInTransStorage;
class TQdfTable;
class TQdfTransaction;
}  // namespace qdf

namespace qdf::tool {

// Exit codes of every subcommand.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// Prints "qdf: <message>" as one line on standard error.
void PrintError(const std::string& message);

// Prints "usage: qdf <usage>" on standard error and returns kExitUsage.
int UsageError(const char* usage);

// Runs `body` and returns its exit code. An exception it raises (engine,
// conversion or any other) is printed with PrintError and gives kExitFailed,
// so that no subcommand ends with an uncaught exception.
int RunGuarded(const std::function<int()>& body);

// Throws an Exception with a message the user can act on when `file` cannot
// be a database: missing, not a regular file, or empty. The engine itself
// recognises a file of another kind by its header. A missing file must be
// caught here: the engine's local filer would create it.
void RequireDatabaseFile(const std::string& file);

// Writes `text` to `out`; false when the stream refused it (full disk,
// closed pipe). Prints nothing.
bool WriteText(FILE* out, std::string_view text);

// A read transaction on one database file: the file is opened read-only, so
// nothing the session does can change its bytes or its modification time.
class TReadSession {
 public:
  // Opens `file` (after RequireDatabaseFile). Raises the engine's errors.
  explicit TReadSession(const std::string& file);
  ~TReadSession();
  TReadSession(const TReadSession&) = delete;
  TReadSession& operator=(const TReadSession&) = delete;

  TQdfInTransStorage& Storage() const { return *storage_; }

 private:
  std::unique_ptr<TQdfTransaction> transaction_;  // rolled back at the end
  TQdfInTransStorage* storage_ = nullptr;         // owned by the transaction
};

// True for the names of the engine's own objects ("$ID", "IDX$Order",
// "REF$t1"), which the tool does not show unless asked.
bool IsInternalName(std::string_view name);

// The table `name` of the storage as a working instance (owned by the
// caller). Raises "no table '<name>' in <file>" when there is none.
std::unique_ptr<TQdfTable> OpenTable(TQdfInTransStorage& storage, const std::string& name,
                                     const std::string& file);

}  // namespace qdf::tool
