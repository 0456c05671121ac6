// Maintenance: expressions computed over rows, the engine's own objects in
// the schema, a file's figures and its check, and compacting a file.
#include <dbquillon/dbquillon.h>

#include <cstdio>
#include <string>

int main() {
  std::remove("shop.qdf");
  {
    dbquillon::Database db("shop.qdf");
    dbquillon::Transaction t = db.BeginWrite();
    t.Execute(
        "create TQdfItemClass TArticle (TQdfIntegerField no; TQdfCharField name; "
        "TQdfFloatField price); create table articles on TArticle;"
        "create unique index by_no on articles (no)");
    dbquillon::Table articles = t.OpenTable("articles");
    for (int no = 1; no <= 20000; ++no) {
      articles.Insert()
          .Set("no", no)
          .Set("name", "article " + std::to_string(no))
          .Set("price", no * 0.5)
          .Post();
    }
    t.Commit();

    dbquillon::Transaction r = db.BeginRead();
    dbquillon::Table read = r.OpenTable("articles");
    dbquillon::Expression gross = read.PrepareExpression("price * 1.25 AS gross");
    std::string cell;  // reused from row to row
    for (const dbquillon::Row& row :
         read.Prepare("no >= :lo and no < :hi").Bind("lo", 1).Bind("hi", 4)) {
      gross.Text(row, cell);
      std::printf("%s: %s %s\n", row.GetString("name").c_str(), gross.name().c_str(), cell.c_str());
    }
    const dbquillon::Evaluation e = dbquillon::Evaluate("Upper('total') + ': ' + ToStr(2 * 21)");
    std::printf("%s %s\n", e.type.c_str(), e.text.c_str());
    for (const dbquillon::TableInfo& table : r.GetSchema(true).tables) {
      std::printf("table %s on %s\n", table.name.c_str(), table.classPath.c_str());
    }
    r.Commit();

    dbquillon::Transaction w = db.BeginWrite();
    for (const dbquillon::Row& row : w.OpenTable("articles").Prepare("no > 100")) row.Delete();
    w.Commit();
  }  // compact needs the file closed by every Database of the process

  dbquillon::CheckReport report = dbquillon::CheckFile("shop.qdf");
  std::printf("records: %lld, problems: %lld\n", static_cast<long long>(report.figures.records),
              static_cast<long long>(report.found));
  const dbquillon::CompactResult c = dbquillon::CompactFile("shop.qdf");
  std::printf("compacted: %s, smaller: %s\n", c.compacted ? "yes" : "no",
              c.sizeAfter < c.sizeBefore ? "yes" : "no");
  report = dbquillon::CheckFile("shop.qdf");
  std::printf("records: %lld, sound: %s\n", static_cast<long long>(report.figures.records),
              report.sound() ? "yes" : "no");
  return 0;
}
