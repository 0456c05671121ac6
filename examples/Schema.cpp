// Schema: makes record classes, a table and indexes with statements, then
// lists what the database holds.
#include <dbquillon/dbquillon.h>

#include <cstdio>

int main() {
  std::remove("schema.qdf");
  dbquillon::Database db("schema.qdf");
  dbquillon::Transaction t = db.BeginWrite();
  t.Execute(
      "create TQdfItemClass TBook (TQdfIntegerField id; TQdfCharField title; "
      "TQdfCharField author; TQdfIntegerField year);"
      "create table books on TBook;"
      "create unique index by_id on books (id);"
      "create index by_author_year on books (author, DESC year)");
  t.Commit();

  dbquillon::Transaction r = db.BeginRead();
  const dbquillon::Schema schema = r.GetSchema();
  for (const dbquillon::ClassInfo& c : schema.classes) {
    std::printf("class %s\n", c.name.c_str());
    for (const dbquillon::FieldInfo& f : c.fields) {
      std::printf("  %s %s\n", dbquillon::ToString(f.type), f.name.c_str());
    }
  }
  for (const dbquillon::TableInfo& table : schema.tables) {
    std::printf("table %s on %s\n", table.name.c_str(), table.className.c_str());
    for (const dbquillon::IndexInfo& index : table.indexes) {
      std::printf("  %sindex %s (", index.unique ? "unique " : "", index.name.c_str());
      for (size_t i = 0; i < index.keys.size(); ++i) {
        std::printf("%s%s", i ? ", " : "", index.keys[i].c_str());
      }
      std::printf(")\n");
    }
  }
  return 0;
}
