// books_compare: an application workload on dbQuillon and on SQLite side by
// side. Both get the same 100,000 books (id, title, author, year) with a
// unique index on id and an index on (author, year) and default cache sizes;
// then each runs, a few times, the filter
//   year >= 1990 and author like "A%"
// counting the matches, reading the title of each, and updating the title of
// each. Prints the best and the first time of every step and the match
// counts (which must agree).
//
//   books_compare [--sync] [books] [repeats]
//
// Without --sync neither engine syncs its commits (SyncCommits off against
// synchronous=OFF); with it both run with their default durability
// (SyncCommits on against synchronous=FULL).
//
// The database files (books.qdf, books.db) go to the temporary directory and
// are removed at the end. SQLite runs with case_sensitive_like on, so that
// its LIKE means what ours means and may use the index.
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "db/InTransStorage.h"
#include "db/System.h"
#include "db/Transaction.h"
#include "file/LocalFiler.h"
#include "platform/Directories.h"
#include "platform/FileSystem.h"
#include "query/TableOp.h"
#include "record/Fields.h"
#include "record/ItemClass.h"
#include "table/Table.h"

namespace {

struct TBook {
  int id;
  std::string title;
  std::string author;
  int year;
};

// Authors: a capital and four to nine lower-case letters, 5,000 of them;
// titles: three to eight words.
std::vector<TBook> MakeBooks(int n) {
  std::mt19937 rng(1990);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  auto word = [&](int lo, int hi) {
    std::string w;
    const int len = pick(lo, hi);
    for (int i = 0; i < len; ++i) w += static_cast<char>('a' + pick(0, 25));
    return w;
  };
  std::vector<std::string> authors;
  for (int i = 0; i < 5000; ++i) {
    std::string a = word(4, 9);
    a[0] = static_cast<char>('A' + pick(0, 25));
    authors.push_back(a + " " + word(5, 10));
  }
  std::vector<TBook> books;
  for (int i = 1; i <= n; ++i) {
    std::string title;
    const int words = pick(3, 8);
    for (int w = 0; w < words; ++w) title += (w ? " " : "") + word(2, 10);
    books.push_back({i, title, authors[static_cast<size_t>(pick(0, 4999))], pick(1900, 2023)});
  }
  // Inserted in random order, as an application collects them.
  std::shuffle(books.begin(), books.end(), rng);
  return books;
}

double Seconds(const std::function<void()>& f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

struct TStep {
  std::string name;
  std::vector<double> times;
  int64_t matches = 0;
};

constexpr const char* kFilter = "year >= 1990 and (author like \"A%\")";

// ---- dbQuillon ----

std::vector<TStep> RunQuillon(const std::vector<TBook>& books, int repeats, const std::string& file,
                              bool sync) {
  qdf::TFileSystem::Native().Delete(file);
  auto tr = qdf::QdfSystem()->NewTransaction("BOOKS");
  qdf::TQdfInTransStorage* st = tr->OpenStorage("Books", false, file);
  if (auto* local = dynamic_cast<qdf::TQdfLocalFiler*>(st->Filer())) local->SetSyncCommits(sync);
  tr->SetActive(true);
  st->Execute(
      "create TQdfItemClass TBook (TQdfIntegerField id; TQdfCharField title; "
      "TQdfCharField author; TQdfIntegerField year;); create table books on TBook; "
      "create unique index by_id on books (id); create index by_author_year on books "
      "(author, year);");
  tr->CommitAndContinue();
  auto t = st->TableByName("books");
  qdf::TQdfItemClass* cls = t->ItemClass();
  auto* id = static_cast<qdf::TQdfIntegerField*>(cls->FieldByName("id"));
  qdf::TQdfField* title = cls->FieldByName("title");
  qdf::TQdfField* author = cls->FieldByName("author");
  auto* year = static_cast<qdf::TQdfIntegerField*>(cls->FieldByName("year"));
  for (const TBook& b : books) {
    t->Insert();
    id->SetAsInteger(b.id);
    title->SetAsString(b.title);
    author->SetAsString(b.author);
    year->SetAsInteger(b.year);
    t->Post();
  }
  tr->CommitAndContinue();

  std::vector<TStep> steps = {{"count", {}, 0}, {"read titles", {}, 0}, {"update titles", {}, 0}};
  for (int r = 0; r < repeats; ++r) {
    int64_t n = 0;
    qdf::TVisitNeeds count_needs;
    count_needs.reads_known = true;
    count_needs.ordered = false;
    steps[0].times.push_back(Seconds([&] {
      t->ForEachMatch(
          t->CompileFilter(kFilter), qdf::kOpDefault, [&](qdf::TQdfTable&, bool&) { ++n; }, nullptr,
          count_needs);
    }));
    steps[0].matches = n;
    n = 0;
    size_t length = 0;
    qdf::TVisitNeeds title_needs = count_needs;
    title_needs.reads = {title};
    steps[1].times.push_back(Seconds([&] {
      t->ForEachMatch(
          t->CompileFilter(kFilter), qdf::kOpDefault,
          [&](qdf::TQdfTable&, bool&) {
            ++n;
            length += title->GetAsString().size();
          },
          nullptr, title_needs);
    }));
    steps[1].matches = n;
    n = 0;
    steps[2].times.push_back(Seconds([&] {
      qdf::TQdfUpdateableFilterOp op(*t, qdf::kOpDefault | qdf::kOpAnyOrder, nullptr, nullptr,
                                     t->CompileFilter(kFilter));
      op.First();
      while (op.Next()) {
        t->Edit();
        title->SetAsString(title->GetAsString().substr(0, 60) + "!");
        t->Post();
        ++n;
      }
      tr->CommitAndContinue();
    }));
    steps[2].matches = n;
  }
  t.reset();
  return steps;
}

// ---- SQLite ----

void Check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
  }
}

void Exec(sqlite3* db, const char* sql) {
  Check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), db, sql);
}

std::vector<TStep> RunSqlite(const std::vector<TBook>& books, int repeats, const std::string& file,
                             bool sync) {
  std::remove(file.c_str());
  sqlite3* db = nullptr;
  Check(sqlite3_open(file.c_str(), &db), db, "open");
  Exec(db, sync ? "PRAGMA synchronous=FULL; PRAGMA case_sensitive_like=ON;"
                : "PRAGMA synchronous=OFF; PRAGMA case_sensitive_like=ON;");
  Exec(db,
       "CREATE TABLE books (id INTEGER, title TEXT, author TEXT, year INTEGER);"
       "CREATE UNIQUE INDEX by_id ON books (id);"
       "CREATE INDEX by_author_year ON books (author, year);");
  Exec(db, "BEGIN");
  sqlite3_stmt* ins = nullptr;
  Check(sqlite3_prepare_v2(db, "INSERT INTO books VALUES (?, ?, ?, ?)", -1, &ins, nullptr), db,
        "prepare");
  for (const TBook& b : books) {
    sqlite3_bind_int(ins, 1, b.id);
    sqlite3_bind_text(ins, 2, b.title.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(ins, 3, b.author.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(ins, 4, b.year);
    Check(sqlite3_step(ins), db, "insert");
    sqlite3_reset(ins);
  }
  sqlite3_finalize(ins);
  Exec(db, "COMMIT");
  const std::string where = " WHERE year >= 1990 AND author LIKE 'A%'";
  auto rows = [&](const std::string& sql, const std::function<void(sqlite3_stmt*)>& each) {
    sqlite3_stmt* s = nullptr;
    Check(sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr), db, "prepare");
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) each(s);
    Check(rc, db, "step");
    sqlite3_finalize(s);
  };
  std::vector<TStep> steps = {{"count", {}, 0}, {"read titles", {}, 0}, {"update titles", {}, 0}};
  for (int r = 0; r < repeats; ++r) {
    int64_t n = 0;
    steps[0].times.push_back(Seconds([&] {
      rows("SELECT count(*) FROM books" + where,
           [&](sqlite3_stmt* s) { n = sqlite3_column_int64(s, 0); });
    }));
    steps[0].matches = n;
    n = 0;
    size_t length = 0;
    steps[1].times.push_back(Seconds([&] {
      rows("SELECT title FROM books" + where, [&](sqlite3_stmt* s) {
        ++n;
        length += static_cast<size_t>(sqlite3_column_bytes(s, 0));
      });
    }));
    steps[1].matches = n;
    steps[2].times.push_back(Seconds([&] {
      Exec(db, "BEGIN");
      Exec(db, ("UPDATE books SET title = substr(title, 1, 60) || '!'" + where).c_str());
      steps[2].matches = sqlite3_changes(db);
      Exec(db, "COMMIT");
    }));
  }
  sqlite3_close(db);
  std::remove(file.c_str());
  return steps;
}

}  // namespace

int main(int argc, char** argv) {
  const bool sync = argc > 1 && std::string(argv[1]) == "--sync";
  if (sync) {
    --argc;
    ++argv;
  }
  const int n = argc > 1 ? std::atoi(argv[1]) : 100000;
  const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  try {
    const std::vector<TBook> books = MakeBooks(n);
    const std::string dir = qdf::TempDir();
    const std::string tag = std::to_string(::getpid());
    const std::string qdf_file = dir + "books-" + tag + ".qdf";
    const std::vector<TStep> ours = RunQuillon(books, repeats, qdf_file, sync);
    const std::vector<TStep> theirs = RunSqlite(books, repeats, dir + "books-" + tag + ".db", sync);
    qdf::TFileSystem::Native().Delete(qdf_file);
    std::printf(
        "%d books, filter %s, best of %d (first run in brackets), %s\n\n", n, kFilter, repeats,
        sync ? "SyncCommits=1 against synchronous=full" : "SyncCommits=0 against synchronous=off");
    std::printf("%-14s %20s %20s %7s  %s\n", "step", "dbQuillon s", "SQLite s", "ratio", "matches");
    bool agree = true;
    for (size_t i = 0; i < ours.size(); ++i) {
      const double a = *std::min_element(ours[i].times.begin(), ours[i].times.end());
      const double b = *std::min_element(theirs[i].times.begin(), theirs[i].times.end());
      std::printf("%-14s %9.4f (%8.4f) %9.4f (%8.4f) %7.2f  %lld / %lld\n", ours[i].name.c_str(), a,
                  ours[i].times[0], b, theirs[i].times[0], b > 0 ? a / b : 0.0,
                  static_cast<long long>(ours[i].matches),
                  static_cast<long long>(theirs[i].matches));
      agree = agree && ours[i].matches == theirs[i].matches;
    }
    return agree ? 0 : 1;
  } catch (const std::exception& e) {
    std::cerr << e.what() << std::endl;
    return 2;
  }
}
