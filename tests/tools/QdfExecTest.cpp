// The "qdf exec" subcommand, run as a separate process on a database file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "ProcessRun.h"
#include "TestDir.h"

namespace {

#ifdef QDF_TOOL_EXE

struct TRun {
  int exit_code;
  std::string err;
};

TRun Exec(const std::string& file, const std::string& statements) {
  const qdf_test::TRunResult r =
      qdf_test::RunProcess(std::string(QDF_TOOL_EXE) + " exec " + qdf_test::ShellQuote(file) + " " +
                           qdf_test::ShellQuote(statements));
  return TRun{r.code, r.output};
}

TEST(QdfExec, CreatesCommitsAndReportsErrorsWithoutCommitting) {
  qdf_test::TTestDir dir;
  const std::string db = dir.File("exec.qdf");
  TRun r = Exec(db,
                "create TQdfItemClass TBench (TQdfIntegerField a; TQdfIntegerField b; "
                "TQdfCharField c); create table t1 on TBench; create index i1 on t1 (a)");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(std::filesystem::exists(db));
  // The next run sees what the first committed.
  r = Exec(db, "create table t1 on TBench");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "qdf: " + db + ": t1 existiert bereits in $ROOT\n");
  // A failing text commits nothing of what it did before the error.
  r = Exec(db, "create table t2 on TBench; create index x on t2 (zz)");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "qdf: " + db + ": create index x on t2 (^zz): unknown field of TBench\n");
  r = Exec(db, "create table t2 on TBench");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  r = Exec(db, "frobnicate t2");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "qdf: " + db + ": Unknown DDL Command: frobnicate\n");
  EXPECT_EQ(Exec(db, "").exit_code, 0);
  EXPECT_EQ(Exec(db, "x y z extra").exit_code, 1);
}

TEST(QdfExec, NamesTooLongForAHeaderAreRefusedWithAMessage) {
  qdf_test::TTestDir dir;
  const std::string db = dir.File("long.qdf");
  const std::string cls(8000, 'A');
  ASSERT_EQ(Exec(db, "create TQdfItemClass " + cls + " (TQdfIntegerField a)").exit_code, 0);
  // The table's header holds its own name and its class's.
  const TRun r = Exec(db, "create table " + std::string(8170, 'B') + " on " + cls);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "qdf: " + db + ": The header of " + std::string(40, 'B') +
                       "... does not fit a page: a name or setting is too long\n");
}

#endif

}  // namespace

#ifdef QDF_EXAMPLE_EXE
namespace {

// The example creates its schema in the first run; the second run, a new
// process, finds the table and reads the records through the index.
TEST(Example, SecondRunFindsWhatTheFirstCreated) {
  qdf_test::TTestDir dir;
  const std::string db = dir.File("example.qdf");
  const std::string command = std::string(QDF_EXAMPLE_EXE) + " " + qdf_test::ShellQuote(db);
  qdf_test::TRunResult r = qdf_test::RunProcess(command);
  EXPECT_EQ(r.code, 0) << r.output;
  EXPECT_EQ(r.output, "created TBench, t1 and i1 in " + db + " with 5 records\n");
  r = qdf_test::RunProcess(command);
  EXPECT_EQ(r.code, 0) << r.output;
  EXPECT_EQ(r.output, "found t1 with index i1 in " + db +
                          ":\n"
                          "  a=1 b=1 c=record 1\n  a=2 b=4 c=record 2\n  a=3 b=9 c=record 3\n"
                          "  a=4 b=16 c=record 4\n  a=5 b=25 c=record 5\n");
}

}  // namespace
#endif
