// Transactions and snapshots: a rollback drops changes; a read transaction
// keeps seeing the commit it began on while a writer on another thread
// commits more.
#include <dbquillon/dbquillon.h>

#include <cstdio>
#include <thread>

int main() {
  std::remove("snapshots.qdf");
  dbquillon::Database db("snapshots.qdf");
  {
    dbquillon::Transaction t = db.BeginWrite();
    t.Execute("create TQdfItemClass TItem (TQdfIntegerField n); create table items on TItem");
    dbquillon::Table items = t.OpenTable("items");
    for (int i = 0; i < 10; ++i) items.Insert().Set("n", i).Post();
    t.Commit();
  }
  {
    dbquillon::Transaction t = db.BeginWrite();
    t.OpenTable("items").Insert().Set("n", 99).Post();
  }  // not committed: rolled back here

  dbquillon::Transaction reader = db.BeginRead();
  dbquillon::Table seen = reader.OpenTable("items");
  std::thread writer([&db] {
    dbquillon::Transaction t = db.BeginWrite();
    dbquillon::Table items = t.OpenTable("items");
    for (int i = 10; i < 15; ++i) items.Insert().Set("n", i).Post();
    t.Commit();
  });
  writer.join();
  std::printf("the reader still sees %lld items\n", static_cast<long long>(seen.Count()));
  reader.Commit();

  dbquillon::Transaction later = db.BeginRead();
  std::printf("a new reader sees %lld items\n",
              static_cast<long long>(later.OpenTable("items").Count()));
  try {
    seen.Count();  // its transaction ended
  } catch (const dbquillon::Error& e) {
    std::printf("%s\n", dbquillon::ToString(e.code()));
  }
  return 0;
}
