// Crashes, power losses and failed writes at every write and sync of a commit
// that changes the schema: the reopened database shows the old schema or the
// new one, never a mix; and processes killed at random moments of a stream
// of commits lose no committed transaction.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "CrashHarness.h"
#include "EnvSize.h"
#include "ProcessRun.h"
#include "TestDir.h"
#include "base/QdfException.h"
#include "check/IntegrityCheck.h"
#include "file/IndirectPageReader.h"
#include "file/LocalFiler.h"
#include "platform/FaultFileSystem.h"
#include "reader/PageReader.h"
#include "record/Field.h"
#include "record/Fields.h"
#include "storage/Storage.h"
#include "table/Index.h"
#include "table/Table.h"

namespace qdf {
namespace {

// One open database: filer, reader in a write transaction, storage.
struct TOpenDb {
  TOpenDb(const std::string& path, bool read_only) {
    filer = new TQdfLocalFiler(path, read_only, "CRASH");
    reader = std::make_unique<TQdfIndirectPageReader>(filer);
    reader->Open(read_only);
    if (!read_only) reader->StartTransaction();
    storage.reset(static_cast<TQdfStorage*>(
        TQdfPersistentObject::Create(TQdfStorage::kClassInfo, nullptr).release()));
    storage->OpenRoot(reader.get());
  }
  ~TOpenDb() {
    storage.reset();
    reader.reset();
    filer->Release();
  }
  void Commit(bool keep_write_lock = false) {
    for (int round = 0; round < 2; ++round) {  // the first flush may allocate
      storage->StoreModified();
      reader->Flush(kFlushWriteUnpin);
    }
    reader->Commit(keep_write_lock);
  }
  TQdfLocalFiler* filer;
  std::unique_ptr<TQdfIndirectPageReader> reader;
  std::unique_ptr<TQdfStorage> storage;
};

const char kBench[] =
    "create TQdfItemClass TBench (TQdfIntegerField a; TQdfIntegerField b; TQdfCharField c);"
    "create table t1 on TBench;";

void AddRecords(TQdfStorage& s, int from, int count) {
  auto t = s.TableByName("t1");
  for (int i = from; i < from + count; ++i) {
    t->Insert();
    static_cast<TQdfIntegerField*>(t->FieldByName("a"))->SetAsInteger(i);
    t->FieldByName("c")->SetAsString("row " + std::to_string(i));
    t->Post();
  }
}

// Transaction B under the crash harness: an index built over the records, a
// new class, more records, a dropped class and a new schema version.
class TSchemaWorkload : public qdf_test::TCrashWorkload {
 public:
  // State A: the bootstrap, a class, a table and 40 records.
  void Prepare(const std::string& path) override {
    TOpenDb db(path, false);
    db.storage->Execute(kBench);
    AddRecords(*db.storage, 0, 40);
    db.Commit();
  }
  void Run(const std::string& path, qdf_test::TCrashRun& run) override {
    TOpenDb db(path, false);
    db.storage->Execute(
        "create unique index ia on t1 (a);create index ic on t1 (DESC c);"
        "create TQdfItemClass Extra (TQdfFloatField f);version 2.0");
    AddRecords(*db.storage, 40, 60);
    db.storage->Execute("drop Extra;");
    run.Commit([&] { db.Commit(); });
  }
};

TEST(DdlCrashSafety, SchemaCommitSurvivesEveryCrashAndFailedWrite) {
  TSchemaWorkload workload;
  const qdf_test::TCrashFigures figures = qdf_test::RunCrashHarness(workload);
  EXPECT_GT(figures.operations, 4);
}

// ---- killed at random moments ----

// The child: creates the database named by QDF_KILL_CHILD_DB and commits
// transactions until it is killed. Transaction n sets the schema value
// t1's class field a's UserInfo to n, sets a = n in the first record and adds
// one record; "COMMITTED n" is printed once the commit returned. Once
// QDF_KILL_CHILD_AFTER commits are printed, a thread kills the process
// QDF_KILL_CHILD_DELAY microseconds later, in the middle of what it does then.
TEST(KillChild, CommitUntilKilled) {
  const char* path = std::getenv("QDF_KILL_CHILD_DB");
  if (path == nullptr) GTEST_SKIP() << "runs only as the child of KillSafety";
  const bool sync = std::getenv("QDF_KILL_CHILD_SYNC") != nullptr;
  const long after = qdf_test::EnvSize("QDF_KILL_CHILD_AFTER", 0);
  const auto delay = static_cast<useconds_t>(qdf_test::EnvSize("QDF_KILL_CHILD_DELAY", 0));
  auto kill_soon = [delay] {
    std::thread([delay] {
      usleep(delay);
      kill(getpid(), SIGKILL);
    }).detach();
  };
  if (after == 0) kill_soon();
  TOpenDb db(path, false);
  db.filer->SetSyncCommits(sync);
  db.storage->Execute(std::string(kBench) + "create index ia on t1 (a);");
  AddRecords(*db.storage, 0, 1);
  for (int n = 1;; ++n) {
    db.storage->Execute("set TBench.a [UserInfo=" + std::to_string(n) + "]");
    {
      auto t = db.storage->TableByName("t1");
      t->First();
      t->Edit();
      static_cast<TQdfIntegerField*>(t->FieldByName("a"))->SetAsInteger(-n);
      t->Post();
    }
    AddRecords(*db.storage, n, 1);
    db.Commit(true);
    std::printf("COMMITTED %d\n", n);
    std::fflush(stdout);
    if (n == after) kill_soon();
    db.reader->Open(false);
    db.reader->StartTransaction();
  }
}

// The committed number a killed child left, or -1 for an inconsistent file.
int CommittedNumber(const std::string& path) {
  if (!std::filesystem::exists(path)) return 0;
  TOpenDb db(path, true);
  if (db.storage->ChildByName("t1") == nullptr) return 0;  // killed before the first commit
  auto t = db.storage->TableByName("t1");
  const int user_info =
      static_cast<TQdfField*>(db.storage->ChildByPath("TBench.a"))->FieldHeader()->UserInfo();
  t->First();
  const int first = -static_cast<TQdfIntegerField*>(t->FieldByName("a"))->AsInteger();
  int64_t records = 0;
  for (t->First(); t->Cursor().Item() != nullptr; t->Next()) ++records;
  int64_t keys = 0;
  TQdfIndex* ix = t->IndexByName("ia");
  for (ix->First(); !ix->Position().IsNull(); ix->Next()) ++keys;
  if (first != user_info || records != user_info + 1 || keys != records) return -1;
  return user_info;
}

TEST(KillSafety, SigkillAtRandomMomentsLosesNoCommittedTransaction) {
  const long trials = qdf_test::EnvSize("QDF_KILL_TRIALS", 30);
  std::mt19937 rng(20261206);
  qdf_test::TTestDir dir;
  for (long trial = 0; trial < trials; ++trial) {
    const bool sync = trial % 2 == 0;
    const std::string path = dir.File("kill" + std::to_string(trial) + ".qdf");
    // It commits a random number of transactions, then dies at a random
    // moment of the next ones.
    qdf_test::TRunOptions options;
    options.env = {{"QDF_KILL_CHILD_DB", path},
                   {"QDF_KILL_CHILD_AFTER", std::to_string(rng() % 6)},
                   {"QDF_KILL_CHILD_DELAY", std::to_string(rng() % 20000)}};
    if (sync) options.env.emplace_back("QDF_KILL_CHILD_SYNC", "1");
    const qdf_test::TRunResult run = qdf_test::RunProcess(
        qdf_test::ShellQuote(qdf_test::SelfExe()) + " --gtest_filter=KillChild.CommitUntilKilled",
        options);
    ASSERT_FALSE(run.timed_out) << "trial " << trial;
    int last = 0;
    for (size_t at = run.output.find("COMMITTED "); at != std::string::npos;
         at = run.output.find("COMMITTED ", at + 1)) {
      last = std::max(last, std::atoi(run.output.c_str() + at + 10));
    }
    const int committed = CommittedNumber(path);
    ASSERT_GE(committed, 0) << "trial " << trial << ": inconsistent database";
    if (committed > 0) {  // killed after the first commit: a whole database
      const TQdfCheckReport check = CheckDatabase(path);
      EXPECT_TRUE(check.Sound()) << "trial " << trial << ":\n" << check.problems.front();
    }
    // Printed means committed; one more may have committed unprinted.
    EXPECT_TRUE(committed == last || committed == last + 1)
        << "trial " << trial << " sync " << sync << ": printed " << last << ", found " << committed;
  }
}

}  // namespace
}  // namespace qdf
