// The objects behind the public handles (include/dbquillon/dbquillon.h).
//
// Ownership: a handle holds its impl by shared_ptr; a table impl holds its
// transaction impl, a query impl its table impl, so an impl never outlives
// what it points into. The engine objects are another matter: a
// transaction's working tables must be gone before it commits or rolls back
// (a table instance left over keeps classes of the old object tree, and the
// next start cannot read the structures again), and a prepared filter's
// operations hold the table. TransactionImpl::End therefore closes its
// tables, newest first, each closing its queries and walks first, and only
// then ends the engine transaction; a handle used afterwards finds its impl
// closed and raises Misuse.
//
// Locking: every public call runs under ApiLock(), the one lock around the
// engine (the query compiler, the system object and the cache pool are
// shared by the whole process).
#pragma once

#include <dbquillon/dbquillon.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/ItemAdr.h"
#include "base/QdfException.h"
#include "base/Variant.h"

namespace qdf {
class TQdfField;
class TQdfFilteredTableOp;
class TQdfIndex;
class TQdfInTransStorage;
class TQdfPreparedFilter;
class TQdfTable;
class TQdfTransaction;
class TQdfColumn;
}  // namespace qdf

namespace dbquillon::detail {

std::recursive_mutex& ApiLock();

// The public error for an engine exception.
Error Translate(const qdf::Exception& e);
// Runs `f` under the API lock, turning engine exceptions into Error.
template <typename F>
auto Guarded(F&& f) -> decltype(f());

[[noreturn]] void Fail(ErrorCode code, const std::string& message);
// Raises NotFound "<file>: no such file" for a missing file (the engine's
// filer would create it), Io when its status cannot be read.
void RequireFile(const std::string& file);
// The alias a Database of `file` registers its filer under: one per file,
// whatever name reaches it ("api:" and the absolute path).
std::string AliasOfFile(const std::string& file);

struct DatabaseImpl {
  std::string name;  // file name or alias
  std::string alias;
  std::string file;  // empty for an alias
  Options options;
  bool counted = false;  // entered in OpenCounts()
  // Closes the file's filer when it is the last Database of the file.
  ~DatabaseImpl();
};

// Open Database objects by alias: the filer goes with the last one.
std::map<std::string, int>& OpenCounts();

struct TransactionImpl {
  std::shared_ptr<DatabaseImpl> db;
  Transaction::Mode mode = Transaction::Mode::Read;
  std::unique_ptr<qdf::TQdfTransaction> engine;
  qdf::TQdfInTransStorage* storage = nullptr;
  bool active = false;
  // Tables opened, in opening order (by name, for OpenTable).
  std::vector<std::weak_ptr<TableImpl>> tables;

  ~TransactionImpl();
  // Raises Misuse once the transaction ended.
  void CheckActive() const;
  // Closes every table (newest first) and their queries.
  void CloseTables();
  // Closes the tables and ends the engine transaction: commit or roll back.
  void End(bool commit);
};

struct TableImpl {
  std::shared_ptr<TransactionImpl> tx;
  std::string name;
  std::unique_ptr<qdf::TQdfTable> table;  // null once closed
  bool editing = false;
  bool inserting = false;
  std::vector<std::weak_ptr<QueryImpl>> queries;
  std::vector<std::weak_ptr<WalkImpl>> walks;
  std::vector<std::weak_ptr<ExpressionImpl>> expressions;
  // Find: one prepared lookup per index and key count.
  std::map<std::pair<std::string, size_t>, std::shared_ptr<QueryImpl>> lookups;
  std::shared_ptr<QueryImpl> all_rows;

  ~TableImpl();
  void Close();
  // The engine table; raises Misuse when closed.
  qdf::TQdfTable& Live() const;
  void CheckWritable() const;
  // The field of a column, checking that the column belongs to this table.
  qdf::TQdfField* FieldOf(const ColumnRef& column) const;
  Column MakeColumn(qdf::TQdfField* field, int index) const;
  // Puts the table's cursor on the row at `position` (no edit may be open).
  void MoveTo(uint64_t position);
  qdf::TQdfIndex* IndexNamed(std::string_view name) const;
};

struct QueryImpl {
  std::shared_ptr<TableImpl> table;
  std::unique_ptr<qdf::TQdfPreparedFilter> filter;  // null once closed
  // Counts starts: a walk begun before the latest start is over.
  uint64_t runs = 0;
  ~QueryImpl();
  qdf::TQdfPreparedFilter& Live() const;
};

// A compiled expression over the table's record class.
struct ExpressionImpl {
  std::shared_ptr<TableImpl> table;
  std::unique_ptr<qdf::TQdfColumn> column;  // null once closed
  std::string name;
  qdf::TVariant scratch;  // the value, its buffer kept from row to row
  ~ExpressionImpl();
};

// One walk: through a query's operation, or along an index.
struct WalkImpl {
  std::shared_ptr<TableImpl> table;
  std::shared_ptr<QueryImpl> query;  // null for an index walk
  uint64_t run = 0;
  qdf::TQdfIndex* index = nullptr;
  std::vector<Value> from;
  qdf::TQdfFilteredTableOp* op = nullptr;  // a query's operation, after Start
  bool pending_first = false;              // an index walk stands on its first row
  bool closed = false;
  // Starts the walk again.
  void Start();
  // The next row's position; false at the end.
  bool Next(uint64_t* position);
};

// The public type of an engine field.
FieldType FieldTypeOf(qdf::TQdfField* field);

// The key fields of an index as the statement that made it names them
// ("DESC x" for a descending one), without the record reference that ends
// the keys of a non-unique index.
std::vector<std::string> KeyNames(qdf::TQdfIndex& index);

uint64_t PositionOf(const qdf::TItemAdr& adr);
qdf::TItemAdr AddressOf(uint64_t position);

// ---- Guarded ----

template <typename F>
auto Guarded(F&& f) -> decltype(f()) {
  std::lock_guard<std::recursive_mutex> lock(ApiLock());
  try {
    return f();
  } catch (const Error&) {
    throw;
  } catch (const qdf::Exception& e) {
    throw Translate(e);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    throw Error(ErrorCode::Internal, e.what());
  }
}

}  // namespace dbquillon::detail
