// A first dbQuillon program: opens (or creates) a database file, makes the
// record class TBench, the table t1 and an index on it the first time, adds
// a few records, commits; every later run finds them and reads them back in
// index order.
//
//   create_and_find [FILE]     (default: example.qdf in the current folder)
#include <dbquillon/dbquillon.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  const std::string file = argc > 1 ? argv[1] : "example.qdf";
  try {
    dbquillon::Database db(file);
    dbquillon::Transaction t = db.BeginWrite();
    if (t.GetSchema().tables.empty()) {
      t.Execute(
          "create TQdfItemClass TBench (TQdfIntegerField a; TQdfIntegerField b; TQdfCharField c);"
          "create table t1 on TBench;"
          "create index i1 on t1 (a);");
      dbquillon::Table t1 = t.OpenTable("t1");
      for (int i = 5; i >= 1; --i) {
        t1.Insert().Set("a", i).Set("b", i * i).Set("c", "record " + std::to_string(i)).Post();
      }
      t.Commit();
      std::printf("created TBench, t1 and i1 in %s with 5 records\n", file.c_str());
    } else {
      dbquillon::Table t1 = t.OpenTable("t1");
      std::printf("found t1 with index i1 in %s:\n", file.c_str());
      for (const dbquillon::Row& row : t1.Walk("i1")) {
        std::printf("  a=%s b=%s c=%s\n", row.GetText("a").c_str(), row.GetText("b").c_str(),
                    row.GetString("c").c_str());
      }
      t.Commit();
    }
    return 0;
  } catch (const dbquillon::Error& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
  }
}
