// Makes a database in the folder given as the first argument, stores three
// books, reads them back in key order and prints "consumer: 3 books, ok".
#include <dbquillon/dbquillon.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: consumer FOLDER\n");
    return 2;
  }
  try {
    dbquillon::Database db(std::string(argv[1]) + "/consumer.qdf");
    {
      dbquillon::Transaction t = db.BeginWrite();
      t.Execute(
          "create TQdfItemClass TBook (TQdfIntegerField id; TQdfCharField title); "
          "create table books on TBook; create unique index by_id on books (id)");
      dbquillon::Table books = t.OpenTable("books");
      books.Insert().Set("id", 2).Set("title", "Solaris").Post();
      books.Insert().Set("id", 1).Set("title", "Dune").Post();
      books.Insert().Set("id", 3).Set("title", "Ubik").Post();
      t.Commit();
    }
    dbquillon::Transaction r = db.BeginRead();
    dbquillon::Table books = r.OpenTable("books");
    const int64_t n = books.Prepare("id >= :lo").Bind("lo", 1).Count();
    if (n != 3) {
      std::fprintf(stderr, "consumer: counted %lld books, not 3\n", static_cast<long long>(n));
      return 1;
    }
    std::printf("consumer: %lld books, ok\n", static_cast<long long>(n));
    return 0;
  } catch (const dbquillon::Error& e) {
    std::fprintf(stderr, "consumer: %s (%s)\n", e.what(), dbquillon::ToString(e.code()));
    return 1;
  }
}
