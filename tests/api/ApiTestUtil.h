// Shared pieces of the public API tests: a database file in a private
// folder, the code of the error a call raises, and a small catalogue schema.
#pragma once

#include <dbquillon/dbquillon.h>

#include <functional>
#include <optional>
#include <string>

#include "TestDir.h"

namespace qdf_test {

// The code of the dbquillon::Error `f` raises (its message to `what` when
// given); nullopt when it raises none.
inline std::optional<dbquillon::ErrorCode> CodeOf(const std::function<void()>& f,
                                                  std::string* what = nullptr) {
  try {
    f();
  } catch (const dbquillon::Error& e) {
    if (what != nullptr) *what = e.what();
    return e.code();
  }
  return std::nullopt;
}

// Books: id (unique index by_id), title, author, year (index by_author_year),
// cover (a blob).
inline constexpr const char* kBooksSchema =
    "create TQdfItemClass TBook (TQdfIntegerField id; TQdfCharField title; "
    "TQdfCharField author; TQdfIntegerField year; TQdfFloatField price; TQdfBooleanField "
    "lent; TQdfBlobField cover); create table books on TBook; "
    "create unique index by_id on books (id); create index by_author_year on books "
    "(author, year)";

struct TApiFixture {
  TTestDir dir;
  std::string file = dir.File("api.qdf");
  dbquillon::Database db{file};
  TApiFixture() {
    dbquillon::Transaction t = db.BeginWrite();
    t.Execute(kBooksSchema);
    t.Commit();
  }
};

}  // namespace qdf_test
