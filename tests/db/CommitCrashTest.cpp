// Crashes, power losses and failed writes at every write and sync of whole
// transactions run through the system object: records inserted, changed and
// deleted with their index keys and blobs, schema statements, over several
// commits whose freed blocks the next ones reuse through the free list.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "CrashHarness.h"
#include "ErrorText.h"
#include "SystemTestUtil.h"
#include "platform/FaultFileSystem.h"
#include "record/Fields.h"
#include "table/BlobField.h"
#include "table/Table.h"

namespace qdf {
namespace {

using qdf_test::TCrashRun;

TQdfIntegerField& Int(TQdfTable& t, const char* name) {
  return *static_cast<TQdfIntegerField*>(t.FieldByName(name));
}

// A blob whose bytes and length follow from its key and version.
std::string BlobBytes(int key, int version) {
  const size_t length = static_cast<size_t>((key * 977 + version * 1531) % 9000);
  std::string bytes(length, static_cast<char>('a' + (key + version) % 26));
  for (size_t i = 0; i < length; i += 97) bytes[i] = static_cast<char>('0' + (i / 97) % 10);
  return bytes;
}

// One session of the system on the database: a transaction with the file's
// storage open, running.
struct TSession {
  explicit TSession(const std::string& path) {
    system = std::make_unique<TQdfSystem>();
    system->Init();
    transaction = system->NewTransaction("crash");
    storage = transaction->OpenStorage("CRASH", false, path);
    transaction->SetActive(true);
  }
  ~TSession() {
    transaction.reset();  // rolls back what is not committed
    system.reset();
  }
  std::unique_ptr<TQdfSystem> system;
  std::unique_ptr<TQdfTransaction> transaction;
  TQdfInTransStorage* storage = nullptr;
};

void Insert(TQdfTable& t, int key, int version) {
  t.Insert();
  Int(t, "a").SetAsInteger(key);
  Int(t, "b").SetAsInteger(version);
  t.FieldByName("c")->SetAsString("item " + std::to_string(key * 37 % 101) + "/" +
                                  std::to_string(version));
  static_cast<TQdfBlobField*>(t.FieldByName("doc"))->SetAsString(BlobBytes(key, version));
  t.Post();
}

// Changes every record whose key satisfies `pick`: its b, c (an index key)
// and blob; `remove` deletes it instead.
void Change(TQdfTable& t, int version, bool (*pick)(int), bool remove) {
  t.First();
  while (t.Cursor().Item() != nullptr) {
    const int key = static_cast<int>(Int(t, "a").AsInteger());
    if (!pick(key)) {
      t.Next();
    } else if (remove) {
      t.Delete(true);
    } else {
      t.Edit();
      Int(t, "b").SetAsInteger(version);
      t.FieldByName("c")->SetAsString("changed " + std::to_string(key) + "/" +
                                      std::to_string(version));
      static_cast<TQdfBlobField*>(t.FieldByName("doc"))->SetAsString(BlobBytes(key, version));
      t.Post();
      t.Next();
    }
  }
}

class TRealPathWorkload : public qdf_test::TCrashWorkload {
 public:
  // The committed history the runs start from: records made, changed and
  // deleted over a few commits, so that the free list holds blocks to reuse.
  void Prepare(const std::string& path) override {
    TSession db(path);
    db.storage->Execute(
        "create TQdfItemClass TItem (TQdfIntegerField a; TQdfIntegerField b; TQdfCharField c; "
        "TQdfBlobField doc);create table items on TItem;create unique index ia on items (a);"
        "create index ic on items (c);");
    db.transaction->CommitAndContinue();
    {
      auto t = db.storage->TableByName("items");
      for (int key = 0; key < 60; ++key) Insert(*t, key, 1);
    }
    db.transaction->CommitAndContinue();
    {
      auto t = db.storage->TableByName("items");
      Change(
          *t, 2, [](int key) { return key % 3 == 0; }, false);
      Change(
          *t, 2, [](int key) { return key % 5 == 1; }, true);
    }
    db.transaction->Commit(true);
  }

  // Three commits: records and blobs changed, inserted and deleted; a schema
  // change (an index built, a class made) with more changes; a drop and a
  // mass delete.
  void Run(const std::string& path, TCrashRun& run) override {
    TSession db(path);
    {
      auto t = db.storage->TableByName("items");
      Change(
          *t, 3, [](int key) { return key % 4 == 2; }, false);
      for (int key = 100; key < 115; ++key) Insert(*t, key, 3);
      Change(
          *t, 3, [](int key) { return key % 7 == 3; }, true);
    }
    run.Commit([&] { db.transaction->CommitAndContinue(); });
    db.storage->Execute(
        "create index ib on items (DESC b);create TQdfItemClass Extra (TQdfFloatField f);"
        "version 2.0");
    {
      auto t = db.storage->TableByName("items");
      Change(
          *t, 4, [](int key) { return key % 2 == 0; }, false);
    }
    run.Commit([&] { db.transaction->CommitAndContinue(); });
    db.storage->Execute("drop Extra;");
    {
      auto t = db.storage->TableByName("items");
      Change(
          *t, 5, [](int key) { return key % 3 != 1; }, true);
      Insert(*t, 200, 5);
    }
    run.Commit([&] { db.transaction->Commit(true); });
  }

  std::string Fingerprint(const std::string& path) override {
    return qdf_test::DatabaseFingerprint(path);
  }
  std::string Problems(const std::string& path) override {
    return qdf_test::DatabaseProblems(path);
  }

 private:
  qdf_test::TSystemConfig config_;  // private configuration and temporary folder
};

TEST(CrashSafety, RealCommitPathSurvivesEveryCrashAndFailedWrite) {
  TRealPathWorkload workload;
  const qdf_test::TCrashFigures figures = qdf_test::RunCrashHarness(workload);
  EXPECT_EQ(figures.commits, 3);
  EXPECT_GT(figures.operations, 30);
}

// What follows a failed commit in the same process: where the failure leaves
// unknown what the disk holds (a sync, the header), the file takes no more
// writes until it is opened again; a failed page write only ends its
// transaction. Either way the file then holds the last committed state.
struct TFailedCommitCase {
  const char* what;
  int from_end;  // the operation failed, counted back from the commit's last (0)
  bool filer_stops;
};

void PrintTo(const TFailedCommitCase& c, std::ostream* os) { *os << c.what; }

class FailedCommit : public ::testing::TestWithParam<TFailedCommitCase> {};

TEST_P(FailedCommit, LeavesTheLastCommittedStateAndStopsTheFilerWhenUnsure) {
  const TFailedCommitCase& c = GetParam();
  qdf_test::TSystemConfig config;
  qdf_test::TTestDir dir;
  const std::string path = dir.File("failed.qdf");
  const std::string probe = dir.File("probe.qdf");
  TRealPathWorkload().Prepare(path);
  const std::string before = qdf_test::DatabaseFingerprint(path);
  auto change = [](TSession& db, int from) {
    auto t = db.storage->TableByName("items");
    for (int key = from; key < from + 20; ++key) Insert(*t, key, 9);
  };
  // The commit's operations, counted on a copy.
  std::filesystem::copy_file(path, probe);
  int ops = 0;
  {
    TFaultFileSystem fs;
    fs.Watch(probe);
    SetDatabaseFileSystem(&fs);
    {
      TSession db(probe);
      change(db, 300);
      const int start = fs.OpCount();
      db.transaction->Commit(true);
      ops = fs.OpCount() - start;
    }
    SetDatabaseFileSystem(nullptr);
  }
  ASSERT_GT(ops, 3);

  TFaultFileSystem fs;
  fs.Watch(path);
  SetDatabaseFileSystem(&fs);
  {
    TSession db(path);
    change(db, 300);
    fs.FailOpAfter(ops - c.from_end);
    const std::string error = qdf_test::MessageOf([&] { db.transaction->Commit(true); });
    EXPECT_NE(error.find("(injected)"), std::string::npos) << error;
    // Trying again does not commit what the failure may have lost.
    EXPECT_NE(qdf_test::MessageOf([&] { db.transaction->Commit(true); }), "");
    db.transaction->Rollback(false);
    const std::string next = qdf_test::MessageOf([&] {
      db.transaction->SetActive(true);
      change(db, 400);
      db.transaction->Commit(true);
    });
    if (c.filer_stops) {
      EXPECT_NE(next.find("a commit failed; close and reopen the database"), std::string::npos)
          << next;
    } else {
      EXPECT_EQ(next, "<no error>");
    }
  }
  SetDatabaseFileSystem(nullptr);
  if (c.filer_stops) {
    EXPECT_EQ(qdf_test::DatabaseFingerprint(path), before);
  }
  EXPECT_EQ(qdf_test::DatabaseProblems(path), "");
  // Opened again, the file takes writes.
  {
    TSession db(path);
    change(db, 500);
    EXPECT_NO_THROW(db.transaction->Commit(true));
  }
  EXPECT_EQ(qdf_test::DatabaseProblems(path), "");
}

INSTANTIATE_TEST_SUITE_P(CrashSafety, FailedCommit,
                         ::testing::Values(TFailedCommitCase{"SyncBeforeTheHeader", 2, true},
                                           TFailedCommitCase{"HeaderWrite", 1, true},
                                           TFailedCommitCase{"SyncAfterTheHeader", 0, true},
                                           TFailedCommitCase{"LastPageWrite", 3, false}),
                         [](const ::testing::TestParamInfo<TFailedCommitCase>& info) {
                           return info.param.what;
                         });

}  // namespace
}  // namespace qdf
