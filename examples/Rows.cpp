// Rows: inserts, reads by column handle and by name, updates and deletes;
// a mistake of type or name is an error that writes nothing.
#include <dbquillon/dbquillon.h>

#include <cstdio>

int main() {
  std::remove("rows.qdf");
  dbquillon::Database db("rows.qdf");
  dbquillon::Transaction t = db.BeginWrite();
  t.Execute(
      "create TQdfItemClass TBook (TQdfIntegerField id; TQdfCharField title; "
      "TQdfFloatField price); create table books on TBook;"
      "create unique index by_id on books (id)");
  dbquillon::Table books = t.OpenTable("books");
  const dbquillon::Column id = books.column("id");
  const dbquillon::Column title = books.column("title");

  books.Insert().Set(id, 1).Set(title, "Dune").Set("price", 9.5).Post();
  books.Insert().Set(id, 2).Set(title, "Emma").Post();
  dbquillon::Row emma = *books.Find("by_id", 2);
  emma.Update().SetDouble("price", 4.25).Post();

  try {
    emma.Update().SetInt64(title, 42).Post();  // a text column
  } catch (const dbquillon::Error& e) {
    std::printf("%s: %s\n", dbquillon::ToString(e.code()), e.what());
  }
  try {
    books.Insert().Set(id, 1).Set(title, "Dune again").Post();
  } catch (const dbquillon::Error& e) {
    std::printf("%s: %s\n", dbquillon::ToString(e.code()), e.what());
  }

  for (const dbquillon::Row& row : books.Walk("by_id")) {
    std::printf("%lld %s %.2f\n", static_cast<long long>(row.GetInt64(id)),
                row.GetString(title).c_str(), row.GetDouble("price"));
  }
  books.Find("by_id", 1)->Delete();
  std::printf("%lld book left\n", static_cast<long long>(books.Count()));
  t.Commit();
  return 0;
}
