// qdf compact: the copy holds the same rows in less space and passes the
// check; a refusal or a failure at any write leaves the old file as it was.
#include <dbquillon/dbquillon.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ErrorText.h"
#include "FileBytes.h"
#include "ProcessRun.h"
#include "db/SystemTestUtil.h"
#include "file/IndirectPageReader.h"
#include "file/LocalFiler.h"
#include "platform/FaultFileSystem.h"
#include "platform/FileSystem.h"

#ifdef QDF_TOOL_EXE

namespace {

using qdf_test::ReadFileBytes;
using qdf_test::ShellQuote;
using qdf_test::TRunResult;
using qdf_test::TSystemFixture;

TRunResult Qdf(const std::string& args) {
  return qdf_test::RunProcess(std::string(QDF_TOOL_EXE) + " " + args);
}

// A database whose second import rewrote the pages of the first: the old
// copies are free space.
std::string MakeBooks(const TSystemFixture& fx, int rows) {
  const std::string db = fx.Db("books.qdf");
  EXPECT_EQ(Qdf("exec " + ShellQuote(db) +
                " 'create TQdfItemClass TBook (TQdfIntegerField id; TQdfCharField author; "
                "TQdfIntegerField year); create table books on TBook; create index by_id on books "
                "(id); create index by_author on books (author, year)'")
                .code,
            0);
  for (int part = 0; part < 2; ++part) {
    const std::string csv = fx.config.File("books.csv");
    std::ofstream out(csv, std::ios::trunc);
    out << "id,author,year\n";
    for (int i = 0; i < rows; ++i) {
      const int id = part * rows + i;
      out << id << ",author " << (id * 7919) % 613 << "," << 1900 + id % 120 << "\n";
    }
    out.close();
    const TRunResult r = Qdf("import " + ShellQuote(db) + " books " + ShellQuote(csv));
    EXPECT_EQ(r.code, 0) << r.output;
  }
  return db;
}

// Rows, free space and the check after a compact are the API test's; here
// what the tool says and refuses.
TEST(QdfCompact, RefusesAndChangesNothingThenCompacts) {
  TSystemFixture fx;
  const std::string db = MakeBooks(fx, 300);
  const std::vector<uint8_t> bytes = ReadFileBytes(db);
  {
    // Another writer holds the file.
    auto writer = qdf::DatabaseFileSystem().Open(db, qdf::TOpenMode::kReadWrite);
    const TRunResult r = Qdf("compact " + ShellQuote(db));
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.output.find("locked by another writer"), std::string::npos) << r.output;
  }
  {
    // A reader in another process (this one) has it open.
    qdf::TQdfFilerRef filer = qdf::TQdfFilerRef::Adopt(new qdf::TQdfLocalFiler(db, true, "Reader"));
    qdf::TQdfIndirectPageReader reader(filer.get());
    reader.Open(true);
    const TRunResult r = Qdf("compact " + ShellQuote(db));
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.output.find("another process reads it"), std::string::npos) << r.output;
  }
  EXPECT_EQ(Qdf("compact").code, 2);
  EXPECT_EQ(ReadFileBytes(db), bytes);
  TRunResult r = Qdf("compact " + ShellQuote(db));
  ASSERT_EQ(r.code, 0) << r.output;
  EXPECT_NE(r.output.find("compacted"), std::string::npos) << r.output;
  r = Qdf("compact " + ShellQuote(db));
  EXPECT_NE(r.output.find("compact already"), std::string::npos) << r.output;
}

// A write or sync that fails at any point of the compact: the old file keeps
// every byte and no copy is left behind; the first run that gets through
// leaves a sound, smaller file.
TEST(QdfCompact, AFailureAtAnyWriteLeavesTheOldFileIntact) {
  TSystemFixture fx;
  const std::string db = MakeBooks(fx, 150);
  const std::vector<uint8_t> bytes = ReadFileBytes(db);
  // The engine's system (and its shadow file) exists before the faults: only
  // the compact's own file operations go through them.
  qdf::QdfSystem();
  qdf::TFaultFileSystem fs;
  qdf::SetDatabaseFileSystem(&fs);
  struct TRestore {
    ~TRestore() { qdf::SetDatabaseFileSystem(nullptr); }
  } restore;
  int failures = 0;
  bool done = false;
  for (int n = 1; n < 5000 && !done; ++n) {
    fs.FailOpAfter(n);
    try {
      dbquillon::CompactFile(db);
      done = true;
    } catch (const std::exception& e) {
      ++failures;
      ASSERT_EQ(ReadFileBytes(db), bytes) << "failure at operation " << n << ": " << e.what();
      ASSERT_FALSE(std::filesystem::exists(db + ".compact")) << n;
    }
  }
  fs.FailOpAfter(0);
  EXPECT_TRUE(done);
  EXPECT_GT(failures, 10);
  EXPECT_EQ(Qdf("check " + ShellQuote(db)).code, 0);
  EXPECT_LT(ReadFileBytes(db).size(), bytes.size());
}

}  // namespace

#endif  // QDF_TOOL_EXE
