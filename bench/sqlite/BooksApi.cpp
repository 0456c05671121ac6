// books_api: the catalogue program on the public API. 100,000 books (id,
// title, author, year) with a unique index on id and an index on (author,
// year); a filter with parameters counted, read and updated; lookups by
// key; deletes; a reopen; a rolled-back transaction; a snapshot reader
// while a writer commits. Prints the time of each step (the workload of
// books_compare's dbQuillon side, plus the rest of the catalogue).
//
//   books_api [books] [file]
#include <dbquillon/dbquillon.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Book {
  int id;
  std::string title, author;
  int year;
};

std::vector<Book> MakeBooks(int n) {
  std::mt19937 rng(1990);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  auto word = [&](int lo, int hi) {
    std::string w(static_cast<size_t>(pick(lo, hi)), 'a');
    for (char& c : w) c = static_cast<char>('a' + pick(0, 25));
    return w;
  };
  std::vector<std::string> authors;
  for (int i = 0; i < 5000; ++i) {
    std::string a = word(4, 9);
    a[0] = static_cast<char>('A' + pick(0, 25));
    authors.push_back(a + " " + word(5, 10));
  }
  std::vector<Book> books;
  for (int i = 1; i <= n; ++i) {
    std::string title = word(2, 10);
    for (int w = pick(2, 7); w > 0; --w) title += " " + word(2, 10);
    books.push_back({i, title, authors[static_cast<size_t>(pick(0, 4999))], pick(1900, 2023)});
  }
  std::shuffle(books.begin(), books.end(), rng);
  return books;
}

template <typename F>
void Step(const char* name, F&& f) {
  const auto t0 = std::chrono::steady_clock::now();
  const long long result = f();
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("%-16s %9.4f s  %lld\n", name, s, result);
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 100000;
  const std::string file = argc > 2 ? argv[2] : "books-api.qdf";
  std::remove(file.c_str());
  const std::vector<Book> books = MakeBooks(n);
  try {
    dbquillon::Options options;
    options.syncCommits = false;
    auto db = std::make_unique<dbquillon::Database>(file, options);
    Step("insert", [&] {
      dbquillon::Transaction t = db->BeginWrite();
      t.Execute(
          "create TQdfItemClass TBook (TQdfIntegerField id; TQdfCharField title; "
          "TQdfCharField author; TQdfIntegerField year); create table books on TBook; "
          "create unique index by_id on books (id); "
          "create index by_author_year on books (author, year)");
      dbquillon::Table table = t.OpenTable("books");
      const dbquillon::Column id = table.column("id"), title = table.column("title"),
                              author = table.column("author"), year = table.column("year");
      for (const Book& b : books) {
        table.Insert()
            .Set(id, b.id)
            .Set(title, b.title)
            .Set(author, b.author)
            .Set(year, b.year)
            .Post();
      }
      t.Commit();
      return static_cast<long long>(books.size());
    });
    const char* filter = "year >= :from and (author like 'A%')";
    Step("count", [&] {
      dbquillon::Transaction t = db->BeginRead();
      return static_cast<long long>(
          t.OpenTable("books").Prepare(filter).Bind("from", 1990).Count());
    });
    Step("read titles", [&] {
      dbquillon::Transaction t = db->BeginRead();
      dbquillon::Table table = t.OpenTable("books");
      const dbquillon::Column title = table.column("title");
      long long length = 0;
      for (const dbquillon::Row& r : table.Prepare(filter).Bind("from", 1990)) {
        length += static_cast<long long>(r.GetString(title).size());
      }
      return length;
    });
    Step("update titles", [&] {
      dbquillon::Transaction t = db->BeginWrite();
      dbquillon::Table table = t.OpenTable("books");
      const dbquillon::Column title = table.column("title");
      long long changed = 0;
      for (const dbquillon::Row& r : table.Prepare(filter).Bind("from", 1990)) {
        r.Update().SetString(title, r.GetString(title).substr(0, 60) + "!").Post();
        ++changed;
      }
      t.Commit();
      return changed;
    });
    Step("find 10000 ids", [&] {
      dbquillon::Transaction t = db->BeginRead();
      dbquillon::Table table = t.OpenTable("books");
      long long found = 0;
      for (int i = 1; i <= 10000; ++i) found += table.Find("by_id", i * 7 % n + 1) ? 1 : 0;
      return found;
    });
    Step("delete 1/10", [&] {
      dbquillon::Transaction t = db->BeginWrite();
      dbquillon::Table table = t.OpenTable("books");
      long long deleted = 0;
      for (const dbquillon::Row& r : table.Prepare("id < :n").Bind("n", n / 10 + 1)) {
        r.Delete();
        ++deleted;
      }
      t.Commit();
      return deleted;
    });
    Step("reopen + count", [&] {
      db = std::make_unique<dbquillon::Database>(file, options);
      dbquillon::Transaction t = db->BeginRead();
      return static_cast<long long>(t.OpenTable("books").Count());
    });
    Step("rollback", [&] {
      dbquillon::Transaction t = db->BeginWrite();
      dbquillon::Table table = t.OpenTable("books");
      for (const dbquillon::Row& r : table.rows()) r.Delete();
      t.Rollback();
      dbquillon::Transaction check = db->BeginRead();
      return static_cast<long long>(check.OpenTable("books").Count());
    });
    Step("snapshot", [&] {
      dbquillon::Transaction reader = db->BeginRead();
      dbquillon::Table seen = reader.OpenTable("books");
      const long long before = seen.Count();
      std::thread writer([&] {
        dbquillon::Transaction t = db->BeginWrite();
        dbquillon::Table table = t.OpenTable("books");
        for (int i = 0; i < 1000; ++i) table.Insert().Set("id", n + 1 + i).Set("year", 2024).Post();
        t.Commit();
      });
      writer.join();
      return seen.Count() - before;  // 0: the snapshot stands
    });
    db.reset();
    std::remove(file.c_str());
    return 0;
  } catch (const dbquillon::Error& e) {
    std::fprintf(stderr, "%s: %s\n", dbquillon::ToString(e.code()), e.what());
    return 1;
  }
}
