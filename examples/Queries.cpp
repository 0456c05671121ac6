// Queries: a filter with parameters compiled once, run with new values;
// counts, sums, lookups by key and walks in key order.
#include <dbquillon/dbquillon.h>

#include <cstdio>
#include <string>

int main() {
  std::remove("queries.qdf");
  dbquillon::Database db("queries.qdf");
  dbquillon::Transaction t = db.BeginWrite();
  t.Execute(
      "create TQdfItemClass TBook (TQdfIntegerField id; TQdfCharField author; "
      "TQdfIntegerField year); create table books on TBook;"
      "create unique index by_id on books (id);"
      "create index by_author_year on books (author, year)");
  dbquillon::Table books = t.OpenTable("books");
  const char* authors[] = {"Ann", "Bob", "Cid"};
  for (int i = 1; i <= 30; ++i) {
    books.Insert().Set("id", i).Set("author", authors[i % 3]).Set("year", 1990 + i).Post();
  }

  dbquillon::Query q = books.Prepare("author = :a and year >= :from");
  for (const char* a : {"Ann", "Bob"}) {
    q.Bind("a", a).Bind("from", 2010);
    std::printf("%s since 2010: %lld books, years add up to %lld:", a,
                static_cast<long long>(q.Count()), static_cast<long long>(q.Sum("year")));
    for (const dbquillon::Row& row : q) std::printf(" %lld", (long long)row.GetInt64("year"));
    std::printf("\n");
  }

  std::optional<dbquillon::Row> b = books.Find("by_id", 7);
  std::printf("book 7 is by %s\n", b->GetString("author").c_str());
  std::printf("from Cid 2015 on:");
  int shown = 0;
  for (const dbquillon::Row& row : books.Walk("by_author_year", {"Cid", 2015})) {
    if (++shown > 4) break;
    std::printf(" %s/%lld", row.GetString("author").c_str(), (long long)row.GetInt64("year"));
  }
  std::printf("\n");
  t.Commit();
  return 0;
}
