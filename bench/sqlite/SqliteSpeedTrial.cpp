// sqlite_speedtrial: the sixteen SpeedTrial tests run through SQLite's C API,
// for side-by-side comparison with SpeedTrial. It draws the same random
// numbers in the same order, prints the same test lines and, with --digest,
// the same digest lines, so the two programs' results can be compared row for
// row and their times test for test.
//
//   sqlite_speedtrial [scale] [--digest] [--sync=full|normal|off]
//                     [--journal=delete|wal|memory]
//
// The database is SpeedTrial.db beside the executable, removed before the run.
// Like SpeedTrial, one write transaction is always open; a commit ends it and
// begins the next, and every test's closing commit is inside its clock.
#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "Driver.h"
#include "NumberSpeller.h"
#include "platform/Directories.h"

namespace {

using speedtrial::NumberToWords;
using speedtrial::Random;
using speedtrial::StartTest;
using speedtrial::StopTest;

constexpr uint32_t kRandomRange = 999999;

struct TOptions {
  std::string sync = "full";
  std::string journal = "delete";
};

class TDb;

// One prepared statement; reset after each use so it can be bound again.
class TStmt {
 public:
  TStmt(TDb& db, const std::string& sql);
  ~TStmt() { sqlite3_finalize(stmt_); }
  TStmt(const TStmt&) = delete;
  TStmt& operator=(const TStmt&) = delete;

  TStmt& Bind(int index, int64_t value) {
    Check(sqlite3_bind_int64(stmt_, index, value));
    return *this;
  }
  TStmt& Bind(int index, const std::string& text) {
    Check(sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                            SQLITE_TRANSIENT));
    return *this;
  }
  // Steps once; true while a row is available.
  bool Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) Fail(rc);
    return false;
  }
  // Runs to the end and resets.
  void Run() {
    while (Step()) {
    }
    Reset();
  }
  void Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }

 private:
  void Check(int rc) {
    if (rc != SQLITE_OK) Fail(rc);
  }
  [[noreturn]] void Fail(int rc);

  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
  std::string sql_;
};

class TDb {
 public:
  explicit TDb(const std::string& file_name) {
    if (sqlite3_open(file_name.c_str(), &db_) != SQLITE_OK) {
      std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      throw std::runtime_error("cannot open " + file_name + ": " + message);
    }
  }
  ~TDb() { sqlite3_close(db_); }
  TDb(const TDb&) = delete;
  TDb& operator=(const TDb&) = delete;

  void Exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      std::string message = error ? error : "unknown error";
      sqlite3_free(error);
      throw std::runtime_error(sql + ": " + message);
    }
  }
  sqlite3* Handle() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

TStmt::TStmt(TDb& db, const std::string& sql) : db_(db.Handle()), sql_(sql) {
  const int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt_, nullptr);
  if (rc != SQLITE_OK) Fail(rc);
}

void TStmt::Fail(int rc) {
  throw std::runtime_error(sql_ + ": " + sqlite3_errmsg(db_) + " (" + std::to_string(rc) + ")");
}

// speedtrial_random(): the next draw of the benchmark's generator, so an
// UPDATE draws once per row it changes, in the order it changes them.
void RandomFunction(sqlite3_context* ctx, int, sqlite3_value**) {
  sqlite3_result_int64(ctx, Random(kRandomRange));
}

// speedtrial_words(n): n spelled out as SpeedTrial spells it.
void WordsFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
  const std::string words = NumberToWords(sqlite3_value_int(argv[0]));
  sqlite3_result_text(ctx, words.data(), static_cast<int>(words.size()), SQLITE_TRANSIENT);
}

class TSuite {
 public:
  TSuite(TDb& db, std::string file_name)
      : db_(db), file_name_(std::move(file_name)), commit_(db, "COMMIT"), begin_(db, "BEGIN") {}

  void Run();

 private:
  void Commit() {
    commit_.Run();
    begin_.Run();
  }
  bool Has(const std::string& table) {
    TStmt q(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
    q.Bind(1, table);
    return q.Step();
  }
  void AddRow(TStmt& insert, int64_t i) {
    const int64_t r = Random(kRandomRange);
    insert.Bind(1, i).Bind(2, r).Bind(3, NumberToWords(static_cast<int32_t>(r))).Run();
  }
  void Digest(const std::string& test, int64_t matches = -1, int64_t sum = 0);
  void InsertTest(const char* test, const char* table, const char* create, int64_t count,
                  bool commit_each);
  void QueryTest(const char* test, int count, const char* where,
                 const std::function<void(TStmt&, int)>& bind);
  void UpdateTest(const char* test, const char* table, int64_t count, const char* sql,
                  const std::function<void(TStmt&, int64_t)>& bind);
  void DeleteTest(const char* test, const char* where);

  TDb& db_;
  std::string file_name_;
  TStmt commit_;
  TStmt begin_;
};

void TSuite::Digest(const std::string& test, int64_t matches, int64_t sum) {
  if (!speedtrial::DigestRequested()) return;
  std::string line = "digest " + test + ":";
  if (matches >= 0) line += " matches=" + std::to_string(matches) + " sum=" + std::to_string(sum);
  for (const char* name : {"t1", "t2", "t3"}) {
    if (!Has(name)) continue;
    TStmt q(db_, std::string("SELECT count(*), coalesce(sum(a), 0), coalesce(sum(b), 0), "
                             "coalesce(sum(length(c)), 0) FROM ") +
                     name);
    q.Step();
    line += " " + std::string(name) + "=" + std::to_string(q.Int(0)) + "," +
            std::to_string(q.Int(1)) + "," + std::to_string(q.Int(2)) + "," +
            std::to_string(q.Int(3));
  }
  std::cout << line << '\n' << std::flush;
  // The rollback journal or write-ahead log is part of what the database holds.
  speedtrial::ReportFileSize(test, {file_name_, file_name_ + "-journal", file_name_ + "-wal"});
}

void TSuite::InsertTest(const char* test, const char* table, const char* create, int64_t count,
                        bool commit_each) {
  if (!Has(table)) db_.Exec(create);
  Commit();
  TStmt insert(db_, std::string("INSERT INTO ") + table + " (a, b, c) VALUES (?, ?, ?)");
  StartTest(test, count);
  for (int64_t i = 1; i <= count; ++i) {
    AddRow(insert, i);
    if (commit_each) Commit();
  }
  if (!commit_each) Commit();
  StopTest();
  Digest(test);
}

// Tests 4, 5 and 7: count and sum of b over each range or pattern.
void TSuite::QueryTest(const char* test, int count, const char* where,
                       const std::function<void(TStmt&, int)>& bind) {
  if (!Has("t2")) return;
  Commit();
  TStmt q(db_, std::string("SELECT count(*), coalesce(sum(b), 0) FROM t2 WHERE ") + where);
  int64_t matches = 0, sum = 0;
  StartTest(test, count);
  for (int i = 1; i <= count; ++i) {
    bind(q, i);
    q.Step();
    matches += q.Int(0);
    sum += q.Int(1);
    q.Reset();
  }
  Commit();
  StopTest();
  Digest(test, matches, sum);
}

void TSuite::UpdateTest(const char* test, const char* table, int64_t count, const char* sql,
                        const std::function<void(TStmt&, int64_t)>& bind) {
  if (!Has(table)) return;
  Commit();
  TStmt update(db_, sql);
  StartTest(test, count);
  for (int64_t i = 1; i <= count; ++i) {
    bind(update, i);
    update.Run();
  }
  Commit();
  StopTest();
  Digest(test);
}

void TSuite::DeleteTest(const char* test, const char* where) {
  Commit();
  TStmt del(db_, std::string("DELETE FROM t2 WHERE ") + where);
  StartTest(test, 0);
  del.Run();
  Commit();
  StopTest();
  Digest(test);
}

void TSuite::Run() {
  const int64_t scale = speedtrial::Scale();
  InsertTest("Test 1", "t1", "CREATE TABLE t1 (a INTEGER, b INTEGER, c VARCHAR(100))", 1000 * scale,
             true);
  InsertTest("Test 2", "t2", "CREATE TABLE t2 (a INTEGER, b INTEGER, c VARCHAR(100))",
             25000 * scale, false);
  InsertTest("Test 3", "t3",
             "CREATE TABLE t3 (a INTEGER, b INTEGER, c VARCHAR(100)); CREATE INDEX i3 ON t3 (c)",
             25000 * scale, false);

  QueryTest("Test 4", 100, "b >= ? AND b <= ?",
            [](TStmt& q, int i) { q.Bind(1, (i - 1) * 100).Bind(2, i * 100 + 1000); });
  QueryTest("Test 5", 100, "c LIKE ?",
            [](TStmt& q, int i) { q.Bind(1, "%" + NumberToWords(i) + "%"); });

  Commit();
  StartTest("Test 6", 0);
  db_.Exec("CREATE INDEX i2a ON t2 (a); CREATE INDEX i2b ON t2 (b)");
  Commit();
  StopTest();
  Digest("Test 6");

  QueryTest("Test 7", 5000, "b >= ? AND b < ?", [](TStmt& q, int i) {
    const int lo = (i - 1) * 100;
    q.Bind(1, lo).Bind(2, lo + 100);
  });

  UpdateTest("Test 8", "t1", 1000, "UPDATE t1 SET b = b * 2 WHERE b >= ? AND b < ?",
             [](TStmt& u, int64_t i) {
               const int64_t lo = (i - 1) * 10;
               u.Bind(1, lo).Bind(2, lo + 10);
             });
  UpdateTest("Test 9", "t2", 25000 * scale, "UPDATE t2 SET b = speedtrial_random() WHERE a = ?",
             [](TStmt& u, int64_t i) { u.Bind(1, i); });
  UpdateTest("Test 10", "t2", 25000 * scale,
             "UPDATE t2 SET c = speedtrial_words(speedtrial_random()) WHERE a = ?",
             [](TStmt& u, int64_t i) { u.Bind(1, i); });

  Commit();
  StartTest("Test 11", 0);
  db_.Exec(
      "INSERT INTO t1 (a, b, c) SELECT b, a, c FROM t2; "
      "INSERT INTO t2 (a, b, c) SELECT b, a, c FROM t1");
  Commit();
  StopTest();
  Digest("Test 11");

  DeleteTest("Test 12", "c LIKE '%fifty%'");
  DeleteTest("Test 13", "a > 10 AND a < 20000");

  Commit();
  StartTest("Test 14", 0);
  db_.Exec("INSERT INTO t2 (a, b, c) SELECT a, b, c FROM t1");
  Commit();
  StopTest();
  Digest("Test 14");

  {
    Commit();
    const int64_t count = 12000 * scale;
    TStmt insert(db_, "INSERT INTO t1 (a, b, c) VALUES (?, ?, ?)");
    StartTest("Test 15", count);
    db_.Exec("DELETE FROM t1");
    for (int64_t i = 1; i <= count; ++i) AddRow(insert, i);
    Commit();
    StopTest();
  }
  Digest("Test 15");

  Commit();
  StartTest("Test 16", 0);
  for (const char* name : {"t1", "t2", "t3"}) {
    db_.Exec(std::string("DROP TABLE ") + name);
    speedtrial::WriteProgress(std::string(" ") + name + " ");
  }
  Commit();
  StopTest();
  Digest("Test 16");
}

bool TakeOption(std::string_view arg, std::string_view name, std::string* value,
                std::initializer_list<const char*> allowed) {
  if (arg.substr(0, name.size()) != name) return false;
  const std::string_view given = arg.substr(name.size());
  for (const char* a : allowed) {
    if (given == a) {
      *value = std::string(given);
      return true;
    }
  }
  throw std::runtime_error("unknown value in " + std::string(arg));
}

}  // namespace

int main(int argc, char** argv) {
  speedtrial::SetCommandLine(argc, argv);
  TOptions options;
  try {
    for (int i = 2; i < argc; ++i) {
      const std::string_view arg = argv[i];
      if (arg == "--digest") continue;
      if (TakeOption(arg, "--sync=", &options.sync, {"full", "normal", "off"})) continue;
      if (TakeOption(arg, "--journal=", &options.journal, {"delete", "wal", "memory"})) continue;
      throw std::runtime_error("unknown option " + std::string(arg) +
                               " (use --digest, --sync=full|normal|off, "
                               "--journal=delete|wal|memory)");
    }
  } catch (const std::exception& e) {
    std::cerr << e.what() << std::endl;
    return 2;
  }

  std::cout << "SpeedTrial Minnow Benchmark for SQLite " << sqlite3_libversion() << '\n'
            << "synchronous=" << options.sync << ", journal_mode=" << options.journal << '\n'
            << std::flush;

  const std::string file_name = qdf::AppDir() + "SpeedTrial.db";
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    std::remove((file_name + suffix).c_str());  // a missing file is fine
  }

  try {
    TDb db(file_name);
    db.Exec("PRAGMA synchronous = " + options.sync);
    db.Exec("PRAGMA journal_mode = " + options.journal);
    db.Exec("PRAGMA case_sensitive_like = ON");
    if (sqlite3_create_function(db.Handle(), "speedtrial_random", 0, SQLITE_UTF8, nullptr,
                                RandomFunction, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_create_function(db.Handle(), "speedtrial_words", 1,
                                SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, WordsFunction, nullptr,
                                nullptr) != SQLITE_OK) {
      throw std::runtime_error(std::string("cannot register functions: ") +
                               sqlite3_errmsg(db.Handle()));
    }
    db.Exec("BEGIN");
    TSuite suite(db, file_name);
    suite.Run();
    db.Exec("COMMIT");
  } catch (const std::exception& e) {
    std::cout << std::flush;
    std::cerr << e.what() << std::endl;
    return 1;
  }

  std::string line;
  std::getline(std::cin, line);
  return 0;
}
