// The public API as a user meets it: open and reopen, rows, queries with
// parameters, transactions and rollback, errors by code, and a catalogue of
// a few thousand books.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

#include "ApiTestUtil.h"
#include "EnvSize.h"

using dbquillon::Database;
using dbquillon::ErrorCode;
using dbquillon::Row;
using dbquillon::Transaction;
using qdf_test::CodeOf;
using qdf_test::TApiFixture;

namespace {

void AddBook(dbquillon::Table books, int id, const std::string& author, int year) {
  books.Insert()
      .Set("id", id)
      .Set("title", "title " + std::to_string(id))
      .Set("author", author)
      .Set("year", year)
      .Post();
}

// ---- rows ----

TEST(ApiRows, TypedAccessChecksTypeAndNameNeverWritesOnAMistakeNorAnEditNotPostedNorARollback) {
  TApiFixture fx;
  Transaction t = fx.db.BeginWrite();
  dbquillon::Table books = t.OpenTable("books");
  const dbquillon::Column title = books.column("title");
  Row row = books.Insert().Set("id", 7).Set(title, "Dune").Set("price", 9.5).Post();
  // A wrong type or name is refused before anything reaches the field.
  struct TCase {
    const char* what;
    std::function<void()> call;
    ErrorCode code;
  };
  const std::vector<TCase> cases = {
      {"int into text", [&] { row.Update().SetInt64("title", 5).Post(); }, ErrorCode::Type},
      {"text into int", [&] { row.Update().SetString("id", "x").Post(); }, ErrorCode::Type},
      {"bool into float", [&] { row.Update().SetBool("price", true).Post(); }, ErrorCode::Type},
      {"too big", [&] { row.Update().SetInt64("id", 1LL << 40).Post(); }, ErrorCode::Range},
      {"no column", [&] { row.Update().SetInt64("nope", 1).Post(); }, ErrorCode::NotFound},
      {"read int as text", [&] { row.GetString("id"); }, ErrorCode::Type},
      {"read text as int", [&] { row.GetInt64(title); }, ErrorCode::Type},
      {"read blob of text", [&] { row.ReadBlob(title); }, ErrorCode::Type},
      {"unknown read", [&] { row.GetInt64("nope"); }, ErrorCode::NotFound},
      {"unknown column", [&] { books.column("nope"); }, ErrorCode::NotFound},
  };
  for (const TCase& c : cases) EXPECT_EQ(CodeOf(c.call), c.code) << c.what;
  EXPECT_EQ(row.GetString(title), "Dune");
  EXPECT_EQ(row.GetInt64("id"), 7);
  EXPECT_EQ(row.Get<double>("price"), 9.5);
  EXPECT_TRUE(row.IsNull("year"));
  EXPECT_EQ(row.GetText("price"), "9.5");
  row.Update().SetInt64("year", 1965).SetNull("price").Post();
  EXPECT_EQ(row.Get<int>("year"), 1965);
  EXPECT_TRUE(row.IsNull("price"));
  row.Delete();
  // An edit not posted is dropped, and only one is open at a time.
  {
    dbquillon::Edit e = books.Insert();
    e.Set("id", 1);
    EXPECT_EQ(CodeOf([&] { books.Insert(); }), ErrorCode::Misuse);
  }
  EXPECT_EQ(books.Count(), 0);
  AddBook(books, 2, "Bea", 2001);
  EXPECT_EQ(books.Count(), 1);
  // Handles of a rolled-back transaction raise.
  dbquillon::Query q = books.Prepare("id > 0");
  std::optional<Row> found = books.Find("by_id", 2);
  t.Rollback();
  EXPECT_EQ(CodeOf([&] { q.Count(); }), ErrorCode::Misuse);
  EXPECT_EQ(CodeOf([&] { books.Count(); }), ErrorCode::Misuse);
  EXPECT_EQ(CodeOf([&] { found->GetInt64("id"); }), ErrorCode::Misuse);
  EXPECT_EQ(CodeOf([&] { t.Commit(); }), ErrorCode::Misuse);
  {
    Transaction w = fx.db.BeginWrite();
    AddBook(w.OpenTable("books"), 1, "Ann", 2000);
    // Destroyed without a commit: rolled back.
  }
  // Neither rollback kept a row; statements close the tables opened before them.
  Transaction t2 = fx.db.BeginWrite();
  dbquillon::Table b2 = t2.OpenTable("books");
  EXPECT_EQ(b2.Count(), 0);
  t2.Execute("create index by_year on books (year)");
  EXPECT_EQ(CodeOf([&] { b2.Count(); }), ErrorCode::Misuse);
  EXPECT_EQ(t2.OpenTable("books").Count(), 0);
  t2.Commit();
}

// ---- queries with parameters ----

TEST(ApiQuery, BoundParametersSelectTheRowsOfTheirLiterals) {
  TApiFixture fx;
  Transaction t = fx.db.BeginWrite();
  dbquillon::Table books = t.OpenTable("books");
  for (int i = 1; i <= 300; ++i) AddBook(books, i, i % 2 ? "Ann" : "Bob", 1900 + i % 100);
  dbquillon::Query q = books.Prepare("id >= :lo and id < :hi");
  EXPECT_EQ(CodeOf([&] { q.Count(); }), ErrorCode::Misuse);  // unbound
  EXPECT_EQ(CodeOf([&] { q.Bind("nope", 1); }), ErrorCode::NotFound);
  EXPECT_EQ(CodeOf([&] { q.Bind("lo", int64_t{1} << 33); }), ErrorCode::Range);
  for (int lo : {1, 17, 250, 400}) {
    q.Bind("lo", lo).Bind(":hi", lo + 40);
    int64_t expected = std::max(0, std::min(301, lo + 40) - std::min(301, lo));
    EXPECT_EQ(q.Count(), expected) << lo;
    int64_t sum = 0;
    int64_t n = 0;
    int last = 0;
    for (const Row& r : q) {
      const int id = r.Get<int>("id");
      EXPECT_GT(id, last);  // the unique index on id gives key order
      last = id;
      sum += id;
      ++n;
    }
    EXPECT_EQ(n, expected);
    EXPECT_EQ(q.Sum("id"), sum);
    EXPECT_EQ(books.Prepare("id >= " + std::to_string(lo) + " and id < " + std::to_string(lo + 40))
                  .Count(),
              expected);
  }
  // A temporary query lives as long as the loop over it.
  int64_t seen = 0;
  for (const Row& r : books.Prepare("id < :n").Bind("n", 11)) seen += r.Get<int>("id");
  EXPECT_EQ(seen, 55);
  dbquillon::Query by_author = books.Prepare("author = :a and year > :y");
  by_author.Bind("a", "Ann").Bind("y", 1990);
  EXPECT_EQ(by_author.Count(), books.Prepare("author = 'Ann' and year > 1990").Count());
  by_author.Bind("a", "");
  EXPECT_EQ(by_author.Count(), 0);
  EXPECT_EQ(CodeOf([&] { books.Prepare("id >= and"); }), ErrorCode::Syntax);
  EXPECT_EQ(CodeOf([&] { q.Sum("title"); }), ErrorCode::Type);
}

TEST(ApiQuery, FindAndIndexWalksFollowTheKeysAndErrorCodesTellTheFailuresApart) {
  TApiFixture fx;
  Transaction t = fx.db.BeginWrite();
  dbquillon::Table books = t.OpenTable("books");
  AddBook(books, 3, "Cid", 1990);
  AddBook(books, 1, "Ann", 2000);
  AddBook(books, 2, "Ann", 1980);
  std::optional<Row> r = books.Find("by_id", 2);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->GetString("author"), "Ann");
  EXPECT_FALSE(books.Find("by_id", 9));
  ASSERT_TRUE(books.Find("by_author_year", "Ann", 2000));
  EXPECT_EQ(books.Find("by_author_year", "Ann", 2000)->Get<int>("id"), 1);
  EXPECT_EQ(CodeOf([&] { books.Find("by_id", "x"); }), ErrorCode::Type);
  EXPECT_EQ(CodeOf([&] { books.Find("nope", 1); }), ErrorCode::NotFound);
  std::vector<int> order;
  for (const Row& row : books.Walk("by_author_year")) order.push_back(row.Get<int>("id"));
  EXPECT_EQ(order, (std::vector<int>{2, 1, 3}));
  order.clear();
  for (const Row& row : books.Walk("by_author_year", {"Ann", 1990})) {
    order.push_back(row.Get<int>("id"));
  }
  EXPECT_EQ(order, (std::vector<int>{1, 3}));
  // Error codes tell the failures apart.
  std::string what;
  EXPECT_EQ(CodeOf([&] { AddBook(books, 1, "Bob", 2001); }, &what), ErrorCode::DuplicateKey);
  EXPECT_EQ(what.rfind("Duplicate Key in Index: by_id", 0), 0u) << what;
  EXPECT_EQ(books.Count(), 3);
  EXPECT_EQ(CodeOf([&] { fx.db.BeginWrite(); }), ErrorCode::Busy);
  EXPECT_EQ(CodeOf([&] { t.Execute("create table x o TBook"); }), ErrorCode::Syntax);
  EXPECT_EQ(CodeOf([&] { t.Execute("create table x on TNope"); }), ErrorCode::NotFound);
  EXPECT_EQ(CodeOf([&] { t.OpenTable("nope"); }), ErrorCode::NotFound);
  t.Commit();
  Transaction read = fx.db.BeginRead();
  EXPECT_EQ(CodeOf([&] { read.Execute("create index i on books (year)"); }), ErrorCode::ReadOnly);
}

// ---- a catalogue ----

TEST(ApiCatalogue, ThousandsOfBooksThroughInsertReadOnlyReopenFilterUpdateDeleteRollbackSnapshot) {
  const int n = static_cast<int>(std::max(10L, qdf_test::EnvSize("QDF_API_BOOKS", 3000)));
  qdf_test::TTestDir dir;
  const std::string file = dir.File("catalogue.qdf");
  std::mt19937 rng(25);
  std::map<int, std::pair<std::string, int>> model;  // id -> author, year
  const std::vector<std::string> authors = {"Ann", "Abe", "Bob", "Cid", "Dee"};
  dbquillon::Options options;
  options.createIfMissing = false;
  EXPECT_EQ(CodeOf([&] { Database db(file, options); }), ErrorCode::NotFound);
  {
    Database db(file);
    Transaction t = db.BeginWrite();
    t.Execute(qdf_test::kBooksSchema);
    dbquillon::Table books = t.OpenTable("books");
    const dbquillon::Column id = books.column("id");
    for (int i = 0; i < n; ++i) {
      const int key = static_cast<int>(rng() % 1000000);
      if (model.count(key)) continue;
      const std::string& a = authors[rng() % authors.size()];
      const int year = 1900 + static_cast<int>(rng() % 124);
      books.Insert().Set(id, key).Set("author", a).Set("year", year).Post();
      model[key] = {a, year};
    }
    t.Commit();
  }
  {
    // Reopened read-only, with options; the schema as stored.
    options.readOnly = true;
    options.cachePages = 1024;
    Database db(file, options);
    EXPECT_EQ(CodeOf([&] { db.BeginWrite(); }), ErrorCode::ReadOnly);
    Transaction t = db.BeginRead();
    dbquillon::Table books = t.OpenTable("books");
    EXPECT_EQ(books.Count(), static_cast<int64_t>(model.size()));
    EXPECT_EQ(CodeOf([&] { books.Insert(); }), ErrorCode::ReadOnly);
    // The schema's field types (names and paths are the schema test's).
    const dbquillon::Schema schema = t.GetSchema();
    EXPECT_EQ(schema.classes[0].fields[6].type, dbquillon::FieldType::Blob);
    // The engine's own objects only when asked for.
    const dbquillon::Schema all = t.GetSchema(true);
    EXPECT_EQ(all.tables.size(), schema.tables.size() + 1);
    ASSERT_EQ(all.otherIndexes.size(), 1u);
    EXPECT_EQ(all.otherIndexes[0].path, "$ID");
  }
  auto expected = [&](int from_year) {
    int64_t c = 0;
    for (const auto& [k, v] : model) c += v.first[0] == 'A' && v.second >= from_year;
    return c;
  };
  Database db(file);
  {
    Transaction t = db.BeginWrite();
    dbquillon::Table books = t.OpenTable("books");
    EXPECT_EQ(books.Count(), static_cast<int64_t>(model.size()));
    dbquillon::Query q = books.Prepare("year >= :y and (author like 'A%')");
    EXPECT_EQ(q.Bind("y", 1990).Count(), expected(1990));
    // Update every match, then delete a third of the books.
    for (const Row& r : q) r.Update().Set("year", r.Get<int>("year") - 100).Post();
    for (auto& [k, v] : model) {
      if (v.first[0] == 'A' && v.second >= 1990) v.second -= 100;
    }
    EXPECT_EQ(q.Count(), expected(1990));
    for (auto it = model.begin(); it != model.end();) {
      if (it->first % 3 == 0) {
        books.Find("by_id", it->first)->Delete();
        it = model.erase(it);
      } else {
        ++it;
      }
    }
    EXPECT_EQ(books.Count(), static_cast<int64_t>(model.size()));
    t.Commit();
  }
  Transaction snapshot = db.BeginRead();
  {
    Transaction t = db.BeginWrite();
    t.OpenTable("books").Prepare("id >= 0").First()->Delete();
    t.Rollback();
  }
  {
    Transaction t = db.BeginWrite();
    dbquillon::Table books = t.OpenTable("books");
    for (const Row& r : books.rows()) r.Delete();
    EXPECT_EQ(books.Count(), 0);
    t.Commit();
  }
  dbquillon::Table old = snapshot.OpenTable("books");
  EXPECT_EQ(old.Count(), static_cast<int64_t>(model.size()));
  EXPECT_EQ(old.Prepare("year >= :y and (author like 'A%')").Bind("y", 1900).Count(),
            expected(1900));
  for (const auto& [k, v] : model) {
    std::optional<Row> r = old.Find("by_id", k);
    ASSERT_TRUE(r) << k;
    ASSERT_EQ(r->GetString("author"), v.first);
    ASSERT_EQ(r->Get<int>("year"), v.second);
    if (k > 200000) break;
  }
  snapshot.Commit();
  EXPECT_TRUE(db.Check().empty());
}

}  // namespace
