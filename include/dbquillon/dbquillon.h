// dbQuillon: the public C++ API of the embedded object database.
//
//   #include <dbquillon/dbquillon.h>
//
//   dbquillon::Database db("books.qdf");
//   dbquillon::Transaction t = db.BeginWrite();
//   t.Execute("create TQdfItemClass TBook (TQdfIntegerField id; TQdfCharField title);"
//             "create table books on TBook; create unique index by_id on books (id)");
//   dbquillon::Table books = t.OpenTable("books");
//   books.Insert().Set("id", 1).Set("title", "Dune").Post();
//   t.Commit();
//
// Types, from the outside in: a Database names a file (or an alias of the
// configuration) and the options it is opened with; a Transaction is a read
// snapshot or the one write transaction of the file; a Table, its Rows,
// Columns, Edits and Queries live as long as the transaction that handed
// them out, and raise Error(Misuse) when used after it ended.
//
// Threads. A Database may be shared by any number of threads; each thread
// begins transactions of its own. A Transaction and everything it handed
// out are used by one thread at a time (moving them to another thread is
// fine). Every call takes one process-wide lock around the engine, so calls
// from different threads never run inside the engine at the same time; a
// long walk yields it between rows. A read transaction sees the file as it
// was committed when the transaction began, however many commits writers
// make meanwhile, until it ends. One write transaction per file at a time:
// a second one raises Error(Busy) at once, it never waits.
//
// Errors: every failure raises dbquillon::Error, a std::runtime_error whose
// what() is the engine's message and whose code() tells what went wrong.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace dbquillon {

namespace detail {
struct DatabaseImpl;
struct TransactionImpl;
struct TableImpl;
struct QueryImpl;
struct WalkImpl;
struct ExpressionImpl;
}  // namespace detail

// ---- errors -------------------------------------------------------------

enum class ErrorCode {
  DuplicateKey,  // a unique index already holds the key; nothing was written
  Busy,          // another write transaction holds the file
  NotFound,      // no such file, table, column, index or parameter
  ReadOnly,      // a change through a read transaction or a read-only database
  Syntax,        // a statement or filter the language does not accept
  Type,          // a value of the wrong type for the column or parameter
  Range,         // a value outside what the column can hold
  Io,            // the operating system refused a file operation
  Damaged,       // the file does not hold what a sound database holds
  Constraint,    // a schema change other objects forbid (drop a used class)
  Misuse,        // a handle used after its transaction ended, or out of order
  Internal,      // any other engine error
};

// The code's name ("DuplicateKey", ...).
const char* ToString(ErrorCode code);

class Error : public std::runtime_error {
 public:
  Error(ErrorCode code, const std::string& message, int help_context = 0)
      : std::runtime_error(message), code_(code), help_context_(help_context) {}
  ErrorCode code() const noexcept { return code_; }
  // The engine's help context of the message (0 when it has none).
  int helpContext() const noexcept { return help_context_; }

 private:
  ErrorCode code_;
  int help_context_;
};

// ---- opening ------------------------------------------------------------

struct Options {
  // Size of the process-wide page cache, in pages (8 KB) or in bytes; 0
  // keeps the current size (the configuration's, 512 pages by default).
  // The cache is shared by every open database of the process.
  int64_t cachePages = 0;
  int64_t cacheBytes = 0;
  // Sync the file at every commit (a commit then survives a power loss);
  // without it a commit survives a crash of the process only.
  bool syncCommits = true;
  // Only read transactions; BeginWrite raises Error(ReadOnly).
  bool readOnly = false;
  // A missing file is created (with an empty database); without it a
  // missing file raises Error(NotFound).
  bool createIfMissing = true;
};

// ---- files --------------------------------------------------------------

// The figures of a database file, as its check counts them.
struct FileFigures {
  int64_t fileSize = 0;  // bytes
  uint32_t majorVersion = 0;
  uint32_t minorVersion = 0;
  uint32_t transaction = 0;  // the last committed transaction
  uint32_t previousTransaction = 0;
  int64_t highWater = 0;      // end of the highest byte ever written or freed
  int64_t allocationEnd = 0;  // end of the allocated space, in bytes
  uint32_t nextPage = 0;      // the next page number to hand out
  int64_t pages = 0;          // pages with a stored copy
  int64_t compressedPages = 0;
  int64_t tableBlocks = 0;  // page-table blocks
  int64_t storedBytes = 0;  // bytes in the blocks of pages and page tables
  int64_t freeBlocks = 0;
  int64_t freeBytes = 0;
  // Counts of the object tree, the engine's own objects included.
  int64_t objects = 0;
  int64_t classes = 0;
  int64_t tables = 0;
  int64_t indexes = 0;
  int64_t records = 0;
};

struct CheckReport {
  // One line per problem, at most 1000 (a last line then says the rest was
  // left out); empty for a sound file.
  std::vector<std::string> problems;
  int64_t found = 0;  // problems found, the ones not listed too
  FileFigures figures;
  bool sound() const { return found == 0; }
};

// Checks the database file `file` through and through: its blocks, pages,
// free space, object tree, tables, indexes and blobs. Reads the file only;
// a Database of it may be open meanwhile (the check sees its last commit).
// Raises NotFound for a missing file and Damaged when the file is no
// database at all; every other problem is a line of the report.
CheckReport CheckFile(const std::string& file);

struct CompactResult {
  bool compacted = false;  // false: the copy would not be smaller, the file stays
  int64_t pages = 0;       // pages copied
  int64_t sizeBefore = 0;  // bytes
  int64_t sizeAfter = 0;
};

// Rewrites the live pages of the database file `file` into a fresh file
// beside it (`file`.compact), checks the copy, syncs it and renames it over
// `file` (the folder is synced too). The old file is never written: any
// failure leaves it as it was and removes the copy. Raises Busy while a
// writer holds the file (in any process), a reader in another process has
// it open, or a Database of this process has it open; Damaged for a file
// that fails its check; Io when `file`.compact exists already (another
// compact runs, or one was interrupted).
CompactResult CompactFile(const std::string& file);

// ---- expressions ----------------------------------------------------------

struct Evaluation {
  std::string type;  // the expression's type: "INTEGER", "DOUBLE", "PCHAR", ...
  std::string text;  // its value as text; a double always shows a point ("3.0")
};

// Compiles `expression` (docs/filters.md, without fields: literals,
// operators and functions) and evaluates it once. Raises Syntax.
Evaluation Evaluate(std::string_view expression);

class Transaction;

class Database {
 public:
  // Opens the database file `file` with `options`. Raises NotFound (missing
  // file without createIfMissing), Io, Damaged (not a database file).
  explicit Database(const std::string& file, const Options& options = {});
  // The database named by `alias` in the configuration (quillon.ini
  // [ALIAS]). Raises NotFound when the alias names nothing.
  static Database OpenAlias(const std::string& alias, const Options& options = {});
  // Closes the file once no transaction of it is left.
  ~Database();
  Database(Database&&) noexcept;
  Database& operator=(Database&&) noexcept;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // A read transaction: a snapshot of the last commit.
  Transaction BeginRead();
  // The write transaction of the file. Raises Busy while another one runs,
  // ReadOnly for a read-only database.
  Transaction BeginWrite();

  // The file name (or the alias).
  const std::string& name() const;
  // Checks the committed file through and through; returns one line per
  // problem found, nothing for a sound file.
  std::vector<std::string> Check();

 private:
  explicit Database(std::shared_ptr<detail::DatabaseImpl> impl);
  std::shared_ptr<detail::DatabaseImpl> impl_;
};

// ---- schema -------------------------------------------------------------

enum class FieldType { Integer, Float, DateTime, Boolean, Text, Bytes, ObjectID, Reference, Blob };

// The statement-language name of the type ("TQdfIntegerField", ...).
const char* ToString(FieldType type);

struct FieldInfo {
  std::string name;
  FieldType type;
  // The field's class in the statement language ("TQdfCharField"); finer
  // than `type` (several classes of field are Bytes).
  std::string typeName;
  bool inherited = false;  // declared by a base class
};

struct ClassInfo {
  std::string name;
  std::string base;               // the class it derives from; empty for none
  std::vector<FieldInfo> fields;  // inherited ones first
};

struct IndexInfo {
  std::string name;
  std::vector<std::string> keys;  // key fields in key order; "DESC x" runs descending
  bool unique = false;
  // Where the index lives when that is not under its table: its path from
  // the top of the database ("a.b.idx"); empty for an index under its table.
  std::string path;
};

struct TableInfo {
  std::string name;
  std::string className;
  // The record class as the table names it: its name, or "Base.Sub" for a
  // class derived from another.
  std::string classPath;
  std::vector<IndexInfo> indexes;
};

// Classes, tables and indexes in the order they were made (derived classes
// follow their base).
struct Schema {
  std::vector<ClassInfo> classes;
  std::vector<TableInfo> tables;
  // Indexes of no table of the list (the object-ID index, when the
  // engine's own objects are asked for), each with its path.
  std::vector<IndexInfo> otherIndexes;
};

// ---- values and columns ---------------------------------------------------

class Table;
class Row;

// A column of a table, looked up once (Table::column) and used for every
// row: no name lookup per access.
class Column {
 public:
  Column() = default;
  const std::string& name() const { return name_; }
  FieldType type() const { return type_; }
  bool valid() const { return table_ != nullptr; }

 private:
  friend class Table;
  friend struct detail::TableImpl;
  const detail::TableImpl* table_ = nullptr;
  int index_ = -1;
  std::string name_;
  FieldType type_ = FieldType::Integer;
};

// A column given by handle or by name, wherever a column is asked for.
class ColumnRef {
 public:
  ColumnRef(const Column& column) : column_(&column) {}  // NOLINT: implicit by design
  ColumnRef(std::string_view name) : name_(name) {}      // NOLINT
  ColumnRef(const char* name) : name_(name) {}           // NOLINT
  ColumnRef(const std::string& name) : name_(name) {}    // NOLINT
  const Column* column() const { return column_; }
  std::string_view name() const { return name_; }

 private:
  const Column* column_ = nullptr;
  std::string_view name_;
};

// A key or parameter value: integer, double, text or boolean.
class Value {
 public:
  enum class Kind { Integer, Double, Text, Boolean };
  Value(int v) : kind_(Kind::Integer), integer_(v) {}               // NOLINT
  Value(long v) : kind_(Kind::Integer), integer_(v) {}              // NOLINT
  Value(long long v) : kind_(Kind::Integer), integer_(v) {}         // NOLINT
  Value(double v) : kind_(Kind::Double), double_(v) {}              // NOLINT
  Value(bool v) : kind_(Kind::Boolean), integer_(v ? 1 : 0) {}      // NOLINT
  Value(std::string v) : kind_(Kind::Text), text_(std::move(v)) {}  // NOLINT
  Value(std::string_view v) : kind_(Kind::Text), text_(v) {}        // NOLINT
  Value(const char* v) : kind_(Kind::Text), text_(v) {}             // NOLINT
  Kind kind() const { return kind_; }
  int64_t integer() const { return integer_; }
  double dbl() const { return double_; }
  const std::string& text() const { return text_; }

 private:
  Kind kind_;
  int64_t integer_ = 0;
  double double_ = 0;
  std::string text_;
};

// ---- rows ---------------------------------------------------------------

class Edit;

// A record of a table. Reading a column raises Type for a column of another
// type and NotFound for an unknown name; a null value reads as 0, 0.0,
// false or the empty text (IsNull tells).
class Row {
 public:
  bool IsNull(ColumnRef column) const;
  // Integer, object-ID and reference columns.
  int64_t GetInt64(ColumnRef column) const;
  // Float and date-time columns (days since 1899-12-30, time as the fraction).
  double GetDouble(ColumnRef column) const;
  // Text columns; blob columns give their bytes.
  std::string GetString(ColumnRef column) const;
  bool GetBool(ColumnRef column) const;
  // Any column as text (its value as the statement language writes it).
  std::string GetText(ColumnRef column) const;
  // The same into `out`, whose buffer is reused: a walk that reads every
  // row this way allocates nothing per row once the buffer is large enough.
  void GetText(ColumnRef column, std::string& out) const;
  // Get<int64_t>, Get<int>, Get<double>, Get<std::string>, Get<bool>.
  template <typename T>
  T Get(ColumnRef column) const;

  // The bytes of a blob column (empty for none), whole or into a stream.
  std::string ReadBlob(ColumnRef column) const;
  void ReadBlob(ColumnRef column, std::ostream& out) const;
  int64_t BlobSize(ColumnRef column) const;

  // Starts changing this row (see Edit). Raises ReadOnly in a read
  // transaction, Misuse while another edit of the table is open.
  Edit Update() const;
  // Deletes the row with its index keys and blobs. Raises ReadOnly.
  void Delete() const;

 private:
  friend class Table;
  friend class Edit;
  friend class Rows;
  friend class Expression;
  friend struct detail::TableImpl;
  friend struct detail::WalkImpl;
  Row(std::shared_ptr<detail::TableImpl> table, uint64_t position)
      : table_(std::move(table)), position_(position) {}
  std::shared_ptr<detail::TableImpl> table_;
  uint64_t position_ = 0;
};

template <>
int64_t Row::Get<int64_t>(ColumnRef column) const;
template <>
int Row::Get<int>(ColumnRef column) const;
template <>
double Row::Get<double>(ColumnRef column) const;
template <>
std::string Row::Get<std::string>(ColumnRef column) const;
template <>
bool Row::Get<bool>(ColumnRef column) const;

// A new row being filled (Table::Insert) or a row being changed
// (Row::Update). Setters check the column's type before they touch the
// value: a wrong type raises Type, a value the column cannot hold Range,
// and nothing is written. Post writes the row and closes the edit; when it
// fails (DuplicateKey: a unique index has the key) nothing is written and
// the edit is closed too. An edit destroyed without Post is dropped.
class Edit {
 public:
  ~Edit();
  Edit(Edit&&) noexcept;
  Edit& operator=(Edit&&) = delete;
  Edit(const Edit&) = delete;
  Edit& operator=(const Edit&) = delete;

  Edit& SetInt64(ColumnRef column, int64_t value);
  Edit& SetDouble(ColumnRef column, double value);
  // Text columns; a blob column takes the bytes as its blob.
  Edit& SetString(ColumnRef column, std::string_view value);
  Edit& SetBool(ColumnRef column, bool value);
  Edit& SetNull(ColumnRef column);
  // Any column from text, converted as the statement language converts it
  // (Type when the text is no value of the column's type).
  Edit& SetText(ColumnRef column, std::string_view text);
  // By the value's kind: Integer to SetInt64, Double to SetDouble, Text to
  // SetString, Boolean to SetBool.
  Edit& Set(ColumnRef column, const Value& value);
  // A blob column's bytes, whole or read from a stream up to its end.
  Edit& WriteBlob(ColumnRef column, std::string_view bytes);
  Edit& WriteBlob(ColumnRef column, std::istream& in);

  // Writes the row; returns it. The edit is closed afterwards.
  Row Post();
  // Drops the edit.
  void Cancel();

 private:
  friend class Table;
  friend class Row;
  explicit Edit(std::shared_ptr<detail::TableImpl> table) : table_(std::move(table)) {}
  std::shared_ptr<detail::TableImpl> table_;
};

// ---- walks --------------------------------------------------------------

// Rows one after the other, for a range-for. Only one walk of a query (or
// of an index) runs at a time: starting it again ends the earlier one,
// whose iterator then raises Misuse. Rows may be updated or deleted during
// a walk of a query or of the table; an index walk (Table::Walk) follows
// the index, so a row whose key changes may come again or be skipped.
class Rows {
 public:
  class iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = Row;
    using difference_type = std::ptrdiff_t;
    using pointer = const Row*;
    using reference = const Row&;
    iterator() = default;
    const Row& operator*() const { return *row_; }
    const Row* operator->() const { return &*row_; }
    iterator& operator++();
    bool operator==(const iterator& other) const { return !row_ == !other.row_; }
    bool operator!=(const iterator& other) const { return !(*this == other); }

   private:
    friend class Rows;
    std::shared_ptr<detail::WalkImpl> walk_;
    std::optional<Row> row_;
  };
  // Starts the walk (again).
  iterator begin();
  iterator end() { return iterator(); }

 private:
  friend class Table;
  friend class Query;
  explicit Rows(std::shared_ptr<detail::WalkImpl> walk) : walk_(std::move(walk)) {}
  std::shared_ptr<detail::WalkImpl> walk_;
};

// A filter prepared once and run many times (Table::Prepare). Parameters
// ":name" of the text take their values from Bind; binding compiles
// nothing, it only changes the value the filter reads, and an index whose
// key the filter bounds is walked over the bound range. A parameter keeps
// its value until bound again; its type is the type of its first value
// (binding a value of another type compiles the filter again).
class Query {
 public:
  // Raises NotFound for a name the filter does not have, Range for an
  // integer outside 32 bits, Type for a boolean. On a temporary query it
  // returns the query itself, so that a range-for over
  // `table.Prepare(...).Bind(...)` keeps it alive for the loop.
  Query& Bind(std::string_view name, const Value& value) &;
  Query Bind(std::string_view name, const Value& value) &&;
  // The matching rows, in the order of the index the filter uses (file
  // order without one). Raises Misuse while a parameter is unbound.
  Rows rows();
  Rows::iterator begin() { return rows().begin(); }
  Rows::iterator end() { return Rows::iterator(); }
  // The number of matching rows.
  int64_t Count();
  // The sum of an integer column over the matching rows (nulls count as 0);
  // Type for another column.
  int64_t Sum(ColumnRef column);
  // The sum of a float column.
  double SumDouble(ColumnRef column);
  // The first matching row, if any.
  std::optional<Row> First();

 private:
  friend class Table;
  explicit Query(std::shared_ptr<detail::QueryImpl> impl) : impl_(std::move(impl)) {}
  std::shared_ptr<detail::QueryImpl> impl_;
};

// ---- expressions over rows ----------------------------------------------

// An expression of the filter language over the columns of a table,
// compiled once and computed for any row of it (Table::PrepareExpression):
// "price * 2", "Upper(title) AS shout".
class Expression {
 public:
  // The expression's name: the name after AS, else the name it was given.
  const std::string& name() const;
  // The value on `row` as text, into `out` (its buffer reused). An
  // expression over a null value is null, the empty text. Raises Type when
  // the value cannot be computed on this row (a conversion that fails).
  void Text(const Row& row, std::string& out);
  std::string Text(const Row& row);

 private:
  friend class Table;
  explicit Expression(std::shared_ptr<detail::ExpressionImpl> impl) : impl_(std::move(impl)) {}
  std::shared_ptr<detail::ExpressionImpl> impl_;
};

// ---- tables -------------------------------------------------------------

class Table {
 public:
  const std::string& name() const;
  // The column of that name (NotFound when the record class has none).
  Column column(std::string_view name) const;
  std::vector<Column> columns() const;

  // Starts a new row. Raises ReadOnly in a read transaction, Misuse while
  // another edit of the table is open.
  Edit Insert();
  // Every row, in file order.
  Rows rows();
  int64_t Count();
  // Compiles `filter` (docs/filters.md) for this table. Raises Syntax for a
  // filter the language does not accept, also when it has parameters: a
  // filter that no kind of value for them would compile is refused here,
  // not at its first run.
  Query Prepare(std::string_view filter);
  // Compiles `expression` ("expr" or "expr AS name") over the columns of
  // this table; `defaultName` names it when it has no AS. Raises Syntax for
  // text the language does not accept and Type for an expression whose
  // value has no text form (an object ID, say).
  Expression PrepareExpression(std::string_view expression, std::string_view defaultName = {});
  // The first row whose key in `index` starts with `keys` (a prefix of the
  // index's key fields), if any. Raises NotFound for an unknown index,
  // Misuse for more keys than key fields, Type for a key of the wrong type.
  template <typename... K>
  std::optional<Row> Find(std::string_view index, const K&... keys) {
    return FindKey(index, std::vector<Value>{Value(keys)...});
  }
  std::optional<Row> FindKey(std::string_view index, const std::vector<Value>& keys);
  // The rows in the key order of `index`, from the first key at or above
  // `from` (a prefix of the key fields; every row when empty).
  Rows Walk(std::string_view index, const std::vector<Value>& from = {});

 private:
  friend class Transaction;
  explicit Table(std::shared_ptr<detail::TableImpl> impl) : impl_(std::move(impl)) {}
  std::shared_ptr<detail::TableImpl> impl_;
};

// ---- transactions -------------------------------------------------------

class Transaction {
 public:
  enum class Mode { Read, Write };

  // Rolls back what was not committed.
  ~Transaction();
  Transaction(Transaction&&) noexcept;
  Transaction& operator=(Transaction&&) noexcept;
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  Mode mode() const;
  // False once committed or rolled back.
  bool active() const;

  // Makes the changes durable and ends the transaction (a read transaction
  // just ends). Every Table, Row, Edit and Query it handed out is closed.
  // On an error the transaction is rolled back and ended.
  void Commit();
  // Drops the changes and ends the transaction.
  void Rollback();

  // Runs statements of the statement language (docs/ddl.md): classes,
  // tables, indexes. Tables opened before are closed (open them again).
  // Raises Syntax, ReadOnly, and the statements' errors.
  void Execute(std::string_view statements);
  // The classes and tables of the database as this transaction sees it.
  // The engine's own objects (the object-ID index, the blob table and its
  // classes: names holding '$') are left out unless `withInternal`.
  Schema GetSchema(bool withInternal = false);
  // The table of that name (NotFound when there is none).
  Table OpenTable(std::string_view name);

 private:
  friend class Database;
  explicit Transaction(std::shared_ptr<detail::TransactionImpl> impl);
  std::shared_ptr<detail::TransactionImpl> impl_;
};

}  // namespace dbquillon
