// The public API's calls for tools and maintenance, as a program uses them:
// checking a file and reading its figures, compacting it, expressions over
// rows, and filters with parameters refused at Prepare.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ApiTestUtil.h"
#include "FileBytes.h"

using dbquillon::Database;
using dbquillon::ErrorCode;
using dbquillon::Row;
using dbquillon::Transaction;
using qdf_test::CodeOf;
using qdf_test::TApiFixture;

namespace {

// Books 1..n (author "A<i % 3>", year 1900 + i, every fifth without a year).
void AddBooks(Database& db, int n) {
  Transaction t = db.BeginWrite();
  dbquillon::Table books = t.OpenTable("books");
  for (int i = 1; i <= n; ++i) {
    dbquillon::Edit e = books.Insert();
    e.Set("id", i)
        .Set("title", "title " + std::to_string(i))
        .Set("author", "A" + std::to_string(i % 3));
    if (i % 5 != 0) e.Set("year", 1900 + i);
    e.Post();
  }
  t.Commit();
}

// ---- checking a file ----

TEST(ApiCheckFile, FiguresCountWhatTheFileHoldsAndDamageIsListed) {
  TApiFixture fx;
  AddBooks(fx.db, 120);
  const dbquillon::CheckReport report = dbquillon::CheckFile(fx.file);
  EXPECT_TRUE(report.sound()) << (report.problems.empty() ? "" : report.problems.front());
  EXPECT_TRUE(report.problems.empty());
  const dbquillon::FileFigures& f = report.figures;
  EXPECT_EQ(f.fileSize, static_cast<int64_t>(std::filesystem::file_size(fx.file)));
  EXPECT_EQ(f.records, 120);  // the books; the blob table is empty
  EXPECT_EQ(f.tables, 2);     // books and the engine's blob table
  EXPECT_EQ(f.indexes, 4);    // by_id, by_author_year, the blob table's and $ID
  EXPECT_GE(f.transaction, 2u);
  EXPECT_EQ(f.previousTransaction + 1, f.transaction);
  EXPECT_GT(f.pages, 0);
  EXPECT_LE(f.allocationEnd, f.fileSize);
  EXPECT_EQ(f.majorVersion, 1u);

  EXPECT_EQ(CodeOf([&] { dbquillon::CheckFile(fx.dir.File("missing.qdf")); }), ErrorCode::NotFound);
  EXPECT_FALSE(std::filesystem::exists(fx.dir.File("missing.qdf")));
  const std::string text = fx.dir.File("notes.txt");
  qdf_test::WriteFileBytes(text, std::vector<uint8_t>(3000, 'x'));
  EXPECT_EQ(CodeOf([&] { dbquillon::CheckFile(text); }), ErrorCode::Damaged);
  EXPECT_EQ(CodeOf([&] { Database db(text); }), ErrorCode::Damaged);
}

// ---- compacting ----

TEST(ApiCompact, ShrinksAFileOfFreedSpaceKeepingEveryRow) {
  qdf_test::TTestDir dir;
  const std::string file = dir.File("c.qdf");
  std::string before;
  {
    Database db(file);
    {
      Transaction t = db.BeginWrite();
      t.Execute(qdf_test::kBooksSchema);
      t.Commit();
    }
    AddBooks(db, 2000);
    Transaction t = db.BeginWrite();
    for (const Row& r : t.OpenTable("books").Prepare("id > 100")) r.Delete();
    t.Commit();
    // The writer holds the file: compact refuses.
    EXPECT_EQ(CodeOf([&] { dbquillon::CompactFile(file); }), ErrorCode::Busy);
    Transaction r = db.BeginRead();
    for (const Row& row : r.OpenTable("books").Walk("by_id")) before += row.GetText("title") + ";";
  }
  {
    // So does a read-only Database of this process, which locks nothing.
    dbquillon::Options read_only;
    read_only.readOnly = true;
    Database reader(file, read_only);
    EXPECT_EQ(CodeOf([&] { dbquillon::CompactFile(file); }), ErrorCode::Busy);
    EXPECT_FALSE(std::filesystem::exists(file + ".compact"));
  }
  const std::vector<uint8_t> bytes = qdf_test::ReadFileBytes(file);
  const dbquillon::CompactResult done = dbquillon::CompactFile(file);
  EXPECT_TRUE(done.compacted);
  EXPECT_EQ(done.sizeBefore, static_cast<int64_t>(bytes.size()));
  EXPECT_EQ(done.sizeAfter, static_cast<int64_t>(std::filesystem::file_size(file)));
  EXPECT_LT(done.sizeAfter, done.sizeBefore);
  EXPECT_GT(done.pages, 0);
  EXPECT_FALSE(std::filesystem::exists(file + ".compact"));
  EXPECT_TRUE(dbquillon::CheckFile(file).sound());
  {
    Database db(file);
    Transaction r = db.BeginRead();
    std::string after;
    for (const Row& row : r.OpenTable("books").Walk("by_id")) after += row.GetText("title") + ";";
    EXPECT_EQ(after, before);
    // The compacted file takes new rows.
    r.Commit();
    Transaction w = db.BeginWrite();
    w.OpenTable("books").Insert().Set("id", 5000).Post();
    w.Commit();
  }
  EXPECT_TRUE(dbquillon::CheckFile(file).sound());
  EXPECT_EQ(CodeOf([&] { dbquillon::CompactFile(dir.File("none.qdf")); }), ErrorCode::NotFound);
}

TEST(ApiExpression, ComputedPerRowAgreeWithTheColumnsNullsAndFailuresAndBadFiltersFailAtPrepare) {
  TApiFixture fx;
  AddBooks(fx.db, 30);
  Transaction r = fx.db.BeginRead();
  dbquillon::Table books = r.OpenTable("books");
  dbquillon::Expression next = books.PrepareExpression("year + 1 AS next", "unused");
  dbquillon::Expression shout = books.PrepareExpression("Upper(author) + '!'", "Field_2");
  dbquillon::Expression number = books.PrepareExpression("ToInt(title)");
  EXPECT_EQ(next.name(), "next");
  EXPECT_EQ(shout.name(), "Field_2");
  std::string cell = "left over from before";
  int failures = 0;
  int rows = 0;
  // In key order, so that consecutive rows alternate between null and not.
  for (const Row& row : books.Walk("by_id")) {
    ++rows;
    next.Text(row, cell);
    if (row.IsNull("year")) {
      EXPECT_EQ(cell, "") << row.GetInt64("id");
    } else {
      EXPECT_EQ(cell, std::to_string(row.GetInt64("year") + 1));
    }
    // A column's text into the same buffer, whatever it held.
    row.GetText("year", cell);
    EXPECT_EQ(cell, row.GetText("year"));
    row.GetText("title", cell);
    EXPECT_EQ(cell, row.GetString("title"));
    EXPECT_EQ(shout.Text(row), "A" + std::to_string(row.GetInt64("id") % 3) + "!");
    const std::optional<dbquillon::ErrorCode> code = CodeOf([&] { number.Text(row); });
    failures += code == ErrorCode::Type;
  }
  EXPECT_EQ(rows, 30);
  EXPECT_EQ(failures, 30);  // "title n" is no integer on any row

  EXPECT_EQ(CodeOf([&] { books.PrepareExpression("year +"); }), ErrorCode::Syntax);
  EXPECT_EQ(CodeOf([&] { books.PrepareExpression("nosuchfield * 2"); }), ErrorCode::Syntax);
  EXPECT_EQ(CodeOf([&] { books.PrepareExpression("ThisID"); }), ErrorCode::Type);
  EXPECT_EQ(books.PrepareExpression("year > 1910").Text(*books.Find("by_id", 11)), "True");
  // A row other than the one the table stands on.
  const Row first = *books.Find("by_id", 1);
  EXPECT_EQ(books.Find("by_id", 2)->GetInt64("year"), 1902);
  EXPECT_EQ(next.Text(first), "1902");

  // Filters with parameters are checked at Prepare.
  for (const char* bad : {"year >>= :y", "year = :y and", "author = :a or (year > :y", ":y",
                          "year + :y", "nosuchfield = :x", "title = :t and price > :p )"}) {
    EXPECT_EQ(CodeOf([&] { books.Prepare(bad); }), ErrorCode::Syntax) << bad;
  }
  // Filters whose parameters need different kinds compile and run.
  struct TGood {
    const char* filter;
    std::vector<std::pair<const char*, dbquillon::Value>> binds;
    int64_t count;
  };
  const TGood good[] = {
      {"author = :a and year >= :y", {{"a", "A1"}, {"y", 1910}}, 5},  // 13, 16, 19, 22, 28
      {"price > :p or title = :t", {{"p", 1.5}, {"t", "title 7"}}, 1},
  };
  for (const TGood& g : good) {
    dbquillon::Query q = books.Prepare(g.filter);
    for (const auto& [name, value] : g.binds) q.Bind(name, value);
    EXPECT_EQ(q.Count(), g.count) << g.filter;
  }
  r.Commit();
  EXPECT_EQ(CodeOf([&] { next.Text(first); }), ErrorCode::Misuse);
}

}  // namespace
